// Flushes many connections with one system call.
//
// A server relaying to thousands of sessions sends one small frame to each,
// and here a system call's entry and exit alone cost about a quarter of a
// loopback send(). A SendBatch flushes a list of connections through io_uring:
// one SEND per connection, all submitted and reaped with one io_uring_enter.
// Each SEND is non-blocking (MSG_DONTWAIT) and so completes at once, with what
// send() would have returned; each connection then stands as after flush().
// Where io_uring cannot be set up, or fails once, every connection flushes
// with its own send(), as before: the results are the same either way.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/netio.hpp"

namespace veltra::tools {

class SendBatch {
 public:
  // What one connection's flush gave: as Connection::flush(), and errno for kError.
  struct Result {
    Connection::Io io = Connection::Io::kOk;
    int error = 0;
  };

  // `ring` false: plain send() only (for comparison, and where io_uring is unwanted).
  explicit SendBatch(bool ring = true);
  ~SendBatch();
  SendBatch(const SendBatch&) = delete;
  SendBatch& operator=(const SendBatch&) = delete;

  // Whether flushes go through io_uring.
  bool usingRing() const { return fd_ >= 0; }
  // Flushes each connection once; results[i] is conns[i]'s. Connections without pending
  // output give kOk untouched.
  void flush(std::span<Connection* const> conns, std::vector<Result>& results);

 private:
  bool setUp();
  void tearDown();
  // Flushes a chunk of at most kEntries connections through the ring.
  void submit(std::span<Connection* const> conns, std::span<Result> results);
  static void plain(Connection& c, Result& r);

  int fd_ = -1;
  // The rings as the kernel shares them.
  void* sqMap_ = nullptr;
  void* cqMap_ = nullptr;
  void* sqes_ = nullptr;
  size_t sqMapSize_ = 0, cqMapSize_ = 0, sqesSize_ = 0;
  unsigned* sqHead_ = nullptr;
  unsigned* sqTail_ = nullptr;
  unsigned* sqMask_ = nullptr;
  unsigned* sqArray_ = nullptr;
  unsigned* cqHead_ = nullptr;
  unsigned* cqTail_ = nullptr;
  unsigned* cqMask_ = nullptr;
  void* cqes_ = nullptr;
  std::vector<size_t> order_;  // the chunk's connections with output, in submission order
};

}  // namespace veltra::tools
