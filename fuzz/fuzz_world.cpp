// Stateful fuzz of stubworld's World. The input is a program of client
// operations over six connections (and, in crowd mode, 260 more sessions in 100
// rooms); each operation is one turn. After every turn, each connection's
// output is split into frames and decoded, applied to what that client has
// been told, and checked against a reference model of the rules in
// tools/stubworld/world.hpp. Failures name the invariant, the connection and,
// in brackets, the item of issue 18 they were written for.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "stubworld/world.hpp"
#include "veltra/proto/commands.hpp"
#include "veltra/proto/framer.hpp"
#include "veltra/proto/reader.hpp"
#include "veltra/proto/requests.hpp"

using namespace veltra::proto;
using stubworld::ConnId;

namespace {

using Props = std::map<uint8_t, std::tuple<uint8_t, uint8_t, std::string>>;  // flags, access, value
using Pos = std::array<int16_t, 4>;

std::string times(int n, const std::string& s) { return n ? s + times(n - 1, s) : ""; }
// Leading "!" (a long id drops one), a name that only just fits and one that does not.
const std::string kNames[] = {
    "ana", "bo", "!ana", "!!bo", "dé", "", times(120, "l"), times(200, "m"), times(242, "n")};
const std::string kRooms[] = {"hall", "yard", "attic", "c0", "c1", times(250, "r")};
// The longest fit a request but not a relayed copy that carries the sender's name.
const std::string kTexts[] = {"hi", "", times(249, "x"), times(120, "é"), times(80, "€")};
// Each fits one frame with the longest accepted long id; several together do not.
const std::string kValues[] = {"a", times(40, "p"), times(20, "é"), std::string("\0\xff", 2)};
const uint8_t kPropIds[] = {kVarChannel, kVarBizCard, kVarAsleep};
constexpr int kActive = 6, kCrowd = 260, kCrowdRooms = 100, kMaxOps = 48, kBurst = 128;
constexpr int kFirstId = 2, kLastId = 252;

struct Seen {  // what a viewer has been told of one actor; shown: APPRACTR came
  uint8_t id = 0;
  bool shown = false;
  uint16_t room = 0;
  Pos pos{};
  Props props;
};
struct Reply {  // name: SESSINIT's when accepted (ok), ROOMID's to come back
  Command cmd;
  std::string name;
  bool ok = false;
  uint16_t number = 0;
  const char* item = "";
};
struct Slot {       // one connection: the model's client, then what it has been told
  ConnId conn = 0;  // 0: not connected
  std::string name, tag;
  bool inWorld = false, closing = false;
  uint16_t room = 0;
  Pos pos{};
  std::set<uint16_t> subs;
  std::deque<uint16_t> lookups;  // the window, least recent first
  Props props;
  std::map<std::string, Seen> view;
  std::map<uint8_t, std::string> ids;                     // short id -> name
  std::deque<Reply> replies;                              // owed this turn
  std::deque<std::pair<std::string, std::string>> texts;  // owed: sender, text
};

[[noreturn]] void fail(const Slot* s, const char* item, const std::string& what) {
  std::fprintf(stderr, "fuzz_world: %s%s%s\n", item, s ? (" " + s->tag + ": ").c_str() : " ",
               what.c_str());
  std::abort();
}

Incoming in(Command cmd, CommandBody body, uint8_t target = kObjClient) {
  return {ObjID(target), static_cast<uint8_t>(cmd), std::move(body)};
}
bool fits(const std::function<void()>& build) {
  try {
    build();
    return true;
  } catch (const WriteError&) {
    return false;
  }
}

class Harness {
 public:
  explicit Harness(bool crowd) : slots_(kActive + (crowd ? kCrowd : 0)) {
    if (!crowd) return;
    beginTurn();
    for (int i = 0; i < kCrowd; ++i) {
      Slot& s = open(kActive + i);
      login(s, "c" + std::to_string(i));
      const std::string room = "c" + std::to_string(i % kCrowdRooms);
      if (i < kCrowdRooms) lookup(s, room);
      teleport(s, room, Pos{int16_t(i), 0, 0, 0});
    }
    endTurn();
  }

