#include "veltra/proto/requests.hpp"

namespace veltra::proto {

namespace {

PacketWriter request(Command command) { return PacketWriter(ObjID(kObjClient), command); }

}  // namespace

OldPropertyList loginProperties(const std::string& user, const std::string& password) {
  OldPropertyList props;
  props.add(kVarProtocol, "24");
  props.add(kVarClient, "1920");
  props.add(kVarUsername, user);
  if (!password.empty()) props.add(kVarPassword, password);
  props.add(kVarAvatars, "24");
  return props;
}

Bytes buildPropRequest() {
  return PacketWriter(ObjID(kObjProtocol), Command::PropRequest).finish();
}

Bytes buildSessionInit(const OldPropertyList& props) {
  PacketWriter w = request(Command::SessionInit);
  w.oldProperties(props);
  return w.finish();
}

Bytes buildPropertySet(const std::string& fromUser, const PropertyList& props) {
  PacketWriter w = request(Command::PropertySet);
  w.utf(fromUser);
  w.properties(props);
  return w.finish();
}

Bytes buildRoomIdRequest(const std::string& roomName) {
  PacketWriter w = request(Command::RoomIdRequest);
  w.utf(roomName);
  return w.finish();
}

Bytes buildSubscribe(uint16_t room, int16_t x, int16_t y, int16_t z, int16_t distance) {
  PacketWriter w = request(Command::Subscribe);
  w.u16(room);
  w.i16(x);
  w.i16(y);
  w.i16(z);
  w.i16(distance);
  return w.finish();
}

Bytes buildTeleport(uint16_t room, int8_t exitType, int8_t entryType, int16_t x, int16_t y,
                    int16_t z, int16_t dir) {
  PacketWriter w = request(Command::Teleport);
  w.u16(room);
  w.i8(exitType);
  w.i8(entryType);
  w.i16(x);
  w.i16(y);
  w.i16(z);
  w.i16(dir);
  return w.finish();
}

Bytes buildSessionExit(const OldPropertyList& props) {
  PacketWriter w = request(Command::SessionExit);
  w.oldProperties(props);
  return w.finish();
}

}  // namespace veltra::proto
