#include "scoutswarm/swarm.hpp"

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <random>
#include <variant>

#include "veltra/proto/commands.hpp"
#include "veltra/proto/reader.hpp"
#include "veltra/proto/requests.hpp"
#include "veltra/proto/view.hpp"

namespace scoutswarm {

namespace proto = veltra::proto;
using proto::Command;
using proto::ObjID;
using proto::PacketWriter;

namespace {

constexpr int64_t kSecond = 1'000'000'000;
constexpr uint64_t kInterruptKey = ~uint64_t{0};
constexpr uint64_t kTimerKey = ~uint64_t{1};
// Output the server has not taken; beyond this it is not reading, and the session ends.
constexpr size_t kMaxBacklog = 256 * 1024;
// Where sessions stand and look; moves keep it as their position is their mark.
constexpr int16_t kX = 1228, kY = 2465, kZ = 0, kDir = 157;

int64_t clockNs(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return int64_t{t.tv_sec} * kSecond + t.tv_nsec;
}

// The clock of the schedule, the same as the wake-up timer's.
int64_t clockNs() { return clockNs(CLOCK_MONOTONIC); }

// Whether a long id's text decodes, as the parser requires.
bool decodes(const proto::IdView& id) {
  try {
    static_cast<void>(id.toObjID());
    return true;
  } catch (const proto::ReadError&) {
    return false;
  }
}

// The scenario played: the configured one, or the command line's rates and duration as one group.
Scenario played(const Config& c) {
  if (!c.scenario.groups.empty()) return c.scenario;
  Group all{"all", 1, std::nullopt, {}};
  all.behaviour.moveRate = c.moveRate, all.behaviour.chatRate = c.chatRate;
  all.behaviour.duration = c.duration;
  return Scenario{{all}};
}

}  // namespace

int16_t runMark(const std::string& prefix) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (unsigned char c : prefix) h = (h ^ c) * 16777619u;
  return static_cast<int16_t>(1 + h % 32000);
}

std::string Config::roomOf(uint32_t session) const {
  return rooms <= 1 ? room : room + "-" + std::to_string(session % rooms + 1);
}

// A number as JSON writes it where that is short (so the report can type it), else exact.
std::string number(double v) {
  char buf[40];
  if (v == std::floor(v) && std::fabs(v) < 1e15)
    std::snprintf(buf, sizeof buf, "%.0f", v);
  else
    *std::to_chars(buf, buf + sizeof buf - 1, v).ptr = '\0';
  return buf;
}

std::vector<std::pair<std::string, std::string>> Config::parameters() const {
  std::string groups;
  for (const Group& g : scenario.groups) groups += (groups.empty() ? "" : ",") + g.name;
  return {{"server", serverText},
          {"sessions", std::to_string(sessions)},
          {"room", room},
          {"rooms", std::to_string(rooms)},
          {"ramp", number(ramp)},
          {"duration", number(duration)},
          {"moveRate", number(moveRate)},
          {"chatRate", number(chatRate)},
          {"timeoutMs", std::to_string(timeoutMs)},
          {"namePrefix", prefix},
          {"avatar", avatar},
          {"abortOnFail", abortOnFail ? "true" : "false"},
          {"scenario", groups},
          {"segment", segment.text()},
          {"startAt", startAt}};
}

double Config::plannedSeconds() const {
  if (scenario.groups.empty()) return (sessions - 1) / ramp + duration;
  const std::vector<uint32_t> counts = scenario.split(sessions);
  double last = 0;
  for (size_t g = 0; g < counts.size(); ++g) {
    const Behaviour& b = scenario.groups[g].behaviour;
    const double start = b.ramp ? (counts[g] ? counts[g] - 1 : 0) / *b.ramp : (sessions - 1) / ramp;
    last = std::max(last, start + b.duration);
  }
  return last;
}

namespace {

// UTC in ISO 8601 with milliseconds.
std::string utcText(int64_t realNs) {
  const time_t secs = static_cast<time_t>(realNs / kSecond);
  tm t{};
  gmtime_r(&secs, &t);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                static_cast<int>(realNs % kSecond / 1'000'000));
  return buf;
}

// 128 random bits: unique across the runs anyone will merge.
std::string randomId() {
  std::random_device device;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08x%08x%08x%08x", device(), device(), device(), device());
  return buf;
}

}  // namespace

