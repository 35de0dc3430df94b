#include "scoutswarm/report.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "common/text.hpp"
#include "veltra/proto/constants.hpp"
#include "veltra/proto/version.hpp"

namespace scoutswarm {

using nlohmann::json;

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

void Report::merge(const Report& o) {
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
    addHistogram(steps[s], o.steps[s], std::string("steps.") + kStepNames[s]);
  addHistogram(relay, o.relay, "relay"), addHistogram(chat, o.chat, "chat");
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
  mergeGroups(groups, o.groups);
}

std::string Report::toJson() const {
  json j = {{"tool", "scoutswarm"},
            {"version", veltra::proto::kVersion},
            {"runs", json::array()},
            {"seconds", seconds}};
  j["sessions"] = {{"planned", planned},
                   {"completed", completed},
                   {"failed", failed},
                   {"interrupted", interrupted}};
  json st = json::object();
  for (size_t s = 0; s < kSteps; ++s) st[kStepNames[s]] = histogramJson(steps[s]);
  j["steps"] = st;
  j["relay"] = histogramJson(relay);
  j["chat"] = histogramJson(chat);
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
  // Text from the wire or the command line reaches JSON as valid UTF-8; kinds that
  // differ only in invalid bytes become one.
  for (const RunInfo& run : runs)
    for (const auto& [name, value] : run.parameters)
      j["runs"].push_back(veltra::tools::validUtf8(value));
  std::map<std::string, uint64_t> kinds;
  for (const auto& [kind, count] : errors) kinds[veltra::tools::validUtf8(kind)] += count;
  j["errors"] = kinds;
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
  Report r;
  for (std::string& text : j["runs"].as<std::vector<std::string>>("a list of texts")) {
    RunInfo run;
    run.parameters = {{"settings", std::move(text)}};
    r.runs.push_back(std::move(run));
  }
  r.seconds = j["seconds"].as<double>("a number");
  if (!(r.seconds >= 0)) j["seconds"].refuse("negative");
  const Field s = j["sessions"];
  r.planned = s["planned"].count(), r.completed = s["completed"].count();
  r.failed = s["failed"].count();
  if (r.completed > r.planned || r.failed > r.planned - r.completed)
    s["failed"].refuse("completed and failed sessions are more than the planned");
  r.interrupted = s["interrupted"].as<bool>("true or false");
  for (size_t i = 0; i < kSteps; ++i) r.steps[i] = histogramFrom(j["steps"][kStepNames[i]]);
  r.relay = histogramFrom(j["relay"]);
  r.chat = histogramFrom(j["chat"]);
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
  const Field errors = j["errors"];
  if (!errors.value.is_object()) errors.refuse("not an object");
  uint64_t all = 0;
  for (const auto& [kind, count] : errors.value.items()) {
    const Field f{count, "errors." + kind};
    add(all, f.count(), f.name);
    r.errors[kind] = f.count();
  }
  r.groups = groupsFrom(j["groups"].value,
                        {r.planned, r.completed, r.failed, r.relay.count(), r.chat.count()});
  return r;
}

void Report::printSummary(std::ostream& out) const {
  char buf[200];
  // Run lines and error kinds hold text from the wire, the command line or a file: escaped,
  // so none can forge a line or reach the terminal as an escape.
  for (const RunInfo& run : runs)
    for (const auto& [name, value] : run.parameters)
      out << "run: " << veltra::tools::escapeText(value) << "\n";
  std::snprintf(buf, sizeof buf, "\n%-16s %10s %10s %10s %10s %10s %10s\n", "latency (ms)", "count",
                "p50", "p90", "p99", "p99.9", "max");
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
  out << "verdict: " << (passed() ? "PASS" : "FAIL") << (interrupted ? " (interrupted)" : "")
      << ": " << completed << " of " << planned << " sessions completed, " << errorCount()
      << " error(s)\n";
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
