#include "veltra/proto/reader.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace veltra::proto {
namespace {

const std::string kPast = "read past the end of the packet";
const std::string kOverrun = "UTF string overruns the packet";

// The message of the ReadError that f throws, or "" when it returns.
std::string readError(const std::function<void()>& f) {
  try {
    f();
  } catch (const ReadError& e) {
    return e.what();
  }
  return "";
}

TEST(PacketReaderTest, FixedWidthFields) {
  const uint8_t kData[] = {
      0x12, 0x34,  // u16 0x1234
      0xff, 0xfe,  // i16 -2
      0x80, 0x00,  // i16 -32768
      0xff,        // i8 -1
      0x80,        // i8 -128
      0xc8,        // u8 200
  };
  PacketReader r(kData);
  EXPECT_EQ(r.u16(), 0x1234);
  EXPECT_EQ(r.i16(), -2);
  EXPECT_EQ(r.i16(), -32768);
  EXPECT_EQ(r.i8(), -1);
  EXPECT_EQ(r.i8(), -128);
  EXPECT_EQ(r.remaining(), 1u);
  EXPECT_EQ(r.u8(), 200);
  EXPECT_TRUE(r.empty());
  EXPECT_EQ(readError([&] { r.u8(); }), kPast);

  PacketReader none(std::span<const uint8_t>{});
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(none.remaining(), 0u);
  EXPECT_EQ(readError([&] { none.i8(); }), kPast);
}

TEST(PacketReaderTest, BytesConsumesNothingOnFailure) {
  const uint8_t kData[] = {
      0x00, 0x41,  // two raw bytes, the first a zero
  };
  PacketReader r(kData);
  EXPECT_EQ(readError([&] { r.bytes(3); }), "not enough bytes in the packet");
  EXPECT_EQ(r.remaining(), 2u);
  EXPECT_EQ(r.bytes(2), std::string("\0A", 2));
  EXPECT_EQ(r.bytes(0), "");
  EXPECT_EQ(readError([&] { r.bytes(1); }), "not enough bytes in the packet");
}

TEST(PacketReaderTest, SkipAllConsumesTheRest) {
  const uint8_t kData[] = {0x01, 0x02, 0x03};
  PacketReader r(kData);
  r.u8();
  r.skipAll();
  EXPECT_TRUE(r.empty());
  EXPECT_EQ(r.remaining(), 0u);
  EXPECT_EQ(readError([&] { r.u8(); }), kPast);
  r.skipAll();  // at the end already: still nothing to read
  EXPECT_TRUE(r.empty());
}

// Each row is one string on the wire; accepted rows carry the text read back.
struct UtfRow {
  std::vector<uint8_t> wire;
  std::string text;   // when error is empty
  std::string error;  // expected ReadError message
};

TEST(PacketReaderTest, Utf) {
  const UtfRow rows[] = {
      {{0x02, 0x68, 0x69}, "hi", ""},
      {{0x02, 0xc3, 0xa9}, "\xc3\xa9", ""},                                  // U+00E9
      {{0x03, 0xe2, 0x82, 0xac}, "\xe2\x82\xac", ""},                        // U+20AC
      {{0x06, 0xed, 0xa0, 0xbd, 0xed, 0xb8, 0x80}, "\xf0\x9f\x98\x80", ""},  // pair -> U+1F600
      {{0x02, 0xc0, 0x80}, std::string(1, '\0'), ""},        // modified form of U+0000
      {{0x01, 0x00}, std::string(1, '\0'), ""},              // plain zero byte
      {{0x03, 0xe0, 0x80, 0x80}, std::string(1, '\0'), ""},  // overlong, accepted
      {{0x01, 0x7f}, "\x7f", ""},
      {{0x02, 0xdf, 0xbf}, "\xdf\xbf", ""},            // U+07FF
      {{0x03, 0xef, 0xbf, 0xbf}, "\xef\xbf\xbf", ""},  // U+FFFF
      {{0x00}, "", ""},
      {{0x03, 0xed, 0xa0, 0xbd}, "\xed\xa0\xbd", ""},  // lone high surrogate
      {{0x06, 0xed, 0xb8, 0x80, 0xed, 0xa0, 0xbd},     // low before high
       "\xed\xb8\x80\xed\xa0\xbd",
       ""},
      {{0x03, 0x68, 0x69}, "", kOverrun},  // 2 of 3 bytes present
      {{0x01, 0xc3}, "", "malformed UTF (2-byte sequence)"},
      {{0x02, 0x61, 0xc3, 0xa9}, "", "malformed UTF (2-byte sequence)"},  // a9 lies past n
      {{0x02, 0xe2, 0x82}, "", "malformed UTF (3-byte sequence)"},
      {{0x03, 0x61, 0xe2, 0x82, 0xac}, "", "malformed UTF (3-byte sequence)"},
      {{0x02, 0xc3, 0x28}, "", "malformed UTF (continuation byte)"},
      {{0x03, 0xe2, 0x28, 0xac}, "", "malformed UTF (continuation byte)"},
      {{0x03, 0xe2, 0x82, 0x28}, "", "malformed UTF (continuation byte)"},
      {{0x01, 0x80}, "", "malformed UTF (invalid lead byte)"},
      {{0x01, 0xbf}, "", "malformed UTF (invalid lead byte)"},
      {{0x04, 0xf0, 0x9f, 0x98, 0x80}, "", "malformed UTF (invalid lead byte)"},
      {{0x03, 0xf0, 0x80, 0x80}, "", "malformed UTF (invalid lead byte)"},  // no 4-byte form
      {{0x01, 0xff}, "", "malformed UTF (invalid lead byte)"},
      {{0x02, 0x61, 0x80}, "", "malformed UTF (invalid lead byte)"},
  };
  for (const UtfRow& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.wire));
    if (!row.error.empty()) {
      PacketReader r(row.wire);
      EXPECT_EQ(readError([&] { r.utf(); }), row.error);
      continue;
    }
    // A trailing byte shows that the string consumed exactly its own bytes.
    std::vector<uint8_t> data = row.wire;
    data.push_back(0x5a);
    PacketReader r(data);
    EXPECT_EQ(r.utf(), row.text);
    EXPECT_EQ(r.u8(), 0x5a);
    EXPECT_TRUE(r.empty());
  }
}

