#include "veltra/proto/constants.hpp"

#include <gtest/gtest.h>

namespace veltra::proto {
namespace {

using enum Command;
// clang-format off
// Mnemonics indexed by code; "" for the codes without one, as for every code above 31.
const char* const kNames[32] = {"", "LONGLOC", "STATE", "PROP", "SHORTLOC", "ROOMCHNG", "SESSINIT",
    "SESSEXIT", "APPINIT", "", "PROPREQ", "DISAPPR", "APPRACTR", "REGOBJID", "TEXT", "PROPSET",
    "PROPUPD", "WHISPER", "TELEPORT", "", "ROOMIDRQ", "ROOMID", "SUBSCRIB", "UNSUBSCR", "SUB-DIST",
    "REDIRECT", "REDIRID", "FINGREQ", "FINGREP", "BUDDYLISTUPDATE", "BUDDYLISTNOTIFY", "CHANNEL"};
// The enumerators in code order: each holds the next code that has a mnemonic.
const Command kAll[] = {LongLoc, State, Prop, ShortLoc, RoomChange, SessionInit, SessionExit,
    AppInit, PropRequest, Disappear, AppearActor, RegisterObjId, Text, PropertySet, PropertyUpdate,
    Whisper, Teleport, RoomIdRequest, RoomId, Subscribe, Unsubscribe, SubscribeDist, Redirect,
    RedirectId, FingerRequest, FingerReply, BuddyListUpdate, BuddyListNotify, Channel};
// clang-format on

TEST(ConstantsTest, CommandNamesAndCodes) {
  for (int v = 0; v <= 255; ++v)
    EXPECT_STREQ(commandName(v), v < 32 && *kNames[v] ? kNames[v] : "UNKNOWN") << v;
  for (int code = 0, i = 0; code < 32; ++code)
    EXPECT_EQ(*kNames[code] ? static_cast<int>(kAll[i++]) : code, code) << kNames[code];
}

}  // namespace
}  // namespace veltra::proto
