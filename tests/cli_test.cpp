// The tools' command-line convention: durations with units, readable ranges, and the one
// line a usage error prints.
#include "common/cli.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "common/text.hpp"

namespace {

namespace cli = veltra::tools;
using cli::Unit;

struct Row {
  std::vector<std::string> args;
  std::string want;  // the timeout in milliseconds, the wait in seconds, or the usage line
};

// One app like a tool's: --timeout in ms (1ms..10min), --wait in whole seconds (0..1h),
// --sessions, --rate, --count, -q.
std::string run(const std::vector<std::string>& args) {
  CLI::App app{"", "tool"};
  double timeout = 5000;
  uint32_t wait = 0, sessions = 1;
  double rate = 1;
  uint64_t count = 1;
  bool quiet = false;
  std::string mode;
  cli::standardFlags(app, quiet);
  cli::addDuration(app, "-t,--timeout", timeout, "", Unit::kMillis, 1, 600000);
  cli::addDuration(app, "--wait", wait, "", Unit::kSeconds, 0, 3600);
  app.add_option("-n,--sessions", sessions)->check(cli::range(1u, 20000u));
  app.add_option("--rate", rate)->check(cli::range(0.01, 100000.0));
  app.add_option("--count", count)->check(cli::range<uint64_t>(1, UINT64_MAX));
  app.add_option("--mode", mode)->check(cli::oneOf({"walk", "talk", "hop"}));
  try {
    app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
  } catch (const CLI::ParseError& e) {
    return cli::usageLine(app, e);
  }
  return cli::formatNumber(app.count("--wait") ? wait : timeout);
}

TEST(Cli, DurationsRangesAndUsageLines) {
  const std::string garbage =
      "--timeout: want a duration such as 500ms, 2s or 1m (a bare number is milliseconds), got ";
  const Row rows[] = {
      {{"-t", "200ms"}, "200"},
      {{"-t", "2s"}, "2000"},
      {{"--timeout=1.5s"}, "1500"},
      {{"-t", "1500us"}, "1.5"},
      {{"-t", "1m"}, "60000"},
      {{"-t", "10min"}, "600000"},
      {{"-t", "250"}, "250"},  // a bare number: the option's own unit
      {{"--wait", "90"}, "90"},
      {{"--wait", "1.4s"}, "1"},  // an integer variable rounds
      {{"--wait", "1h"}, "3600"},
      {{"-t", "2 s"}, garbage + "2 s"},
      {{"-t", "2sec"}, garbage + "2sec"},
      {{"-t", "nan"}, garbage + "nan"},
      {{"-t", "s"}, garbage + "s"},
      {{"-t", "0"}, "--timeout: want 1ms to 10min, got 0 (milliseconds)"},
      {{"-t", "11min"}, "--timeout: want 1ms to 10min, got 11min"},
      {{"--wait", "-1s"}, "--wait: want 0 to 1h, got -1s"},
      {{"-n", "0"}, "--sessions: want 1 to 20000, got 0"},
      {{"-n", "2.5"}, "--sessions: want a whole number from 1 to 20000, got 2.5"},
      {{"--rate", "nan"}, "--rate: want a number from 0.01 to 100000, got nan"},
      {{"--rate", "1e6"}, "--rate: want 0.01 to 100000, got 1e6"},
      {{"--count", "0"}, "--count: want at least 1, got 0"},
      {{"--count", "18446744073709551616"}, "--count: 18446744073709551616 is too large"},
      {{"--count", "18446744073709551615"}, "5000"},
      {{"--sesions", "4"}, "unknown option --sesions; did you mean --sessions?"},
      {{"--tiemout=5"}, "unknown option --tiemout=5; did you mean --timeout?"},
      {{"-Q"}, "unknown option -Q; did you mean -q?"},
      {{"--verbose"}, "unknown option --verbose"},
      {{"-z"}, "unknown option -z"},
      {{"extra"}, "unexpected argument extra"},
      {{"--mode", "run"}, "--mode: want walk, talk or hop, got run"},
      {{"-t"}, "--timeout needs a value"},
  };
  for (const Row& row : rows) EXPECT_EQ(run(row.args), row.want) << row.args.front();
  // What a usage line quotes cannot forge a line or reach the terminal as an escape.
  EXPECT_EQ(cli::escapeText("hi\n[1 x]\x1b[2J\\\xc2\x9b\x7f"),
            "hi\\x0a[1 x]\\x1b[2J\\\\\\x9b\\x7f");
}

// Bounds are printed so that they read back as themselves.
TEST(Cli, DurationsFormatAsTheyParse) {
  for (const Unit unit : {Unit::kMicros, Unit::kMillis, Unit::kSeconds}) {
    for (const double v : {0.0, 0.5, 1.0, 1.5, 999.0, 1000.0, 60000.0, 86400.0, 3.6e9, 1e-3}) {
      const std::string text = cli::formatDuration(v, unit);
      const std::optional<double> back = cli::parseDuration(text, unit);
      ASSERT_TRUE(back) << text;
      EXPECT_NEAR(*back, v, v * 1e-12) << text;
      EXPECT_LE(text.size(), 11u) << text;
    }
  }
}

}  // namespace
