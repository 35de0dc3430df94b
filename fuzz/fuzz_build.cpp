// Every reply builder on arguments drawn from the input. It throws WriteError
// exactly when a string, a binary value or the frame is over 255 bytes (a
// string or value that long makes the frame longer, so the frame decides);
// otherwise its frame holds exactly the bytes the arguments need and parses
// back to them: texts as the string codec settles them, long ids less one more
// leading "!" (ObjID drops one each time it is built from a text). Every cut
// of such a frame is refused, unless the body runs to the frame's end (property
// lists, unparsed payloads) and the cut leaves the target and command byte.
#include <algorithm>
#include <cstdlib>
#include <span>
#include <tuple>
#include <type_traits>

#include "proto/utf.hpp"
#include "veltra/proto/commands.hpp"
#include "veltra/proto/reader.hpp"

using namespace veltra::proto;

namespace {

std::span<const uint8_t> in;  // not drawn yet

uint8_t u8() { return in.empty() ? 0 : (in = in.subspan(1), in.data()[-1]); }
uint16_t u16() {
  const int hi = u8();
  return static_cast<uint16_t>(hi << 8 | u8());
}
std::string text() {  // up to 510 bytes, so that every limit can be passed
  const size_t n = std::min<size_t>(2 * u8(), in.size());
  const std::string s(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n));
  return in = in.subspan(n), s;
}
std::string settled(const std::string& s) { return detail::fromUtf16(detail::toUtf16(s)); }
size_t len(const std::string& s) { return 1 + utfLength(s); }
size_t len(const ObjID& id) { return id.isLong() ? 1 + len(id.longId()) : 1; }

bool same(const ObjID& got, const ObjID& sent) {
  return got.shortId() == sent.shortId() && got.longId() == ObjID(settled(sent.longId())).longId();
}
auto key(const Property& p) { return std::tie(p.id, p.flags, p.access, p.value); }
auto key(const OldProperty& p) { return std::tie(p.id, p.id, p.id, p.value); }
bool same(const auto& got, const auto& want) {  // property lists, `want` settled
  return std::ranges::equal(got.all(), want.all(),
                            [](auto& g, auto& w) { return key(g) == key(w); });
}

// Builds; when that succeeds, parses the frame back and asks `fields` about
// its one body (std::get throws, and so aborts, on a body of another type).
template <typename Body>
void check(const ObjID& target, size_t body, auto build, auto fields) {
  const size_t need = 2 + len(target) + body;
  Bytes f;
  try {
    f = build();
  } catch (const WriteError&) {
    if (need <= 255) std::abort();
    return;
  }
  const auto got = parsePacket(std::span<const uint8_t>(f).subspan(1));
  if (f.size() != need || f[0] != need || got.size() != 1 || !same(got[0].target, target) ||
      !fields(std::get<Body>(got[0].body)))
    std::abort();
  constexpr bool open = std::is_same_v<Body, PropertyUpdate> || std::is_same_v<Body, SessionInit> ||
                        std::is_same_v<Body, SessionExit> || std::is_same_v<Body, Unparsed>;
  for (size_t n = 0; n + 1 < f.size(); ++n) try {
      parsePacket(std::vector<uint8_t>(f.begin() + 1, f.begin() + 1 + n));  // exact: overreads show
      if (!open || n < 2) std::abort();
    } catch (const ReadError&) {
    }
}

}  // namespace

#define CASE(n, Body, target, body, build, fields)                      \
  case n:                                                               \
    return check<Body>(                                                 \
               target, body, [&] { return build; },                     \
               [&]([[maybe_unused]] const Body& b) { return fields; }), \
           0;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);  // exact size: one past the end is caught
  in = input;
  const uint8_t which = u8() % 13, id = u8();
  // 254 would make the frame a compound frame: a long id instead, as for 0.
  const ObjID who = id != 0 && id != kObjCompound ? ObjID(id) : ObjID(text());
  const std::string s = text(), t = text();
  const uint16_t room = u16(), hi = u16();
  const int code = static_cast<int>(static_cast<uint32_t>(hi) << 16 | u16());
  const int16_t x = int16_t(u16()), y = int16_t(u16()), z = int16_t(u16()), dir = int16_t(u16());
  PropertyList props, want;  // `want` as read back; `old` the same entries in the old form
  OldPropertyList old, wantOld;
  size_t propsLen = 0, oldLen = 0;  // id flags access value, a binary value's length one byte
  for (int n = u8() % 4; n > 0; --n) {
    const uint8_t pid = u8(), flags = u8(), access = u8();
    props.add(pid, text(), flags, access);
    const Property& p = props.all().back();
    old.add(pid, p.value);
    want.add(pid, p.binary() ? p.value : settled(p.value), flags, access);
    wantOld.add(pid, settled(p.value));
    oldLen += 1 + len(p.value);
    propsLen += 3 + (p.binary() ? 1 + p.value.size() : len(p.value));
  }
  const ObjID client(kObjClient), protocol(kObjProtocol), sender(s);
  const auto pos = [&](const auto& b) { return b.x == x && b.y == y && b.z == z && b.dir == dir; };
  const auto chat = [&](const auto& b) { return same(b.sender, sender) && b.text == settled(t); };
  switch (which) {
    CASE(0, PropertyUpdate, protocol, propsLen, buildPropertyUpdate(props), same(b.props, want))
    CASE(1, PropertyUpdate, who, propsLen, buildPropertyUpdateFor(who, props), same(b.props, want))
    CASE(2, SessionInit, client, oldLen, buildSessionInitReply(old), same(b.props, wantOld))
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
