// scoutdump: decodes the protocol in captured TCP traffic, as tshark does for
// the protocols it knows: one line per command, faults shown where they are,
// and a summary last.
//
// Usage: scoutdump (-r FILE | -i IFACE) [-c COUNT] [-a duration:S] [--port PORT]...
//                  [-x] [-T text|json] [-Y NAME[,NAME...]] [-q]
// Exit status: 0 when the capture was read to its end (or to -c, -a, SIGINT),
// 1 when it could not be opened or read, 2 for a usage error.
#include <charconv>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "CLI/CLI.hpp"
#include "common/netio.hpp"
#include "scoutdump/capture.hpp"
#include "scoutdump/decoder.hpp"
#include "scoutdump/output.hpp"
#include "veltra/proto/constants.hpp"
#include "veltra/proto/version.hpp"

namespace {

using namespace scoutdump;

void onSignal(int) { requestStop(); }

int usageError(const std::string& message) {
  std::cerr << "scoutdump: " << message << '\n';
  return 2;
}

// Every mnemonic the library can print, "UNKNOWN" included.
std::set<std::string> mnemonics() {
  std::set<std::string> names;
  for (int code = 0; code < 256; ++code) names.insert(veltra::proto::commandName(code));
  return names;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Decodes the chat protocol in captured TCP traffic.", "scoutdump"};
  app.set_version_flag("--version", std::string("scoutdump ") + veltra::proto::kVersion);
  std::string file, iface, autostop, format = "text", countText;
  std::vector<uint16_t> ports;
  std::vector<std::string> names;
  OutputOptions out;
  auto* readOpt =
      app.add_option("-r", file, "Read packets from a pcap or pcapng file")->type_name("FILE");
  app.add_option("-i", iface, "Capture live on this interface")
      ->type_name("IFACE")
      ->excludes(readOpt);
  auto* countOpt =
      app.add_option("-c", countText, "Stop after this many packets")->type_name("COUNT");
  auto* durationOpt = app.add_option("-a", autostop, "Stop a live capture after S seconds")
                          ->type_name("duration:S");
  app.add_option("--port", ports, "A TCP port that carries the protocol (repeatable; default 6650)")
      ->type_name("PORT")
      ->check(CLI::Range(1, 65535));
  app.add_flag("-x", out.hex, "Show every frame's bytes in hex with offsets");
  app.add_option("-T", format, "Output format (default text)")
      ->type_name("text|json")
      ->check(CLI::IsMember({"text", "json"}));
  app.add_option("-Y", names, "Show only commands with these mnemonics")
      ->type_name("NAME[,NAME...]")
      ->delimiter(',');
  app.add_flag("-q", out.quiet, "Print only the summary");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return usageError(e.what());
  }
  if (file.empty() == iface.empty()) return usageError("give one of -r FILE or -i IFACE");
  const std::set<std::string> known = mnemonics();
  for (const std::string& name : names) {
    if (!known.count(name)) return usageError("-Y: unknown mnemonic: " + name);
    out.mnemonics.insert(name);
  }
  CaptureLimits limits;
  if (*countOpt) {
    const char* end = countText.data() + countText.size();
    const auto [at, error] = std::from_chars(countText.data(), end, limits.count);
    if (error != std::errc() || at != end || limits.count == 0)
      return usageError("-c: want a packet count from 1 to 18446744073709551615, got " + countText);
  }
  if (*durationOpt) {
    if (iface.empty()) return usageError("-a applies to live capture (-i) only");
    double seconds = 0;
    size_t used = 0;
    try {
      if (autostop.rfind("duration:", 0) == 0) seconds = std::stod(autostop.substr(9), &used);
    } catch (const std::exception&) {
    }
    if (!(seconds > 0) || used != autostop.size() - 9)
      return usageError("-a: want duration:SECONDS, got " + autostop);
    limits.duration = seconds;
  }
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
  } catch (const CaptureError& e) {
    failure = e.what();
    status = 1;
  }
  decoder.finish();
  printer.summary(decoder.summary());
  if (status != 0) std::cerr << "scoutdump: " << failure << '\n';
  return status;
}
