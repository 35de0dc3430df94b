// Non-blocking TCP plumbing shared by the tools that hold many connections in
// one event loop (stubworld, scoutswarm): an epoll set, one connection's input
// through the library's Framer and its output through one queue, and IPv4
// endpoints written as "A.B.C.D:PORT".
//
// Output leaves in as few send() calls as the socket allows: everything queued
// goes out in one call per flush, so batching grows with load instead of
// syscalls. The queue is bounded only by what the caller checks with
// pending(); nothing here drops a connection. Nothing here throws except
// std::bad_alloc.
#pragma once

#include <netinet/in.h>
#include <sys/epoll.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "veltra/proto/framer.hpp"

namespace veltra::tools {

// "A.B.C.D:PORT" (port 0..65535, digits only) into an IPv4 address.
bool parseEndpoint(std::string_view text, sockaddr_in& addr);
std::string endpointText(const sockaddr_in& addr);
bool setNonBlocking(int fd);
// Asks the kernel to stamp each read with the data's arrival (SO_TIMESTAMPNS).
bool enableArrivalTimes(int fd);

// An epoll set whose events carry a 64-bit key chosen by the caller.
class Poller {
 public:
  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  bool ok() const { return fd_ >= 0; }
  bool add(int fd, uint32_t events, uint64_t key);
  bool modify(int fd, uint32_t events, uint64_t key);
  void remove(int fd);
  // Waits up to timeoutMs (-1: no limit); the events are in events() after.
  // Returns the count, 0 on time-out or EINTR, -1 on another error.
  int wait(int timeoutMs);
  std::span<const epoll_event> events() const { return {events_.data(), ready_}; }

 private:
  int fd_;
  std::vector<epoll_event> events_;
  size_t ready_ = 0;
};

// One connected, non-blocking socket; closes it on destruction.
class Connection {
 public:
  enum class Io {
    kOk,      // progress made (bytes read, or the queue emptied or shrank)
    kAgain,   // the socket had nothing to give or took nothing
    kClosed,  // orderly end of stream from the peer
    kError,   // a socket error; errno tells which
  };

  explicit Connection(int fd) : fd_(fd) {}
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd() const { return fd_; }

  // Reads once, at most what the framer has room for, into the framer. Take
  // frames with framer().next() afterwards.
  Io read();
  // The same, and `arrivedNs` is when the newest byte read reached this host
  // (CLOCK_REALTIME), or 0 when the kernel gave no time: a reader that wakes
  // late still measures when the data came. Needs enableArrivalTimes().
  Io read(int64_t& arrivedNs);
  proto::Framer& framer() { return framer_; }

  // Appends bytes to the output queue; they leave with the next flush.
  void queue(std::span<const uint8_t> bytes);
  // Appends a whole buffer and leaves `bytes` empty; when nothing is pending
  // the buffers are swapped instead of copied.
  void queue(std::vector<uint8_t>& bytes);
  // Sends what is queued with one send(); kOk when the queue shrank.
  Io flush();
  // The bytes flush() sends, for a caller that sends them itself; then settle() with what
  // its send returned (a count, or -1 and the error, which is left in errno for kError).
  std::span<const uint8_t> unsent() const { return {out_.data() + sent_, pending()}; }
  Io settle(long n, int error);
  // Bytes queued and not yet accepted by the socket.
  size_t pending() const { return out_.size() - sent_; }

 private:
  // Grows the queue by n bytes (dropping what has gone first) and returns where they go.
  uint8_t* queueSpace(size_t n);

  int fd_;
  proto::Framer framer_;
  std::vector<uint8_t> out_;  // unsent output starts at sent_
  size_t sent_ = 0;
};

}  // namespace veltra::tools
