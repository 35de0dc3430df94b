// scoutswarm: drives many client sessions against a world server from one
// process and reports latencies, traffic and errors; `scoutswarm merge`
// combines the JSON reports of several runs into one.
//
// Exit status: 0 when every session completed and no error was counted, 1
// otherwise (or when a file cannot be read or written), 2 for a usage error.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "common/netio.hpp"
#include "common/process.hpp"
#include "common/text.hpp"
#include "scoutswarm/swarm.hpp"
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

// CLI::Range lets NaN through, as every comparison with it is false.
const CLI::Validator kNumber(
    [](std::string& text) {
      return std::isnan(std::strtod(text.c_str(), nullptr)) ? "not a number: " + text
                                                            : std::string();
    },
    "", "NUMBER");

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

bool writeFile(const std::string& path, const std::string& text) {
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

std::string progressLine(const Progress& p, const Progress& before) {
  char buf[200];
  std::snprintf(buf, sizeof buf,
                "%6.0fs  connecting %u  in world %u  done %u  failed %u  moves/s %llu  "
                "relays/s %llu  relay p99 %.3f ms  errors %llu",
                p.elapsed, p.connecting, p.inWorld, p.done, p.failed,
                static_cast<unsigned long long>(p.movesSent - before.movesSent),
                static_cast<unsigned long long>(p.relays - before.relays),
                static_cast<double>(p.intervalRelayP99) / 1000.0,
                static_cast<unsigned long long>(p.errors));
  return buf;
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

int merge(const std::vector<std::string>& files, const std::string& json) {
  Report total;
  bool first = true;
  for (const std::string& path : files) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return problem("cannot read " + path + ": " + std::strerror(errno));
    std::stringstream text;
    text << f.rdbuf();
    try {
      Report r = Report::fromJson(text.str());
      if (first)
        total = std::move(r), first = false;
      else
        total.merge(r);
    } catch (const std::exception& e) {
      return problem(path + ": " + e.what());
    }
  }
  if (!json.empty() && !writeFile(json, total.toJson()))
    return problem("cannot write " + json + ": " + std::strerror(errno));
  total.printSummary(std::cout);
  std::cout.flush();
  return total.passed() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Config cfg;
  std::string json, csv, scenario, target = cfg.serverText;
  bool quiet = false;
  std::vector<std::string> mergeFiles;

  CLI::App app{
      "Drives many client sessions against a world server: each logs in, enters a room,\n"
      "moves and chats on a fixed schedule, and logs out; prints latencies (from the\n"
      "scheduled send time to the kernel's arrival time of the reply), traffic per\n"
      "command and errors by kind.",
      "scoutswarm"};
  app.set_version_flag("--version", std::string("scoutswarm ") + veltra::proto::kVersion);
  app.add_option("endpoint", target, "server to load, IPv4 HOST:PORT")
      ->type_name("HOST:PORT")
      ->capture_default_str();
  app.add_option("-n,--sessions", cfg.sessions, "concurrent sessions")
      ->capture_default_str()
      ->check(CLI::Range(1u, kMaxSessions));
  app.add_option("--room", cfg.room, "room name (with --rooms K: NAME-1 .. NAME-K)")
      ->capture_default_str();
  app.add_option("--rooms", cfg.rooms, "rooms to spread the sessions over evenly")
      ->capture_default_str()
      ->check(CLI::Range(1u, 1000u));
  app.add_option("--ramp", cfg.ramp, "sessions started per second")
      ->capture_default_str()
      ->check(kNumber)
      ->check(CLI::Range(0.01, 100000.0));
  app.add_option("-d,--duration", cfg.duration, "seconds each session stays in the world")
      ->capture_default_str()
      ->check(kNumber)
      ->check(CLI::Range(0.0, 86400.0));
  app.add_option("--move-rate", cfg.moveRate, "moves (LONGLOC) per session per second")
      ->capture_default_str()
      ->check(kNumber)
      ->check(CLI::Range(0.0, 1000.0));
  app.add_option("--chat-rate", cfg.chatRate, "chat lines (TEXT) per session per second")
      ->capture_default_str()
      ->check(kNumber)
      ->check(CLI::Range(0.0, 1000.0));
  app.add_option("--scenario", scenario,
                 "groups of sessions with their own behaviour, from a JSON file\n"
                 "(see the man page); replaces the rates and the duration")
      ->type_name("FILE");
  app.add_option("--timeout", cfg.timeoutMs,
                 "milliseconds to wait for the connection and each awaited reply")
      ->capture_default_str()
      ->check(CLI::Range(1u, 600000u));
  app.add_option("--name-prefix", cfg.prefix,
                 "session names are PREFIX1 .. PREFIXN; distinct prefixes keep\n"
                 "several scoutswarm processes on one server apart")
      ->capture_default_str();
  app.add_option("--avatar", cfg.avatar, "avatar property each session sets")
      ->capture_default_str();
  app.add_option("--json", json, "write the final report as JSON to FILE")->type_name("FILE");
  app.add_option("--csv", csv, "write one row of counts per second to FILE")->type_name("FILE");
  app.add_flag("-q,--quiet", quiet, "no progress line on standard error");
  CLI::App* mergeCmd = app.add_subcommand(
      "merge", "combine the JSON reports of several runs exactly and print the summary");
  mergeCmd->add_option("files", mergeFiles, "reports written with --json")
      ->type_name("FILE")
      ->required();
  mergeCmd->add_option("--json", json, "write the merged report as JSON to FILE")
      ->type_name("FILE");

  try {
    app.parse(arguments(argc, argv));
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    std::fprintf(stderr, "scoutswarm: %s\nRun with --help for more information.\n",
                 veltra::tools::escapeText(e.what()).c_str());
    return 2;
  }
  if (json.empty() && (app.count("--json") || mergeCmd->count("--json")))
    return usage("--json needs a file name");
  if (csv.empty() && app.count("--csv")) return usage("--csv needs a file name");
  if (scenario.empty() && app.count("--scenario")) return usage("--scenario needs a file name");
  if (mergeCmd->parsed()) return merge(mergeFiles, json);

  if (!veltra::tools::parseEndpoint(target, cfg.server))
    return usage("invalid server address (want IPv4 HOST:PORT): " + target);
  cfg.serverText = target;
  if (cfg.prefix.empty() || cfg.prefix.size() > 200)
    return usage("--name-prefix must have 1 to 200 bytes");
  if (cfg.room.empty() || cfg.room.size() > 200) return usage("--room must have 1 to 200 bytes");
  if (cfg.avatar.size() > 200) return usage("--avatar must have at most 200 bytes");
  if (!scenario.empty()) {
    std::ifstream f(scenario, std::ios::binary);
    if (!f) return problem("cannot read " + scenario + ": " + std::strerror(errno));
    std::stringstream text;
    text << f.rdbuf();
    const std::string bad = loadScenario(scenario, text.str(), app, cfg);
    if (!bad.empty()) return usage(bad);
  }
  std::string why;
  if (!raiseFileLimit(cfg.sessions, why)) return problem(why);

  std::FILE* csvFile = nullptr;
  if (!csv.empty()) {
    csvFile = std::fopen(csv.c_str(), "w");
    if (!csvFile) return problem("cannot write " + csv + ": " + std::strerror(errno));
    std::fputs(
        "elapsed_s,connecting,in_world,completed,failed,moves_sent,relays,relay_p99_ms,errors\n",
        csvFile);
  }

  // SIGINT and SIGTERM end the run early through the loop; a second one ends it at once.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  const int sigFd = signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC);

  const bool terminal = isatty(STDERR_FILENO) == 1;
  Progress before;
  Swarm swarm(cfg);
  swarm.watchInterrupt(sigFd);
  swarm.run([&](const Progress& p) {
    if (csvFile) {
      std::fprintf(csvFile, "%.0f,%u,%u,%u,%u,%llu,%llu,%.3f,%llu\n", p.elapsed, p.connecting,
                   p.inWorld, p.done, p.failed, static_cast<unsigned long long>(p.movesSent),
                   static_cast<unsigned long long>(p.relays),
                   static_cast<double>(p.intervalRelayP99) / 1000.0,
                   static_cast<unsigned long long>(p.errors));
      std::fflush(csvFile);
    }
    if (!quiet && terminal) {
      std::fprintf(stderr, "\r%s\033[K", progressLine(p, before).c_str());
    } else if (!quiet && static_cast<long>(p.elapsed + 0.5) % 5 == 0) {
      std::fprintf(stderr, "%s\n", progressLine(p, before).c_str());
    }
    before = p;
  });
  if (!quiet && terminal) std::fputc('\n', stderr);
  if (sigFd >= 0) ::close(sigFd);

  int rc = swarm.report().passed() ? 0 : 1;
  if (csvFile && std::fclose(csvFile) != 0) rc = problem("cannot write " + csv);
  if (!json.empty() && !writeFile(json, swarm.report().toJson()))
    rc = problem("cannot write " + json + ": " + std::strerror(errno));
  swarm.report().printSummary(std::cout);
  std::cout.flush();
  return rc;
}
