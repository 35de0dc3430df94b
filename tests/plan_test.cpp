// The plan: execution segments, which processes that each compute their share from
// their own segment alone together run every session exactly once, scenarios,
// whose groups split the sessions exactly and evenly, and the requests' schedule.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>

#include "scoutswarm/activity.hpp"
#include "scoutswarm/scenario.hpp"
#include "scoutswarm/segment.hpp"

namespace {

using scoutswarm::Fraction;
using scoutswarm::Scenario;
using scoutswarm::ScenarioError;
using scoutswarm::Segment;

// A session's requests keep the phase of its planned start whatever its login took, come no
// earlier than its entry and one period apart, and all before its duration is up; a session
// that entered before its first slot sends exactly on the plan.
TEST(Schedule, SlotsKeepThePlannedPhaseAfterTheEntry) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> rates(0.01, 50), delays(0, 30), durations(1, 120);
  constexpr double kSecond = 1e9;
  for (int draw = 0; draw < 20000; ++draw) {
    const double rate = rates(rng), duration = durations(rng);
    const int64_t planned = static_cast<int64_t>(delays(rng) * 1e3 * kSecond);
    // Half of the sessions log in before their first slot, half late by up to 30 s.
    const double delay = draw % 2 ? delays(rng) : delays(rng) / 30 * 0.5 / rate;
    const int64_t entered = planned + static_cast<int64_t>(delay * kSecond);
    const auto count = static_cast<uint32_t>(std::floor(duration * rate));
    const int64_t gap = scoutswarm::slotAt(planned, entered, 1, rate) -
                        scoutswarm::slotAt(planned, entered, 0, rate);
    ASSERT_NEAR(static_cast<double>(gap), kSecond / rate, 2) << draw;
    for (const uint32_t k : {0u, count / 2, count > 0 ? count - 1 : 0u}) {
      const int64_t at = scoutswarm::slotAt(planned, entered, k, rate);
      ASSERT_GE(at, entered) << draw;
      const double phase = static_cast<double>(at - planned) / kSecond * rate - 0.5;
      ASSERT_NEAR(phase, std::round(phase), 1e-5) << draw;
      ASSERT_LT(static_cast<double>(at - entered), (k + 1) / rate * kSecond + 1) << draw;
      if (delay * rate < 0.5) {
        ASSERT_NEAR(phase, k, 1e-5) << draw;
      }
      if (count > 0 && k == count - 1) {
        ASSERT_LT(static_cast<double>(at - entered), duration * kSecond) << draw;
      }
    }
  }
}

TEST(Segment, CoveringSegmentsShareEveryIndexOnce) {
  std::mt19937_64 rng(7);
  for (int plan = 0; plan < 300; ++plan) {
    const uint32_t total = std::uniform_int_distribution<uint32_t>(0, 20000)(rng);
    const uint64_t n = std::uniform_int_distribution<uint64_t>(1, 64)(rng);
    // Two ways to cut 0..1 into n: equal parts "K/N", and random cuts written as decimals
    // and fractions.
    std::vector<Segment> equal, cuts;
    std::vector<Fraction> points{{0, 1}, {1, 1}};
    for (uint64_t k = 1; k < n; ++k)
      points.push_back(rng() % 2 ? Fraction{rng() % 1000, 1000} : Fraction{rng() % 997, 997});
    std::sort(points.begin(), points.end());
    std::string why;
    for (uint64_t k = 0; k < n; ++k) {
      equal.push_back(*Segment::parse(std::to_string(k) + "/" + std::to_string(n), why));
      if (points[k] < points[k + 1]) {
        const auto s = Segment::parse(points[k].text() + ":" + points[k + 1].text(), why);
        ASSERT_TRUE(s) << points[k].text() << ":" << points[k + 1].text() << " " << why;
        cuts.push_back(*s);
      }
    }
    for (const auto* segments : {&equal, &cuts}) {
      ASSERT_TRUE(scoutswarm::coverageProblems(*segments).empty());
      uint32_t next = 0;  // sorted by construction: each begins where the previous ended
      for (const Segment& s : *segments) {
        ASSERT_EQ(s.first(total), next) << s.text() << " of " << total;
        ASSERT_LE(s.first(total), s.last(total));
        next = s.last(total);
      }
      ASSERT_EQ(next, total);
    }
    // Equal parts differ by at most one session.
    uint32_t least = total, most = 0;
    for (const Segment& s : equal) {
      least = std::min(least, s.last(total) - s.first(total));
      most = std::max(most, s.last(total) - s.first(total));
    }
    EXPECT_LE(most - least, 1u) << total << " in " << n;
  }
}

