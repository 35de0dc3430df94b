#include "proto/utf.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace veltra::proto {
namespace {

using Units = std::vector<uint16_t>;

// Bytes to code units, and the encoded length of those units; where the bytes are
// the canonical form, units back to the same bytes. Valid texts at large (every
// range, pairs, lone and reversed surrogates) are the ICU comparison's.
TEST(UtfTest, Conversions) {
  // clang-format off
  const std::tuple<std::string, Units, size_t, bool> rows[] = {
      {"\xf4\x8f\xbf\xbf", {0xdbff, 0xdfff}, 6, true}, {"\xed\xa0\x80", {0xd800}, 3, true},  // U+10FFFF, U+D800
      {"\xed\xa0\xbd\xf0\x9f\x98\x80", {0xd83d, 0xd83d, 0xde00}, 9, true},  // a lone high, then a pair
      {"\xc0\x80", {0x00}, 2, false}, {"\xf0\x80\x80\x80", {0x00}, 2, false},  // overlong: the value
      // A byte that starts no complete sequence stands for itself (Latin-1), and
      // decoding resumes after it; so does the lead byte of a value above U+10FFFF.
      {"\xe9", {0xe9}, 2, false}, {"\xc3\x28", {0xc3, 0x28}, 3, false},
      {"\xe2\x82\x28", {0xe2, 0x82, 0x28}, 5, false}, {"\xf0\x9f\x98", {0xf0, 0x9f, 0x98}, 6, false},
      {"\xf4\x90\x80\x80", {0xf4, 0x90, 0x80, 0x80}, 8, false},
      {"\x80\xf8\x88\x80\x80", {0x80, 0xf8, 0x88, 0x80, 0x80}, 10, false},
  };
  // clang-format on
  for (const auto& [input, units, encoded, canonical] : rows) {
    EXPECT_EQ(std::make_pair(detail::toUtf16(input), utfLength(input)),
              std::make_pair(units, encoded))
        << testing::PrintToString(input);
    if (canonical) {
      EXPECT_EQ(detail::fromUtf16(units), input);
    }
  }
}

}  // namespace
}  // namespace veltra::proto
