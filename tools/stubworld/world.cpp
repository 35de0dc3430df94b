#include "stubworld/world.hpp"

#include <algorithm>
#include <array>
#include <variant>

#include "common/text.hpp"
#include "veltra/proto/fields.hpp"
#include "veltra/proto/view.hpp"

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

// Per client, so that no client can make the server hold every room.
constexpr size_t kMaxSubscriptions = 256, kMaxLookups = 256;
constexpr uint32_t kMaxRoomNumber = 65535;
// The short ids free for actors: those between the client's own and the reserved ones.
constexpr uint8_t kFirstShortId = kObjClient + 1, kLastShortId = kObjCurrentRoom - 1;

// A client's text in a log line: as much as takes at most this many bytes on the wire.
constexpr size_t kLoggedBytes = 80;

std::string logged(const std::string& text) {
  return text.substr(0, utfPrefix(text, kLoggedBytes));
}

// Properties as PROPUPD frames addressed by `owner` (ownerBytes on the wire), as
// many in each as fit. Throws WriteError when one property alone does not fit.
std::vector<Bytes> propFrames(const ObjID& owner, size_t ownerBytes,
                              const std::map<uint8_t, Property>& props) {
  std::vector<Bytes> frames;
  PropertyList chunk;
  for (const auto& [pid, p] : props) {
    PropertyList more = chunk;
    more.add(p.id, p.value, p.flags, p.access);
    if (chunk.empty() || frameSize(ownerBytes, bodySize(PropertyUpdate{more})) <= kMaxFrameSize) {
      chunk = std::move(more);
      continue;
    }
    frames.push_back(buildPropertyUpdateFor(owner, chunk));
    chunk = {};
    chunk.add(p.id, p.value, p.flags, p.access);
  }
  if (!chunk.empty()) frames.push_back(buildPropertyUpdateFor(owner, chunk));
  return frames;
}

}  // namespace

void Outbox::add(std::span<const uint8_t> f) {
  const FrameView v = FrameView::whole(f);
  Elements els(v);
  Element e;
  if (!v.valid() || v.compound() || !els.next(e)) {
    buf_.insert(buf_.end(), f.begin(), f.end());
    last_ = kNoFrame;
    return;
  }
  add(e.target.bytes(), e.command, e.body);
}

bool Outbox::add(std::span<const uint8_t> target, uint8_t cmd, std::span<const uint8_t> body) {
  const size_t at = appendElement(buf_, last_, target, cmd, body);
  if (at == kNoFrame) return false;
  last_ = joinable(cmd) ? at : kNoFrame;
  return true;
}

void World::connect(ConnId id) { clients_.try_emplace(id).first->second.id = id; }

bool World::loggedIn(ConnId id) const {
  auto it = clients_.find(id);
  return it != clients_.end() && !it->second.name.empty();
}

std::string World::tag(ConnId id) const {
  auto it = clients_.find(id);
  std::string s = "[" + std::to_string(id);
  if (it != clients_.end() && !it->second.name.empty()) s += " " + it->second.name;
  return s + "]";
}

void World::log(const std::string& line) const {
  if (log_) *log_ << veltra::tools::escapeText(line) << std::endl;
}

bool World::emit(Client& to, std::span<const uint8_t> target, uint8_t cmd,
                 std::span<const uint8_t> body) {
  const size_t before = to.out.bytes().size();
  if (!to.out.add(target, cmd, body)) return false;
  if (before == 0) outputs_.push_back(to.id);
  queued_ += to.out.bytes().size() - before;
  return true;
}

void World::emit(Client& to, const Bytes& frame) {
  const size_t before = to.out.bytes().size();
  to.out.add(frame);
  if (before == 0) outputs_.push_back(to.id);
  queued_ += to.out.bytes().size() - before;
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
    emit(c, buildPropertyUpdate(props));
    return true;
  }
  if (const auto* si = std::get_if<SessionInit>(&b)) {
    login(c, si->props);
    return true;
  }
  // The other requests that await a reply are answered before login too.
  if (const auto* rq = std::get_if<RoomIdRequest>(&b)) {
    lookup(c, rq->roomName);
    return true;
  }
  if (std::holds_alternative<SessionExit>(b)) {
    emit(c, buildSessionExitReply(0));
    logout(c);
    return false;
  }
  if (c.name.empty()) {
    log(tag(id) + " ignored: not logged in");
    return true;
  }
  if (const auto* ps = std::get_if<PropertySet>(&b)) {
    setProps(c, ps->props);
  } else if (const auto* sub = std::get_if<Subscribe>(&b)) {
    subscribe(c, sub->room, sub->distance);
  } else if (const auto* unsub = std::get_if<Unsubscribe>(&b)) {
    unsubscribe(c, unsub->room);
  } else if (const auto* sd = std::get_if<SubscribeDist>(&b)) {
    auto s = c.subscriptions.find(sd->room);
    if (s != c.subscriptions.end()) s->second = sd->distance;
  } else if (const auto* tp = std::get_if<Teleport>(&b)) {
    teleport(c, *tp);
  } else if (const auto* ll = std::get_if<LongLoc>(&b)) {
    move(c, *ll);
  } else if (const auto* tx = std::get_if<Text>(&b)) {
    say(c, tx->text);
  } else {
    log(tag(id) + " ignored: " + commandName(in.command));
  }
  return true;
}