Swarm::Swarm(Config config)
    : cfg_(std::move(config)),
      mark_(runMark(cfg_.prefix)),
      scenario_(played(cfg_)),
      membership_(scenario_.split(cfg_.sessions)),
      first_(cfg_.segment.first(cfg_.sessions)),
      last_(cfg_.segment.last(cfg_.sessions)) {
  sessions_.resize(cfg_.sessions);
  report_.planned = last_ - first_;
  std::vector<uint32_t> counts(scenario_.groups.size(), 0);
  for (uint32_t i = first_; i < last_; ++i) ++counts[membership_.groupOf(i)];
  for (size_t g = 0; g < counts.size(); ++g) {
    const Group& group = scenario_.groups[g];
    GroupReport part;
    part.name = group.name, part.planned = counts[g];
    for (const Activity& a : kActivityTable) part.sent[a.name] = 0;
    report_.groups.push_back(std::move(part));
    rings_.push_back(group.behaviour.rooms);
    for (uint32_t r = 0; r < cfg_.rooms && group.behaviour.rooms.empty(); ++r)
      rings_.back().push_back(cfg_.roomOf(r));
  }
  RunInfo run;
  run.id = randomId();
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  run.host = host;
  run.parameters = cfg_.parameters();
  report_.runs.push_back(std::move(run));
}

Swarm::~Swarm() {
  if (timer_fd_ >= 0) ::close(timer_fd_);
}

int64_t Swarm::startAt(uint32_t i) const {
  const std::optional<double>& ramp = behaviour(i).ramp;
  return static_cast<int64_t>((ramp ? membership_.rankOf(i) / *ramp : i / cfg_.ramp) * kSecond);
}

// Its group's ring of rooms from the session's own: the plan's room of the index, or its
// place among the group's members.
const std::string& Swarm::roomName(uint32_t i, uint32_t j) const {
  const std::vector<std::string>& ring = rings_[membership_.groupOf(i)];
  const uint32_t home = behaviour(i).rooms.empty() ? i : membership_.rankOf(i);
  return ring[(home % ring.size() + j) % ring.size()];
}

int64_t Swarm::scheduled(const Session& s, uint32_t k, double rate) const {
  return slotAt(s.plannedAt, s.inWorldAt, k, rate);
}

void Swarm::interrupt() {
  if (interrupted_) return;
  interrupted_ = report_.interrupted = true;
  for (uint32_t i = first_; i < last_; ++i) {
    switch (sessions_[i].state) {
      case State::kInWorld: leave(i); break;
      case State::kConnecting:
      case State::kPropUpd:
      case State::kLogin:
      case State::kRoomId: close(i); [[fallthrough]];
      case State::kIdle:  // not yet in the world: neither completed nor failed
        enter(i, State::kAbandoned);
        break;
      default: break;  // logging out, or finished
    }
  }
}

