#include "scoutdump/decoder.hpp"

#include <pcap/dlt.h>
#include <tins/exceptions.h>
#include <tins/ip.h>
#include <tins/ipv6.h>
#include <tins/packet.h>
#include <tins/tcp.h>
#include <tins/tcp_ip/stream_follower.h>

#include <algorithm>
#include <chrono>
#include <exception>

#include "veltra/proto/framer.hpp"
#include "veltra/proto/reader.hpp"

namespace scoutdump {

namespace proto = veltra::proto;
using Tins::TCPIP::Flow;
using Tins::TCPIP::Stream;
using Tins::TCPIP::StreamFollower;
using Tins::TCPIP::StreamIdentifier;

namespace {

// An IP packet, whichever version its first nibble names; null for anything else.
std::unique_ptr<Tins::PDU> ipPdu(std::span<const uint8_t> b) {
  if (b.empty()) return nullptr;
  const auto size = static_cast<uint32_t>(b.size());
  if (b[0] >> 4 == 4) return std::make_unique<Tins::IP>(b.data(), size);
  if (b[0] >> 4 == 6) return std::make_unique<Tins::IPv6>(b.data(), size);
  return nullptr;
}

// The IP packet inside a link-layer frame; null when it carries something else.
std::unique_ptr<Tins::PDU> linkPdu(int dlt, std::span<const uint8_t> b) {
  size_t at = 0, typeAt = 0;  // where IP starts; where its EtherType is
  switch (dlt) {
    case DLT_EN10MB:
      typeAt = 12;
      at = 14;
      // One or two VLAN tags.
      while (b.size() >= at && (b[typeAt] << 8 | b[typeAt + 1]) == 0x8100) typeAt += 4, at += 4;
      break;
    case DLT_LINUX_SLL: typeAt = 14, at = 16; break;
    case DLT_LINUX_SLL2: typeAt = 0, at = 20; break;
    case DLT_NULL:
    case DLT_LOOP: return b.size() < 4 ? nullptr : ipPdu(b.subspan(4));
    default: return ipPdu(b);  // raw IP
  }
  if (b.size() < at) return nullptr;
  const int type = b[typeAt] << 8 | b[typeAt + 1];
  return type == 0x0800 || type == 0x86dd ? ipPdu(b.subspan(at)) : nullptr;
}

std::string endpoint(const std::string& addr, uint16_t port, bool v6) {
  return (v6 ? "[" + addr + "]" : addr) + ":" + std::to_string(port);
}

}  // namespace

bool Decoder::supportsLinkType(int dlt) {
  switch (dlt) {
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
    case DLT_LINUX_SLL2:
    case DLT_NULL:
    case DLT_LOOP:
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6: return true;
    default: return false;
  }
}

struct Decoder::Impl {
  struct Direction {
    proto::Framer framer;
    bool dead = false;     // no longer decoded
    bool started = false;  // where its bytes start is known: its SYN was seen, or joined late
    bool acked = false;    // the peer has acknowledged bytes; up to ackedTo
    uint32_t ackedTo = 0;
  };
  // One TCP connection. libtins calls the side it saw first its client; for a
  // connection joined late that may be our server, hence `swapped`.
  struct Conn {
    ConnInfo info;
    Direction dir[2];
    bool v6 = false, swapped = false;
    Tins::IPv4Address client4, server4;  // libtins's client and server
    Tins::IPv6Address client6, server6;
    StreamIdentifier::address_type tinsClient{};
    uint16_t tinsClientPort = 0, tinsServerPort = 0;
    bool ended = false;  // libtins let go of it
  };

  Impl(std::set<uint16_t> p, Sink& s, Summary& sum) : ports(std::move(p)), sink(s), summary(sum) {
    follower.follow_partial_streams(true);
    // Chat connections idle for hours; only the capture's end should end them.
    follower.stream_keep_alive(std::chrono::hours(24 * 365 * 10));
    follower.new_stream_callback([this](Stream& s) { onNewStream(s); });
    follower.stream_termination_callback([this](Stream& s, StreamFollower::TerminationReason r) {
      if (Conn* c = connOf(s))
        onEnded(*c, s,
                r == StreamFollower::TIMEOUT ? "reassembly gave the connection up (idle)"
                                             : "reassembly gave the connection up (too much "
                                               "data held behind a hole)");
    });
  }