TEST(Segment, ParseAndCoverage) {
  struct Row {
    const char* text;
    const char* parsed;  // nullptr: refused
  } rows[] = {
      {"0:1", "0:1"},       {"0:1/3", "0:1/3"},   {"0.25:0.5", "1/4:1/2"}, {".5:1", "1/2:1"},
      {"2/4", "1/2:3/4"},   {"0/1", "0:1"},       {"3/3", nullptr},        {"1/0", nullptr},
      {"0.5:0.5", nullptr}, {"0.6:0.5", nullptr}, {"0:1.5", nullptr},      {"-1:1", nullptr},
      {"a:1", nullptr},     {"0.5", nullptr},     {"", nullptr},           {"1/3:", nullptr},
  };
  for (const Row& r : rows) {
    std::string why;
    const auto s = Segment::parse(r.text, why);
    ASSERT_EQ(s.has_value(), r.parsed != nullptr) << r.text;
    EXPECT_EQ(s             ? s->text()
              : why.empty() ? ""
                            : "refused",
              r.parsed ? r.parsed : "refused")
        << r.text;
  }
  auto problems = [](std::vector<const char*> texts) {
    std::vector<Segment> segments;
    std::string why;
    for (const char* t : texts) segments.push_back(*Segment::parse(t, why));
    std::string all;
    for (const std::string& p : scoutswarm::coverageProblems(segments)) all += p + ";";
    return all;
  };
  EXPECT_EQ(problems({"1/3", "0/3", "2/3"}), "");
  EXPECT_EQ(problems({"0/3", "2/3"}), "missing 1/3:2/3;");
  EXPECT_EQ(problems({"0:1/2", "1/3:1"}), "overlap 1/3:1/2;");
  EXPECT_EQ(problems({"0:1", "0:1"}), "overlap 0:1;");
  EXPECT_EQ(problems({"0:1", "1/4:1/2"}), "overlap 1/4:1/2;");
  std::string why;
  const Segment second = *Segment::parse("1/3", why);  // floor(N/3) .. floor(2N/3) - 1
  EXPECT_EQ(std::pair(second.first(10), second.last(10)), std::pair(3u, 6u));
  EXPECT_EQ(problems({"1/4:1/2"}), "missing 0:1/4;missing 1/2:1;");
}