void Swarm::run(const std::function<void(const Progress&)>& everySecond) {
  origin_ = now_ = clockNs();
  syncClocks();
  report_.runs.back().started = utcText(origin_ + realOffset_);
  // However the run ends, its record is whole: the last (partial) second, its length and
  // end, and a last call with the totals.
  struct Finish {
    Swarm& s;
    const std::function<void(const Progress&)>& last;
    ~Finish() {
      const int64_t end = clockNs();
      s.report_.seconds = s.report_.runs.back().seconds =
          static_cast<double>(end - s.origin_) / kSecond;
      s.report_.runs.back().ended = utcText(end + s.realOffset_);
      const Progress p = s.closeSecond(end, true);
      if (last) last(p);
    }
  } finish{*this, everySecond};
  if (!poller_.ok()) {
    countError("epoll: " + std::string(std::strerror(errno)));
    return;
  }
  if (interrupt_fd_ >= 0) poller_.add(interrupt_fd_, EPOLLIN, kInterruptKey);
  timer_fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timer_fd_ >= 0) poller_.add(timer_fd_, EPOLLIN, kTimerKey);
  // A segment's first session may start late in the plan: the connect time-out counts from it.
  int64_t firstStart = INT64_MAX;
  for (uint32_t i = first_; i < last_; ++i) {
    events_.push({origin_ + startAt(i), i, 0, Kind::kStart});
    firstStart = std::min(firstStart, startAt(i));
  }
  events_.push({origin_ + kSecond, 0, 0, Kind::kTick});
  if (first_ < last_)
    events_.push({origin_ + firstStart + int64_t{cfg_.timeoutMs} * 1'000'000, 0, 0, Kind::kGiveUp});

  while (finished_ < last_ - first_) {
    now_ = clockNs();
    while (!events_.empty() && events_.top().at <= now_) {
      const Event e = events_.top();
      events_.pop();
      if (e.kind == Kind::kTick) {
        events_.push({e.at + kSecond, 0, 0, Kind::kTick});
        syncClocks();
        const Progress p = closeSecond(e.at, false);
        if (everySecond) everySecond(p);
      } else {
        fire(e);
      }
    }
    // The last session may have ended in the events just fired: end now, not at the next tick.
    if (finished_ >= last_ - first_) break;
    int n = 0;
    if (pace_.mode() == ReadPace::Mode::kPolling) {
      // Asleep outside epoll until the next event or poll; between polls only events fire.
      const int64_t poll = pace_.nextPoll();
      const int64_t until = events_.empty() ? poll : std::min(poll, events_.top().at);
      if (until > now_) {
        const timespec t{static_cast<time_t>(until / kSecond), static_cast<long>(until % kSecond)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
      }
      now_ = clockNs();
      if (now_ < poll) continue;
      n = poller_.wait(0);
    } else {
      // The timer wakes the loop on the microsecond; epoll's own time-out only on the millisecond.
      int waitMs = 1000;
      if (!events_.empty() && timer_fd_ >= 0 && events_.top().at != armed_) {
        armed_ = events_.top().at;
        itimerspec when{};
        when.it_value = {static_cast<time_t>(armed_ / kSecond),
                         static_cast<long>(armed_ % kSecond)};
        timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &when, nullptr);
      } else if (!events_.empty() && timer_fd_ < 0) {
        waitMs = static_cast<int>(
            std::clamp<int64_t>((events_.top().at - now_ + 999'999) / 1'000'000, 0, 1000));
      }
      n = poller_.wait(waitMs);
    }
    if (n < 0) {
      countError("epoll: " + std::string(std::strerror(errno)));
      break;
    }
    now_ = clockNs();
    pace_.observed(now_, n);
    for (const epoll_event& ev : poller_.events()) {
      if (ev.data.u64 == kTimerKey) {
        uint64_t expirations;
        [[maybe_unused]] ssize_t r = ::read(timer_fd_, &expirations, sizeof expirations);
        armed_ = 0;
        continue;
      }
      if (ev.data.u64 == kInterruptKey) {
        char drain[512];  // a signalfd reads whole 128-byte records
        [[maybe_unused]] ssize_t r = ::read(interrupt_fd_, drain, sizeof drain);
        if (interrupted_) return;  // a second time: stop at once
        interrupt();
        continue;
      }
      const auto i = static_cast<uint32_t>(ev.data.u64);
      Session& s = sessions_[i];
      if (!s.conn) continue;  // closed earlier in this batch
      if (s.state == State::kConnecting) {
        connected(i);
        continue;
      }
      if (ev.events & (EPOLLIN | EPOLLERR | EPOLLHUP)) readable(i);
      if (s.conn && (ev.events & EPOLLOUT)) flush(i);
    }
  }
}

Progress Swarm::closeSecond(int64_t at, bool last) {
  Progress p;
  p.elapsed = static_cast<double>(at - origin_) / kSecond;
  p.last = last;
  p.connecting = connecting_;
  p.inWorld = inWorld_;
  p.done = static_cast<uint32_t>(report_.completed);
  p.failed = static_cast<uint32_t>(report_.failed);
  p.movesSent = report_.movesSent;
  p.relays = report_.relay.count();
  p.errors = report_.errorCount();
  p.intervalRelayP99 = secondLatency_[kRelayLatency].percentile(99);

  second_.connecting = connecting_, second_.inWorld = inWorld_;
  for (size_t i = 0; i < kLatencies; ++i) {
    second_.latency[i] = SparseHistogram::of(secondLatency_[i]);
    secondLatency_[i] = Histogram();
  }
  report_.timeline.push_back(std::move(second_));
  second_ = Interval();
  return p;
}

void Swarm::fire(const Event& e) {
  Session& s = sessions_[e.session];
  switch (e.kind) {
    case Kind::kStart:
      if (!interrupted_) start(e.session);
      break;
    case Kind::kTimeout:
      // A state change since the time-out was set makes it stale.
      if (e.serial == s.serial)
        fail(e.session, std::string("time-out awaiting ") + awaitedName(s.state));
      break;
    case Kind::kActivity: {  // the k-th request of an activity, and the next one planned
      if (s.state != State::kInWorld) break;
      const Activity& a = kActivityTable[e.activity];
      const Behaviour& b = behaviour(e.session);
      const uint32_t k = s.sent[e.activity]++;
      sendBuf_.clear();
      a.build({e.session, k, mark_, s.rooms}, sendBuf_);
      if (a.total) ++(report_.*a.total);
      if (a.second) ++(second_.*a.second);
      ++groupOf(e.session).sent[a.name];
      send(e.session, sendBuf_);
      if (s.conn && k + 1 < plannedCount(b, a))
        events_.push({scheduled(s, k + 1, b.*a.rate), e.session, 0, Kind::kActivity, e.activity});
      break;
    }
    case Kind::kExit:
      if (s.state == State::kInWorld) leave(e.session);
      break;
    case Kind::kGiveUp:
      if (report_.steps[kConnect].count() == 0 && !interrupted_) giveUp();
      break;
    case Kind::kTick: break;
  }
}

// No session has connected within the connect time-out: the rest would fare no better, so
// the run stops rather than play out its schedule. Sessions not yet connected are abandoned.
void Swarm::giveUp() {
  countError("no session connected within the time-out (" + std::to_string(cfg_.timeoutMs) +
             " ms): run stopped");
  for (uint32_t i = first_; i < last_; ++i) {
    const State st = sessions_[i].state;
    if (st != State::kIdle && st != State::kConnecting) continue;
    close(i);
    enter(i, State::kAbandoned);
  }
}

void Swarm::start(uint32_t i) {
  Session& s = sessions_[i];
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ++second_.started;
  if (fd < 0) {
    countError("socket: " + std::string(std::strerror(errno)));
    enter(i, State::kFailed);
    return;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  veltra::tools::enableArrivalTimes(fd);
  s.conn = std::make_unique<veltra::tools::Connection>(fd);
  enter(i, State::kConnecting);
  s.since = s.plannedAt = origin_ + startAt(i);
  const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&cfg_.server), sizeof cfg_.server);
  if (rc != 0 && errno != EINPROGRESS) {
    fail(i, errno == ECONNREFUSED ? "connection refused"
                                  : "connect: " + std::string(std::strerror(errno)));
    return;
  }
  poller_.add(fd, EPOLLOUT, i);
  s.writing = true;
}

void Swarm::connected(uint32_t i) {
  Session& s = sessions_[i];
  int err = 0;
  socklen_t len = sizeof err;
  getsockopt(s.conn->fd(), SOL_SOCKET, SO_ERROR, &err, &len);
  if (err != 0) {
    fail(i, err == ECONNREFUSED ? "connection refused"
                                : "connect: " + std::string(std::strerror(err)));
    return;
  }
  record(i, kConnect, s.since, now_);
  poller_.modify(s.conn->fd(), EPOLLIN, i);
  s.writing = false;
  enter(i, State::kPropUpd);
  send(i, proto::buildPropRequest());
}

const char* Swarm::awaitedName(State st) {
  switch (st) {
    case State::kConnecting: return "connection";
    case State::kPropUpd: return "PROPUPD";
    case State::kLogin: return "SESSINIT reply";
    case State::kRoomId: return "ROOMID";
    case State::kLogout: return "SESSEXIT reply";
    default: return nullptr;
  }
}

// The one place a session's state changes. Each change makes pending
// time-outs stale; a state that awaits a reply starts its own, counted from now.
void Swarm::enter(uint32_t i, State to) {
  Session& s = sessions_[i];
  const auto gauge = [this](State st) -> uint32_t* {
    switch (st) {
      case State::kConnecting: return &connecting_;
      case State::kInWorld: return &inWorld_;
      case State::kDone:
      case State::kFailed:
      case State::kAbandoned: return &finished_;
      default: return nullptr;
    }
  };
  if (uint32_t* g = gauge(s.state)) --*g;
  if (uint32_t* g = gauge(to)) ++*g;
  if (to == State::kDone) ++report_.completed, ++second_.completed, ++groupOf(i).completed;
  if (to == State::kFailed) ++report_.failed, ++second_.failed, ++groupOf(i).failed;
  s.state = to;
  s.serial++;
  if (awaitedName(to)) {
    s.since = now_;
    events_.push({now_ + int64_t{cfg_.timeoutMs} * 1'000'000, i, s.serial, Kind::kTimeout});
  }
}

void Swarm::record(uint32_t i, Step step, int64_t from, int64_t to) {
  const auto us = static_cast<uint64_t>(std::max<int64_t>(to - from, 0)) / 1000;
  report_.steps[step].record(us);
  secondLatency_[step].record(us);
  groupOf(i).steps[kStepNames[step]].record(us);
}

// A relayed move or line, from its scheduled time to its arrival.
uint64_t Swarm::recordRelay(Latency which, int64_t from) {
  const auto us = static_cast<uint64_t>(std::max<int64_t>(arrival_ - from, 0)) / 1000;
  (which == kRelayLatency ? report_.relay : report_.chat).record(us);
  secondLatency_[which].record(us);
  ++(which == kRelayLatency ? second_.relays : second_.linesReceived);
  return us;
}

// Arrival times come on the real-time clock; the schedule runs on the monotonic
// one. The offset is taken where the two readings lie closest together, and
// taken again every second so that a stepped clock misleads for a second at most.
void Swarm::syncClocks() {
  int64_t best = INT64_MAX;
  for (int k = 0; k < 3; ++k) {
    const int64_t a = clockNs(), real = clockNs(CLOCK_REALTIME), b = clockNs();
    if (b - a < best) best = b - a, realOffset_ = real - (a + b) / 2;
  }
}

int64_t Swarm::arrivalOf(int64_t realNs) const {
  // No stamp, or one from the future of a stepped clock: the time of reading.
  // (now_ is the time of waking, which bytes read later in the pass may postdate.)
  const int64_t read = clockNs();
  return realNs == 0 ? read : std::min(realNs - realOffset_, read);
}

void Swarm::enterWorld(uint32_t i) {
  Session& s = sessions_[i];
  // ROOMIDRQ for each room it needs, one at a time; SUBSCRIB and TELEPORT follow the replies.
  enter(i, State::kRoomId);
  {
    proto::PropertyList avatar;  // VAR_CHANNEL/BITMAP
    avatar.add(proto::kVarChannel, cfg_.avatar);
    send(i, proto::buildPropertySet("", avatar));
  }
  if (s.conn) send(i, proto::buildRoomIdRequest(roomName(i, 0)));
}

void Swarm::leave(uint32_t i) {
  enter(i, State::kLogout);
  proto::OldPropertyList bye;
  bye.add(proto::kVarError, "0");
  send(i, proto::buildSessionExit(bye));
}

void Swarm::readable(uint32_t i) {
  Session& s = sessions_[i];
  for (int rounds = 0; rounds < 8 && s.conn; ++rounds) {
    // A read that leaves room in the framer has drained the socket: stop there rather than
    // pay a second recv for EAGAIN; the level-triggered poller reports what comes later.
    const size_t room = s.conn->framer().space(), before = s.conn->framer().buffered();
    int64_t arrived = 0;
    const auto io = s.conn->read(arrived);
    arrival_ = arrivalOf(arrived);
    const bool drained = s.conn->framer().buffered() - before < room;
    if (io == veltra::tools::Connection::Io::kClosed) {
      return fail(i, "connection closed by the server");
    }
    if (io == veltra::tools::Connection::Io::kError) {
      return fail(i, errno == ECONNRESET ? "connection reset"
                                         : "recv: " + std::string(std::strerror(errno)));
    }
    std::span<const uint8_t> f;
    auto r = proto::Framer::Result::kNeedMore;
    while (s.conn && (r = s.conn->framer().next(f)) == proto::Framer::Result::kFrame) frame(i, f);
    if (!s.conn) return;
    if (r == proto::Framer::Result::kBadLength)
      return fail(i, "bad length byte " + std::to_string(s.conn->framer().badLength()));
    if (io == veltra::tools::Connection::Io::kAgain) return;
    if (drained) return;
  }
}

void Swarm::frame(uint32_t i, std::span<const uint8_t> f) {
  // Most of a run's frames are relayed moves: counted and matched without building commands.
  if (relayed(sessions_[i].state) && fastFixed(i, f)) return;
  general(i, f);
}

// A plain or compound frame of a fixed-size notification (LONGLOC, APPRACTR,
// DISAPPR): checked, counted and, for moves, matched without building commands,
// as the general path would. False (nothing counted) for anything else, which
// then takes the general path: other commands, frames that do not split into
// whole elements, and long ids whose text does not decode (its error is
// counted there).
bool Swarm::fastFixed(uint32_t i, std::span<const uint8_t> f) {
  const proto::FrameView v(f);
  if (!v.valid()) return false;
  const uint8_t cmd = v.command();
  const bool moves = cmd == static_cast<uint8_t>(Command::LongLoc);
  if (!moves && cmd != static_cast<uint8_t>(Command::AppearActor) &&
      cmd != static_cast<uint8_t>(Command::Disappear))
    return false;
  // One pass reads the moves; they are matched once the whole frame has proved sound.
  movesRead_.clear();
  proto::Elements els(v);
  proto::Element e;
  size_t n = 0;
  while (els.next(e)) {
    if (e.target.isLong() && !decodes(e.target)) return false;
    if (moves) movesRead_.push_back(*proto::readFixed<proto::LongLoc>(e.body));
    ++n;
  }
  if (els.malformed()) return false;
  ++report_.framesReceived[cmd];
  report_.commandsReceived[cmd] += n;
  for (const proto::LongLoc& m : movesRead_)
    moveReceived(i, static_cast<uint16_t>(m.x), m.y, m.z, m.dir);
  return true;
}

void Swarm::general(uint32_t i, std::span<const uint8_t> f) {
  Session& s = sessions_[i];
  std::vector<proto::Incoming> cmds;
  try {
    cmds = proto::parsePacket(f);
  } catch (const proto::ReadError& e) {
    const std::string kind = std::string("undecodable frame: ") + e.what();
    // An awaited reply that does not decode ends the session; a notification does not.
    if (relayed(s.state)) {
      countError(kind);
      const proto::FrameView v(f);
      if (v.valid() && !v.target().isLong()) ++report_.framesReceived[v.command()];
    } else {
      fail(i, kind);
    }
    return;
  }
  ++report_.framesReceived[cmds.front().command];
  for (const proto::Incoming& in : cmds) ++report_.commandsReceived[in.command];
  if (!relayed(s.state)) return replied(i, cmds.front());
  // The SESSEXIT reply may come behind relays, in the same frame.
  for (const proto::Incoming& in : cmds) {
    if (s.state == State::kLogout && std::holds_alternative<proto::SessionExit>(in.body))
      return replied(i, in);
    notified(i, in);
  }
}

// The reply the session awaits, or a wrong one, which ends it.
void Swarm::replied(uint32_t i, const proto::Incoming& in) {
  Session& s = sessions_[i];
  auto wrong = [&](const char* request) {
    fail(i, std::string("wrong reply to ") + request + ": " + proto::commandName(in.command));
  };
  switch (s.state) {
    case State::kPropUpd:
      if (!std::holds_alternative<proto::PropertyUpdate>(in.body)) return wrong("PROPREQ");
      record(i, kPropUpd, s.since, arrival_);
      enter(i, State::kLogin);
      send(i, proto::buildSessionInit(proto::loginProperties(cfg_.prefix + std::to_string(i + 1))));
      return;
    case State::kLogin: {
      const auto* si = std::get_if<proto::SessionInit>(&in.body);
      if (!si) return wrong("SESSINIT");
      const auto err = si->props.value(proto::kVarError);
      if (err != "0") return fail(i, "login refused (" + err.value_or("no VAR_ERROR") + ")");
      record(i, kLogin, s.since, arrival_);
      return enterWorld(i);
    }
    case State::kRoomId: {
      const auto* rid = std::get_if<proto::RoomId>(&in.body);
      if (!rid) return wrong("ROOMIDRQ");
      if (rid->roomNumber == 0) return fail(i, "room number 0");
      record(i, kRoomId, s.since, arrival_);
      s.rooms.push_back(rid->roomNumber);
      const Behaviour& b = behaviour(i);
      const uint32_t needed = roomsNeeded(b, rings_[membership_.groupOf(i)].size());
      if (s.rooms.size() < needed) {
        enter(i, State::kRoomId);  // the next lookup, with its own time-out
        return send(i, proto::buildRoomIdRequest(roomName(i, s.rooms.size())));
      }
      for (uint32_t j = 0; j < std::min(b.watch, needed) && s.conn; ++j)
        send(i, proto::buildSubscribe(s.rooms[j], kX, kY, kZ, 900));
      if (s.conn) send(i, proto::buildTeleport(s.rooms[0], 0, 1, kX, kY, kZ, kDir));
      if (!s.conn) return;
      enter(i, State::kInWorld);
      s.inWorldAt = now_;
      // It leaves after its duration, and never before its last request of each kind.
      int64_t exit = now_ + static_cast<int64_t>(b.duration * kSecond);
      for (size_t a = 0; a < kActivities; ++a) {
        const Activity& act = kActivityTable[a];
        if (const uint32_t count = plannedCount(b, act); count >= 1) {
          events_.push(
              {scheduled(s, 0, b.*act.rate), i, 0, Kind::kActivity, static_cast<uint8_t>(a)});
          exit = std::max(exit, scheduled(s, count - 1, b.*act.rate) + 1);
        }
      }
      events_.push({exit, i, 0, Kind::kExit});
      return;
    }
    case State::kLogout:  // SESSEXIT: logged out
      record(i, kLogout, s.since, arrival_);
      enter(i, State::kDone);
      close(i);
      return;
    default: return;
  }
}

// A notification in the world: relayed moves and chat lines are matched, the
// rest only counted.
void Swarm::notified(uint32_t i, const proto::Incoming& in) {
  if (const auto* m = std::get_if<proto::LongLoc>(&in.body)) {
    moveReceived(i, static_cast<uint16_t>(m->x), m->y, m->z, m->dir);
  } else if (const auto* t = std::get_if<proto::Text>(&in.body)) {
    lineReceived(i, t->text);
  }
}

void Swarm::moveReceived(uint32_t i, uint16_t x, int16_t y, int16_t z, int16_t dir) {
  const uint32_t k = static_cast<uint16_t>(y) | static_cast<uint32_t>(static_cast<uint16_t>(z))
                                                    << 16;
  if (dir != mark_ || x >= sessions_.size() || k >= sessions_[x].sent[kMoves]) {
    ++report_.foreignMoves;
    return;
  }
  groupOf(i).relay.record(
      recordRelay(kRelayLatency, scheduled(sessions_[x], k, behaviour(x).moveRate)));
}

void Swarm::lineReceived(uint32_t i, const std::string& line) {
  // "swarm MARK SENDER SEQUENCE"
  unsigned mark = 0, sender = 0, k = 0;
  const char* p = line.data();
  const char* end = p + line.size();
  bool ok = line.rfind("swarm ", 0) == 0;
  p += 6;
  for (unsigned* v : {&mark, &sender, &k}) {
    if (!ok) break;
    const auto r = std::from_chars(p, end, *v);
    ok = r.ec == std::errc();
    p = r.ptr;
    if (ok && p < end && *p == ' ') ++p;
  }
  if (!ok || p != end || static_cast<int>(mark) != mark_ || sender >= sessions_.size() ||
      k >= sessions_[sender].sent[kLines]) {
    ++report_.foreignLines;
    return;
  }
  groupOf(i).chat.record(
      recordRelay(kChatLatency, scheduled(sessions_[sender], k, behaviour(sender).chatRate)));
}

void Swarm::send(uint32_t i, std::span<const uint8_t> f) {
  Session& s = sessions_[i];
  s.conn->queue(f);
  ++report_.framesSent[proto::FrameView::whole(f).command()];
  flush(i);
}

void Swarm::flush(uint32_t i) {
  Session& s = sessions_[i];
  if (s.conn->flush() == veltra::tools::Connection::Io::kError)
    return fail(i, errno == ECONNRESET || errno == EPIPE
                       ? "connection reset"
                       : "send: " + std::string(std::strerror(errno)));
  if (s.conn->pending() > kMaxBacklog)
    return fail(i, "server not reading (send backlog over 256 KiB)");
  const bool want = s.conn->pending() > 0;
  if (want != s.writing) {
    poller_.modify(s.conn->fd(), want ? EPOLLIN | EPOLLOUT : EPOLLIN, i);
    s.writing = want;
  }
}

void Swarm::countError(const std::string& kind) {
  report_.errors[kind]++;
  second_.errors[kind]++;
}

void Swarm::fail(uint32_t i, const std::string& kind) {
  countError(kind);
  enter(i, State::kFailed);
  close(i);
}

void Swarm::close(uint32_t i) {
  Session& s = sessions_[i];
  if (!s.conn) return;
  poller_.remove(s.conn->fd());
  s.conn.reset();
}

}  // namespace scoutswarm
