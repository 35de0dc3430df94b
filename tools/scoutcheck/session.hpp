// One client connection of a check, with blocking reads bounded by the case's
// time-out. Every frame the server sends passes the checks any client needs:
// its length byte is valid, it decodes by its command's layout, and every short
// id it names was announced (REGOBJID) and not released (DISAPPR) since. A
// breach throws Failure with what came, described and in hex.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "veltra/proto/commands.hpp"
#include "veltra/proto/framer.hpp"

namespace scoutcheck {

using veltra::proto::Bytes;
using veltra::proto::Incoming;
using Clock = std::chrono::steady_clock;

// The server did not do what a case expects. `got` holds what came instead,
// one line per command or frame; empty when nothing came.
struct Failure : std::runtime_error {
  Failure(const std::string& expected, std::string got = "")
      : std::runtime_error(expected), got(std::move(got)) {}
  std::string got;
};
// The server closed the connection (or reset it) where a case waited.
struct Closed : Failure {
  using Failure::Failure;
};
// A prerequisite of the case failed (a login, a room number): nothing to judge.
struct Skip : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One received command and the frame it came in, length byte first.
struct Received {
  Incoming in;
  Bytes frame;
  // The actors its target and its sender (TEXT, WHISPER) named when it came,
  // before a DISAPPR released the id: empty for none.
  std::string who, from;
};

// "MNEMONIC [target] ...  05 0b 01 ..." for failure details.
std::string shown(const Received& r);
std::string hex(const Bytes& bytes);

class Session {
 public:
  Session(const sockaddr_in& server, std::chrono::milliseconds timeout);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Sends a whole frame (or any bytes); a refused send throws Closed.
  void send(const Bytes& bytes);
  // Half-closes (no more sending) or resets the connection.
  void shutWrite();
  void reset();

  // The first received command, old or new, that `match` accepts, taken out
  // of the inbox; Failure naming `expected` when none comes in time, Closed
  // when the connection ends first.
  Received await(const std::function<bool(const Received&)>& match, const std::string& expected);
  // A PROPREQ and its PROPUPD: everything the server sent before the reply
  // is in the inbox afterwards.
  void sync();
  // Waits for the end of the connection; false when it stays open.
  bool awaitClose();

  // SESSINIT with the login properties of `name` (protocol "24" unless
  // given); the reply's VAR_ERROR, "(none)" when it has none.
  std::string tryLogin(const std::string& name, const std::string& protocol = "24");
  // A login that must succeed: Skip otherwise.
  void login(const std::string& name);
  // The room's number; Skip when there is none.
  uint16_t roomNumber(const std::string& room);
  // Looks the room up and teleports into it; returns its number.
  uint16_t enter(const std::string& room, int16_t x = 100, int16_t y = 200);

  // The actor an id names: a long id's text, or the name a short id was
  // announced for; empty when it names none.
  std::string resolve(const veltra::proto::ObjID& id) const;
  std::deque<Received>& inbox() { return inbox_; }
  const std::string& name() const { return name_; }

 private:
  // Reads one chunk within the deadline and queues its frames; false on time-out.
  bool readSome(Clock::time_point deadline);
  void take(const Bytes& frame);
  // What came and was not taken (the last few), or "nothing within ...".
  std::string unclaimed() const;

  int fd_ = -1;
  std::chrono::milliseconds timeout_;
  veltra::proto::Framer framer_;
  std::deque<Received> inbox_;
  std::deque<std::string> recent_;      // the last frames read, for failure details
  std::map<uint8_t, std::string> ids_;  // short id -> the name it was announced for
  std::string name_;
  bool closed_ = false;
};

}  // namespace scoutcheck
