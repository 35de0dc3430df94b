#include "scoutswarm/report.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "common/text.hpp"
#include "scoutswarm/thresholds.hpp"
#include "veltra/proto/constants.hpp"
#include "veltra/proto/version.hpp"

namespace scoutswarm {

using json = nlohmann::ordered_json;

namespace {

json histogramJson(const Histogram& h) {
  json buckets = json::array();
  for (size_t i = 0; i < Histogram::kBuckets; ++i)
    if (h.bucketCount(i)) buckets.push_back({Histogram::lowest(i), h.bucketCount(i)});
  return {{"unit", "us"},
          {"count", h.count()},
          {"min", h.min()},
          {"p50", h.percentile(50)},
          {"p90", h.percentile(90)},
          {"p99", h.percentile(99)},
          {"p99.9", h.percentile(99.9)},
          {"max", h.max()},
          {"buckets", buckets}};
}

// A field of a report being read, with its name for complaints: every value is checked
// before it is believed, so a report that does not add up is refused, naming the field.
struct Field {
  const json& value;
  std::string name;

  [[noreturn]] void refuse(const std::string& why) const {
    throw std::runtime_error(name + ": " + why);
  }
  Field operator[](const char* key) const {
    const std::string sub = name.empty() ? key : name + "." + key;
    if (!value.is_object() || !value.contains(key)) throw std::runtime_error(sub + ": missing");
    return {value.at(key), sub};
  }
  Field at(size_t i) const {
    if (!value.is_array() || i >= value.size()) refuse("missing element " + std::to_string(i));
    return {value.at(i), name + "[" + std::to_string(i) + "]"};
  }
  std::vector<Field> elements() const {
    if (!value.is_array()) refuse("not an array");
    std::vector<Field> all;
    for (size_t i = 0; i < value.size(); ++i) all.push_back(at(i));
    return all;
  }
  uint64_t count() const {
    if (!value.is_number_unsigned() || value.get<uint64_t>() > Report::kMaxCount)
      refuse("not a count (a whole number from 0 to 2^53)");
    return value.get<uint64_t>();
  }
  template <typename T>
  T as(const char* what) const {
    try {
      return value.get<T>();
    } catch (const json::exception&) {
      refuse(std::string("not ") + what);
    }
  }
};

// The percentiles in a report are for reading only; the buckets are the data, and the
// count and the exact extremes must agree with them.
Histogram histogramFrom(const Field& f) {
  Histogram h;
  uint64_t sum = 0;
  size_t first = Histogram::kBuckets, last = 0;
  for (const Field& b : f["buckets"].elements()) {
    const size_t i = Histogram::bucketOf(b.at(0).count());
    const uint64_t n = b.at(1).count();
    if ((sum += n) > Report::kMaxCount) b.at(1).refuse("the buckets add up to more than 2^53");
    h.addBucket(i, n);
    if (n) first = std::min(first, i), last = std::max(last, i);
  }
  const Field count = f["count"], min = f["min"], max = f["max"];
  if (count.count() != sum) count.refuse("not the sum of the buckets");
  if (min.count() > max.count()) min.refuse("above the maximum");
  if (sum == 0 && max.count() != 0) max.refuse("not 0 with no values");
  if (sum && Histogram::bucketOf(min.count()) != first) min.refuse("outside the buckets");
  if (sum && (Histogram::bucketOf(max.count()) != last || max.count() > Histogram::kMaxValue))
    max.refuse("outside the buckets");
  h.setExtremes(min.count(), max.count());
  return h;
}

// Adds a count to a total, refusing one that would leave the range of counts.
void add(uint64_t& total, uint64_t n, const std::string& field) {
  if (n > Report::kMaxCount - std::min(total, Report::kMaxCount))
    throw std::runtime_error(field + ": the total is above 2^53");
  total += n;
}

std::string millis(uint64_t micros) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(micros) / 1000.0);
  return buf;
}

void histogramRow(std::ostream& out, const char* name, const Histogram& h) {
  char buf[160];
  if (h.count() == 0) {
    std::snprintf(buf, sizeof buf, "%-16s %10d %10s\n", name, 0, "-");
  } else {
    std::snprintf(buf, sizeof buf, "%-16s %10" PRIu64 " %10s %10s %10s %10s %10s\n", name,
                  h.count(), millis(h.percentile(50)).c_str(), millis(h.percentile(90)).c_str(),
                  millis(h.percentile(99)).c_str(), millis(h.percentile(99.9)).c_str(),
                  millis(h.max()).c_str());
  }
  out << buf;
}

