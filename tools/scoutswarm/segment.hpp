// An execution segment: the share [from, to) of one plan that one process runs,
// its bounds exact fractions of the whole. A plan of N sessions gives the
// segment the session indices floor(from * N) .. floor(to * N) - 1, so that
// segments covering 0..1 once give every index to exactly one process, each
// computed from its own segment alone, without a coordinator. A session keeps
// its index, and with it its name, room and place in the ramp, so N segment
// processes together play exactly the plan one process would.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace scoutswarm {

struct Fraction {
  // den > 0, num <= den < 10^9 (so that products of two fit in 64 bits); not always reduced.
  uint64_t num = 0, den = 1;

  std::string text() const;  // reduced: "0", "1", "1/3"
  friend bool operator==(Fraction a, Fraction b) { return a.num * b.den == b.num * a.den; }
  friend bool operator<(Fraction a, Fraction b) { return a.num * b.den < b.num * a.den; }
};

struct Segment {
  Fraction from{0, 1}, to{1, 1};

  // "FROM:TO", each bound "0", "1", a decimal ("0.25") or a fraction ("1/3"), from < to;
  // or "K/N": part K of N equal parts, K from 0 to N - 1 (a Kubernetes completion index).
  // On failure, `why` says what is wrong.
  static std::optional<Segment> parse(std::string_view text, std::string& why);

  bool whole() const { return from == Fraction{0, 1} && to == Fraction{1, 1}; }
  // The session indices [first, last) of a plan of `total` sessions.
  uint32_t first(uint32_t total) const;
  uint32_t last(uint32_t total) const;
  std::string text() const;  // "FROM:TO", reduced
};

// What keeps segments from covering 0..1 exactly once: one line per gap ("missing
// 1/3:2/3") or overlap ("overlap 1/2:2/3"), in order; empty when they cover it.
std::vector<std::string> coverageProblems(std::vector<Segment> segments);

}  // namespace scoutswarm
