// Crafted captures of one TCP connection, written with libtins (header-only: only
// the tests linking scoutdump_core, hence libtins, include it).
#pragma once

#include <tins/tins.h>

#include <algorithm>

#include "support/harness.hpp"

namespace testsupport {

// clang-format off
// A TCP segment 10.0.0.1:40000 (client) ↔ 10.0.0.2:6650 at stream offset `at`. A lost
// one is not written, but its receiver has it: each segment acknowledges what its sender
// has received in sequence. With SYN, it opens the direction anew (new sequence numbers),
// its data riding on the SYN; with FIN, it ends it.
enum How : uint8_t { kSent, kLost, kBadIpLength };  // the last: IPv4 total length 19
struct Seg { bool up; uint32_t at; Bytes data; uint8_t how = kSent; uint8_t flags = 0; };
// clang-format on

inline void writeCapture(const std::string& path, bool handshake, const std::vector<Seg>& segs,
                         bool qinq = false) {
  Tins::PacketWriter w(path, Tins::DataLinkType<Tins::EthernetII>());
  uint32_t isn[2] = {5000, 1000};  // [up]
  std::vector<bool> got[2];        // [up]: the bytes the peer has
  auto put = [&](bool up, uint32_t seq, uint32_t ack, uint8_t flags, const Bytes& data,
                 uint8_t how = kSent) {
    Tins::TCP tcp(up ? 6650 : 40000, up ? 40000 : 6650);
    tcp.seq(seq), tcp.ack_seq(ack), tcp.flags(flags);
    Tins::IP ip(up ? "10.0.0.2" : "10.0.0.1", up ? "10.0.0.1" : "10.0.0.2");
    Bytes b = (Tins::EthernetII() / ip / tcp / Tins::RawPDU(data)).serialize();
    if (how == kBadIpLength) b[16] = 0, b[17] = 19;
    // Two tags: 802.1ad outside, 802.1Q inside.
    if (qinq) b.insert(b.begin() + 12, {0x88, 0xa8, 0, 1, 0x81, 0, 0, 2});
    Tins::RawPDU raw(b.data(), static_cast<uint32_t>(b.size()));
    w.write(raw);
  };
  if (handshake) {
    put(true, isn[1], 0, Tins::TCP::SYN, {});
    put(false, isn[0], isn[1] + 1, Tins::TCP::SYN | Tins::TCP::ACK, {});
    put(true, isn[1] + 1, isn[0] + 1, Tins::TCP::ACK, {});
  }
  for (const Seg& s : segs) {
    std::vector<bool>& have = got[s.up];
    if (s.flags & Tins::TCP::SYN) {
      isn[s.up] += 100000, have.assign(s.data.size(), true);
      const uint32_t ack = s.up ? 0 : isn[1] + 1 + static_cast<uint32_t>(got[1].size());
      put(s.up, isn[s.up], ack, s.flags | (s.up ? 0 : Tins::TCP::ACK), s.data);
      continue;
    }
    have.resize(std::max<size_t>(have.size(), s.at + s.data.size()));
    std::fill_n(have.begin() + s.at, s.data.size(), true);
    const auto acked = std::find(got[!s.up].begin(), got[!s.up].end(), false) - got[!s.up].begin();
    if (s.how != kLost)  // ACK|PSH
      put(s.up, isn[s.up] + 1 + s.at, isn[!s.up] + 1 + acked, 0x18 | s.flags, s.data, s.how);
  }
}

}  // namespace testsupport