std::string rate(uint64_t n, double seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", seconds > 0 ? static_cast<double>(n) / seconds : 0.0);
  return buf;
}

// Per-second histograms: the buckets in use as [lowest value, count], and the exact maximum.
json sparseJson(const SparseHistogram& h) {
  json buckets = json::array();
  for (const auto& [index, count] : h.buckets) buckets.push_back({Histogram::lowest(index), count});
  return {{"max", h.max}, {"buckets", buckets}};
}

SparseHistogram sparseFrom(const Field& f) {
  SparseHistogram h;
  for (const Field& b : f["buckets"].elements()) {
    const auto i = static_cast<uint32_t>(Histogram::bucketOf(b.at(0).count()));
    const uint64_t n = b.at(1).count();
    if (n == 0 || (!h.buckets.empty() && h.buckets.back().first >= i))
      b.refuse("not a bucket in use, in ascending order");
    h.buckets.emplace_back(i, n);
  }
  h.max = f["max"].count();
  if (h.buckets.empty() ? h.max != 0 : Histogram::bucketOf(h.max) != h.buckets.back().first)
    f["max"].refuse("outside the buckets");
  return h;
}

// Parameters are typed in JSON: those the table calls numbers or flags are written as JSON
// numbers or booleans when the text is exactly how JSON writes that value (so it reads back
// as the same text), everything else as a string.
enum class ParamType { kText, kNumber, kFlag };
ParamType typeOf(const std::string& name) {
  static const std::map<std::string, ParamType> kTypes = {
      {"sessions", ParamType::kNumber},  {"rooms", ParamType::kNumber},
      {"ramp", ParamType::kNumber},      {"duration", ParamType::kNumber},
      {"moveRate", ParamType::kNumber},  {"chatRate", ParamType::kNumber},
      {"timeoutMs", ParamType::kNumber}, {"abortOnFail", ParamType::kFlag}};
  const auto it = kTypes.find(name);
  return it == kTypes.end() ? ParamType::kText : it->second;
}

json parameterJson(const std::string& name, const std::string& value) {
  const ParamType type = typeOf(name);
  if (type != ParamType::kText) {
    const json v = json::parse(value, nullptr, false);
    if (!v.is_discarded() && (type == ParamType::kNumber ? v.is_number() : v.is_boolean()) &&
        v.dump() == value)
      return v;
  }
  return veltra::tools::validUtf8(value);
}

std::string parameterFrom(const Field& f) {
  if (f.value.is_string()) return f.value.get<std::string>();
  if (f.value.is_number() || f.value.is_boolean()) return f.value.dump();
  f.refuse("not a text, number or flag");
}

json runJson(const RunInfo& run) {
  json params = json::object();
  for (const auto& [name, value] : run.parameters)
    params[veltra::tools::validUtf8(name)] = parameterJson(name, value);
  return {{"id", veltra::tools::validUtf8(run.id)},
          {"host", veltra::tools::validUtf8(run.host)},
          {"started", run.started},
          {"ended", run.ended},
          {"seconds", run.seconds},
          {"parameters", params}};
}

RunInfo runFrom(const Field& f) {
  RunInfo run;
  run.id = f["id"].as<std::string>("a text");
  if (run.id.empty()) f["id"].refuse("empty");
  run.host = f["host"].as<std::string>("a text");
  run.started = f["started"].as<std::string>("a text");
  run.ended = f["ended"].as<std::string>("a text");
  run.seconds = f["seconds"].as<double>("a number");
  if (!(run.seconds >= 0)) f["seconds"].refuse("negative");
  const Field params = f["parameters"];
  if (!params.value.is_object()) params.refuse("not an object");
  for (const auto& [name, value] : params.value.items())
    run.parameters.emplace_back(name, parameterFrom({value, params.name + "." + name}));
  return run;
}

json errorsJson(const std::map<std::string, uint64_t>& errors) {
  // Kinds hold text from the wire: valid UTF-8 in JSON, and kinds that differ only in
  // invalid bytes become one.
  std::map<std::string, uint64_t> kinds;
  for (const auto& [kind, count] : errors) kinds[veltra::tools::validUtf8(kind)] += count;
  return kinds;
}

