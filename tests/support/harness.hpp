// The end-to-end tests' harness: child processes, and a scripted peer on 127.0.0.1 at an
// ephemeral port. Every wait is bounded by the limit given; a child still running then, or
// when its Process is destroyed, is killed with SIGKILL, so a failing test leaves nothing behind.
#pragma once

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace testsupport {

using std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;

// A program run with the arguments as given (no shell), stdin empty, stdout and stderr piped.
class Process {
 public:
  Process(const std::string& path, const std::vector<std::string>& args,
          std::optional<milliseconds> runFor = {});  // given: run to its end at once
  ~Process() { finish(SIGKILL, milliseconds(0)); }

  // Reads until stdout has a whole line containing `needle`; false at its end or the limit.
  bool waitFor(const std::string& needle, milliseconds limit);
  // Sends `signal` unless 0, reads to the end of output and reaps the child.
  int finish(int signal = 0, milliseconds limit = std::chrono::seconds(20));

  std::string out, err;  // everything read so far
  int status = -1;       // exit status, or minus the number of the signal that ended it
  int pid = -1;          // -1 once reaped

 private:
  bool readSome(std::chrono::steady_clock::time_point deadline);

  int fds_[2] = {-1, -1};  // stdout, stderr
};

// stubworld on a free loopback port, recorded by tcpdump on lo into a file of this process's
// own; `why` is empty once both listen. Needs root and tcpdump (possible()).
struct LoopbackRecording {
  static bool possible();
  explicit LoopbackRecording(const std::string& name);

  Process server;
  std::string port, path, why;
  std::optional<Process> capture;
};

// A peer's script, step by step: a count of whole frames to read (length byte
// first, counting the whole frame), bytes to send, a pause, or an action.
enum Action { kShutWrite, kReset };  // half-close (the other side's sends still arrive); reset
using Step = std::variant<int, Bytes, milliseconds, Action>;

// Accepts one connection and plays the script on its own thread, recording every
// byte the other side sends until it closes. Each read and send gives up at the limit.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::vector<Step> script, milliseconds limit = std::chrono::seconds(10));
  ~ScriptedPeer();

  // Once the other side has exited: stops waiting for a connection, then for the script.
  void finish();

  uint16_t port = 0;  // where it listens
  bool connected = false;
  Bytes received;

 private:
  int listen_fd_ = -1;
  std::thread thread_;
};

// A blocking connection to 127.0.0.1:port whose reads and sends give up after 10 s, or -1.
// A receive buffer size given is set before connecting, so that the window stays that small.
int dial(uint16_t port, int receiveBuffer = 0);

}  // namespace testsupport
