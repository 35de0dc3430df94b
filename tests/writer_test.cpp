#include "veltra/proto/writer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace veltra::proto {
namespace {

// The message of the WriteError that f throws, or "" when it returns.
std::string writeError(const std::function<void()>& f) {
  try {
    f();
  } catch (const WriteError& e) {
    return e.what();
  }
  return "";
}

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(PacketWriterTest, Header) {
  struct Row {
    ObjID target;
    Command command;
    Bytes frame;
  };
  const Row rows[] = {
      {ObjID(kObjProtocol),
       Command::PropRequest,
       {
           0x03,  // length
           0xff,  // target: protocol object
           0x0a,  // PROPREQ
       }},
      {ObjID(std::string("bot")),
       Command::Text,
       {
           0x07,                       // length
           0x00, 0x03, 'b', 'o', 't',  // target: long id "bot"
           0x0e,                       // TEXT
       }},
      {ObjID(),
       Command::Channel,
       {
           0x04,        // length
           0x00, 0x00,  // target: long id with empty text
           0x1f,        // CHANNEL
       }},
  };
  for (const Row& row : rows) {
    PacketWriter w(row.target, row.command);
    EXPECT_EQ(w.sizeSoFar(), row.frame.size());  // the length placeholder counts
    EXPECT_EQ(w.finish(), row.frame);
  }
  EXPECT_EQ(writeError([] { PacketWriter(ObjID(std::string(256, 'a')), Command::Text); }),
            "string of 256 bytes; the maximum is 255");
}

TEST(PacketWriterTest, Fields) {
  struct Row {
    std::function<void(PacketWriter&)> write;
    Bytes body;
  };
  const Row rows[] = {
      {[](PacketWriter& w) { w.u8(0xab); }, {0xab}},
      {[](PacketWriter& w) { w.i8(-1); }, {0xff}},
      {[](PacketWriter& w) { w.i8(-128); }, {0x80}},
      {[](PacketWriter& w) { w.u16(0x1234); }, {0x12, 0x34}},
      {[](PacketWriter& w) { w.u16(0xff00); }, {0xff, 0x00}},
      {[](PacketWriter& w) { w.i16(-2); }, {0xff, 0xfe}},
      {[](PacketWriter& w) { w.i16(-32768); }, {0x80, 0x00}},
      {[](PacketWriter& w) { w.raw(std::string("\0A\xff", 3)); }, {0x00, 0x41, 0xff}},
      {[](PacketWriter& w) { w.raw(""); }, {}},
  };
  for (const Row& row : rows) {
    PacketWriter w(ObjID(kObjClient), Command::LongLoc);
    row.write(w);
    Bytes expected = {static_cast<uint8_t>(3 + row.body.size()), 0x01, 0x01};
    expected.insert(expected.end(), row.body.begin(), row.body.end());
    EXPECT_EQ(w.finish(), expected);
  }
}

TEST(PacketWriterTest, Utf) {
  struct Row {
    std::string text;
    Bytes wire;
  };
  const Row rows[] = {
      {"hi", {0x02, 0x68, 0x69}},
      {"\xc3\xa9", {0x02, 0xc3, 0xa9}},                                  // U+00E9
      {"\xe2\x82\xac", {0x03, 0xe2, 0x82, 0xac}},                        // U+20AC
      {"\xf0\x9f\x98\x80", {0x06, 0xed, 0xa0, 0xbd, 0xed, 0xb8, 0x80}},  // U+1F600: two units
      {std::string(1, '\0'), {0x02, 0xc0, 0x80}},                        // never a zero byte
      {"", {0x00}},
      {"\xe9", {0x02, 0xc3, 0xa9}},                // not UTF-8: Latin-1
      {"a\xc3", {0x03, 0x61, 0xc3, 0x83}},         // cut-off lead byte
      {"\xed\xa0\xbd", {0x03, 0xed, 0xa0, 0xbd}},  // lone surrogate kept
      // Above U+10FFFF the lead byte stands for itself, and so does every byte after it.
      {"\xf4\x90\x80\x80", {0x08, 0xc3, 0xb4, 0xc2, 0x90, 0xc2, 0x80, 0xc2, 0x80}},
  };
  for (const Row& row : rows) {
    PacketWriter w(ObjID(kObjClient), Command::Text);
    w.utf(row.text);
    const Bytes frame = w.finish();
    EXPECT_EQ(Bytes(frame.begin() + 3, frame.end()), row.wire) << testing::PrintToString(row.text);
  }
}

TEST(PacketWriterTest, UtfLengthLimit) {
  struct Row {
    std::string text;
    size_t encoded;  // bytes after the length byte
  };
  const Row rows[] = {
      {repeat("a", 255), 255},
      {repeat("a", 256), 256},
      {repeat("\xc3\xa9", 127), 254},
      {repeat("\xc3\xa9", 128), 256},
      {repeat(std::string(1, '\0'), 127), 254},  // U+0000 takes two bytes
      {repeat(std::string(1, '\0'), 128), 256},
      {repeat("\xe2\x82\xac", 85), 255},
      {repeat("\xe2\x82\xac", 86), 258},
      {repeat("\xf0\x9f\x98\x80", 42), 252},
      {repeat("\xf0\x9f\x98\x80", 43), 258},
      {repeat("\xf4\x90\x80\x80", 32), 256},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.encoded);
    PacketWriter w(ObjID(kObjClient), Command::Text);
    const Bytes before = w.finish();
    const std::string error = writeError([&] { w.utf(row.text); });
    if (row.encoded <= 255) {
      EXPECT_EQ(error, "");
      EXPECT_EQ(w.sizeSoFar(), before.size() + 1 + row.encoded);
    } else {
      EXPECT_EQ(error, "string of " + std::to_string(row.encoded) + " bytes; the maximum is 255");
      EXPECT_EQ(w.finish(), before);  // nothing appended
    }
  }
  // A long id appends its marker before the string fails.
  PacketWriter w(ObjID(kObjClient), Command::Text);
  EXPECT_EQ(writeError([&] { w.objid(ObjID(repeat("\xc3\xa9", 128))); }),
            "string of 256 bytes; the maximum is 255");
  EXPECT_EQ(w.sizeSoFar(), 4u);
}