void World::login(Client& c, const OldPropertyList& props) {
  const auto protocol = props.value(kVarProtocol);
  const auto name = props.value(kVarUsername).value_or("");
  const ObjID asId(name);  // how the name travels as a target
  int error = kLoginOk;
  Bytes longId;
  if (!c.name.empty()) {
    error = kLoginAgain;
  } else if (protocol != "24") {
    error = kLoginBadProtocol;
  } else if (name.empty()) {
    error = kLoginNoName;
  } else if (name[0] == '!') {
    error = kLoginNameBang;
  } else {
    try {
      appendTarget(longId, asId);
    } catch (const WriteError&) {
    }
    // Every long id written must read back: the largest frame it addresses is an APPRACTR.
    if (longId.empty() || frameSize(longId.size(), kFixedBodyBytes<AppearActor>) > kMaxFrameSize)
      error = kLoginNameTooLong;
    else if (names_.count(asId.longId()))
      error = kLoginNameInUse;
  }
  OldPropertyList reply;
  reply.add(kVarError, std::to_string(error));
  if (error != kLoginOk) {
    log(tag(c.id) + " login refused (error " + std::to_string(error) + "): \"" + logged(name) +
        "\"");
    emit(c, buildSessionInitReply(reply));
    return;
  }
  reply.add(kVarUsername, name);
  emit(c, buildSessionInitReply(reply));  // fits: the name fits an APPRACTR as a long id
  c.name = name;
  c.longId = std::move(longId);
  names_.insert(asId.longId());
  log(tag(c.id) + " logged in");
}

void World::hold(uint16_t room) { ++rooms_.at(room).refs; }

void World::release(uint16_t room) {
  auto it = rooms_.find(room);
  if (it == rooms_.end() || --it->second.refs > 0) return;
  numbers_.erase(it->second.name);
  rooms_.erase(it);
  freeNumbers_.push_back(room);
}

void World::lookup(Client& c, const std::string& name) {
  const auto reply = [&](const std::string& text, uint16_t number) {
    try {
      emit(c, buildRoomId(text, number));
    } catch (const WriteError&) {
      emit(c, buildRoomId("", 0));
    }
  };
  // Each byte of the name's wire form adds one to the frame.
  const size_t fits = utfPrefix(name, kMaxFrameSize - buildRoomId("", 0).size());
  if (fits != name.size()) {
    log(tag(c.id) + " room name too long for its ROOMID: number 0, the name cut");
    reply(name.substr(0, fits), 0);
    return;
  }
  auto known = numbers_.find(name);
  uint16_t number = known != numbers_.end() ? known->second : 0;
  if (!number) {
    if (nextNumber_ <= kMaxRoomNumber) {
      number = static_cast<uint16_t>(nextNumber_++);
    } else if (!freeNumbers_.empty()) {
      number = freeNumbers_.front();
      freeNumbers_.pop_front();
    } else {
      log(tag(c.id) + " no room number left for \"" + name + "\"");
      reply(name, 0);
      return;
    }
    numbers_.emplace(name, number);
    rooms_[number].name = name;
  }
  // The window keeps each room at its latest lookup.
  if (auto at = std::find(c.lookups.begin(), c.lookups.end(), number); at != c.lookups.end()) {
    c.lookups.erase(at);
    c.lookups.push_back(number);
  } else {
    hold(number);
    c.lookups.push_back(number);
    if (c.lookups.size() > kMaxLookups) {
      const uint16_t oldest = c.lookups.front();
      c.lookups.pop_front();
      release(oldest);
    }
  }
  reply(name, number);
}

bool World::watches(const Client& viewer, uint16_t room) const {
  return viewer.inWorld && room != 0 &&
         (viewer.room == room || viewer.subscriptions.count(room) != 0);
}

void World::list(std::vector<Client*>& v, Client& c, bool in) {
  auto it = std::find(v.begin(), v.end(), &c);
  if (in && it == v.end()) v.push_back(&c);
  if (!in && it != v.end()) *it = v.back(), v.pop_back();
}

void World::rewatch(Client& viewer, uint16_t room) {
  auto it = rooms_.find(room);
  if (it != rooms_.end()) list(it->second.watchers, viewer, watches(viewer, room));
}

