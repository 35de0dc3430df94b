#include "scoutswarm/segment.hpp"

#include <algorithm>
#include <charconv>
#include <numeric>

namespace scoutswarm {

namespace {

// Digits alone, at most 9 of them.
std::optional<uint64_t> digits(std::string_view s) {
  if (s.empty() || s.size() > 9) return std::nullopt;
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<Fraction> bound(std::string_view s) {
  Fraction f;
  if (const size_t slash = s.find('/'); slash != std::string_view::npos) {
    const auto n = digits(s.substr(0, slash)), d = digits(s.substr(slash + 1));
    if (!n || !d || *d == 0) return std::nullopt;
    f = {*n, *d};
  } else if (const size_t dot = s.find('.'); dot != std::string_view::npos) {
    const std::string_view whole = s.substr(0, dot), part = s.substr(dot + 1);
    const auto w = whole.empty() ? std::optional<uint64_t>(0) : digits(whole);
    const auto p = digits(part);
    if (!w || !p || whole.size() + part.size() > 9) return std::nullopt;
    uint64_t den = 1;
    for (size_t i = 0; i < part.size(); ++i) den *= 10;
    f = {*w * den + *p, den};
  } else {
    const auto w = digits(s);
    if (!w) return std::nullopt;
    f = {*w, 1};
  }
  if (Fraction{1, 1} < f) return std::nullopt;
  return f;
}

uint32_t floorTimes(Fraction f, uint32_t total) {
  return static_cast<uint32_t>(f.num * total / f.den);
}

}  // namespace

std::string Fraction::text() const {
  if (num == 0) return "0";
  const uint64_t g = std::gcd(num, den);
  if (num / g == den / g) return "1";
  return std::to_string(num / g) + "/" + std::to_string(den / g);
}

std::optional<Segment> Segment::parse(std::string_view text, std::string& why) {
  Segment seg;
  if (const size_t colon = text.find(':'); colon != std::string_view::npos) {
    const auto from = bound(text.substr(0, colon)), to = bound(text.substr(colon + 1));
    if (!from || !to) {
      why = "a bound is not a number from 0 to 1 (0.25, 1/3)";
      return std::nullopt;
    }
    seg = {*from, *to};
  } else if (const size_t slash = text.find('/'); slash != std::string_view::npos) {
    const auto k = digits(text.substr(0, slash)), n = digits(text.substr(slash + 1));
    if (!k || !n || *n == 0 || *k >= *n) {
      why = "want K/N with 0 <= K < N";
      return std::nullopt;
    }
    seg = {{*k, *n}, {*k + 1, *n}};
  } else {
    why = "want FROM:TO or K/N";
    return std::nullopt;
  }
  if (!(seg.from < seg.to)) {
    why = "the segment is empty (FROM must be below TO)";
    return std::nullopt;
  }
  return seg;
}

uint32_t Segment::first(uint32_t total) const { return floorTimes(from, total); }
uint32_t Segment::last(uint32_t total) const { return floorTimes(to, total); }

std::string Segment::text() const { return from.text() + ":" + to.text(); }

std::vector<std::string> coverageProblems(std::vector<Segment> segments) {
  std::sort(segments.begin(), segments.end(), [](const Segment& a, const Segment& b) {
    return a.from < b.from || (a.from == b.from && a.to < b.to);
  });
  std::vector<std::string> problems;
  Fraction covered{0, 1};
  for (const Segment& s : segments) {
    if (covered < s.from) problems.push_back("missing " + Segment{covered, s.from}.text());
    if (s.from < covered)
      problems.push_back("overlap " + Segment{s.from, std::min(covered, s.to)}.text());
    covered = std::max(covered, s.to);
  }
  if (covered < Fraction{1, 1}) problems.push_back("missing " + Segment{covered, {1, 1}}.text());
  return problems;
}

}  // namespace scoutswarm
