// scoutswarm: drives many client sessions against a world server from one
// process and reports latencies, traffic and errors, judged by thresholds when
// given; `scoutswarm merge` combines the JSON reports of several runs into one,
// `report` draws them as an HTML page, `compare` sets two side by side.
//
// Exit status: 0 when the run passed, 1 otherwise (or when a file cannot be
// read or written), 2 for a usage error.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>

#include "common/cli.hpp"
#include "common/netio.hpp"
#include "common/process.hpp"
#include "common/text.hpp"
#include "scoutswarm/compare.hpp"
#include "scoutswarm/html.hpp"
#include "scoutswarm/segment.hpp"
#include "scoutswarm/swarm.hpp"
#include "scoutswarm/thresholds.hpp"
#include "veltra/proto/version.hpp"

namespace {

using namespace scoutswarm;

constexpr uint32_t kMaxSessions = 20000;

// Names and texts from the command line or a file are escaped: one line, nothing for the terminal.
int problem(const std::string& text) {
  std::fprintf(stderr, "scoutswarm: %s\n", veltra::tools::escapeText(text).c_str());
  return 1;
}

int usage(const std::string& text) {
  problem(text);
  return 2;
}

// "--name=" with nothing after the sign gives the option an empty value, as "--name ''" does,
// instead of letting the parser take the next argument as its value.
std::vector<std::string> arguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--") {
      args.insert(args.end(), argv + i, argv + argc);
      break;
    }
    if (a.starts_with("--") && a.find('=') == a.size() - 1) {
      args.emplace_back(a.substr(0, a.size() - 1));
      args.emplace_back();
    } else {
      args.emplace_back(a);
    }
  }
  std::reverse(args.begin(), args.end());  // as CLI11 takes them
  return args;
}

// "-" is standard output.
bool writeFile(const std::string& path, const std::string& text) {
  if (path == "-") {
    std::cout << text;
    std::cout.flush();
    return static_cast<bool>(std::cout);
  }
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
  f.close();
  return static_cast<bool>(f);
}

// Room for a descriptor per session beside the few the program needs.
bool raiseFileLimit(uint32_t sessions, std::string& why) {
  const size_t want = size_t{sessions} + 32;
  const size_t got = veltra::tools::raiseOpenFileLimit(want);
  if (got >= want) return true;
  why = std::to_string(sessions) + " sessions need " + std::to_string(want) +
        " file descriptors; the limit is " + std::to_string(got);
  return false;
}

// The columns of stderr when it is a terminal; 0 when it is not.
int terminalWidth() {
  if (isatty(STDERR_FILENO) != 1) return 0;
  winsize w{};
  return ioctl(STDERR_FILENO, TIOCGWINSZ, &w) == 0 && w.ws_col > 0 ? w.ws_col : 80;
}

// The scenario file as the plan: its groups, and the sessions they make. Problems with the
// file's content are usage errors, one line naming it and the key; "" when it is sound.
std::string loadScenario(const std::string& path, const std::string& text, const CLI::App& app,
                         Config& cfg) {
  for (const char* option : {"--move-rate", "--chat-rate", "--duration"})
    if (app.count(option)) return std::string(option) + " is the scenario's to set, per group";
  try {
    cfg.scenario = Scenario::parse(text);
    cfg.sessions =
        cfg.scenario.sessions(app.count("--sessions") ? std::optional(cfg.sessions) : std::nullopt);
    if (cfg.sessions < 1 || cfg.sessions > kMaxSessions)
      return path + ": " + std::to_string(cfg.sessions) + " sessions, not 1 to " +
             std::to_string(kMaxSessions);
    cfg.scenario.split(cfg.sessions);
  } catch (const ScenarioError& e) {
    return path + ": " + e.what();
  }
  for (size_t g = 0; g < cfg.scenario.groups.size(); ++g) {
    const Behaviour& b = cfg.scenario.groups[g].behaviour;
    if (b.hopRate > 0 && b.rooms.empty() && cfg.rooms < 2)
      return path + ": groups[" + std::to_string(g) +
             "].hop_rate: hopping needs two rooms or more (rooms, or --rooms)";
  }
  return "";
}

