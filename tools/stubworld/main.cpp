// stubworld: a small loopback world server for trying clients out.
//
// One thread, one epoll loop, non-blocking sockets, each a shared Connection:
// its bytes go through a Framer; every frame is decoded with parsePacket,
// logged as one describe line per command and handed to the World. At the end
// of each loop turn the World's output is queued per connection and leaves in
// one send() per connection, so batching grows with load instead of syscalls;
// the turn's sends go to the kernel together (SendBatch: one io_uring_enter
// where the kernel has io_uring); while the loop is busy, sends to a busy
// connection are at least 2 ms apart.
//
// No client can deny service to the others:
// - A connection is dropped for not reading only when, after its flush, the
//   socket has refused more than 64 KiB beyond the largest output one flush
//   has met since its backlog was last within 64 KiB (backlog.hpp). The output
//   one connection's requests cause is limited per turn (64 KiB, its replies
//   and its neighbours' notifications alike); the rest of its input waits for
//   later turns, and TCP slows the sender down, not its neighbours.
// - A connection has --login-timeout seconds to log in. When every slot is
//   taken, a newcomer evicts the oldest connection that has not logged in
//   (one that has sent nothing first); a logged-in session is never evicted,
//   so with every slot logged in the newcomer is closed.
// - After SESSEXIT, logged in or not, nothing more is read; the connection has
//   kDrainTime from then to take its last output, the reply included (also
//   when it has half-closed its side), before it is closed.
// - Out of descriptors, a spare one is given up to accept and close the
//   pending connection, so the loop never spins; logged once per episode.
// - Text from the wire is logged with control characters escaped.
// A connection that sends a bad length byte or a frame that does not decode
// is closed.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "CLI/CLI.hpp"
#include "common/cli.hpp"
#include "common/netio.hpp"
#include "common/process.hpp"
#include "common/sendbatch.hpp"
#include "common/text.hpp"
#include "stubworld/backlog.hpp"
#include "stubworld/pacing.hpp"
#include "stubworld/world.hpp"
#include "veltra/proto/framer.hpp"
#include "veltra/proto/reader.hpp"
#include "veltra/proto/version.hpp"

namespace {

using namespace stubworld;
namespace proto = veltra::proto;
namespace net = veltra::tools;
using std::chrono::milliseconds;

constexpr size_t kMaxUnsent = Backlog::kMaxUnsent;
constexpr size_t kTurnBudget = 64 * 1024;  // output one connection's input may cause per turn
constexpr int kAcceptsPerTurn = 64;
constexpr size_t kReservedFds = 16;  // standard streams, listener, epoll, signal pipe, spare
constexpr milliseconds kAcceptPause{100};
constexpr std::chrono::seconds kDrainTime{5};  // after SESSEXIT, whatever --login-timeout says
constexpr uint64_t kSignalKey = ~0ull, kListenKey = ~0ull - 1;

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
  const int saved = errno;
  const char b = 1;
  [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &b, 1);
  errno = saved;
}

// Prefixes every line written through it with the UTC time to the millisecond,
// "2026-12-06T10:11:12.345Z ", stamped when the line's first byte comes.
class StampedLines : public std::streambuf {
 public:
  explicit StampedLines(std::streambuf* to) : to_(to) {}

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    const char ch = static_cast<char>(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    for (std::streamsize at = 0; at < n;) {
      if (lineStart_) {
        const std::string stamp = now();
        if (to_->sputn(stamp.data(), static_cast<std::streamsize>(stamp.size())) !=
            static_cast<std::streamsize>(stamp.size()))
          return at;
      }
      const char* nl = static_cast<const char*>(std::memchr(s + at, '\n', n - at));
      const std::streamsize len = nl ? nl - (s + at) + 1 : n - at;
      if (to_->sputn(s + at, len) != len) return at;
      at += len;
      lineStart_ = nl != nullptr;
    }
    return n;
  }
  int sync() override { return to_->pubsync(); }

 private:
  static std::string now() {
    const auto ms = std::chrono::duration_cast<milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    const time_t secs = static_cast<time_t>(ms / 1000);
    tm t{};
    gmtime_r(&secs, &t);
    char buf[40];
    const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &t);
    std::snprintf(buf + n, sizeof buf - n, ".%03dZ ", static_cast<int>(ms % 1000));
    return buf;
  }

  std::streambuf* to_;
  bool lineStart_ = true;
};