std::map<std::string, uint64_t> errorsFrom(const Field& f) {
  if (!f.value.is_object()) f.refuse("not an object");
  std::map<std::string, uint64_t> errors;
  uint64_t all = 0;
  for (const auto& [kind, count] : f.value.items()) {
    const Field c{count, f.name + "." + kind};
    add(all, c.count(), c.name);
    errors[kind] = c.count();
  }
  return errors;
}

json intervalJson(const Interval& in) {
  json latency = json::object();
  for (size_t i = 0; i < kLatencies; ++i)
    if (!in.latency[i].buckets.empty()) latency[kLatencyNames[i]] = sparseJson(in.latency[i]);
  return {{"connecting", in.connecting},
          {"inWorld", in.inWorld},
          {"started", in.started},
          {"completed", in.completed},
          {"failed", in.failed},
          {"movesSent", in.movesSent},
          {"linesSent", in.linesSent},
          {"relays", in.relays},
          {"linesReceived", in.linesReceived},
          {"latency", latency},
          {"errors", errorsJson(in.errors)}};
}

Interval intervalFrom(const Field& f) {
  Interval in;
  const auto gauge = [](const Field& g) {
    if (g.count() > UINT32_MAX) g.refuse("above 2^32");
    return static_cast<uint32_t>(g.count());
  };
  in.connecting = gauge(f["connecting"]), in.inWorld = gauge(f["inWorld"]);
  in.started = f["started"].count(), in.completed = f["completed"].count();
  in.failed = f["failed"].count(), in.movesSent = f["movesSent"].count();
  in.linesSent = f["linesSent"].count(), in.relays = f["relays"].count();
  in.linesReceived = f["linesReceived"].count();
  const Field latency = f["latency"];
  if (!latency.value.is_object()) latency.refuse("not an object");
  for (const auto& [name, value] : latency.value.items()) {
    const auto* at = std::find(kLatencyNames.begin(), kLatencyNames.end(), name);
    if (at == kLatencyNames.end()) latency.refuse("unknown latency " + name);
    in.latency[static_cast<size_t>(at - kLatencyNames.begin())] =
        sparseFrom({value, latency.name + "." + name});
  }
  in.errors = errorsFrom(f["errors"]);
  return in;
}

json thresholdJson(const ThresholdResult& t) {
  return {{"expression", veltra::tools::validUtf8(t.expression)},
          {"metric", veltra::tools::validUtf8(t.metric)},
          {"observed", t.hasSamples ? json(t.observed) : json(nullptr)},
          {"passed", t.passed}};
}

ThresholdResult thresholdFrom(const Field& f) {
  ThresholdResult t;
  t.expression = f["expression"].as<std::string>("a text");
  t.metric = f["metric"].as<std::string>("a text");
  const Field observed = f["observed"];
  t.hasSamples = !observed.value.is_null();
  if (t.hasSamples) t.observed = observed.as<double>("a number or null");
  t.passed = f["passed"].as<bool>("true or false");
  if (t.passed && !t.hasSamples) f["passed"].refuse("true without samples");
  return t;
}

// Counts of one second added: gauges too, as merged runs ran side by side.
void addInterval(Interval& to, const Interval& from, const std::string& field) {
  const auto gauge = [&](uint32_t& g, uint32_t n) {
    if (n > UINT32_MAX - g) throw std::runtime_error(field + ": a gauge above 2^32");
    g += n;
  };
  gauge(to.connecting, from.connecting), gauge(to.inWorld, from.inWorld);
  add(to.started, from.started, field), add(to.completed, from.completed, field);
  add(to.failed, from.failed, field), add(to.movesSent, from.movesSent, field);
  add(to.linesSent, from.linesSent, field), add(to.relays, from.relays, field);
  add(to.linesReceived, from.linesReceived, field);
  for (size_t i = 0; i < kLatencies; ++i) to.latency[i].merge(from.latency[i]);
  for (const auto& [kind, count] : from.errors) add(to.errors[kind], count, field + ".errors");
}

}  // namespace

json reportio::histogramJson(const Histogram& h) { return scoutswarm::histogramJson(h); }
Histogram reportio::histogramFrom(const json& j, const std::string& field) {
  return scoutswarm::histogramFrom(Field{j, field});
}
uint64_t reportio::countFrom(const json& j, const std::string& field) {
  return Field{j, field}.count();
}
void reportio::add(uint64_t& total, uint64_t n, const std::string& field) {
  scoutswarm::add(total, n, field);
}

