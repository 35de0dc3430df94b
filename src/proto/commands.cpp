#include "veltra/proto/commands.hpp"

#include <sstream>
#include <utility>

#include "veltra/proto/reader.hpp"

namespace veltra::proto {

namespace {

// Property lists have no count: entries run to the end of the frame.
OldPropertyList readOldProperties(PacketReader& r) {
  OldPropertyList props;
  while (!r.empty()) {
    const uint8_t id = r.u8();
    props.add(id, r.utf());
  }
  return props;
}

PropertyList readProperties(PacketReader& r) {
  PropertyList props;
  while (!r.empty()) {
    const uint8_t id = r.u8();
    const uint8_t flags = r.u8();
    const uint8_t access = r.u8();
    std::string value = (flags & kPropFlagBinary) ? r.bytes(r.u8()) : r.utf();
    props.add(id, std::move(value), flags, access);
  }
  return props;
}

// Every remaining byte, copied once.
std::vector<uint8_t> readRest(PacketReader& r) {
  std::vector<uint8_t> out;
  out.reserve(r.remaining());
  while (!r.empty()) out.push_back(r.u8());
  return out;
}

// Braced initialisers evaluate their elements left to right, so each body is
// read field by field in wire order.
CommandBody readBody(uint8_t cmd, PacketReader& r) {
  switch (static_cast<Command>(cmd)) {
    case Command::LongLoc: return LongLoc{r.i16(), r.i16(), r.i16(), r.i16()};
    case Command::Prop: return PropCommand{readOldProperties(r)};
    case Command::RoomChange: return RoomChange{r.u16(), r.i16(), r.i16(), r.i16(), r.i16()};
    case Command::SessionInit: return SessionInit{readOldProperties(r)};
    case Command::SessionExit: return SessionExit{readOldProperties(r)};
    case Command::AppInit: return AppInit{readOldProperties(r)};
    case Command::PropRequest: return PropRequest{readRest(r)};
    case Command::Disappear: return Disappear{};
    case Command::AppearActor: return AppearActor{r.u16(), r.i16(), r.i16(), r.i16(), r.i16()};
    case Command::RegisterObjId: return RegisterObjId{r.utf(), r.i8()};
    case Command::Text: return Text{r.objid(), r.utf()};
    case Command::PropertySet: return PropertySet{r.utf(), readProperties(r)};
    case Command::PropertyUpdate: return PropertyUpdate{readProperties(r)};
    case Command::Whisper: return Whisper{r.objid(), r.utf()};
    case Command::Teleport:
      return Teleport{r.u16(), r.i8(), r.i8(), r.i16(), r.i16(), r.i16(), r.i16()};
    case Command::RoomIdRequest: return RoomIdRequest{r.utf()};
    case Command::RoomId: return RoomId{r.utf(), r.u16()};
    case Command::Subscribe: return Subscribe{r.u16(), r.i16(), r.i16(), r.i16(), r.i16()};
    case Command::Unsubscribe: return Unsubscribe{r.u16()};
    case Command::SubscribeDist: return SubscribeDist{r.u16(), r.i16()};
    case Command::FingerRequest: return FingerRequest{r.utf()};
    case Command::BuddyListUpdate: return BuddyListUpdate{r.utf(), r.u8()};
    case Command::BuddyListNotify: return BuddyListNotify{r.utf(), r.i8()};
    case Command::Channel: return ChannelChange{r.utf()};
    default:  // ShortLoc, State, Redirect, RedirectId, FingerReply and unnamed codes
      return Unparsed{cmd, readRest(r)};
  }
}

// Body texts, one per body type. Narrow integers are widened so that they
// print as numbers, never as characters.
void render(std::ostream& os, const PropRequest& b) {
  os << ' ' << b.ids.size() << " propiedad(es)";
}
void render(std::ostream& os, const SessionInit& b) { os << ' ' << b.props.describe(); }
void render(std::ostream& os, const SessionExit& b) { os << ' ' << b.props.describe(); }
void render(std::ostream& os, const AppInit& b) { os << ' ' << b.props.describe(); }
void render(std::ostream& os, const PropCommand& b) { os << ' ' << b.props.describe(); }
void render(std::ostream& os, const PropertySet& b) {
  os << " from \"" << b.fromUser << "\" " << b.props.describe();
}
void render(std::ostream& os, const RoomIdRequest& b) { os << " \"" << b.roomName << '"'; }
void render(std::ostream& os, const Subscribe& b) {
  os << " room=" << b.room << " @" << b.x << ',' << b.y << ',' << b.z
     << " dist=" << int{b.distance} + 100;
}
void render(std::ostream& os, const Unsubscribe& b) { os << " room=" << b.room; }
void render(std::ostream& os, const SubscribeDist& b) {
  os << " room=" << b.room << " dist=" << int{b.distance} + 100;
}
void render(std::ostream& os, const LongLoc& b) {
  os << " @" << b.x << ',' << b.y << ',' << b.z << " dir=" << b.dir;
}
void render(std::ostream& os, const RoomChange& b) {
  os << " room=" << b.room << " @" << b.x << ',' << b.y << ',' << b.z;
}
void render(std::ostream& os, const Teleport& b) {
  os << " room=" << b.room << " exit=" << int{b.exitType} << " entry=" << int{b.entryType} << " @"
     << b.x << ',' << b.y << ',' << b.z;
}
void render(std::ostream& os, const Text& b) {
  os << " <" << b.sender.describe() << "> " << b.text;
}
void render(std::ostream& os, const Whisper& b) {
  os << " <" << b.sender.describe() << "> " << b.text;
}
void render(std::ostream& os, const BuddyListUpdate& b) {
  os << ' ' << b.buddy << (b.add ? " (add)" : " (remove)");
}
void render(std::ostream& os, const FingerRequest& b) { os << ' ' << b.user; }
void render(std::ostream& os, const ChannelChange& b) { os << " \"" << b.channel << '"'; }
void render(std::ostream& os, const RegisterObjId& b) {
  os << " \"" << b.longId << "\" -> #" << int{b.shortId};
}
void render(std::ostream& os, const AppearActor& b) {
  os << " room=" << b.room << " @" << b.x << ',' << b.y << ',' << b.z << " dir=" << b.dir;
}
void render(std::ostream&, const Disappear&) {}
void render(std::ostream& os, const RoomId& b) {
  os << " \"" << b.roomName << "\" = " << b.roomNumber;
}
void render(std::ostream& os, const PropertyUpdate& b) { os << ' ' << b.props.describe(); }
void render(std::ostream& os, const BuddyListNotify& b) {
  os << ' ' << b.buddy << (b.online ? " conectado" : " desconectado");
}
void render(std::ostream& os, const Unparsed& b) {
  os << ' ' << b.payload.size() << " bytes unparsed";
}

Bytes buildChat(Command command, const std::string& sender, const std::string& text) {
  PacketWriter w(ObjID(kObjClient), command);
  w.objid(ObjID(sender));
  w.utf(text);
  return w.finish();
}

}  // namespace

std::vector<Incoming> parsePacket(std::span<const uint8_t> packet) {
  std::vector<Incoming> out;
  PacketReader r(packet);
  ObjID target = r.objid();
  const uint8_t cmd = r.u8();
  const bool compound = !target.isLong() && target.shortId() == kObjCompound;
  // Every element consumes at least its target byte, so the loop always ends.
  do {
    if (compound) target = r.objid();
    CommandBody body = readBody(cmd, r);
    out.push_back(Incoming{std::move(target), cmd, std::move(body)});
  } while (compound && !r.empty());
  return out;
}

std::string describe(const Incoming& in) {
  std::ostringstream os;
  os << commandName(in.command) << " [" << in.target.describe() << ']';
  std::visit([&os](const auto& body) { render(os, body); }, in.body);
  return os.str();
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
