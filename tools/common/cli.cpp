#include "common/cli.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <iostream>
#include <vector>

#include "common/text.hpp"
#include "veltra/proto/version.hpp"

namespace veltra::tools {

namespace {

struct Suffix {
  std::string_view text;
  double micros;
};
// Largest first: formatDuration takes the first that shows an amount whole.
constexpr Suffix kSuffixes[] = {{"h", 3600e6}, {"min", 60e6}, {"m", 60e6},
                                {"s", 1e6},    {"ms", 1e3},   {"us", 1}};

double microsPer(Unit unit) {
  switch (unit) {
    case Unit::kMicros: return 1;
    case Unit::kMillis: return 1e3;
    case Unit::kSeconds: return 1e6;
  }
  return 1;
}

const char* unitName(Unit unit) {
  switch (unit) {
    case Unit::kMicros: return "microseconds";
    case Unit::kMillis: return "milliseconds";
    case Unit::kSeconds: return "seconds";
  }
  return "";
}

// The whole text as one finite number.
std::optional<double> number(std::string_view text) {
  double v = 0;
  const auto [at, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || at != text.data() + text.size() || !std::isfinite(v)) return {};
  return v;
}

// Optionally "-", then decimal digits only, as a long double: exact for any 64-bit integer,
// and above any for more digits.
std::optional<long double> wholeNumber(std::string_view text) {
  const bool negative = text.starts_with('-');
  const std::string_view digits = text.substr(negative ? 1 : 0);
  if (digits.empty() ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return {};
  long double v = 0;
  for (char c : digits) v = v * 10 + (c - '0');
  return negative ? -v : v;
}

std::string bounds(double lo, double hi, bool unbounded,
                   const std::function<std::string(double)>& show) {
  return unbounded ? "at least " + show(lo) : show(lo) + " to " + show(hi);
}

// Edits (insert, delete, replace, swap two neighbours) from a to b.
size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] =
          std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Every option name ("--name", "-n") or, for a word, every subcommand name, of the app and
// its subcommands.
void names(const CLI::App& app, bool options, std::vector<std::string>& out) {
  if (options) {
    for (const CLI::Option* opt : app.get_options()) {
      for (const std::string& l : opt->get_lnames()) out.push_back("--" + l);
      for (const std::string& s : opt->get_snames()) out.push_back("-" + s);
    }
  }
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    if (!options) out.push_back(sub->get_name());
    names(*sub, options, out);
  }
}

// The known name nearest to a misspelt one, if near enough to be a likely slip: at most two
// edits, and fewer than half its letters (so "-z" suggests nothing).
std::string nearest(const CLI::App& app, std::string_view given) {
  const bool option = given.starts_with('-');
  std::vector<std::string> known;
  names(app, option, known);
  const std::string g = lower(given);
  const size_t letters = g.size() - std::min(g.find_first_not_of('-'), g.size());
  std::string best;
  size_t bestDistance = 3;
  for (const std::string& k : known) {
    const size_t d = editDistance(g, lower(k));
    if (d < bestDistance && 2 * d < letters) best = k, bestDistance = d;
  }
  return best;
}

}  // namespace

std::optional<double> parseDuration(std::string_view text, Unit bare) {
  const size_t end = text.find_first_not_of("0123456789.eE+-");
  // An exponent's "e" may not start a unit; no unit starts with one.
  const std::optional<double> v = number(text.substr(0, end));
  if (!v) return {};
  if (end == std::string_view::npos) return *v;
  for (const Suffix& s : kSuffixes)
    if (text.substr(end) == s.text) return *v * s.micros / microsPer(bare);
  return {};
}

