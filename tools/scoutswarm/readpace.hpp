// When the load's loop reads: on every readiness, or on a fixed short period.
//
// A socket that receives data while its reader sleeps in epoll_wait makes the
// sender's send() wake that reader, and on loopback the sender pays for it: a
// server relaying to thousands of sessions spent about a third more CPU per
// element when each one woke scoutswarm. So while the loop is woken often (many
// sockets, each with a little now and then), it stops waiting on them and
// collects them once per kPeriod instead: the server's sends then wake nobody,
// and one poll takes many sockets. Reading later does not change a relay's
// latency, which ends at the kernel's arrival time; only a connect, timed on
// waking, is then known to within kPeriod. When little is ready per period,
// the loop waits again, so a small run keeps its exact timings; a loop busy
// with a few full sockets is woken seldom, and waits on.
#pragma once

#include <cstdint>

namespace scoutswarm {

class ReadPace {
 public:
  enum class Mode : uint8_t {
    kWaiting,  // epoll_wait until a socket is ready or the next event is due
    kPolling,  // sleep to the next event or period, then poll without waiting
  };
  static constexpr int64_t kPeriod = 1'000'000;   // ns between polls
  static constexpr int64_t kWindow = 10'000'000;  // ns over which the rates are taken
  // Waiting, wake-ups per second from which the loop polls; polling, ready descriptors per
  // second below which it waits again. Apart, so that a load near one bound does not flip
  // the mode at every window.
  static constexpr int64_t kBusy = 4000, kQuiet = 1000;

  Mode mode() const { return mode_; }
  // When the next poll is due in kPolling.
  int64_t nextPoll() const { return lastPoll_ + kPeriod; }
  // A wait or a poll that ended at `now` (ns) found `ready` descriptors.
  void observed(int64_t now, int ready) {
    lastPoll_ = now;
    count_ += mode_ == Mode::kWaiting ? ready > 0 : ready;
    const int64_t span = now - windowStart_;
    if (span < kWindow) return;
    const int64_t rate = count_ * 1'000'000'000 / span;
    if (mode_ == Mode::kWaiting && rate >= kBusy)
      mode_ = Mode::kPolling;
    else if (mode_ == Mode::kPolling && rate < kQuiet)
      mode_ = Mode::kWaiting;
    windowStart_ = now, count_ = 0;
  }

 private:
  Mode mode_ = Mode::kWaiting;
  int64_t lastPoll_ = 0;
  int64_t windowStart_ = 0;
  int64_t count_ = 0;  // since windowStart_: wake-ups (waiting) or ready descriptors (polling)
};

}  // namespace scoutswarm
