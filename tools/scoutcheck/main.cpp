// scoutcheck: does a world server speak the protocol correctly, and does it
// survive bad clients? Runs a table of cases against one server and reports a
// verdict for each.
//
// Cases that send only well-formed requests run side by side, each on its own
// thread with its own connections and names; the robustness cases then run
// one at a time, each followed by a check that a fresh connection is still
// served, so that a server brought down is blamed on the case that did it.
//
// Exit status: 0 when every MUST passed, skipped ones not (with --strict, every
// SHOULD too, and no pass was non-strict), 1 otherwise or when the server
// cannot be reached, 2 for a usage error.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <thread>

#include "common/cli.hpp"
#include "common/netio.hpp"
#include "common/text.hpp"
#include "scoutcheck/cases.hpp"
#include "scoutcheck/report.hpp"
#include "scoutcheck/session.hpp"
#include "veltra/proto/version.hpp"

namespace {

using namespace scoutcheck;
using std::chrono::milliseconds;

int problem(const std::string& text, int status = 1) {
  std::fprintf(stderr, "scoutcheck: %s\n", veltra::tools::escapeText(text).c_str());
  return status;
}

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
  f.close();
  return static_cast<bool>(f);
}

// A prefix no other run is likely to share: names of a run disturb nobody else's.
std::string runPrefix() {
  std::random_device rd;
  const char* digits = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string p = "sc";
  for (int i = 0; i < 6; ++i) p += digits[rd() % 36];
  return p + "-";
}

double since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::string target = "127.0.0.1:6650", junitPath, jsonPath;
  double timeoutMs = 2000;
  std::vector<std::string> selected;
  bool strict = false, noRobustness = false, dryRun = false, quiet = false;

  CLI::App app{
      "Checks that a world server speaks the protocol correctly and survives bad clients:\n"
      "runs cases grouped by area (framing, props, login, rooms, visibility, move, chat,\n"
      "ids, logout, robust), each MUST or SHOULD, and prints a verdict for each.",
      "scoutcheck"};
  veltra::tools::standardFlags(app, quiet, "print failures and the summary only");
  app.add_option("endpoint", target, "server to check, IPv4 HOST:PORT")
      ->type_name("HOST:PORT")
      ->capture_default_str();
  app.add_option("-c,--case", selected, "run this case (id) or group only; repeatable")
      ->type_name("ID|GROUP")
      ->allow_extra_args(false);  // one value each time, so the endpoint may follow
  veltra::tools::addDuration(
      app, "-o,--timeout", [&](double seconds) { timeoutMs = seconds * 1000; }, 2,
      "time each awaited reply may take (500ms, 2s; a bare number is seconds)",
      veltra::tools::Unit::kSeconds, 0.001, 600);
  app.add_flag("--strict", strict, "SHOULDs count too, and so do passes that were not strict");
  app.add_flag("--no-robustness", noRobustness, "leave out the cases that send malformed input");
  app.add_flag("--dry-run", dryRun, "list the selected cases and exit");
  app.add_option("--junit", junitPath, "write JUnit XML to FILE")->type_name("FILE");
  app.add_option("--json", jsonPath, "write the results as JSON to FILE")->type_name("FILE");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return veltra::tools::usageExit(app, e);
  }

  Context ctx;
  ctx.timeout = milliseconds(std::llround(timeoutMs));
  if (!veltra::tools::parseEndpoint(target, ctx.server))
    return problem("invalid server address (want IPv4 HOST:PORT): " + target, 2);
  if ((app.count("--junit") && junitPath.empty()) || (app.count("--json") && jsonPath.empty()))
    return problem("--junit and --json need a file name", 2);

  std::vector<const Case*> chosen;
  for (const Case& c : cases()) {
    const bool wanted = selected.empty() ||
                        std::any_of(selected.begin(), selected.end(), [&](const std::string& s) {
                          return s == c.id || s == c.group;
                        });
    if (wanted && !(noRobustness && c.robustness)) chosen.push_back(&c);
  }
  for (const std::string& s : selected)
    if (std::none_of(cases().begin(), cases().end(),
                     [&](const Case& c) { return s == c.id || s == c.group; }))
      return problem("no case or group " + s + " (--dry-run lists them)", 2);

  if (dryRun) {
    for (const Case* c : chosen)
      std::printf("%-24s %-6s %s%s\n", c->id, levelName(c->level), c->what,
                  c->robustness ? "  [robustness]" : "");
    std::printf("%zu cases\n", chosen.size());
    return 0;
  }

  try {
    Session probe(ctx.server, ctx.timeout);
  } catch (const Failure& f) {
    return problem("cannot reach " + target + ": " + f.got);
  }

  ctx.prefix = runPrefix();
  Run run;
  run.server = target;
  run.strict = strict;
  run.results.resize(chosen.size());
  const auto start = Clock::now();
  const auto runOne = [&](size_t i) {
    const auto t = Clock::now();
    run.results[i] = {chosen[i], runCase(*chosen[i], ctx), 0};
    run.results[i].seconds = since(t);
  };
  // Well-formed cases side by side, then the robustness cases one at a time.
  std::vector<std::thread> threads;
  for (size_t i = 0; i < chosen.size(); ++i)
    if (!chosen[i]->robustness) threads.emplace_back(runOne, i);
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < chosen.size(); ++i)
    if (!chosen[i]->robustness) printResult(std::cout, run, run.results[i], quiet);
  std::cout.flush();
  for (size_t i = 0; i < chosen.size(); ++i) {
    if (!chosen[i]->robustness) continue;
    runOne(i);
    printResult(std::cout, run, run.results[i], quiet);
    std::cout.flush();
  }
  run.seconds = since(start);

  int status = run.passed() ? 0 : 1;
  if (!junitPath.empty() && !writeFile(junitPath, junit(run)))
    status = problem("cannot write " + junitPath);
  if (!jsonPath.empty() && !writeFile(jsonPath, json(run)))
    status = problem("cannot write " + jsonPath);
  printSummary(std::cout, run);
  return status;
}