TEST(PacketReaderTest, UtfAtTheLengthLimit) {
  std::vector<uint8_t> data = {0xff};  // 255 bytes follow
  for (int i = 0; i < 127; ++i) data.insert(data.end(), {0xc3, 0xa9});
  data.push_back('x');
  PacketReader r(data);
  std::string expected;
  for (int i = 0; i < 127; ++i) expected += "\xc3\xa9";
  EXPECT_EQ(r.utf(), expected + "x");

  data.pop_back();  // now one byte short
  PacketReader shortReader(data);
  EXPECT_EQ(readError([&] { shortReader.utf(); }), kOverrun);
}

// A valid frame cut at every length fails with the error of the field it cuts.
TEST(PacketReaderTest, TruncatedFrame) {
  const uint8_t kFrame[] = {
      0x00, 0x03, 'b',  'o', 't',  // target: long id "bot"
      0x0e,                        // command: TEXT
      0xff, 0xfe,                  // i16 -2
      0x02, 0xc3, 0xa9,            // string U+00E9
      0x12, 0x34,                  // u16 0x1234
  };
  const std::string expected[] = {
      kPast,                         // target byte
      kPast,                         // long id length byte
      kOverrun, kOverrun, kOverrun,  // long id text
      kPast,                         // command
      kPast,    kPast,               // i16
      kPast,                         // string length byte
      kOverrun, kOverrun,            // string text
      kPast,    kPast,               // u16
  };
  static_assert(std::size(expected) == sizeof(kFrame));
  auto readAll = [](PacketReader& r) {
    EXPECT_EQ(r.objid().longId(), "bot");
    EXPECT_EQ(r.u8(), 0x0e);
    EXPECT_EQ(r.i16(), -2);
    EXPECT_EQ(r.utf(), "\xc3\xa9");
    EXPECT_EQ(r.u16(), 0x1234);
  };
  for (size_t len = 0; len < sizeof(kFrame); ++len) {
    SCOPED_TRACE(len);
    PacketReader r(std::span<const uint8_t>(kFrame, len));
    EXPECT_EQ(readError([&] { readAll(r); }), expected[len]);
  }
  PacketReader whole(kFrame);
  readAll(whole);
  EXPECT_TRUE(whole.empty());
}

}  // namespace
}  // namespace veltra::proto
