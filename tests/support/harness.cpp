#include "support/harness.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

using Clock = std::chrono::steady_clock;

static sockaddr_in loopback(uint16_t p) {
  return {AF_INET, htons(p), {htonl(INADDR_LOOPBACK)}, {}};
}

// Appends n bytes to `into`; false when fewer arrived.
static bool take(int fd, Bytes& into, size_t n) {
  into.resize(into.size() + n);
  const ssize_t got = n ? recv(fd, into.data() + into.size() - n, n, MSG_WAITALL) : 0;
  into.resize(into.size() - n + static_cast<size_t>(std::max<ssize_t>(got, 0)));
  return got == static_cast<ssize_t>(n);
}

Process::Process(const std::string& path, const std::vector<std::string>& args,
                 std::optional<milliseconds> runFor) {
  // Ready before fork: the child of a threaded parent may only make async-signal-safe calls.
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
  if ((pid = fork()) == 0) {
    dup2(open("/dev/null", O_RDONLY), 0), dup2(out[1], 1), dup2(err[1], 2);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]), close(err[1]), fds_[0] = out[0], fds_[1] = err[0];
  if (runFor) finish(0, *runFor);
}

bool Process::readSome(Clock::time_point deadline) {
  pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};  // a closed one (-1) is skipped
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  if ((fds_[0] < 0 && fds_[1] < 0) || left <= 0 || poll(p, 2, int(left)) <= 0) return false;
  for (int i = 0; i < 2; ++i) {
    char buf[4096];
    const ssize_t n = p[i].revents ? read(fds_[i], buf, sizeof buf) : -2;
    if (n > 0) (i ? err : out).append(buf, static_cast<size_t>(n));
    if (n == 0 || n == -1) close(fds_[i]), fds_[i] = -1;
  }
  return true;
}

bool Process::waitFor(const std::string& needle, milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (size_t at; (at = out.find(needle)) == out.npos || out.find('\n', at) == out.npos;)
    if (!readSome(deadline)) return false;
  return true;
}

int Process::finish(int signal, milliseconds limit) {
  if (pid <= 0) return status;
  if (signal) kill(pid, signal);
  const auto deadline = Clock::now() + limit;
  while (readSome(deadline)) {
  }
  int st = 0;  // the output may end a moment before the child exits
  while (waitpid(pid, &st, WNOHANG) == 0) {
    if (Clock::now() >= deadline) kill(pid, SIGKILL);
    usleep(5000);
  }
  for (int fd : fds_) close(fd);  // -1 for one closed at its end: harmless
  pid = -1;
  return status = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
}

ScriptedPeer::ScriptedPeer(std::vector<Step> script, milliseconds limit) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  const timeval tv{limit.count() / 1000, limit.count() % 1000 * 1000};
  for (int opt : {SO_RCVTIMEO, SO_SNDTIMEO})  // for accept, and inherited by its socket
    setsockopt(listen_fd_, SOL_SOCKET, opt, &tv, sizeof tv);
  bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(listen_fd_, 1);  // on failure, the thread finds no connection
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  thread_ = std::thread([this, script = std::move(script)] {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (!(connected = fd >= 0)) return;
    for (const Step& s : script) {
      if (const int* frames = std::get_if<int>(&s)) {
        for (int f = 0; f < *frames; ++f)
          take(fd, received, 1) && received.back() && take(fd, received, received.back() - 1u);
      } else if (const Bytes* bytes = std::get_if<Bytes>(&s)) {
        send(fd, bytes->data(), bytes->size(), MSG_NOSIGNAL);
      } else if (const milliseconds* pause = std::get_if<milliseconds>(&s)) {
        std::this_thread::sleep_for(*pause);
      } else if (std::get<Action>(s) == kShutWrite) {
        shutdown(fd, SHUT_WR);
      } else {
        const linger abortive{1, 0};  // close() then sends RST instead of FIN
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        return (void)close(fd);
      }
    }
    while (take(fd, received, 1)) {
    }
    close(fd);
  });
}

ScriptedPeer::~ScriptedPeer() { finish(), close(listen_fd_); }

void ScriptedPeer::finish() {
  shutdown(listen_fd_, SHUT_RDWR);  // ends a wait in accept at once
  if (thread_.joinable()) thread_.join();
}

int dial(uint16_t port, int receiveBuffer) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval limit{10, 0};
  for (int opt : {SO_RCVTIMEO, SO_SNDTIMEO}) setsockopt(fd, SOL_SOCKET, opt, &limit, sizeof limit);
  if (receiveBuffer > 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  const sockaddr_in addr = loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
  return close(fd), -1;
}

bool LoopbackRecording::possible() {
  return geteuid() == 0 &&
         Process("/bin/sh", {"-c", "command -v tcpdump"}, std::chrono::seconds(5)).status == 0;
}

LoopbackRecording::LoopbackRecording(const std::string& name)
    : server(STUBWORLD_BIN, {"--listen", "127.0.0.1:0", "--quiet"}) {
  if (!server.waitFor("listening on", std::chrono::seconds(5))) {
    why = "stubworld did not start: " + server.out;
    return;
  }
  port = std::to_string(std::stoi(server.out.substr(server.out.rfind(':') + 1)));
  path = testing::TempDir() + name + "_live_" + std::to_string(getpid()) + ".pcap";
  // A 16 MiB capture buffer: with the default, a loaded machine dropped whole runs of segments
  // (4 of 6 runs beside two busy loops lost some connections; none of 8 with this).
  capture.emplace("/bin/sh", std::vector<std::string>{
                                 "-c", "exec tcpdump -i lo -B 16384 -U --immediate-mode -w " +
                                           path + " tcp port " + port + " 2>&1"});
  if (!capture->waitFor("listening on", std::chrono::seconds(10)))
    why = "tcpdump did not start: " + capture->out;
}

}  // namespace testsupport
