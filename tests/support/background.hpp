// A program running beside the test (a server, or a client that must overlap
// another), its standard output and error read through one pipe, line by line.
//
// Every wait is bounded by the limit given. The destructor kills (SIGKILL) and
// reaps a child that is still running, so a failing test leaves nothing behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class Background {
 public:
  Background(const std::string& path, const std::vector<std::string>& args);
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Reads until a line containing `needle` arrives; returns that line, or
  // nothing at the end of output or when the limit passes.
  std::optional<std::string> waitFor(const std::string& needle, std::chrono::milliseconds limit);
  // Sends `signal` unless 0, then reads to the end of output and reaps the
  // child. Returns the exit status, minus the signal number when killed by
  // one; a child still running at the limit is killed with SIGKILL.
  int finish(int signal, std::chrono::milliseconds limit);
  // Everything read so far.
  const std::string& output() const { return out_; }

 private:
  bool readSome(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int fd_ = -1;
  std::string out_;
  size_t scanned_ = 0;  // start of the first line waitFor has not looked at
  int status_ = -1;
};

}  // namespace testsupport
