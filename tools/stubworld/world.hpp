// The state of a small world and the handling of client commands, free of any
// socket: input is a connection id and one decoded command, output is the
// bytes queued per connection, handed over once per loop turn by drain().
//
// Model:
// - A connection logs in with SESSINIT (protocol "24", a name not in use, not
//   beginning with "!", that fits every frame that carries it as a long id:
//   every long id written reads back as its owner's name). It takes part in
//   the world from its first TELEPORT into a known room on: only then is it
//   sent notifications, so a client that is still running through its requests
//   and awaiting their replies never meets an unexpected frame.
// - Every request that awaits a reply gets one, logged in or not: a login that
//   cannot be accepted is refused with its reason in VAR_ERROR; a room name too
//   long for its ROOMID is answered with number 0 and the name cut to fit;
//   SESSEXIT is answered and ends the connection.
// - Room numbers are handed out per room name from 1. A room lives while a
//   client is in it, subscribes to it or has it among the last 256 rooms it
//   looked up (a room looked up again counts from its latest lookup); then it
//   is forgotten and its number, once the 65,535 numbers are spent, is given
//   again (oldest freed first). No numbers left: number 0.
// - A client watches the room its actor is in and every room it subscribed
//   to (at most 256, known rooms only); it sees every other actor in a watched
//   room. Subscription distances are stored but do not cull.
// - Object ids are per viewer: an actor that comes into a viewer's sight gets
//   the lowest of the viewer's free short ids 2..252, announced with REGOBJID,
//   and keeps it until it leaves the viewer's sight; with none free it is
//   addressed by its long id (its name). So any number of actors can log in.
// - Visibility changes are sent as APPRACTR (now visible, or moved to another
//   room or teleported) and DISAPPR (no longer visible); an actor's properties
//   follow its APPRACTR as a PROPUPD (several when it is addressed by its long
//   id and they do not fit one frame), and changes to them reach its viewers
//   once per turn, however many PROPSETs came. A PROPSET whose properties could
//   not all reach such a viewer is ignored. Moves (LONGLOC) go to those who see
//   the actor, never back to the mover. TEXT goes to every client watching the
//   sender's room, the sender included, as the room's record of what was said;
//   a line too long for a frame with the sender's name is cut to fit, on a
//   character boundary.
// - Notifications are encoded once and their bytes appended to each viewer's
//   output, where runs of one joinable command join into compound frames.
// Log lines escape control characters; nothing here throws on client input.
#pragma once

#include <bitset>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <ostream>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "veltra/proto/commands.hpp"
#include "veltra/proto/view.hpp"

namespace stubworld {

using ConnId = uint64_t;
using veltra::proto::Bytes;

// kVarError values of a login reply. (4, "world full", is no longer given:
// ids are per viewer, and the server limits connections instead.)
enum LoginError : int {
  kLoginOk = 0,
  kLoginBadProtocol = 1,  // kVarProtocol missing or not "24"
  kLoginNameInUse = 2,
  kLoginNoName = 3,
  kLoginAgain = 5,        // this connection is already logged in
  kLoginNameTooLong = 6,  // too long on the wire for an APPRACTR to carry it as a long id
  kLoginNameBang = 7,     // begins with "!": a long id reader drops one, so as a long id
                          // the name would read back as another
};

// One connection's output of one turn. Frames are appended whole; runs of
// consecutive LONGLOC, DISAPPR, APPRACTR, REGOBJID or TEXT frames (bodies that
// delimit themselves, and no reply a client awaits) are joined into compound
// frames of at most 255 bytes. Order is kept.
class Outbox {
 public:
  // A finished frame, length byte first.
  void add(std::span<const uint8_t> frame);
  // The frame [length][target][cmd][body], written in place; false, and
  // nothing appended, when it would exceed 255 bytes.
  bool add(std::span<const uint8_t> target, uint8_t cmd, std::span<const uint8_t> body);
  Bytes& bytes() { return buf_; }
  // Starts afresh once the bytes have been taken.
  void clear() { buf_.clear(), last_ = veltra::proto::kNoFrame; }

 private:
  Bytes buf_;
  size_t last_ = veltra::proto::kNoFrame;  // start of the last frame while others may join it
};

class World {
 public:
  // Log lines go to `log` (one line each, flushed); null for none.
  explicit World(std::ostream* log = nullptr) : log_(log) {}

  void connect(ConnId id);
  // Handles one decoded command. Returns false when the connection is to be
  // closed once its queued output has gone (after SESSEXIT, logged in or not).
  bool handle(ConnId id, const veltra::proto::Incoming& in);
  // The connection is gone: its actor disappears for everyone who saw it.
  void disconnect(ConnId id);

