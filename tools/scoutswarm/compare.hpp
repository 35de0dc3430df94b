// Two reports side by side: the main figures of a base run and a new one, with the change,
// and which of them got worse by more than a given share (for a CI job's verdict).
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "scoutswarm/report.hpp"

namespace scoutswarm {

struct Change {
  std::string metric;               // a threshold metric's name: "relay.p99", "sessions.failed"
  std::optional<double> base, now;  // none: nothing to observe in that report
  // Counts towards a regression: latency percentiles (not maxima: one slow reply is not a
  // trend) and failure counts (failed sessions, errors), for which higher is worse.
  bool judged = false;

  // (now - base) / base in percent; infinite when the base is 0 and now is not.
  std::optional<double> percent() const;
  // Judged, both sides observed, and higher by more than `percent` percent.
  bool regressed(double percent) const;
};

std::vector<Change> compare(const Report& base, const Report& now);

// The table, then one closing line: the regressions beyond `failPercent` when it is given.
void printComparison(std::ostream& out, const std::vector<Change>& changes,
                     std::optional<double> failPercent);

}  // namespace scoutswarm