// The progress line, cut to the width: the pieces of least use go first, so that a narrow
// terminal still shows the time and the sessions.
std::string progressLine(const Progress& p, const Progress& before, double total, int width) {
  char b[9][48];
  std::snprintf(b[0], sizeof b[0], "%.0fs/%.0fs", p.elapsed, std::ceil(total));
  std::snprintf(b[1], sizeof b[1], "conn %u", p.connecting);
  std::snprintf(b[2], sizeof b[2], "world %u", p.inWorld);
  std::snprintf(b[3], sizeof b[3], "done %u", p.done);
  std::snprintf(b[4], sizeof b[4], "failed %u", p.failed);
  std::snprintf(b[5], sizeof b[5], "moves/s %llu",
                static_cast<unsigned long long>(p.movesSent - before.movesSent));
  std::snprintf(b[6], sizeof b[6], "relays/s %llu",
                static_cast<unsigned long long>(p.relays - before.relays));
  std::snprintf(b[7], sizeof b[7], "p99 %.3fms", static_cast<double>(p.intervalRelayP99) / 1000);
  std::snprintf(b[8], sizeof b[8], "err %llu", static_cast<unsigned long long>(p.errors));
  // Dropped in this order while the line is too long.
  static const int kDropOrder[] = {5, 1, 3, 6, 8, 7, 4, 2};
  bool keep[9] = {true, true, true, true, true, true, true, true, true};
  const auto line = [&] {
    std::string s;
    for (int i = 0; i < 9; ++i)
      if (keep[i]) s += (s.empty() ? "" : "  ") + std::string(b[i]);
    return s;
  };
  for (int drop : kDropOrder) {
    if (static_cast<int>(line().size()) < width) break;
    keep[drop] = false;
  }
  std::string s = line();
  if (static_cast<int>(s.size()) >= width) s.resize(width > 1 ? width - 1 : 0);
  return s;
}

bool readReport(const std::string& path, Report& r, std::string& why) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return why = "cannot read " + path + ": " + std::strerror(errno), false;
  std::stringstream text;
  text << f.rdbuf();
  try {
    r = Report::fromJson(text.str());
  } catch (const std::exception& e) {
    return why = path + ": " + e.what(), false;
  }
  return true;
}

// Parsed thresholds, or a usage error's text.
bool parseThresholds(const std::vector<std::string>& given, std::vector<Threshold>& out,
                     std::string& why) {
  try {
    for (const std::string& e : given) out.push_back(Threshold::parse(e));
  } catch (const ThresholdError& e) {
    return why = e.what(), false;
  }
  return true;
}

// Every threshold of the report (from its runs, or given now) judged on its figures.
bool judge(Report& r, const std::vector<Threshold>& more, std::string& why) {
  std::vector<Threshold> all;
  for (const ThresholdResult& t : r.thresholds) {
    try {
      all.push_back(Threshold::parse(t.expression));
    } catch (const ThresholdError& e) {
      return why = e.what(), false;
    }
  }
  for (const Threshold& t : more)
    if (std::none_of(all.begin(), all.end(), [&](auto& a) { return a.expression == t.expression; }))
      all.push_back(t);
  r.thresholds.clear();
  for (const Threshold& t : all) r.thresholds.push_back(t.evaluate(r));
  return true;
}

// "50,90,99,99.9": percentages above 0 and at most 100.
bool parsePercentiles(const std::string& text, std::vector<double>& out) {
  std::stringstream in(text);
  std::string item;
  out.clear();
  while (std::getline(in, item, ',')) {
    char* end = nullptr;
    const double p = std::strtod(item.c_str(), &end);
    if (item.empty() || *end != '\0' || !(p > 0 && p <= 100)) return false;
    out.push_back(p);
  }
  return !out.empty() && out.size() <= 8;
}

// One line for a run that failed in the way a new user meets first, with what to do.
std::string diagnosis(const Report& r, const std::string& server) {
  const auto count = [&](const std::string& kind) {
    const auto it = r.errors.find(kind);
    return it == r.errors.end() ? uint64_t{0} : it->second;
  };
  if (const uint64_t inUse = count("login refused (2)"))
    return std::to_string(inUse) +
           " login(s) refused: the name is in use (another run with the same names?); give "
           "another --name-prefix";
  if (r.steps[kConnect].count() > 0 || r.planned == 0 || r.interrupted) return "";
  if (count("connection refused") > 0 && count("connection refused") == r.failed)
    return "every connection was refused: is a server listening on " + server + "?";
  return "no session connected: is " + server + " the server's address, and is it answering?";
}