  Conn* connOf(const Stream& s) {
    const auto it = conns.find(StreamIdentifier::make_identifier(s));
    return it == conns.end() ? nullptr : it->second.get();
  }
  static std::string clientText(const Stream& s) {
    return s.is_v6() ? endpoint(s.client_addr_v6().to_string(), s.client_port(), true)
                     : endpoint(s.client_addr_v4().to_string(), s.client_port(), false);
  }
  static std::string serverText(const Stream& s) {
    return s.is_v6() ? endpoint(s.server_addr_v6().to_string(), s.server_port(), true)
                     : endpoint(s.server_addr_v4().to_string(), s.server_port(), false);
  }
  // libtins's stream of a connection, or null once it has let go of it.
  Stream* streamOf(const Conn& c) {
    try {
      if (c.ended) return nullptr;
      if (c.v6)
        return &follower.find_stream(c.client6, c.tinsClientPort, c.server6, c.tinsServerPort);
      return &follower.find_stream(c.client4, c.tinsClientPort, c.server4, c.tinsServerPort);
    } catch (const Tins::stream_not_found&) {
      return nullptr;
    }
  }
  // Our direction of the data sent by libtins's client (or server).
  static Dir dirOf(const Conn& c, bool tinsClientSends) {
    return tinsClientSends != c.swapped ? Dir::kToServer : Dir::kToClient;
  }
  static Flow& flowOf(const Conn& c, Stream& s, Dir d) {
    return dirOf(c, true) == d ? s.client_flow() : s.server_flow();
  }

  void emit(Event::Kind kind, const Conn& c, Dir d, std::string message = {},
            std::span<const uint8_t> frame = {}) {
    Event e;
    e.kind = kind;
    e.time = now;
    e.conn = &c.info;
    e.dir = d;
    e.frame = frame;
    e.message = std::move(message);
    sink.event(e);
  }

  void onNewStream(Stream& s) {
    const StreamIdentifier key = StreamIdentifier::make_identifier(s);
    if (auto it = conns.find(key); it != conns.end()) {
      // Data after libtins let go of the connection, or after its close: the
      // stream would start at an arbitrary offset. A new SYN is a new connection.
      if (s.is_partial_stream()) {
        s.ignore_client_data();
        s.ignore_server_data();
        return;
      }
      retired.push_back(std::move(it->second));
      conns.erase(it);
    }
    auto conn = std::make_unique<Conn>();
    Conn& c = *conn;
    c.v6 = s.is_v6();
    if (c.v6) {
      c.client6 = s.client_addr_v6(), c.server6 = s.server_addr_v6();
      c.tinsClient = StreamIdentifier::serialize(c.client6);
    } else {
      c.client4 = s.client_addr_v4(), c.server4 = s.server_addr_v4();
      c.tinsClient = StreamIdentifier::serialize(c.client4);
    }
    c.tinsClientPort = s.client_port();
    c.tinsServerPort = s.server_port();
    c.info.partial = s.is_partial_stream();
    c.swapped = c.info.partial && ports.count(c.tinsClientPort) && !ports.count(c.tinsServerPort);
    c.info.client = c.swapped ? serverText(s) : clientText(s);
    c.info.server = c.swapped ? clientText(s) : serverText(s);
    c.info.id = static_cast<int>(++summary.connections);
    c.dir[static_cast<int>(dirOf(c, true))].started = true;  // its SYN, or its first segment
    c.dir[static_cast<int>(dirOf(c, false))].started = c.info.partial;
    if (c.info.partial) ++summary.partialConnections;
    conns.emplace(key, std::move(conn));

    s.auto_cleanup_payloads(true);
    s.client_data_callback(
        [this, &c](Stream& st) { onData(c, dirOf(c, true), st.client_payload()); });
    s.server_data_callback(
        [this, &c](Stream& st) { onData(c, dirOf(c, false), st.server_payload()); });
    s.stream_closed_callback([this, &c](Stream& st) { onEnded(c, st, nullptr); });
    emit(Event::kConnection, c, Dir::kToServer,
         c.info.partial ? "start not captured; client guessed by port; decoding assumes the "
                          "first captured bytes start a frame"
                        : "");
  }

  // Stops decoding one direction for good.
  void kill(Conn& c, Dir d, Event::Kind kind, std::string message) {
    Direction& dd = c.dir[static_cast<int>(d)];
    if (dd.dead) return;
    dd.dead = true;
    ++(kind == Event::kGap ? summary.gaps : summary.badLength);
    emit(kind, c, d, std::move(message));
    if (Stream* s = streamOf(c)) flowOf(c, *s, d).ignore_data_packets();
  }

