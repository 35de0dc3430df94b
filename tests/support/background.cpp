#include "support/background.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace testsupport {

Background::Background(const std::string& path, const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    const int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(pipeFds[1], 1);
    dup2(pipeFds[1], 2);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  fd_ = pipeFds[0];
}

Background::~Background() {
  if (pid_ > 0 && status_ == -1) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (fd_ >= 0) close(fd_);
}

bool Background::readSome(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (fd_ < 0 || left.count() <= 0) return false;
  pollfd p{fd_, POLLIN, 0};
  const int ready = poll(&p, 1, static_cast<int>(left.count()));
  if (ready <= 0) return ready < 0 && errno == EINTR;
  char buf[4096];
  const ssize_t n = read(fd_, buf, sizeof buf);
  if (n <= 0) {
    close(fd_);
    fd_ = -1;
    return false;
  }
  out_.append(buf, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> Background::waitFor(const std::string& needle,
                                               std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    for (size_t eol; (eol = out_.find('\n', scanned_)) != std::string::npos; scanned_ = eol + 1) {
      std::string line = out_.substr(scanned_, eol - scanned_);
      if (line.find(needle) != std::string::npos) {
        scanned_ = eol + 1;
        return line;
      }
    }
    if (!readSome(deadline)) return std::nullopt;
  }
}

int Background::finish(int signal, std::chrono::milliseconds limit) {
  if (pid_ <= 0) return status_;
  if (signal != 0) kill(pid_, signal);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (readSome(deadline)) {
  }
  // The output may end a moment before the child exits.
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) != pid_) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    usleep(5000);
  }
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return status_;
}

}  // namespace testsupport
