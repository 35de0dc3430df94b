// What a tool asks of its own process.
#pragma once

#include <cstddef>

namespace veltra::tools {

// Raises the soft open-file limit towards `want` (never above the hard limit,
// never lowers it); returns the soft limit in force afterwards.
size_t raiseOpenFileLimit(size_t want);

}  // namespace veltra::tools
