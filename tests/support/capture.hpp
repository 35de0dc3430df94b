// Crafted captures of one TCP connection, written with libtins (header-only: only
// the tests linking scoutdump_core, hence libtins, include it).
#pragma once

#include <tins/tins.h>

#include <algorithm>
#include <fstream>

#include "support/harness.hpp"

namespace testsupport {

// clang-format off
// A TCP segment 10.0.0.1:40000 (client) ↔ 10.0.0.2:6650 at stream offset `at`. A lost
// one is not written, but its receiver has it: each segment acknowledges what its sender
// has received in sequence. With SYN, it opens the direction anew (new sequence numbers),
// its data riding on the SYN; with FIN, it ends it. A snapped one is written 5 bytes short.
enum How : uint8_t { kSent, kLost, kBadIpLength, kSnapped };  // kBadIpLength: IPv4 total length 19
struct Seg { bool up; uint32_t at; Bytes data; uint8_t how = kSent; uint8_t flags = 0; };
// How the same connection is framed: VLAN tags (QinQ: 802.1ad outside, 802.1Q inside; or one
// 802.1Q tag), both ends on 127.0.0.1, the initial sequence numbers [up]. Packet k is
// captured at 1700000000.9 + 0.3 k seconds.
struct Form { bool qinq = false, vlan = false, loopback = false; uint32_t isn[2] = {5000, 1000}; };
// clang-format on

inline void writeCapture(const std::string& path, bool handshake, const std::vector<Seg>& segs,
                         const Form& form = {}) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  const auto u32 = [&](uint32_t v) { file.write(reinterpret_cast<const char*>(&v), 4); };
  u32(0xa1b2c3d4), u32(0x00040002), u32(0), u32(0), u32(65535), u32(1);  // pcap 2.4, Ethernet
  uint64_t usec = 900000;
  uint32_t isn[2] = {form.isn[0], form.isn[1]};
  std::vector<bool> got[2];  // [up]: the bytes the peer has
  auto put = [&](bool up, uint32_t seq, uint32_t ack, uint8_t flags, const Bytes& data,
                 uint8_t how = kSent) {
    Tins::TCP tcp(up ? 6650 : 40000, up ? 40000 : 6650);
    tcp.seq(seq), tcp.ack_seq(ack), tcp.flags(flags);
    const char* a[2] = {form.loopback ? "127.0.0.1" : "10.0.0.1",
                        form.loopback ? "127.0.0.1" : "10.0.0.2"};
    Tins::IP ip(a[up], a[!up]);
    Bytes b = (Tins::EthernetII() / ip / tcp / Tins::RawPDU(data)).serialize();
    if (how == kBadIpLength) b[16] = 0, b[17] = 19;
    if (form.qinq) b.insert(b.begin() + 12, {0x88, 0xa8, 0, 1, 0x81, 0, 0, 2});
    if (form.vlan) b.insert(b.begin() + 12, {0x81, 0, 0, 3});
    const auto len = static_cast<uint32_t>(b.size()), cap = how == kSnapped ? len - 5 : len;
    u32(static_cast<uint32_t>(1700000000 + usec / 1000000)), u32(usec % 1000000), u32(cap),
        u32(len);
    file.write(reinterpret_cast<const char*>(b.data()), cap);
    usec += 300000;
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
