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

// Bytes to code units, and the encoded length of those units.
TEST(UtfTest, ToUtf16) {
  // clang-format off
  const std::tuple<std::string, Units, size_t> rows[] = {
      {"\xf4\x8f\xbf\xbf", {0xdbff, 0xdfff}, 6}, {"\xed\xa0\x80", {0xd800}, 3},  // U+10FFFF, U+D800
      {"\xc0\x80", {0x00}, 2}, {"\xf0\x80\x80\x80", {0x00}, 2},  // overlong: the value
      // A byte that starts no complete sequence stands for itself (Latin-1), and
      // decoding resumes after it; so does the lead byte of a value above U+10FFFF.
      {"\xe9", {0xe9}, 2}, {"\xc3\x28", {0xc3, 0x28}, 3}, {"\xe2\x82\x28", {0xe2, 0x82, 0x28}, 5},
      {"\xf0\x9f\x98", {0xf0, 0x9f, 0x98}, 6}, {"\xf4\x90\x80\x80", {0xf4, 0x90, 0x80, 0x80}, 8},
      {"\x80\xf8\x88\x80\x80", {0x80, 0xf8, 0x88, 0x80, 0x80}, 10},
  };
  // clang-format on
  for (const auto& [input, units, encoded] : rows)
    EXPECT_EQ(std::make_pair(detail::toUtf16(input), utfLength(input)),
              std::make_pair(units, encoded))
        << testing::PrintToString(input);
}

// Every unit alone, lone surrogates included, and every pair survive the round
// trip through UTF-8; only a high-low pair becomes one 4-byte character.
TEST(UtfTest, EveryUnitAndPairRoundTrips) {
  for (uint32_t u = 0; u <= 0xffff; ++u)
    ASSERT_EQ(detail::toUtf16(detail::fromUtf16({uint16_t(u)})), Units{uint16_t(u)}) << u;
  for (uint32_t cp = 0x10000; cp <= 0x10ffff; ++cp) {
    const std::string text = {char(0xf0 | cp >> 18), char(0x80 | (cp >> 12 & 0x3f)),
                              char(0x80 | (cp >> 6 & 0x3f)), char(0x80 | (cp & 0x3f))};
    const Units pair = {uint16_t(0xd800 + ((cp - 0x10000) >> 10)), uint16_t(0xdc00 + (cp & 0x3ff))};
    ASSERT_EQ(detail::toUtf16(text), pair) << cp;
    ASSERT_EQ(detail::fromUtf16(pair), text) << cp;
  }
  EXPECT_EQ(detail::fromUtf16({0xd83d, 0xd83d, 0xde00}), "\xed\xa0\xbd\xf0\x9f\x98\x80");
}

}  // namespace
}  // namespace veltra::proto
