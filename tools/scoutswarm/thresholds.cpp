#include "scoutswarm/thresholds.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace scoutswarm {

namespace {

// What a metric counts, which decides the unit its values take and whether it can only
// grow while a run goes on.
enum class Kind {
  kLatency,   // ms; "5ms", "2s", "300us", a bare number is ms
  kMaximum,   // a latency's maximum: as kLatency, and it only grows
  kCount,     // a bare number; only grows
  kRate,      // a fraction of the planned sessions, "0.1%" or 0.001; only grows
  kFreeRate,  // a fraction that may also fall (the share completed)
  kPerSecond  // a bare number
};

struct Metric {
  Kind kind;
  size_t latency = 0;   // for latencies: which one
  double percent = -1;  // for percentiles
};

std::optional<Metric> lookUp(const std::string& name) {
  const size_t dot = name.find('.');
  if (dot != std::string::npos) {
    const std::string head = name.substr(0, dot), tail = name.substr(dot + 1);
    const auto* at = std::find(kLatencyNames.begin(), kLatencyNames.end(), head);
    if (at != kLatencyNames.end()) {
      const auto i = static_cast<size_t>(at - kLatencyNames.begin());
      static const std::pair<const char*, double> kPercentiles[] = {
          {"p50", 50}, {"p90", 90}, {"p99", 99}, {"p999", 99.9}};
      for (const auto& [suffix, percent] : kPercentiles)
        if (tail == suffix) return Metric{Kind::kLatency, i, percent};
      if (tail == "max") return Metric{Kind::kMaximum, i};
      if (tail == "count") return Metric{Kind::kCount, i};
      return std::nullopt;
    }
  }
  static const std::pair<const char*, Kind> kOthers[] = {
      {"sessions.completed", Kind::kCount},
      {"sessions.failed", Kind::kCount},
      {"sessions.completed.rate", Kind::kFreeRate},
      {"sessions.failed.rate", Kind::kRate},
      {"errors.count", Kind::kCount},
      {"errors.rate", Kind::kRate},
      {"moves.sent", Kind::kCount},
      {"relays.per_s", Kind::kPerSecond}};
  for (const auto& [known, kind] : kOthers)
    if (name == known) return Metric{kind};
  return std::nullopt;
}

const Histogram& latencyOf(const Report& r, size_t i) {
  return i < kSteps ? r.steps[i] : i == kRelayLatency ? r.relay : r.chat;
}

std::string trim(const std::string& s) {
  const size_t from = s.find_first_not_of(" \t"), to = s.find_last_not_of(" \t");
  return from == std::string::npos ? "" : s.substr(from, to - from + 1);
}

// The value in the metric's unit.
double valueOf(const std::string& text, Kind kind, const std::string& expression) {
  const char* begin = text.c_str();
  char* end = nullptr;
  const double number = std::strtod(begin, &end);
  const std::string unit = trim(end);
  const auto refuse = [&](const std::string& want) -> double {
    throw ThresholdError("threshold " + expression + ": the value must be " + want);
  };
  const bool latency = kind == Kind::kLatency || kind == Kind::kMaximum;
  const bool rate = kind == Kind::kRate || kind == Kind::kFreeRate;
  const char* want = latency ? "a duration (300us, 5ms, 2s; a bare number is ms)"
                     : rate  ? "a fraction (0.001) or a percentage (0.1%)"
                             : "a number";
  if (end == begin || !std::isfinite(number) || std::isspace(static_cast<unsigned char>(*begin)))
    return refuse(want);
  if (unit.empty()) return number;
  if (latency && unit == "us") return number / 1000;
  if (latency && unit == "ms") return number;
  if (latency && unit == "s") return number * 1000;
  if (rate && unit == "%") return number / 100;
  return refuse(want);
}

}  // namespace

