// The results of a run: the ✔ / × lines with failure details, the summary,
// and the JUnit XML and JSON forms for CI systems.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "scoutcheck/cases.hpp"

namespace scoutcheck {

struct Result {
  const Case* c = nullptr;
  Outcome outcome;
  double seconds = 0;
};

struct Run {
  std::vector<Result> results;  // in the order of the case table
  std::string server;           // as given on the command line
  bool strict = false;
  double seconds = 0;

  // A result that makes the run fail: a MUST failed or skipped; with strict,
  // also a SHOULD failed or skipped, and any pass that was not strict.
  bool counts(const Result& r) const;
  bool passed() const;
};

// "✔ id  LEVEL  what" or "× ..." and, for a failure, what was expected, what
// came and how to re-run the case; `quiet` prints failures only.
void printResult(std::ostream& out, const Run& run, const Result& r, bool quiet);
// "38 cases: 36 passed, 1 passed not strictly, 1 failed (1 MUST), 0 skipped in 1.4 s".
void printSummary(std::ostream& out, const Run& run);
std::string junit(const Run& run);
std::string json(const Run& run);

}  // namespace scoutcheck