struct Outputs {
  std::string json, csv, html;
  bool quiet = false;
  std::vector<double> percentiles = HtmlOptions().percentiles;
  // Where the summary goes: standard error when an output takes standard output; nowhere
  // then with --quiet, so that a collected log (kubectl logs mixes the two) is the output alone.
  void printSummary(const Report& r) const {
    const bool taken = json == "-" || csv == "-" || html == "-";
    if (taken && quiet) return;
    std::ostream& to = taken ? std::cerr : std::cout;
    r.printSummary(to);
    to.flush();
  }
};

// Writes the JSON and the HTML page asked for; false when one cannot be written.
bool writeOutputs(const Report& r, const Outputs& o) {
  if (!o.json.empty() && !writeFile(o.json, r.toJson()))
    return problem("cannot write " + o.json + ": " + std::strerror(errno)), false;
  HtmlOptions html;
  html.percentiles = o.percentiles;
  if (!o.html.empty() && !writeFile(o.html, renderHtml(r, html)))
    return problem("cannot write " + o.html + ": " + std::strerror(errno)), false;
  return true;
}

// The runs of one plan (the same parameters but the segment and start) that ran segments of it
// must cover it once: a lost process or a report given twice shows here. "" when they do.
std::string coverage(const Report& r) {
  std::map<std::string, std::vector<Segment>> plans;
  for (const RunInfo& run : r.runs) {
    std::string plan;
    Segment segment;
    for (const auto& [name, value] : run.parameters) {
      std::string why;
      if (name == "segment")
        segment = Segment::parse(value, why).value_or(segment);
      else if (name != "startAt")
        plan += name + "=" + value + "\n";
    }
    plans[plan].push_back(segment);
  }
  for (const auto& [plan, segments] : plans) {
    if (std::all_of(segments.begin(), segments.end(), [](auto& s) { return s.whole(); }))
      continue;  // whole runs of one plan are runs of their own
    std::string problems;
    for (const std::string& p : coverageProblems(segments))
      problems += (problems.empty() ? "" : ", ") + p;
    if (!problems.empty()) return "the segments of a plan do not cover it once: " + problems;
  }
  return "";
}

// Waits until `text`, a UTC time "YYYY-MM-DDTHH:MM:SS[.fff]Z"; false when it is not one.
bool parseStart(const std::string& text, timespec& at) {
  tm t{};
  int ms = 0, used = 0;
  char zone = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday,
                  &t.tm_hour, &t.tm_min, &t.tm_sec, &used) != 6)
    return false;
  std::string rest = text.substr(static_cast<size_t>(used));
  if (rest.size() == 5 && rest[0] == '.' && std::sscanf(rest.c_str(), ".%3d%c", &ms, &zone) == 2)
    rest = std::string(1, zone);
  if (rest != "Z" || t.tm_mon < 1 || t.tm_mon > 12 || t.tm_mday < 1 || t.tm_mday > 31 ||
      t.tm_hour > 23 || t.tm_min > 59 || t.tm_sec > 60)
    return false;
  t.tm_year -= 1900, t.tm_mon -= 1;
  at = {timegm(&t), ms * 1'000'000L};
  return true;
}

// merge and report: the reports combined, their thresholds judged again on the whole.
int combine(const std::vector<std::string>& files, const Outputs& out,
            const std::vector<Threshold>& thresholds, bool verdictDecides) {
  Report total;
  for (size_t i = 0; i < files.size(); ++i) {
    Report r;
    std::string why;
    if (!readReport(files[i], r, why)) return problem(why);
    try {
      if (i == 0)
        total = std::move(r);
      else
        total.merge(r);
    } catch (const std::exception& e) {
      return problem(files[i] + ": " + e.what());
    }
  }
  std::string why = coverage(total);
  if (!why.empty()) return problem(why);
  if (!judge(total, thresholds, why)) return problem(why);
  if (!writeOutputs(total, out)) return 1;
  out.printSummary(total);
  return !verdictDecides || total.passed() ? 0 : 1;
}

