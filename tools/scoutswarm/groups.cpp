#include "scoutswarm/groups.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "common/text.hpp"

namespace scoutswarm {

using json = nlohmann::ordered_json;

namespace {

const json& member(const json& j, const char* key, const std::string& at) {
  if (!j.is_object() || !j.contains(key)) throw std::runtime_error(at + "." + key + ": missing");
  return j.at(key);
}

std::string millis(uint64_t micros) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(micros) / 1000.0);
  return buf;
}

json stepsJson(const std::map<std::string, Histogram>& steps) {
  json all = json::object();
  for (const auto& [step, h] : steps) all[step] = reportio::histogramJson(h);
  return all;
}

}  // namespace

json groupsJson(const std::vector<GroupReport>& groups) {
  json all = json::object();
  for (const GroupReport& g : groups) {
    json one = {
        {"sessions", {{"planned", g.planned}, {"completed", g.completed}, {"failed", g.failed}}},
        {"sent", g.sent}};
    if (!g.steps.empty()) one["steps"] = stepsJson(g.steps);  // none: not known by group
    one["relay"] = reportio::histogramJson(g.relay);
    one["chat"] = reportio::histogramJson(g.chat);
    all[veltra::tools::validUtf8(g.name)] = std::move(one);
  }
  return all;
}

std::vector<GroupReport> groupsFrom(const json& j, const GroupTotals& totals) {
  if (!j.is_object()) throw std::runtime_error("groups: not an object");
  std::vector<GroupReport> groups;
  GroupTotals sum{};
  std::map<std::string, uint64_t> stepSums;
  bool withSteps = false;
  for (const auto& [name, g] : j.items()) {
    const std::string at = "groups." + name;
    GroupReport r;
    r.name = name;
    const json& s = member(g, "sessions", at);
    r.planned =
        reportio::countFrom(member(s, "planned", at + ".sessions"), at + ".sessions.planned");
    r.completed =
        reportio::countFrom(member(s, "completed", at + ".sessions"), at + ".sessions.completed");
    r.failed = reportio::countFrom(member(s, "failed", at + ".sessions"), at + ".sessions.failed");
    if (r.completed > r.planned || r.failed > r.planned - r.completed)
      throw std::runtime_error(at +
                               ".sessions.failed: completed and failed sessions are more "
                               "than the planned");
    const json& sent = member(g, "sent", at);
    if (!sent.is_object()) throw std::runtime_error(at + ".sent: not an object");
    for (const auto& [activity, n] : sent.items())
      r.sent[activity] = reportio::countFrom(n, at + ".sent." + activity);
    // Reports written before groups had steps, and merges with them, have none.
    if (g.contains("steps")) {
      const json& steps = g.at("steps");
      if (!steps.is_object()) throw std::runtime_error(at + ".steps: not an object");
      for (const auto& [step, h] : steps.items()) {
        if (!totals.steps.count(step))
          throw std::runtime_error(at + ".steps." + step + ": unknown");
        r.steps[step] = reportio::histogramFrom(h, at + ".steps." + step);
        reportio::add(stepSums[step], r.steps[step].count(), at + ".steps." + step);
      }
      withSteps = true;
    }
    r.relay = reportio::histogramFrom(member(g, "relay", at), at + ".relay");
    r.chat = reportio::histogramFrom(member(g, "chat", at), at + ".chat");
    reportio::add(sum.planned, r.planned, at), reportio::add(sum.completed, r.completed, at);
    reportio::add(sum.failed, r.failed, at), reportio::add(sum.relays, r.relay.count(), at);
    reportio::add(sum.lines, r.chat.count(), at);
    groups.push_back(std::move(r));
  }
  // A run's groups hold every session and every receipt; a report without groups holds none.
  if (!groups.empty()) {
    const std::pair<uint64_t, uint64_t> pairs[] = {{sum.planned, totals.planned},
                                                   {sum.completed, totals.completed},
                                                   {sum.failed, totals.failed},
                                                   {sum.relays, totals.relays},
                                                   {sum.lines, totals.lines}};
    const char* names[] = {"planned sessions", "completed sessions", "failed sessions", "relays",
                           "chat lines received"};
    for (size_t i = 0; i < std::size(pairs); ++i)
      if (pairs[i].first != pairs[i].second)
        throw std::runtime_error(std::string("groups: their ") + names[i] + " add up to " +
                                 std::to_string(pairs[i].first) + ", not the total " +
                                 std::to_string(pairs[i].second));
  }
  if (withSteps)
    for (const auto& [step, n] : totals.steps)
      if (stepSums[step] != n)
        throw std::runtime_error("groups: their " + step + " latencies add up to " +
                                 std::to_string(stepSums[step]) + ", not the total " +
                                 std::to_string(n));
  return groups;
}

