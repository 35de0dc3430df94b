#include "scoutcheck/session.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "veltra/proto/reader.hpp"
#include "veltra/proto/requests.hpp"

namespace scoutcheck {

using namespace veltra::proto;

namespace {

constexpr size_t kRecentFrames = 6;  // of those not taken, shown when a wait fails

bool isActorId(const ObjID& id) {
  return !id.isLong() && id.shortId() > kObjClient && id.shortId() < kObjCurrentRoom;
}

}  // namespace

std::string hex(const Bytes& bytes) {
  std::string s;
  char b[4];
  for (uint8_t v : bytes) std::snprintf(b, sizeof b, "%02x ", v), s += b;
  if (!s.empty()) s.pop_back();
  return s;
}

std::string shown(const Received& r) { return describe(r.in) + "   " + hex(r.frame); }

Session::Session(const sockaddr_in& server, std::chrono::milliseconds timeout) : timeout_(timeout) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // Bounds connect and every send; reads are bounded by poll.
  const timeval tv{timeout.count() / 1000, static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (fd_ < 0 || connect(fd_, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
    const std::string why = std::strerror(errno);
    if (fd_ >= 0) close(fd_);
    throw Closed("a connection", "connect: " + why);
  }
}

Session::~Session() {
  if (fd_ >= 0) close(fd_);
}

void Session::send(const Bytes& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      closed_ = true;
      throw Closed("to send " + hex(bytes), std::string("send: ") + std::strerror(errno));
    }
    at += static_cast<size_t>(n);
  }
}

void Session::shutWrite() { shutdown(fd_, SHUT_WR); }

void Session::reset() {
  const linger abortive{1, 0};  // close() then sends RST
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  close(fd_);
  fd_ = -1;
  closed_ = true;
}

bool Session::readSome(Clock::time_point deadline) {
  if (closed_) return false;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  pollfd p{fd_, POLLIN, 0};
  if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
  uint8_t buf[4096];
  const ssize_t n = recv(fd_, buf, std::min(sizeof buf, framer_.space()), 0);
  if (n <= 0) {
    closed_ = true;
    return false;
  }
  framer_.feed(std::span<const uint8_t>(buf, static_cast<size_t>(n)));
  Bytes frame;
  for (;;) {
    const Framer::Result r = framer_.next(frame);
    if (r == Framer::Result::kNeedMore) break;
    if (r == Framer::Result::kBadLength)
      throw Failure("frames with a length byte of 3..255 counting the whole frame",
                    "a frame with length byte " + std::to_string(framer_.badLength()));
    frame.insert(frame.begin(), static_cast<uint8_t>(frame.size() + 1));
    take(frame);
  }
  return true;
}

void Session::take(const Bytes& frame) {
  std::vector<Incoming> cmds;
  try {
    cmds = parsePacket(std::span(frame).subspan(1));
  } catch (const ReadError& e) {
    throw Failure("a frame that decodes by its command's layout",
                  std::string(commandName(frame.size() > 2 ? frame[2] : 0)) + " frame that does " +
                      "not decode (" + e.what() + ")   " + hex(frame));
  }
  for (Incoming& in : cmds) {
    Received r{std::move(in), frame, "", ""};
    // Announcements and releases of short ids, then the ids used.
    if (const auto* reg = std::get_if<RegisterObjId>(&r.in.body)) {
      const ObjID id(static_cast<uint8_t>(reg->shortId));
      if (!isActorId(id)) throw Failure("REGOBJID announcing a short id of 2..252", shown(r));
      auto [it, fresh] = ids_.try_emplace(id.shortId(), reg->longId);
      if (!fresh && it->second != reg->longId)
        throw Failure("#" + std::to_string(id.shortId()) + " released (DISAPPR) before it names " +
                          reg->longId,
                      "it still names " + it->second + ": " + shown(r));
    } else {
      std::vector<const ObjID*> used{&r.in.target};
      if (const auto* t = std::get_if<Text>(&r.in.body)) used.push_back(&t->sender);
      if (const auto* w = std::get_if<Whisper>(&r.in.body)) used.push_back(&w->sender);
      for (const ObjID* id : used)
        if (isActorId(*id) && !ids_.count(id->shortId()))
          throw Failure("short id " + id->describe() + " announced with REGOBJID before use",
                        shown(r));
      r.who = resolve(r.in.target);
      if (used.size() > 1) r.from = resolve(*used[1]);
      if (std::holds_alternative<Disappear>(r.in.body) && isActorId(r.in.target))
        ids_.erase(r.in.target.shortId());
    }
    inbox_.push_back(std::move(r));
  }
}