  // Ends a turn: sends the turn's property changes, then hands each
  // connection's output to `take`, once per connection that has any.
  void drain(const std::function<void(ConnId, Bytes&)>& take);
  // Bytes queued for all connections so far: what a request has cost.
  uint64_t queued() const { return queued_; }

  bool loggedIn(ConnId id) const;
  // "[3 ana]" for logs: the connection id and, once logged in, the name.
  std::string tag(ConnId id) const;
  size_t connections() const { return clients_.size(); }
  size_t rooms() const { return rooms_.size(); }

 private:
  struct Client;
  struct View {
    uint16_t room;  // where the actor was last shown
    uint8_t id;     // the viewer's short id for it; 0: its long id
    uint32_t at;    // the viewer's place in the actor's `viewers`
  };
  struct Viewer {
    Client* client;
    uint8_t id;  // as in View
  };
  struct Client {
    ConnId id = 0;
    std::string name;  // empty until logged in
    Bytes longId;      // the name as an object id on the wire
    bool inWorld = false;
    uint16_t room = 0;  // 0: not in any room
    int16_t x = 0, y = 0, z = 0, dir = 0;
    std::map<uint16_t, int16_t> subscriptions;  // room -> distance
    std::deque<uint16_t> lookups;               // rooms it looked up, oldest first
    std::map<uint8_t, veltra::proto::Property> props;
    Bytes propsBody;               // props as a PROPUPD body
    std::vector<Bytes> propsLong;  // props as PROPUPD frames addressed by its long id
    bool propsChanged = false;
    std::unordered_map<Client*, View> seen;  // the actors shown to it
    std::vector<Viewer> viewers;             // those it is shown to: its fan-out, without a lookup
    std::bitset<256> ids;                    // its short ids in use
    Outbox out;
    uint64_t mark = 0;  // visited in the current fan-out
  };
  struct Room {
    std::string name;
    size_t refs = 0;                // lookups, subscriptions and actors in it
    std::vector<Client*> actors;    // in the world and in this room
    std::vector<Client*> watchers;  // in the world and in it or subscribed to it
  };

  void login(Client& c, const veltra::proto::OldPropertyList& props);
  void lookup(Client& c, const std::string& name);
  void subscribe(Client& c, uint16_t room, int16_t distance);
  void unsubscribe(Client& c, uint16_t room);
  void teleport(Client& c, const veltra::proto::Teleport& t);
  void move(Client& c, const veltra::proto::LongLoc& m);
  void say(Client& c, const std::string& text);
  void setProps(Client& c, const veltra::proto::PropertyList& props);
  void logout(Client& c);

  void hold(uint16_t room);
  void release(uint16_t room);
  bool watches(const Client& viewer, uint16_t room) const;
  // Puts `c` into or out of a room's list of actors or watchers.
  static void list(std::vector<Client*>& v, Client& c, bool in);
  void rewatch(Client& viewer, uint16_t room);
  // Brings what `viewer` has been shown of `actor` in line with the state;
  // `moved` re-announces an actor that is still visible. True when the actor
  // has just appeared and its properties are still to be sent.
  bool syncPair(Client& viewer, Client& actor, bool moved);
  void syncViewer(Client& viewer);
  void syncActor(Client& actor, uint16_t fromRoom, bool moved);
  void unsee(Client& viewer, std::unordered_map<Client*, View>::iterator it);
  static std::span<const uint8_t> target(const uint8_t& id, const Client& actor);
  void sendProps(Client& viewer, const Client& actor);
  void sendProps(Client& viewer, uint8_t id, const Client& actor);

  bool emit(Client& to, std::span<const uint8_t> target, uint8_t cmd,
            std::span<const uint8_t> body);
  void emit(Client& to, const Bytes& frame);
  void log(const std::string& line) const;

  std::ostream* log_;
  std::unordered_map<ConnId, Client> clients_;
  std::unordered_map<uint16_t, Room> rooms_;
  std::unordered_map<std::string, uint16_t> numbers_;  // room name -> number
  std::deque<uint16_t> freeNumbers_;                   // forgotten, oldest first
  uint32_t nextNumber_ = 1;
  std::unordered_set<std::string> names_;  // logged-in names as long ids
  std::vector<ConnId> outputs_;            // connections with output this turn
  std::vector<ConnId> changed_;            // actors whose properties changed
  uint64_t queued_ = 0;
  uint64_t mark_ = 0;
};

}  // namespace stubworld
