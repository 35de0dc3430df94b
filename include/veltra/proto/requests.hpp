// Builders of the requests a client sends, the counterpart of the replies in
// commands.hpp. Each returns one finished frame, length byte first, or throws
// the writer's WriteError (a text too long for a string or a frame). Requests
// are addressed to kObjClient, except the property request (kObjProtocol).
//
// A client's LONGLOC and TEXT have the same layout as the server's: build
// them with buildLongLoc(ObjID(kObjClient), ...) and buildText("", text) (the
// sender is the empty long id, which the server fills in).
#pragma once

#include <cstdint>
#include <string>

#include "veltra/proto/property.hpp"
#include "veltra/proto/writer.hpp"

namespace veltra::proto {

// The login list a client sends: protocol "24", client "1920", the user
// name, the password only when not empty, and avatars "24".
OldPropertyList loginProperties(const std::string& user, const std::string& password = "");

Bytes buildPropRequest();  // no ids: every property
Bytes buildSessionInit(const OldPropertyList& props);
Bytes buildPropertySet(const std::string& fromUser, const PropertyList& props);
Bytes buildRoomIdRequest(const std::string& roomName);
Bytes buildSubscribe(uint16_t room, int16_t x, int16_t y, int16_t z, int16_t distance);
Bytes buildTeleport(uint16_t room, int8_t exitType, int8_t entryType, int16_t x, int16_t y,
                    int16_t z, int16_t dir);
// The logout; a client sends the one entry kVarError = "0".
Bytes buildSessionExit(const OldPropertyList& props);

}  // namespace veltra::proto
