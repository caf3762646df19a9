#include "MT19937.h"

#include <windows.h>

#include <cstring>


namespace {

constexpr int N = 624;
constexpr int M = 397;
constexpr uint32_t MatrixA = 0x9908B0DFu;
constexpr uint32_t UpperMask = 0x80000000u;
constexpr uint32_t LowerMask = 0x7FFFFFFFu;
constexpr int Unseeded = N + 1;

uint32_t State[N];
int Index = Unseeded;

inline uint32_t Twist(uint32_t Upper, uint32_t Lower, uint32_t Far) {
  uint32_t y = (Upper & UpperMask) | (Lower & LowerMask);
  // Branch-free choice between 0 and the matrix constant by the low bit.
  return Far ^ (y >> 1) ^ (MatrixA & (0u - (y & 1u)));
}

inline uint32_t Temper(uint32_t y) {
  y ^= y >> 11;
  y ^= (y << 7) & 0x9D2C5680u;
  y ^= (y << 15) & 0xEFC60000u;
  y ^= y >> 18;
  return y;
}

// Regenerates all N words in place; seeds with 4357 when never seeded.
void Regenerate() {
  if (Index == Unseeded) SeedRandom(4357);
  int k = 0;
  for (; k < N - M; ++k) State[k] = Twist(State[k], State[k + 1], State[k + M]);
  for (; k < N - 1; ++k) State[k] = Twist(State[k], State[k + 1], State[k + M - N]);
  State[N - 1] = Twist(State[N - 1], State[0], State[M - 1]);
  Index = 0;
}

}  // namespace

void SeedRandom(uint32_t Seed) {
  for (int i = 0; i < N; ++i) {
    State[i] = Seed & 0xFFFF0000u;
    Seed = 69069u * Seed + 1u;
    State[i] |= (Seed & 0xFFFF0000u) >> 16;
    Seed = 69069u * Seed + 1u;
  }
  Index = N;
}

uint32_t NextRandom() {
  if (Index >= N) Regenerate();
  return Temper(State[Index++]);
}

void SeedFromClock() {
  SYSTEMTIME Now;
  GetSystemTime(&Now);
  SeedRandom(((Now.wHour * 60u + Now.wMinute) * 60u + Now.wSecond) * 1000u +
             Now.wMilliseconds);
}

void FillRandom(void* Buffer, size_t Length) {
  unsigned char* Out = static_cast<unsigned char*>(Buffer);
  size_t Words = Length / 4;
  // Whole words straight from the state, one regeneration per N words.
  while (Words > 0) {
    if (Index >= N) Regenerate();
    size_t Run = static_cast<size_t>(N - Index);
    if (Run > Words) Run = Words;
    const uint32_t* From = State + Index;
    // Windows runs little-endian only, so a word's memory image is its bytes in the
    // required order; whole-word stores let the compiler vectorise the tempering.
    for (size_t i = 0; i < Run; ++i) {
      uint32_t Value = Temper(From[i]);
      std::memcpy(Out + 4 * i, &Value, 4);
    }
    Out += 4 * Run;
    Index += static_cast<int>(Run);
    Words -= Run;
  }
  for (size_t Rest = Length % 4; Rest > 0; --Rest) *Out++ = static_cast<unsigned char>(NextRandom());
}
