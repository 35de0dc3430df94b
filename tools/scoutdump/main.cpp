// scoutdump: decodes the protocol in captured TCP traffic, as tshark does for
// the protocols it knows: one line per command, faults shown where they are,
// and a summary last.
//
// Usage: scoutdump (-r FILE | -i IFACE) [-c COUNT] [-a duration:TIME] [--port PORT]...
//                  [-x] [-T text|json] [-Y [!]NAME[,[!]NAME...]] [-q]
// Exit status: 0 when the capture was read to its end (or to -c, -a, SIGINT),
// 1 when it could not be opened or read, or when a file held packets but none
// was TCP on the protocol's ports (a hint names the busiest ports seen), 2 for
// a usage error.
#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "CLI/CLI.hpp"
#include "common/cli.hpp"
#include "scoutdump/capture.hpp"
#include "scoutdump/decoder.hpp"
#include "scoutdump/output.hpp"
#include "veltra/proto/constants.hpp"
#include "veltra/proto/version.hpp"

namespace {

using namespace scoutdump;

void onSignal(int) { requestStop(); }

// Every mnemonic the library can print, "UNKNOWN" included, by its lower-case form.
std::map<std::string, std::string> mnemonics() {
  std::map<std::string, std::string> names;
  for (int code = 0; code < 256; ++code) {
    std::string name = veltra::proto::commandName(static_cast<uint8_t>(code)), key = name;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    names.emplace(key, name);
  }
  return names;
}

// -Y's names, any case, "!NAME" to leave one out; false, with the reason, for a name
// that is none.
bool selectNames(const std::vector<std::string>& names, OutputOptions& out, std::string& why) {
  const std::map<std::string, std::string> known = mnemonics();
  for (const std::string& given : names) {
    const bool exclude = given.starts_with('!');
    std::string key = given.substr(exclude ? 1 : 0);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto it = known.find(key);
    if (it == known.end()) {
      std::set<std::string> valid;
      for (const auto& [k, name] : known) valid.insert(name);
      why = "-Y: unknown name " + given + "; valid names (any case, ! to leave out):";
      for (const std::string& name : valid) why += " " + name;
      return false;
    }
    (exclude ? out.excluded : out.mnemonics).insert(it->second);
  }
  return true;
}

// When a file held packets but none on the protocol's ports: the ports it did use, busiest
// first (each end of a packet counts), so that the right --port is one look away.
std::string portHint(const Summary& s, const std::set<uint16_t>& ports) {
  std::string hint = "no packet was TCP on port";
  for (uint16_t p : ports) hint += (hint.back() == 't' ? " " : ", ") + std::to_string(p);
  if (s.otherPorts.empty()) return hint + "; the capture holds no readable TCP at all";
  std::vector<std::pair<uint64_t, uint16_t>> busiest;
  for (const auto& [port, packets] : s.otherPorts) busiest.emplace_back(packets, port);
  std::stable_sort(busiest.begin(), busiest.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  hint += "; the busiest TCP ports seen:";
  for (size_t i = 0; i < busiest.size() && i < 3; ++i)
    hint += (i ? ", " : " ") + std::to_string(busiest[i].second) + " (" +
            std::to_string(busiest[i].first) + " packets)";
  return hint + "; give the server's with --port PORT";
}

}  // namespace

int main(int argc, char** argv) {
  namespace cli = veltra::tools;
  CLI::App app{"Decodes the chat protocol in captured TCP traffic.", "scoutdump"};
  std::string file, iface, format = "text";
  std::vector<uint16_t> ports;
  std::vector<std::string> names;
  OutputOptions out;
  CaptureLimits limits;
  cli::standardFlags(app, out.quiet, "Print only the summary");
  auto* readOpt =
      app.add_option("-r", file, "Read packets from a pcap or pcapng file")->type_name("FILE");
  app.add_option("-i", iface, "Capture live on this interface")
      ->type_name("IFACE")
      ->excludes(readOpt);
  app.add_option("-c", limits.count, "Stop after this many packets")
      ->type_name("COUNT")
      ->check(cli::range<uint64_t>(1, UINT64_MAX));
  auto* durationOpt =
      app.add_option_function<std::string>(
             "-a",
             [&](const std::string& text) {
               limits.duration = *cli::parseDuration(text.substr(9), cli::Unit::kSeconds);
             },
             "Stop a live capture after TIME (500ms, 1.5s, 2m; a bare number is seconds)")
          ->type_name("duration:TIME")
          ->check(CLI::Validator(
              [](std::string& text) {
                const auto v = text.starts_with("duration:")
                                   ? cli::parseDuration(text.substr(9), cli::Unit::kSeconds)
                                   : std::nullopt;
                return v && *v > 0
                           ? std::string()
                           : "want duration:TIME, TIME above 0 such as 60, 1.5s or 2m, got " + text;
              },
              ""));
  app.add_option("--port", ports, "A TCP port that carries the protocol (repeatable; default 6650)")
      ->type_name("PORT")
      ->check(cli::range<int>(1, 65535));
  app.add_flag("-x", out.hex, "Show every frame's bytes in hex with offsets");
  app.add_option("-T", format, "Output format (default text)")
      ->type_name("text|json")
      ->check(cli::oneOf({"text", "json"}));
  app.add_option("-Y", names,
                 "Show only commands with these mnemonics (any case); !NAME leaves one out")
      ->type_name("[!]NAME[,...]")
      ->delimiter(',');
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return cli::usageExit(app, e);
  }
  if (file.empty() == iface.empty()) return cli::usageError(app, "give one of -r FILE or -i IFACE");
  if (std::string why; !selectNames(names, out, why)) return cli::usageError(app, why);
  if (*durationOpt && iface.empty())
    return cli::usageError(app, "-a applies to live capture (-i) only");
  out.json = format == "json";
  out.flush = !iface.empty();
  std::set<uint16_t> portSet(ports.begin(), ports.end());
  if (portSet.empty()) portSet.insert(6650);

  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  std::ios::sync_with_stdio(false);  // only iostreams write; stdio's locking costs per line
  Printer printer(std::cout, out);
  Decoder decoder(portSet, printer);
  int status = 0;
  std::string failure;
  try {
    if (!file.empty())
      readFile(file, decoder, limits);
    else
      readLive(iface, portSet, decoder, limits);
  } catch (const CannotOpen& e) {
    std::cerr << "scoutdump: " << e.what() << '\n';  // nothing was read: no summary
    return 1;
  } catch (const CaptureError& e) {
    failure = e.what();
    status = 1;
  }
  decoder.finish();
  const Summary& summary = decoder.summary();
  printer.summary(summary);
  if (status == 0 && !file.empty() && summary.packets > 0 && summary.tcpPackets == 0)
    failure = portHint(summary, portSet), status = 1;
  if (status != 0) std::cerr << "scoutdump: " << failure << '\n';
  return status;
}