std::string formatNumber(double value) {
  char buf[64];
  if (value == std::trunc(value) && std::fabs(value) < 1e15) {
    std::snprintf(buf, sizeof buf, "%.0f", value);
    return buf;
  }
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

std::string formatDuration(double amount, Unit unit) {
  if (amount == 0) return "0";
  const double micros = amount * microsPer(unit);
  for (const Suffix& s : kSuffixes) {
    if (s.text == "m") continue;  // "min" reads better
    const double q = micros / s.micros;
    if (std::fabs(q) >= 1 && std::fabs(q - std::round(q)) <= 1e-9 * std::fabs(q))
      return formatNumber(std::round(q)) + std::string(s.text);
  }
  return formatNumber(micros) + "us";
}

CLI::Option* addDuration(CLI::App& app, const std::string& name, std::function<void(double)> set,
                         double initial, const std::string& description, Unit unit, double min,
                         double max) {
  const auto show = [unit](double v) { return formatDuration(v, unit); };
  const std::string allowed = bounds(min, max, false, show);
  CLI::Validator check(
      [=](std::string& text) -> std::string {
        const std::optional<double> v = parseDuration(text, unit);
        if (!v)
          return std::string("want a duration such as 500ms, 2s or 1m (a bare number is ") +
                 unitName(unit) + "), got " + text;
        if (*v < min || *v > max)
          return "want " + allowed + ", got " + text +
                 (number(text) ? std::string(" (") + unitName(unit) + ")" : "");
        return {};
      },
      "[" + allowed + "]");
  return app
      .add_option_function<std::string>(
          name, [set, unit](const std::string& text) { set(*parseDuration(text, unit)); },
          description + " (a bare number is " + unitName(unit) + ")")
      ->check(check)
      ->type_name("DURATION")
      ->default_str(formatDuration(initial, unit));
}

CLI::Validator rangeCheck(long double lo, long double hi, bool whole, bool unbounded) {
  const std::string allowed =
      bounds(static_cast<double>(lo), static_cast<double>(hi), unbounded, formatNumber);
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        std::optional<long double> v;
        if (whole)
          v = wholeNumber(text);
        else if (const std::optional<double> d = number(text))
          v = *d;
        if (!v)
          return std::string("want ") + (whole ? "a whole number " : "a number ") +
                 (unbounded ? "of " : "from ") + allowed + ", got " + text;
        if (unbounded && *v > hi) return text + " is too large";
        if (*v < lo || *v > hi) return "want " + allowed + ", got " + text;
        return {};
      },
      "[" + allowed + "]");
}

CLI::Validator oneOf(std::vector<std::string> allowed) {
  std::string list;
  for (size_t i = 0; i < allowed.size(); ++i)
    list += (i == 0 ? "" : i + 1 == allowed.size() ? " or " : ", ") + allowed[i];
  return CLI::Validator(
      [=](std::string& text) {
        return std::find(allowed.begin(), allowed.end(), text) != allowed.end()
                   ? std::string()
                   : "want " + list + ", got " + text;
      },
      "");
}

void standardFlags(CLI::App& app, bool& quiet, const std::string& quietHelp) {
  app.set_version_flag("--version", app.get_name() + " " + veltra::proto::kVersion);
  app.add_flag("-q,--quiet", quiet, quietHelp);
}

std::string usageLine(const CLI::App& app, const CLI::ParseError& e) {
  std::string what = e.what();
  if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
    const std::vector<std::string> rest = app.remaining(true);
    if (!rest.empty()) {
      const std::string given = rest.front().substr(0, rest.front().find('='));
      const bool option = given.starts_with('-') && given.size() > 1;
      what = (option ? "unknown option " : "unexpected argument ") + rest.front();
      if (const std::string guess = nearest(app, given); !guess.empty())
        what += "; did you mean " + guess + "?";
    }
  } else if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) &&
             what.find(" required ") != std::string::npos && what.ends_with(" missing")) {
    what = what.substr(0, what.find(':')) + " needs a value";  // "--x: 1 required TEXT missing"
  } else if (dynamic_cast<const CLI::ConversionError*>(&e)) {
    // "The value V is not an allowed value for NAME", "Could not convert: NAME = V"
    const size_t of = what.find(" is not an allowed value for ");
    if (what.starts_with("The value ") && of != std::string::npos)
      what = what.substr(of + 29) + ": not a valid value: " + what.substr(10, of - 10);
    else if (what.starts_with("Could not convert: ") && what.find(" = ") != std::string::npos)
      what = what.substr(19, what.find(" = ") - 19) +
             ": not a valid value: " + what.substr(what.find(" = ") + 3);
  }
  return escapeText(what);
}

int usageExit(const CLI::App& app, const CLI::ParseError& e) {
  if (e.get_exit_code() == 0) return app.exit(e);
  std::cerr << app.get_name() << ": " << usageLine(app, e) << std::endl;
  return 2;
}

int usageError(const CLI::App& app, const std::string& message) {
  std::cerr << app.get_name() << ": " << escapeText(message) << std::endl;
  return 2;
}

}  // namespace veltra::tools
