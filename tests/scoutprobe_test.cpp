// End-to-end runs of the scoutprobe binary against a scripted loopback peer:
// exact stdout and stderr, exit status, and the exact bytes the client sent.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "support/harness.hpp"
#include "veltra/proto/commands.hpp"
#include "veltra/proto/requests.hpp"

namespace {

using namespace veltra::proto;
using namespace testsupport;
using namespace std::chrono_literals;

std::string trace(const char* dir, const char* label, const Bytes& frame) {
  char buf[32];
  std::string line(buf, std::snprintf(buf, sizeof buf, "%s %-10s  ", dir, label));
  for (uint8_t b : frame) line.append(buf, std::snprintf(buf, sizeof buf, "%02x ", b));
  return line + "\n";
}

// The peer's script and, step by step, what the client must print and send.
struct Dialog {
  std::vector<Step> steps;
  std::string out;
  Bytes sent;

  Dialog& tx(const char* label, const Bytes& f) {
    sent.insert(sent.end(), f.begin(), f.end());
    return peer(1).say(trace("->", label, f));
  }
  Dialog& rx(const Bytes& f, const std::string& then = "") {
    return peer(f).say(trace("<-", "", f) + then);
  }
  Dialog& say(const std::string& text) { return out += text, *this; }
  Dialog& peer(const Step& s) { return steps.push_back(s), *this; }
};

// Runs the client: "{port}" in an argument stands for the peer's. With `err`,
// the client must fail before it connects.
void play(const Dialog& d, std::vector<std::string> args, int status, const std::string& err = "") {
  ScriptedPeer peer(d.steps, 15s);
  const std::string port = std::to_string(peer.port);
  for (std::string& a : args)
    if (auto at = a.find("{port}"); at != a.npos) a.replace(at, 6, port);
  const Process r(SCOUTPROBE_BIN, args, 8s);  // a hang in a quiet tick ends here
  peer.finish();
  EXPECT_EQ(r.out, err.empty() ? "connected to 127.0.0.1:" + port + "\n\n" + d.out : "");
  EXPECT_EQ(r.err, err);
  EXPECT_EQ(r.status, status);
  EXPECT_EQ(peer.received, d.sent);
  EXPECT_EQ(peer.connected, err.empty());
}

// Requests as the client must build them; property lists without empty values.
OldPropertyList props(const std::vector<std::pair<uint8_t, std::string>>& entries) {
  OldPropertyList p;
  for (const auto& [id, v] : entries)
    if (!v.empty()) p.add(id, v);
  return p;
}
Bytes req(Command c, const std::function<void(PacketWriter&)>& body) {
  PacketWriter w(ObjID(kObjClient), c);
  return body(w), w.finish();
}
const Bytes kPropReq = {0x03, 0xff, 0x0a};                     // target 255, PROPREQ
const Bytes kSessExit = {0x06, 0x01, 0x07, 0x04, 0x01, 0x30};  // SESSEXIT, VAR_ERROR = "0"
Bytes utf(Command c, const std::string& s) {                   // ROOMIDRQ; PROPSET of the avatar
  return req(c, [&](PacketWriter& w) {
    if (c == Command::PropertySet) w.utf(""), w.u8(5), w.u8(0), w.u8(0);
    w.utf(s);
  });
}
// SUBSCRIB, TELEPORT (room, x, y) or LONGLOC (x, y, z), with the direction or distance last.
Bytes move(Command c, std::vector<int16_t> v, int16_t last = 157) {
  return req(c, [&](PacketWriter& w) {
    if (c != Command::LongLoc) w.u16(static_cast<uint16_t>(v[0]));
    if (c == Command::Teleport) w.i8(0), w.i8(1), v.push_back(0);
    for (size_t i = c != Command::LongLoc; i < v.size(); ++i) w.i16(v[i]);
    w.i16(last);
  });
}
Bytes tp(int16_t r, int16_t x = 1228, int16_t y = 2465) {
  return move(Command::Teleport, {r, x, y});
}
Bytes ll(int16_t x, int16_t y = 2465, int16_t z = 0) { return move(Command::LongLoc, {x, y, z}); }

// PROPUPD, then the SESSINIT request.
Dialog& hello(Dialog& d, const std::string& user = "u", const std::string& pw = "") {
  const auto p = props({{3, "24"}, {9, "1920"}, {2, user}, {6, pw}, {7, "24"}});
  return d.rx(buildPropertyUpdate({}), "   PROPUPD received\n\n")
      .tx("SESSINIT", req(Command::SessionInit, [&](PacketWriter& w) { w.oldProperties(p); }));
}
const std::string kRoom = "Brackenvel#Reception<dimension-1>", kAvatar = "avatar:tumbo.mov";

TEST(ScoutprobeTest, FailsBeforeConnecting) {
  const std::string dead = std::to_string(ScriptedPeer({}).port);  // closed again
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{"localhost", "{port}"}, "invalid address: localhost\n"},
      {{"127.0.0.1", "abc"}, "invalid port: abc\n"},
      {{"127.0.0.1", "2147483648"}, "invalid port: 2147483648\n"},
      {{"127.0.0.1", "{port}", "u", "r", " -"}, "invalid linger:  -\n"},
      {{"127.0.0.1", "{port}", "u", "r", "-2147483649"}, "invalid linger: -2147483649\n"},
      {{"127.0.0.1", dead}, "connect: Connection refused\n"},
  };
  for (const auto& [args, err] : rows) play({}, args, 1, err);
}

