#include "scoutswarm/report.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>

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

// The percentiles in a report are for reading only; the buckets are the data.
Histogram histogramFrom(const json& j) {
  Histogram h;
  for (const json& b : j.at("buckets")) h.addBucket(Histogram::bucketOf(b.at(0)), b.at(1));
  if (h.count() != j.at("count").get<uint64_t>())
    throw std::runtime_error("histogram buckets do not add up to its count");
  h.setExtremes(j.at("min"), j.at("max"));
  return h;
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

uint64_t Report::errorCount() const {
  uint64_t n = 0;
  for (const auto& [kind, count] : errors) n += count;
  return n;
}

void Report::merge(const Report& o) {
  runs.insert(runs.end(), o.runs.begin(), o.runs.end());
  seconds = std::max(seconds, o.seconds);
  planned += o.planned, completed += o.completed, failed += o.failed;
  interrupted = interrupted || o.interrupted;
  for (size_t s = 0; s < kSteps; ++s) steps[s].merge(o.steps[s]);
  relay.merge(o.relay), chat.merge(o.chat);
  movesSent += o.movesSent, linesSent += o.linesSent;
  foreignMoves += o.foreignMoves, foreignLines += o.foreignLines;
  for (size_t c = 0; c < 256; ++c) {
    framesSent[c] += o.framesSent[c];
    framesReceived[c] += o.framesReceived[c];
    commandsReceived[c] += o.commandsReceived[c];
  }
  for (const auto& [kind, count] : o.errors) errors[kind] += count;
}

std::string Report::toJson() const {
  json j = {{"tool", "scoutswarm"},
            {"version", veltra::proto::kVersion},
            {"runs", runs},
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
  j["errors"] = errors;
  return j.dump(1) + "\n";
}

Report Report::fromJson(const std::string& text) {
  try {
    const json j = json::parse(text);
    if (j.value("tool", "") != "scoutswarm") throw std::runtime_error("not a scoutswarm report");
    Report r;
    r.runs = j.at("runs").get<std::vector<std::string>>();
    r.seconds = j.at("seconds");
    const json& s = j.at("sessions");
    r.planned = s.at("planned"), r.completed = s.at("completed"), r.failed = s.at("failed");
    r.interrupted = s.at("interrupted");
    for (size_t i = 0; i < kSteps; ++i) r.steps[i] = histogramFrom(j.at("steps").at(kStepNames[i]));
    r.relay = histogramFrom(j.at("relay"));
    r.chat = histogramFrom(j.at("chat"));
    r.movesSent = j.at("moves").at("sent"), r.foreignMoves = j.at("moves").at("foreign");
    r.linesSent = j.at("lines").at("sent"), r.foreignLines = j.at("lines").at("foreign");
    for (const json& c : j.at("commands")) {
      const size_t code = c.at("code");
      if (code > 255) throw std::runtime_error("command code above 255");
      r.framesSent[code] = c.at("framesSent");
      r.framesReceived[code] = c.at("framesReceived");
      r.commandsReceived[code] = c.at("commandsReceived");
    }
    r.errors = j.at("errors").get<std::map<std::string, uint64_t>>();
    return r;
  } catch (const json::exception& e) {
    throw std::runtime_error(std::string("not a valid report: ") + e.what());
  }
}

void Report::printSummary(std::ostream& out) const {
  char buf[200];
  for (const std::string& run : runs) out << "run: " << run << "\n";
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

  out << "\nmoves sent " << movesSent << ", relayed " << relay.count() << " ("
      << rate(relay.count(), seconds) << "/s), foreign " << foreignMoves << "; lines sent "
      << linesSent << ", received " << chat.count() << ", foreign " << foreignLines << "\n";
  out << "errors:" << (errors.empty() ? " none\n" : "\n");
  for (const auto& [kind, count] : errors) {
    std::snprintf(buf, sizeof buf, "  %8" PRIu64 "  ", count);
    out << buf << kind << "\n";
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

}  // namespace scoutswarm
