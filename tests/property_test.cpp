#include "veltra/proto/property.hpp"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "veltra/proto/commands.hpp"
#include "veltra/proto/reader.hpp"

namespace veltra::proto {
namespace {

using B = std::vector<uint8_t>;

// The message of the ReadError or WriteError that f throws; empty if none.
template <typename F>
std::string errorOf(F f) {
  try {
    f();
  } catch (const ReadError& e) {
    return e.what();
  } catch (const WriteError& e) {
    return e.what();
  }
  return "";
}

TEST(PropertyList, KeepsOrderAndDuplicatesAndFindsTheFirst) {
  OldPropertyList old;
  PropertyList neu;
  EXPECT_TRUE(old.empty() && neu.empty() && old.all().empty());
  EXPECT_EQ(old.find(0), nullptr);
  for (uint8_t id : {255, 0, 255}) {
    old.add(id, id ? "first" : "");
    neu.add(id, id ? "first" : "", 0x20, 7);
  }
  old.add(255, "second");
  EXPECT_FALSE(old.empty());
  EXPECT_EQ(old.all().size(), 4u);
  EXPECT_EQ(old.all()[3].value, "second");
  EXPECT_EQ(old.value(255), "first");
  EXPECT_EQ(old.value(0), "");  // engaged, empty
  EXPECT_EQ(old.value(4), std::nullopt);
  EXPECT_EQ(old.find(255), &old.all()[0]);
  EXPECT_EQ(neu.find(255)->access, 7);
  EXPECT_EQ(neu.value(0), "");
  EXPECT_EQ(neu.value(1), std::nullopt);
  const std::pair<uint8_t, bool> flagCases[] = {{0x10, true},  {0x30, true},  {0xFF, true},
                                                {0x20, false}, {0xEF, false}, {0x00, false}};
  for (auto [flags, binary] : flagCases) EXPECT_EQ((Property{1, flags, 0, ""}.binary()), binary);
}

// A list written into a PROPUPD (new form) or SESSINIT (old form) frame: the
// frame without its length byte, and the list's own bytes.
template <typename List>
std::pair<B, B> frameOf(const List& props) {
  constexpr bool isNew = std::is_same_v<List, PropertyList>;
  PacketWriter w(ObjID(kObjClient), isNew ? Command::PropertyUpdate : Command::SessionInit);
  if constexpr (isNew)
    w.properties(props);
  else
    w.oldProperties(props);
  const Bytes f = w.finish();
  return {B(f.begin() + 1, f.end()), B(f.begin() + 3, f.end())};
}

TEST(PropertyWire, WritesAndReadsBothForms) {
  OldPropertyList old;
  old.add(kVarUsername, "abc");
  old.add(kVarError, "0");
  old.add(kVarError, "\xE2\x82\xAC");  // euro sign: three bytes on the wire
  const std::string bytes("\0\1\2", 3);
  PropertyList neu;
  neu.add(kVarAvatars, bytes, 0x30, 2);  // binary: length byte, raw bytes
  neu.add(kVarAvatars, bytes, 0x20, 2);  // text: U+0000 travels as C0 80
  neu.add(kVarCapabilities, "", kPropFlagBinary | kPropFlagDbStore, 0xFF);
  const auto [oldFrame, oldWire] = frameOf(old);
  const auto [newFrame, newWire] = frameOf(neu);
  EXPECT_EQ(oldWire, (B{0x02, 0x03, 'a', 'b', 'c', 0x04, 0x01, '0', 0x04, 0x03, 0xE2, 0x82, 0xAC}));
  EXPECT_EQ(newWire, (B{0x07, 0x30, 0x02, 0x03, 0x00, 0x01, 0x02,        //
                        0x07, 0x20, 0x02, 0x04, 0xC0, 0x80, 0x01, 0x02,  //
                        0x40, 0x90, 0xFF, 0x00}));
  // Read back and written again, each list yields the same bytes: same ids,
  // flags, access bytes, values and order.
  const auto oldBack = std::get<SessionInit>(parsePacket(oldFrame).at(0).body).props;
  const auto newBack = std::get<PropertyUpdate>(parsePacket(newFrame).at(0).body).props;
  EXPECT_EQ(frameOf(oldBack).second, oldWire);
  EXPECT_EQ(frameOf(newBack).second, newWire);
  EXPECT_EQ(newBack.value(kVarAvatars), bytes);
  EXPECT_EQ(newBack.all()[1].value, bytes);
  EXPECT_TRUE(frameOf(PropertyList{}).second.empty() && frameOf(OldPropertyList{}).second.empty());
  EXPECT_TRUE(std::get<SessionInit>(parsePacket(B{0x01, 0x06}).at(0).body).props.empty());
}

TEST(PropertyWire, EnforcesTheByteLimits) {
  PacketWriter w(ObjID(kObjProtocol), Command::PropertyUpdate);
  PropertyList ok, tooLong, text;
  ok.add(1, std::string(255, 'x'), kPropFlagBinary);
  w.properties(ok);
  EXPECT_EQ(w.sizeSoFar(), 3u + 4 + 255);
  tooLong.add(1, std::string(256, 'x'), kPropFlagBinary);
  text.add(1, std::string(256, 'x'));
  EXPECT_EQ(errorOf([&] { w.properties(tooLong); }), "binary property longer than 255 bytes");
  EXPECT_EQ(errorOf([&] { w.properties(text); }), "string of 256 bytes; the maximum is 255");
  // A 255-byte binary value reads back whole; the parser accepts any span size.
  B span = {0x01, 0x10, 0x09, kPropFlagBinary, 0x00, 0xFF};
  span.resize(span.size() + 255, 0xAB);
  const auto back = std::get<PropertyUpdate>(parsePacket(span)[0].body).props;
  EXPECT_EQ(back.value(9), std::string(255, '\xAB'));
}

TEST(PropertyWire, TruncatedEntriesFailTheWholeFrame) {
  const std::string kEnd = "read past the end of the packet";
  const std::vector<std::pair<B, std::string>> cases = {
      {{0x01, 0x06, 0x02, 0x01, 'a', 0x04}, kEnd},  // old: id, no string
      {{0x01, 0x06, 0x02, 0x03, 'a', 'b'}, "UTF string overruns the packet"},
      {{0x01, 0x03, 0x02, 0x02, 0xC3, 0x28}, "malformed UTF (continuation byte)"},
      {{0x01, 0x10, 0x07, 0x00}, kEnd},        // new: id, flags
      {{0x01, 0x10, 0x07, 0x10, 0x00}, kEnd},  // binary, no length
      {{0x01, 0x10, 0x07, 0x10, 0x00, 0x03, 0x00, 0x01}, "not enough bytes in the packet"},
      {{0x01, 0x0F, 0x01, 'a', 0x07, 0x00, 0x00, 0x05, 'a'}, "UTF string overruns the packet"},
  };
  for (const auto& [span, message] : cases) EXPECT_EQ(errorOf([&] { parsePacket(span); }), message);
}

TEST(PropertyDescribe, ShowsLabelsAndValues) {
  OldPropertyList old;
  PropertyList neu;
  EXPECT_EQ(old.describe(), "()");
  EXPECT_EQ(neu.describe(), "()");
  for (uint8_t id : {2, 17, 0, 255, 5, 20, 4, 4}) old.add(id, id == 4 ? "" : "a b=)");
  EXPECT_EQ(old.describe(),
            "(VAR_USERNAME=a b=) VAR#17=a b=) VAR#0=a b=) VAR#255=a b=) VAR_CHANNEL/BITMAP=a b=) "
            "VAR_NEW_PASSWD=a b=) VAR_ERROR= VAR_ERROR= )");
  neu.add(kVarAvatars, "abc", kPropFlagFinger);
  neu.add(kVarCapabilities, "12345", kPropFlagBinary);
  neu.add(kVarInventory, "", kPropFlagBinary | kPropFlagAutoUpdate);
  neu.add(kVarNewUsername, "bo", 0, 9);
  EXPECT_EQ(neu.describe(),
            "(VAR_AVATARS=abc VAR#64=<5 bytes> VAR_INVENTORY=<0 bytes> VAR_NEW_USERNAME=bo )");
}

}  // namespace
}  // namespace veltra::proto