uint64_t Report::errorCount() const {
  uint64_t n = 0;
  for (const auto& [kind, count] : errors) n += count;
  return n;
}

bool Report::passed() const {
  if (interrupted) return false;
  if (!thresholds.empty())
    return std::all_of(thresholds.begin(), thresholds.end(),
                       [](const ThresholdResult& t) { return t.passed; });
  return completed == planned && errorCount() == 0;
}

namespace {

// Whether a report's groups hold every step latency of its totals (one written before groups
// had steps holds none of them).
bool groupStepsWhole(const Report& r) {
  for (size_t i = 0; i < kSteps; ++i) {
    uint64_t sum = 0;
    for (const GroupReport& g : r.groups)
      if (const auto it = g.steps.find(kStepNames[i]); it != g.steps.end())
        sum += it->second.count();
    if (sum != r.steps[i].count()) return false;
  }
  return true;
}

}  // namespace

void Report::merge(const Report& o) {
  const bool stepsByGroup = groupStepsWhole(*this) && groupStepsWhole(o);
  for (const RunInfo& run : o.runs)
    for (const RunInfo& seen : runs)
      if (seen.id == run.id)
        throw std::runtime_error("run " + veltra::tools::validUtf8(run.id) +
                                 " is already in the merge");
  runs.insert(runs.end(), o.runs.begin(), o.runs.end());
  seconds = std::max(seconds, o.seconds);
  add(planned, o.planned, "sessions.planned"), add(completed, o.completed, "sessions.completed");
  add(failed, o.failed, "sessions.failed");
  interrupted = interrupted || o.interrupted;
  const auto addHistogram = [](Histogram& h, const Histogram& more, const std::string& field) {
    uint64_t n = h.count();
    add(n, more.count(), field + ".count");
    h.merge(more);
  };
  for (size_t s = 0; s < kSteps; ++s)
    addHistogram(steps[s], o.steps[s], std::string("latency.") + kLatencyNames[s]);
  addHistogram(relay, o.relay, "latency.relay"), addHistogram(chat, o.chat, "latency.chat");
  add(movesSent, o.movesSent, "moves.sent"), add(linesSent, o.linesSent, "lines.sent");
  add(foreignMoves, o.foreignMoves, "moves.foreign");
  add(foreignLines, o.foreignLines, "lines.foreign");
  for (size_t c = 0; c < 256; ++c) {
    const std::string field = "commands: code " + std::to_string(c);
    add(framesSent[c], o.framesSent[c], field);
    add(framesReceived[c], o.framesReceived[c], field);
    add(commandsReceived[c], o.commandsReceived[c], field);
  }
  uint64_t all = errorCount();
  for (const auto& [kind, count] : o.errors) add(all, count, "errors"), errors[kind] += count;
  if (timeline.size() < o.timeline.size()) timeline.resize(o.timeline.size());
  for (size_t i = 0; i < o.timeline.size(); ++i)
    addInterval(timeline[i], o.timeline[i], "timeline[" + std::to_string(i) + "]");
  for (const ThresholdResult& t : o.thresholds)
    if (std::none_of(thresholds.begin(), thresholds.end(),
                     [&](const ThresholdResult& have) { return have.expression == t.expression; }))
      thresholds.push_back(t);
  mergeGroups(groups, o.groups);
  // Steps by group only where both had them all: the groups then add up to the totals.
  if (!stepsByGroup)
    for (GroupReport& g : groups) g.steps.clear();
}

