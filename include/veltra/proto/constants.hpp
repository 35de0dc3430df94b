// Protocol-wide constants: command codes, reserved object ids, property ids
// and property flags. All values are the bytes that travel on the wire.
#pragma once

#include <cstdint>

namespace veltra::proto {

// Reserved short object ids. 2..252 name objects the server registered.
enum : uint8_t {
  kObjLongMarker = 0,  // first byte of a long id on the wire; never a short id
  kObjClient = 1,      // the client's own connection
  kObjCurrentRoom = 253,
  kObjCompound = 254,  // frame target: the frame is a run of (target, body) pairs
  kObjProtocol = 255,  // the protocol object
};

// Property ids. Values not listed here (0, 17..19, 21, ...) are still valid ids.
enum : uint8_t {
  kVarAppName = 1,
  kVarUsername = 2,
  kVarProtocol = 3,
  kVarError = 4,
  kVarChannel = 5,
  kVarPassword = 6,
  kVarAvatars = 7,
  kVarUpdateTime = 8,
  kVarClient = 9,
  kVarSerial = 10,
  kVarEmail = 11,
  kVarLogOnOff = 12,
  kVarDuration = 13,
  kVarGuest = 14,
  kVarServerType = 15,
  kVarBizCard = 16,
  kVarNewPassword = 20,
  kVarPriv = 22,
  kVarAsleep = 23,
  kVarExternalHttpServer = 24,
  kVarScriptServer = 25,
  kVarSmtpServer = 26,
  kVarMailDomain = 27,
  kVarNewUsername = 28,
  kVarInternalHttpServer = 29,
  kVarInventory = 32,
  kVarCapabilities = 64,
};

// Property flag bits. Only kPropFlagBinary changes the wire form; the rest
// (and the unnamed bits 0..3) are carried unchanged.
enum : uint8_t {
  kPropFlagBinary = 16,
  kPropFlagFinger = 32,
  kPropFlagAutoUpdate = 64,
  kPropFlagDbStore = 128,
};

// Command codes. A code read off the wire stays a plain uint8_t so that every
// value 0..255 can be carried; Command is for codes that are written or compared.
enum class Command : uint8_t {
  LongLoc = 1,
  State = 2,
  Prop = 3,
  ShortLoc = 4,
  RoomChange = 5,
  SessionInit = 6,
  SessionExit = 7,
  AppInit = 8,
  PropRequest = 10,
  Disappear = 11,
  AppearActor = 12,
  RegisterObjId = 13,
  Text = 14,
  PropertySet = 15,
  PropertyUpdate = 16,
  Whisper = 17,
  Teleport = 18,
  RoomIdRequest = 20,
  RoomId = 21,
  Subscribe = 22,
  Unsubscribe = 23,
  SubscribeDist = 24,
  Redirect = 25,
  RedirectId = 26,
  FingerRequest = 27,
  FingerReply = 28,
  BuddyListUpdate = 29,
  BuddyListNotify = 30,
  Channel = 31,
};

// The mnemonic of any code byte ("LONGLOC", "SUB-DIST", ...), "UNKNOWN" for
// codes without one. Never null; points to static storage.
const char* commandName(uint8_t cmd);

}  // namespace veltra::proto
