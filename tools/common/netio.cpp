#include "common/netio.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
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

size_t raiseOpenFileLimit(size_t want) {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
  if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < want) {
    rlimit raised = lim;
    raised.rlim_cur = lim.rlim_max == RLIM_INFINITY ? want : std::min<rlim_t>(want, lim.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
  }
  return lim.rlim_cur == RLIM_INFINITY ? SIZE_MAX : static_cast<size_t>(lim.rlim_cur);
}

namespace {

// The length of the well-formed UTF-8 sequence at text[i], or 0 when the byte there starts none.
size_t sequenceLength(std::string_view text, size_t i) {
  const auto at = [&](size_t k) -> uint8_t { return i + k < text.size() ? text[i + k] : 0; };
  const uint8_t b = at(0);
  if (b < 0x80) return 1;
  size_t n = 0;
  uint8_t lo = 0x80, hi = 0xbf;  // the second byte's range; the later ones are 80..bf
  if (b >= 0xc2 && b <= 0xdf) {
    n = 2;
  } else if (b >= 0xe0 && b <= 0xef) {
    n = 3, lo = b == 0xe0 ? 0xa0 : 0x80, hi = b == 0xed ? 0x9f : 0xbf;
  } else if (b >= 0xf0 && b <= 0xf4) {
    n = 4, lo = b == 0xf0 ? 0x90 : 0x80, hi = b == 0xf4 ? 0x8f : 0xbf;
  } else {
    return 0;
  }
  for (size_t k = 1; k < n; ++k, lo = 0x80, hi = 0xbf)
    if (at(k) < lo || at(k) > hi) return 0;
  return n;
}

}  // namespace

std::string escapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  static const char kHex[] = "0123456789abcdef";
  const auto hex = [&](uint8_t b) { out += {'\\', 'x', kHex[b >> 4], kHex[b & 15]}; };
  for (size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<uint8_t>(text[i]);
    if (b < 0x20 || b == 0x7f) {
      hex(b);
    } else if (b == '\\') {
      out += "\\\\";
    } else if (b == 0xc2 && i + 1 < text.size() && static_cast<uint8_t>(text[i + 1]) >= 0x80 &&
               static_cast<uint8_t>(text[i + 1]) <= 0x9f) {
      hex(static_cast<uint8_t>(text[++i]));  // U+0080..U+009F, the C1 controls
    } else if (b < 0x80) {
      out += text[i];
    } else if (const size_t n = sequenceLength(text, i)) {
      out.append(text, i, n);
      i += n - 1;
    } else {
      hex(b);
    }
  }
  return out;
}

std::string validUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t n = sequenceLength(text, i);
    out.append(n ? text.substr(i, n) : "\xef\xbf\xbd");
    i += n ? n : 1;
  }
  return out;
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
  if (n > 0) {
    sent_ += static_cast<size_t>(n);
    if (sent_ == out_.size()) out_.clear(), sent_ = 0;
    return Io::kOk;
  }
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? Io::kAgain
                                                                              : Io::kError;
}

}  // namespace veltra::tools
