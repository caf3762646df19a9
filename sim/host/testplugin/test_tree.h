// The content the test plug-in serves, shared with the tests that check what a restore wrote.
#pragma once

#include <cstdint>
#include <string>

namespace test_tree {

const int64_t kBaseTime = 1700000000;
const int64_t kBigSize = 150000;
const int64_t kRangesFileSize = 200010;
const char kInfoContent[] = "comp\n";

// Byte `i` of the file `name` (its path below the command's element) at generation `gen`.
inline unsigned char ContentByte(const std::string& name, int gen, int64_t i) {
  unsigned h = 2166136261u;
  for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  return static_cast<unsigned char>(h + gen * 7 + i * 131 + (i >> 8));
}

inline std::string Content(const std::string& name, int gen, int64_t offset, int64_t length) {
  std::string out(static_cast<size_t>(length), '\0');
  for (int64_t i = 0; i < length; ++i) out[i] = static_cast<char>(ContentByte(name, gen, offset + i));
  return out;
}

}  // namespace test_tree
