// The cases scoutcheck runs against a world server: each with its id, group,
// level and one line saying what it checks and what it rests on, and the
// verdict of one run.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <span>
#include <string>

namespace scoutcheck {

enum class Level { kMust, kShould };
enum class Verdict { kPassed, kFailed, kNonStrict, kSkipped };

const char* levelName(Level level);  // "MUST", "SHOULD"
const char* verdictName(Verdict v);  // "passed", "failed", "passed-not-strictly", "skipped"

// What a case runs against; names are unique per run so that a shared server
// is not disturbed.
struct Context {
  sockaddr_in server{};
  std::chrono::milliseconds timeout{2000};
  std::string prefix;  // of every name and room name of the run
  // A name never used before in this run: prefix, tag, number.
  std::string fresh(const std::string& tag);

 private:
  std::atomic<unsigned> next_{0};
};

struct Outcome {
  Verdict verdict = Verdict::kPassed;
  std::string expected;  // failures and non-strict passes: what a good server does
  std::string got;       // what came instead, one line per command
};

struct Case {
  const char* id;
  const char* group;
  Level level;
  bool robustness;   // sends malformed input; followed by a check of a fresh connection
  const char* what;  // one line: what it checks, and the layout or exchange it rests on
  void (*run)(Context&, Outcome&);
};

std::span<const Case> cases();

// Runs one case, turning its Failure, Closed and Skip into the outcome; a
// robustness case is then failed unless a fresh connection is still served.
Outcome runCase(const Case& c, Context& ctx);

}  // namespace scoutcheck
