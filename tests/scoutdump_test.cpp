// scoutdump end to end: crafted captures written with libtins, the command line's
// failures, and a real stubworld + scoutprobe session captured on lo with tcpdump.
#include <gtest/gtest.h>
#include <tins/tins.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <sstream>

#include "support/capture.hpp"
#include "support/harness.hpp"
#include "veltra/proto/commands.hpp"
#include "veltra/proto/version.hpp"

namespace {

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::LoopbackRecording;
using testsupport::Process;
using testsupport::Seg, testsupport::writeCapture, testsupport::kSent, testsupport::kLost,
    testsupport::kBadIpLength;
using V = std::vector<std::string>;

// The lines before the summary, blanks collapsed. A line "TIME SRC → DST TEXT" becomes
// ">" (DST is on the server's `port`) or "<", then TEXT; connection lines are left out.
V lines(const std::string& out, uint16_t port) {
  V v;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line) && line != "== summary ==";) {
    std::istringstream is(line);
    V w{std::istream_iterator<std::string>(is), {}};
    std::string l =
        w.size() > 3 && w[2] == "→" ? (w[3].ends_with(":" + std::to_string(port)) ? ">" : "<") : "";
    for (size_t i = l.empty() ? 0 : 4; i < w.size(); ++i) l += (l.empty() ? "" : " ") + w[i];
    if (!l.starts_with("> ** connection")) v.push_back(l);
  }
  return v;
}

// clang-format off
const Bytes kPropReq = {0x03, 0xff, 0x0a}, kDisappear = {0x03, 0x0c, 0x0b};  // to 255, 12
const Bytes kLongLoc = {0x0b, 0x01, 0x01, 0, 10, 0, 20, 0, 0, 0, 90};        // to 1
const Bytes kShort = {0x04, 0x01, 0x01, 0x00}, kBadLen = {0x02, 0x01, 0x0a};  // faults
const std::string kA = "> PROPREQ [#255] 0 propiedad(es)", kB = "> LONGLOC [#1] @10,20,0 dir=90";
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}
// clang-format on