void mergeGroups(std::vector<GroupReport>& into, const std::vector<GroupReport>& more) {
  for (const GroupReport& g : more) {
    auto it = std::find_if(into.begin(), into.end(),
                           [&](const GroupReport& x) { return x.name == g.name; });
    if (it == into.end()) {
      it = into.insert(into.end(), GroupReport());
      it->name = g.name;
    }
    const std::string at = "groups." + g.name;
    reportio::add(it->planned, g.planned, at + ".sessions.planned");
    reportio::add(it->completed, g.completed, at + ".sessions.completed");
    reportio::add(it->failed, g.failed, at + ".sessions.failed");
    for (const auto& [activity, n] : g.sent)
      reportio::add(it->sent[activity], n, at + ".sent." + activity);
    uint64_t relays = it->relay.count(), lines = it->chat.count();
    reportio::add(relays, g.relay.count(), at + ".relay.count");
    reportio::add(lines, g.chat.count(), at + ".chat.count");
    for (const auto& [step, h] : g.steps) {
      uint64_t n = it->steps[step].count();
      reportio::add(n, h.count(), at + ".steps." + step + ".count");
      it->steps[step].merge(h);
    }
    it->relay.merge(g.relay), it->chat.merge(g.chat);
  }
}

void printGroups(std::ostream& out, const std::vector<GroupReport>& groups) {
  if (groups.size() < 2) return;
  std::vector<std::string> activities;  // every group's, in name order
  for (const GroupReport& g : groups)
    for (const auto& [activity, n] : g.sent)
      if (std::find(activities.begin(), activities.end(), activity) == activities.end())
        activities.push_back(activity);
  std::sort(activities.begin(), activities.end());
  char buf[64];
  std::snprintf(buf, sizeof buf, "\n%-16s %8s %8s %8s", "group", "planned", "done", "failed");
  out << buf;
  for (const std::string& a : activities) {
    std::snprintf(buf, sizeof buf, " %8.8s", a.c_str());
    out << buf;
  }
  std::snprintf(buf, sizeof buf, " %10s %10s %10s %10s\n", "login p99", "relay p50", "relay p99",
                "chat p99");
  out << buf;
  for (const GroupReport& g : groups) {
    // Names come from a file: escaped, so none can forge a line.
    const std::string name = veltra::tools::escapeText(g.name);
    std::snprintf(buf, sizeof buf, "%-16s %8" PRIu64 " %8" PRIu64 " %8" PRIu64, name.c_str(),
                  g.planned, g.completed, g.failed);
    out << buf;
    for (const std::string& a : activities) {
      const auto n = g.sent.find(a);
      std::snprintf(buf, sizeof buf, " %8" PRIu64, n == g.sent.end() ? 0 : n->second);
      out << buf;
    }
    const auto latency = [](const Histogram& h, double p) {
      return h.count() ? millis(h.percentile(p)) : std::string("-");
    };
    const auto login = g.steps.find("SESSINIT");
    std::snprintf(buf, sizeof buf, " %10s %10s %10s %10s\n",
                  login == g.steps.end() ? "-" : latency(login->second, 99).c_str(),
                  latency(g.relay, 50).c_str(), latency(g.relay, 99).c_str(),
                  latency(g.chat, 99).c_str());
    out << buf;
  }
}

}  // namespace scoutswarm