std::optional<double> observe(const Report& r, const std::string& name) {
  const std::optional<Metric> m = lookUp(name);
  if (!m) throw ThresholdError("unknown metric " + name);
  const auto planned = static_cast<double>(r.planned);
  switch (m->kind) {
    case Kind::kLatency:
    case Kind::kMaximum: {
      const Histogram& h = latencyOf(r, m->latency);
      if (h.count() == 0) return std::nullopt;
      const uint64_t us = m->kind == Kind::kMaximum ? h.max() : h.percentile(m->percent);
      return static_cast<double>(us) / 1000;
    }
    case Kind::kCount:
      if (name.starts_with("sessions.completed")) return static_cast<double>(r.completed);
      if (name.starts_with("sessions.failed")) return static_cast<double>(r.failed);
      if (name == "errors.count") return static_cast<double>(r.errorCount());
      if (name == "moves.sent") return static_cast<double>(r.movesSent);
      return static_cast<double>(latencyOf(r, m->latency).count());
    case Kind::kRate:
    case Kind::kFreeRate: {
      if (r.planned == 0) return std::nullopt;
      const uint64_t n = name == "errors.rate"            ? r.errorCount()
                         : name == "sessions.failed.rate" ? r.failed
                                                          : r.completed;
      return static_cast<double>(n) / planned;
    }
    case Kind::kPerSecond:
      if (!(r.seconds > 0)) return std::nullopt;
      return static_cast<double>(r.relay.count()) / r.seconds;
  }
  return std::nullopt;
}

std::string valueText(const std::string& metric, double v, bool sign) {
  const std::optional<Metric> m = lookUp(metric);
  const Kind kind = m ? m->kind : Kind::kCount;
  char buf[64];
  if (kind == Kind::kLatency || kind == Kind::kMaximum)
    std::snprintf(buf, sizeof buf, sign ? "%+.3f ms" : "%.3f ms", v);
  else if (kind == Kind::kRate || kind == Kind::kFreeRate)
    std::snprintf(buf, sizeof buf, sign ? "%+.4g %%" : "%.4g %%", v * 100);
  else if (kind == Kind::kPerSecond)
    std::snprintf(buf, sizeof buf, sign ? "%+.1f/s" : "%.1f/s", v);
  else
    std::snprintf(buf, sizeof buf, sign ? "%+.15g" : "%.15g", v);
  return buf;
}

std::string observedText(const ThresholdResult& t) {
  return valueText(t.metric, t.observed, false);
}

Threshold Threshold::parse(const std::string& expression) {
  static const std::pair<const char*, Op> kOps[] = {
      {"<=", Op::kLessEqual}, {">=", Op::kGreaterEqual}, {"==", Op::kEqual},
      {"!=", Op::kNotEqual},  {"<", Op::kLess},          {">", Op::kGreater}};
  const size_t at = expression.find_first_of("<>=!");
  if (at == std::string::npos)
    throw ThresholdError("threshold " + expression +
                         ": no comparison (want METRIC OP VALUE, OP one of < <= > >= == !=)");
  Threshold t;
  t.expression = expression;
  t.metric = trim(expression.substr(0, at));
  const std::optional<Metric> m = lookUp(t.metric);
  if (!m)
    throw ThresholdError("threshold " + expression + ": unknown metric '" + t.metric +
                         "' (see the man page's list of metrics)");
  size_t width = 0;
  for (const auto& [text, op] : kOps)
    if (expression.compare(at, std::char_traits<char>::length(text), text) == 0) {
      t.op = op, width = std::char_traits<char>::length(text);
      break;
    }
  if (width == 0)
    throw ThresholdError("threshold " + expression +
                         ": unknown comparison (want one of < <= > >= == !=)");
  t.value = valueOf(trim(expression.substr(at + width)), m->kind, expression);
  return t;
}

ThresholdResult Threshold::evaluate(const Report& report) const {
  ThresholdResult r{expression, metric};
  const std::optional<double> seen = observe(report, metric);
  if (!seen) return r;  // no samples: fails
  r.hasSamples = true;
  r.observed = *seen;
  switch (op) {
    case Op::kLess: r.passed = *seen < value; break;
    case Op::kLessEqual: r.passed = *seen <= value; break;
    case Op::kGreater: r.passed = *seen > value; break;
    case Op::kGreaterEqual: r.passed = *seen >= value; break;
    case Op::kEqual: r.passed = *seen == value; break;
    case Op::kNotEqual: r.passed = *seen != value; break;
  }
  return r;
}

bool Threshold::breachIsFinal(const Report& report) const {
  const Kind kind = lookUp(metric)->kind;
  if (kind != Kind::kCount && kind != Kind::kMaximum && kind != Kind::kRate) return false;
  const ThresholdResult r = evaluate(report);
  if (!r.hasSamples || r.passed) return false;
  // Above an upper bound stays above; below a lower bound, or equal to an excluded value,
  // may still change.
  return op == Op::kLess || op == Op::kLessEqual || (op == Op::kEqual && r.observed > value);
}

}  // namespace scoutswarm
