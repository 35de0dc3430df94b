// The load generator: N client sessions on non-blocking sockets in one epoll
// loop, each playing the client's exchange (properties, login, avatar, room
// number, subscription, teleport), then moving and chatting on a fixed
// schedule for the run's duration, then logging out.
//
// Open loop: session i starts at i / ramp seconds; a session in the world
// sends its k-th move at (k + 1/2) / moveRate seconds after its start (slots
// before its teleport skipped by whole periods), and its chat lines likewise,
// whatever the server does. Latencies count from the
// scheduled time, so a late loop or a slow server shows up as latency instead
// of as fewer requests, and end at the kernel's arrival time of what was read,
// so the loop's own delay in reading does not. Moves carry their sender and
// sequence number in the coordinates (x = session index, y and z = sequence,
// dir = the run's mark), chat lines in their text, so every receipt is matched
// without a table.
//
// Every awaited reply has a time-out, and every session's life is bounded by
// the schedule, so a run always ends by itself. interrupt() ends it early:
// sessions in the world log out at once, others are abandoned.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <span>
#include <string>
#include <vector>

#include "common/netio.hpp"
#include "scoutswarm/activity.hpp"
#include "scoutswarm/readpace.hpp"
#include "scoutswarm/report.hpp"
#include "scoutswarm/scenario.hpp"
#include "scoutswarm/segment.hpp"
#include "veltra/proto/commands.hpp"
#include "veltra/proto/writer.hpp"

namespace scoutswarm {

struct Config {
  sockaddr_in server{};
  std::string serverText = "127.0.0.1:6650";
  uint32_t sessions = 10;
  std::string room = "swarm";
  uint32_t rooms = 1;    // more than one: rooms "<room>-1" .. "<room>-K", sessions spread evenly
  double ramp = 100;     // sessions started per second
  double duration = 10;  // seconds each session stays in the world
  double moveRate = 1;   // per session per second
  double chatRate = 0.1;
  uint32_t timeoutMs = 5000;
  std::string prefix = "swarm";
  std::string avatar = "avatar:swarm.mov";
  bool abortOnFail = false;  // acted on by the caller; recorded with the run
  // The sessions' groups and behaviours; none: one group of the rates and duration above.
  Scenario scenario;
  // The share of the plan this process runs; sessions keep their index in the whole plan.
  Segment segment;
  std::string startAt;  // the wall-clock start the processes of a plan agreed on, if any

  std::string roomOf(uint32_t session) const;
  // The parameters as the report records them, in the man page's order.
  std::vector<std::pair<std::string, std::string>> parameters() const;
  // How long the run takes when every reply is instant: the last start, then the duration.
  double plannedSeconds() const;
};

// Counts as they stand, for the progress line and the per-second CSV row.
struct Progress {
  double elapsed = 0;  // whole seconds at a tick; the run's length in the last call
  bool last = false;   // the run has ended: the counts are its totals
  uint32_t connecting = 0, inWorld = 0, done = 0, failed = 0;
  uint64_t movesSent = 0, relays = 0, errors = 0;
  uint64_t intervalRelayP99 = 0;  // over the relays received since the previous call
};

// The mark in a move's dir field, derived from the name prefix, so that runs
// with distinct prefixes sharing a server tell their moves apart.
int16_t runMark(const std::string& prefix);

class Swarm {
 public:
  explicit Swarm(Config config);
  ~Swarm();

  // Runs to the end. `everySecond` is called once a second with the counts, and once more
  // when the run has ended, with its totals (after a partial last second).
  void run(const std::function<void(const Progress&)>& everySecond);
  // Ends the run early (from a signal, through the loop's wake-up descriptor).
  void interrupt();
  // A descriptor to watch; when readable, the run is interrupted. -1: none.
  void watchInterrupt(int fd) { interrupt_fd_ = fd; }

  const Report& report() const { return report_; }
  Report& report() { return report_; }

 private:
  // Where a session stands: connecting, awaiting a reply, in the world, or
  // finished one of three ways. A session changes state only through enter(),
  // which keeps the gauges (connecting_, inWorld_, finished_) and the report's
  // completed and failed counts in step and sets the time-out of an awaited reply.
  enum class State : uint8_t {
    kIdle,        // not started
    kConnecting,  // awaiting the connection
    kPropUpd,     // awaiting the reply named
    kLogin,
    kRoomId,
    kInWorld,
    kLogout,     // awaiting the SESSEXIT reply; relays still arrive
    kDone,       // logged out
    kFailed,     // ended by an error
    kAbandoned,  // interrupted before it reached the world
  };
  struct Session {
    State state = State::kIdle;
    bool writing = false;   // EPOLLOUT armed
    uint32_t serial = 0;    // bumped per state change; stale time-outs compare unequal
    int64_t since = 0;      // when the awaited request went out (ns)
    int64_t plannedAt = 0;  // its scheduled start (ns): the grid of its requests
    int64_t inWorldAt = 0;  // when the TELEPORT went out (ns): no request before
    std::array<uint32_t, kActivities> sent{};  // requests of each activity sent
    std::vector<uint16_t> rooms;               // looked up before entering, its own first
    std::unique_ptr<veltra::tools::Connection> conn;
  };
  // Relays arrive in the world and while logging out of it.
  static bool relayed(State st) { return st == State::kInWorld || st == State::kLogout; }
  // What a state awaits, for its time-out's message; nullptr when it awaits nothing.
  static const char* awaitedName(State st);

