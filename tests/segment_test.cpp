// Execution segments: processes that each compute their share from their own
// segment alone together run every session of the plan exactly once.
#include "scoutswarm/segment.hpp"

#include <gtest/gtest.h>

#include <random>

namespace {

using scoutswarm::Fraction;
using scoutswarm::Segment;

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
  EXPECT_EQ(problems({"1/4:1/2"}), "missing 0:1/4;missing 1/2:1;");
}

}  // namespace