TEST(PacketWriterTest, FrameLengthLimit) {
  struct Row {
    size_t body;
    std::string error;
  };
  const Row rows[] = {
      {0, ""},
      {252, ""},  // 255 bytes in all
      {253, "packet of 256 bytes; the maximum under protocol 24 is 255"},
      {300, "packet of 303 bytes; the maximum under protocol 24 is 255"},
  };
  for (const Row& row : rows) {
    PacketWriter w(ObjID(kObjClient), Command::State);
    w.raw(std::string(row.body, '\x5a'));
    Bytes frame;
    EXPECT_EQ(writeError([&] { frame = w.finish(); }), row.error);
    if (row.error.empty()) {
      EXPECT_EQ(frame.size(), 3 + row.body);
      EXPECT_EQ(frame[0], 3 + row.body);
    } else {
      // The buffer is left as it was: the same failure again.
      EXPECT_EQ(w.sizeSoFar(), 3 + row.body);
      EXPECT_EQ(writeError([&] { w.finish(); }), row.error);
    }
  }
}

TEST(PacketWriterTest, FinishCanBeRepeated) {
  PacketWriter w(ObjID(kObjClient), Command::Unsubscribe);
  w.u16(7);
  const Bytes first = w.finish();
  EXPECT_EQ(w.finish(), first);
  w.u8(0x01);
  EXPECT_EQ(w.finish(), (Bytes{
                            0x06,        // the new length
                            0x01,        // target
                            0x17,        // UNSUBSCR
                            0x00, 0x07,  // room 7
                            0x01,        // appended after the first finish
                        }));
}

}  // namespace
}  // namespace veltra::proto
