#include "scoutswarm/scenario.hpp"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <set>

namespace scoutswarm {

using nlohmann::json;

namespace {

constexpr size_t kMaxGroups = 1000;
constexpr double kMaxRate = 1000;  // per session per second, as on the command line
constexpr double kMaxSeconds = 86400;
constexpr size_t kMaxName = 200;

[[noreturn]] void refuse(const std::string& key, const std::string& why) {
  throw ScenarioError(key + ": " + why);
}

double number(const json& v, const std::string& key, double lowest, double highest) {
  if (!v.is_number()) refuse(key, "not a number");
  const double d = v.get<double>();
  if (!(d >= lowest && d <= highest))  // NaN fails too
    refuse(key, d < lowest ? "below " + json(lowest).dump() : "above " + json(highest).dump());
  return d;
}

uint32_t whole(const json& v, const std::string& key, uint32_t lowest, uint32_t highest) {
  if (!v.is_number_unsigned() && !(v.is_number_integer() && v.get<int64_t>() >= 0))
    refuse(key, v.is_number_integer() ? "negative" : "not a whole number");
  const uint64_t n = v.get<uint64_t>();
  if (n < lowest || n > highest)
    refuse(key, "not from " + std::to_string(lowest) + " to " + std::to_string(highest));
  return static_cast<uint32_t>(n);
}

std::string text(const json& v, const std::string& key) {
  if (!v.is_string()) refuse(key, "not a text");
  std::string s = v.get<std::string>();
  if (s.empty() || s.size() > kMaxName)
    refuse(key, "must have 1 to " + std::to_string(kMaxName) + " bytes");
  return s;
}

Group group(const json& g, const std::string& at) {
  if (!g.is_object()) refuse(at, "not an object");
  Group out;
  Behaviour& b = out.behaviour;
  bool idle = false;
  for (const auto& [name, v] : g.items()) {
    const std::string key = at + "." + name;
    if (name == "name")
      out.name = text(v, key);
    else if (name == "weight")
      out.weight = number(v, key, 0, 1e9);
    else if (name == "count")
      out.count = whole(v, key, 0, 1'000'000);
    else if (name == "move_rate")
      b.moveRate = number(v, key, 0, kMaxRate);
    else if (name == "chat_rate")
      b.chatRate = number(v, key, 0, kMaxRate);
    else if (name == "hop_rate")
      b.hopRate = number(v, key, 0, kMaxRate);
    else if (name == "prop_rate")
      b.propRate = number(v, key, 0, kMaxRate);
    else if (name == "watch")
      b.watch = whole(v, key, 1, 1000);
    else if (name == "duration")
      b.duration = number(v, key, 0, kMaxSeconds);
    else if (name == "ramp")
      b.ramp = number(v, key, 0.01, 100000);
    else if (name == "idle") {
      if (!v.is_boolean()) refuse(key, "not true or false");
      idle = v.get<bool>();
    } else if (name == "rooms") {
      if (!v.is_array() || v.empty() || v.size() > kMaxGroups)
        refuse(key, "not a list of 1 to 1000 room names");
      for (size_t i = 0; i < v.size(); ++i)
        b.rooms.push_back(text(v[i], key + "[" + std::to_string(i) + "]"));
    } else {
      refuse(key,
             "unknown key (name, weight, count, move_rate, chat_rate, hop_rate, prop_rate, "
             "watch, duration, ramp, rooms, idle)");
    }
  }
  if (out.name.empty()) refuse(at + ".name", "missing");
  if (idle) {  // watches only
    if ((g.contains("move_rate") && b.moveRate > 0) || (g.contains("chat_rate") && b.chatRate > 0))
      refuse(at + ".idle", "an idle group neither moves nor talks");
    b.moveRate = b.chatRate = 0;
  }
  if (b.hopRate > 0 && b.rooms.size() == 1)
    refuse(at + ".rooms", "hopping needs two rooms or more");
  return out;
}

}  // namespace

Scenario Scenario::parse(const std::string& source) {
  json j;
  try {
    j = json::parse(source);
  } catch (const json::exception& e) {
    throw ScenarioError(std::string("not JSON: ") + e.what());
  }
  if (!j.is_object()) throw ScenarioError("not a scenario (want an object with \"groups\")");
  for (const auto& [name, v] : j.items())
    if (name != "groups" && name != "description")
      refuse(name, "unknown key (groups, description)");
  if (!j.contains("groups")) refuse("groups", "missing");
  const json& groups = j["groups"];
  if (!groups.is_array() || groups.empty() || groups.size() > kMaxGroups)
    refuse("groups", "not a list of 1 to 1000 groups");
  Scenario s;
  std::set<std::string> names;
  double weights = 0;
  bool weighted = false;
  for (size_t i = 0; i < groups.size(); ++i) {
    const std::string at = "groups[" + std::to_string(i) + "]";
    s.groups.push_back(group(groups[i], at));
    const Group& g = s.groups.back();
    if (!names.insert(g.name).second) refuse(at + ".name", "\"" + g.name + "\" twice");
    if (g.count && groups[i].contains("weight")) refuse(at, "both a count and a weight");
    if (!g.count) weights += g.weight, weighted = true;
  }
  if (weighted && !(weights > 0)) refuse("groups", "the weights sum to 0");
  return s;
}

uint32_t Scenario::sessions(std::optional<uint32_t> requested) const {
  uint64_t counted = 0;
  bool all = true;
  for (const Group& g : groups) g.count ? void(counted += *g.count) : void(all = false);
  if (all && requested && *requested != counted)
    throw ScenarioError("the groups' counts add up to " + std::to_string(counted) +
                        " sessions, not " + std::to_string(*requested));
  if (all) return static_cast<uint32_t>(std::min<uint64_t>(counted, UINT32_MAX));
  if (!requested) throw ScenarioError("weighted groups need a number of sessions (-n)");
  return *requested;
}

std::vector<uint32_t> Scenario::split(uint32_t total) const {
  std::vector<uint32_t> out(groups.size(), 0);
  uint64_t fixed = 0;
  double weights = 0;
  for (size_t i = 0; i < groups.size(); ++i) {
    if (groups[i].count)
      fixed += out[i] = *groups[i].count;
    else
      weights += groups[i].weight;
  }
  if (fixed > total)
    throw ScenarioError("the groups' counts add up to " + std::to_string(fixed) +
                        " sessions, more than " + std::to_string(total));
  const uint32_t rest = total - static_cast<uint32_t>(fixed);
  if (rest == 0 || weights <= 0) return out;
  // Whole shares first, then one more to each of the largest remainders.
  std::vector<std::pair<double, size_t>> remainders;
  uint32_t given = 0;
  for (size_t i = 0; i < groups.size(); ++i) {
    if (groups[i].count) continue;
    const double exact = rest * (groups[i].weight / weights);
    const auto floor = static_cast<uint32_t>(std::min<double>(std::floor(exact), rest - given));
    out[i] = floor, given += floor;
    remainders.emplace_back(exact - floor, i);
  }
  std::stable_sort(remainders.begin(), remainders.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  for (size_t k = 0; given < rest; k = (k + 1) % remainders.size())
    ++out[remainders[k].second], ++given;
  return out;
}

Membership::Membership(const std::vector<uint32_t>& counts) {
  uint64_t total = 0;
  for (uint32_t c : counts) total += c;
  group_.reserve(total), rank_.reserve(total);
  std::vector<int64_t> credit(counts.size(), 0);
  std::vector<uint32_t> taken(counts.size(), 0);
  for (uint64_t i = 0; i < total; ++i) {
    size_t best = 0;
    for (size_t g = 0; g < counts.size(); ++g) {
      credit[g] += counts[g];
      if (credit[g] > credit[best]) best = g;
    }
    credit[best] -= static_cast<int64_t>(total);
    group_.push_back(static_cast<uint16_t>(best));
    rank_.push_back(taken[best]++);
  }
}

}  // namespace scoutswarm
