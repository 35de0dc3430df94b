#include "common/netio.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace veltra::tools {

bool parseEndpoint(std::string_view text, sockaddr_in& addr) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  const std::string host(text.substr(0, colon));
  const std::string_view port = text.substr(colon + 1);
  unsigned p = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), p);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || p > 65535 ||
      port.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(p));
  if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) return false;
  addr = a;
  return true;
}

std::string endpointText(const sockaddr_in& addr) {
  char host[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(addr.sin_port));
}

bool setNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool enableArrivalTimes(int fd) {
  const int one = 1;
  return setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one) == 0;
}

Poller::Poller() : fd_(epoll_create1(EPOLL_CLOEXEC)), events_(256) {}

Poller::~Poller() {
  if (fd_ >= 0) ::close(fd_);
}

bool Poller::add(int fd, uint32_t events, uint64_t key) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = key;
  return epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &ev) == 0;
}

bool Poller::modify(int fd, uint32_t events, uint64_t key) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = key;
  return epoll_ctl(fd_, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void Poller::remove(int fd) { epoll_ctl(fd_, EPOLL_CTL_DEL, fd, nullptr); }

int Poller::wait(int timeoutMs) {
  const int n = epoll_wait(fd_, events_.data(), static_cast<int>(events_.size()), timeoutMs);
  ready_ = n > 0 ? static_cast<size_t>(n) : 0;
  if (n < 0) return errno == EINTR ? 0 : -1;
  // A full batch means more may be waiting: look at more next time.
  if (ready_ == events_.size()) events_.resize(events_.size() * 2);
  return n;
}

Connection::~Connection() {
  if (fd_ >= 0) ::close(fd_);
}

Connection::Io Connection::read() {
  int64_t unused;
  return read(unused);
}

Connection::Io Connection::read(int64_t& arrivedNs) {
  arrivedNs = 0;
  uint8_t buf[proto::Framer::kCapacity];
  const size_t room = framer_.space();
  if (room == 0) return Io::kAgain;  // the caller has frames to take first
  iovec iov{buf, room};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(fd_, &msg, 0);
  if (n > 0) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec t;
        std::memcpy(&t, CMSG_DATA(c), sizeof t);
        arrivedNs = int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
      }
    }
    framer_.feed({buf, static_cast<size_t>(n)});
    return Io::kOk;
  }
  if (n == 0) return Io::kClosed;
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Io::kAgain : Io::kError;
}

void Connection::queue(std::span<const uint8_t> bytes) {
  std::memcpy(queueSpace(bytes.size()), bytes.data(), bytes.size());
}

uint8_t* Connection::queueSpace(size_t n) {
  // Drop what has gone before growing, so the queue holds only pending bytes.
  if (sent_ > 0 && (sent_ == out_.size() || out_.size() + n > out_.capacity())) {
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(sent_));
    sent_ = 0;
  }
  const size_t at = out_.size();
  out_.resize(at + n);
  return out_.data() + at;
}

void Connection::queue(std::vector<uint8_t>& bytes) {
  if (pending() == 0) {
    out_.swap(bytes);
    sent_ = 0;
  } else {
    queue(std::span<const uint8_t>(bytes));
  }
  bytes.clear();
}

Connection::Io Connection::flush() {
  if (pending() == 0) return Io::kOk;
  const ssize_t n = send(fd_, out_.data() + sent_, pending(), MSG_NOSIGNAL);
  return settle(n, n < 0 ? errno : 0);
}

Connection::Io Connection::settle(long n, int error) {
  if (n > 0) {
    sent_ += static_cast<size_t>(n);
    if (sent_ == out_.size()) out_.clear(), sent_ = 0;
    return Io::kOk;
  }
  if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) return Io::kAgain;
  errno = error;
  return Io::kError;
}

}  // namespace veltra::tools
