// When a client that does not read is dropped, apart from the socket code so
// that the rule can be tried on its own.
//
// The socket may refuse kMaxUnsent bytes, and beyond that as much as the
// largest output one flush has met since the backlog was last within
// kMaxUnsent: one request may fill a large catch-up (a TELEPORT into a crowded
// room, hundreds of KiB) that a healthy reader takes over several turns, while
// a client that does not read outgrows the allowance within a few flushes. So a
// connection holds at most kMaxUnsent and about two flushes' output.
#pragma once

#include <algorithm>
#include <cstddef>

namespace stubworld {

class Backlog {
 public:
  static constexpr size_t kMaxUnsent = 64 * 1024;

  // Bytes queued for the connection, to leave with its next flush.
  void queued(size_t n) { fresh_ += n; }
  // After a flush that left `unsent` bytes: whether the client is to be dropped.
  bool overrun(size_t unsent) {
    excused_ = std::max(excused_, fresh_);
    fresh_ = 0;
    if (unsent <= kMaxUnsent) excused_ = 0;
    return unsent > kMaxUnsent + excused_;
  }

 private:
  size_t fresh_ = 0;    // queued since the last flush
  size_t excused_ = 0;  // the largest output a flush has met since the backlog was within bounds
};

}  // namespace stubworld
