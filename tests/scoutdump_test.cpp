// scoutdump end to end: crafted captures written with libtins, the command line's
// failures, and a real stubworld + scoutprobe session captured on lo with tcpdump.
#include <gtest/gtest.h>
#include <tins/tins.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <sstream>

#include "support/harness.hpp"
#include "veltra/proto/commands.hpp"
#include "veltra/proto/version.hpp"

namespace {

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::Process;
using V = std::vector<std::string>;

// The lines before the summary, blanks collapsed. A line "TIME SRC → DST TEXT" becomes
// ">" (DST is on the server's `port`) or "<", then TEXT; connection lines are left out.
V lines(const std::string& out, uint16_t port) {
  V v;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line) && line != "== summary ==";) {
    std::istringstream is(line);
    V w{std::istream_iterator<std::string>(is), {}};
    std::string l = w.size() > 3 && w[2] == "→" ? (w[3].ends_with(":" + std::to_string(port)) ? ">" : "<") : "";
    for (size_t i = l.empty() ? 0 : 4; i < w.size(); ++i) l += (l.empty() ? "" : " ") + w[i];
    if (!l.starts_with("> ** connection")) v.push_back(l);
  }
  return v;
}

const Bytes kPropReq = {0x03, 0xff, 0x0a};                                        // PROPREQ
const Bytes kLongLoc = {0x0b, 0x01, 0x01, 0, 10, 0, 20, 0, 0, 0, 90};             // LONGLOC
const Bytes kDisappear = {0x03, 0x0c, 0x0b};                                      // DISAPPR #12
const Bytes kShort = {0x04, 0x01, 0x01, 0x00}, kBadLen = {0x02, 0x01, 0x0a};      // faults
const std::string kA = "PROPREQ [#255] 0 propiedad(es)", kB = "LONGLOC [#1] @10,20,0 dir=90";
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}

// One TCP segment 10.0.0.1:40000 (client) ↔ 10.0.0.2:6650 at stream offset `at`; a lost
// one is not written, but its receiver has it. Every segment acknowledges what its
// sender has received in sequence.
struct Seg {
  bool up;  // client to server
  uint32_t at;
  Bytes data;
  bool lost = false;
};

void writeCapture(const std::string& path, bool handshake, const std::vector<Seg>& segs) {
  Tins::PacketWriter w(path, Tins::DataLinkType<Tins::EthernetII>());
  const uint32_t isn[2] = {1000, 5000};
  std::vector<std::pair<uint32_t, uint32_t>> got[2];  // [up]: byte ranges the peer has
  auto ackOf = [&](bool up) {
    uint32_t n = 0;
    for (bool more = true; more;) {
      more = false;
      for (auto [a, b] : got[!up]) more |= a <= n && b > n ? (n = b, true) : false;
    }
    return isn[!up] + 1 + n;
  };
  auto put = [&](bool up, uint32_t seq, uint32_t ack, uint8_t flags, const Bytes& data) {
    Tins::TCP tcp(up ? 6650 : 40000, up ? 40000 : 6650);
    tcp.seq(seq), tcp.ack_seq(ack), tcp.flags(flags);
    Tins::EthernetII e = Tins::EthernetII() / Tins::IP(up ? "10.0.0.2" : "10.0.0.1",
                                                       up ? "10.0.0.1" : "10.0.0.2") / tcp;
    if (!data.empty()) e /= Tins::RawPDU(data);
    w.write(e);
  };
  if (handshake) {
    put(true, isn[1], 0, Tins::TCP::SYN, {});
    put(false, isn[0], isn[1] + 1, Tins::TCP::SYN | Tins::TCP::ACK, {});
    put(true, isn[1] + 1, isn[0] + 1, Tins::TCP::ACK, {});
  }
  for (const Seg& s : segs) {
    got[s.up].emplace_back(s.at, s.at + s.data.size());
    if (!s.lost) put(s.up, isn[s.up] + 1 + s.at, ackOf(s.up), Tins::TCP::ACK | Tins::TCP::PSH, s.data);
  }
}

TEST(Scoutdump, CraftedCaptures) {
  struct Row {
    const char* name;
    std::vector<Seg> segs;
    V want;
    bool handshake = true;
    size_t cut = 0;  // bytes cut off the file's end
  };
  const Bytes ab = cat({kPropReq, kLongLoc});
  const Row rows[] = {
      {"split", {{1, 0, Bytes(ab.begin(), ab.begin() + 5)}, {1, 5, Bytes(ab.begin() + 5, ab.end())}},
       {"> " + kA, "> " + kB}},
      {"several in one", {{1, 0, cat({kPropReq, kLongLoc, kPropReq})}}, {"> " + kA, "> " + kB, "> " + kA}},
      {"out of order", {{1, 3, kLongLoc}, {1, 0, kPropReq}, {0, 0, kDisappear}}, {"> " + kA, "> " + kB, "< DISAPPR [#12]"}},
      {"retransmitted", {{1, 0, Bytes(ab.begin(), ab.begin() + 5)}, {1, 0, Bytes(ab.begin(), ab.begin() + 5)}, {1, 0, ab}},
       {"> " + kA, "> " + kB}},
      {"undecodable, bad length", {{1, 0, cat({kPropReq, kShort, kPropReq, kBadLen, kPropReq})}},
       {"> " + kA, "> !! undecodable frame: read past the end of the packet", "0000 04 01 01 00 ....", "> " + kA,
        "> !! length byte 2 (below 3); this direction is no longer decoded"}},
      {"lost, acknowledged", {{1, 0, kPropReq}, {1, 3, kPropReq, true}, {1, 6, kLongLoc}, {0, 0, kDisappear}, {1, 17, kPropReq}},
       {"> " + kA, "> !! gap: at least 3 bytes never captured (the peer acknowledged them); this direction is no longer decoded", "< DISAPPR [#12]"}},
      {"lost, never acknowledged", {{1, 0, kPropReq}, {1, 3, kPropReq, true}, {1, 6, kLongLoc}},
       {"> " + kA, "> !! gap: 3 bytes never captured; the 11 after them are not decoded"}},
      {"start not captured", {{0, 0, kDisappear}, {1, 0, kPropReq}}, {"< DISAPPR [#12]", "> " + kA}, false},
      {"cut file", {{1, 0, kPropReq}, {1, 3, kLongLoc}}, {"> " + kA}, true, 5},
  };
  const std::string path = testing::TempDir() + "scoutdump_crafted.pcap";
  for (const Row& row : rows) {
    writeCapture(path, row.handshake, row.segs);
    std::filesystem::resize_file(path, std::filesystem::file_size(path) - row.cut);
    const Process r(SCOUTDUMP_BIN, {"-r", path}, 10s);
    EXPECT_EQ(lines(r.out, 6650), row.want) << row.name;
    EXPECT_EQ(r.status, row.cut ? 1 : 0) << row.name << r.err;
    EXPECT_EQ(r.err.starts_with("scoutdump: truncated dump file"), row.cut > 0) << row.name << r.err;
  }
  std::filesystem::remove(path);
}
}  // namespace