int compareReports(const std::string& basePath, const std::string& newPath,
                   std::optional<double> failPercent) {
  Report base, now;
  std::string why;
  if (!readReport(basePath, base, why) || !readReport(newPath, now, why)) return problem(why);
  const std::vector<Change> changes = compare(base, now);
  printComparison(std::cout, changes, failPercent);
  std::cout.flush();
  const bool worse = failPercent && std::any_of(changes.begin(), changes.end(),
                                                [&](auto& c) { return c.regressed(*failPercent); });
  return worse ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Config cfg;
  Outputs out;
  std::string target = cfg.serverText, percentiles = "50,90,99,99.9";
  std::string scenario, segment, startAt;
  bool quiet = false;
  std::vector<std::string> files, thresholdTexts;
  std::string basePath, newPath;
  double failPercent = 0;

  CLI::App app{
      "Drives many client sessions against a world server: each logs in, enters a room,\n"
      "moves and chats on a fixed schedule, and logs out; prints latencies (from the\n"
      "scheduled send time to the kernel's arrival time of the reply), traffic per\n"
      "command and errors by kind, judged by thresholds when given.",
      "scoutswarm"};
  using veltra::tools::range;
  using veltra::tools::Unit;
  veltra::tools::standardFlags(app, quiet,
                               "no progress line; with an output on standard output (-), no "
                               "summary either");
  app.fallthrough();  // -q and the like after a subcommand too
  app.add_option("endpoint", target, "server to load, IPv4 HOST:PORT")
      ->type_name("HOST:PORT")
      ->capture_default_str();
  app.add_option("-n,--sessions", cfg.sessions, "concurrent sessions")
      ->capture_default_str()
      ->check(range(1u, kMaxSessions));
  app.add_option("--room", cfg.room, "room name (with --rooms K: NAME-1 .. NAME-K)")
      ->capture_default_str();
  app.add_option("--rooms", cfg.rooms, "rooms to spread the sessions over evenly")
      ->capture_default_str()
      ->check(range(1u, 1000u));
  app.add_option("--ramp", cfg.ramp, "sessions started per second")
      ->capture_default_str()
      ->check(range(0.01, 100000.0));
  veltra::tools::addDuration(app, "-d,--duration", cfg.duration,
                             "time each session stays in the world (bare number: seconds)",
                             Unit::kSeconds, 0, 86400);
  app.add_option("--move-rate", cfg.moveRate, "moves (LONGLOC) per session per second")
      ->capture_default_str()
      ->check(range(0.0, 1000.0));
  app.add_option("--chat-rate", cfg.chatRate, "chat lines (TEXT) per session per second")
      ->capture_default_str()
      ->check(range(0.0, 1000.0));
  app.add_option("--scenario", scenario,
                 "groups of sessions with their own behaviour, from a JSON file\n"
                 "(see the man page); replaces the rates and the duration")
      ->type_name("FILE");
  veltra::tools::addDuration(app, "--timeout", cfg.timeoutMs,
                             "wait for the connection and each awaited reply (bare number: ms)",
                             Unit::kMillis, 1, 600000);
  app.add_option("--segment", segment,
                 "run only this share of the plan: FROM:TO (0:1/3, 0.5:1) or K/N\n"
                 "(part K of N, K from 0); the shares of N processes add up to the plan")
      ->type_name("SEGMENT");
  app.add_option("--start-at", startAt,
                 "wait until this UTC time (2026-12-07T12:00:00Z) before starting,\n"
                 "so that processes on several machines start together")
      ->type_name("TIME");
  app.add_option("--name-prefix", cfg.prefix,
                 "session names are PREFIX1 .. PREFIXN; distinct prefixes keep\n"
                 "several scoutswarm processes on one server apart")
      ->capture_default_str();
  app.add_option("--avatar", cfg.avatar, "avatar property each session sets")
      ->capture_default_str();
  const auto thresholdOption = [&](CLI::App* on) {
    on->add_option("--threshold", thresholdTexts,
                   "pass/fail criterion, e.g. relay.p99<5ms, sessions.failed==0,\n"
                   "errors.rate<0.1% (repeatable; the man page lists the metrics)")
        ->type_name("EXPR");
  };
  const auto htmlOptions = [&](CLI::App* on) {
    on->add_option("--html", out.html, "write the report as an HTML page to FILE (- : stdout)")
        ->type_name("FILE");
    on->add_option("--percentiles", percentiles, "latency percentiles the page draws over time")
        ->type_name("LIST")
        ->capture_default_str();
  };
  thresholdOption(&app);
  app.add_flag("--abort-on-fail", cfg.abortOnFail,
               "end the run as soon as a threshold is breached for good");
  app.add_option("--json", out.json, "write the final report as JSON to FILE (- : stdout)")
      ->type_name("FILE");
  app.add_option("--csv", out.csv, "write one row of counts per second to FILE (- : stdout)")
      ->type_name("FILE");
  htmlOptions(&app);
  CLI::App* mergeCmd = app.add_subcommand(
      "merge", "combine the JSON reports of several runs exactly and print the summary");
  mergeCmd->add_option("files", files, "reports written with --json")
      ->type_name("FILE")
      ->required();
  mergeCmd->add_option("--json", out.json, "write the merged report as JSON to FILE")
      ->type_name("FILE");
  thresholdOption(mergeCmd);
  CLI::App* reportCmd =
      app.add_subcommand("report", "draw one report, or several merged, as an HTML page");
  reportCmd->add_option("files", files, "reports written with --json")
      ->type_name("FILE")
      ->required();
  htmlOptions(reportCmd);
  reportCmd->get_option("--html")->required();
  thresholdOption(reportCmd);
  CLI::App* compareCmd =
      app.add_subcommand("compare", "set the main figures of two reports side by side");
  compareCmd->add_option("base", basePath, "the report to compare against")
      ->type_name("BASE.json")
      ->required();
  compareCmd->add_option("new", newPath, "the report to judge")->type_name("NEW.json")->required();
  compareCmd
      ->add_option("--fail-on-regression", failPercent,
                   "exit 1 when a latency percentile or failure count is higher\n"
                   "than the base's by more than PCT percent")
      ->type_name("PCT")
      ->check(range(0.0, 1e9));

  try {
    app.parse(arguments(argc, argv));
  } catch (const CLI::ParseError& e) {
    return veltra::tools::usageExit(app, e);
  }
  out.quiet = quiet;
  for (const auto& [name, value] :
       {std::pair{"--json", &out.json}, {"--csv", &out.csv}, {"--html", &out.html}})
    for (const CLI::App* on : {&app, mergeCmd, reportCmd})
      if (const CLI::Option* o = on->get_option_no_throw(name); o && o->count() && value->empty())
        return usage(std::string(name) + " needs a file name");
  if ((out.json == "-") + (out.csv == "-") + (out.html == "-") > 1)
    return usage("only one of --json, --csv and --html can write to standard output (-)");
  if (!parsePercentiles(percentiles, out.percentiles))
    return usage("--percentiles wants 1 to 8 percentages above 0 and up to 100, as 50,90,99.9: " +
                 percentiles);
  if (scenario.empty() && app.count("--scenario")) return usage("--scenario needs a file name");
  std::vector<Threshold> thresholds;
  std::string why;
  if (!parseThresholds(thresholdTexts, thresholds, why)) return usage(why);
  if (compareCmd->parsed())
    return compareReports(basePath, newPath,
                          compareCmd->count("--fail-on-regression")
                              ? std::optional<double>(failPercent)
                              : std::nullopt);
  if (mergeCmd->parsed()) return combine(files, out, thresholds, true);
  if (reportCmd->parsed()) return combine(files, out, thresholds, false);

  if (!veltra::tools::parseEndpoint(target, cfg.server))
    return usage("invalid server address (want IPv4 HOST:PORT): " + target);
  cfg.serverText = target;
  if (cfg.prefix.empty() || cfg.prefix.size() > 200)
    return usage("--name-prefix must have 1 to 200 bytes");
  if (cfg.room.empty() || cfg.room.size() > 200) return usage("--room must have 1 to 200 bytes");
  if (cfg.avatar.size() > 200) return usage("--avatar must have at most 200 bytes");
  if (cfg.abortOnFail && thresholds.empty()) return usage("--abort-on-fail needs a --threshold");
  if (!scenario.empty()) {
    std::ifstream f(scenario, std::ios::binary);
    if (!f) return problem("cannot read " + scenario + ": " + std::strerror(errno));
    std::stringstream text;
    text << f.rdbuf();
    const std::string bad = loadScenario(scenario, text.str(), app, cfg);
    if (!bad.empty()) return usage(bad);
  }
  if (!segment.empty() || app.count("--segment")) {
    const auto s = Segment::parse(segment, why);
    if (!s) return usage("--segment: " + why + ", got " + segment);
    cfg.segment = *s;
  }
  timespec startTime{};
  if (!startAt.empty() || app.count("--start-at")) {
    if (!parseStart(startAt, startTime))
      return usage("--start-at: want a UTC time as 2026-12-07T12:00:00Z, got " + startAt);
    cfg.startAt = startAt;
  }
  if (!raiseFileLimit(cfg.segment.last(cfg.sessions) - cfg.segment.first(cfg.sessions), why))
    return problem(why);

  std::FILE* csvFile = nullptr;
  if (!out.csv.empty()) {
    csvFile = out.csv == "-" ? stdout : std::fopen(out.csv.c_str(), "w");
    if (!csvFile) return problem("cannot write " + out.csv + ": " + std::strerror(errno));
    std::fputs(
        "elapsed_s,connecting,in_world,completed,failed,moves_sent,relays,relay_p99_ms,errors\n",
        csvFile);
  }

  // Every process of the plan starts at the agreed time (a past one: at once).
  if (!cfg.startAt.empty())
    while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &startTime, nullptr) == EINTR) {
    }

  // SIGINT and SIGTERM end the run early through the loop; a second one ends it at once.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  const int sigFd = signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC);

  const int width = quiet ? 0 : terminalWidth();
  Progress before;
  Swarm swarm(cfg);
  swarm.watchInterrupt(sigFd);
  bool aborted = false;
  swarm.run([&](const Progress& p) {
    if (csvFile) {
      // Ticks fall on whole seconds; the last row, with the totals, at the run's end.
      std::fprintf(csvFile, p.last ? "%.3f" : "%.0f", p.elapsed);
      std::fprintf(csvFile, ",%u,%u,%u,%u,%llu,%llu,%.3f,%llu\n", p.connecting, p.inWorld, p.done,
                   p.failed, static_cast<unsigned long long>(p.movesSent),
                   static_cast<unsigned long long>(p.relays),
                   static_cast<double>(p.intervalRelayP99) / 1000.0,
                   static_cast<unsigned long long>(p.errors));
      std::fflush(csvFile);
    }
    if (width > 0 && !p.last)
      std::fprintf(stderr, "\r%s\033[K",
                   progressLine(p, before, cfg.plannedSeconds(), width).c_str());
    before = p;
    if (!cfg.abortOnFail || aborted || p.last) return;
    for (const Threshold& t : thresholds) {
      if (!t.breachIsFinal(swarm.report())) continue;
      if (width > 0) std::fputc('\n', stderr);
      if (!quiet)
        std::fprintf(stderr, "scoutswarm: threshold %s breached (%s): ending the run\n",
                     veltra::tools::escapeText(t.expression).c_str(),
                     observedText(t.evaluate(swarm.report())).c_str());
      aborted = true;
      swarm.interrupt();
      return;
    }
  });
  if (width > 0) std::fputs("\r\033[K", stderr);
  if (sigFd >= 0) ::close(sigFd);

  Report& report = swarm.report();
  for (const Threshold& t : thresholds) report.thresholds.push_back(t.evaluate(report));
  int rc = report.passed() ? 0 : 1;
  if (csvFile && csvFile != stdout && std::fclose(csvFile) != 0)
    rc = problem("cannot write " + out.csv);
  if (!writeOutputs(report, out)) rc = 1;
  const std::string hint = diagnosis(report, cfg.serverText);
  if (!hint.empty()) problem(hint);
  out.printSummary(report);
  return rc;
}
