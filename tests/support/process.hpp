// Runs a program as a child process and captures what it prints.
//
// The child gets the arguments as given (no shell), an empty stdin and two
// pipes for stdout and stderr, read whole. A child still running when the time
// limit passes is killed with SIGKILL and reported as timed out.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status; minus the signal number when killed by one
  bool timedOut = false;
};

ProcessResult runProcess(const std::string& path, const std::vector<std::string>& args,
                         std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace testsupport
