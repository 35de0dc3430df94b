// The command-line convention every tool follows, on top of CLI11:
// - -h/--help, --version ("PROGRAM VERSION") and -q/--quiet (standardFlags);
// - durations with a unit, "500us", "200ms", "2s", "1.5s", "1m" (or "1min"), "1h"; a bare
//   number is in the option's own unit, so scripts written before units keep working
//   (addDuration);
// - numbers checked against a range whose message shows readable bounds (range);
// - a usage error is one line on standard error, "PROGRAM: WHAT", and exit status 2:
//   the option and its allowed values, or for a misspelt option the nearest name
//   (usageExit, usageLine, usageError).
//
// A tool's main then reads:
//   CLI::App app{"What it does.", "tool"};
//   bool quiet = false;
//   veltra::tools::standardFlags(app, quiet);
//   veltra::tools::addDuration(app, "--timeout", timeoutMs, "wait this long for a reply",
//                              veltra::tools::Unit::kMillis, 1, 600000);
//   app.add_option("-n", n, "sessions")->check(veltra::tools::range(1u, 20000u));
//   try {
//     app.parse(argc, argv);
//   } catch (const CLI::ParseError& e) {
//     return veltra::tools::usageExit(app, e);  // --help and --version: 0
//   }
//   if (...) return veltra::tools::usageError(app, "give one of -r or -i");
#pragma once

#include <CLI/CLI.hpp>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace veltra::tools {

enum class Unit { kMicros, kMillis, kSeconds };

// "200ms", "1.5s", "2m", ... or a bare number in `bare`, as a count of `bare`; nothing
// for anything else (no number, an unknown unit, blanks, NaN or infinity). The sign is
// kept: ranges judge it.
std::optional<double> parseDuration(std::string_view text, Unit bare);
// An amount of `unit` in the largest unit that shows it whole: 600000 ms is "10min",
// 1.5 s "1500ms", 0 "0".
std::string formatDuration(double amount, Unit unit);
// A number as people write it: "20000", "0.01", never 300 digits.
std::string formatNumber(double value);

// Adds an option NAME taking a duration, stored in `value` as a count of `unit` (rounded to
// the nearest whole one for an integer type); a value outside [min, max] (in `unit`) or not
// a duration is a usage error naming the option and the bounds ("want 1ms to 10min").
CLI::Option* addDuration(CLI::App& app, const std::string& name, std::function<void(double)> set,
                         double initial, const std::string& description, Unit unit, double min,
                         double max);
template <class T>
requires std::is_arithmetic_v<T> CLI::Option* addDuration(CLI::App& app, const std::string& name,
                                                          T& value, const std::string& description,
                                                          Unit unit, double min, double max) {
  return addDuration(
      app, name,
      [&value](double v) {
        if constexpr (std::is_integral_v<T>)
          value = static_cast<T>(std::llround(v));
        else
          value = static_cast<T>(v);
      },
      static_cast<double>(value), description, unit, min, max);
}

// A check that the value is a number of type T within [lo, hi]: "want 1 to 65535, got 0";
// "want at least 1, got 0" when hi is the largest of a 64-bit T (a bound of 20 digits tells
// nobody anything); "want a whole number ..." for an integer type. NaN and infinity are
// refused.
CLI::Validator rangeCheck(long double lo, long double hi, bool whole, bool unbounded);
template <class T>
requires std::is_arithmetic_v<T> CLI::Validator range(T lo, T hi) {
  return rangeCheck(static_cast<long double>(lo), static_cast<long double>(hi),
                    std::is_integral_v<T>, sizeof(T) >= 8 && hi == std::numeric_limits<T>::max());
}

// A check that the value is one of these words: "want text or json, got xml".
CLI::Validator oneOf(std::vector<std::string> allowed);

// -q/--quiet into `quiet`, and --version printing "NAME VERSION" (NAME: the app's name).
void standardFlags(CLI::App& app, bool& quiet,
                   const std::string& quietHelp = "print no progress or log lines");

// The one line (without the program's name) that tells what was wrong with the command
// line: CLI11's message made readable, an unknown option with the nearest known name.
std::string usageLine(const CLI::App& app, const CLI::ParseError& e);
// For a parse that threw: --help or --version print and give 0; any other error is
// written as "NAME: LINE" on standard error and gives 2.
int usageExit(const CLI::App& app, const CLI::ParseError& e);
// A tool's own usage error after parsing: "NAME: message" on standard error; gives 2.
int usageError(const CLI::App& app, const std::string& message);

}  // namespace veltra::tools