  void run(uint8_t op, uint8_t arg) {
    beginTurn();
    Slot& s = open(op % kActive);
    const auto pick = [&](const auto& table) { return table[arg % std::size(table)]; };
    const Pos pos{int16_t(arg * 7), int16_t(-arg), int16_t(op), int16_t(arg * 2)};
    switch (op / kActive % 13) {
      case 0: login(s, pick(kNames), arg >= 0xf0 ? "23" : "24"); break;
      case 1: lookup(s, pick(kRooms)); break;
      case 2: teleport(s, pick(kRooms), pos); break;
      case 3: subscribe(s, numberOf(pick(kRooms))); break;
      case 4: unsubscribe(s, numberOf(pick(kRooms))); break;
      case 5: move(s, pos); break;
      case 6: say(s, pick(kTexts)); break;
      case 7: setProps(s, arg % 3 + 1, kValues[arg / 3 % std::size(kValues)]); break;
      case 8: exit(s); break;
      case 9: logout(s), world_.disconnect(s.conn), s.conn = 0; break;
      case 10:
        handle(s, in(Command::PropRequest, PropRequest{}, kObjProtocol), true);
        s.replies.push_back({Command::PropertyUpdate, "", true, 0, ""});
        break;
      case 11:  // a window's worth of new names, to push older lookups out [11]
        for (int i = 0; i < kBurst; ++i) lookup(s, "n" + std::to_string(fresh_++));
        break;
      case 12:  // watch every crowd room: more actors than short ids [14]
        for (int i = 0; i < kCrowdRooms; ++i) subscribe(s, numberOf("c" + std::to_string(i)));
        break;
    }
    endTurn();
  }

 private:
  Slot& open(int i) {
    Slot& s = slots_[i];
    if (s.conn) return s;
    s = Slot{};
    s.conn = ++lastConn_;
    slotOf_[s.conn] = i;
    s.tag = "conn " + std::to_string(s.conn);
    world_.connect(s.conn);
    return s;
  }
  void handle(Slot& s, const Incoming& cmd, bool keeps) {
    if (world_.handle(s.conn, cmd) != keeps)
      fail(&s, keeps ? "" : "[12]",
           std::string("World::handle ") + (keeps ? "ended" : "kept") + " the connection");
  }
  uint16_t numberOf(const std::string& room) const {
    auto it = numbers_.find(room);
    return it == numbers_.end() ? 0 : it->second;
  }
  // A room is forgotten once nobody is in it, subscribes to it or has it in the window.
  void hold(uint16_t n) { ++live_[n]; }
  void release(uint16_t n) {
    if (--live_[n] == 0) live_.erase(n);
  }

