#include "support/scripted_peer.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testsupport {

namespace {

constexpr int kSliceMs = 20;  // how often a wait looks at the stop flags

}  // namespace

ScriptedPeer::ScriptedPeer(std::vector<PeerStep> script, std::chrono::milliseconds limit)
    : script_(std::move(script)), deadline_(std::chrono::steady_clock::now() + limit) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 1) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    error_ = std::string("listen: ") + std::strerror(errno);
    return;
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { run(); });
}

ScriptedPeer::~ScriptedPeer() {
  abort_ = true;
  no_client_ = true;
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

void ScriptedPeer::finish() {
  no_client_ = true;
  if (thread_.joinable()) thread_.join();
}

const Bytes& ScriptedPeer::received() {
  finish();
  return received_;
}

bool ScriptedPeer::connected() {
  finish();
  return connected_;
}

const std::string& ScriptedPeer::error() {
  finish();
  return error_;
}

bool ScriptedPeer::waitReadable(int fd) {
  while (!abort_ && std::chrono::steady_clock::now() < deadline_) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kSliceMs) > 0) return true;
    if (fd == listen_fd_ && no_client_) return false;
  }
  return false;
}

bool ScriptedPeer::readExactly(int fd, uint8_t* buf, size_t n) {
  for (size_t got = 0; got < n;) {
    if (!waitReadable(fd)) return false;
    const ssize_t r = recv(fd, buf + got, n - got, 0);
    if (r <= 0) return false;
    received_.insert(received_.end(), buf + got, buf + got + r);
    got += static_cast<size_t>(r);
  }
  return true;
}

void ScriptedPeer::run() {
  if (!waitReadable(listen_fd_)) return;
  const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  connected_ = true;
  bool open = true;
  for (size_t i = 0; i < script_.size() && open && error_.empty(); ++i) {
    const PeerStep& step = script_[i];
    const std::string where = "step " + std::to_string(i) + ": ";
    switch (step.kind) {
      case PeerStep::Kind::Expect:
        for (int f = 0; f < step.frames && error_.empty(); ++f) {
          uint8_t frame[256];
          if (!readExactly(fd, frame, 1) || frame[0] == 0 ||
              !readExactly(fd, frame + 1, frame[0] - 1u)) {
            error_ = where + "frame " + std::to_string(f) + " did not arrive";
          }
        }
        break;
      case PeerStep::Kind::Send:
        if (send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(step.bytes.size())) {
          error_ = where + "send failed";
        }
        break;
      case PeerStep::Kind::Wait:
        std::this_thread::sleep_for(step.pause);
        break;
      case PeerStep::Kind::ShutWrite:
        shutdown(fd, SHUT_WR);
        break;
      case PeerStep::Kind::Close:
        open = false;
        break;
      case PeerStep::Kind::Reset: {
        const linger abortive{1, 0};  // close() then sends RST instead of FIN
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        open = false;
        break;
      }
    }
  }
  // Whatever else the other side sends until it closes is recorded too.
  uint8_t buf[512];
  while (open && error_.empty() && readExactly(fd, buf, 1)) {
  }
  ::close(fd);
}

}  // namespace testsupport