std::string Report::toJson() const {
  json j = {{"tool", "scoutswarm"},
            {"schema", kSchema},
            {"version", veltra::proto::kVersion},
            {"verdict", passed() ? "pass" : "fail"},
            {"runs", json::array()},
            {"seconds", seconds}};
  for (const RunInfo& run : runs) j["runs"].push_back(runJson(run));
  j["sessions"] = {{"planned", planned},
                   {"completed", completed},
                   {"failed", failed},
                   {"interrupted", interrupted}};
  json lat = json::object();
  for (size_t i = 0; i < kLatencies; ++i) lat[kLatencyNames[i]] = histogramJson(latency(i));
  j["latency"] = lat;
  j["moves"] = {{"sent", movesSent}, {"foreign", foreignMoves}};
  j["lines"] = {{"sent", linesSent}, {"foreign", foreignLines}};
  json cmds = json::array();
  for (size_t c = 0; c < 256; ++c)
    if (framesSent[c] || framesReceived[c] || commandsReceived[c])
      cmds.push_back({{"code", c},
                      {"name", veltra::proto::commandName(static_cast<uint8_t>(c))},
                      {"framesSent", framesSent[c]},
                      {"framesReceived", framesReceived[c]},
                      {"commandsReceived", commandsReceived[c]}});
  j["commands"] = cmds;
  j["errors"] = errorsJson(errors);
  j["thresholds"] = json::array();
  for (const ThresholdResult& t : thresholds) j["thresholds"].push_back(thresholdJson(t));
  j["timeline"] = json::array();
  for (const Interval& in : timeline) j["timeline"].push_back(intervalJson(in));
  j["groups"] = groupsJson(groups);
  return j.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}

Report Report::fromJson(const std::string& text) {
  json parsed;
  try {
    parsed = json::parse(text);
  } catch (const json::exception& e) {
    throw std::runtime_error(std::string("not a valid report: ") + e.what());
  }
  const Field j{parsed, ""};
  if (!parsed.is_object() || !parsed.contains("tool") || parsed["tool"] != "scoutswarm")
    throw std::runtime_error("not a scoutswarm report");
  if (!parsed.contains("schema"))
    throw std::runtime_error("schema: missing (a report of a scoutswarm before 0.4)");
  if (j["schema"].count() != kSchema)
    j["schema"].refuse("version " + parsed["schema"].dump() + ", this scoutswarm reads " +
                       std::to_string(kSchema));
  Report r;
  for (const Field& run : j["runs"].elements()) {
    RunInfo info = runFrom(run);
    for (const RunInfo& seen : r.runs)
      if (seen.id == info.id) run["id"].refuse("run " + info.id + " listed twice");
    r.runs.push_back(std::move(info));
  }
  r.seconds = j["seconds"].as<double>("a number");
  if (!(r.seconds >= 0)) j["seconds"].refuse("negative");
  const Field s = j["sessions"];
  r.planned = s["planned"].count(), r.completed = s["completed"].count();
  r.failed = s["failed"].count();
  if (r.completed > r.planned || r.failed > r.planned - r.completed)
    s["failed"].refuse("completed and failed sessions are more than the planned");
  r.interrupted = s["interrupted"].as<bool>("true or false");
  const Field lat = j["latency"];
  for (size_t i = 0; i < kSteps; ++i) r.steps[i] = histogramFrom(lat[kLatencyNames[i]]);
  r.relay = histogramFrom(lat["relay"]);
  r.chat = histogramFrom(lat["chat"]);
  r.movesSent = j["moves"]["sent"].count(), r.foreignMoves = j["moves"]["foreign"].count();
  r.linesSent = j["lines"]["sent"].count(), r.foreignLines = j["lines"]["foreign"].count();
  for (const Field& c : j["commands"].elements()) {
    const uint64_t code = c["code"].count();
    if (code > 255 || r.framesSent[code] || r.framesReceived[code] || r.commandsReceived[code])
      c["code"].refuse("above 255, or twice");
    r.framesSent[code] = c["framesSent"].count();
    r.framesReceived[code] = c["framesReceived"].count();
    r.commandsReceived[code] = c["commandsReceived"].count();
  }
  r.errors = errorsFrom(j["errors"]);
  for (const Field& t : j["thresholds"].elements()) r.thresholds.push_back(thresholdFrom(t));
  for (const Field& in : j["timeline"].elements()) r.timeline.push_back(intervalFrom(in));
  GroupTotals totals{r.planned, r.completed, r.failed, r.relay.count(), r.chat.count(), {}};
  for (size_t i = 0; i < kSteps; ++i) totals.steps[kStepNames[i]] = r.steps[i].count();
  r.groups = groupsFrom(j["groups"].value, totals);
  const Field verdict = j["verdict"];
  if (verdict.as<std::string>("a text") != (r.passed() ? "pass" : "fail"))
    verdict.refuse("does not follow from the report");
  return r;
}

