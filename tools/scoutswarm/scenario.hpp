// A scenario: the plan's sessions in named groups, each with its own behaviour
// (how often it moves, talks, hops rooms and changes properties, how many rooms
// it watches, how long it stays). The command line's rate options are the
// one-group scenario.
//
// Group membership is a function of the session index alone, interleaved so that
// any run of consecutive indices holds every group in proportion: an execution
// segment of the plan gets its share of every group, and the shares of segments
// covering the plan add up to each group's count exactly.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace scoutswarm {

struct Behaviour {
  double moveRate = 1;             // moves per session per second
  double chatRate = 0.1;           // chat lines per session per second
  double hopRate = 0;              // teleports to another of `rooms` per second
  double propRate = 0;             // property changes (PROPSET) per second
  uint32_t watch = 1;              // rooms subscribed to: its own, then the next ones of the plan
  double duration = 10;            // seconds in the world
  std::optional<double> ramp;      // the group's sessions started per second; none: the plan's
  std::vector<std::string> rooms;  // rooms to hop between; empty: the plan's rooms
  bool operator==(const Behaviour&) const = default;
};

struct Group {
  std::string name;
  double weight = 0;              // share of the sessions not given by a count
  std::optional<uint32_t> count;  // a fixed number of sessions
  Behaviour behaviour;
  bool operator==(const Group&) const = default;
};

// A scenario file that is not one; what() names the key ("groups[2].move_rate: negative").
struct ScenarioError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Scenario {
  std::vector<Group> groups;

  // Reads a scenario file's text. Throws ScenarioError for an unknown key, a value of
  // the wrong type or out of range, duplicate or empty names, no groups, or weights
  // summing to 0 where a group has no count.
  static Scenario parse(const std::string& text);

  // The plan's size: the sum of the counts when every group has one (`requested`, when
  // given, must equal it), else `requested`. Throws ScenarioError when none fits.
  uint32_t sessions(std::optional<uint32_t> requested) const;
  // Sessions per group for a plan of `total`: the counts, then the rest by weight,
  // largest remainder first (ties to the earlier group). Throws ScenarioError when the
  // counts exceed the total.
  std::vector<uint32_t> split(uint32_t total) const;
};

// The group of every session index of a plan, from the per-group counts: the smooth
// weighted round robin, so each group's members spread evenly over the indices.
class Membership {
 public:
  explicit Membership(const std::vector<uint32_t>& counts);
  uint32_t groupOf(uint32_t index) const { return group_[index]; }
  // The session's place among its group's members, 0-based (the group's ramp order).
  uint32_t rankOf(uint32_t index) const { return rank_[index]; }
  uint32_t size() const { return static_cast<uint32_t>(group_.size()); }

 private:
  std::vector<uint16_t> group_;
  std::vector<uint32_t> rank_;
};

}  // namespace scoutswarm
