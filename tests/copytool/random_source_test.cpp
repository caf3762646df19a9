// The generator behind "/dev/random": reference outputs and the byte layout of blocks.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "MT19937.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// Outputs of the 1998 reference generator seeded with 4357 (linear congruential seeding):
// the first ten, and 623 to 628, which straddle the first regeneration of the state.
const uint32_t First10[] = {2867219139u, 1585203162u, 3113124129u, 2953900839u, 2463794868u,
                            3482265796u, 1164297043u, 3598195569u, 589972756u,  4112233867u};
const uint32_t Around624[] = {3161948893u, 589403970u, 1044672925u,
                              1965277612u, 1713774522u, 1215426812u};

std::vector<uint32_t> Outputs(size_t Count) {
  std::vector<uint32_t> Values(Count);
  for (uint32_t& Value : Values) Value = NextRandom();
  return Values;
}

// Must stay the first test of this program: it needs a generator nobody has seeded yet.
TEST(RandomSource, AnUnseededGeneratorSeedsItselfWith4357) {
  EXPECT_THAT(Outputs(10), ElementsAreArray(First10));
}

TEST(RandomSource, MatchesTheReferenceGenerator) {
  SeedRandom(4357);
  EXPECT_THAT(Outputs(10), ElementsAreArray(First10));
  Outputs(612);
  EXPECT_THAT(Outputs(6), ElementsAreArray(Around624));
  Outputs(1000 - 628 - 1);
  EXPECT_EQ(NextRandom(), 1030650439u);  // the 1000th
  SeedRandom(0);
  EXPECT_THAT(Outputs(3), ElementsAre(477480905u, 3667282373u, 2229421029u));
  SeedRandom(86399999u);  // the last millisecond of the day, the largest clock seed
  EXPECT_THAT(Outputs(3), ElementsAre(4092658800u, 2438068803u, 3095358989u));
}

TEST(RandomFill, SixBytesTakeOneWordAndTheLowBytesOfTwoMore) {
  SeedRandom(4357);
  unsigned char Block[6];
  FillRandom(Block, sizeof(Block));
  EXPECT_THAT(Block, ElementsAre(First10[0] & 0xFF, (First10[0] >> 8) & 0xFF,
                                 (First10[0] >> 16) & 0xFF, First10[0] >> 24, First10[1] & 0xFF,
                                 First10[2] & 0xFF));
  EXPECT_EQ(NextRandom(), First10[3]);
}

TEST(RandomFill, BlocksContinueTheWordSequenceAcrossRegenerations) {
  // 4 KiB blocks cut the 624-word state at varying places.
  SeedRandom(4357);
  std::vector<uint32_t> Expected = Outputs(3 * 1024);
  SeedRandom(4357);
  std::vector<unsigned char> Bytes(3 * 4096);
  for (size_t At = 0; At < Bytes.size(); At += 4096) FillRandom(&Bytes[At], 4096);
  for (size_t i = 0; i < Expected.size(); ++i) {
    uint32_t Got = Bytes[4 * i] | Bytes[4 * i + 1] << 8 | Bytes[4 * i + 2] << 16 |
                   static_cast<uint32_t>(Bytes[4 * i + 3]) << 24;
    ASSERT_EQ(Got, Expected[i]) << "word " << i;
  }
}

TEST(RandomSource, TheClockSeedIsTheMillisecondOfTheDay) {
  SYSTEMTIME Before;
  GetSystemTime(&Before);
  SeedFromClock();
  uint32_t First = NextRandom();
  uint32_t Seed = ((Before.wHour * 60u + Before.wMinute) * 60u + Before.wSecond) * 1000u +
                  Before.wMilliseconds;
  bool Found = false;
  for (uint32_t Last = Seed + 2000; Seed < Last && !Found; ++Seed) {
    SeedRandom(Seed);
    Found = NextRandom() == First;
  }
  EXPECT_TRUE(Found);
}

}  // namespace
