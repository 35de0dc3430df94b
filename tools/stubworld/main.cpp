// stubworld: a small loopback world server for trying clients out.
//
// One thread, one poll loop, non-blocking sockets. Each connection's bytes go
// through a Framer; every frame is decoded with parsePacket, logged as one
// describe line per command and handed to the World; the World's replies and
// notifications are queued per connection and sent as the socket accepts them.
// A connection that sends a bad length byte or a frame that does not decode
// is closed; one whose output queue overflows (a stalled reader) is dropped.
// Nobody else waits for either.
//
// Usage: stubworld [--listen ADDR:PORT] [--quiet]. The first line on standard
// output is "listening on ADDR:PORT" with the port actually bound. SIGINT and
// SIGTERM stop the server after closing every connection.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "common/netio.hpp"
#include "stubworld/world.hpp"
#include "veltra/proto/framer.hpp"
#include "veltra/proto/reader.hpp"

namespace {

using namespace stubworld;
namespace proto = veltra::proto;
using proto::Framer;

constexpr size_t kMaxQueued = 64 * 1024;  // bytes of unsent output per connection
constexpr size_t kMaxConnections = 512;

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
  const int saved = errno;
  const char b = 1;
  [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &b, 1);
  errno = saved;
}

void usage(std::FILE* to) {
  std::fputs(
      "usage: stubworld [--listen ADDR:PORT] [--quiet]\n"
      "  --listen ADDR:PORT  IPv4 address and port to listen on (default 127.0.0.1:6650;\n"
      "                      port 0 picks a free one)\n"
      "  --quiet             log nothing after the \"listening on\" line\n"
      "  --help              this text\n",
      to);
}

class Server {
 public:
  Server(int listenFd, bool quiet) : listen_fd_(listenFd), quiet_(quiet), world_(log()) {}
  void run();

 private:
  struct Conn {
    int fd = -1;
    Framer framer;
    proto::Bytes out;  // unsent output starts at `sent`
    size_t sent = 0;
    bool closing = false;  // no more reading; closed once `out` has gone
  };

  std::ostream* log() { return quiet_ ? nullptr : &std::cout; }
  void say(const std::string& line) {
    if (!quiet_) std::cout << line << std::endl;
  }
  void acceptAll();
  void readFrom(ConnId id);
  bool flush(Conn& c);
  void deliver();
  void close(ConnId id, const std::string& why);

  int listen_fd_;
  bool quiet_;
  World world_;
  std::map<ConnId, Conn> conns_;
  ConnId next_id_ = 1;
};

void Server::run() {
  std::vector<pollfd> fds;
  std::vector<ConnId> ids;
  for (;;) {
    fds.assign({{g_signalPipe[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}});
    ids.clear();
    for (const auto& [id, c] : conns_) {
      short events = c.closing ? 0 : POLLIN;
      if (c.sent < c.out.size()) events |= POLLOUT;
      fds.push_back({c.fd, events, 0});
      ids.push_back(id);
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      std::perror("poll");
      break;
    }
    if (fds[0].revents) break;
    if (fds[1].revents & POLLIN) acceptAll();
    for (size_t i = 0; i < ids.size(); ++i) {
      const short ev = fds[i + 2].revents;
      auto it = conns_.find(ids[i]);
      if (!ev || it == conns_.end()) continue;
      if ((ev & POLLOUT) && !flush(it->second)) {
        close(ids[i], "send failed");
        continue;
      }
      if (ev & (POLLIN | POLLHUP | POLLERR)) {
        if (it->second.closing)
          close(ids[i], "hung up");
        else
          readFrom(ids[i]);
      }
    }
    deliver();
    for (size_t i = 0; i < ids.size(); ++i) {
      auto it = conns_.find(ids[i]);
      if (it != conns_.end() && it->second.closing && it->second.sent == it->second.out.size())
        close(ids[i], "session ended");
    }
  }
  std::vector<ConnId> all;
  for (const auto& [id, c] : conns_) all.push_back(id);
  for (ConnId id : all) close(id, "server stopping");
  say("stopped");
}

void Server::acceptAll() {
  for (;;) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = accept(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &len);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
        say(std::string("accept: ") + std::strerror(errno));
      return;
    }
    if (conns_.size() >= kMaxConnections || !veltra::tools::setNonBlocking(fd)) {
      say("refused " + veltra::tools::endpointText(peer) + ": too many connections");
      ::close(fd);
      continue;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const ConnId id = next_id_++;
    conns_[id].fd = fd;
    world_.connect(id);
    say(world_.tag(id) + " connected from " + veltra::tools::endpointText(peer));
  }
}