void World::subscribe(Client& c, uint16_t room, int16_t distance) {
  if (!c.subscriptions.count(room)) {
    if (!rooms_.count(room)) {
      log(tag(c.id) + " ignored: no room " + std::to_string(room));
      return;
    }
    if (c.subscriptions.size() >= kMaxSubscriptions) {
      log(tag(c.id) + " ignored: more than " + std::to_string(kMaxSubscriptions) +
          " subscriptions");
      return;
    }
    hold(room);
  }
  c.subscriptions[room] = distance;
  rewatch(c, room);
  syncViewer(c);
}

void World::unsubscribe(Client& c, uint16_t room) {
  if (!c.subscriptions.erase(room)) return;
  rewatch(c, room);
  syncViewer(c);
  release(room);
}

void World::teleport(Client& c, const Teleport& t) {
  auto to = rooms_.find(t.room);
  if (to == rooms_.end()) {
    log(tag(c.id) + " ignored: no room " + std::to_string(t.room));
    return;
  }
  const uint16_t from = c.room;
  hold(t.room);
  const bool entering = !c.inWorld;
  c.inWorld = true;
  c.room = t.room;
  c.x = t.x, c.y = t.y, c.z = t.z, c.dir = t.dir;
  if (from) {
    list(rooms_.at(from).actors, c, false);
    rewatch(c, from);
  }
  list(to->second.actors, c, true);
  rewatch(c, t.room);
  if (entering)
    for (const auto& [r, d] : c.subscriptions) rewatch(c, r);
  syncActor(c, from, true);
  syncViewer(c);
  if (from) release(from);
}

void World::move(Client& c, const LongLoc& m) {
  c.x = m.x, c.y = m.y, c.z = m.z, c.dir = m.dir;
  if (!c.inWorld) return;
  const auto body = fixedBody(LongLoc{c.x, c.y, c.z, c.dir});
  const auto cmd = static_cast<uint8_t>(Command::LongLoc);
  for (const Viewer& v : c.viewers) emit(*v.client, target(v.id, c), cmd, body);
}

void World::say(Client& c, const std::string& text) {
  if (!c.inWorld) {
    log(tag(c.id) + " ignored: TEXT outside any room");
    return;
  }
  // The relayed copy carries the sender's name: cut, never dropped, when it outgrows a frame.
  // Each byte of the text's wire form adds one to the frame.
  const size_t fits = utfPrefix(text, kMaxFrameSize - buildText(c.name, "").size());
  if (fits != text.size())
    log(tag(c.id) + " TEXT cut to fit: " + std::to_string(fits) + " of " +
        std::to_string(text.size()) + " bytes");
  const Bytes frame = buildText(c.name, text.substr(0, fits));
  for (Client* v : rooms_.at(c.room).watchers) emit(*v, frame);
}

void World::setProps(Client& c, const PropertyList& props) {
  const auto before = c.props;
  for (const Property& p : props.all()) c.props[p.id] = p;
  PropertyList all;
  for (const auto& [pid, p] : c.props) all.add(p.id, p.value, p.flags, p.access);
  try {
    // The body as a viewer's short id addresses it.
    const Bytes f = buildPropertyUpdate(all);
    // Viewers without a short id free address it by its long id.
    std::vector<Bytes> frames = propFrames(ObjID(c.name), c.longId.size(), c.props);
    const auto body = FrameView::whole(f).body();
    c.propsBody.assign(body.begin(), body.end());
    c.propsLong = std::move(frames);
  } catch (const WriteError& e) {
    c.props = before;
    log(tag(c.id) + " ignored: properties too long (" + e.what() + ")");
    return;
  }
  if (c.inWorld && !c.propsChanged) {
    c.propsChanged = true;
    changed_.push_back(c.id);
  }
}

void World::sendProps(Client& viewer, const Client& actor) {
  auto s = viewer.seen.find(const_cast<Client*>(&actor));
  if (s != viewer.seen.end()) sendProps(viewer, s->second.id, actor);
}

void World::sendProps(Client& viewer, uint8_t id, const Client& actor) {
  if (actor.props.empty()) return;
  if (id)
    emit(viewer, target(id, actor), static_cast<uint8_t>(Command::PropertyUpdate), actor.propsBody);
  else
    for (const Bytes& f : actor.propsLong) emit(viewer, f);
}

std::span<const uint8_t> World::target(const uint8_t& id, const Client& actor) {
  return id ? std::span<const uint8_t>(&id, 1) : std::span<const uint8_t>(actor.longId);
}

void World::unsee(Client& viewer, std::unordered_map<Client*, View>::iterator it) {
  std::vector<Viewer>& list = it->first->viewers;
  const uint32_t at = it->second.at;
  list[at] = list.back();
  list.pop_back();
  if (at < list.size()) list[at].client->seen.at(it->first).at = at;
  viewer.ids.reset(it->second.id);
  viewer.seen.erase(it);
}