  void login(Slot& s, const std::string& name, const std::string& protocol = "24") {
    OldPropertyList p = loginProperties(name);
    if (protocol != "24") p = {}, p.add(kVarProtocol, protocol), p.add(kVarUsername, name);
    bool ok = s.name.empty() && protocol == "24" && !name.empty() && name[0] != '!' &&
              fits([&] { buildAppearActor(ObjID(name), 0, 0, 0, 0, 0); });
    for (const Slot& o : slots_) ok = ok && !(o.conn && o.name == name);
    handle(s, in(Command::SessionInit, SessionInit{p}), true);
    s.replies.push_back({Command::SessionInit, name, ok, 0, name[0] == '!' ? "[10]" : ""});
    if (!ok) return;
    s.name = name, s.tag += " (" + name.substr(0, 12) + ")";
    named_.insert(name);
  }
  void lookup(Slot& s, const std::string& room) {
    handle(s, in(Command::RoomIdRequest, RoomIdRequest{room}), true);
    const char* item = s.name.empty() ? "[12]" : "[11]";
    if (!fits([&] { buildRoomId(room, 0); })) {  // answered with number 0 and the name cut
      std::string cut = room;
      while (!fits([&] { buildRoomId(cut, 0); })) cut.pop_back();
      s.replies.push_back({Command::RoomId, cut, true, 0, item});
      return;
    }
    uint16_t n = numberOf(room);
    if (!n || !live_.count(n)) n = static_cast<uint16_t>(next_++), numbers_[room] = n;
    if (!std::erase(s.lookups, n)) hold(n);  // the window is ordered by the latest lookup
    s.lookups.push_back(n);
    if (s.lookups.size() > 256) {
      const uint16_t oldest = s.lookups.front();
      s.lookups.pop_front();
      release(oldest);
    }
    s.replies.push_back({Command::RoomId, room, true, n, item});
  }
  void teleport(Slot& s, const std::string& room, Pos pos) {
    const uint16_t n = numberOf(room);
    handle(s, in(Command::Teleport, Teleport{n, 0, 0, pos[0], pos[1], pos[2], pos[3]}), true);
    if (s.name.empty() || !live_.count(n)) return;
    hold(n);
    if (s.inWorld) release(s.room);
    s.inWorld = true, s.room = n, s.pos = pos;
  }
  void subscribe(Slot& s, uint16_t n) {
    handle(s, in(Command::Subscribe, Subscribe{n, 0, 0, 0, 100}), true);
    if (!s.name.empty() && live_.count(n) && s.subs.size() < 256 && s.subs.insert(n).second)
      hold(n);
  }
  void unsubscribe(Slot& s, uint16_t n) {
    handle(s, in(Command::Unsubscribe, Unsubscribe{n}), true);
    if (!s.name.empty() && s.subs.erase(n)) release(n);
  }
  void move(Slot& s, Pos pos) {
    handle(s, in(Command::LongLoc, LongLoc{pos[0], pos[1], pos[2], pos[3]}), true);
    if (!s.name.empty()) s.pos = pos;
  }
  void say(Slot& s, const std::string& text) {
    handle(s, in(Command::Text, Text{ObjID(), text}), true);
    if (s.name.empty() || !s.inWorld) return;
    for (Slot& v : slots_)  // all who watch the room, the sender included [13]
      if (v.conn && v.inWorld && (v.room == s.room || v.subs.count(s.room)))
        v.texts.emplace_back(s.name, text);
  }
  void setProps(Slot& s, size_t count, const std::string& value) {
    const uint8_t flags = value[0] ? 0 : kPropFlagBinary;
    PropertyList p;
    Props next = s.props;
    for (size_t i = 0; i < count; ++i)
      p.add(kPropIds[i], value, flags, 1), next[kPropIds[i]] = {flags, 1, value};
    handle(s, in(Command::PropertySet, PropertySet{"", p}), true);
    if (s.name.empty()) return;
    PropertyList all;
    for (const auto& [pid, e] : next) all.add(pid, std::get<2>(e), std::get<0>(e), std::get<1>(e));
    PacketWriter w(ObjID(kObjProtocol), Command::PropertyUpdate);
    if (fits([&] { w.properties(all), w.finish(); })) s.props = next;  // too long: ignored
  }
  void exit(Slot& s) {
    s.replies.push_back({Command::SessionExit, "", true, 0, s.name.empty() ? "[12]" : ""});
    handle(s, in(Command::SessionExit, SessionExit{}), false);
    s.closing = true;
    logout(s);
  }
  void logout(Slot& s) {
    gone_.push_back(s.name);
    for (uint16_t n : s.subs) release(n);
    for (uint16_t n : s.lookups) release(n);
    if (s.inWorld) release(s.room);
    s.name.clear(), s.inWorld = false, s.room = 0;
    s.subs.clear(), s.lookups.clear(), s.props.clear();
  }

