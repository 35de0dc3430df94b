#include "veltra/proto/objid.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "veltra/proto/reader.hpp"
#include "veltra/proto/writer.hpp"

namespace veltra::proto {
namespace {

TEST(ObjIDTest, Construction) {
  struct Row {
    ObjID id;
    bool isLong;
    uint8_t shortId;
    std::string longId;
    std::string described;
  };
  const Row rows[] = {
      {ObjID(), true, 0, "", ""},
      {ObjID(uint8_t{0}), true, 0, "", ""},  // same as the default
      {ObjID(kObjClient), false, 1, "", "#1"},
      {ObjID(uint8_t{42}), false, 42, "", "#42"},
      {ObjID(kObjProtocol), false, 255, "", "#255"},
      {ObjID(std::string("bot")), true, 0, "bot", "bot"},
      {ObjID(std::string("!bot")), true, 0, "bot", "bot"},     // one leading mark dropped
      {ObjID(std::string("!!bot")), true, 0, "!bot", "!bot"},  // only one
      {ObjID(std::string("!")), true, 0, "", ""},
      {ObjID(std::string("a!")), true, 0, "a!", "a!"},
      {ObjID(std::string("")), true, 0, "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.described);
    EXPECT_EQ(row.id.isLong(), row.isLong);
    EXPECT_EQ(row.id.shortId(), row.shortId);
    EXPECT_EQ(row.id.longId(), row.longId);
    EXPECT_EQ(row.id.describe(), row.described);
  }
}

TEST(ObjIDTest, Write) {
  struct Row {
    ObjID id;
    std::vector<uint8_t> wire;
  };
  const Row rows[] = {
      {ObjID(kObjClient), {0x01}},
      {ObjID(kObjProtocol), {0xff}},
      {ObjID(), {0x00, 0x00}},  // marker, empty string
      {ObjID(std::string("bot")), {0x00, 0x03, 0x62, 0x6f, 0x74}},
      {ObjID(std::string("!bot")), {0x00, 0x03, 0x62, 0x6f, 0x74}},  // the mark is gone
  };
  for (const Row& row : rows) {
    PacketWriter w(ObjID(kObjClient), Command::Text);
    w.objid(row.id);
    const Bytes frame = w.finish();
    EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 3, frame.end()), row.wire) << row.id.describe();
  }
}

TEST(ObjIDTest, Read) {
  struct Row {
    std::vector<uint8_t> wire;
    bool isLong;
    uint8_t shortId;
    std::string longId;
    std::string error;
  };
  const Row rows[] = {
      {{0x01}, false, 1, "", ""},
      {{0xfe}, false, 254, "", ""},  // the compound marker is an ordinary short id here
      {{0xff}, false, 255, "", ""},
      {{0x00, 0x00}, true, 0, "", ""},
      {{0x00, 0x03, 0x62, 0x6f, 0x74}, true, 0, "bot", ""},
      {{0x00, 0x04, 0x21, 0x62, 0x6f, 0x74}, true, 0, "bot", ""},         // "!bot"
      {{0x00, 0x05, 0x21, 0x21, 0x62, 0x6f, 0x74}, true, 0, "!bot", ""},  // "!!bot"
      {{0x00, 0x01, 0x21}, true, 0, "", ""},                              // "!"
      {{}, false, 0, "", "read past the end of the packet"},
      {{0x00}, false, 0, "", "read past the end of the packet"},  // no string length
      {{0x00, 0x03, 0x62}, false, 0, "", "UTF string overruns the packet"},
      {{0x00, 0x01, 0x80}, false, 0, "", "malformed UTF (invalid lead byte)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.wire));
    PacketReader r(row.wire);
    if (!row.error.empty()) {
      try {
        r.objid();
        ADD_FAILURE() << "no ReadError";
      } catch (const ReadError& e) {
        EXPECT_EQ(std::string(e.what()), row.error);
      }
      continue;
    }
    const ObjID id = r.objid();
    EXPECT_EQ(id.isLong(), row.isLong);
    EXPECT_EQ(id.shortId(), row.shortId);
    EXPECT_EQ(id.longId(), row.longId);
    EXPECT_TRUE(r.empty());
  }
}

}  // namespace
}  // namespace veltra::proto