void Server::readFrom(ConnId id) {
  Conn& c = conns_.at(id);
  uint8_t buf[Framer::kCapacity];
  const ssize_t n = recv(c.fd, buf, c.framer.space(), 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) {
    close(id, n == 0 ? "disconnected" : std::string("recv: ") + std::strerror(errno));
    return;
  }
  c.framer.feed({buf, static_cast<size_t>(n)});
  proto::Bytes frame;
  for (;;) {
    const Framer::Result r = c.framer.next(frame);
    if (r == Framer::Result::kNeedMore) return;
    if (r == Framer::Result::kBadLength) {
      close(id, "invalid length " + std::to_string(c.framer.badLength()));
      return;
    }
    std::vector<proto::Incoming> cmds;
    try {
      cmds = proto::parsePacket(frame);
    } catch (const proto::ReadError& e) {
      close(id, std::string("bad frame: ") + e.what());
      return;
    }
    for (const proto::Incoming& in : cmds) {
      say(world_.tag(id) + " " + proto::describe(in));
      if (!world_.handle(id, in)) {
        c.closing = true;  // whatever else it sent is not looked at
        return;
      }
    }
  }
}

bool Server::flush(Conn& c) {
  while (c.sent < c.out.size()) {
    const ssize_t n = send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
    if (n > 0) {
      c.sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      break;
    } else {
      return false;
    }
  }
  if (c.sent == c.out.size()) {
    c.out.clear();
    c.sent = 0;
  }
  return true;
}

void Server::deliver() {
  // Dropping a client makes its actor disappear for others: more output.
  for (auto out = world_.takeOutput(); !out.empty(); out = world_.takeOutput()) {
    for (auto& [id, frames] : out) {
      auto it = conns_.find(id);
      if (it == conns_.end()) continue;
      Conn& c = it->second;
      size_t total = c.out.size() - c.sent;
      for (const auto& f : frames) total += f.size();
      if (total > kMaxQueued) {
        close(id, "dropped: output queue full");
        continue;
      }
      if (c.sent > 0) {
        c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(c.sent));
        c.sent = 0;
      }
      for (const auto& f : frames) c.out.insert(c.out.end(), f.begin(), f.end());
      if (!flush(c)) close(id, "send failed");
    }
  }
}

void Server::close(ConnId id, const std::string& why) {
  auto it = conns_.find(id);
  if (it == conns_.end()) return;
  say(world_.tag(id) + " closed: " + why);
  world_.disconnect(id);
  ::close(it->second.fd);
  conns_.erase(it);
}

}  // namespace

int main(int argc, char** argv) {
  sockaddr_in addr{};
  veltra::tools::parseEndpoint("127.0.0.1:6650", addr);
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    } else if (arg == "--quiet") {
      quiet = true;
    } else if (arg == "--listen" && i + 1 < argc) {
      if (!veltra::tools::parseEndpoint(argv[++i], addr)) {
        std::fprintf(stderr, "stubworld: invalid listen address (want IPv4:PORT): %s\n", argv[i]);
        return 2;
      }
    } else {
      std::fprintf(stderr, "stubworld: bad argument: %s\n", arg.c_str());
      usage(stderr);
      return 2;
    }
  }

  if (pipe(g_signalPipe) != 0 || !veltra::tools::setNonBlocking(g_signalPipe[0]) ||
      !veltra::tools::setNonBlocking(g_signalPipe[1])) {
    std::perror("pipe");
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd, SOMAXCONN) != 0 || !veltra::tools::setNonBlocking(fd)) {
    std::perror(("stubworld: " + veltra::tools::endpointText(addr)).c_str());
    return 1;
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  std::cout << "listening on " << veltra::tools::endpointText(addr) << std::endl;

  Server(fd, quiet).run();
  ::close(fd);
  return 0;
}