// The script stops at its first failure: after the PROPREQ (stage 0), the
// SESSINIT request (1) or the lookup (2), on the reply given (none: the peer
// half-closes; traced unless its length byte is invalid).
TEST(ScoutprobeTest, ScriptFailures) {
  struct Row {
    int stage;
    Bytes reply;
    std::string then, user = "u", port = "{port}";
  } rows[] = {
      {0, {}, "!! no PROPUPD\n", "u", "{port}x"},  // text after the port number is ignored
      {0, {2}, "!! invalid length: 2\n!! no PROPUPD\n"},
      {0, {5, 1, 0x0e, 'A', 'B'}, "!! UTF string overruns the packet\n"},  // TEXT overruns
      {0, buildRoomId("x", 1), "!! expected PROPUPD\n"},
      {0, buildPropertyUpdate({}),
       "   PROPUPD received\n\n!! string of 300 bytes; the maximum is 255\n",
       std::string(300, 'u')},
      {1, {}, "!! no SESSINIT reply\n"},
      {1, buildRoomId("x", 1), "!! expected SESSINIT reply\n"},
      {1, buildSessionInitReply(props({{2, "x"}})),
       "   SESSINIT: VAR_ERROR=(ausente) (VAR_USERNAME=x )\n!! login rechazado\n"},
      {1, buildSessionInitReply(props({{4, "00"}})),
       "   SESSINIT: VAR_ERROR=00 (VAR_ERROR=00 )\n!! login rechazado\n"},
      {2, {}, "!! no ROOMID\n"},
      {2, {5, 1, 0x15, 5, 'a'}, "!! UTF string overruns the packet\n"},  // ROOMID, 1 of 5 bytes
  };
  for (const Row& r : rows) {
    Dialog d;
    d.peer(1).say("-> PROPREQ     03 ff 0a \n").sent = kPropReq;
    if (r.stage > 0) hello(d);
    if (r.stage > 1)
      d.rx(buildSessionInitReply(props({{4, "0"}})),
           "   SESSINIT: VAR_ERROR=0 (VAR_ERROR=0 )\n   login accepted as \"u\"\n\n")
          .tx("PROPSET", utf(Command::PropertySet, kAvatar))
          .tx("ROOMIDRQ", utf(Command::RoomIdRequest, kRoom));
    r.reply.empty() ? d.peer(kShutWrite) : r.reply[0] < 3 ? d.peer(r.reply) : d.rx(r.reply);
    play(d.say(r.then), {"127.0.0.1", r.port, r.user}, 1);
  }
}

