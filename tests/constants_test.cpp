#include "veltra/proto/constants.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>

namespace veltra::proto {
namespace {

struct Named {
  Command command;
  uint8_t code;
  const char* name;
};

// The 29 defined codes with their mnemonics.
const Named kNamed[] = {
    {Command::LongLoc, 1, "LONGLOC"},
    {Command::State, 2, "STATE"},
    {Command::Prop, 3, "PROP"},
    {Command::ShortLoc, 4, "SHORTLOC"},
    {Command::RoomChange, 5, "ROOMCHNG"},
    {Command::SessionInit, 6, "SESSINIT"},
    {Command::SessionExit, 7, "SESSEXIT"},
    {Command::AppInit, 8, "APPINIT"},
    {Command::PropRequest, 10, "PROPREQ"},
    {Command::Disappear, 11, "DISAPPR"},
    {Command::AppearActor, 12, "APPRACTR"},
    {Command::RegisterObjId, 13, "REGOBJID"},
    {Command::Text, 14, "TEXT"},
    {Command::PropertySet, 15, "PROPSET"},
    {Command::PropertyUpdate, 16, "PROPUPD"},
    {Command::Whisper, 17, "WHISPER"},
    {Command::Teleport, 18, "TELEPORT"},
    {Command::RoomIdRequest, 20, "ROOMIDRQ"},
    {Command::RoomId, 21, "ROOMID"},
    {Command::Subscribe, 22, "SUBSCRIB"},
    {Command::Unsubscribe, 23, "UNSUBSCR"},
    {Command::SubscribeDist, 24, "SUB-DIST"},
    {Command::Redirect, 25, "REDIRECT"},
    {Command::RedirectId, 26, "REDIRID"},
    {Command::FingerRequest, 27, "FINGREQ"},
    {Command::FingerReply, 28, "FINGREP"},
    {Command::BuddyListUpdate, 29, "BUDDYLISTUPDATE"},
    {Command::BuddyListNotify, 30, "BUDDYLISTNOTIFY"},
    {Command::Channel, 31, "CHANNEL"},
};

TEST(ConstantsTest, EnumeratorsHoldTheirCodes) {
  for (const Named& n : kNamed) {
    EXPECT_EQ(static_cast<uint8_t>(n.command), n.code) << n.name;
  }
}

TEST(ConstantsTest, CommandNameOfEveryByte) {
  std::map<int, std::string> expected;
  for (const Named& n : kNamed) expected[n.code] = n.name;
  ASSERT_EQ(expected.size(), 29u);
  for (int v = 0; v <= 255; ++v) {
    const char* name = commandName(static_cast<uint8_t>(v));
    ASSERT_NE(name, nullptr) << v;
    const auto it = expected.find(v);
    EXPECT_STREQ(name, it == expected.end() ? "UNKNOWN" : it->second.c_str()) << v;
  }
}

}  // namespace
}  // namespace veltra::proto
