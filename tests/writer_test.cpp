#include "veltra/proto/writer.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "veltra/proto/property.hpp"

namespace veltra::proto {
namespace {

// The message of the WriteError that f throws, or "" when it returns.
std::string writeError(const std::function<void()>& f) try {
  f();
  return "";
} catch (const WriteError& e) {
  return e.what();
}

// One frame of every field; strings in their key forms, the rest is the ICU comparison's.
TEST(PacketWriterTest, Fields) {
  const Bytes kFrame = {
      0x18, 0x00, 0x03, 'b',  'o',  't',  0x0e,  // length, target: long id "bot", TEXT
      0x80, 0x12, 0x34, 0xff, 0xfe, 0x00, 0x41,  // i8 -128, u16 0x1234, i16 -2, raw "\0A"
      0x06, 0xed, 0xa0, 0xbd, 0xed, 0xb8, 0x80,  // U+1F600: two units
      0x02, 0xc0, 0x80,                          // U+0000: never a zero byte
  };
  PacketWriter w(ObjID("bot"), Command::Text);
  w.i8(-128), w.u16(0x1234), w.i16(-2), w.raw(std::string("\0A", 2));
  w.utf("\xf0\x9f\x98\x80"), w.utf(std::string(1, '\0'));
  EXPECT_EQ(w.finish(), kFrame);
}

// At most 255 bytes per frame; finish keeps the buffer, so it can be called again.
// At most 255 bytes per binary value; per string, fuzz_convert's with its message.
TEST(PacketWriterTest, Limits) {
  const std::pair<size_t, std::string> frames[] = {
      {252, ""},
      {253, "packet of 256 bytes; the maximum under protocol 24 is 255"},
      {300, "packet of 303 bytes; the maximum under protocol 24 is 255"},
  };
  for (const auto& [body, error] : frames) {
    PacketWriter w(ObjID(kObjClient), Command::State);
    w.raw(std::string(body, 'x'));
    for (int twice = 0; twice < 2; ++twice)
      EXPECT_EQ(writeError([&] { EXPECT_EQ(w.finish().at(0), 255); }), error);
  }
  PropertyList tooLong;  // a binary value has one length byte too
  tooLong.add(1, std::string(256, 'x'), kPropFlagBinary);
  EXPECT_EQ(writeError([&] {
              PacketWriter(ObjID(kObjClient), Command::PropertyUpdate).properties(tooLong);
            }),
            "binary property longer than 255 bytes");
}

// Malformed input: every longer form of a value (C0/C1, E0 80..9F, F0 80..8F leads) is written
// as the value's own shortest form, never copied through.
TEST(PacketWriterTest, OverlongFormsWriteTheirValue) {
  const auto form = [](uint32_t v, int n) {  // v in n bytes of UTF-8's pattern
    std::string s(1, static_cast<char>((n == 1 ? 0 : 0xff00 >> n) | v >> 6 * (n - 1)));
    for (int k = n - 2; k >= 0; --k) s += static_cast<char>(0x80 | (v >> 6 * k & 0x3f));
    return s;
  };
  const auto wire = [](const std::string& s) {
    PacketWriter w(ObjID(kObjClient), Command::Text);
    w.utf(s);
    return w.finish();
  };
  for (uint32_t v : {0x0u, 0x41u, 0x7fu, 0x80u, 0x7ffu, 0x800u, 0xd800u, 0xffffu}) {
    const int shortest = v < 0x80 ? 1 : v < 0x800 ? 2 : 3;
    for (int n = shortest + 1; n <= 4; ++n) {
      EXPECT_EQ(wire(form(v, n)), wire(form(v, shortest))) << v << " in " << n << " bytes";
      EXPECT_EQ(utfPrefix(form(v, n) + "x", utfLength(form(v, shortest))), size_t(n)) << v;
    }
  }
}

}  // namespace
}  // namespace veltra::proto