  void onData(Conn& c, Dir d, Stream::payload_type& data) {
    Direction& dd = c.dir[static_cast<int>(d)];
    if (!dd.dead) {
      summary.dir[static_cast<int>(d)].bytes += data.size();
      std::span<const uint8_t> rest(data);
      // The framer takes what fits; draining it always makes room for more.
      while (!rest.empty() && !dd.dead) {
        rest = rest.subspan(dd.framer.feed(rest));
        drain(c, d);
      }
    }
    data.clear();
  }

  void drain(Conn& c, Dir d) {
    Direction& dd = c.dir[static_cast<int>(d)];
    for (;;) {
      std::span<const uint8_t> body;
      switch (dd.framer.next(body)) {
        case proto::Framer::Result::kNeedMore: return;
        case proto::Framer::Result::kBadLength:
          kill(c, d, Event::kBadLength,
               "length byte " + std::to_string(dd.framer.badLength()) +
                   " (below 3); this direction is no longer decoded");
          return;
        case proto::Framer::Result::kFrame: frame(c, d, body); break;
      }
    }
  }

  void frame(const Conn& c, Dir d, std::span<const uint8_t> body) {
    // The framer's view starts behind the length byte, which it keeps in front.
    const std::span<const uint8_t> whole(body.data() - 1, body.size() + 1);
    Summary::PerDir& pd = summary.dir[static_cast<int>(d)];
    ++pd.frames;
    std::vector<proto::Incoming> cmds;
    try {
      cmds = proto::parsePacket(body);
    } catch (const proto::ReadError& e) {
      ++summary.undecodable;
      emit(Event::kUndecodable, c, d, e.what(), whole);
      return;
    }
    ++pd.byCode[cmds.front().command].frames;
    Event e;
    e.kind = Event::kCommand;
    e.time = now;
    e.conn = &c.info;
    e.dir = d;
    e.frame = whole;
    for (size_t i = 0; i < cmds.size(); ++i) {
      ++pd.commands;
      ++pd.byCode[cmds[i].command].commands;
      e.cmd = &cmds[i];
      e.lastOfFrame = i + 1 == cmds.size();
      sink.event(e);
    }
  }

  // A stream libtins lets go of (closed, given up, or the capture's end):
  // what it still holds behind a hole, and unfinished frames, are reported.
  void onEnded(Conn& c, Stream& s, const char* why) {
    if (c.ended) return;
    for (Dir d : {Dir::kToServer, Dir::kToClient}) {
      const Flow& f = flowOf(c, s, d);
      checkHole(c, d, f);
      if (!c.dir[static_cast<int>(d)].started) {
        // Without its SYN, libtins cannot know where the direction's bytes begin.
        if (!f.buffered_payload().empty())
          kill(c, d, Event::kGap, "gap: the SYN of this direction was never captured; not decoded");
      } else if (!f.buffered_payload().empty()) {
        const uint32_t missing = f.buffered_payload().begin()->first - f.sequence_number();
        kill(c, d, Event::kGap,
             "gap: " + std::to_string(missing) + " bytes never captured; the " +
                 std::to_string(f.total_buffered_bytes()) + " after them are not decoded");
      } else if (why) {
        kill(c, d, Event::kGap, std::string(why) + "; this direction is no longer decoded");
      }
      Direction& dd = c.dir[static_cast<int>(d)];
      if (!dd.dead && dd.framer.buffered() > 0) {
        ++summary.unfinished;
        emit(Event::kUnfinished, c, d,
             std::to_string(dd.framer.buffered()) + " bytes of an unfinished frame at the end");
      }
    }
    // A long live capture sees many connections: an ended one keeps no buffers.
    for (Direction& dd : c.dir) dd.framer = proto::Framer();
    c.ended = true;
  }

  // The next byte a flow expects, its FIN counted (the peer acknowledges that too).
  static uint32_t expected(const Flow& f) {
    return f.sequence_number() + (f.state() == Flow::FIN_SENT ? 1 : 0);
  }

