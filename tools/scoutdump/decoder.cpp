#include "scoutdump/decoder.hpp"

#include <pcap/dlt.h>
#include <tins/exceptions.h>
#include <tins/ip.h>
#include <tins/ipv6.h>
#include <tins/packet.h>
#include <tins/rawpdu.h>
#include <tins/tcp.h>
#include <tins/tcp_ip/stream_identifier.h>

#include <algorithm>
#include <deque>
#include <exception>
#include <unordered_map>

#include "veltra/proto/framer.hpp"
#include "veltra/proto/reader.hpp"
#include "veltra/proto/view.hpp"

namespace scoutdump {

namespace proto = veltra::proto;
using Tins::TCPIP::StreamIdentifier;

namespace {

// An IP packet, whichever version its first nibble names; null for anything else.
std::unique_ptr<Tins::PDU> ipPdu(std::span<const uint8_t> b) {
  if (b.empty()) return nullptr;
  const auto size = static_cast<uint32_t>(b.size());
  if (b[0] >> 4 == 4) {
    // A total length below the header's own would make the packet's end unknown.
    if (b.size() >= 4 && (b[2] << 8 | b[3]) < (b[0] & 15) * 4) throw Tins::malformed_packet();
    return std::make_unique<Tins::IP>(b.data(), size);
  }
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
      // VLAN tags: 802.1Q, and the outer one of 802.1ad (QinQ).
      while (b.size() >= at && ((b[typeAt] << 8 | b[typeAt + 1]) == 0x8100 ||
                                (b[typeAt] << 8 | b[typeAt + 1]) == 0x88a8))
        typeAt += 4, at += 4;
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
  using Address = StreamIdentifier::address_type;
  struct Endpoint {
    Address addr{};
    uint16_t port = 0;
    auto operator<=>(const Endpoint&) const = default;
  };
  // A connection's 4-tuple, the same both ways: its lower endpoint first.
  struct Tuple {
    Endpoint lo, hi;
    bool operator==(const Tuple&) const = default;
  };
  struct TupleHash {
    size_t operator()(const Tuple& t) const noexcept {
      uint64_t h = 14695981039346656037ull;  // FNV-1a
      auto mix = [&h](uint8_t b) { h = (h ^ b) * 1099511628211ull; };
      for (const Endpoint* e : {&t.lo, &t.hi}) {
        for (uint8_t b : e->addr) mix(b);
        mix(static_cast<uint8_t>(e->port)), mix(static_cast<uint8_t>(e->port >> 8));
      }
      return static_cast<size_t>(h);
    }
  };

  // The bytes of a direction once it carries any: most connections of a scan
  // or a flood never do, and cost nothing for them.
  static constexpr size_t kNodeCost = 64;
  struct Data {
    proto::Framer framer;
    uint64_t offset = 0;                            // stream bytes before `next`
    std::map<uint64_t, std::vector<uint8_t>> held;  // behind a hole, by stream offset
    size_t heldBytes = 0;
    // Each held segment costs its bytes and its node, so that tiny ones add up too.
    size_t cost() const { return heldBytes + held.size() * kNodeCost; }
  };
  struct Half {
    uint32_t isn = 0;      // of its SYN
    uint32_t next = 0;     // the sequence number of the next byte to decode
    uint32_t fin = 0;      // of its FIN
    uint32_t ackedTo = 0;  // the most the peer has acknowledged
    bool synSeen : 1 = false;
    bool started : 1 = false;  // where its bytes start is known: its SYN, or joined late
    bool finSeen : 1 = false;
    bool finReached : 1 = false;  // every byte up to the FIN decoded
    bool acked : 1 = false;
    bool dead : 1 = false;      // no longer decoded
    bool afterFin : 1 = false;  // bytes past the FIN reported
    std::unique_ptr<Data> data;
    // The next byte the peer acknowledges, the FIN counted.
    uint32_t expected() const { return next + (finReached ? 1 : 0); }
    bool done() const { return finSeen && (finReached || dead || !started); }
  };
  // Kept small: a capture may hold very many at once. Its addresses are
  // written out only for the events it has.
  struct Conn {
    int id = 0;
    bool partial = false, v6 = false;
    Half half[2];  // by Dir
    bool clientIsLo = false;
    bool hasData = false;
    double lastSeen = 0;
    Conn *prev = nullptr, *next = nullptr;  // in its idle list, least recent first
    const Tuple* key = nullptr;             // its key in the map
  };
  // Connections by time of their last packet; the least recently seen first.
  struct IdleList {
    Conn *head = nullptr, *tail = nullptr;
    void unlink(Conn& c) {
      (c.prev ? c.prev->next : head) = c.next;
      (c.next ? c.next->prev : tail) = c.prev;
      c.prev = c.next = nullptr;
    }
    void pushBack(Conn& c) {
      c.prev = tail, c.next = nullptr;
      (tail ? tail->next : head) = &c;
      tail = &c;
    }
  };
  struct Closed {
    double when = 0;
    uint64_t serial = 0;
    bool known[2] = {false, false};  // by side: lo, hi
    uint32_t end[2] = {0, 0};        // the sequence number past each side's last byte or FIN
  };

  Impl(std::set<uint16_t> p, Sink& s, Summary& sum) : ports(std::move(p)), sink(s), summary(sum) {}

  static Half& half(Conn& c, Dir d) { return c.half[static_cast<int>(d)]; }

  void emit(Event::Kind kind, const Conn& c, Dir d, std::string message = {},
            std::span<const uint8_t> frame = {}) {
    Event e;
    e.kind = kind;
    e.time = now;
    e.conn = &info(c);
    e.dir = d;
    e.frame = frame;
    e.message = std::move(message);
    sink.event(e);
  }

  Conn& open(const Tuple& t, bool clientIsLo, bool partial, bool v6) {
    const auto [it, added] = conns.try_emplace(t);
    Conn& c = it->second;
    c.key = &it->first;
    c.clientIsLo = clientIsLo;
    c.partial = partial, c.v6 = v6;
    c.id = static_cast<int>(++summary.connections);
    if (partial) ++summary.partialConnections;
    c.lastSeen = now;
    idle[0].pushBack(c);
    emit(Event::kConnection, c, Dir::kToServer,
         partial ? "start not captured; client guessed by port; decoding assumes the first "
                   "captured bytes start a frame"
                 : "");
    return c;
  }
  const ConnInfo& info(const Conn& c) {
    if (shown.id != c.id) {
      shown.id = c.id;
      shown.partial = c.partial;
      shown.client = text(c.clientIsLo ? c.key->lo : c.key->hi, c.v6);
      shown.server = text(c.clientIsLo ? c.key->hi : c.key->lo, c.v6);
    }
    return shown;
  }
  static std::string text(const Endpoint& e, bool v6) {
    if (v6) {
      Tins::IPv6Address a(e.addr.data());
      return endpoint(a.to_string(), e.port, true);
    }
    uint32_t raw;
    std::copy_n(e.addr.data(), 4, reinterpret_cast<uint8_t*>(&raw));
    return endpoint(Tins::IPv4Address(raw).to_string(), e.port, false);
  }

  // Stops decoding one direction for good.
  void kill(Conn& c, Dir d, Event::Kind kind, std::string message) {
    Half& h = half(c, d);
    if (h.dead) return;
    h.dead = true;
    ++(kind == Event::kGap ? summary.gaps : summary.badLength);
    emit(kind, c, d, std::move(message));
    drop(h);
  }
  void drop(Half& h) {
    if (h.data) heldAll -= h.data->cost();
    h.data.reset();
  }

  void deliver(Conn& c, Dir d, std::span<const uint8_t> rest) {
    Half& h = half(c, d);
    h.next += static_cast<uint32_t>(rest.size());
    h.data->offset += rest.size();
    summary.dir[static_cast<int>(d)].bytes += rest.size();
    // The framer takes what fits; draining it always makes room for more.
    while (!rest.empty() && !h.dead) {
      rest = rest.subspan(h.data->framer.feed(rest));
      drain(c, d);
    }
  }

  void drain(Conn& c, Dir d) {
    Half& h = half(c, d);
    for (;;) {
      std::span<const uint8_t> whole;
      switch (h.data->framer.nextWhole(whole)) {
        case proto::Framer::Result::kNeedMore: return;
        case proto::Framer::Result::kBadLength:
          kill(c, d, Event::kBadLength,
               "length byte " + std::to_string(h.data->framer.badLength()) +
                   " (below 3); this direction is no longer decoded");
          return;
        case proto::Framer::Result::kFrame: frame(c, d, whole); break;
      }
    }
  }

  // One whole frame, length byte first: events show it whole.
  void frame(const Conn& c, Dir d, std::span<const uint8_t> whole) {
    Summary::PerDir& pd = summary.dir[static_cast<int>(d)];
    ++pd.frames;
    std::vector<proto::Incoming> cmds;
    try {
      // packet() is there for a frame the view refuses too: the parser names the fault.
      cmds = proto::parsePacket(proto::FrameView::whole(whole).packet());
    } catch (const proto::ReadError& e) {
      ++summary.undecodable;
      emit(Event::kUndecodable, c, d, e.what(), whole);
      return;
    }
    ++pd.byCode[cmds.front().command].frames;
    Event e;
    e.kind = Event::kCommand;
    e.time = now;
    e.conn = &info(c);
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

  // The bytes of one segment, `seq` being that of its first byte.
  void bytes(Conn& c, Dir d, uint32_t seq, bool fin, std::span<const uint8_t> bytes) {
    Half& h = half(c, d);
    if (!h.started) {
      if (bytes.empty() && !fin) return;
      if (!c.partial && !bytes.empty()) {
        kill(c, d, Event::kGap, "gap: the SYN of this direction was never captured; not decoded");
        return;
      }
      h.started = true, h.next = seq;
    }
    if (fin && !h.finSeen) h.finSeen = true, h.fin = seq + static_cast<uint32_t>(bytes.size());
    if (h.dead) return;
    if (h.finSeen) {
      // A peer takes nothing past a FIN: such bytes are shown as a fault, not decoded.
      const auto past = static_cast<int32_t>(seq + static_cast<uint32_t>(bytes.size()) - h.fin);
      if (past > 0) {
        const size_t keep = bytes.size() - std::min<size_t>(bytes.size(), past);
        if (!h.afterFin) {
          h.afterFin = true;
          ++summary.gaps;
          emit(Event::kGap, c, d,
               std::to_string(bytes.size() - keep) +
                   " bytes sent after this direction's FIN; they are not decoded");
        }
        bytes = bytes.first(keep);
      }
    }
    if (!bytes.empty()) {
      if (!h.data) h.data = std::make_unique<Data>();
      if (!c.hasData) {
        idle[0].unlink(c);
        idle[1].pushBack(c);
        c.hasData = true;
      }
      Data& data = *h.data;
      auto start = static_cast<int64_t>(data.offset) + static_cast<int32_t>(seq - h.next);
      if (start < static_cast<int64_t>(data.offset)) {  // partly or wholly sent before
        const auto old = static_cast<uint64_t>(static_cast<int64_t>(data.offset) - start);
        bytes = bytes.subspan(std::min<uint64_t>(old, bytes.size()));
        start = static_cast<int64_t>(data.offset);
      }
      if (!bytes.empty() && start == static_cast<int64_t>(data.offset)) {
        deliver(c, d, bytes);
        // What waited behind the hole, as far as it now goes on.
        while (!h.dead && !data.held.empty() && data.held.begin()->first <= data.offset) {
          auto node = data.held.extract(data.held.begin());
          data.heldBytes -= node.mapped().size();
          heldAll -= node.mapped().size() + kNodeCost;
          const uint64_t skip = data.offset - node.key();
          if (skip < node.mapped().size())
            deliver(c, d, std::span<const uint8_t>(node.mapped()).subspan(skip));
        }
      } else if (!bytes.empty()) {
        const size_t before = data.cost();
        auto& slot = data.held[static_cast<uint64_t>(start)];
        if (slot.size() < bytes.size()) {
          data.heldBytes += bytes.size() - slot.size();
          slot.assign(bytes.begin(), bytes.end());
        }
        heldAll += data.cost() - before;
        if (data.cost() > kMaxHeld || heldAll > kMaxHeldAll)
          kill(c, d, Event::kGap,
               "gap: " + std::to_string(data.held.begin()->first - data.offset) +
                   " bytes missing while " + std::to_string(data.heldBytes) +
                   " wait behind them, more than is kept; this direction is no longer decoded");
      }
    }
    if (!h.dead && h.finSeen && h.next == h.fin) h.finReached = true;
  }

  // A peer that acknowledges bytes the capture never showed proves them lost to
  // the capture: they will not be sent again. While nothing later is held, the
  // bytes may still come (a capture can show an ACK before the data it covers),
  // so the hole is reported once bytes past it wait, or when the stream ends.
  void ack(Conn& c, Dir peer, uint32_t ackSeq) {
    Half& h = half(c, peer);
    if (h.dead || !h.started) return;
    if (!h.acked || static_cast<int32_t>(ackSeq - h.ackedTo) > 0)
      h.acked = true, h.ackedTo = ackSeq;
    if (h.data && !h.data->held.empty()) checkHole(c, peer);
  }
  void checkHole(Conn& c, Dir d) {
    Half& h = half(c, d);
    auto missing = static_cast<int64_t>(static_cast<int32_t>(h.ackedTo - h.expected()));
    if (!h.acked || h.dead || !h.started || missing <= 0) return;
    // Bytes held behind the hole were captured; the hole ends where they start.
    if (h.data && !h.data->held.empty())
      missing = std::min<int64_t>(missing, h.data->held.begin()->first - h.data->offset);
    kill(c, d, Event::kGap,
         "gap: at least " + std::to_string(missing) +
             " bytes never captured (the peer acknowledged them); this direction is no longer "
             "decoded");
  }

  // A connection ends (closed, replaced, idle or the capture's end): what it
  // still holds behind a hole, and unfinished frames, are reported; then it is
  // forgotten. A closed one's 4-tuple is remembered a while.
  void end(const Tuple& t, Conn& c, bool closed, const char* why = nullptr) {
    for (Dir d : {Dir::kToServer, Dir::kToClient}) {
      Half& h = half(c, d);
      checkHole(c, d);
      if (!h.dead && h.data && !h.data->held.empty())
        kill(c, d, Event::kGap,
             h.finReached ? std::to_string(h.data->heldBytes) +
                                " bytes sent after this direction's FIN; they are not decoded"
                          : "gap: " + std::to_string(h.data->held.begin()->first - h.data->offset) +
                                " bytes never captured; the " + std::to_string(h.data->heldBytes) +
                                " after them are not decoded");
      if (!h.dead && h.data && h.data->framer.buffered() > 0) {
        ++summary.unfinished;
        emit(
            Event::kUnfinished, c, d,
            std::to_string(h.data->framer.buffered()) + " bytes of an unfinished frame at the end");
      }
      drop(h);
    }
    if (why) emit(Event::kConnection, c, Dir::kToServer, why);
    if (closed) {
      Closed& r = recent[t];
      r.when = now;
      r.serial = ++serial;
      for (Dir d : {Dir::kToServer, Dir::kToClient}) {
        const Half& h = half(c, d);
        const int side = (d == Dir::kToServer) == c.clientIsLo ? 0 : 1;
        r.known[side] = h.started;
        r.end[side] = h.finSeen ? h.fin + 1 : h.next;
      }
      recentOrder.emplace_back(t, r.serial);
      while (recentOrder.size() > kRecentlyClosed) {
        const auto& [old, s] = recentOrder.front();
        if (auto it = recent.find(old); it != recent.end() && it->second.serial == s)
          recent.erase(it);
        recentOrder.pop_front();
      }
    }
    idle[c.hasData].unlink(c);
    conns.erase(conns.find(t));  // by position: `t` may be the key erased
  }

  // A segment on a 4-tuple closed a short while ago that only repeats what it
  // carried, or acknowledges: a late retransmission, not a new connection.
  bool late(const Tuple& t, bool fromLo, const Tins::TCP& tcp, size_t length) {
    const auto it = recent.find(t);
    if (it == recent.end() || !(now - it->second.when <= kRecentlyClosedFor)) return false;
    const Closed& r = it->second;
    const int side = fromLo ? 0 : 1;
    return length == 0 || (tcp.flags() & Tins::TCP::RST) || !r.known[side] ||
           static_cast<int32_t>(tcp.seq() - r.end[side]) < 0;
  }

  void expire() {
    for (int i : {0, 1}) {
      const double limit = i ? kIdle : kIdleEmpty;
      while (idle[i].head && now - idle[i].head->lastSeen > limit) {
        Conn& c = *idle[i].head;
        end(*c.key, c, false,
            i ? "idle for more than an hour; forgotten (its later packets start a new "
                "connection)"
              : nullptr);
      }
    }
  }
  // One TCP segment of the 4-tuple `t`, sent by its lower endpoint or not.
  void segment(const Tuple& t, bool fromLo, bool v6, const Tins::TCP& tcp,
               std::span<const uint8_t> payload) {
    const uint8_t flags = tcp.flags();
    const bool syn = flags & Tins::TCP::SYN, isAck = flags & Tins::TCP::ACK;
    auto it = conns.find(t);
    Conn* c = it == conns.end() ? nullptr : &it->second;
    if (syn && !isAck) {
      // A SYN opens a new connection, unless it repeats the one that opened this one.
      if (c && !(fromLo == c->clientIsLo && half(*c, Dir::kToServer).synSeen &&
                 half(*c, Dir::kToServer).isn == tcp.seq()))
        end(t, *c, false), c = nullptr;
      if (!c) {
        c = &open(t, fromLo, false, v6);
        Half& h = half(*c, Dir::kToServer);
        h.synSeen = h.started = true;
        h.isn = tcp.seq(), h.next = tcp.seq() + 1;
      }
    } else if (syn) {
      // A SYN-ACK: the server's start, and the client's, which it acknowledges.
      if (!c) {
        c = &open(t, !fromLo, false, v6);
        Half& h = half(*c, Dir::kToServer);
        h.synSeen = h.started = true;
        h.isn = tcp.ack_seq() - 1, h.next = tcp.ack_seq();
      }
      const Dir d = fromLo == c->clientIsLo ? Dir::kToServer : Dir::kToClient;
      Half& h = half(*c, d);
      if (h.synSeen ? h.isn == tcp.seq()
                    : h.started && static_cast<int32_t>(tcp.seq() + 1 - h.next) <= 0) {
        // Sent again, or from before a capture that joined late.
      } else if (!h.started || !h.data) {  // nothing decoded yet that a new start would lose
        h.synSeen = h.started = true, h.isn = tcp.seq(), h.next = tcp.seq() + 1;
      } else {
        kill(*c, d, Event::kGap,
             "gap: the sequence numbers of this direction started again; not decoded");
      }
    } else if (!c) {
      if (late(t, fromLo, tcp, payload.size()) || payload.empty()) return;
      // Joined late: the first sender is taken for the client, unless only it is on a port.
      const uint16_t from = fromLo ? t.lo.port : t.hi.port, to = fromLo ? t.hi.port : t.lo.port;
      const bool swapped = ports.count(from) && !ports.count(to);
      c = &open(t, fromLo != swapped, true, v6);
    }
    c->lastSeen = now;
    idle[c->hasData].unlink(*c);
    idle[c->hasData].pushBack(*c);
    const Dir d = fromLo == c->clientIsLo ? Dir::kToServer : Dir::kToClient;
    const Dir peer = d == Dir::kToServer ? Dir::kToClient : Dir::kToServer;
    if (isAck) ack(*c, peer, tcp.ack_seq());
    // Data on a SYN (TCP fast open) starts after it.
    bytes(*c, d, tcp.seq() + (syn ? 1 : 0), flags & Tins::TCP::FIN, payload);
    if ((flags & Tins::TCP::RST) || (c->half[0].done() && c->half[1].done())) end(t, *c, true);
  }

  void packet(int dlt, std::span<const uint8_t> bytes, size_t wireLength, timeval ts) {
    ++summary.packets;
    // In floating point: a corrupt capture's times may be anything.
    if (!haveFirst) first = ts, haveFirst = true;
    now = (static_cast<double>(ts.tv_sec) - static_cast<double>(first.tv_sec)) +
          (static_cast<double>(ts.tv_usec) - static_cast<double>(first.tv_usec)) / 1e6;
    expire();
    std::unique_ptr<Tins::PDU> pdu;
    try {
      pdu = linkPdu(dlt, bytes);
    } catch (const std::exception&) {
      ++summary.unreadable;
      return;
    }
    const Tins::TCP* tcp = pdu ? pdu->find_pdu<Tins::TCP>() : nullptr;
    if (!tcp) return;
    if (!ports.count(tcp->sport()) && !ports.count(tcp->dport())) {
      ++summary.otherPorts[tcp->sport()], ++summary.otherPorts[tcp->dport()];
      return;
    }
    ++summary.tcpPackets;
    if (bytes.size() < wireLength) {
      // Its payload is cut; leaving it out makes the loss a hole that is reported.
      ++summary.cutPackets;
      return;
    }
    Endpoint src, dst;
    const bool v6 = pdu->find_pdu<Tins::IPv6>() != nullptr;
    if (v6) {
      const auto& ip = pdu->rfind_pdu<Tins::IPv6>();
      src.addr = StreamIdentifier::serialize(ip.src_addr());
      dst.addr = StreamIdentifier::serialize(ip.dst_addr());
    } else {
      const auto& ip = pdu->rfind_pdu<Tins::IP>();
      src.addr = StreamIdentifier::serialize(ip.src_addr());
      dst.addr = StreamIdentifier::serialize(ip.dst_addr());
    }
    src.port = tcp->sport(), dst.port = tcp->dport();
    const bool fromLo = src <= dst;
    const auto* raw = tcp->find_pdu<Tins::RawPDU>();
    std::span<const uint8_t> payload;
    if (raw) payload = raw->payload();
    segment(fromLo ? Tuple{src, dst} : Tuple{dst, src}, fromLo, v6, *tcp, payload);
  }

  void finish() {
    std::vector<std::pair<int, Tuple>> left;
    for (const auto& [t, c] : conns) left.emplace_back(c.id, t);
    std::sort(left.begin(), left.end(), [](auto& a, auto& b) { return a.first < b.first; });
    for (const auto& [id, t] : left) end(t, conns.at(t), false);
  }

  std::set<uint16_t> ports;
  Sink& sink;
  Summary& summary;
  std::unordered_map<Tuple, Conn, TupleHash> conns;
  IdleList idle[2];  // [has carried data]
  std::unordered_map<Tuple, Closed, TupleHash> recent;
  std::deque<std::pair<Tuple, uint64_t>> recentOrder;  // oldest first, with its serial
  uint64_t serial = 0;
  size_t heldAll = 0;
  ConnInfo shown;  // of the connection of the last event
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
