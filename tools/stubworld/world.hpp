// The state of a small world and the handling of client commands, free of any
// socket: input is a connection id and one decoded command, output is the
// frames queued per connection, taken once per loop iteration.
//
// Model:
// - A connection logs in with SESSINIT (protocol "24", a name not in use) and
//   gets a short id 2..252. It takes part in the world from its first
//   TELEPORT into a known room on: only then is it sent notifications, so a
//   client that is still running through its requests and awaiting their
//   replies never meets an unexpected frame.
// - Room numbers are handed out per room name, first come first numbered,
//   from 1, and stay for the life of the world.
// - A client watches the room its actor is in and every room it subscribed
//   to; it sees every other actor in a watched room. Subscription distances
//   are stored but do not cull; a client holds at most 256 subscriptions.
// - Visibility changes are sent as APPRACTR (now visible, or moved to another
//   room or teleported) and DISAPPR (no longer visible); an actor's properties
//   follow its APPRACTR as a PROPUPD. Moves (LONGLOC) go to those who see the
//   actor, never back to the mover. TEXT goes to every client watching the
//   sender's room, the sender included, as the room's record of what was said.
// Builders' WriteErrors (a line too long for a frame) are logged and the
// notification is dropped; nothing here throws on client input.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "veltra/proto/commands.hpp"

namespace stubworld {

using ConnId = uint64_t;
using veltra::proto::Bytes;

// kVarError values of a login reply.
enum LoginError : int {
  kLoginOk = 0,
  kLoginBadProtocol = 1,  // kVarProtocol missing or not "24"
  kLoginNameInUse = 2,
  kLoginNoName = 3,
  kLoginWorldFull = 4,  // no free short id
  kLoginAgain = 5,      // this connection is already logged in
};

// Joins runs of consecutive notifications with one command code into compound
// frames of at most 255 bytes. Only LONGLOC, DISAPPR, APPRACTR, REGOBJID and
// TEXT are joined: their bodies delimit themselves, and no client awaits them
// as the reply to a request. Other frames pass unchanged; order is kept.
std::vector<Bytes> coalesce(const std::vector<Bytes>& frames);

class World {
 public:
  // Log lines go to `log` (one line each, flushed); null for none.
  explicit World(std::ostream* log = nullptr) : log_(log) {}

  void connect(ConnId id);
  // Handles one decoded command. Returns false when the connection is to be
  // closed once its queued output has gone (after SESSEXIT).
  bool handle(ConnId id, const veltra::proto::Incoming& in);
  // The connection is gone: its actor disappears for everyone who saw it.
  void disconnect(ConnId id);

  // The frames queued since the last call, per connection, coalesced.
  std::map<ConnId, std::vector<Bytes>> takeOutput();

  // "[3 ana]" for logs: the connection id and, once logged in, the name.
  std::string tag(ConnId id) const;
  size_t connections() const { return clients_.size(); }

 private:
  struct Client {
    std::string name;  // empty until logged in
    uint8_t shortId = 0;
    bool inWorld = false;  // receives notifications; set by the first TELEPORT
    uint16_t room = 0;     // 0: not in any room
    int16_t x = 0, y = 0, z = 0, dir = 0;
    std::map<uint16_t, int16_t> subscriptions;         // room -> distance
    std::map<uint8_t, veltra::proto::Property> props;  // from PROPSET, by id
    std::map<ConnId, uint16_t> seen;                   // actor -> room it was shown in
    std::set<ConnId> registered;                       // actors whose REGOBJID it got
  };

  void login(ConnId id, Client& c, const veltra::proto::OldPropertyList& props);
  void teleport(ConnId id, Client& c, const veltra::proto::Teleport& t);
  void move(ConnId id, Client& c, const veltra::proto::LongLoc& m);
  void say(ConnId id, Client& c, const std::string& text);
  void setProps(ConnId id, Client& c, const veltra::proto::PropertyList& props);
  void leave(ConnId id);

  bool watches(const Client& viewer, uint16_t room) const;
  // Brings what `viewer` has been shown of `actor` in line with the state;
  // `moved` re-announces an actor that is still visible. True when the actor
  // has just appeared and its properties are still to be sent.
  bool syncPair(ConnId viewerId, Client& viewer, ConnId actorId, const Client& actor, bool moved);
  void syncViewer(ConnId id);
  void syncActor(ConnId id, bool moved);
  Bytes actorProps(const Client& actor) const;

  // Queues a frame built by `build`, or logs why it could not be built.
  template <typename Build>
  void send(ConnId to, Build&& build);
  void log(const std::string& line) const;

  std::ostream* log_;
  std::map<ConnId, Client> clients_;
  std::map<std::string, uint16_t> rooms_;  // name -> number
  std::map<uint16_t, std::string> roomNames_;
  std::set<std::string> names_;  // logged-in names
  std::map<ConnId, std::vector<Bytes>> out_;
};

}  // namespace stubworld
