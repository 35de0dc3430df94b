#include "veltra/proto/commands.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "veltra/proto/reader.hpp"

namespace veltra::proto {
namespace {

using B = std::vector<uint8_t>;
using Check = std::function<void(const std::vector<Incoming>&)>;

// Every command of a frame, described and joined by " | ".
std::string describeAll(const std::vector<Incoming>& cmds) {
  std::string out;
  for (const Incoming& in : cmds) out += (out.empty() ? "" : " | ") + describe(in);
  return out;
}

// Parses a heap copy of exactly the span, so that a read past it is caught.
std::vector<Incoming> parse(const B& span) { return parsePacket(B(span)); }

struct ParseCase {
  B span;           // frame without its length byte
  std::string out;  // describeAll of the result, or the ReadError message when error
  bool error = false;
  Check check = nullptr;  // fields that descriptions do not show
};

TEST(ParsePacket, DecodesOrRejectsEveryLayout) {
  const std::string kEnd = "read past the end of the packet";
  // clang-format off
  const std::vector<ParseCase> cases = {
      {{0x05, 0x0B}, "DISAPPR [#5]"},
      {{0x05, 0x0B, 0x01}, "DISAPPR [#5]"},  // trailing byte ignored
      {{0x00, 0x03, 'b', 'o', 't', 0x0B}, "DISAPPR [bot]"},  // long target
      {{0x05, 0x01, 0x00, 0x0A, 0x00, 0x14, 0x00, 0x00, 0x00, 0x5A}, "LONGLOC [#5] @10,20,0 dir=90"},
      {{0x05, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, "LONGLOC [#5] @-1,0,0 dir=0"},
      {{0x05, 0x01, 0x00, 0x0A, 0x00, 0x14, 0x00, 0x00, 0x00}, kEnd, true},  // dir one byte short
      {{0xFE, 0x01, /* #5 */ 0x05, 0x00, 0x0A, 0x00, 0x14, 0x00, 0x00, 0x00, 0x5A,
        /* #6 */ 0x06, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
       "LONGLOC [#5] @10,20,0 dir=90 | LONGLOC [#6] @-1,0,0 dir=0"},
      {{0xFE, 0x0B, 0x05, 0x06, 0x07}, "DISAPPR [#5] | DISAPPR [#6] | DISAPPR [#7]"},
      {{0xFE, 0x0B, 0xFE, 0x05}, "DISAPPR [#254] | DISAPPR [#5]"},  // no nesting
      {{0xFE, 0x0B, 0x00, 0x03, 'a', 'n', 'a', 0x05}, "DISAPPR [ana] | DISAPPR [#5]"},
      {{0xFE, 0x01, 0x05, 0x00, 0x0A, 0x00, 0x14, 0x00, 0x00, 0x00, 0x5A, 0x06}, kEnd, true},
      {{0xFE, 0x0B}, kEnd, true},
      {{0xFE, 0x10, 0x05}, "PROPUPD [#5] ()"},
      {{0xFE, 0x0A, 0x05, 0x02, 0x03}, "PROPREQ [#5] 2 propiedad(es)",
       false, [](auto& v) { EXPECT_EQ(std::get<PropRequest>(v[0].body).ids, (B{2, 3})); }},
      {{0x01, 0x0A}, "PROPREQ [#1] 0 propiedad(es)"},
      {{0x01, 0x02, 0xAA, 0xBB}, "STATE [#1] 2 bytes unparsed", false, [](auto& v) {
         EXPECT_EQ(std::get<Unparsed>(v[0].body).command, 2);
         EXPECT_EQ(std::get<Unparsed>(v[0].body).payload, (B{0xAA, 0xBB}));
       }},
      {{0x01, 0x04, 0x01, 0xFF, 0x10}, "SHORTLOC [#1] 3 bytes unparsed", false,
       [](auto& v) { EXPECT_EQ(std::get<Unparsed>(v[0].body).payload, (B{0x01, 0xFF, 0x10})); }},
      {{0x01, 0x63}, "UNKNOWN [#1] 0 bytes unparsed", false, [](auto& v) {
         EXPECT_EQ(v[0].command, 99);
         EXPECT_EQ(std::get<Unparsed>(v[0].body).command, 99);
       }},
      {{0x01, 0x12, 0x00, 0x07, 0x01, 0xFE, 0x04, 0xCC, 0x09, 0xA1, 0x00, 0x00, 0x00, 0x9D},
       "TELEPORT [#1] room=7 exit=1 entry=-2 @1228,2465,0", false,
       [](auto& v) { EXPECT_EQ(std::get<Teleport>(v[0].body).dir, 157); }},
      {{0x01, 0x05, 0x00, 0x03, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0xFF, 0xD3},
       "ROOMCHNG [#1] room=3 @1,2,3", false,
       [](auto& v) { EXPECT_EQ(std::get<RoomChange>(v[0].body).dir, -45); }},
      {{0x01, 0x16, 0x00, 0x07, 0x00, 0x01, 0xFF, 0xFE, 0x00, 0x03, 0x03, 0x84},
       "SUBSCRIB [#1] room=7 @1,-2,3 dist=1000"},
      {{0x01, 0x17, 0xFF, 0xFF}, "UNSUBSCR [#1] room=65535"},
      {{0x01, 0x18, 0x00, 0x07, 0xFF, 0x9C}, "SUB-DIST [#1] room=7 dist=0"},
      {{}, kEnd, true},
      {{0x05}, kEnd, true},        // no command byte
      {{0x00}, kEnd, true},        // long marker without its string
      {{0x01, 0x15, 0x04, 'H', 'a', 'l', 'l', 0x00, 0x07}, "ROOMID [#1] \"Hall\" = 7"},
      {{0x01, 0x15, 0x04, 'H', 'a', 'l'}, "UTF string overruns the packet", true},
      {{0x01, 0x14, 0x04, 'H', 'a', 'l', 'l'}, "ROOMIDRQ [#1] \"Hall\""},
      {{0x01, 0x14, 0x01, 0x80}, "malformed UTF (invalid lead byte)", true},
      {{0x01, 0x0E, 0x00, 0x03, 'a', 'n', 'a', 0x04, 'h', 'o', 'l', 'a'}, "TEXT [#1] <ana> hola",
       false, [](auto& v) { EXPECT_TRUE(std::get<Text>(v[0].body).sender.isLong()); }},
      {{0x01, 0x11, 0x05, 0x02, 'h', 'i'}, "WHISPER [#1] <#5> hi"},
      {{0x01, 0x0D, 0x03, 'a', 'n', 'a', 0xC8}, "REGOBJID [#1] \"ana\" -> #-56"},
      {{0x01, 0x0D, 0x03, 'a', 'n', 'a'}, kEnd, true},
      {{0x01, 0x1D, 0x03, 'a', 'n', 'a', 0x01}, "BUDDYLISTUPDATE [#1] ana (add)"},
      {{0x01, 0x1E, 0x03, 'a', 'n', 'a', 0x00}, "BUDDYLISTNOTIFY [#1] ana desconectado"},
      {{0x01, 0x1B, 0x03, 'a', 'n', 'a'}, "FINGREQ [#1] ana"},
      {{0x01, 0x1F, 0x02, 'h', 'i'}, "CHANNEL [#1] \"hi\""},
      {{0x01, 0x0C, 0x00, 0x03, 0x04, 0xCC, 0x09, 0xA1, 0x00, 0x00, 0x00, 0x9D},
       "APPRACTR [#1] room=3 @1228,2465,0 dir=157"},
      {{0x01, 0x03, 0x02, 0x03, 'a', 'b', 'c', 0x11, 0x01, 'x'}, "PROP [#1] (VAR_USERNAME=abc VAR#17=x )"},
      {{0x01, 0x06, 0x04, 0x01, '0'}, "SESSINIT [#1] (VAR_ERROR=0 )"},
      {{0x01, 0x07}, "SESSEXIT [#1] ()"},
      {{0x01, 0x08, 0x01, 0x01, 'x'}, "APPINIT [#1] (VAR_APPNAME=x )"},
      {{0x01, 0x08, 0x01}, kEnd, true},  // id without its string
      {{0x01, 0x0F, 0x03, 'a', 'n', 'a', /* id, flags, access */ 0x07, 0x00, 0x00, 0x03, 'a', 'b', 'c',
        0x40, 0x10, 0x02, /* binary */ 0x02, 0x00, 0xFF},
       "PROPSET [#1] from \"ana\" (VAR_AVATARS=abc VAR#64=<2 bytes> )"},
      {{0x01, 0x10, 0x07, 0x10, 0x00, 0x05, 0xAA}, "not enough bytes in the packet", true},
  };
  // clang-format on
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.out);
    if (c.error) {
      try {
        parse(c.span);
        ADD_FAILURE() << "parsed";
      } catch (const ReadError& e) {
        EXPECT_EQ(e.what(), c.out);
      }
      continue;
    }
    const std::vector<Incoming> got = parse(c.span);
    EXPECT_EQ(describeAll(got), c.out);
    if (c.check) c.check(got);
  }
}

}  // namespace
}  // namespace veltra::proto