TEST(Scoutdump, CraftedCaptures) {
  // clang-format off
  struct Row { const char* name; std::vector<Seg> segs; V want; bool handshake = true; size_t cut = 0; bool qinq = false; };
  const Bytes ab = cat({kPropReq, kLongLoc}), a5(ab.begin(), ab.begin() + 5), b6(ab.begin() + 5, ab.end());
  const std::string kGap = "> !! gap: at least 3 bytes never captured (the peer acknowledged them); ";
  const uint8_t kSyn = Tins::TCP::SYN, kFin = Tins::TCP::FIN;
  std::vector<Seg> backwards;  // more segments out of order than libtins holds
  for (uint32_t i = 600; i-- > 0;) backwards.push_back({1, 3 * i, kPropReq});
  const Row rows[] = {
      {"split", {{1, 0, a5}, {1, 5, b6}}, {kA, kB}},
      {"several in one", {{1, 0, cat({kPropReq, kLongLoc, kPropReq})}}, {kA, kB, kA}},
      {"out of order", {{1, 3, kLongLoc}, {1, 0, kPropReq}, {0, 0, kDisappear}}, {kA, kB, "< DISAPPR [#12]"}},
      {"retransmitted", {{1, 0, a5}, {1, 0, a5}, {1, 0, ab}}, {kA, kB}},
      {"undecodable, bad length", {{1, 0, cat({kPropReq, kShort, kPropReq, kBadLen, kPropReq})}},
       {kA, "> !! undecodable frame: read past the end of the packet", "0000 04 01 01 00 ....", kA,
        "> !! length byte 2 (below 3); this direction is no longer decoded"}},
      {"lost, acknowledged", {{1, 0, kPropReq}, {1, 3, kPropReq, true}, {1, 6, kLongLoc}, {0, 0, kDisappear}, {1, 17, kPropReq}},
       {kA, kGap + "this direction is no longer decoded", "< DISAPPR [#12]"}},
      {"lost, never acknowledged", {{1, 0, kPropReq}, {1, 3, kPropReq, true}, {1, 6, kLongLoc}},
       {kA, "> !! gap: 3 bytes never captured; the 11 after them are not decoded"}},
      {"lost last, acknowledged", {{1, 0, kPropReq}, {1, 3, kLongLoc, true}, {0, 0, kDisappear}},
       {kA, "< DISAPPR [#12]", "> !! gap: at least 11 bytes never captured (the peer acknowledged them); this direction is no longer decoded"}},
      {"acknowledged before seen", {{1, 0, kPropReq, true}, {0, 0, kDisappear}, {1, 0, kPropReq}}, {"< DISAPPR [#12]", kA}},
      {"start not captured", {{0, 0, kDisappear}, {1, 0, kPropReq}}, {"< DISAPPR [#12]", kA}, false},
      {"cut file", {{1, 0, kPropReq}, {1, 3, kLongLoc}}, {kA}, true, 5},  // 5 bytes short
      {"closed, a late copy, a new SYN", {{1, 0, kPropReq}, {1, 3, {}, kSent, kFin}, {0, 0, {}, kSent, kFin}, {1, 0, kPropReq},
       {1, 0, {}, kSent, kSyn}, {0, 0, {}, kSent, kSyn}, {1, 0, kLongLoc}}, {kA, kB}},
      {"new SYN, never closed", {{1, 0, kPropReq}, {1, 0, {}, kSent, kSyn}, {0, 0, {}, kSent, kSyn}, {1, 0, kLongLoc}}, {kA, kB}},
      {"SYN again, new ISN", {{1, 0, {}, kSent, kSyn}, {1, 0, {}, kSent, kSyn}, {0, 0, {}, kSent, kSyn}, {1, 0, kLongLoc}}, {kB}, false},
      {"data on the SYN", {{1, 0, kPropReq, kSent, kSyn}, {0, 0, {}, kSent, kSyn}, {1, 3, kLongLoc}}, {kA, kB}, false},
      {"data after FIN", {{1, 0, kPropReq, kSent, kFin}, {1, 3, kLongLoc}},
       {kA, "> !! 11 bytes sent after this direction's FIN; they are not decoded"}},
      {"one byte past FIN, with a copy", {{1, 0, kPropReq, kSent, kFin}, {1, 1, {0xff, 0x0a, 0x03}}},
       {kA, "> !! 1 bytes sent after this direction's FIN; they are not decoded"}},
      {"600 out of order", backwards, V(600, kA)},
      {"QinQ", {{1, 0, ab}}, {kA, kB}, true, 0, true},
      {"cut by the snap length", {{1, 0, kPropReq}, {1, 3, kLongLoc, testsupport::kSnapped}, {0, 0, kDisappear}},
       {kA, "< DISAPPR [#12]", "> !! gap: at least 11 bytes never captured (the peer acknowledged them); this direction is no longer decoded"}},
      {"IPv4 length below its header", {{1, 0, kPropReq, kBadIpLength}, {1, 3, kLongLoc}, {0, 0, kDisappear}},
       {kGap + "this direction is no longer decoded", "< DISAPPR [#12]"}},
  };
  // clang-format on
  const std::string path =
      testing::TempDir() + "scoutdump_crafted_" + std::to_string(getpid()) + ".pcap";
  for (const Row& row : rows) {
    writeCapture(path, row.handshake, row.segs, {.qinq = row.qinq});
    std::filesystem::resize_file(path, std::filesystem::file_size(path) - row.cut);
    const Process r(SCOUTDUMP_BIN, {"-r", path}, 10s);
    EXPECT_EQ(lines(r.out, 6650), row.want) << row.name;
    EXPECT_EQ(r.status, row.cut ? 1 : 0) << row.name << r.err;
    EXPECT_EQ(r.err.starts_with("scoutdump: truncated dump file"), row.cut > 0) << r.err;
    if (row.cut) continue;  // the same with one more VLAN tag and sequence numbers that wrap
    writeCapture(path, row.handshake, row.segs,
                 {.qinq = row.qinq, .vlan = true, .isn = {0xfffffffd, 0xffffff80}});
    EXPECT_EQ(lines(Process(SCOUTDUMP_BIN, {"-r", path}, 10s).out, 6650), row.want) << row.name;
  }
  std::filesystem::remove(path);
}

