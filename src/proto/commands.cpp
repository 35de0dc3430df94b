#include "veltra/proto/commands.hpp"

#include <algorithm>
#include <charconv>
#include <utility>

#include "proto/body_io.hpp"
#include "veltra/proto/reader.hpp"

namespace veltra::proto {

namespace {

// The fewest bytes a body of this command takes; 0 also for the bodies that run
// to the end of the frame.
size_t minimumBody(uint8_t cmd) {
  return detail::withBodyType(
      cmd, [](auto type) { return detail::minimumBodyBytes<typename decltype(type)::type>(); });
}

// The most elements the rest of a compound frame can hold, each a target byte
// at least and a body; exact for fixed-size bodies behind short targets, the
// usual compound frame. Bodies that run to the end make one element. Bounded
// by what one frame can hold; a longer span grows the result as it goes.
size_t compoundCapacity(uint8_t cmd, size_t remaining) {
  const size_t body = minimumBody(cmd);
  if (body == 0 && cmd != static_cast<uint8_t>(Command::Disappear)) return 1;
  return std::clamp<size_t>(remaining / (1 + body), 1, 255);
}

// Body texts, one per body type, appended to the line. Numbers go through
// std::to_chars; narrow integers are widened so that they print as numbers.
void number(std::string& out, long v) {
  char digits[24];
  const char* end = std::to_chars(digits, digits + sizeof digits, v).ptr;
  // Char by char: a handful of digits, cheaper than a general copy.
  for (const char* d = digits; d != end; ++d) out.push_back(*d);
}
void position(std::string& out, int16_t x, int16_t y, int16_t z) {
  out += " @";
  number(out, x);
  out += ',';
  number(out, y);
  out += ',';
  number(out, z);
}
void room(std::string& out, uint16_t r) {
  out += " room=";
  number(out, r);
}
void quoted(std::string& out, const std::string& s) {
  out += " \"";
  out += s;
  out += '"';
}
void objid(std::string& out, const ObjID& id) {
  if (id.isLong()) {
    out += id.longId();
  } else {
    out += '#';
    number(out, id.shortId());
  }
}

void render(std::string& out, const PropRequest& b) {
  out += ' ';
  number(out, static_cast<long>(b.ids.size()));
  out += " propiedad(es)";
}
void render(std::string& out, const SessionInit& b) { (out += ' ') += b.props.describe(); }
void render(std::string& out, const SessionExit& b) { (out += ' ') += b.props.describe(); }
void render(std::string& out, const AppInit& b) { (out += ' ') += b.props.describe(); }
void render(std::string& out, const PropCommand& b) { (out += ' ') += b.props.describe(); }
void render(std::string& out, const PropertySet& b) {
  out += " from";
  quoted(out, b.fromUser);
  (out += ' ') += b.props.describe();
}
void render(std::string& out, const RoomIdRequest& b) { quoted(out, b.roomName); }
void render(std::string& out, const Subscribe& b) {
  room(out, b.room);
  position(out, b.x, b.y, b.z);
  out += " dist=";
  number(out, long{b.distance} + 100);
}
void render(std::string& out, const Unsubscribe& b) { room(out, b.room); }
void render(std::string& out, const SubscribeDist& b) {
  room(out, b.room);
  out += " dist=";
  number(out, long{b.distance} + 100);
}
void render(std::string& out, const LongLoc& b) {
  position(out, b.x, b.y, b.z);
  out += " dir=";
  number(out, b.dir);
}
void render(std::string& out, const RoomChange& b) {
  room(out, b.room);
  position(out, b.x, b.y, b.z);
}
void render(std::string& out, const Teleport& b) {
  room(out, b.room);
  out += " exit=";
  number(out, b.exitType);
  out += " entry=";
  number(out, b.entryType);
  position(out, b.x, b.y, b.z);
}
void render(std::string& out, const Text& b) {
  out += " <";
  objid(out, b.sender);
  (out += "> ") += b.text;
}
void render(std::string& out, const Whisper& b) {
  out += " <";
  objid(out, b.sender);
  (out += "> ") += b.text;
}
void render(std::string& out, const BuddyListUpdate& b) {
  (out += ' ') += b.buddy;
  out += b.add ? " (add)" : " (remove)";
}
void render(std::string& out, const FingerRequest& b) { (out += ' ') += b.user; }
void render(std::string& out, const ChannelChange& b) { quoted(out, b.channel); }
void render(std::string& out, const RegisterObjId& b) {
  quoted(out, b.longId);
  out += " -> #";
  number(out, b.shortId);
}
void render(std::string& out, const AppearActor& b) {
  room(out, b.room);
  position(out, b.x, b.y, b.z);
  out += " dir=";
  number(out, b.dir);
}
void render(std::string&, const Disappear&) {}
void render(std::string& out, const RoomId& b) {
  quoted(out, b.roomName);
  out += " = ";
  number(out, b.roomNumber);
}
void render(std::string& out, const PropertyUpdate& b) { (out += ' ') += b.props.describe(); }
void render(std::string& out, const BuddyListNotify& b) {
  (out += ' ') += b.buddy;
  out += b.online ? " conectado" : " desconectado";
}
void render(std::string& out, const Unparsed& b) {
  out += ' ';
  number(out, static_cast<long>(b.payload.size()));
  out += " bytes unparsed";
}

// Bytes of a body's strings, so that the line is reserved once.
size_t textSize(const OldPropertyList& props) { return detail::describedSize(props); }
size_t textSize(const PropertyList& props) { return detail::describedSize(props); }
template <typename Body>
size_t textSize(const Body& b) {
  size_t n = 0;
  if constexpr (requires { b.props; }) n += textSize(b.props);
  if constexpr (requires { b.sender; }) n += b.sender.longId().size();
  if constexpr (requires { b.text; }) n += b.text.size();
  if constexpr (requires { b.fromUser; }) n += b.fromUser.size();
  if constexpr (requires { b.roomName; }) n += b.roomName.size();
  if constexpr (requires { b.longId; }) n += b.longId.size();
  if constexpr (requires { b.buddy; }) n += b.buddy.size();
  if constexpr (requires { b.user; }) n += b.user.size();
  if constexpr (requires { b.channel; }) n += b.channel.size();
  return n;
}

Bytes buildChat(Command command, const std::string& sender, const std::string& text) {
  PacketWriter w(ObjID(kObjClient), command);
  w.objid(ObjID(sender));
  w.utf(text);
  return w.finish();
}

// The same as PacketReader::objid, with the usual one-byte id read inline.
[[gnu::noinline]] ObjID readLongTarget(PacketReader& r) { return ObjID(r.utf()); }
inline ObjID readTarget(PacketReader& r) {
  const uint8_t b = r.u8();
  if (b != kObjLongMarker) [[likely]]
    return ObjID(b);
  return readLongTarget(r);
}

// Appends the frame's elements, each body read by read(r). The element's
// target and body are initialised in place, in the result's storage, from the
// prvalues the conversions below return: no temporary element, no variant
// moved or destroyed. Members are initialised in order, so a compound
// element's target is read before its body.
template <typename Read>
void readElements(std::vector<Incoming>& out, PacketReader& r, ObjID& target, bool compound,
                  uint8_t cmd, Read read) {
  struct Body {
    Read& read;
    PacketReader& r;
    operator CommandBody() const { return read(r); }
  };
  struct Target {
    PacketReader& r;
    operator ObjID() const { return readTarget(r); }
  };
#if !defined(__cpp_aggregate_paren_init)
  // Without parenthesised aggregate initialisation the element converts as a
  // whole, from a braced initialiser: the same order, still in place.
  struct Element {
    ObjID* given;  // the frame's target, or null: the element's own is read
    PacketReader& r;
    uint8_t cmd;
    Body body;
    operator Incoming() const {
      if (given) return Incoming{std::move(*given), cmd, body};
      return Incoming{readTarget(r), cmd, body};
    }
  };
#endif
  if (!compound) {
#if defined(__cpp_aggregate_paren_init)
    out.emplace_back(std::move(target), cmd, Body{read, r});
#else
    out.emplace_back(Element{&target, r, cmd, Body{read, r}});
#endif
    return;
  }
  // Every element consumes at least its target byte, so the loop always ends.
  do {
#if defined(__cpp_aggregate_paren_init)
    out.emplace_back(Target{r}, cmd, Body{read, r});
#else
    out.emplace_back(Element{nullptr, r, cmd, Body{read, r}});
#endif
  } while (!r.empty());
}

// Chooses the body layout by the command code, once per frame, and reads every
// element's body with it, field by field in wire order, by the layout table
// (layout.hpp) that the field model, the body writers and the views follow.
void readBody(std::vector<Incoming>& out, PacketReader& r, ObjID& target, bool compound,
              uint8_t cmd) {
  detail::withBodyType(cmd, [&](auto type) {
    using Body = typename decltype(type)::type;
    readElements(out, r, target, compound, cmd,
                 [cmd](PacketReader& r) { return detail::readFields<Body>(r, cmd); });
  });
}

}  // namespace

std::vector<Incoming> parsePacket(std::span<const uint8_t> packet) {
  std::vector<Incoming> out;
  PacketReader r(packet);
  ObjID target = readTarget(r);
  const uint8_t cmd = r.u8();
  const bool compound = !target.isLong() && target.shortId() == kObjCompound;
  out.reserve(compound ? compoundCapacity(cmd, r.remaining()) : 1);
  readBody(out, r, target, compound, cmd);
  return out;
}

std::string describe(const Incoming& in) {
  // One string, reserved once: the fixed parts of the longest line take
  // under 80 bytes, the rest is the body's strings.
  std::string out;
  const size_t strings = std::visit([](const auto& body) { return textSize(body); }, in.body);
  out.reserve(80 + in.target.longId().size() + strings);
  out += commandName(in.command);
  out += " [";
  objid(out, in.target);
  out += ']';
  std::visit([&out](const auto& body) { render(out, body); }, in.body);
  return out;
}

Bytes buildPropertyUpdate(const PropertyList& props) {
  return buildPropertyUpdateFor(ObjID(kObjProtocol), props);
}

Bytes buildPropertyUpdateFor(const ObjID& target, const PropertyList& props) {
  PacketWriter w(target, Command::PropertyUpdate);
  w.properties(props);
  return w.finish();
}

Bytes buildSessionInitReply(const OldPropertyList& props) {
  PacketWriter w(ObjID(kObjClient), Command::SessionInit);
  w.oldProperties(props);
  return w.finish();
}

Bytes buildSessionExitReply(int errorCode) {
  OldPropertyList props;
  props.add(kVarError, std::to_string(errorCode));
  PacketWriter w(ObjID(kObjClient), Command::SessionExit);
  w.oldProperties(props);
  return w.finish();
}

Bytes buildRoomId(const std::string& roomName, uint16_t roomNumber) {
  PacketWriter w(ObjID(kObjClient), Command::RoomId);
  w.utf(roomName);
  w.u16(roomNumber);
  return w.finish();
}

Bytes buildAppearActor(const ObjID& who, uint16_t room, int16_t x, int16_t y, int16_t z,
                       int16_t dir) {
  PacketWriter w(who, Command::AppearActor);
  w.u16(room);
  w.i16(x);
  w.i16(y);
  w.i16(z);
  w.i16(dir);
  return w.finish();
}

Bytes buildDisappear(const ObjID& who) { return PacketWriter(who, Command::Disappear).finish(); }

Bytes buildLongLoc(const ObjID& who, int16_t x, int16_t y, int16_t z, int16_t dir) {
  PacketWriter w(who, Command::LongLoc);
  w.i16(x);
  w.i16(y);
  w.i16(z);
  w.i16(dir);
  return w.finish();
}

Bytes buildShortLoc(const ObjID& who, int8_t dx, int8_t dy, int8_t ddir) {
  PacketWriter w(who, Command::ShortLoc);
  w.i8(dx);
  w.i8(dy);
  w.i8(ddir);
  return w.finish();
}

Bytes buildRegisterObjId(const std::string& longId, uint8_t shortId) {
  PacketWriter w(ObjID(kObjClient), Command::RegisterObjId);
  w.utf(longId);
  w.u8(shortId);
  return w.finish();
}

Bytes buildBuddyListNotify(const std::string& buddy, bool online) {
  PacketWriter w(ObjID(kObjClient), Command::BuddyListNotify);
  w.utf(buddy);
  w.u8(online ? 1 : 0);
  return w.finish();
}

Bytes buildText(const std::string& sender, const std::string& text) {
  return buildChat(Command::Text, sender, text);
}

Bytes buildWhisper(const std::string& sender, const std::string& text) {
  return buildChat(Command::Whisper, sender, text);
}

bool fitsInShortLoc(int16_t fromX, int16_t fromY, int16_t fromZ, int16_t fromDir, int16_t toX,
                    int16_t toY, int16_t toZ, int16_t toDir, int8_t& dx, int8_t& dy, int8_t& ddir) {
  if (toZ != fromZ) return false;
  // Widened to int: a jump across the whole 16-bit range must not wrap.
  const int ddx = int{toX} - fromX;
  const int ddy = int{toY} - fromY;
  int dd = int{toDir} - fromDir;
  while (dd > 180) dd -= 360;
  while (dd < -180) dd += 360;
  auto fits = [](int v) { return v >= -128 && v <= 127; };
  if (!fits(ddx) || !fits(ddy) || !fits(dd)) return false;
  dx = static_cast<int8_t>(ddx);
  dy = static_cast<int8_t>(ddy);
  ddir = static_cast<int8_t>(dd);
  return true;
}

}  // namespace veltra::proto
