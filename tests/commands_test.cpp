#include "veltra/proto/commands.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "veltra/proto/reader.hpp"

namespace veltra::proto {
namespace {

using B = std::vector<uint8_t>;

// The description of every command of the frame, joined by " | ", or "! " and
// the ReadError. Parses a heap copy of exactly the span so that overreads show.
std::string outcome(const B& span) {
  try {
    std::string out;
    for (const Incoming& in : parsePacket(B(span)))
      out += (out.empty() ? "" : " | ") + describe(in);
    return out;
  } catch (const ReadError& e) {
    return std::string("! ") + e.what();
  }
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
      {{0x05, 0x0B}, "DISAPPR [#5]"},
      {{0x05, 0x0B, 0x01}, "DISAPPR [#5]"},  // trailing byte ignored
      {{0x00, 0x03, 'b', 'o', 't', 0x0B}, "DISAPPR [bot]"},  // long target
      {{0x05, 0x01, 0x00, 0x0A, 0x00, 0x14, 0x00, 0x00, 0x00, 0x5A}, "LONGLOC [#5] @10,20,0 dir=90"},
      {{0x05, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, "LONGLOC [#5] @-1,0,0 dir=0"},
      {{0x05, 0x01, 0x00, 0x0A, 0x00, 0x14, 0x00, 0x00, 0x00}, kEnd},  // dir one byte short
      {{0xFE, 0x01, /* #5 */ 0x05, 0x00, 0x0A, 0x00, 0x14, 0x00, 0x00, 0x00, 0x5A,
        /* #6 */ 0x06, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
       "LONGLOC [#5] @10,20,0 dir=90 | LONGLOC [#6] @-1,0,0 dir=0"},
      {{0xFE, 0x0B, 0x05, 0x06, 0x07}, "DISAPPR [#5] | DISAPPR [#6] | DISAPPR [#7]"},
      {{0xFE, 0x0B, 0xFE, 0x05}, "DISAPPR [#254] | DISAPPR [#5]"},  // no nesting
      {{0xFE, 0x0B, 0x00, 0x03, 'a', 'n', 'a', 0x05}, "DISAPPR [ana] | DISAPPR [#5]"},
      {{0xFE, 0x01, 0x05, 0x00, 0x0A, 0x00, 0x14, 0x00, 0x00, 0x00, 0x5A, 0x06}, kEnd},
      {{0xFE, 0x0B}, kEnd},
      {{0xFE, 0x10, 0x05}, "PROPUPD [#5] ()"},
      {{0xFE, 0x0A, 0x05, 0x02, 0x03}, "PROPREQ [#5] 2 propiedad(es)",
       [](const Incoming& in) { EXPECT_EQ(std::get<PropRequest>(in.body).ids, (B{2, 3})); }},
      {{0x01, 0x0A}, "PROPREQ [#1] 0 propiedad(es)"},
      {{0x01, 0x02, 0xAA, 0xBB}, "STATE [#1] 2 bytes unparsed", [](const Incoming& in) {
         EXPECT_EQ(std::get<Unparsed>(in.body).command, 2);
         EXPECT_EQ(std::get<Unparsed>(in.body).payload, (B{0xAA, 0xBB}));
       }},
      {{0x01, 0x04, 0x01, 0xFF, 0x10}, "SHORTLOC [#1] 3 bytes unparsed",
       [](const Incoming& in) { EXPECT_EQ(std::get<Unparsed>(in.body).payload, (B{0x01, 0xFF, 0x10})); }},
      {{0x01, 0x63}, "UNKNOWN [#1] 0 bytes unparsed", [](const Incoming& in) {
         EXPECT_EQ(in.command, 99);
         EXPECT_EQ(std::get<Unparsed>(in.body).command, 99);
       }},
      {{0x01, 0x12, 0x00, 0x07, 0x01, 0xFE, 0x04, 0xCC, 0x09, 0xA1, 0x00, 0x00, 0x00, 0x9D},
       "TELEPORT [#1] room=7 exit=1 entry=-2 @1228,2465,0",
       [](const Incoming& in) { EXPECT_EQ(std::get<Teleport>(in.body).dir, 157); }},
      {{0x01, 0x05, 0x00, 0x03, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0xFF, 0xD3},
       "ROOMCHNG [#1] room=3 @1,2,3",
       [](const Incoming& in) { EXPECT_EQ(std::get<RoomChange>(in.body).dir, -45); }},
      {{0x01, 0x16, 0x00, 0x07, 0x00, 0x01, 0xFF, 0xFE, 0x00, 0x03, 0x03, 0x84},
       "SUBSCRIB [#1] room=7 @1,-2,3 dist=1000"},
      {{0x01, 0x17, 0xFF, 0xFF}, "UNSUBSCR [#1] room=65535"},
      {{0x01, 0x18, 0x00, 0x07, 0xFF, 0x9C}, "SUB-DIST [#1] room=7 dist=0"},
      {{}, kEnd},
      {{0x05}, kEnd},        // no command byte
      {{0x00}, kEnd},        // long marker without its string
      {{0x01, 0x15, 0x04, 'H', 'a', 'l', 'l', 0x00, 0x07}, "ROOMID [#1] \"Hall\" = 7"},
      {{0x01, 0x15, 0x04, 'H', 'a', 'l'}, "! UTF string overruns the packet"},
      {{0x01, 0x14, 0x04, 'H', 'a', 'l', 'l'}, "ROOMIDRQ [#1] \"Hall\""},
      {{0x01, 0x14, 0x01, 0x80}, "! malformed UTF (invalid lead byte)"},
      {{0x01, 0x0E, 0x00, 0x03, 'a', 'n', 'a', 0x04, 'h', 'o', 'l', 'a'}, "TEXT [#1] <ana> hola",
       [](const Incoming& in) { EXPECT_TRUE(std::get<Text>(in.body).sender.isLong()); }},
      {{0x01, 0x11, 0x05, 0x02, 'h', 'i'}, "WHISPER [#1] <#5> hi"},
      {{0x01, 0x0D, 0x03, 'a', 'n', 'a'}, kEnd},
      {{0x01, 0x1D, 0x03, 'a', 'n', 'a', 0x01}, "BUDDYLISTUPDATE [#1] ana (add)"},
      {{0x01, 0x1B, 0x03, 'a', 'n', 'a'}, "FINGREQ [#1] ana"},
      {{0x01, 0x1F, 0x02, 'h', 'i'}, "CHANNEL [#1] \"hi\""},
      {{0x01, 0x0C, 0x00, 0x03, 0x04, 0xCC, 0x09, 0xA1, 0x00, 0x00, 0x00, 0x9D},
       "APPRACTR [#1] room=3 @1228,2465,0 dir=157"},
      {{0x01, 0x03, 0x02, 0x03, 'a', 'b', 'c', 0x11, 0x01, 'x'}, "PROP [#1] (VAR_USERNAME=abc VAR#17=x )"},
      {{0x01, 0x07}, "SESSEXIT [#1] ()"},
      {{0x01, 0x08, 0x01, 0x01, 'x'}, "APPINIT [#1] (VAR_APPNAME=x )"},
      {{0x01, 0x08, 0x01}, kEnd},  // id without its string
      {{0x01, 0x0F, 0x03, 'a', 'n', 'a', /* id, flags, access */ 0x07, 0x00, 0x00, 0x03, 'a', 'b', 'c',
        0x40, 0x10, 0x02, /* binary */ 0x02, 0x00, 0xFF},
       "PROPSET [#1] from \"ana\" (VAR_AVATARS=abc VAR#64=<2 bytes> )"},
      {{0x01, 0x10, 0x07, 0x10, 0x00, 0x05, 0xAA}, "! not enough bytes in the packet"},
  };
  // clang-format on
  for (const ParseCase& c : cases) {
    EXPECT_EQ(outcome(c.span), c.out);
    if (c.check && c.out[0] != '!') c.check(parsePacket(c.span).at(0));
  }
}

OldPropertyList oldList(std::initializer_list<OldProperty> entries) {
  OldPropertyList l;
  for (const OldProperty& p : entries) l.add(p.id, p.value);
  return l;
}

PropertyList newList(std::initializer_list<Property> entries) {
  PropertyList l;
  for (const Property& p : entries) l.add(p.id, p.value, p.flags, p.access);
  return l;
}

TEST(Describe, RendersEveryBodyType) {
  const ObjID c(kObjClient);
  // clang-format off
  const std::vector<std::pair<Incoming, std::string>> cases = {
      {{ObjID(255), 10, PropRequest{{1, 2, 3}}}, "PROPREQ [#255] 3 propiedad(es)"},
      {{c, 6, SessionInit{oldList({{kVarError, "0"}})}}, "SESSINIT [#1] (VAR_ERROR=0 )"},
      {{c, 7, SessionExit{}}, "SESSEXIT [#1] ()"},
      {{c, 8, AppInit{oldList({{kVarAppName, "x"}, {17, "y"}})}}, "APPINIT [#1] (VAR_APPNAME=x VAR#17=y )"},
      {{c, 3, PropCommand{oldList({{kVarUsername, "a b"}})}}, "PROP [#1] (VAR_USERNAME=a b )"},
      {{c, 15, PropertySet{"", newList({{7, 0, 0, "abc"}, {64, 16, 0, "12345"}})}},
       "PROPSET [#1] from \"\" (VAR_AVATARS=abc VAR#64=<5 bytes> )"},
      {{c, 20, RoomIdRequest{"Sala \"A\""}}, "ROOMIDRQ [#1] \"Sala \"A\"\""},
      {{c, 22, Subscribe{7, 1, -2, 3, 32767}}, "SUBSCRIB [#1] room=7 @1,-2,3 dist=32867"},
      {{c, 23, Unsubscribe{65535}}, "UNSUBSCR [#1] room=65535"},
      {{c, 24, SubscribeDist{7, -100}}, "SUB-DIST [#1] room=7 dist=0"},
      {{ObjID("bot"), 1, LongLoc{-32768, 32767, 0, 90}}, "LONGLOC [bot] @-32768,32767,0 dir=90"},
      {{c, 5, RoomChange{3, 1, 2, 3, 45}}, "ROOMCHNG [#1] room=3 @1,2,3"},
      {{c, 18, Teleport{7, -128, 127, 1228, 2465, 0, 157}}, "TELEPORT [#1] room=7 exit=-128 entry=127 @1228,2465,0"},
      {{c, 14, Text{ObjID(5), "hola"}}, "TEXT [#1] <#5> hola"},
      {{c, 17, Whisper{ObjID("ana"), "psst"}}, "WHISPER [#1] <ana> psst"},
      {{c, 29, BuddyListUpdate{"ana", 2}}, "BUDDYLISTUPDATE [#1] ana (add)"},
      {{c, 29, BuddyListUpdate{"ana", 0}}, "BUDDYLISTUPDATE [#1] ana (remove)"},
      {{c, 27, FingerRequest{"ana"}}, "FINGREQ [#1] ana"},
      {{c, 31, ChannelChange{"news"}}, "CHANNEL [#1] \"news\""},
      {{c, 13, RegisterObjId{"ana", -1}}, "REGOBJID [#1] \"ana\" -> #-1"},
      {{ObjID(7), 12, AppearActor{3, 1228, 2465, 0, -157}}, "APPRACTR [#7] room=3 @1228,2465,0 dir=-157"},
      {{ObjID(12), 11, Disappear{}}, "DISAPPR [#12]"},
      {{c, 21, RoomId{"Brackenvel#Reception", 5}}, "ROOMID [#1] \"Brackenvel#Reception\" = 5"},
      {{ObjID(255), 16, PropertyUpdate{newList({{kVarError, 0, 0, ""}})}}, "PROPUPD [#255] (VAR_ERROR= )"},
      {{c, 30, BuddyListNotify{"ana", -1}}, "BUDDYLISTNOTIFY [#1] ana conectado"},
      {{c, 30, BuddyListNotify{"ana", 0}}, "BUDDYLISTNOTIFY [#1] ana desconectado"},
      {{ObjID(12), 4, Unparsed{4, {1, 2, 3}}}, "SHORTLOC [#12] 3 bytes unparsed"},
      {{c, 9, Disappear{}}, "UNKNOWN [#1]"},  // the body's type, not the code, picks the text
  };
  // clang-format on
  for (const auto& [in, text] : cases) EXPECT_EQ(describe(in), text);
}

struct BuildCase {
  Bytes frame;
  B wire;
  std::string parsed;  // description of the frame parsed back
};

std::vector<BuildCase> buildCases() {
  const std::string bin("\0\1\2", 3);
  // clang-format off
  return {
      {buildDisappear(ObjID(5)), {0x03, 0x05, 0x0B}, "DISAPPR [#5]"},
      {buildLongLoc(ObjID(5), 10, 20, 0, 90), {0x0B, 0x05, 0x01, 0x00, 0x0A, 0x00, 0x14, 0x00, 0x00, 0x00, 0x5A},
       "LONGLOC [#5] @10,20,0 dir=90"},
      {buildShortLoc(ObjID(5), 1, -1, 16), {0x06, 0x05, 0x04, 0x01, 0xFF, 0x10}, "SHORTLOC [#5] 3 bytes unparsed"},
      {buildAppearActor(ObjID(7), 3, 1228, 2465, 0, 157),
       {0x0D, 0x07, 0x0C, 0x00, 0x03, 0x04, 0xCC, 0x09, 0xA1, 0x00, 0x00, 0x00, 0x9D},
       "APPRACTR [#7] room=3 @1228,2465,0 dir=157"},
      {buildSessionExitReply(0), {0x06, 0x01, 0x07, 0x04, 0x01, '0'}, "SESSEXIT [#1] (VAR_ERROR=0 )"},
      {buildSessionExitReply(-1), {0x07, 0x01, 0x07, 0x04, 0x02, '-', '1'}, "SESSEXIT [#1] (VAR_ERROR=-1 )"},
      {buildPropertyUpdate({}), {0x03, 0xFF, 0x10}, "PROPUPD [#255] ()"},
      {buildPropertyUpdateFor(ObjID("bot"), newList({{7, 0x30, 2, bin}})),
       {0x0E, 0x00, 0x03, 'b', 'o', 't', 0x10, /* id, flags, access */ 0x07, 0x30, 0x02, 0x03, 0x00, 0x01, 0x02},
       "PROPUPD [bot] (VAR_AVATARS=<3 bytes> )"},
      {buildSessionInitReply({}), {0x03, 0x01, 0x06}, "SESSINIT [#1] ()"},
      {buildSessionInitReply(oldList({{2, "abc"}, {4, "0"}})),
       {0x0B, 0x01, 0x06, 0x02, 0x03, 'a', 'b', 'c', 0x04, 0x01, '0'}, "SESSINIT [#1] (VAR_USERNAME=abc VAR_ERROR=0 )"},
      {buildRoomId("Hall", 7), {0x0A, 0x01, 0x15, 0x04, 'H', 'a', 'l', 'l', 0x00, 0x07}, "ROOMID [#1] \"Hall\" = 7"},
      {buildText("ana", "hola"), {0x0D, 0x01, 0x0E, 0x00, 0x03, 'a', 'n', 'a', 0x04, 'h', 'o', 'l', 'a'},
       "TEXT [#1] <ana> hola"},
      {buildText("!ana", "hola"), {0x0D, 0x01, 0x0E, 0x00, 0x03, 'a', 'n', 'a', 0x04, 'h', 'o', 'l', 'a'},
       "TEXT [#1] <ana> hola"},
      {buildWhisper("ana", "hola"), {0x0D, 0x01, 0x11, 0x00, 0x03, 'a', 'n', 'a', 0x04, 'h', 'o', 'l', 'a'},
       "WHISPER [#1] <ana> hola"},
      {buildBuddyListNotify("ana", true), {0x08, 0x01, 0x1E, 0x03, 'a', 'n', 'a', 0x01}, "BUDDYLISTNOTIFY [#1] ana conectado"},
      {buildBuddyListNotify("ana", false), {0x08, 0x01, 0x1E, 0x03, 'a', 'n', 'a', 0x00},
       "BUDDYLISTNOTIFY [#1] ana desconectado"},
      {buildRegisterObjId("ana", 200), {0x08, 0x01, 0x0D, 0x03, 'a', 'n', 'a', 0xC8}, "REGOBJID [#1] \"ana\" -> #-56"},
  };
  // clang-format on
}

TEST(Builders, WriteExactFramesThatParseBack) {
  for (const BuildCase& c : buildCases()) {
    EXPECT_EQ(c.frame, c.wire);
    EXPECT_EQ(outcome(B(c.frame.begin() + 1, c.frame.end())), c.parsed);
  }
  EXPECT_THROW(buildText(std::string(200, 'a'), std::string(200, 'b')), WriteError);
  EXPECT_THROW(buildRoomId(std::string(256, 'a'), 1), WriteError);
}

// Only a body that runs to the end of the frame (PropRequest, the property
// bodies, Unparsed) can parse from a cut; any other cut must throw.
TEST(ParsePacket, EveryCutThrowsOrParses) {
  std::vector<B> frames = {
      {0x01, 0x12, 0x00, 0x07, 0x01, 0xFE, 0x04, 0xCC, 0x09, 0xA1, 0x00, 0x00, 0x00, 0x9D},
      {0x01, 0x0F, 0x01, 'a', 0x07, 0x00, 0x00, 0x02, 0xC3, 0xA9, 0x40, 0x10, 0x00, 0x01, 0x00}};
  for (const BuildCase& c : buildCases()) frames.emplace_back(c.frame.begin() + 1, c.frame.end());
  for (const B& frame : frames) {
    const size_t body = parsePacket(frame).at(0).body.index();
    const bool open = body <= 5 || body == 22 || body == 24;
    for (size_t n = 0; n < frame.size(); ++n) {
      const std::string got = outcome(B(frame.begin(), frame.begin() + static_cast<long>(n)));
      EXPECT_TRUE(got[0] == '!' || (open && n >= 2)) << outcome(frame) << " cut at " << n;
    }
  }
}

TEST(FitsInShortLoc, AcceptsOnlyMovesWithinOneByte) {
  struct Case {
    int16_t from[4], to[4];  // x, y, z, dir
    bool fits;
    int dx = 0, dy = 0, ddir = 0;
  };
  // clang-format off
  const Case cases[] = {
      {{0, 0, 0, 0}, {127, -128, 0, 127}, true, 127, -128, 127},
      {{0, 0, 0, 0}, {128, 0, 0, 0}, false}, {{0, 0, 0, 0}, {0, -129, 0, 0}, false},
      {{0, 0, 0, 0}, {0, 0, 1, 0}, false}, {{0, 0, 0, 0}, {0, 0, 0, 128}, false},
      {{0, 0, 0, 350}, {0, 0, 0, 10}, true, 0, 0, 20}, {{0, 0, 0, 10}, {0, 0, 0, 350}, true, 0, 0, -20},
      {{0, 0, 0, 0}, {0, 0, 0, 180}, false}, {{0, 0, 0, 0}, {0, 0, 0, -180}, false},
      {{0, 0, 0, 0}, {0, 0, 0, 232}, true, 0, 0, -128}, {{0, 0, 0, 0}, {0, 0, 0, 725}, true, 0, 0, 5},
      {{0, 0, 0, 0}, {0, 0, 0, -725}, true, 0, 0, -5},
      {{-32768, 0, 0, 0}, {32767, 0, 0, 0}, false}, {{0, 0, 0, -32768}, {0, 0, 0, 32767}, true, 0, 0, 15},
      {{100, 200, 5, 90}, {-27, 73, 5, 90}, true, -127, -127, 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    int8_t dx = 99, dy = 99, ddir = 99;
    EXPECT_EQ(fitsInShortLoc(c.from[0], c.from[1], c.from[2], c.from[3], c.to[0], c.to[1], c.to[2],
                             c.to[3], dx, dy, ddir),
              c.fits);
    const int want[3] = {c.fits ? c.dx : 99, c.fits ? c.dy : 99, c.fits ? c.ddir : 99};
    EXPECT_EQ((std::vector<int>{dx, dy, ddir}), (std::vector<int>(want, want + 3)));
  }
}

}  // namespace
}  // namespace veltra::proto