TEST(Scoutdump, OutputFormsAndCommandLine) {
  const std::string path =
      testing::TempDir() + "scoutdump_json_" + std::to_string(getpid()) + ".pcap";
  writeCapture(path, true, {{1, 0, cat({kPropReq, kLongLoc})}});
  const std::string json =
      R"("command":"longloc","connection":1,"direction":"client-to-server","dst":"10.0.0.2:6650",)"
      R"("fields":{"dir":90,"x":10,"y":20,"z":0},"hex":"0b0101000a00140000005a",)"
      R"("mnemonic":"LONGLOC","src":"10.0.0.1:40000","target":1,)";
  const std::string hint =
      "scoutdump: no packet was TCP on port 7000; the busiest TCP ports "
      "seen: 6650 (4 packets), 40000 (4 packets); give the server's with "
      "--port PORT\n";
  // Arguments, status, the text on stdout (status 0) or the one line on stderr, and whether a
  // summary is printed.
  const std::tuple<V, int, std::string, bool> rows[] = {
      {{"-r", path, "-T", "json", "-Y", "longLoc"}, 0, json, true},
      {{"-r", path, "-x", "-Y", "!PropReq"},
       0,
       "\n0000  0b 01 01 00 0a 00 14 00  00 00 5a    ",
       true},
      {{"-r", path, "-c", "3"}, 0, "packets: 3 read", true},  // the handshake only
      {{"--version"}, 0, std::string("scoutdump ") + veltra::proto::kVersion + "\n", false},
      {{}, 2, "scoutdump: give one of -r FILE or -i IFACE\n", false},
      {{"-r", path, "-Y", "NOPE"},
       2,
       "scoutdump: -Y: unknown name NOPE; valid names (any case, ! to leave out): APPINIT ",
       false},
      {{"-r", path, "-c", "0"}, 2, "scoutdump: -c: want at least 1, got 0\n", false},
      {{"-r", path, "--prot", "7000"},
       2,
       "scoutdump: unknown option --prot; did you mean --port?\n",
       false},
      {{"-r", path, "--port", "7000"}, 1, hint, true},
      {{"-r", "/nonexistent.pcap"},
       1,
       "scoutdump: /nonexistent.pcap: No such file or directory\n",
       false},
      {{"-i", "nosuchif0", "-a", "duration:1"},
       1,
       "scoutdump: no such interface: nosuchif0\n",
       false}};
  for (const auto& [args, status, text, summary] : rows) {
    const Process p(SCOUTDUMP_BIN, args, 10s);
    EXPECT_EQ(p.status, status) << p.err;
    EXPECT_NE((status ? p.err : p.out).find(text), std::string::npos) << p.out << p.err;
    EXPECT_EQ(p.out.find("PROPREQ ["), std::string::npos);  // -Y LONGLOC, or nothing decoded
    EXPECT_EQ(p.out.find("summary") != std::string::npos, summary) << p.out;  // text or JSON
    EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), status ? 1 : 0) << p.err;
  }
  std::filesystem::remove(path);
}

