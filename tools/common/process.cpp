#include "common/process.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <cstdint>

namespace veltra::tools {

size_t raiseOpenFileLimit(size_t want) {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
  if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < want) {
    rlimit raised = lim;
    raised.rlim_cur = lim.rlim_max == RLIM_INFINITY ? want : std::min<rlim_t>(want, lim.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
  }
  return lim.rlim_cur == RLIM_INFINITY ? SIZE_MAX : static_cast<size_t>(lim.rlim_cur);
}

}  // namespace veltra::tools