struct Options {
  sockaddr_in addr{};
  bool quiet = false;
  size_t maxConnections = 16384;  // ten thousand sessions and room to spare
  double loginTimeout = 10;       // seconds; 0: no limit
};

class Server {
 public:
  Server(int listenFd, const Options& o);
  ~Server();
  bool run();

 private:
  // Where a connection is; setPhase keeps the sets below in step with it.
  enum class Phase {
    kConnected,  // not logged in: on waiting_ (and on silent_ until its first byte)
    kLoggedIn,
    kDraining,  // after SESSEXIT: no more reading; closed once its output has gone, or at drainBy
  };
  struct Conn {
    Conn(int fd, Clock::time_point t) : io(fd), since(t) {}
    net::Connection io;
    Clock::time_point since;  // connected at
    Phase phase = Phase::kConnected;
    Clock::time_point drainBy{};  // while draining: when it is closed, output gone or not
    Backlog backlog;              // decides when it is dropped for not reading
    Pace pace;                    // decides when its output waits for more
    // Its place in the loop, each changed only in the functions named.
    bool writing = false;     // registered for EPOLLOUT (interest)
    bool backlogged = false;  // on backlog_: frames left in the framer for the next turn (serve)
    bool deferred = false;    // on deferred_: output waits for its pace (defer; deliver takes them)
    uint64_t flushMark = 0;   // on flush_ while equal to flushMark_ (toFlush)
    uint64_t turn = 0;        // the turn `spent` counts for
    size_t spent = 0;
  };

  void say(const std::string& line) {
    if (!quiet_) std::cout << net::escapeText(line) << std::endl;
  }
  void acceptSome();
  bool makeRoom();
  void serve(ConnId id, bool readable);
  void expire(Clock::time_point now);
  int timeout(Clock::time_point now) const;
  void deliver();
  // After its flush: why the connection is to be closed, or nothing.
  std::string flushStep(Conn& c, const net::SendBatch::Result& flushed);
  void setPhase(ConnId id, Conn& c, Phase to);
  void toFlush(ConnId id, Conn& c);
  void defer(ConnId id, Conn& c);
  void interest(ConnId id, Conn& c);
  void close(ConnId id, const std::string& why);

  int listen_fd_;
  bool quiet_;
  size_t max_;
  milliseconds loginTimeout_;
  World world_;
  net::Poller poller_;
  std::unordered_map<ConnId, std::unique_ptr<Conn>> conns_;
  std::set<ConnId> waiting_;  // not logged in, oldest first (ids grow with time)
  std::set<ConnId> silent_;   // not a byte received yet, oldest first
  std::set<std::pair<Clock::time_point, ConnId>> draining_;  // by drainBy
  std::vector<ConnId> ready_, backlog_, flush_, deferred_;
  Clock::time_point nextSend_ = Clock::time_point::max();  // the earliest deferred send
  Load load_;                                              // pacing holds output while busy
  net::SendBatch batch_;                                   // sends a turn's output at once
  std::vector<net::Connection*> sending_;                  // deliver()'s batch and its results
  std::vector<std::pair<ConnId, Conn*>> sendingIds_;
  std::vector<net::SendBatch::Result> flushed_;
  ConnId next_id_ = 1;
  uint64_t turn_ = 0, flushMark_ = 0;
  int spare_ = -1;  // given up to accept and close when descriptors run out
  bool starved_ = false, refusing_ = false;
  Clock::time_point paused_until_{};  // accepting paused after a persistent error
};

Server::Server(int listenFd, const Options& o)
    : listen_fd_(listenFd),
      quiet_(o.quiet),
      max_(o.maxConnections),
      loginTimeout_(milliseconds(static_cast<int64_t>(std::ceil(o.loginTimeout * 1000)))),
      world_(o.quiet ? nullptr : &std::cout),
      spare_(open("/dev/null", O_RDONLY | O_CLOEXEC)) {}

Server::~Server() {
  if (spare_ >= 0) ::close(spare_);
}

