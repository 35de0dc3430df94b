#include "proto/utf.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "veltra/proto/reader.hpp"
#include "veltra/proto/writer.hpp"

namespace veltra::proto {
namespace {

using Units = std::vector<uint16_t>;

// UTF-8 (or arbitrary bytes) to code units, with the encoded length of those units.
TEST(UtfTest, ToUtf16) {
  struct Row {
    std::string input;
    Units units;
    size_t encoded;
  };
  const Row rows[] = {
      {"", {}, 0},
      {"hi", {0x0068, 0x0069}, 2},
      {"\xc3\xa9", {0x00e9}, 2},
      {"\xe2\x82\xac", {0x20ac}, 3},
      {"\xf0\x9f\x98\x80", {0xd83d, 0xde00}, 6},
      {"\xf4\x8f\xbf\xbf", {0xdbff, 0xdfff}, 6},  // U+10FFFF, the last code point
      {std::string(1, '\0'), {0x0000}, 2},
      {"\x7f", {0x007f}, 1},
      // Bytes that start no complete sequence stand for themselves (Latin-1).
      {"\xe9", {0x00e9}, 2},
      {"a\xc3", {0x0061, 0x00c3}, 3},
      {"\xc3\x28", {0x00c3, 0x0028}, 3},  // bad continuation: resume after lead
      {"\xe2\x82\x28", {0x00e2, 0x0082, 0x0028}, 5},
      {"\xf0\x9f\x98", {0x00f0, 0x009f, 0x0098}, 6},  // cut-off 4-byte sequence
      {"\x80\xbf\xf8\xff", {0x0080, 0x00bf, 0x00f8, 0x00ff}, 8},
      // Above U+10FFFF: the lead byte is kept as a unit and decoding resumes after it.
      {"\xf4\x90\x80\x80", {0x00f4, 0x0090, 0x0080, 0x0080}, 8},
      {"\xf7\xbf\xbf\xbf", {0x00f7, 0x00bf, 0x00bf, 0x00bf}, 8},
      // Overlong forms and encoded surrogates decode to their value.
      {"\xc0\x80", {0x0000}, 2},
      {"\xe0\x80\x80", {0x0000}, 2},
      {"\xf0\x80\x80\x80", {0x0000}, 2},
      {"\xed\xa0\x80", {0xd800}, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.input));
    EXPECT_EQ(detail::toUtf16(row.input), row.units);
    EXPECT_EQ(utfLength(row.input), row.encoded);
    // utfLength is exactly what the writer puts after the length byte.
    PacketWriter w(ObjID(kObjClient), Command::Text);
    w.utf(row.input);
    EXPECT_EQ(w.sizeSoFar(), 3 + 1 + row.encoded);
  }
}

TEST(UtfTest, FromUtf16) {
  struct Row {
    Units units;
    std::string output;
  };
  const Row rows[] = {
      {{}, ""},
      {{0x0000}, std::string(1, '\0')},
      {{0x007f}, "\x7f"},
      {{0x0080}, "\xc2\x80"},
      {{0x07ff}, "\xdf\xbf"},
      {{0x0800}, "\xe0\xa0\x80"},
      {{0xffff}, "\xef\xbf\xbf"},
      {{0xd83d, 0xde00}, "\xf0\x9f\x98\x80"},
      {{0xdbff, 0xdfff}, "\xf4\x8f\xbf\xbf"},
      {{0xd800, 0xdc00}, "\xf0\x90\x80\x80"},
      // Lone surrogates stay three-byte sequences.
      {{0xd83d}, "\xed\xa0\xbd"},
      {{0xd83d, 0x0041},
       "\xed\xa0\xbd"
       "A"},
      {{0xde00, 0xd83d}, "\xed\xb8\x80\xed\xa0\xbd"},
      {{0xd83d, 0xd83d, 0xde00}, "\xed\xa0\xbd\xf0\x9f\x98\x80"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(detail::fromUtf16(row.units), row.output) << testing::PrintToString(row.units);
  }
}

// Every single unit, lone surrogates included, survives UTF-8 and the wire.
TEST(UtfTest, EveryUnitRoundTrips) {
  for (uint32_t u = 0; u <= 0xffff; ++u) {
    const Units units = {static_cast<uint16_t>(u)};
    const std::string text = detail::fromUtf16(units);
    ASSERT_EQ(detail::toUtf16(text), units) << u;
    PacketWriter w(ObjID(kObjClient), Command::Text);
    w.utf(text);
    const Bytes frame = w.finish();
    PacketReader r(std::span<const uint8_t>(frame).subspan(3));
    ASSERT_EQ(r.utf(), text) << u;
    ASSERT_TRUE(r.empty());
  }
}

// Every code point outside the basic plane becomes a pair and comes back whole.
TEST(UtfTest, EverySupplementaryCodePointRoundTrips) {
  for (uint32_t cp = 0x10000; cp <= 0x10ffff; ++cp) {
    const std::string text = {
        static_cast<char>(0xf0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3f)),
        static_cast<char>(0x80 | ((cp >> 6) & 0x3f)), static_cast<char>(0x80 | (cp & 0x3f))};
    const Units units = detail::toUtf16(text);
    ASSERT_EQ(units.size(), 2u) << cp;
    ASSERT_EQ(0x10000 + ((units[0] - 0xd800u) << 10) + (units[1] - 0xdc00u), cp);
    ASSERT_EQ(detail::fromUtf16(units), text) << cp;
  }
}

}  // namespace
}  // namespace veltra::proto
