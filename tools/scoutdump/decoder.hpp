// The decoding core of scoutdump: captured link-layer packets in, events out.
//
// TCP segments on the protocol's ports are reassembled per connection and
// direction here (out-of-order and retransmitted segments included, data on
// a SYN too); each direction's bytes go through the library's Framer, each
// frame through parsePacket, and every command, fault and connection is
// handed to a Sink as it is found. A direction whose stream has a hole that
// will never be filled, or that carries a length byte below 3, is reported
// once and not decoded any further: frames carry no marker to resynchronise
// on, so anything decoded after such a point could be wrong. Nothing here
// prints; nothing throws for any packet content.
//
// Memory stays bounded however long the capture: a connection is forgotten
// once closed (FIN both ways, or RST) and when idle for long (see kIdle...);
// only a small table of recently closed 4-tuples remains, so that a late
// retransmission is not taken for a new connection. Its counts stay in the
// Summary.
#pragma once

#include <sys/time.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "veltra/proto/commands.hpp"

namespace scoutdump {

// Which way a frame travels. The client is the side that sent the SYN; for a
// connection whose start was not captured, the side not on a protocol port.
enum class Dir { kToServer = 0, kToClient = 1 };

struct ConnInfo {
  int id = 0;                  // 1, 2, ... in order of first sight
  std::string client, server;  // "ADDR:PORT", IPv6 addresses in brackets
  bool partial = false;        // the start was not captured
  const std::string& from(Dir d) const { return d == Dir::kToServer ? client : server; }
  const std::string& to(Dir d) const { return d == Dir::kToServer ? server : client; }
};

// One thing found in the capture. `conn`, `frame` and `cmd` are valid only during the call.
struct Event {
  enum Kind {
    kConnection,   // a new connection (message says how it was seen)
    kCommand,      // cmd is set; frame is its whole frame, length byte first
    kUndecodable,  // frame did not parse; message is the library's error
    kBadLength,    // a length byte below 3; the direction is no longer decoded
    kGap,          // bytes missing from the stream; the direction is no longer decoded
    kUnfinished,   // bytes of an incomplete frame left when the stream ended
  };
  Kind kind = kCommand;
  double time = 0;  // seconds since the first packet of the capture
  const ConnInfo* conn = nullptr;
  Dir dir = Dir::kToServer;
  std::span<const uint8_t> frame;
  const veltra::proto::Incoming* cmd = nullptr;
  bool lastOfFrame = true;  // the last command of its frame
  std::string message;
};

class Sink {
 public:
  virtual ~Sink() = default;
  virtual void event(const Event& e) = 0;
};

// Counts for the summary, per direction where a direction applies.
struct Summary {
  struct PerName {
    uint64_t frames = 0, commands = 0;
  };
  struct PerDir {
    uint64_t bytes = 0, frames = 0, commands = 0;
    std::array<PerName, 256> byCode;  // by command code
  };
  uint64_t packets = 0;                     // every packet read
  uint64_t tcpPackets = 0;                  // TCP on a protocol port
  std::map<uint16_t, uint64_t> otherPorts;  // TCP packets elsewhere, by either end's port
  uint64_t unreadable = 0;                  // not parseable down to TCP on a protocol port
  uint64_t cutPackets = 0;  // shorter in the capture than on the wire (snapshot length)
  uint64_t connections = 0, partialConnections = 0;
  PerDir dir[2];
  uint64_t undecodable = 0, badLength = 0, gaps = 0, unfinished = 0;
  uint64_t errors() const { return unreadable + cutPackets + undecodable + badLength + gaps; }
};

class Decoder {
 public:
  Decoder(std::set<uint16_t> ports, Sink& sink);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // A connection without a packet for this long, in capture time, is forgotten:
  // one that never carried data (a scan, a SYN flood) soon, as SYNs are
  // re-sent within about a minute; any other after an hour, as chat sessions
  // idle long. Its later packets start a new connection, joined late.
  static constexpr double kIdleEmpty = 120, kIdle = 3600;
  // Closed 4-tuples remembered, for at most this long, to recognise late
  // retransmissions.
  static constexpr size_t kRecentlyClosed = 4096;
  static constexpr double kRecentlyClosedFor = 120;
  // Bytes held behind a hole, per direction and in all, far beyond what a chat
  // connection has in flight: beyond, the direction is given up as a gap.
  static constexpr size_t kMaxHeld = 8 << 20, kMaxHeldAll = 64 << 20;

  // Whether packets of this link-layer type (a pcap DLT_ value) can be read.
  static bool supportsLinkType(int dlt);

  // One captured packet: `bytes` as captured, `wireLength` as it was on the wire.
  void packet(int dlt, std::span<const uint8_t> bytes, size_t wireLength, timeval ts);
  // End of the capture: holes never filled and unfinished frames are reported.
  void finish();

  const Summary& summary() const { return summary_; }

 private:
  Summary summary_;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace scoutdump