bool Server::run() {
  if (!poller_.ok() || !poller_.add(g_signalPipe[0], EPOLLIN, kSignalKey) ||
      !poller_.add(listen_fd_, EPOLLIN, kListenKey)) {
    std::perror("stubworld: epoll");
    return false;
  }
  bool stop = false, ok = true;
  while (!stop) {
    const auto before = Clock::now();
    const int n = poller_.wait(backlog_.empty() ? timeout(before) : 0);
    const auto after = Clock::now();
    load_.waited(before, after);
    if (n < 0) {
      std::perror("stubworld: epoll_wait");
      ok = false;
      break;
    }
    ++turn_;
    ++flushMark_;
    ready_.clear();
    bool accepting = false;
    for (const epoll_event& ev : poller_.events()) {
      if (ev.data.u64 == kSignalKey) stop = true;
      if (ev.data.u64 == kListenKey) accepting = true;
      auto it = conns_.find(ev.data.u64);
      if (it == conns_.end()) continue;
      Conn& c = *it->second;
      if (ev.events & EPOLLOUT) toFlush(it->first, c);
      if (c.phase != Phase::kDraining) {
        if (ev.events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) ready_.push_back(it->first);
      } else if (ev.events & (EPOLLHUP | EPOLLERR)) {
        // Gone both ways: nothing queued can arrive. A half-close still takes its output.
        close(it->first, "hung up");
      }
    }
    if (stop) break;
    std::vector<ConnId> again;
    again.swap(backlog_);
    for (ConnId id : again) serve(id, false);
    for (ConnId id : ready_) serve(id, true);
    const auto now = Clock::now();
    if (paused_until_ != Clock::time_point{} && now >= paused_until_) {
      paused_until_ = {};
      poller_.modify(listen_fd_, EPOLLIN, kListenKey);
    }
    if (accepting) acceptSome();
    expire(now);
    deliver();
  }
  std::vector<ConnId> all;
  for (const auto& [id, c] : conns_) all.push_back(id);
  for (ConnId id : all) close(id, "server stopping");
  say("stopped");
  return ok;
}

int Server::timeout(Clock::time_point now) const {
  Clock::time_point next = Clock::time_point::max();
  if (!waiting_.empty() && loginTimeout_.count() > 0)
    next = conns_.at(*waiting_.begin())->since + loginTimeout_;
  if (!draining_.empty()) next = std::min(next, draining_.begin()->first);
  if (paused_until_ != Clock::time_point{}) next = std::min(next, paused_until_);
  if (!deferred_.empty()) next = std::min(next, nextSend_);
  if (next == Clock::time_point::max()) return -1;
  const auto ms = std::chrono::ceil<milliseconds>(next - now).count();
  return static_cast<int>(std::clamp<int64_t>(ms, 0, 60000));
}

void Server::acceptSome() {
  for (int i = 0; i < kAcceptsPerTurn; ++i) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd =
        accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      if (!starved_) say(std::string("accept: ") + std::strerror(errno) + "; closing newcomers");
      starved_ = true;
      if ((errno == EMFILE || errno == ENFILE) && spare_ >= 0) {
        // The pending connection would stay in the backlog and wake us forever.
        ::close(spare_);
        const int shed = accept(listen_fd_, nullptr, nullptr);
        if (shed >= 0) ::close(shed);
        spare_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (shed >= 0 && spare_ >= 0) continue;
      }
      paused_until_ = Clock::now() + kAcceptPause;
      poller_.modify(listen_fd_, 0, kListenKey);
      return;
    }
    if (starved_) say("accepting again");
    starved_ = false;
    if (spare_ < 0) spare_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (conns_.size() >= max_ && !makeRoom()) {
      if (!refusing_)
        say("refused " + net::endpointText(peer) + ": " + std::to_string(max_) +
            " connections, all logged in (logged once until one is accepted)");
      refusing_ = true;
      ::close(fd);
      continue;
    }
    refusing_ = false;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const ConnId id = next_id_++;
    auto& c = conns_[id] = std::make_unique<Conn>(fd, Clock::now());
    if (!poller_.add(fd, EPOLLIN | EPOLLRDHUP, id)) {
      conns_.erase(id);
      continue;
    }
    world_.connect(id);
    setPhase(id, *c, Phase::kConnected);
    say(world_.tag(id) + " connected from " + net::endpointText(peer));
  }
}

bool Server::makeRoom() {
  const std::set<ConnId>& from = silent_.empty() ? waiting_ : silent_;
  if (from.empty()) return false;
  close(*from.begin(), "evicted: every slot taken, and it had not logged in");
  return true;
}