  // A peer that acknowledges bytes the capture never showed proves them lost to
  // the capture: they will not be sent again. While nothing later is held, the
  // bytes may still come (a capture can show an ACK before the data it covers),
  // so the hole is reported once bytes past it wait, or when the stream ends.
  void checkAck(Conn& c, const Tins::TCP& tcp, bool fromTinsClient) {
    if (!(tcp.flags() & Tins::TCP::ACK)) return;
    Stream* s = streamOf(c);
    if (!s) return;
    const Dir peer = dirOf(c, !fromTinsClient);
    Direction& dd = c.dir[static_cast<int>(peer)];
    const Flow& f = fromTinsClient ? s->server_flow() : s->client_flow();
    if (dd.dead || !dd.started || f.state() == Flow::RST_SENT) return;
    if (!dd.acked || static_cast<int32_t>(tcp.ack_seq() - dd.ackedTo) > 0)
      dd.acked = true, dd.ackedTo = tcp.ack_seq();
    if (!f.buffered_payload().empty()) checkHole(c, peer, f);
  }
  void checkHole(Conn& c, Dir d, const Flow& f) {
    const Direction& dd = c.dir[static_cast<int>(d)];
    auto missing = static_cast<int32_t>(dd.ackedTo - expected(f));
    if (!dd.acked || missing <= 0) return;
    // Bytes held behind the hole were captured; the hole ends where they start.
    if (!f.buffered_payload().empty())
      missing = std::min(missing,
                         static_cast<int32_t>(f.buffered_payload().begin()->first - expected(f)));
    kill(c, d, Event::kGap,
         "gap: at least " + std::to_string(missing) +
             " bytes never captured (the peer acknowledged them); this direction is no longer "
             "decoded");
  }

  void packet(int dlt, std::span<const uint8_t> bytes, size_t wireLength, timeval ts) {
    ++summary.packets;
    // In floating point: a corrupt capture's times may be anything.
    if (!haveFirst) first = ts, haveFirst = true;
    now = (static_cast<double>(ts.tv_sec) - static_cast<double>(first.tv_sec)) +
          (static_cast<double>(ts.tv_usec) - static_cast<double>(first.tv_usec)) / 1e6;
    std::unique_ptr<Tins::PDU> pdu;
    try {
      pdu = linkPdu(dlt, bytes);
    } catch (const std::exception&) {
      ++summary.unreadable;
      return;
    }
    const Tins::TCP* tcp = pdu ? pdu->find_pdu<Tins::TCP>() : nullptr;
    if (!tcp || (!ports.count(tcp->sport()) && !ports.count(tcp->dport()))) return;
    ++summary.tcpPackets;
    if (bytes.size() < wireLength) {
      // Its payload is cut; leaving it out makes the loss a hole that is reported.
      ++summary.cutPackets;
      return;
    }
    if (auto it = conns.find(StreamIdentifier::make_identifier(*pdu)); it != conns.end()) {
      Conn& c = *it->second;
      const auto* ip6 = pdu->find_pdu<Tins::IPv6>();
      const auto src = ip6 ? StreamIdentifier::serialize(ip6->src_addr())
                           : StreamIdentifier::serialize(pdu->rfind_pdu<Tins::IP>().src_addr());
      const bool fromTinsClient = src == c.tinsClient && tcp->sport() == c.tinsClientPort;
      if (tcp->flags() & Tins::TCP::SYN)
        c.dir[static_cast<int>(dirOf(c, fromTinsClient))].started = true;
      checkAck(c, *tcp, fromTinsClient);
    }
    try {
      Tins::Packet p(pdu.release(), Tins::Timestamp(ts), Tins::Packet::own_pdu());
      follower.process_packet(p);
    } catch (const Tins::exception_base&) {
      ++summary.unreadable;
    }
  }

  void finish() {
    for (auto& [key, c] : conns)
      if (Stream* s = streamOf(*c)) onEnded(*c, *s, nullptr);
  }

  std::set<uint16_t> ports;
  Sink& sink;
  Summary& summary;
  StreamFollower follower;
  std::map<StreamIdentifier, std::unique_ptr<Conn>> conns;
  std::vector<std::unique_ptr<Conn>> retired;  // replaced by a new connection
  bool haveFirst = false;
  timeval first{};  // of the first packet
  double now = 0;
};

Decoder::Decoder(std::set<uint16_t> ports, Sink& sink)
    : impl_(std::make_unique<Impl>(std::move(ports), sink, summary_)) {}
Decoder::~Decoder() = default;

void Decoder::packet(int dlt, std::span<const uint8_t> bytes, size_t wireLength, timeval ts) {
  impl_->packet(dlt, bytes, wireLength, ts);
}

void Decoder::finish() { impl_->finish(); }

}  // namespace scoutdump