bool World::syncPair(Client& viewer, Client& actor, bool moved) {
  const bool visible = &viewer != &actor && actor.inWorld && watches(viewer, actor.room);
  auto it = viewer.seen.find(&actor);
  if (visible) {
    const bool fresh = it == viewer.seen.end();
    if (fresh) {
      uint8_t id = 0;
      for (int s = kFirstShortId; s <= kLastShortId && !id; ++s)
        if (!viewer.ids[s]) id = static_cast<uint8_t>(s);
      if (id) {
        viewer.ids.set(id);
        emit(viewer, buildRegisterObjId(ObjID(actor.name).longId(), id));
      }
      const auto at = static_cast<uint32_t>(actor.viewers.size());
      it = viewer.seen.emplace(&actor, View{actor.room, id, at}).first;
      actor.viewers.push_back({&viewer, id});
    }
    if (fresh || moved || it->second.room != actor.room) {
      const auto body = fixedBody(AppearActor{actor.room, actor.x, actor.y, actor.z, actor.dir});
      emit(viewer, target(it->second.id, actor), static_cast<uint8_t>(Command::AppearActor), body);
      it->second.room = actor.room;
    }
    return fresh && !actor.props.empty();
  }
  if (it != viewer.seen.end()) {
    emit(viewer, target(it->second.id, actor), static_cast<uint8_t>(Command::Disappear), {});
    unsee(viewer, it);
  }
  return false;
}

void World::syncViewer(Client& viewer) {
  // Gone from sight first, in connection order, then what has come into it.
  std::vector<Client*> gone;
  for (const auto& [actor, view] : viewer.seen)
    if (!watches(viewer, actor->room) || !actor->inWorld)
      gone.push_back(const_cast<Client*>(actor));
  std::sort(gone.begin(), gone.end(), [](Client* a, Client* b) { return a->id < b->id; });
  for (Client* actor : gone) syncPair(viewer, *actor, false);
  if (!viewer.inWorld) return;
  // Properties after all appearances, so that the appearances can share a frame.
  std::vector<Client*> fresh;
  const auto visit = [&](uint16_t room) {
    for (Client* actor : rooms_.at(room).actors)
      if (syncPair(viewer, *actor, false)) fresh.push_back(actor);
  };
  visit(viewer.room);
  for (const auto& [room, d] : viewer.subscriptions)
    if (room != viewer.room) visit(room);
  for (Client* actor : fresh) sendProps(viewer, *actor);
}

void World::syncActor(Client& actor, uint16_t fromRoom, bool moved) {
  ++mark_;
  for (uint16_t room : {actor.room, fromRoom}) {
    auto r = rooms_.find(room);
    if (room == 0 || r == rooms_.end()) continue;
    for (Client* v : r->second.watchers) {
      if (v->mark == mark_) continue;
      v->mark = mark_;
      if (syncPair(*v, actor, moved)) sendProps(*v, actor);
    }
  }
}

void World::logout(Client& c) {
  if (c.inWorld) {
    const uint16_t from = c.room;
    c.inWorld = false;
    c.room = 0;
    list(rooms_.at(from).actors, c, false);
    rewatch(c, from);
    for (const auto& [r, d] : c.subscriptions) rewatch(c, r);
    const std::vector<Viewer> viewers = c.viewers;  // syncPair takes each out
    for (const Viewer& v : viewers) syncPair(*v.client, c, false);
    release(from);
  }
  while (!c.seen.empty()) unsee(c, c.seen.begin());
  for (const auto& [r, d] : c.subscriptions) release(r);
  for (uint16_t r : c.lookups) release(r);
  c.subscriptions.clear(), c.lookups.clear();
  c.props.clear(), c.propsBody.clear(), c.propsLong.clear();
  if (!c.name.empty()) {
    log(tag(c.id) + " left");
    names_.erase(ObjID(c.name).longId());
    c.name.clear(), c.longId.clear();
  }
}

void World::disconnect(ConnId id) {
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  logout(it->second);
  clients_.erase(it);
}

void World::drain(const std::function<void(ConnId, Bytes&)>& take) {
  for (ConnId id : changed_) {
    auto it = clients_.find(id);
    if (it == clients_.end() || !it->second.propsChanged) continue;
    Client& actor = it->second;
    actor.propsChanged = false;
    if (!actor.inWorld) continue;
    for (const Viewer& v : actor.viewers) sendProps(*v.client, v.id, actor);
  }
  changed_.clear();
  for (ConnId id : outputs_) {
    auto it = clients_.find(id);
    if (it == clients_.end() || it->second.out.bytes().empty()) continue;
    take(id, it->second.out.bytes());
    it->second.out.clear();
  }
  outputs_.clear();
}

}  // namespace stubworld
