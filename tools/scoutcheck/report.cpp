#include "scoutcheck/report.hpp"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

#include "common/text.hpp"

namespace scoutcheck {

namespace {

// The server's bytes reach output only escaped (describe lines can hold its text).
std::string safe(const std::string& text) {
  std::string out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    out += (out.empty() ? "" : "\n") + veltra::tools::escapeText(line);
  return out;
}

std::string xml(const std::string& text) { return veltra::tools::markupEntities(safe(text)); }

std::string seconds(double s) {
  char b[32];
  std::snprintf(b, sizeof b, "%.3f", s);
  return b;
}

std::string indented(const std::string& label, const std::string& text) {
  std::string out = "    " + label;
  std::istringstream lines(text);
  bool first = true;
  for (std::string line; std::getline(lines, line); first = false)
    out += (first ? "" : "\n" + std::string(4 + label.size(), ' ')) + line;
  return out + "\n";
}

}  // namespace

bool Run::counts(const Result& r) const {
  const Verdict v = r.outcome.verdict;
  if (v == Verdict::kFailed || v == Verdict::kSkipped) return strict || r.c->level == Level::kMust;
  return strict && v == Verdict::kNonStrict;
}

bool Run::passed() const {
  for (const Result& r : results)
    if (counts(r)) return false;
  return true;
}

void printResult(std::ostream& out, const Run& run, const Result& r, bool quiet) {
  const Verdict v = r.outcome.verdict;
  if (quiet && v != Verdict::kFailed && v != Verdict::kSkipped && !run.counts(r)) return;
  const char* mark = v == Verdict::kFailed ? "\u00d7" : v == Verdict::kSkipped ? "-" : "\u2714";
  char head[160];
  std::snprintf(head, sizeof head, "%s %-24s %-6s ", mark, r.c->id, levelName(r.c->level));
  out << head << r.c->what;
  if (v == Verdict::kNonStrict || v == Verdict::kSkipped) out << "  (" << verdictName(v) << ")";
  out << "\n";
  if (v == Verdict::kSkipped) out << indented("why:      ", safe(r.outcome.got));
  if (v == Verdict::kNonStrict) out << indented("got:      ", safe(r.outcome.got));
  if (v != Verdict::kFailed) return;
  out << indented("expected: ", safe(r.outcome.expected))
      << indented("got:      ", safe(r.outcome.got.empty() ? "nothing" : r.outcome.got))
      << indented("re-run:   ", std::string("scoutcheck --case ") + r.c->id + " " + run.server);
}

void printSummary(std::ostream& out, const Run& run) {
  size_t n[4] = {}, must = 0;
  for (const Result& r : run.results) {
    ++n[static_cast<int>(r.outcome.verdict)];
    must += r.outcome.verdict == Verdict::kFailed && r.c->level == Level::kMust;
  }
  char b[200];
  std::snprintf(b, sizeof b,
                "%zu cases: %zu passed, %zu passed not strictly, %zu failed (%zu MUST), %zu "
                "skipped in %.1f s%s\n",
                run.results.size(), n[0], n[2], n[1], must, n[3], run.seconds,
                run.strict ? " (strict)" : "");
  out << b;
}

std::string junit(const Run& run) {
  size_t failures = 0, skipped = 0;
  std::string body;
  for (const Result& r : run.results) {
    const Outcome& o = r.outcome;
    body += "    <testcase classname=\"scoutcheck." + std::string(r.c->group) + "\" name=\"" +
            r.c->id + "\" time=\"" + seconds(r.seconds) + "\">\n";
    if (o.verdict == Verdict::kSkipped) {
      ++skipped;
      body += "      <skipped message=\"" + xml(o.got) + "\"/>\n";
    } else if (o.verdict == Verdict::kFailed || run.counts(r)) {
      // A failed SHOULD is a failure here too; whether it fails the run is the exit status's say.
      ++failures;
      body += "      <failure message=\"" + xml(o.expected) + "\" type=\"" + levelName(r.c->level) +
              "\">" + xml("expected: " + o.expected + "\ngot: " + o.got) + "</failure>\n";
    } else if (o.verdict == Verdict::kNonStrict) {
      body += "      <system-out>" + xml("passed not strictly: " + o.got) + "</system-out>\n";
    }
    body += "    </testcase>\n";
  }
  const std::string counts = "tests=\"" + std::to_string(run.results.size()) + "\" failures=\"" +
                             std::to_string(failures) + "\" errors=\"0\" skipped=\"" +
                             std::to_string(skipped) + "\" time=\"" + seconds(run.seconds) + "\"";
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites " + counts +
         ">\n  <testsuite name=\"scoutcheck " + xml(run.server) + "\" " + counts + ">\n" + body +
         "  </testsuite>\n</testsuites>\n";
}

std::string json(const Run& run) {
  nlohmann::ordered_json cases = nlohmann::ordered_json::array();
  for (const Result& r : run.results) {
    nlohmann::ordered_json c{{"id", r.c->id},
                             {"group", r.c->group},
                             {"level", levelName(r.c->level)},
                             {"what", r.c->what},
                             {"verdict", verdictName(r.outcome.verdict)},
                             {"seconds", r.seconds}};
    if (!r.outcome.expected.empty()) c["expected"] = safe(r.outcome.expected);
    if (!r.outcome.got.empty()) c["got"] = safe(r.outcome.got);
    cases.push_back(std::move(c));
  }
  nlohmann::ordered_json doc{{"server", safe(run.server)},
                             {"strict", run.strict},
                             {"passed", run.passed()},
                             {"seconds", run.seconds},
                             {"cases", std::move(cases)}};
  return doc.dump(2) + "\n";
}

}  // namespace scoutcheck
