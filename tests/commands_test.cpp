#include "veltra/proto/commands.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "veltra/proto/reader.hpp"

namespace veltra::proto {
namespace {

using namespace std::string_literals;
using B = std::vector<uint8_t>;

// The description of every command of the frame, joined by " | ", or "! " and
// the ReadError. Parses a heap copy of exactly the span so that overreads show.
std::string outcome(const B& span) try {
  std::string out;
  for (const Incoming& in : parsePacket(B(span))) out += (out.empty() ? "" : " | ") + describe(in);
  return out;
} catch (const ReadError& e) {
  return std::string("! ") + e.what();
}

struct ParseCase {
  B span;  // frame without its length byte
  std::string out;
  std::function<void(const Incoming&)> check = nullptr;  // fields descriptions do not show
};

TEST(ParsePacket, DecodesOrRejectsEveryLayout) {
  const std::string kEnd = "! read past the end of the packet";
  // clang-format off
  const std::vector<ParseCase> cases = {
      {{0x05, 0x0B, 0x01}, "DISAPPR [#5]"}, {{0x05, 0x01, 0x00, 0x0A, 0x00, 0x14, 0x00, 0x00, 0x00}, kEnd},  // extra byte; dir short
      {{0xFE, 0x01, /* #5 */ 0x05, 0x00, 0x0A, 0x00, 0x14, 0x00, 0x00, 0x00, 0x5A,
        /* #6 */ 0x06, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
       "LONGLOC [#5] @10,20,0 dir=90 | LONGLOC [#6] @-1,0,0 dir=0"},
      {{0xFE, 0x0B, 0x05, 0xFE, 0x00, 0x03, 'a', 'n', 'a', 0x07},  // 0xFE is no nested compound here
       "DISAPPR [#5] | DISAPPR [#254] | DISAPPR [ana] | DISAPPR [#7]"},
      {{0xFE, 0x01, 0x05, 0x00, 0x0A, 0x00, 0x14, 0x00, 0x00, 0x00, 0x5A, 0x06}, kEnd},
      {{0xFE, 0x0B}, kEnd}, {{0xFE, 0x10, 0x05}, "PROPUPD [#5] ()"},  // no element; one running to the end
      {{0xFE, 0x0A, 0x05, 0x02, 0x03}, "PROPREQ [#5] 2 propiedad(es)",
       [](const Incoming& in) { EXPECT_EQ(std::get<PropRequest>(in.body).ids, (B{2, 3})); }},
      {{0x01, 0x02, 0xAA, 0xBB}, "STATE [#1] 2 bytes unparsed",
       [](const Incoming& in) { EXPECT_EQ(std::get<Unparsed>(in.body).payload, (B{0xAA, 0xBB})); }},
      {{0x01, 0x63}, "UNKNOWN [#1] 0 bytes unparsed",  // the code is kept twice
       [](const Incoming& in) { EXPECT_EQ((B{in.command, std::get<Unparsed>(in.body).command}), (B{99, 99})); }},
      {{0x01, 0x12, 0x00, 0x07, 0x01, 0xFE, 0x04, 0xCC, 0x09, 0xA1, 0x00, 0x00, 0x00, 0x9D},
       "TELEPORT [#1] room=7 exit=1 entry=-2 @1228,2465,0", [](const Incoming& in) { EXPECT_EQ(std::get<Teleport>(in.body).dir, 157); }},
      {{0x01, 0x05, 0x00, 0x03, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0xFF, 0xD3},
       "ROOMCHNG [#1] room=3 @1,2,3", [](const Incoming& in) { EXPECT_EQ(std::get<RoomChange>(in.body).dir, -45); }},
      {{0x01, 0x16, 0x00, 0x07, 0x00, 0x01, 0xFF, 0xFE, 0x00, 0x03, 0x03, 0x84}, "SUBSCRIB [#1] room=7 @1,-2,3 dist=1000"},
      {{0x01, 0x17, 0xFF, 0xFF}, "UNSUBSCR [#1] room=65535"}, {{0x01, 0x18, 0x00, 0x07, 0x7F, 0xFF}, "SUB-DIST [#1] room=7 dist=32867"},
      {{}, kEnd}, {{0x05}, kEnd}, {{0x00}, kEnd},  // no target; no command byte; a long marker alone
      {{0x01, 0x14, 0x04, 'H', 'a', 'l', 'l'}, "ROOMIDRQ [#1] \"Hall\""}, {{0x01, 0x15, 0x04, 'H', 'a', 'l'}, "! UTF string overruns the packet"},
      {{0x01, 0x14, 0x01, 0x80}, "! malformed UTF (invalid lead byte)"}, {{0x01, 0x0D, 0x03, 'a', 'n', 'a'}, kEnd},
      {{0x01, 0x11, 0x05, 0x02, 'h', 'i'}, "WHISPER [#1] <#5> hi"},
      {{0x01, 0x1D, 0x03, 'a', 'n', 'a', 0x01}, "BUDDYLISTUPDATE [#1] ana (add)"},
      {{0x01, 0x1B, 0x03, 'a', 'n', 'a'}, "FINGREQ [#1] ana"}, {{0x01, 0x1F, 0x02, 'h', 'i'}, "CHANNEL [#1] \"hi\""},
      {{0x01, 0x03, 0x02, 0x03, 'a', 'b', 'c', 0x11, 0x01, 'x'}, "PROP [#1] (VAR_USERNAME=abc VAR#17=x )"},
      {{0x01, 0x08, 0x01, 0x01, 'x'}, "APPINIT [#1] (VAR_APPNAME=x )"},
      // Property lists: old style (SESSINIT), new style (PROPUPD), entries cut short.
      {{0x01, 0x06, 0x02, 0x03, 'a', 'b', 'c', 0x04, 0x01, '0', 0x04, 0x00,  // ids repeat
        0x11, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x05, 0x00, 0x14, 0x00},
       "SESSINIT [#1] (VAR_USERNAME=abc VAR_ERROR=0 VAR_ERROR= VAR#17= VAR#0= VAR#255= "
       "VAR_CHANNEL/BITMAP= VAR_NEW_PASSWD= )"},
      {{0x01, 0x10, /* id, flags, access */ 0x07, 0x30, 0x02, /* binary */ 0x03, 0x00, 0x01, 0x02,
        0x1C, 0x20, 0x02, /* text */ 0x03, 0xC0, 0x80, 'b', 0x20, 0x90, 0xFF, 0x00,
        0x40, 0x10, 0x00, 0x01, 0xAA},
       "PROPUPD [#1] (VAR_AVATARS=<3 bytes> VAR_NEW_USERNAME=\0b VAR_INVENTORY=<0 bytes> "
       "VAR#64=<1 bytes> )"s},
      {{0x01, 0x06}, "SESSINIT [#1] ()"}, {{0x01, 0x06, 0x02, 0x01, 'a', 0x04}, kEnd},  // no string
      {{0x01, 0x06, 0x02, 0x03, 'a', 'b'}, "! UTF string overruns the packet"},
      {{0x01, 0x10, 0x07, 0x00}, kEnd}, {{0x01, 0x10, 0x07, 0x10, 0x00}, kEnd},  // cut short
      {{0x01, 0x10, 0x07, 0x10, 0x00, 0x03, 0x00, 0x01}, "! not enough bytes in the packet"},
      {{0x01, 0x0F, 0x03, 'a', 'n', 'a', /* id, flags, access */ 0x07, 0x00, 0x00, 0x03, 'a', 'b', 'c', 0x40, 0x10, 0x02,
        /* binary */ 0x02, 0x00, 0xFF}, "PROPSET [#1] from \"ana\" (VAR_AVATARS=abc VAR#64=<2 bytes> )"},
  };
  // clang-format on
  for (const ParseCase& c : cases) {
    EXPECT_EQ(outcome(c.span), c.out);
    if (c.check && c.out[0] != '!') c.check(parsePacket(c.span).at(0));
  }
}

// Values the wire rows do not reach (each body type is rendered by one of those),
// such as a distance that would wrap at 16 bits.
TEST(Describe, RendersEdgeValues) {
  const ObjID c(kObjClient);
  const std::pair<Incoming, std::string> cases[] = {
      {{c, 22, Subscribe{7, 1, -2, 3, 32767}}, "SUBSCRIB [#1] room=7 @1,-2,3 dist=32867"},
      {{c, 29, BuddyListUpdate{"ana", 2}}, "BUDDYLISTUPDATE [#1] ana (add)"},
      {{c, 29, BuddyListUpdate{"ana", 0}}, "BUDDYLISTUPDATE [#1] ana (remove)"},
      {{c, 30, BuddyListNotify{"ana", -1}}, "BUDDYLISTNOTIFY [#1] ana conectado"},
      {{c, 9, Disappear{}}, "UNKNOWN [#1]"},  // the body's type, not the code, picks the text
  };
  for (const auto& [in, text] : cases) EXPECT_EQ(describe(in), text);
}

// A built frame, the bytes it must hold, and the description of it parsed back.
using BuildCase = std::tuple<Bytes, B, std::string>;

std::vector<BuildCase> buildCases() {
  PropertyList avatars;
  avatars.add(kVarAvatars, std::string("\0\1\2", 3), 0x30, 2);
  OldPropertyList login;
  login.add(kVarUsername, "abc");
  login.add(kVarError, "0");
  // clang-format off
  return {
      {buildDisappear(ObjID(5)), {0x03, 0x05, 0x0B}, "DISAPPR [#5]"}, {buildLongLoc(ObjID(5), 10, 20, 0, 90), {0x0B, 0x05, 0x01, 0x00, 0x0A, 0x00, 0x14, 0x00, 0x00, 0x00, 0x5A}, "LONGLOC [#5] @10,20,0 dir=90"},
      {buildShortLoc(ObjID(5), 1, -1, 16), {0x06, 0x05, 0x04, 0x01, 0xFF, 0x10}, "SHORTLOC [#5] 3 bytes unparsed"},
      {buildAppearActor(ObjID(7), 3, 1228, 2465, 0, 157), {0x0D, 0x07, 0x0C, 0x00, 0x03, 0x04, 0xCC, 0x09, 0xA1,
       0x00, 0x00, 0x00, 0x9D}, "APPRACTR [#7] room=3 @1228,2465,0 dir=157"},
      {buildSessionExitReply(-1), {0x07, 0x01, 0x07, 0x04, 0x02, '-', '1'}, "SESSEXIT [#1] (VAR_ERROR=-1 )"},
      {buildPropertyUpdate({}), {0x03, 0xFF, 0x10}, "PROPUPD [#255] ()"},
      {buildPropertyUpdateFor(ObjID("bot"), avatars), {0x0E, 0x00, 0x03, 'b', 'o', 't', 0x10,
       /* id, flags, access */ 0x07, 0x30, 0x02, 0x03, 0x00, 0x01, 0x02}, "PROPUPD [bot] (VAR_AVATARS=<3 bytes> )"},
      {buildSessionInitReply(login), {0x0B, 0x01, 0x06, 0x02, 0x03, 'a', 'b', 'c', 0x04, 0x01, '0'}, "SESSINIT [#1] (VAR_USERNAME=abc VAR_ERROR=0 )"},
      {buildRoomId("Hall", 7), {0x0A, 0x01, 0x15, 0x04, 'H', 'a', 'l', 'l', 0x00, 0x07}, "ROOMID [#1] \"Hall\" = 7"},
      {buildText("ana", "hola"), {0x0D, 0x01, 0x0E, 0x00, 0x03, 'a', 'n', 'a', 0x04, 'h', 'o', 'l', 'a'}, "TEXT [#1] <ana> hola"},
      {buildWhisper("ana", "hola"), {0x0D, 0x01, 0x11, 0x00, 0x03, 'a', 'n', 'a', 0x04, 'h', 'o', 'l', 'a'}, "WHISPER [#1] <ana> hola"},
      {buildBuddyListNotify("ana", true), {0x08, 0x01, 0x1E, 0x03, 'a', 'n', 'a', 0x01}, "BUDDYLISTNOTIFY [#1] ana conectado"},
      {buildBuddyListNotify("ana", false), {0x08, 0x01, 0x1E, 0x03, 'a', 'n', 'a', 0x00}, "BUDDYLISTNOTIFY [#1] ana desconectado"},
      {buildRegisterObjId("ana", 200), {0x08, 0x01, 0x0D, 0x03, 'a', 'n', 'a', 0xC8}, "REGOBJID [#1] \"ana\" -> #-56"},
  };
  // clang-format on
}

TEST(Builders, WriteExactFramesThatParseBack) {
  for (const auto& [frame, wire, parsed] : buildCases()) {
    EXPECT_EQ(frame, wire);
    EXPECT_EQ(outcome(B(frame.begin() + 1, frame.end())), parsed);
  }
  EXPECT_THROW(buildText(std::string(200, 'a'), std::string(200, 'b')), WriteError);
  EXPECT_THROW(buildRoomId(std::string(256, 'a'), 1), WriteError);
}

TEST(FitsInShortLoc, AcceptsOnlyMovesWithinOneByte) {
  // From x, y, z, dir; to x, y, z, dir; whether it fits, and then dx, dy, ddir.
  // clang-format off
  const int16_t cases[][12] = {
      {0, 0, 0, 0, 127, -128, 0, 127, 1, 127, -128, 127},
      {0, 0, 0, 0, 128, 0, 0, 0, 0}, {0, 0, 0, 0, 0, -129, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 1, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 128, 0},
      {0, 0, 0, 350, 0, 0, 0, 10, 1, 0, 0, 20}, {0, 0, 0, 10, 0, 0, 0, 350, 1, 0, 0, -20},
      {0, 0, 0, 0, 0, 0, 0, 180, 0}, {0, 0, 0, 0, 0, 0, 0, -180, 0},
      {0, 0, 0, 0, 0, 0, 0, 232, 1, 0, 0, -128}, {0, 0, 0, 0, 0, 0, 0, 725, 1, 0, 0, 5}, {0, 0, 0, 0, 0, 0, 0, -725, 1, 0, 0, -5},
      {-32768, 0, 0, 0, 32767, 0, 0, 0, 0}, {0, 0, 0, -32768, 0, 0, 0, 32767, 1, 0, 0, 15},
      {100, 200, 5, 90, -27, 73, 5, 90, 1, -127, -127, 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    int8_t d[3] = {99, 99, 99};  // untouched unless the move fits
    const bool ok =
        fitsInShortLoc(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], d[0], d[1], d[2]);
    EXPECT_EQ((std::vector<int>{ok, d[0], d[1], d[2]}),
              (std::vector<int>{c[8], c[8] ? c[9] : 99, c[8] ? c[10] : 99, c[8] ? c[11] : 99}));
  }
}

}  // namespace
}  // namespace veltra::proto
