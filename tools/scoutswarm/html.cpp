#include "scoutswarm/html.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>

#include "common/text.hpp"

namespace scoutswarm {

namespace {

// A one-hour run has 3600 seconds, more than a chart is wide in pixels, so a line has at most
// this many points: the seconds are merged into buckets of equal length. Latencies merge their
// histograms (a bucket's p99 is the p99 of all its seconds' samples, so a spike stays); counts
// become the bucket's mean per second (its total stays); gauges keep the bucket's maximum (a
// peak stays).
constexpr size_t kMaxPoints = 300;
// Lines with at most this many points also get a dot per point: a short run reads as values.
constexpr size_t kDotsUpTo = 60;
// Error kinds drawn as lines of their own; the rest are summed into one.
constexpr size_t kMaxErrorLines = 7;

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

constexpr const char* kPalette[] = {"#2563eb", "#059669", "#d97706", "#dc2626", "#7c3aed",
                                    "#0891b2", "#db2777", "#65a30d", "#475569"};
const char* color(size_t i) { return kPalette[i % std::size(kPalette)]; }

// Text from the report (names, error kinds, parameters) as HTML text or attribute value: bytes
// that are not UTF-8 and control characters as \xNN, as the summary prints them, then the
// characters HTML gives a meaning as entities.
std::string escape(std::string_view text) {
  return veltra::tools::markupEntities(veltra::tools::escapeText(text));
}

std::string orDash(const std::string& text) { return text.empty() ? "&mdash;" : escape(text); }

std::string coord(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

// A whole number with thousands separated: 1,234,567.
std::string count(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// A measured value with about four significant digits and no trailing zeros.
std::string decimal(double v) {
  char buf[48];
  const double a = std::fabs(v);
  const int places = a >= 1000 ? 0 : a >= 100 ? 1 : a >= 10 ? 2 : 3;
  std::snprintf(buf, sizeof buf, "%.*f", places, v);
  std::string s = buf;
  if (s.find('.') != std::string::npos) {
    s.erase(s.find_last_not_of('0') + 1);
    if (s.back() == '.') s.pop_back();
  }
  return s == "-0" ? "0" : s;
}

std::string millis(double micros) { return decimal(micros / 1000.0) + " ms"; }

std::string percentileName(double p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "p%g", p);
  return buf;
}

// Seconds since the start as the axis shows them: "45 s" in a short run, "m:ss" or "h:mm:ss".
std::string clock(double seconds, bool longRun) {
  char buf[32];
  const long s = std::lround(seconds);
  if (!longRun)
    std::snprintf(buf, sizeof buf, "%ld s", s);
  else if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}

const Histogram& wholeRun(const Report& r, size_t latency) {
  return latency < kSteps ? r.steps[latency] : latency == kRelayLatency ? r.relay : r.chat;
}

// ---- Charts

struct Axis {
  double lo = 0, hi = 1;
  bool log = false;
  std::vector<std::pair<double, std::string>> ticks;
  std::string title;
};

struct Series {
  std::string name;  // from the report: escaped when written
  std::string color;
  std::vector<std::pair<double, double>> points;  // y NaN: a gap
};

// What the page's script shows under the pointer: per point a heading and each line's value.
struct Hover {
  std::vector<double> x;
  std::vector<std::string> heading;
  std::vector<std::vector<std::string>> values;  // [series][point]
};

struct Chart {
  std::string id, title, note;
  Axis x, y;
  std::vector<Series> series;
  Hover hover;
  bool wide = false;
  bool dots = true;  // a dot per point in short lines
};

// Round steps (1, 2, 5 times a power of ten) from 0 to at least `max`, about five of them.
Axis linearAxis(double max, const std::string& title) {
  Axis a;
  a.title = title;
  if (!(max > 0)) max = 1;
  const double raw = max / 5, magnitude = std::pow(10, std::floor(std::log10(raw)));
  const double norm = raw / magnitude;
  const double step = (norm <= 1 ? 1 : norm <= 2 ? 2 : norm <= 5 ? 5 : 10) * magnitude;
  const int steps = static_cast<int>(std::ceil(max / step - 1e-9));
  a.hi = steps * step;
  for (int i = 0; i <= steps; ++i) {
    const double v = i * step;
    char buf[32];
    if (a.hi >= 1e6)
      std::snprintf(buf, sizeof buf, "%gM", v / 1e6);
    else if (a.hi >= 1e4)
      std::snprintf(buf, sizeof buf, "%gk", v / 1e3);
    else
      std::snprintf(buf, sizeof buf, "%g", v);
    a.ticks.emplace_back(v, buf);
  }
  return a;
}

// Seconds since the start, at a step a reader counts in.
Axis timeAxis(double seconds) {
  Axis a;
  a.hi = std::max(seconds, 1.0);
  const bool longRun = a.hi >= 120;
  a.title = longRun ? "time since start (m:ss)" : "time since start";
  static constexpr double kSteps[] = {1,   2,   5,   10,   15,   30,   60,    120,
                                      300, 600, 900, 1800, 3600, 7200, 14400, 43200};
  double step = 86400;
  for (double s : kSteps)
    if (a.hi / s <= 10) {
      step = s;
      break;
    }
  for (double t = 0; t <= a.hi + 1e-9; t += step) a.ticks.emplace_back(t, clock(t, longRun));
  return a;
}

// Microseconds on a log scale, a tick per power of ten.
Axis latencyAxis(double lo, double hi) {
  Axis a;
  a.log = true;
  a.title = "latency (log scale)";
  int first = static_cast<int>(std::floor(std::log10(std::max(lo, 1.0))));
  int last = static_cast<int>(std::ceil(std::log10(std::max(hi, 1.0))));
  if (last <= first) last = first + 1;
  a.lo = std::pow(10, first), a.hi = std::pow(10, last);
  static constexpr const char* kUnits[] = {"µs", "ms", "s"};
  for (int e = first; e <= last; ++e) {
    char buf[32];
    if (e < 9)
      std::snprintf(buf, sizeof buf, "%d %s",
                    e % 3 == 0   ? 1
                    : e % 3 == 1 ? 10
                                 : 100,
                    kUnits[e / 3]);
    else
      std::snprintf(buf, sizeof buf, "%g s", std::pow(10, e - 6));
    a.ticks.emplace_back(std::pow(10, e), buf);
  }
  return a;
}

struct Frame {
  double width, height, left = 58, right = 18, top = 22, bottom = 42;
  double px(const Axis& a, double v) const {
    const double span = width - left - right;
    if (a.log)
      return left + span * (std::log10(std::max(v, a.lo)) - std::log10(a.lo)) /
                        (std::log10(a.hi) - std::log10(a.lo));
    return left + span * (v - a.lo) / (a.hi - a.lo);
  }
  double py(const Axis& a, double v) const {
    return height - bottom - (height - top - bottom) * (v - a.lo) / (a.hi - a.lo);
  }
};

// The hover data as JSON in an attribute: numbers and texts made here, escaped all the same.
std::string hoverJson(const Chart& c, const Frame& f) {
  std::string j = "{\"x\":[";
  for (size_t i = 0; i < c.hover.x.size(); ++i)
    j += (i ? "," : "") + coord(f.px(c.x, c.hover.x[i]));
  j += "],\"t\":[";
  for (size_t i = 0; i < c.hover.heading.size(); ++i)
    j += (i ? ",\"" : "\"") + c.hover.heading[i] + "\"";
  j += "],\"v\":[";
  for (size_t s = 0; s < c.hover.values.size(); ++s) {
    j += s ? ",[" : "[";
    for (size_t i = 0; i < c.hover.values[s].size(); ++i)
      j += (i ? ",\"" : "\"") + c.hover.values[s][i] + "\"";
    j += "]";
  }
  return escape(j + "]}");
}

bool hasPoints(const Chart& c) {
  for (const Series& s : c.series)
    for (const auto& [x, y] : s.points)
      if (!std::isnan(y)) return true;
  return false;
}

void drawChart(std::string& out, const Chart& c) {
  out += "<figure class=\"chart" + std::string(c.wide ? " wide" : "") + "\" id=\"" + c.id +
         "\"><figcaption>" + c.title + "</figcaption>\n";
  if (!hasPoints(c)) {
    out += "<p class=\"nosamples\">" + (c.note.empty() ? std::string("no samples") : c.note) +
           "</p></figure>\n";
    return;
  }
  const Frame f{c.wide ? 1200.0 : 600.0, c.wide ? 300.0 : 260.0};
  out += "<svg viewBox=\"0 0 " + coord(f.width) + " " + coord(f.height) + "\" role=\"img\"";
  if (!c.hover.x.empty()) out += " data-rows=\"" + hoverJson(c, f) + "\"";
  out += ">\n";
  const double x0 = f.left, x1 = f.width - f.right, y0 = f.py(c.y, c.y.lo), y1 = f.top;
  for (const auto& [v, label] : c.y.ticks) {
    const std::string y = coord(f.py(c.y, v));
    out += "<line class=\"grid\" x1=\"" + coord(x0) + "\" x2=\"" + coord(x1) + "\" y1=\"" + y +
           "\" y2=\"" + y + "\"/><text class=\"tick\" x=\"" + coord(x0 - 6) + "\" y=\"" + y +
           "\" dy=\"0.32em\" text-anchor=\"end\">" + label + "</text>\n";
  }
  for (const auto& [v, label] : c.x.ticks) {
    const std::string x = coord(f.px(c.x, v));
    out += "<line class=\"tickmark\" x1=\"" + x + "\" x2=\"" + x + "\" y1=\"" + coord(y0) +
           "\" y2=\"" + coord(y0 + 5) + "\"/><text class=\"tick\" x=\"" + x + "\" y=\"" +
           coord(y0 + 17) + "\" text-anchor=\"middle\">" + label + "</text>\n";
  }
  out += "<line class=\"axis\" x1=\"" + coord(x0) + "\" x2=\"" + coord(x1) + "\" y1=\"" +
         coord(y0) + "\" y2=\"" + coord(y0) + "\"/><line class=\"axis\" x1=\"" + coord(x0) +
         "\" x2=\"" + coord(x0) + "\" y1=\"" + coord(y0) + "\" y2=\"" + coord(y1) + "\"/>\n";
  out += "<text class=\"unit\" x=\"0\" y=\"" + coord(y1 - 9) + "\">" + c.y.title +
         "</text><text class=\"unit\" x=\"" + coord((x0 + x1) / 2) + "\" y=\"" +
         coord(f.height - 4) + "\" text-anchor=\"middle\">" + c.x.title + "</text>\n";
  for (const Series& s : c.series) {
    std::string d, dots;
    bool pen = false;
    for (size_t i = 0; i < s.points.size(); ++i) {
      const auto [xv, yv] = s.points[i];
      if (std::isnan(yv)) {
        pen = false;
        continue;
      }
      const std::string p = coord(f.px(c.x, xv)) + "," + coord(f.py(c.y, yv));
      d += (pen ? "L" : "M") + p;
      const bool alone = (i == 0 || std::isnan(s.points[i - 1].second)) &&
                         (i + 1 == s.points.size() || std::isnan(s.points[i + 1].second));
      if (alone || (c.dots && s.points.size() <= kDotsUpTo))
        dots += "<circle cx=\"" + p.substr(0, p.find(',')) + "\" cy=\"" +
                p.substr(p.find(',') + 1) + "\" r=\"2.6\"/>";
      pen = true;
    }
    out += "<g class=\"series\" stroke=\"" + s.color + "\" fill=\"" + s.color + "\"><path d=\"" +
           d + "\"/>" + dots + "</g>\n";
  }
  if (!c.hover.x.empty())
    out += "<line class=\"cursor\" x1=\"0\" x2=\"0\" y1=\"" + coord(y0) + "\" y2=\"" + coord(y1) +
           "\"/>\n";
  out += "</svg>\n<ul class=\"legend\">";
  for (const Series& s : c.series)
    out += "<li><span class=\"swatch\" style=\"background:" + s.color + "\"></span>" +
           escape(s.name) + "</li>";
  out += "</ul><div class=\"tip\" hidden></div>";
  if (!c.note.empty()) out += "<p class=\"note\">" + c.note + "</p>";
  out += "</figure>\n";
}

// ---- The timeline in buckets of whole seconds

struct Buckets {
  size_t seconds, step, size;
  explicit Buckets(size_t n)
      : seconds(n),
        step(std::max<size_t>(1, (n + kMaxPoints - 1) / kMaxPoints)),
        size((n + step - 1) / step) {}
  size_t begin(size_t b) const { return b * step; }
  size_t end(size_t b) const { return std::min(seconds, (b + 1) * step); }
};

// A time chart over the buckets: a series per name, its value per bucket from `value`.
template <typename Value>
Chart timeChart(const Report& r, const Buckets& b, const std::vector<std::string>& names,
                const std::string& unit, Value value, std::string (*text)(double)) {
  Chart c;
  const bool longRun = b.seconds >= 120;
  c.x = timeAxis(static_cast<double>(b.seconds));
  double max = 0;
  for (size_t s = 0; s < names.size(); ++s) {
    Series line{names[s], color(s), {}};
    std::vector<std::string> texts;
    for (size_t k = 0; k < b.size; ++k) {
      const double v = value(r, s, b.begin(k), b.end(k));
      line.points.emplace_back(static_cast<double>(b.end(k)), v);
      texts.push_back(std::isnan(v) ? "—" : text(v));
      if (!std::isnan(v)) max = std::max(max, v);
    }
    c.series.push_back(std::move(line));
    c.hover.values.push_back(std::move(texts));
  }
  for (size_t k = 0; k < b.size; ++k) {
    c.hover.x.push_back(static_cast<double>(b.end(k)));
    const std::string from = clock(static_cast<double>(b.begin(k)), longRun);
    const std::string to = clock(static_cast<double>(b.end(k)), longRun);
    // "4–5 s": the second from 4 to 5 s since the start.
    c.hover.heading.push_back(longRun ? from + "–" + to
                                      : from.substr(0, from.size() - 2) + "–" + to);
  }
  c.y = linearAxis(max, unit);
  return c;
}

std::string perSecond(double v) { return decimal(v) + "/s"; }
std::string sessionsText(double v) { return decimal(v); }
std::string millisText(double ms) { return decimal(ms) + " ms"; }

// The mean per second over a bucket of a count each second holds.
template <typename Field>
double meanRate(const Report& r, size_t begin, size_t end, Field field) {
  uint64_t sum = 0;
  for (size_t i = begin; i < end; ++i) sum += field(r.timeline[i]);
  return static_cast<double>(sum) / static_cast<double>(end - begin);
}

Chart latencyChart(const Report& r, const Buckets& b, size_t latency, const HtmlOptions& o) {
  std::vector<std::string> names;
  for (double p : o.percentiles) names.push_back(percentileName(p));
  Chart c = timeChart(
      r, b, names, "ms",
      [&](const Report& rep, size_t s, size_t begin, size_t end) {
        Histogram h;
        uint64_t max = 0;
        size_t first = Histogram::kBuckets;
        for (size_t i = begin; i < end; ++i) {
          const SparseHistogram& sh = rep.timeline[i].latency[latency];
          for (const auto& [index, n] : sh.buckets) h.addBucket(index, n);
          if (!sh.buckets.empty()) first = std::min<size_t>(first, sh.buckets.front().first);
          max = std::max(max, sh.max);
        }
        if (h.count() == 0) return kNone;
        h.setExtremes(Histogram::lowest(first), max);
        return static_cast<double>(h.percentile(o.percentiles[s])) / 1000.0;
      },
      millisText);
  c.id = std::string("chart-latency-") + kLatencyNames[latency];
  c.title = std::string("Latency over time: ") + kLatencyNames[latency];
  return c;
}

// ---- Sections

void summary(std::string& out, const Report& r, bool verdict) {
  const auto card = [&](const std::string& label, const std::string& value,
                        const std::string& detail = "", const char* cls = "") {
    out += std::string("<div class=\"card ") + cls + "\"><div class=\"label\">" + label +
           "</div><div class=\"value\">" + value + "</div>";
    if (!detail.empty()) out += "<div class=\"detail\">" + detail + "</div>";
    out += "</div>";
  };
  const double secs = r.seconds > 0 ? r.seconds : 0;
  const auto rate = [&](uint64_t n) { return secs > 0 ? decimal(n / secs) + "/s" : "&mdash;"; };
  out += "<section><h2>Summary</h2><div class=\"cards\" id=\"summary\">";
  card("verdict", verdict ? "PASS" : "FAIL", r.interrupted ? "interrupted" : "",
       verdict ? "pass" : "fail");
  card("sessions completed", count(r.completed), "of " + count(r.planned) + " planned");
  card("sessions failed", count(r.failed), "", r.failed ? "fail" : "");
  card("errors", count(r.errorCount()), "", r.errorCount() ? "fail" : "");
  card("duration", decimal(secs) + " s", secs >= 120 ? clock(secs, true) : "");
  card("moves sent", count(r.movesSent), rate(r.movesSent));
  card("relays received", count(r.relay.count()), rate(r.relay.count()));
  card("lines sent", count(r.linesSent), rate(r.linesSent));
  card("lines received", count(r.chat.count()), rate(r.chat.count()));
  if (r.foreignMoves || r.foreignLines)
    card("foreign moves / lines", count(r.foreignMoves) + " / " + count(r.foreignLines),
         "not sent by this run");
  out += "</div></section>\n";
}

// The observed value in the unit of its metric: ms for latencies, a fraction for rates.
std::string observed(const ThresholdResult& t) {
  if (!t.hasSamples) return "&mdash;";
  const std::string& m = t.metric;
  const auto endsWith = [&](std::string_view tail) {
    return m.size() >= tail.size() && m.compare(m.size() - tail.size(), tail.size(), tail) == 0;
  };
  for (const char* p : {".p50", ".p90", ".p99", ".p999", ".max"})
    if (endsWith(p)) return decimal(t.observed) + " ms";
  if (endsWith(".rate")) return decimal(t.observed * 100) + " %";
  if (endsWith(".per_s")) return decimal(t.observed) + "/s";
  return decimal(t.observed);
}

void thresholds(std::string& out, const Report& r) {
  out += "<section><h2>Thresholds</h2>\n";
  out +=
      "<table id=\"table-thresholds\"><thead><tr><th>threshold</th><th>metric</th>"
      "<th class=\"num\">observed</th><th>verdict</th></tr></thead><tbody>\n";
  for (const ThresholdResult& t : r.thresholds) {
    const char* verdict = !t.hasSamples ? "no samples" : t.passed ? "passed" : "failed";
    const char* cls = !t.hasSamples ? "nosamples" : t.passed ? "pass" : "fail";
    out += "<tr><td><code>" + escape(t.expression) + "</code></td><td>" + escape(t.metric) +
           "</td><td class=\"num\">" + observed(t) + "</td><td><span class=\"badge " + cls + "\">" +
           verdict + "</span></td></tr>\n";
  }
  if (r.thresholds.empty())
    out += "<tr><td colspan=\"4\" class=\"nosamples\">no thresholds given</td></tr>\n";
  out += "</tbody></table></section>\n";
}

void latencyTable(std::string& out, const Report& r, const HtmlOptions& o) {
  out += "<table id=\"table-latency\"><thead><tr><th>latency</th><th class=\"num\">count</th>";
  for (double p : o.percentiles) out += "<th class=\"num\">" + percentileName(p) + "</th>";
  out += "<th class=\"num\">max</th></tr></thead><tbody>\n";
  for (size_t l = 0; l < kLatencies; ++l) {
    const Histogram& h = wholeRun(r, l);
    out += std::string("<tr><td>") + kLatencyNames[l] + "</td><td class=\"num\">" +
           count(h.count()) + "</td>";
    for (double p : o.percentiles)
      out += "<td class=\"num\">" +
             (h.count() ? millis(static_cast<double>(h.percentile(p))) : "&mdash;") + "</td>";
    out += "<td class=\"num\">" + (h.count() ? millis(static_cast<double>(h.max())) : "&mdash;") +
           "</td></tr>\n";
  }
  out += "</tbody></table>\n";
}

// The whole run's latencies as cumulative distributions on a log axis: what share of the
// samples took at most so long. One point per bucket in use, at most one per pixel.
Chart distribution(const Report& r) {
  Chart c;
  c.id = "chart-distribution";
  c.title = "Latency distribution (whole run)";
  c.wide = true, c.dots = false;
  double lo = std::numeric_limits<double>::max(), hi = 0;
  for (size_t l = 0; l < kLatencies; ++l)
    if (wholeRun(r, l).count()) {
      lo = std::min(lo, static_cast<double>(wholeRun(r, l).min()));
      hi = std::max(hi, static_cast<double>(wholeRun(r, l).max()));
    }
  c.x = latencyAxis(hi > 0 ? lo : 1, hi);
  c.y = linearAxis(100, "% of samples at or below");
  const Frame f{1200, 300};
  for (size_t l = 0; l < kLatencies; ++l) {
    const Histogram& h = wholeRun(r, l);
    if (!h.count()) continue;
    Series s{kLatencyNames[l], color(l), {{static_cast<double>(h.min()), 0}}};
    uint64_t seen = 0;
    for (size_t i = 0; i < Histogram::kBuckets; ++i) {
      if (!h.bucketCount(i)) continue;
      seen += h.bucketCount(i);
      const double x = static_cast<double>(std::clamp(Histogram::highest(i), h.min(), h.max()));
      const double y = 100.0 * static_cast<double>(seen) / static_cast<double>(h.count());
      if (std::lround(f.px(c.x, x)) == std::lround(f.px(c.x, s.points.back().first)))
        s.points.back() = {x, y};
      else
        s.points.emplace_back(x, y);
    }
    c.series.push_back(std::move(s));
  }
  return c;
}

void runs(std::string& out, const Report& r) {
  out +=
      "<section><h2>Runs</h2>\n<table id=\"table-runs\"><thead><tr><th>run</th><th>host</th>"
      "<th>started (UTC)</th><th>ended (UTC)</th><th class=\"num\">duration</th>"
      "<th>parameters</th></tr></thead><tbody>\n";
  for (const RunInfo& run : r.runs) {
    out += "<tr><td><code>" + orDash(run.id) + "</code></td><td>" + orDash(run.host) + "</td><td>" +
           orDash(run.started) + "</td><td>" + orDash(run.ended) + "</td><td class=\"num\">" +
           (run.seconds > 0 ? decimal(run.seconds) + " s" : "&mdash;") +
           "</td><td><dl class=\"params\">";
    for (const auto& [name, value] : run.parameters)
      out += "<dt>" + escape(name) + "</dt><dd>" + escape(value) + "</dd>";
    out += "</dl></td></tr>\n";
  }
  if (r.runs.empty())
    out += "<tr><td colspan=\"6\" class=\"nosamples\">no record of the run</td></tr>\n";
  out += "</tbody></table></section>\n";
}

void errorTable(std::string& out, const std::vector<std::pair<std::string, uint64_t>>& kinds) {
  out +=
      "<table id=\"table-errors\"><thead><tr><th>error</th><th class=\"num\">count</th></tr>"
      "</thead><tbody>\n";
  for (const auto& [kind, n] : kinds)
    out += "<tr><td>" + escape(kind) + "</td><td class=\"num\">" + count(n) + "</td></tr>\n";
  if (kinds.empty()) out += "<tr><td colspan=\"2\" class=\"nosamples\">no errors</td></tr>\n";
  out += "</tbody></table>\n";
}

constexpr const char* kStyle = R"(
:root{--fg:#1e293b;--muted:#64748b;--line:#e2e8f0;--bg:#f8fafc;--pass:#047857;--fail:#b91c1c;--warn:#b45309}
*{box-sizing:border-box}
body{margin:0;background:var(--bg);color:var(--fg);font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"DejaVu Sans",sans-serif}
main{max-width:1260px;margin:0 auto;padding:20px 24px 40px}
header{display:flex;align-items:baseline;gap:16px;flex-wrap:wrap;border-bottom:1px solid var(--line);padding-bottom:10px}
h1{font-size:22px;margin:0}
h2{font-size:17px;margin:28px 0 10px}
.sub{color:var(--muted)}
.badge{display:inline-block;padding:1px 9px;border-radius:10px;font-weight:600;font-size:12px;color:#fff;background:var(--muted)}
.badge.pass{background:var(--pass)}.badge.fail{background:var(--fail)}.badge.nosamples{background:var(--warn)}
header .badge{font-size:15px;padding:2px 12px}
.cards{display:grid;grid-template-columns:repeat(auto-fill,minmax(180px,1fr));gap:10px}
.card{background:#fff;border:1px solid var(--line);border-radius:8px;padding:10px 14px}
.card .label{color:var(--muted);font-size:12px;text-transform:uppercase;letter-spacing:.04em}
.card .value{font-size:22px;font-weight:600;font-variant-numeric:tabular-nums}
.card .detail{color:var(--muted);font-size:12px}
.card.pass .value{color:var(--pass)}.card.fail .value{color:var(--fail)}
.grid2{display:grid;align-items:start;grid-template-columns:repeat(auto-fit,minmax(520px,1fr));gap:14px}
figure.chart{position:relative;margin:0 0 14px;background:#fff;border:1px solid var(--line);border-radius:8px;padding:10px 12px}
figcaption{font-weight:600;margin-bottom:4px}
svg{display:block;width:100%;height:auto;font-size:11px;overflow:visible}
svg .grid{stroke:var(--line);stroke-width:1}
svg .axis,svg .tickmark{stroke:#94a3b8;stroke-width:1}
svg .tick{fill:var(--muted)}
svg .unit{fill:var(--fg);font-size:11.5px}
svg .series path{fill:none;stroke-width:1.8;stroke-linejoin:round}
svg .cursor{stroke:#334155;stroke-dasharray:3 3;visibility:hidden}
.legend{list-style:none;margin:4px 0 0;padding:0;display:flex;flex-wrap:wrap;gap:4px 16px;font-size:12.5px}
.legend li{overflow-wrap:anywhere}
.swatch{display:inline-block;width:12px;height:3px;margin:0 6px 3px 0;vertical-align:middle;border-radius:1px}
.tip{position:absolute;pointer-events:none;background:rgba(15,23,42,.92);color:#fff;padding:6px 9px;border-radius:6px;font-size:12px;white-space:nowrap;z-index:2}
.tip .swatch{height:8px;width:8px}
.nosamples{color:var(--warn);font-style:italic}
.badge.nosamples{color:#fff;font-style:normal}
p.nosamples{margin:12px 0 6px;padding:14px;border:1px dashed #fcd34d;border-radius:6px;background:#fffbeb;text-align:center}
.note{color:var(--muted);font-size:12px;margin:4px 0 0}
table{border-collapse:collapse;background:#fff;border:1px solid var(--line);border-radius:8px;margin-bottom:14px;min-width:50%}
th,td{padding:6px 12px;text-align:left;border-bottom:1px solid var(--line);vertical-align:top;overflow-wrap:anywhere}
th{background:#f1f5f9;font-size:12px;text-transform:uppercase;letter-spacing:.03em;color:#475569}
td.num,th.num{text-align:right;font-variant-numeric:tabular-nums}
tbody tr:nth-child(even){background:#f8fafc}
dl.params{display:grid;grid-template-columns:max-content 1fr;gap:1px 12px;margin:0}
dl.params dt{color:var(--muted)}dl.params dd{margin:0;font-family:ui-monospace,monospace;font-size:12.5px}
code{font-family:ui-monospace,"DejaVu Sans Mono",monospace;font-size:12.5px}
footer{color:var(--muted);font-size:12px;margin-top:24px}
)";

// Hover: the values of every line at the second under the pointer, from the chart's data-rows.
constexpr const char* kScript = R"(
(function () {
  document.querySelectorAll('svg[data-rows]').forEach(function (svg) {
    var d = JSON.parse(svg.getAttribute('data-rows'));
    var fig = svg.closest('figure'), tip = fig.querySelector('.tip');
    var cursor = svg.querySelector('.cursor');
    var names = fig.querySelectorAll('.legend li');
    var width = svg.viewBox.baseVal.width;
    svg.addEventListener('mousemove', function (e) {
      var box = svg.getBoundingClientRect(), x = (e.clientX - box.left) / box.width * width;
      var at = 0;
      for (var i = 1; i < d.x.length; i++)
        if (Math.abs(d.x[i] - x) < Math.abs(d.x[at] - x)) at = i;
      cursor.setAttribute('x1', d.x[at]);
      cursor.setAttribute('x2', d.x[at]);
      cursor.style.visibility = 'visible';
      tip.textContent = '';
      var head = document.createElement('b');
      head.textContent = d.t[at];
      tip.appendChild(head);
      d.v.forEach(function (values, s) {
        var row = document.createElement('div');
        var sw = names[s].querySelector('.swatch').cloneNode();
        row.appendChild(sw);
        row.appendChild(document.createTextNode(names[s].textContent + ': '));
        var v = document.createElement('span');
        v.textContent = values[at];
        row.appendChild(v);
        tip.appendChild(row);
      });
      tip.hidden = false;
      var figBox = fig.getBoundingClientRect(), left = e.clientX - figBox.left + 14;
      if (left + tip.offsetWidth > figBox.width) left = e.clientX - figBox.left - tip.offsetWidth - 14;
      tip.style.left = left + 'px';
      tip.style.top = (e.clientY - figBox.top + 12) + 'px';
    });
    svg.addEventListener('mouseleave', function () {
      tip.hidden = true;
      cursor.style.visibility = 'hidden';
    });
  });
  document.documentElement.setAttribute('data-ready', '1');
})();
)";

}  // namespace

std::string renderHtml(const Report& r, const HtmlOptions& o) {
  const Buckets b(r.timeline.size());
  const bool thresholdsPassed = std::all_of(r.thresholds.begin(), r.thresholds.end(),
                                            [](const ThresholdResult& t) { return t.passed; });
  const bool verdict = r.passed() && thresholdsPassed;
  const std::string title = escape(o.title);
  const std::string noTimeline = "no samples: the report has no per-second timeline";

  std::string out;
  out.reserve(256 * 1024);
  out +=
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src "
      "'unsafe-inline'; script-src 'unsafe-inline'; img-src data:\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
      title + "</title>\n<style>" + kStyle + "</style></head>\n<body><main>\n";

  out += "<header><h1>" + title + "</h1><span class=\"badge " + (verdict ? "pass" : "fail") +
         "\">" + (verdict ? "PASS" : "FAIL") + (r.interrupted ? " (interrupted)" : "") +
         "</span><span class=\"sub\">";
  if (r.runs.size() == 1 && !r.runs[0].started.empty())
    out +=
        escape(r.runs[0].started) + (r.runs[0].host.empty() ? "" : " on " + escape(r.runs[0].host));
  else if (r.runs.size() > 1)
    out += std::to_string(r.runs.size()) + " runs merged";
  out += "</span></header>\n";

  summary(out, r, verdict);
  thresholds(out, r);

  out += "<section><h2>Latency over time</h2>";
  if (b.step > 1)
    out += "<p class=\"note\">Each point covers " + std::to_string(b.step) +
           " seconds: percentiles of all their samples together.</p>";
  out += "<div class=\"grid2\">\n";
  // Relays first: what a user waits for; then the steps in the order a session meets them.
  std::vector<size_t> order = {kRelayLatency, kChatLatency};
  for (size_t l = 0; l < kSteps; ++l) order.push_back(l);
  for (size_t l : order) {
    Chart c = latencyChart(r, b, l, o);
    if (r.timeline.empty()) c.note = noTimeline;
    drawChart(out, c);
  }
  out += "</div></section>\n";

  out += "<section><h2>Throughput</h2>\n";
  {
    Chart c = timeChart(
        r, b, {"moves sent", "lines sent", "relays received", "lines received"}, "per second",
        [](const Report& rep, size_t s, size_t begin, size_t end) {
          return meanRate(rep, begin, end, [s](const Interval& i) {
            return s == 0   ? i.movesSent
                   : s == 1 ? i.linesSent
                   : s == 2 ? i.relays
                            : i.linesReceived;
          });
        },
        perSecond);
    c.id = "chart-throughput", c.title = "Sends and receipts per second", c.wide = true;
    if (r.timeline.empty()) c.note = noTimeline;
    drawChart(out, c);
  }
  {
    // Gauges at their highest within a bucket; completed and failed as running totals.
    Chart c = timeChart(
        r, b, {"connecting", "in world", "completed (total)", "failed (total)"}, "sessions",
        [](const Report& rep, size_t s, size_t begin, size_t end) {
          double v = 0;
          if (s < 2) {
            for (size_t i = begin; i < end; ++i)
              v = std::max(v, static_cast<double>(s == 0 ? rep.timeline[i].connecting
                                                         : rep.timeline[i].inWorld));
          } else {
            for (size_t i = 0; i < end; ++i)
              v += static_cast<double>(s == 2 ? rep.timeline[i].completed : rep.timeline[i].failed);
          }
          return v;
        },
        sessionsText);
    c.id = "chart-sessions", c.title = "Sessions", c.wide = true;
    if (r.timeline.empty()) c.note = noTimeline;
    drawChart(out, c);
  }
  out += "</section>\n";

  out += "<section><h2>Latency distribution</h2>\n";
  drawChart(out, distribution(r));
  latencyTable(out, r, o);
  out += "</section>\n";

  out += "<section><h2>Errors</h2>\n";
  {
    std::vector<std::pair<std::string, uint64_t>> kinds(r.errors.begin(), r.errors.end());
    std::stable_sort(kinds.begin(), kinds.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    std::vector<std::string> names;
    for (size_t k = 0; k < kinds.size() && k < kMaxErrorLines; ++k) names.push_back(kinds[k].first);
    const size_t others = kinds.size() - names.size();
    if (others) names.push_back("other kinds (" + std::to_string(others) + ")");
    Chart c = timeChart(
        r, b, names, "errors per second",
        [&](const Report& rep, size_t s, size_t begin, size_t end) {
          return meanRate(rep, begin, end, [&](const Interval& i) {
            uint64_t n = 0;
            if (s < kMaxErrorLines && s < kinds.size()) {
              const auto at = i.errors.find(kinds[s].first);
              return at == i.errors.end() ? n : at->second;
            }
            for (size_t k = kMaxErrorLines; k < kinds.size(); ++k) {
              const auto at = i.errors.find(kinds[k].first);
              if (at != i.errors.end()) n += at->second;
            }
            return n;
          });
        },
        perSecond);
    c.id = "chart-errors", c.title = "Errors by kind over time", c.wide = true;
    if (r.timeline.empty() && !kinds.empty()) c.note = noTimeline;
    if (kinds.empty()) c.series.clear(), c.note = "no errors";
    drawChart(out, c);
    errorTable(out, kinds);
  }
  out += "</section>\n";

  runs(out, r);
  out += "<footer>Drawn by scoutswarm; the page loads nothing from the network.";
  if (b.step > 1)
    out += " Charts over time merge every " + std::to_string(b.step) + " seconds into one point.";
  out += "</footer>\n</main>\n<script>" + std::string(kScript) + "</script>\n</body></html>\n";
  return out;
}

}  // namespace scoutswarm