std::string Session::unclaimed() const {
  std::string s;
  const size_t from = inbox_.size() > kRecentFrames ? inbox_.size() - kRecentFrames : 0;
  for (size_t i = from; i < inbox_.size(); ++i) s += (s.empty() ? "" : "\n") + shown(inbox_[i]);
  if (s.empty() && !closed_) s = "nothing within " + std::to_string(timeout_.count()) + " ms";
  if (closed_) s += std::string(s.empty() ? "" : "\n") + "(the server closed the connection)";
  return s;
}

Received Session::await(const std::function<bool(const Received&)>& match,
                        const std::string& expected) {
  const auto deadline = Clock::now() + timeout_;
  for (;;) {
    for (auto it = inbox_.begin(); it != inbox_.end(); ++it) {
      if (!match(*it)) continue;
      Received r = std::move(*it);
      inbox_.erase(it);
      return r;
    }
    if (!readSome(deadline)) {
      if (closed_) throw Closed(expected, unclaimed());
      throw Failure(expected, unclaimed());
    }
  }
}

bool Session::awaitClose() {
  const auto deadline = Clock::now() + timeout_;
  while (!closed_ && readSome(deadline)) {
  }
  return closed_;
}

namespace {
bool isReply(const Received& r, Command c) {
  return r.in.command == static_cast<uint8_t>(c) && !r.in.target.isLong() &&
         (r.in.target.shortId() == kObjClient || r.in.target.shortId() == kObjProtocol);
}
}  // namespace

void Session::sync() {
  send(buildPropRequest());
  await([](const Received& r) { return isReply(r, Command::PropertyUpdate); },
        "PROPUPD answering PROPREQ");
}

std::string Session::tryLogin(const std::string& name, const std::string& protocol) {
  OldPropertyList props = loginProperties(name);
  if (protocol != "24") {
    OldPropertyList other;
    for (const OldProperty& p : props.all())
      other.add(p.id, p.id == kVarProtocol ? protocol : p.value);
    props = other;
  }
  send(buildSessionInit(props));
  const Received r = await([](const Received& x) { return isReply(x, Command::SessionInit); },
                           "SESSINIT reply to the login of " + name);
  const std::string err =
      std::get_if<SessionInit>(&r.in.body)->props.value(kVarError).value_or("(none)");
  if (err == "0") name_ = name;
  return err;
}

void Session::login(const std::string& name) {
  std::string err;
  try {
    err = tryLogin(name);
  } catch (const Failure& f) {
    throw Skip(std::string("login failed: no ") + f.what());
  }
  if (err != "0") throw Skip("login of " + name + " refused: VAR_ERROR=" + err);
}

uint16_t Session::roomNumber(const std::string& room) {
  send(buildRoomIdRequest(room));
  const Received r = await(
      [&](const Received& x) {
        const auto* id = std::get_if<RoomId>(&x.in.body);
        return id && id->roomName == room;
      },
      "ROOMID for \"" + room + "\"");
  const uint16_t n = std::get<RoomId>(r.in.body).roomNumber;
  if (n == 0) throw Skip("room \"" + room + "\" has number 0");
  return n;
}

uint16_t Session::enter(const std::string& room, int16_t x, int16_t y) {
  uint16_t n = 0;
  try {
    n = roomNumber(room);
  } catch (const Failure& f) {
    throw Skip(std::string("no room number: no ") + f.what());
  }
  send(buildTeleport(n, 0, 1, x, y, 0, 90));
  sync();
  return n;
}

std::string Session::resolve(const ObjID& id) const {
  if (id.isLong()) return id.longId();
  auto it = ids_.find(id.shortId());
  return it != ids_.end() ? it->second : std::string();
}

}  // namespace scoutcheck
