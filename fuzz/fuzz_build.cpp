// Every reply builder on arguments drawn from the input. It throws WriteError
// exactly when a string, a binary value or the frame is over 255 bytes;
// otherwise its frame holds exactly the bytes the arguments need and parses
// back to them: texts as the string codec settles them, long ids less one more
// leading "!" (ObjID drops one each time it is built from a text).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "proto/utf.hpp"
#include "veltra/proto/commands.hpp"

using namespace veltra::proto;

namespace {

struct Draw {
  std::span<const uint8_t> in;
  uint8_t u8() {
    if (in.empty()) return 0;
    const uint8_t b = in[0];
    return in = in.subspan(1), b;
  }
  uint16_t u16() {
    const uint16_t hi = u8();
    return static_cast<uint16_t>(hi << 8 | u8());
  }
  std::string text() {  // up to 510 bytes, so that every limit can be passed
    const size_t n = std::min<size_t>(2 * u8(), in.size());
    const std::string s(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n));
    return in = in.subspan(n), s;
  }
  PropertyList list() {
    PropertyList l;
    for (int n = u8() % 4; n > 0; --n) {
      const uint8_t id = u8(), flags = u8(), access = u8();
      l.add(id, text(), flags, access);
    }
    return l;
  }
};

template <typename P>
constexpr bool kNew = std::is_same_v<std::decay_t<P>, Property>;
bool over = false;  // some string or binary value is over 255 bytes
std::string settled(const std::string& s) { return detail::fromUtf16(detail::toUtf16(s)); }
size_t len(const std::string& s) { return over |= utfLength(s) > 255, 1 + utfLength(s); }
size_t len(const ObjID& id) { return id.isLong() ? 1 + len(id.longId()) : 1; }
template <typename List>
size_t len(const List& l) {  // entries: id [flags access] value
  size_t n = 0;
  for (const auto& p : l.all()) {
    if constexpr (kNew<decltype(p)>) {
      over |= p.binary() && p.value.size() > 255;
      n += 2 + (p.binary() ? 1 + p.value.size() : len(p.value));
    } else {
      n += len(p.value);
    }
  }
  return n + l.all().size();
}

bool same(const ObjID& got, const ObjID& sent) {
  return got.shortId() == sent.shortId() && got.longId() == ObjID(settled(sent.longId())).longId();
}
template <typename List>
bool same(const List& got, const List& sent) {
  return std::equal(got.all().begin(), got.all().end(), sent.all().begin(), sent.all().end(),
                    [](const auto& g, const auto& s) {
                      if constexpr (kNew<decltype(s)>) {
                        if (g.flags != s.flags || g.access != s.access) return false;
                        if (s.binary()) return g.id == s.id && g.value == s.value;
                      }
                      return g.id == s.id && g.value == settled(s.value);
                    });
}

// Builds; when that succeeds, parses the frame back and asks `fields` about
// its one body (std::get throws, and so aborts, on a body of another type).
template <typename Body, typename Build, typename Fields>
void check(const ObjID& target, size_t body, Build build, Fields fields) {
  const size_t need = 2 + len(target) + body;
  Bytes f;
  try {
    f = build();
  } catch (const WriteError&) {
    if (!over && need <= 255) std::abort();
    return;
  }
  const auto got = parsePacket(std::span<const uint8_t>(f).subspan(1));
  if (over || f.size() != need || f[0] != need || got.size() != 1 || !same(got[0].target, target) ||
      !fields(std::get<Body>(got[0].body))) {
    std::abort();
  }
}

}  // namespace

#define CASE(n, Body, target, body, build, fields)               \
  case n:                                                        \
    check<Body>(                                                 \
        target, body, [&] { return build; },                     \
        [&]([[maybe_unused]] const Body& b) { return fields; }); \
    break;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);  // exact size: one past the end is caught
  Draw d{input};
  over = false;
  const uint8_t which = d.u8() % 13, id = d.u8();
  // 254 would make the frame a compound frame: a long id instead, as for 0.
  const ObjID who = id != 0 && id != kObjCompound ? ObjID(id) : ObjID(d.text());
  const std::string s = d.text(), t = d.text();
  const uint16_t room = d.u16(), hi = d.u16();
  const int code = static_cast<int>(static_cast<uint32_t>(hi) << 16 | d.u16());
  const auto i16 = [&d] { return static_cast<int16_t>(d.u16()); };
  const int16_t x = i16(), y = i16(), z = i16(), dir = i16();
  const PropertyList props = d.list();
  OldPropertyList old;  // the same entries in the old form
  for (const Property& p : props.all()) old.add(p.id, p.value);
  const ObjID client(kObjClient), protocol(kObjProtocol), sender(s);
  const auto pos = [&](const auto& b) { return b.x == x && b.y == y && b.z == z && b.dir == dir; };
  const auto chat = [&](const auto& b) { return same(b.sender, sender) && b.text == settled(t); };
  switch (which) {
    CASE(0, PropertyUpdate, protocol, len(props), buildPropertyUpdate(props), same(b.props, props))
    CASE(1, PropertyUpdate, who, len(props), buildPropertyUpdateFor(who, props),
         same(b.props, props))
    CASE(2, SessionInit, client, len(old), buildSessionInitReply(old), same(b.props, old))
    CASE(3, SessionExit, client, 1 + len(std::to_string(code)), buildSessionExitReply(code),
         b.props.all().size() == 1 && b.props.value(kVarError) == std::to_string(code))
    CASE(4, RoomId, client, len(s) + 2, buildRoomId(s, room),
         b.roomName == settled(s) && b.roomNumber == room)
    CASE(5, AppearActor, who, 10, buildAppearActor(who, room, x, y, z, dir),
         b.room == room && pos(b))
    CASE(6, Disappear, who, 0, buildDisappear(who), true)
    CASE(7, LongLoc, who, 8, buildLongLoc(who, x, y, z, dir), pos(b))
    CASE(8, Unparsed, who, 3, buildShortLoc(who, int8_t(x), int8_t(y), int8_t(z)),
         b.command == 4 && (b.payload == std::vector<uint8_t>{uint8_t(x), uint8_t(y), uint8_t(z)}))
    CASE(9, RegisterObjId, client, len(s) + 1, buildRegisterObjId(s, uint8_t(x)),
         b.longId == settled(s) && b.shortId == int8_t(x))
    CASE(10, BuddyListNotify, client, len(s) + 1, buildBuddyListNotify(s, x & 1),
         b.buddy == settled(s) && b.online == (x & 1))
    CASE(11, Text, client, len(sender) + len(t), buildText(s, t), chat(b))
    CASE(12, Whisper, client, len(sender) + len(t), buildWhisper(s, t), chat(b))
  }
  return 0;
}
