// When output waits for more, apart from the socket code so that the rule can
// be read on its own.
//
// While the loop is busy (more than half of a window's time outside epoll_wait;
// a quarter to stop), a connection sent something less than kPace ago waits for
// more, so that each send carries several notifications where sends are what
// costs. Only a connection whose sends come close together (their average gap
// under twice kPace) is held: one that is sent to now and then would gain no
// batching and only wait. Otherwise, and always for a connection quiet for
// kPace, output leaves at the end of the turn.
#pragma once

#include <algorithm>
#include <chrono>

namespace stubworld {

using Clock = std::chrono::steady_clock;

// Whether the loop is busy, from the time it spends waiting for events.
class Load {
 public:
  static constexpr std::chrono::milliseconds kWindow{20};
  static constexpr double kBusy = 0.5, kIdle = 0.25;

  // One wait for events, from `before` to `after`.
  void waited(Clock::time_point before, Clock::time_point after) {
    idle_ += after - before;
    if (after - window_ < kWindow) return;
    const double busy = 1.0 - std::chrono::duration<double>(idle_) / (after - window_);
    busy_ = busy > (busy_ ? kIdle : kBusy);
    window_ = after, idle_ = {};
  }
  bool busy() const { return busy_; }

 private:
  Clock::time_point window_{};  // the current window started at
  Clock::duration idle_{};      // time spent waiting since
  bool busy_ = false;
};

// One connection's sends.
class Pace {
 public:
  static constexpr std::chrono::microseconds kPace{2000};

  // Whether output due at `now` waits for more while the loop is busy.
  bool holds(Clock::time_point now) const {
    return now - lastSend_ < kPace && sendGap_ < 2 * kPace;
  }
  // When held output leaves at the latest.
  Clock::time_point due() const { return lastSend_ + kPace; }
  void sent(Clock::time_point now) {
    sendGap_ += (std::min<Clock::duration>(now - lastSend_, kPace * 8) - sendGap_) / 8;
    lastSend_ = now;
  }

 private:
  Clock::time_point lastSend_{};
  Clock::duration sendGap_ = kPace * 8;  // running average of the time between sends
};

}  // namespace stubworld