void Server::serve(ConnId id, bool readable) {
  auto it = conns_.find(id);
  if (it == conns_.end() || it->second->phase == Phase::kDraining) return;
  Conn& c = *it->second;
  if (readable && !c.backlogged) {
    switch (c.io.read()) {
      case net::Connection::Io::kClosed: close(id, "disconnected"); return;
      case net::Connection::Io::kError:
        close(id, std::string("recv: ") + std::strerror(errno));
        return;
      case net::Connection::Io::kOk: silent_.erase(id); break;
      case net::Connection::Io::kAgain: break;
    }
  } else if (readable) {
    return;  // served from the backlog this turn already
  }
  c.backlogged = false;
  if (c.turn != turn_) c.turn = turn_, c.spent = 0;
  std::span<const uint8_t> frame;
  for (;;) {
    if (c.spent >= kTurnBudget) {
      c.backlogged = true;
      backlog_.push_back(id);
      return;
    }
    const proto::Framer::Result r = c.io.framer().next(frame);
    if (r == proto::Framer::Result::kNeedMore) return;
    if (r == proto::Framer::Result::kBadLength) {
      close(id, "invalid length " + std::to_string(c.io.framer().badLength()));
      return;
    }
    std::vector<proto::Incoming> cmds;
    try {
      cmds = proto::parsePacket(frame);
    } catch (const proto::ReadError& e) {
      close(id, std::string("bad frame: ") + e.what());
      return;
    }
    const uint64_t before = world_.queued();
    for (const proto::Incoming& in : cmds) {
      if (!quiet_) say(world_.tag(id) + " " + proto::describe(in));
      if (!world_.handle(id, in)) {
        setPhase(id, c, Phase::kDraining);  // whatever else it sent is not looked at
        return;
      }
    }
    c.spent += world_.queued() - before;
    if (c.phase == Phase::kConnected && world_.loggedIn(id)) setPhase(id, c, Phase::kLoggedIn);
  }
}

void Server::expire(Clock::time_point now) {
  while (!draining_.empty() && draining_.begin()->first <= now)
    close(draining_.begin()->second, "session ended, output unread");
  if (loginTimeout_.count() <= 0) return;
  while (!waiting_.empty()) {
    const ConnId id = *waiting_.begin();
    if (now - conns_.at(id)->since < loginTimeout_) break;
    close(id, "not logged in in time");
  }
}

void Server::setPhase(ConnId id, Conn& c, Phase to) {
  if (c.phase == Phase::kDraining) draining_.erase({c.drainBy, id});
  c.phase = to;
  switch (to) {
    case Phase::kConnected: waiting_.insert(id), silent_.insert(id); break;
    case Phase::kLoggedIn: waiting_.erase(id), silent_.erase(id); break;
    case Phase::kDraining:
      waiting_.erase(id), silent_.erase(id);
      c.drainBy = Clock::now() + kDrainTime;
      draining_.insert({c.drainBy, id});
      interest(id, c);  // no more reading, nor waking for its half-close
      break;
  }
}

void Server::toFlush(ConnId id, Conn& c) {
  if (c.flushMark == flushMark_) return;
  c.flushMark = flushMark_;
  flush_.push_back(id);
}

void Server::defer(ConnId id, Conn& c) {
  if (!c.deferred) deferred_.push_back(id);
  c.deferred = true;
  nextSend_ = std::min(nextSend_, c.pace.due());
}

void Server::interest(ConnId id, Conn& c) {
  const bool writing = c.io.pending() > 0;
  uint32_t events = 0;
  if (c.phase != Phase::kDraining) events |= EPOLLIN | EPOLLRDHUP;
  if (writing) events |= EPOLLOUT;
  poller_.modify(c.io.fd(), events, id);
  c.writing = writing;
}

void Server::deliver() {
  const auto now = Clock::now();
  std::vector<ConnId> waiting;
  waiting.swap(deferred_);
  for (ConnId id : waiting) {
    auto it = conns_.find(id);
    if (it != conns_.end()) it->second->deferred = false, toFlush(id, *it->second);
  }
  nextSend_ = Clock::time_point::max();
  // Dropping a client makes its actor disappear for others: more output.
  for (;;) {
    world_.drain([&](ConnId id, Bytes& bytes) {
      auto it = conns_.find(id);
      if (it == conns_.end()) return;
      it->second->backlog.queued(bytes.size());
      it->second->io.queue(bytes);
      toFlush(id, *it->second);
    });
    if (flush_.empty()) return;
    std::vector<ConnId> list;
    list.swap(flush_);
    ++flushMark_;
    // The turn's output leaves in one batch: the held connections are set aside first.
    sending_.clear(), sendingIds_.clear();
    for (ConnId id : list) {
      auto it = conns_.find(id);
      if (it == conns_.end()) continue;
      Conn& c = *it->second;
      if (load_.busy() && c.phase != Phase::kDraining && c.io.pending() < kMaxUnsent / 4 &&
          c.pace.holds(now)) {
        defer(id, c);
        continue;
      }
      c.pace.sent(now);
      sending_.push_back(&c.io), sendingIds_.push_back({id, &c});
    }
    batch_.flush(sending_, flushed_);
    // Closing one connection leaves the others where they are.
    for (size_t k = 0; k < sendingIds_.size(); ++k) {
      const auto [id, c] = sendingIds_[k];
      if (const std::string why = flushStep(*c, flushed_[k]); !why.empty())
        close(id, why);
      else if (c->writing != (c->io.pending() > 0))
        interest(id, *c);
    }
  }
}