  // The schedule: session starts, sends, departures, reply time-outs and the
  // once-a-second tick, earliest first.
  // kGiveUp: the connect time-out after the start, when the run stops if no session connected.
  enum class Kind : uint8_t { kStart, kActivity, kExit, kTimeout, kTick, kGiveUp };
  struct Event {
    int64_t at;
    uint32_t session;
    uint32_t serial;
    Kind kind;
    uint8_t activity = 0;  // kActivity: its row in kActivityTable
    bool operator>(const Event& o) const { return at > o.at; }
  };

  // The session's exchange, step by step; `i` is the session's index.
  void fire(const Event& e);
  void start(uint32_t i);
  void connected(uint32_t i);
  void enter(uint32_t i, State to);
  void enterWorld(uint32_t i);
  void leave(uint32_t i);

  // Input: read, cut into frames, decoded (the common notifications on a fast
  // path), then matched against the awaited reply or taken as notifications.
  void readable(uint32_t i);
  void frame(uint32_t i, std::span<const uint8_t> f);
  bool fastFixed(uint32_t i, std::span<const uint8_t> f);
  void general(uint32_t i, std::span<const uint8_t> f);
  void replied(uint32_t i, const veltra::proto::Incoming& in);
  void notified(uint32_t i, const veltra::proto::Incoming& in);
  void moveReceived(uint32_t i, uint16_t x, int16_t y, int16_t z, int16_t dir);
  void lineReceived(uint32_t i, const std::string& text);

  // Output and ending: a send that fails, or a server that stops reading, fails the session.
  void send(uint32_t i, std::span<const uint8_t> frame);
  void flush(uint32_t i);
  void fail(uint32_t i, const std::string& kind);
  void countError(const std::string& kind);
  void giveUp();
  void close(uint32_t i);

  // Measuring: latencies from a start time to an end, the schedule's send
  // times, and the arrival of what was read on the schedule's clock.
  // Session i's step, in the run's, the second's and its group's histograms.
  void record(uint32_t i, Step step, int64_t from, int64_t to);
  // Records a receipt's latency in the run's and the second's histograms; gives it (us).
  uint64_t recordRelay(Latency which, int64_t from);
  int64_t scheduled(const Session& s, uint32_t k, double rate) const;
  // Ends the timeline's current second (at `at`), and the counts for the progress line.
  Progress closeSecond(int64_t at, bool last);
  void syncClocks();
  int64_t arrivalOf(int64_t realNs) const;

  // The session's group: its behaviour, its part of the report, its start (from the
  // origin, ns) and the j-th room it looks up.
  const Behaviour& behaviour(uint32_t i) const {
    return scenario_.groups[membership_.groupOf(i)].behaviour;
  }
  GroupReport& groupOf(uint32_t i) { return report_.groups[membership_.groupOf(i)]; }
  int64_t startAt(uint32_t i) const;
  const std::string& roomName(uint32_t i, uint32_t j) const;

  Config cfg_;
  int16_t mark_;
  Scenario scenario_;  // the one played: the configured one, or the rates' one group
  Membership membership_;
  uint32_t first_ = 0, last_ = 0;                // the segment's sessions: [first_, last_)
  std::vector<std::vector<std::string>> rings_;  // per group, the rooms it enters, hops and watches
  veltra::tools::Poller poller_;
  std::vector<Session> sessions_;
  std::priority_queue<Event, std::vector<Event>, std::greater<Event>> events_;
  Report report_;
  // The second being counted for the timeline; its histograms are reset, not kept.
  Interval second_;
  std::array<Histogram, kLatencies> secondLatency_;
  int64_t origin_ = 0;
  int64_t now_ = 0;
  int64_t arrival_ = 0;     // when the bytes being decoded reached this host
  int64_t realOffset_ = 0;  // CLOCK_REALTIME minus the schedule's clock
  // Sessions in kConnecting, in kInWorld, and finished (done, failed or
  // abandoned): kept by enter() alone.
  uint32_t connecting_ = 0, inWorld_ = 0, finished_ = 0;
  veltra::proto::Bytes sendBuf_;                   // the activity's request being sent
  std::vector<veltra::proto::LongLoc> movesRead_;  // the fast path's, of one frame
  bool interrupted_ = false;
  int interrupt_fd_ = -1;
  int timer_fd_ = -1;  // wakes the loop for the next event
  int64_t armed_ = 0;  // when the timer is set to expire; 0: not armed
  ReadPace pace_;
};

}  // namespace scoutswarm
