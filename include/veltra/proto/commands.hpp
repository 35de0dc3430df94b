// Decoded commands, the packet parser, one-line descriptions and the reply
// builders of a server.
//
// parsePacket takes one frame without its length byte and returns its
// commands in frame order; a frame addressed to kObjCompound is a run of
// (target, body) pairs sharing one command byte. It makes one forward pass,
// never reads past the span, and throws ReadError on the first malformed field,
// returning nothing of that frame. Every string in the result is a copy.
//
// Bodies that run to the end of the frame: PropRequest, the four old-style
// property bodies, PropertySet, PropertyUpdate and Unparsed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "veltra/proto/constants.hpp"
#include "veltra/proto/objid.hpp"
#include "veltra/proto/property.hpp"
#include "veltra/proto/writer.hpp"

namespace veltra::proto {

// Body types, one per layout. Fields are in wire order.
struct PropRequest {
  std::vector<uint8_t> ids;
};
struct SessionInit {
  OldPropertyList props;
};
struct SessionExit {
  OldPropertyList props;
};
struct AppInit {
  OldPropertyList props;
};
struct PropCommand {
  OldPropertyList props;
};
struct PropertySet {
  std::string fromUser;
  PropertyList props;
};
struct RoomIdRequest {
  std::string roomName;
};
struct Subscribe {
  uint16_t room = 0;
  int16_t x = 0, y = 0, z = 0;
  int16_t distance = 0;
};
struct Unsubscribe {
  uint16_t room = 0;
};
struct SubscribeDist {
  uint16_t room = 0;
  int16_t distance = 0;
};
struct LongLoc {
  int16_t x = 0, y = 0, z = 0;
  int16_t dir = 0;  // degrees
};
struct RoomChange {
  uint16_t room = 0;
  int16_t x = 0, y = 0, z = 0;
  int16_t dir = 0;
};
struct Teleport {
  uint16_t room = 0;
  int8_t exitType = 0;
  int8_t entryType = 0;
  int16_t x = 0, y = 0, z = 0;
  int16_t dir = 0;
};
struct Text {
  ObjID sender;
  std::string text;
};
struct Whisper {
  ObjID sender;
  std::string text;
};
struct BuddyListUpdate {
  std::string buddy;
  uint8_t add = 0;
};
struct FingerRequest {
  std::string user;
};
struct ChannelChange {
  std::string channel;
};
struct RegisterObjId {
  std::string longId;
  int8_t shortId = 0;  // the raw byte, signed: 200 reads back as -56
};
struct AppearActor {
  uint16_t room = 0;
  int16_t x = 0, y = 0, z = 0;
  int16_t dir = 0;
};
struct Disappear {};
struct RoomId {
  std::string roomName;
  uint16_t roomNumber = 0;
};
struct PropertyUpdate {
  PropertyList props;
};
struct BuddyListNotify {
  std::string buddy;
  int8_t online = 0;
};
// A command carried undecoded: its code byte and every body byte.
struct Unparsed {
  uint8_t command = 0;
  std::vector<uint8_t> payload;
};

// The order of the alternatives is part of the interface: index() is stable.
using CommandBody = std::variant<PropRequest, SessionInit, SessionExit, AppInit, PropCommand,
                                 PropertySet, RoomIdRequest, Subscribe, Unsubscribe, SubscribeDist,
                                 LongLoc, RoomChange, Teleport, Text, Whisper, BuddyListUpdate,
                                 FingerRequest, ChannelChange, RegisterObjId, AppearActor,
                                 Disappear, RoomId, PropertyUpdate, BuddyListNotify, Unparsed>;

// One decoded command. For an element of a compound frame, target is the
// element's own target.
struct Incoming {
  ObjID target;
  uint8_t command = 0;  // as received, named or not
  CommandBody body;
};

// Decodes one frame (without its length byte). Throws ReadError.
std::vector<Incoming> parsePacket(std::span<const uint8_t> packet);

// "MNEMONIC [target] body-text", without a newline.
std::string describe(const Incoming& in);

// Reply builders: each returns one finished frame, length byte first, or
// throws the writer's WriteError. "client" targets are kObjClient.
Bytes buildPropertyUpdate(const PropertyList& props);  // target kObjProtocol
Bytes buildPropertyUpdateFor(const ObjID& target, const PropertyList& props);
Bytes buildSessionInitReply(const OldPropertyList& props);
Bytes buildSessionExitReply(int errorCode);  // one entry: kVarError = decimal errorCode
Bytes buildRoomId(const std::string& roomName, uint16_t roomNumber);
Bytes buildAppearActor(const ObjID& who, uint16_t room, int16_t x, int16_t y, int16_t z,
                       int16_t dir);
Bytes buildDisappear(const ObjID& who);
Bytes buildLongLoc(const ObjID& who, int16_t x, int16_t y, int16_t z, int16_t dir);
Bytes buildShortLoc(const ObjID& who, int8_t dx, int8_t dy, int8_t ddir);
Bytes buildRegisterObjId(const std::string& longId, uint8_t shortId);
Bytes buildBuddyListNotify(const std::string& buddy, bool online);
// The sender travels as a long id built from the name.
Bytes buildText(const std::string& sender, const std::string& text);
Bytes buildWhisper(const std::string& sender, const std::string& text);

// Whether a move can travel as a ShortLoc: z unchanged, x and y within
// -128..127, and the turn, normalised to -180..180 degrees, within -128..127.
// On true the deltas are stored; on false the outputs are left untouched.
bool fitsInShortLoc(int16_t fromX, int16_t fromY, int16_t fromZ, int16_t fromDir, int16_t toX,
                    int16_t toY, int16_t toZ, int16_t toDir, int8_t& dx, int8_t& dy, int8_t& ddir);

}  // namespace veltra::proto