// One segment's frames: their time, text escaped, one hex dump per frame (a compound one after
// its last command), and the counts by mnemonic, unnamed codes added up.
TEST(Scoutdump, TimesDumpsAndCountsOfOneSegment) {
  const std::string path =
      testing::TempDir() + "scoutdump_text_" + std::to_string(getpid()) + ".pcap";
  const Bytes text = veltra::proto::buildText("ana", "a\x1b\x7f\xc2\x9f\xc2\xa0z");
  writeCapture(path, true,
               {{1, 0, cat({{0x05, 0xfe, 0x0b, 0x05, 0x06}, text, {3, 1, 0x40}, {3, 1, 0x41}})}});
  const std::string at = "\n   0.900000 10.0.0.1:40000 → 10.0.0.2:6650 ";
  const std::pair<V, std::string> rows[] = {
      {{"-x", "-Y", "DISAPPR"}, "DISAPPR [#5]" + at + "DISAPPR [#6]\n0000  05 fe 0b 05 06    "},
      {{"-x", "-Y", "TEXT"},
       "TEXT [#1] <ana> a\\x1b\\x7f\\x9f\xc2\xa0z\n"
       "0000  11 01 0e 00 03 61 6e 61  08 61 1b 7f c2 9f c2 a0  .....ana.a......\n0010  7a"},
      {{"-Y", "UNKNOWN"}, R"(== summary ==
packets: 4 read, 4 TCP on the protocol's ports
connections: 1 (0 without their start)
                         client → server   server → client
bytes                                 28                 0
frames                                 4                 0
commands                               5                 0
frames/commands by mnemonic:
  DISAPPR                            1/2               0/0
  TEXT                               1/1               0/0
  UNKNOWN                            2/2               0/0
errors: 0 (0 undecodable frames, 0 bad length bytes, 0 gaps, 0 unreadable packets, 0 packets cut short)
unfinished frames at the end: 0
)"},
  };
  for (const auto& [args, want] : rows) {
    V all{"-r", path};
    all.insert(all.end(), args.begin(), args.end());
    const Process p(SCOUTDUMP_BIN, all, 10s);
    EXPECT_NE(p.out.find(want), std::string::npos) << p.out;
  }
  std::filesystem::remove(path);
}

// A stubworld session recorded with tcpdump on lo: scoutdump decodes, direction by
// direction, exactly the frames scoutprobe traced.
TEST(Scoutdump, AgreesWithScoutprobeOnARealCapture) {
  if (!LoopbackRecording::possible()) GTEST_SKIP() << "capturing on lo needs root and tcpdump";
  LoopbackRecording recording("scoutdump");
  ASSERT_TRUE(recording.why.empty()) << recording.why;
  Process &server = recording.server, &capture = *recording.capture;
  const std::string &port = recording.port, &path = recording.path;
  const Process probe(SCOUTPROBE_BIN, {"127.0.0.1", port}, 20s);
  ASSERT_EQ(probe.status, 0) << probe.out;
  std::this_thread::sleep_for(300ms);  // the last segments reach the file
  capture.finish(SIGINT, 10s);
  server.finish(SIGTERM, 5s);
  V want;
  std::istringstream trace(probe.out);
  for (std::string line; std::getline(trace, line);) {
    if (!line.starts_with("->") && !line.starts_with("<-")) continue;
    std::istringstream words(line.substr(line.starts_with("->") ? 14 : 2));
    Bytes frame;
    for (std::string w; words >> w;) frame.push_back(std::stoi(w, nullptr, 16));
    for (const auto& in : veltra::proto::parsePacket(std::span(frame).subspan(1)))
      want.push_back((line[0] == '-' ? "> " : "< ") + veltra::proto::describe(in));
  }
  const Process dump(SCOUTDUMP_BIN, {"-r", path, "--port", port}, 20s);
  std::filesystem::remove(path);
  EXPECT_EQ(dump.status, 0) << dump.err;
  V got = lines(dump.out, std::stoi(port));
  // Each direction in its own order: the trace prints a reply when the script reads it.
  std::stable_partition(want.begin(), want.end(), [](auto& l) { return l[0] == '>'; });
  std::stable_partition(got.begin(), got.end(), [](auto& l) { return l[0] == '>'; });
  EXPECT_GE(want.size(), 10u);
  EXPECT_EQ(got, want);
}
}  // namespace
