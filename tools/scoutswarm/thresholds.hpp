// Pass/fail criteria over a report's figures: "relay.p99<5ms", "sessions.failed==0",
// "errors.rate<0.1%". A metric is a name from one table (the man page lists it), an
// operator and a value in the metric's unit; the result keeps the observed value, and a
// metric with nothing to observe (a percentile of no latencies, a rate of no planned
// sessions) fails whatever the operator.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "scoutswarm/report.hpp"

namespace scoutswarm {

// An expression that does not parse; what() is one line naming the problem.
struct ThresholdError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

struct Threshold {
  enum class Op { kLess, kLessEqual, kGreater, kGreaterEqual, kEqual, kNotEqual };
  std::string expression;  // as given
  std::string metric;
  Op op = Op::kLess;
  double value = 0;  // in the metric's unit: ms for latencies, a fraction for rates

  // Throws ThresholdError for an unknown metric, a missing operator, or a value that is
  // not a number in the metric's unit.
  static Threshold parse(const std::string& expression);

  ThresholdResult evaluate(const Report& report) const;
  // Whether a breach seen now stays one whatever the rest of the run brings: the metric
  // can only grow (a count, a maximum, a rate of failures or errors) and the threshold
  // bounds it from above. Partial reports use it to end a run early.
  bool breachIsFinal(const Report& report) const;
};

// The figure a metric names in a report; none when it has nothing to observe. Throws
// ThresholdError for an unknown metric.
std::optional<double> observe(const Report& report, const std::string& metric);

// A metric's value with its unit: "0.412 ms", "0.25 %", "3", "1520.4/s"; with `sign`, a
// change ("+0.120 ms").
std::string valueText(const std::string& metric, double value, bool sign = false);
std::string observedText(const ThresholdResult& result);

}  // namespace scoutswarm
