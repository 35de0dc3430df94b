#include "veltra/proto/constants.hpp"

namespace veltra::proto {

const char* commandName(uint8_t cmd) {
  // Indexed by code; gaps (0, 9, 19) are "UNKNOWN" like every code above 31.
  static constexpr const char* kNames[32] = {
      "UNKNOWN",         "LONGLOC",  "STATE",    "PROP",    "SHORTLOC", "ROOMCHNG",
      "SESSINIT",        "SESSEXIT", "APPINIT",  "UNKNOWN", "PROPREQ",  "DISAPPR",
      "APPRACTR",        "REGOBJID", "TEXT",     "PROPSET", "PROPUPD",  "WHISPER",
      "TELEPORT",        "UNKNOWN",  "ROOMIDRQ", "ROOMID",  "SUBSCRIB", "UNSUBSCR",
      "SUB-DIST",        "REDIRECT", "REDIRID",  "FINGREQ", "FINGREP",  "BUDDYLISTUPDATE",
      "BUDDYLISTNOTIFY", "CHANNEL"};
  return cmd < 32 ? kNames[cmd] : "UNKNOWN";
}

}  // namespace veltra::proto