std::string Server::flushStep(Conn& c, const net::SendBatch::Result& flushed) {
  if (flushed.io == net::Connection::Io::kError)
    return std::string("send: ") + std::strerror(flushed.error);
  const size_t unsent = c.io.pending();
  if (c.backlog.overrun(unsent))
    return "dropped: not reading (" + std::to_string(unsent) + " bytes unsent)";
  if (c.phase == Phase::kDraining && unsent == 0) return "session ended";
  return {};
}

void Server::close(ConnId id, const std::string& why) {
  auto it = conns_.find(id);
  if (it == conns_.end()) return;
  say(world_.tag(id) + " closed: " + why);
  world_.disconnect(id);
  poller_.remove(it->second->io.fd());
  draining_.erase({it->second->drainBy, id});
  conns_.erase(it);  // closes the socket
  waiting_.erase(id);
  silent_.erase(id);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string endpoint = "127.0.0.1:6650";
  bool timestamps = false;
  CLI::App app{"A loopback world server for trying clients out.", "stubworld"};
  net::standardFlags(
      app, o.quiet, "log nothing but the \"listening on\" line; errors still go to standard error");
  app.add_option("--listen", endpoint, "IPv4 address and port to listen on (port 0: a free one)")
      ->type_name("ADDR:PORT")
      ->capture_default_str()
      ->check(CLI::Validator(
          [](std::string& text) {
            sockaddr_in addr{};
            return net::parseEndpoint(text, addr) ? std::string()
                                                  : "want IPv4 ADDR:PORT, got " + text;
          },
          ""));
  app.add_option("--max-connections", o.maxConnections, "connections held at once")
      ->capture_default_str()
      ->check(net::range<size_t>(1, 1000000));
  net::addDuration(app, "--login-timeout", o.loginTimeout,
                   "time a connection has to log in; 0: no limit", net::Unit::kSeconds, 0, 86400);
  app.add_flag("--timestamps", timestamps,
               "start each line with the UTC time to the millisecond (ISO 8601)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return net::usageExit(app, e);
  }
  net::parseEndpoint(endpoint, o.addr);
  // std::cout is flushed at exit, after main's objects are gone: it gets its own buffer back first.
  StampedLines stamped(std::cout.rdbuf());
  struct Restore {
    std::streambuf* own;
    ~Restore() { std::cout.flush(), std::cout.rdbuf(own); }
  } restore{std::cout.rdbuf()};
  if (timestamps) std::cout.rdbuf(&stamped);

  const size_t fds = net::raiseOpenFileLimit(o.maxConnections + kReservedFds);
  if (fds < o.maxConnections + kReservedFds) {
    if (fds <= kReservedFds) {
      std::fprintf(stderr, "stubworld: open-file limit %zu leaves no room for connections\n", fds);
      return 1;
    }
    // The default is only as large as the machine allows; a limit asked for is told about.
    if (app.count("--max-connections"))
      std::fprintf(stderr, "stubworld: open-file limit %zu: at most %zu connections\n", fds,
                   fds - kReservedFds);
    o.maxConnections = fds - kReservedFds;
  }

  if (pipe(g_signalPipe) != 0 || !net::setNonBlocking(g_signalPipe[0]) ||
      !net::setNonBlocking(g_signalPipe[1])) {
    std::perror("stubworld: pipe");
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&o.addr), sizeof o.addr) != 0 ||
      listen(fd, SOMAXCONN) != 0 || !net::setNonBlocking(fd)) {
    std::perror(("stubworld: " + net::endpointText(o.addr)).c_str());
    return 1;
  }
  socklen_t len = sizeof o.addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&o.addr), &len);
  std::cout << "listening on " << net::endpointText(o.addr) << std::endl;

  const bool ok = Server(fd, o).run();
  ::close(fd);
  return ok ? 0 : 1;
}
