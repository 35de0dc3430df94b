#include "stubworld/world.hpp"

#include <array>
#include <variant>

namespace stubworld {

using namespace veltra::proto;

namespace {

// Notifications whose frames may be joined into a compound frame.
bool joinable(uint8_t cmd) {
  switch (static_cast<Command>(cmd)) {
    case Command::LongLoc:
    case Command::Disappear:
    case Command::AppearActor:
    case Command::RegisterObjId:
    case Command::Text: return true;
    default: return false;
  }
}

// Offset of the command byte in a finished frame: behind the length byte and
// the target (one byte, or 00 + a protocol string).
size_t commandOffset(const Bytes& f) { return f[1] != kObjLongMarker ? 2 : 3 + f[2]; }

constexpr uint16_t kMaxRooms = 65535;
// Per client, so that no client can make the server hold a map of every room number.
constexpr size_t kMaxSubscriptions = 256;
constexpr uint8_t kFirstShortId = 2, kLastShortId = 252;

}  // namespace

std::vector<Bytes> coalesce(const std::vector<Bytes>& frames) {
  std::vector<Bytes> out;
  bool open = false;  // out.back() is a compound frame that may take more
  for (const Bytes& f : frames) {
    const size_t cmdAt = f.size() >= 3 ? commandOffset(f) : f.size();
    const bool candidate = cmdAt < f.size() && f[1] != kObjCompound && joinable(f[cmdAt]);
    if (candidate && !out.empty()) {
      Bytes& last = out.back();
      if (!open && last.size() >= 3 && last[1] != kObjCompound) {
        const size_t lastCmdAt = commandOffset(last);
        // A single plain frame becomes [len][254][cmd][target][body] when joined.
        if (lastCmdAt < last.size() && last[lastCmdAt] == f[cmdAt] &&
            last.size() + 1 + f.size() - 2 <= 255) {
          Bytes compound{0, kObjCompound, last[lastCmdAt]};
          compound.insert(compound.end(), last.begin() + 1, last.begin() + lastCmdAt);
          compound.insert(compound.end(), last.begin() + lastCmdAt + 1, last.end());
          last = std::move(compound);
          open = true;
        }
      }
      if (open && last[2] == f[cmdAt] && last.size() + f.size() - 2 <= 255) {
        last.insert(last.end(), f.begin() + 1, f.begin() + cmdAt);
        last.insert(last.end(), f.begin() + cmdAt + 1, f.end());
        last[0] = static_cast<uint8_t>(last.size());
        continue;
      }
    }
    out.push_back(f);
    open = false;
  }
  return out;
}

void World::connect(ConnId id) { clients_.try_emplace(id); }

std::string World::tag(ConnId id) const {
  auto it = clients_.find(id);
  std::string s = "[" + std::to_string(id);
  if (it != clients_.end() && !it->second.name.empty()) s += " " + it->second.name;
  return s + "]";
}

void World::log(const std::string& line) const {
  if (log_) *log_ << line << std::endl;
}

template <typename Build>
void World::send(ConnId to, Build&& build) {
  try {
    out_[to].push_back(build());
  } catch (const WriteError& e) {
    log(tag(to) + " notification dropped: " + e.what());
  }
}

bool World::handle(ConnId id, const Incoming& in) {
  auto it = clients_.find(id);
  if (it == clients_.end()) return false;
  Client& c = it->second;
  const CommandBody& b = in.body;

  if (const auto* req = std::get_if<PropRequest>(&b)) {
    if (in.target.isLong() || in.target.shortId() != kObjProtocol) {
      log(tag(id) + " ignored: properties of " + in.target.describe());
      return true;
    }
    const std::array<std::pair<uint8_t, const char*>, 3> server{
        {{kVarAppName, "stubworld"}, {kVarProtocol, "24"}, {kVarServerType, "world"}}};
    PropertyList props;
    for (const auto& [pid, value] : server) {
      bool wanted = req->ids.empty();
      for (uint8_t r : req->ids) wanted = wanted || r == pid;
      if (wanted) props.add(pid, value);
    }
    send(id, [&] { return buildPropertyUpdate(props); });
    return true;
  }
  if (const auto* si = std::get_if<SessionInit>(&b)) {
    login(id, c, si->props);
    return true;
  }
  if (c.name.empty()) {
    log(tag(id) + " ignored: not logged in");
    return true;
  }
  if (const auto* ps = std::get_if<PropertySet>(&b)) {
    setProps(id, c, ps->props);
  } else if (const auto* rq = std::get_if<RoomIdRequest>(&b)) {
    // Not a structured binding: clang 14 cannot capture those in the lambda below.
    const auto room = rooms_.try_emplace(rq->roomName, 0).first;
    if (room->second == 0) {
      if (rooms_.size() > kMaxRooms) {
        rooms_.erase(room);
        log(tag(id) + " no room number left for \"" + rq->roomName + "\"");
        send(id, [&] { return buildRoomId(rq->roomName, 0); });
        return true;
      }
      room->second = static_cast<uint16_t>(rooms_.size());
      roomNames_[room->second] = rq->roomName;
    }
    send(id, [&] { return buildRoomId(room->first, room->second); });
  } else if (const auto* sub = std::get_if<Subscribe>(&b)) {
    if (c.subscriptions.size() >= kMaxSubscriptions && !c.subscriptions.count(sub->room)) {
      log(tag(id) + " ignored: more than " + std::to_string(kMaxSubscriptions) + " subscriptions");
      return true;
    }
    c.subscriptions[sub->room] = sub->distance;
    syncViewer(id);
  } else if (const auto* unsub = std::get_if<Unsubscribe>(&b)) {
    c.subscriptions.erase(unsub->room);
    syncViewer(id);
  } else if (const auto* sd = std::get_if<SubscribeDist>(&b)) {
    auto s = c.subscriptions.find(sd->room);
    if (s != c.subscriptions.end()) s->second = sd->distance;
  } else if (const auto* tp = std::get_if<Teleport>(&b)) {
    teleport(id, c, *tp);
  } else if (const auto* ll = std::get_if<LongLoc>(&b)) {
    move(id, c, *ll);
  } else if (const auto* tx = std::get_if<Text>(&b)) {
    say(id, c, tx->text);
  } else if (std::holds_alternative<SessionExit>(b)) {
    send(id, [] { return buildSessionExitReply(0); });
    leave(id);
    return false;
  } else {
    log(tag(id) + " ignored: " + commandName(in.command));
  }
  return true;
}

void World::login(ConnId id, Client& c, const OldPropertyList& props) {
  const auto protocol = props.value(kVarProtocol);
  const auto name = props.value(kVarUsername).value_or("");
  int error = kLoginOk;
  uint8_t shortId = 0;
  if (!c.name.empty()) {
    error = kLoginAgain;
  } else if (protocol != "24") {
    error = kLoginBadProtocol;
  } else if (name.empty()) {
    error = kLoginNoName;
  } else if (names_.count(name)) {
    error = kLoginNameInUse;
  } else {
    std::array<bool, 256> used{};
    for (const auto& [oid, o] : clients_) used[o.shortId] = true;
    for (int s = kFirstShortId; s <= kLastShortId && !shortId; ++s)
      if (!used[s]) shortId = static_cast<uint8_t>(s);
    if (!shortId) error = kLoginWorldFull;
  }
  OldPropertyList reply;
  reply.add(kVarError, std::to_string(error));
  if (error != kLoginOk) {
    log(tag(id) + " login refused (error " + std::to_string(error) + "): \"" + name + "\"");
    send(id, [&] { return buildSessionInitReply(reply); });
    return;
  }
  reply.add(kVarUsername, name);
  // Queue the reply first: a name too long for it leaves the client logged out.
  const size_t before = out_[id].size();
  send(id, [&] { return buildSessionInitReply(reply); });
  if (out_[id].size() == before) return;
  c.name = name;
  c.shortId = shortId;
  names_.insert(name);
  log(tag(id) + " logged in as #" + std::to_string(shortId));
}

void World::setProps(ConnId id, Client& c, const PropertyList& props) {
  for (const Property& p : props.all()) c.props[p.id] = p;
  for (auto& [vid, v] : clients_)
    if (v.seen.count(id)) send(vid, [&] { return actorProps(c); });
}

Bytes World::actorProps(const Client& actor) const {
  PropertyList list;
  for (const auto& [pid, p] : actor.props) list.add(p.id, p.value, p.flags, p.access);
  return buildPropertyUpdateFor(ObjID(actor.shortId), list);
}

void World::teleport(ConnId id, Client& c, const Teleport& t) {
  if (!roomNames_.count(t.room)) {
    log(tag(id) + " ignored: no room " + std::to_string(t.room));
    return;
  }
  if (!c.inWorld) {
    // Entering the world: the newcomer and those already there learn each other's ids.
    c.inWorld = true;
    for (auto& entry : clients_) {
      const ConnId oid = entry.first;
      Client& o = entry.second;
      if (oid == id || !o.inWorld) continue;
      if (o.registered.insert(id).second)
        send(oid, [&] { return buildRegisterObjId(c.name, c.shortId); });
      if (c.registered.insert(oid).second)
        send(id, [&] { return buildRegisterObjId(o.name, o.shortId); });
    }
  }
  c.room = t.room;
  c.x = t.x, c.y = t.y, c.z = t.z, c.dir = t.dir;
  syncActor(id, true);
  syncViewer(id);
}

void World::move(ConnId id, Client& c, const LongLoc& m) {
  c.x = m.x, c.y = m.y, c.z = m.z, c.dir = m.dir;
  for (auto& [vid, v] : clients_)
    if (v.seen.count(id))
      send(vid, [&] { return buildLongLoc(ObjID(c.shortId), c.x, c.y, c.z, c.dir); });
}

void World::say(ConnId id, Client& c, const std::string& text) {
  if (!c.inWorld) {
    log(tag(id) + " ignored: TEXT outside any room");
    return;
  }
  for (auto& [vid, v] : clients_)
    if (watches(v, c.room)) send(vid, [&] { return buildText(c.name, text); });
}

void World::leave(ConnId id) {
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  Client& c = it->second;
  c.inWorld = false;
  c.room = 0;
  syncActor(id, false);
  for (auto& [oid, o] : clients_) o.registered.erase(id);
  if (!c.name.empty()) log(tag(id) + " left");
  names_.erase(c.name);
  clients_.erase(it);
}

void World::disconnect(ConnId id) { leave(id); }

bool World::watches(const Client& viewer, uint16_t room) const {
  return viewer.inWorld && room != 0 &&
         (viewer.room == room || viewer.subscriptions.count(room) != 0);
}

bool World::syncPair(ConnId viewerId, Client& viewer, ConnId actorId, const Client& actor,
                     bool moved) {
  const bool visible = viewerId != actorId && actor.inWorld && watches(viewer, actor.room);
  auto it = viewer.seen.find(actorId);
  if (visible) {
    const bool fresh = it == viewer.seen.end();
    if (fresh || moved || it->second != actor.room) {
      send(viewerId, [&] {
        return buildAppearActor(ObjID(actor.shortId), actor.room, actor.x, actor.y, actor.z,
                                actor.dir);
      });
      viewer.seen[actorId] = actor.room;
    }
    return fresh && !actor.props.empty();
  }
  if (it != viewer.seen.end()) {
    send(viewerId, [&] { return buildDisappear(ObjID(actor.shortId)); });
    viewer.seen.erase(it);
  }
  return false;
}

void World::syncViewer(ConnId id) {
  Client& viewer = clients_.at(id);
  // Properties after all appearances, so that the appearances can share a frame.
  std::vector<const Client*> fresh;
  for (const auto& [aid, actor] : clients_)
    if (syncPair(id, viewer, aid, actor, false)) fresh.push_back(&actor);
  for (const Client* actor : fresh) send(id, [&] { return actorProps(*actor); });
}

void World::syncActor(ConnId id, bool moved) {
  const Client& actor = clients_.at(id);
  for (auto& [vid, viewer] : clients_)
    if (syncPair(vid, viewer, id, actor, moved)) send(vid, [&] { return actorProps(actor); });
}

std::map<ConnId, std::vector<Bytes>> World::takeOutput() {
  std::map<ConnId, std::vector<Bytes>> result;
  for (auto& [id, frames] : out_)
    if (!frames.empty()) result[id] = coalesce(frames);
  out_.clear();
  return result;
}

}  // namespace stubworld
