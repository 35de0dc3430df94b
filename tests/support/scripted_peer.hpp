// A scripted loopback peer: listens on 127.0.0.1 at an ephemeral port,
// accepts one connection and plays a fixed script against it on its own
// thread, recording every byte the other side sends.
//
// Steps run in order. Expect reads whole frames (length byte first, the
// length counting the whole frame); Send writes bytes as given; Wait sleeps;
// ShutWrite half-closes (the other side reads end of stream, its sends still
// arrive); Close ends the connection; Reset ends it with a TCP reset. After
// the last step, unless the connection was closed, the peer keeps reading
// until the other side closes. Every wait is bounded by the time limit; a step
// that cannot complete is noted in error() and ends the script.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

struct PeerStep {
  enum class Kind { Expect, Send, Wait, ShutWrite, Close, Reset };
  Kind kind;
  int frames = 0;                      // Expect
  Bytes bytes;                         // Send
  std::chrono::milliseconds pause{0};  // Wait

  static PeerStep expect(int frames) { return {Kind::Expect, frames, {}, {}}; }
  static PeerStep send(Bytes bytes) { return {Kind::Send, 0, std::move(bytes), {}}; }
  static PeerStep wait(std::chrono::milliseconds ms) { return {Kind::Wait, 0, {}, ms}; }
  static PeerStep shutWrite() { return {Kind::ShutWrite, 0, {}, {}}; }
  static PeerStep close() { return {Kind::Close, 0, {}, {}}; }
  static PeerStep reset() { return {Kind::Reset, 0, {}, {}}; }
};

class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::vector<PeerStep> script,
                        std::chrono::milliseconds limit = std::chrono::seconds(10));
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  uint16_t port() const { return port_; }

  // The three below are for use once the other side has exited: they stop
  // waiting for a connection that has not come, wait for the script to end,
  // and then report. received() holds every byte received, in order; error()
  // is empty when every step completed.
  const Bytes& received();
  bool connected();
  const std::string& error();

 private:
  void run();
  bool waitReadable(int fd);
  bool readExactly(int fd, uint8_t* buf, size_t n);
  void finish();

  std::vector<PeerStep> script_;
  std::chrono::steady_clock::time_point deadline_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> no_client_{false};  // give up waiting for the connection
  std::atomic<bool> abort_{false};      // give up everything (destructor)
  bool connected_ = false;
  Bytes received_;
  std::string error_;
  std::thread thread_;
};

}  // namespace testsupport
