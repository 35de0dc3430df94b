// A report's part per scenario group: sessions, the requests of each activity
// sent, the latencies of the members' own steps (connect, login...) and the
// relay and chat latencies of what they received.
// Groups merge by name, adding; a report read back must have groups that add
// up to its totals.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "scoutswarm/histogram.hpp"

namespace scoutswarm {

struct GroupReport {
  std::string name;
  uint64_t planned = 0, completed = 0, failed = 0;
  std::map<std::string, uint64_t> sent;    // activity name -> requests sent
  std::map<std::string, Histogram> steps;  // step name -> the members' latencies
  Histogram relay, chat;                   // moves and lines received by the group's members
  bool operator==(const GroupReport&) const = default;
};

// The totals a report's groups must add up to.
struct GroupTotals {
  uint64_t planned, completed, failed, relays, lines;
  std::map<std::string, uint64_t> steps;  // step name -> latencies measured
};

nlohmann::ordered_json groupsJson(const std::vector<GroupReport>& groups);
// Throws std::runtime_error naming the field ("groups.walkers.relay.count: ...").
std::vector<GroupReport> groupsFrom(const nlohmann::ordered_json& j, const GroupTotals& totals);
// Adds `more` by group name; groups new to `into` are appended.
void mergeGroups(std::vector<GroupReport>& into, const std::vector<GroupReport>& more);
// A compact table, one row per group, when there is more than one.
void printGroups(std::ostream& out, const std::vector<GroupReport>& groups);

// The report's own readers and writers, for its parts kept in other files.
namespace reportio {
nlohmann::ordered_json histogramJson(const Histogram& h);
Histogram histogramFrom(const nlohmann::ordered_json& j, const std::string& field);
uint64_t countFrom(const nlohmann::ordered_json& j, const std::string& field);
void add(uint64_t& total, uint64_t n, const std::string& field);
}  // namespace reportio

}  // namespace scoutswarm