// Whole runs: the login, the lookups and what follows from their replies, the
// listening phase by linger and mode, the logout.
TEST(ScoutprobeTest, RunsToItsEnd) {
  static const char* const kFollowRooms[] = {
      "Reception",      "ChatHall",       "ChatElevator",  "Auditorium",    "AuditoriumHall",
      "AdRoom",         "OutsideExit",    "staircase1",    "IconViewRoom1", "IconViewRoom1Enter",
      "IconViewRoom1g", "ReceptionView1", "ReceptionView2"};
  const auto quiet = [](Dialog& d) {  // the peer stays quiet: five ticks of 200 ms
    d.rx(buildText("ana", "hola"), "   TEXT [#1] <ana> hola\n")
        .peer(Bytes{0x04, 0x01, 0x15, 0x05})  // ROOMID whose name overruns the frame
        .say("<-             04 01 15 05 \n   (no parseable: UTF string overruns the packet)\n")
        .rx({0x05, 0xfe, 0x0b, 0x05, 0x06}, "   DISAPPR [#5]\n   DISAPPR [#6]\n");
  };
  const Bytes hola =
      req(Command::Text, [](PacketWriter& w) { w.objid(ObjID()), w.utf("hola, soy u"); });
  const auto shadow = [](Dialog& d) {  // updates from the server, sent as if by #1
    d.rx(ll(1078), "   LONGLOC [#1] @1078,2465,0 dir=157\n")
        .rx(tp(0, 500, 200), "   TELEPORT [#1] room=0 exit=0 entry=1 @500,200,0\n")  // ignored
        .peer(400ms)  // a tick without a move: 1078 + 150 is where the client stands
        .rx(tp(7, 50, 100), "   TELEPORT [#1] room=7 exit=0 entry=1 @50,100,0\n")
        .rx(ll(100, 200), "   LONGLOC [#1] @100,200,0 dir=157\n")
        .tx("TELEPORT(seguir)", tp(7, 250, 200))  // the room change wins
        .rx(ll(300, 200), "   LONGLOC [#1] @300,200,0 dir=157\n")
        .tx("LONGLOC(seguir)", ll(450, 200))
        .rx(ll(300, 200, 4), "   LONGLOC [#1] @300,200,4 dir=157\n")  // z alone: no move
        .peer(kShutWrite);
  };
  const auto chase = [](Dialog& d) {  // an appearance and a room change move it too
    const auto teleport = [](int16_t r, int16_t x, int16_t y, int16_t z) {
      return buildTeleport(r, 0, 1, x, y, z, 157);
    };
    d.rx(buildAppearActor(ObjID(5), 9, 10, 20, 30, 0), "   APPRACTR [#5] room=9 @10,20,30 dir=0\n")
        .tx("TELEPORT(seguir)", teleport(9, 160, 20, 30))
        .rx(req(Command::RoomChange,
                [](PacketWriter& w) { w.u16(4), w.i16(1), w.i16(2), w.i16(3), w.i16(0); }),
            "   ROOMCHNG [#1] room=4 @1,2,3\n")
        .tx("TELEPORT(seguir)", teleport(4, 151, 2, 3))
        .rx(buildAppearActor(ObjID(6), 4, 5, 6, 7, 0), "   APPRACTR [#6] room=4 @5,6,7 dir=0\n")
        .tx("LONGLOC(seguir)", buildLongLoc(ObjID(1), 155, 6, 7, 157))
        .peer(kShutWrite);
  };
  struct Row {
    std::vector<std::string> args;  // after host and port
    const char* as;                 // the name in the login reply, if any
    std::vector<int> rooms, subs;   // ROOMID replies (DISAPPRs past them); SUBSCRIBs
    int room;                       // of the TELEPORT
    std::vector<Bytes> walk;        // sent after the peer half-closes: ticks pass at once
    std::function<void(Dialog&)> listen = nullptr;  // or this instead
  } rows[] = {
      {{}, "Srv", {7}, {7}, 7, {}, quiet},
      {{"u", "Hall", "-2", "av", "pw"}, "", {}, {}, 0, {}},
      {{"u", "Hall", "3"}, "", {2}, {2}, 2, {ll(1228), ll(1268), hola, ll(1308)}},
      {{"u", "follow"}, "", {0, 5, 9, 5, 3}, {0, 3, 5, 9}, 5, {}},
      {{"u", "follow", "2"}, "", {5}, {5}, 5, {}, shadow},
      {{"u", "follow", "2"}, "", {5}, {5}, 5, {}, chase},
      {{"u", "Hall", "-1"}, "", {3}, {3}, 3, {}, quiet},  // a linger below 0: the short phase
  };
  for (const Row& row : rows) {
    std::vector<std::string> args{"127.0.0.1", "{port}"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    args.resize(7);
    const std::string user = row.args.empty() ? "scoutprobe" : args[2],
                      as = *row.as ? row.as : user;
    const bool follow = args[3] == "follow";
    Dialog d;
    hello(d.tx("PROPREQ", kPropReq), user, args[6])
        .rx(buildSessionInitReply(props({{4, "0"}, {2, row.as}})),
            "   SESSINIT: VAR_ERROR=0 (VAR_ERROR=0 " + (*row.as ? "VAR_USERNAME=" + as + " " : "") +
                ")\n   login accepted as \"" + as + "\"\n\n")
        .tx("PROPSET", utf(Command::PropertySet, args[5].empty() ? kAvatar : args[5]));
    for (size_t i = 0; i < (follow ? 13u : 1u); ++i) {
      const std::string name = follow ? std::string("Brackenvel#") + kFollowRooms[i] : args[3];
      d.tx("ROOMIDRQ", utf(Command::RoomIdRequest, name.empty() ? kRoom : name));
      const std::string n = i < row.rooms.size() ? std::to_string(row.rooms[i]) : "";
      n.empty() ? d.rx(buildDisappear(ObjID(4)))
                : d.rx(buildRoomId("R", std::stoi(n)), "   ROOMID \"R\" = " + n + "\n");
    }
    d.say("\n");
    for (int r : row.subs)
      d.tx("SUBSCRIB", move(Command::Subscribe, {int16_t(r), 1228, 2465, 0}, follow ? 30000 : 900));
    d.tx("TELEPORT", tp(row.room));
    row.listen ? row.listen(d) : void(d.peer(kShutWrite));
    for (const Bytes& f : row.walk) d.tx(f[2] == 0x0e ? "TEXT" : "LONGLOC", f);
    d.tx("SESSEXIT", kSessExit).say("\nhandshake complete.\n");
    play(d, {args.begin(), args.begin() + 2 + row.args.size()}, 0);
  }
}

}  // namespace
