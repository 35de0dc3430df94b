#include "veltra/proto/objid.hpp"

#include <gtest/gtest.h>

#include <tuple>

#include "veltra/proto/reader.hpp"
#include "veltra/proto/writer.hpp"

namespace veltra::proto {
namespace {

// An id, its wire form, its description, and the description of the id read back from the wire.
TEST(ObjIDTest, ConstructWriteRead) {
  const std::tuple<ObjID, Bytes, std::string, std::string> rows[] = {
      {ObjID(), {0x00, 0x00}, "", ""},            // marker, empty string
      {ObjID(uint8_t{0}), {0x00, 0x00}, "", ""},  // same as the default
      {ObjID(kObjClient), {0x01}, "#1", "#1"},
      {ObjID(kObjCompound), {0xfe}, "#254", "#254"},  // an ordinary short id here
      {ObjID(kObjProtocol), {0xff}, "#255", "#255"},
      {ObjID("bot"), {0x00, 0x03, 'b', 'o', 't'}, "bot", "bot"},
      {ObjID("!bot"), {0x00, 0x03, 'b', 'o', 't'}, "bot", "bot"},  // one leading mark dropped
      {ObjID("!!bot"), {0x00, 0x04, '!', 'b', 'o', 't'}, "!bot", "bot"},  // one per construction
      {ObjID("!"), {0x00, 0x00}, "", ""},
      {ObjID("a!"), {0x00, 0x02, 'a', '!'}, "a!", "a!"},
  };
  for (const auto& [id, wire, text, back] : rows) {
    EXPECT_EQ(id.describe(), text);
    EXPECT_EQ(id.shortId(), wire[0]) << text;
    EXPECT_EQ(id.longId(), wire[0] ? "" : text);
    PacketWriter w(ObjID(kObjClient), Command::Text);
    w.objid(id);
    const Bytes frame = w.finish();
    EXPECT_EQ(Bytes(frame.begin() + 3, frame.end()), wire) << text;
    PacketReader r(wire);
    EXPECT_EQ(r.objid().describe(), back);
  }
}

}  // namespace
}  // namespace veltra::proto