void Report::printSummary(std::ostream& out) const {
  char buf[200];
  // Run lines and error kinds hold text from the wire, the command line or a file: escaped,
  // so none can forge a line or reach the terminal as an escape.
  for (const RunInfo& run : runs) {
    out << "run " << veltra::tools::escapeText(run.id) << " on "
        << veltra::tools::escapeText(run.host) << ", " << veltra::tools::escapeText(run.started)
        << " to " << veltra::tools::escapeText(run.ended) << ":";
    for (const auto& [name, value] : run.parameters)
      out << " " << veltra::tools::escapeText(name) << "=" << veltra::tools::escapeText(value);
    out << "\n";
  }
  // Tables of nothing would bury the errors: a run where no session connected shows none.
  if (steps[kConnect].count() > 0) {
    std::snprintf(buf, sizeof buf, "\n%-16s %10s %10s %10s %10s %10s %10s\n", "latency (ms)",
                  "count", "p50", "p90", "p99", "p99.9", "max");
    out << buf;
    for (size_t s = 0; s < kSteps; ++s) histogramRow(out, kStepNames[s], steps[s]);
    histogramRow(out, "relay LONGLOC", relay);
    histogramRow(out, "relay TEXT", chat);

    std::snprintf(buf, sizeof buf, "\n%-16s %12s %12s %12s\n", "command", "frames sent",
                  "frames recv", "cmds recv");
    out << buf;
    for (size_t c = 0; c < 256; ++c) {
      if (!framesSent[c] && !framesReceived[c] && !commandsReceived[c]) continue;
      std::string name = veltra::proto::commandName(static_cast<uint8_t>(c));
      if (name == "UNKNOWN") name += "(" + std::to_string(c) + ")";
      std::snprintf(buf, sizeof buf, "%-16s %12" PRIu64 " %12" PRIu64 " %12" PRIu64 "\n",
                    name.c_str(), framesSent[c], framesReceived[c], commandsReceived[c]);
      out << buf;
    }
    printGroups(out, groups);
    out << "\nmoves sent " << movesSent << ", relayed " << relay.count() << " ("
        << rate(relay.count(), seconds) << "/s), foreign " << foreignMoves << "; lines sent "
        << linesSent << ", received " << chat.count() << ", foreign " << foreignLines << "\n";
  } else {
    out << "\nno session connected\n";
  }
  out << "errors:" << (errors.empty() ? " none\n" : "\n");
  for (const auto& [kind, count] : errors) {
    std::snprintf(buf, sizeof buf, "  %8" PRIu64 "  ", count);
    out << buf << veltra::tools::escapeText(kind) << "\n";
  }
  std::snprintf(buf, sizeof buf,
                "sessions: %" PRIu64 " planned, %" PRIu64 " completed, %" PRIu64
                " failed, %.1f s\n",
                planned, completed, failed, seconds);
  out << buf;
  size_t breached = 0;
  if (!thresholds.empty()) out << "thresholds:\n";
  for (const ThresholdResult& t : thresholds) {
    breached += !t.passed;
    out << (t.passed ? "  pass  " : "  FAIL  ") << veltra::tools::escapeText(t.expression) << ": "
        << (t.hasSamples ? "observed " + observedText(t) : "no samples") << "\n";
  }
  out << "verdict: " << (passed() ? "PASS" : "FAIL") << (interrupted ? " (interrupted)" : "")
      << ": " << completed << " of " << planned << " sessions completed, " << errorCount()
      << " error(s)";
  if (!thresholds.empty())
    out << ", " << breached << " of " << thresholds.size() << " threshold(s) breached";
  out << "\n";
}

SparseHistogram SparseHistogram::of(const Histogram& h) {
  SparseHistogram s;
  for (size_t i = 0; i < Histogram::kBuckets; ++i)
    if (h.bucketCount(i)) s.buckets.emplace_back(static_cast<uint32_t>(i), h.bucketCount(i));
  s.max = h.max();
  return s;
}

Histogram SparseHistogram::expand() const {
  Histogram h;
  for (const auto& [index, count] : buckets) h.addBucket(index, count);
  if (!buckets.empty()) h.setExtremes(Histogram::lowest(buckets.front().first), max);
  return h;
}

void SparseHistogram::merge(const SparseHistogram& other) {
  std::map<uint32_t, uint64_t> all(buckets.begin(), buckets.end());
  for (const auto& [index, count] : other.buckets) all[index] += count;
  buckets.assign(all.begin(), all.end());
  max = std::max(max, other.max);
}

}  // namespace scoutswarm