TEST(Scenario, GroupsSplitExactlyAndEvenlyOverSegments) {
  std::mt19937_64 rng(11);
  for (int plan = 0; plan < 200; ++plan) {
    Scenario sc;
    const size_t groups = 1 + rng() % 6;
    uint32_t counted = 0;
    for (size_t g = 0; g < groups; ++g) {
      scoutswarm::Group group;
      group.name = "g" + std::to_string(g);
      if (rng() % 3 == 0)
        counted += *(group.count = static_cast<uint32_t>(rng() % 50));
      else
        group.weight = static_cast<double>(rng() % 1000) / 7;
      sc.groups.push_back(group);
    }
    const uint32_t total = counted + static_cast<uint32_t>(rng() % 5000);
    bool weighted = false;
    for (const auto& g : sc.groups) weighted |= !g.count && g.weight > 0;
    if (!weighted && total != counted) continue;
    const std::vector<uint32_t> split = sc.split(total);
    ASSERT_EQ(std::accumulate(split.begin(), split.end(), 0u), total);
    // The weighted groups share the rest in proportion, largest remainders first: none gets
    // more than one session over its share beyond what another gets.
    double weights = 0, lo = 0, hi = 0;
    for (const auto& g : sc.groups) weights += g.count ? 0 : g.weight;
    for (size_t g = 0; g < groups && weights > 0; ++g) {
      if (sc.groups[g].count) continue;
      const double off = split[g] - (total - counted) * sc.groups[g].weight / weights;
      lo = std::min(lo, off), hi = std::max(hi, off);
    }
    EXPECT_LE(hi - lo, 1 + 1e-9);
    const scoutswarm::Membership members(split);
    ASSERT_EQ(members.size(), total);
    // Any segment holds every group in proportion (within one session), and the ranks
    // of a group's members count up from 0 in index order.
    const uint32_t n = 1 + static_cast<uint32_t>(rng() % 64);
    std::vector<uint32_t> seen(groups, 0);
    for (uint32_t k = 0; k < n; ++k) {
      std::string why;
      const Segment seg = *Segment::parse(std::to_string(k) + "/" + std::to_string(n), why);
      std::vector<uint32_t> share(groups, 0);
      for (uint32_t i = seg.first(total); i < seg.last(total); ++i) {
        const uint32_t g = members.groupOf(i);
        ASSERT_EQ(members.rankOf(i), seen[g]++);
        ++share[g];
      }
      for (size_t g = 0; g < groups; ++g) {
        const double fair = static_cast<double>(split[g]) * (seg.last(total) - seg.first(total)) /
                            std::max(total, 1u);
        EXPECT_LE(std::abs(share[g] - fair), 2.0) << "group " << g << " segment " << k;
      }
    }
    EXPECT_EQ(seen, split);
  }
}

TEST(Scenario, FileErrorsNameTheKey) {
  struct Row {
    const char* text;
    const char* error;  // the start of what() ; nullptr: accepted
  } rows[] = {
      {R"({"groups":[{"name":"a","weight":1}]})", nullptr},
      {R"({"groups":[{"name":"a","count":3,"idle":true,"watch":4},{"name":"b","weight":2,
          "hop_rate":0.5,"rooms":["x","y"]}]})",
       nullptr},
      {R"({"groups":[{"name":"a","weight":1,"speed":3}]})", "groups[0].speed: unknown key"},
      {R"({"groups":[{"name":"a","move_rate":-1}]})", "groups[0].move_rate: below 0"},
      {R"({"groups":[{"name":"a","weight":0},{"name":"b","weight":0}]})", "groups: the weights"},
      {R"({"groups":[{"name":"a","count":-2}]})", "groups[0].count: negative"},
      {R"({"groups":[{"name":"a","weight":1},{"name":"a","weight":1}]})", "groups[1].name"},
      {R"({"groups":[{"name":"a","weight":1,"count":1}]})", "groups[0]: both"},
      {R"({"groups":[{"name":"a","idle":true,"chat_rate":1}]})", "groups[0].idle"},
      {R"({"groups":[{"name":"a","hop_rate":1,"rooms":["x"]}]})", "groups[0].rooms"},
      {R"({"groups":[{"weight":1}]})", "groups[0].name: missing"},
      {R"({"groups":[]})", "groups: not a list"},
      {R"({"group":[]})", "group: unknown key"},
      {R"([1])", "not a scenario"},
  };
  for (const Row& r : rows) {
    std::string error;
    try {
      Scenario::parse(r.text);
    } catch (const ScenarioError& e) {
      error = e.what();
    }
    if (!r.error)
      EXPECT_EQ(error, "") << r.text;
    else
      EXPECT_EQ(error.substr(0, std::string(r.error).size()), r.error) << r.text;
  }
  const Scenario fixed =
      Scenario::parse(R"({"groups":[{"name":"a","count":3},{"name":"b","count":4}]})");
  EXPECT_EQ(fixed.sessions(std::nullopt), 7u);
  EXPECT_THROW(fixed.sessions(8), ScenarioError);
  EXPECT_THROW(
      Scenario::parse(R"({"groups":[{"name":"a","count":9},{"name":"b","weight":1}]})").split(8),
      ScenarioError);
}

}  // namespace
