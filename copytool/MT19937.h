// The MT19937 generator behind "/dev/random" (1998 form, linear congruential seeding).
// One generator for the whole program; not for cryptographic use.
#pragma once

#include <cstddef>
#include <cstdint>

void SeedRandom(uint32_t Seed);

// Next tempered output; an unseeded generator seeds itself with 4357 first.
uint32_t NextRandom();

// Seeds with the milliseconds since midnight UTC (0 .. 86,399,999).
void SeedFromClock();

// Whole words little-endian first; each of the last (Length mod 4) bytes takes the
// low byte of its own output.
void FillRandom(void* Buffer, size_t Length);
