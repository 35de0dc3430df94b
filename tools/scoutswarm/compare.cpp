#include "scoutswarm/compare.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

#include "scoutswarm/thresholds.hpp"

namespace scoutswarm {

std::optional<double> Change::percent() const {
  if (!base || !now) return std::nullopt;
  if (*base == 0)
    return *now == 0 ? 0 : std::copysign(std::numeric_limits<double>::infinity(), *now);
  return (*now - *base) / *base * 100;
}

bool Change::regressed(double limit) const {
  const std::optional<double> p = percent();
  return judged && p && *p > limit;
}

std::vector<Change> compare(const Report& base, const Report& now) {
  std::vector<Change> changes;
  const auto row = [&](const std::string& metric, bool judged) {
    changes.push_back({metric, observe(base, metric), observe(now, metric), judged});
  };
  for (size_t i = 0; i < kLatencies; ++i) {
    if (base.latency(i).count() == 0 && now.latency(i).count() == 0) continue;
    for (const char* p : {".p50", ".p90", ".p99", ".p999"})
      row(kLatencyNames[i] + std::string(p), true);
    row(kLatencyNames[i] + std::string(".max"), false);
  }
  row("sessions.completed", false);
  row("sessions.failed", true);
  row("errors.count", true);
  row("moves.sent", false);
  row("relays.per_s", false);
  return changes;
}

void printComparison(std::ostream& out, const std::vector<Change>& changes,
                     std::optional<double> failPercent) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "%-20s %14s %14s %14s %9s\n", "figure", "base", "new", "change",
                "%");
  out << buf;
  std::string worse;
  size_t regressions = 0;
  for (const Change& c : changes) {
    const auto number = [&](std::optional<double> v, bool sign) {
      return v ? valueText(c.metric, *v, sign) : std::string("-");
    };
    const std::optional<double> diff =
        c.base && c.now ? std::optional<double>(*c.now - *c.base) : std::nullopt;
    const std::optional<double> p = c.percent();
    std::string pct = "-";
    if (p) {
      char b[32];
      std::snprintf(b, sizeof b, std::isinf(*p) ? "%+.0f" : "%+.1f", *p);
      pct = std::isinf(*p) ? (*p > 0 ? "+inf" : "-inf") : b;
    }
    const bool regressed = failPercent && c.regressed(*failPercent);
    std::snprintf(buf, sizeof buf, "%-20s %14s %14s %14s %9s%s\n", c.metric.c_str(),
                  number(c.base, false).c_str(), number(c.now, false).c_str(),
                  number(diff, true).c_str(), pct.c_str(), regressed ? "  worse" : "");
    out << buf;
    if (regressed) worse += (regressions++ ? ", " : "") + c.metric;
  }
  if (!failPercent) return;
  std::snprintf(buf, sizeof buf, "%g%%", *failPercent);
  if (regressions == 0)
    out << "compare: PASS: no latency percentile or failure count worse by more than " << buf
        << "\n";
  else
    out << "compare: FAIL: " << regressions << " figure(s) worse by more than " << buf << ": "
        << worse << "\n";
}

}  // namespace scoutswarm