  void beginTurn() {
    for (const std::string& name : gone_)
      if (std::none_of(slots_.begin(), slots_.end(), [&](const Slot& s) { return s.name == name; }))
        named_.erase(name);
    gone_.clear();
  }
  // A long id must read back as the name of an actor logged in during the turn [10].
  void checkName(const Slot& v, const std::string& name, const char* what, bool self = false) {
    if (!named_.count(name)) fail(&v, "[10]", std::string(what) + " names \"" + name + "\"");
    if (!self && name == v.name) fail(&v, "", std::string(what) + " about the viewer itself");
  }
  std::map<std::string, Seen>::iterator actor(Slot& v, const ObjID& target, const char* what,
                                              bool appear = false) {
    std::string name = target.longId();
    if (!target.isLong()) {
      auto id = v.ids.find(target.shortId());
      if (id == v.ids.end()) fail(&v, "", std::string(what) + " for a short id never announced");
      name = id->second;
    }
    checkName(v, name, what);
    auto it = v.view.find(name);
    if (it == v.view.end() && appear && target.isLong()) {
      if (v.ids.size() < kLastId - kFirstId + 1)
        fail(&v, "", name + " appears by its long id while short ids are free");
      it = v.view.emplace(name, Seen{}).first;
    }
    if (it == v.view.end() || !(appear || it->second.shown))
      fail(&v, "", std::string(what) + " for " + name + ", who is not shown");
    return it;
  }
  void apply(Slot& v, const Incoming& c) {
    const auto cmd = static_cast<Command>(c.command);
    const bool reply = (cmd == Command::PropertyUpdate && !c.target.isLong() &&
                        c.target.shortId() == kObjProtocol) ||
                       cmd == Command::SessionInit || cmd == Command::SessionExit ||
                       cmd == Command::RoomId;
    if (reply) {  // each awaited reply exactly once, in order
      if (v.replies.empty() || v.replies.front().cmd != cmd)
        fail(&v, "", "unexpected " + describe(c));
      const Reply r = v.replies.front();
      v.replies.pop_front();
      if (const auto* si = std::get_if<SessionInit>(&c.body)) {
        if ((si->props.value(kVarError) == "0") != r.ok ||
            (r.ok && si->props.value(kVarUsername) != r.name))
          fail(&v, r.item,
               "login of \"" + r.name + "\" " + (r.ok ? "refused: " : "accepted: ") + describe(c));
      } else if (const auto* id = std::get_if<RoomId>(&c.body)) {
        if (id->roomName != r.name || id->roomNumber != r.number)
          fail(&v, r.item,
               "ROOMID " + id->roomName.substr(0, 20) + " = " + std::to_string(id->roomNumber) +
                   ", want " + std::to_string(r.number));
      }
    } else if (const auto* t = std::get_if<Text>(&c.body)) {
      if (v.texts.empty()) fail(&v, "[13]", "unexpected " + describe(c).substr(0, 60));
      const std::string sender = v.texts.front().first, text = v.texts.front().second;
      v.texts.pop_front();
      checkName(v, t->sender.longId(), "TEXT", true);
      // Cut to the longest run of whole characters that can be relayed.
      const std::string& got = t->text;
      size_t more = got.size() + 1;  // the end of the character after the cut
      while (more < text.size() && (text[more] & 0xc0) == 0x80) ++more;
      if (t->sender.longId() != sender || !text.starts_with(got) ||
          (got != text && ((text[got.size()] & 0xc0) == 0x80 ||  // a character split
                           fits([&] { buildText(sender, text.substr(0, more)); }))))
        fail(&v, "[13]",
             "TEXT from " + sender.substr(0, 20) + " arrived as " + describe(c).substr(0, 40));
    } else if (const auto* reg = std::get_if<RegisterObjId>(&c.body)) {
      const auto id = static_cast<uint8_t>(reg->shortId);
      checkName(v, reg->longId, "REGOBJID");
      int lowest = kFirstId;  // the lowest free short id, unique per viewer
      while (lowest <= kLastId && v.ids.count(lowest)) ++lowest;
      if (id != lowest || v.view.count(reg->longId))
        fail(&v, "", "REGOBJID #" + std::to_string(id) + " not the lowest free id or a new actor");
      v.ids[id] = reg->longId;
      v.view[reg->longId].id = id;
    } else if (const auto* a = std::get_if<AppearActor>(&c.body)) {
      Seen& seen = actor(v, c.target, "APPRACTR", true)->second;
      seen.shown = true, seen.room = a->room, seen.pos = {a->x, a->y, a->z, a->dir};
    } else if (const auto* m = std::get_if<LongLoc>(&c.body)) {
      actor(v, c.target, "LONGLOC")->second.pos = {m->x, m->y, m->z, m->dir};
    } else if (const auto* pu = std::get_if<PropertyUpdate>(&c.body)) {
      Props& props = actor(v, c.target, "PROPUPD")->second.props;
      for (const Property& p : pu->props.all()) props[p.id] = {p.flags, p.access, p.value};
    } else if (std::holds_alternative<Disappear>(c.body)) {
      const auto it = actor(v, c.target, "DISAPPR");
      v.ids.erase(it->second.id);  // free for the next
      v.view.erase(it);
    } else {
      fail(&v, "", "unexpected " + describe(c));
    }
  }
  void decode(Slot& v, const Bytes& out) {
    Bytes frame;
    for (size_t at = 0; at < out.size() || framer_.buffered();) {
      at += framer_.feed(std::span(out).subspan(at));
      const Framer::Result r = framer_.next(frame);
      if (r == Framer::Result::kNeedMore && at < out.size()) continue;
      if (r != Framer::Result::kFrame) fail(&v, "", "output does not split into whole frames");
      try {
        for (const Incoming& c : parsePacket(frame)) apply(v, c);
      } catch (const ReadError& e) {
        fail(&v, "", std::string("undecodable frame: ") + e.what());
      }
    }
  }
  void endTurn() {
    world_.drain([&](ConnId id, Bytes& out) {
      const auto it = slotOf_.find(id);
      if (it == slotOf_.end() || slots_[it->second].conn != id)
        fail(nullptr, "", "output for closed connection " + std::to_string(id));
      decode(slots_[it->second], out);
    });
    std::vector<std::pair<uint16_t, const Slot*>> byRoom;
    size_t open = 0;
    for (const Slot& s : slots_)
      if (s.conn && s.inWorld) byRoom.emplace_back(s.room, &s);
    std::sort(byRoom.begin(), byRoom.end());
    for (Slot& v : slots_) {
      if (!v.conn) continue;
      if (!v.replies.empty())
        fail(&v, v.replies.front().item,
             "no reply to " + std::string(commandName(uint8_t(v.replies.front().cmd))));
      if (!v.texts.empty())
        fail(&v, "[13]", "TEXT from " + v.texts.front().first.substr(0, 20) + " lost");
      if (v.closing) {  // its reply was its last word
        world_.disconnect(v.conn), v.conn = 0;
        continue;
      }
      // What the client sees is exactly the actors in the rooms it watches.
      size_t expected = 0;
      const auto see = [&](uint16_t room) {
        const auto first =
            std::lower_bound(byRoom.begin(), byRoom.end(), std::pair(room, (const Slot*)nullptr));
        for (auto it = first; it != byRoom.end() && it->first == room; ++it) {
          const Slot& a = *it->second;
          if (&a == &v) continue;
          ++expected;
          auto seen = v.view.find(a.name);
          const std::string who = a.name.substr(0, 20);
          if (seen == v.view.end() || !seen->second.shown) fail(&v, "", who + " is not shown");
          const Seen& s = seen->second;
          if (s.room != a.room || s.pos != a.pos) fail(&v, "", who + " shown in the wrong place");
          if (s.props != a.props)  // all of them, whichever id addresses the actor [14]
            fail(&v, s.id ? "" : "[14]",
                 "properties of " + who + " differ" + (s.id ? "" : " (long id)"));
        }
      };
      if (v.inWorld) {
        see(v.room);
        for (uint16_t r : v.subs)
          if (r != v.room) see(r);
      }
      if (v.view.size() != expected)
        fail(&v, "",
             "sees " + std::to_string(v.view.size()) + " actors, not " + std::to_string(expected));
      open += v.conn != 0;
    }
    // Bounded memory: nothing outlives the connections and rooms the model holds.
    if (world_.connections() != open)
      fail(nullptr, "",
           std::to_string(world_.connections()) + " connections, not " + std::to_string(open));
    if (world_.rooms() > live_.size())  // rooms live as long as the window says [11]
      fail(nullptr, "[11]",
           std::to_string(world_.rooms()) + " rooms, not " + std::to_string(live_.size()));
  }

  stubworld::World world_;
  std::vector<Slot> slots_;
  std::map<std::string, uint16_t> numbers_;  // room name -> its latest number
  std::map<uint16_t, int> live_;             // rooms the model holds: their holders
  uint32_t next_ = 1, fresh_ = 0;
  ConnId lastConn_ = 0;
  std::set<std::string> named_;    // logged in at some point of this turn
  std::vector<std::string> gone_;  // logged out this turn
  std::map<ConnId, size_t> slotOf_;
  Framer framer_;  // empty between connections: each output ends on a frame
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool crowd = data[0] == 'C';  // a crowd's turns cost more: fewer of them
  Harness h(crowd);
  for (size_t at = 1; at + 1 < size && at < 1 + 2 * (crowd ? kMaxOps / 3 : kMaxOps); at += 2)
    h.run(data[at], data[at + 1]);
  return 0;
}
