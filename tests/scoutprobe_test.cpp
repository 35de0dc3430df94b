// End-to-end runs of the scoutprobe binary against a scripted loopback peer:
// exact stdout, stderr and exit status, and the exact bytes the client sent.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "support/process.hpp"
#include "support/scripted_peer.hpp"
#include "veltra/proto/commands.hpp"

namespace {

using namespace veltra::proto;
using namespace std::chrono_literals;
using testsupport::PeerStep;

std::string trace(const char* dir, const char* label, const Bytes& frame) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s %-10s  ", dir, label);
  std::string line = buf;
  for (uint8_t b : frame) {
    std::snprintf(buf, sizeof buf, "%02x ", b);
    line += buf;
  }
  return line + "\n";
}

// The peer's script and, step by step, what the client must print and send.
struct Dialog {
  std::vector<PeerStep> steps;
  std::string out;
  Bytes sent;

  Dialog& tx(const char* label, const Bytes& f) {
    steps.push_back(PeerStep::expect(1));
    out += trace("->", label, f);
    sent.insert(sent.end(), f.begin(), f.end());
    return *this;
  }
  Dialog& rx(const Bytes& f) {
    steps.push_back(PeerStep::send(f));
    out += trace("<-", "", f);
    return *this;
  }
  Dialog& say(const std::string& text) {
    out += text;
    return *this;
  }
  Dialog& peer(PeerStep step) {
    steps.push_back(std::move(step));
    return *this;
  }
};

// Runs the client; "{port}" in an argument stands for the peer's port.
void play(const Dialog& d, std::vector<std::string> args, int status) {
  testsupport::ScriptedPeer peer(d.steps);
  const std::string port = std::to_string(peer.port());
  for (std::string& a : args) {
    if (auto at = a.find("{port}"); at != std::string::npos) a.replace(at, 6, port);
  }
  const auto r = testsupport::runProcess(SCOUTPROBE_BIN, args);
  EXPECT_EQ(r.out, "connected to 127.0.0.1:" + port + "\n\n" + d.out);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, status);
  EXPECT_EQ(peer.received(), d.sent);
  EXPECT_EQ(peer.error(), "");
}

// Requests as the client must build them.
Bytes req(Command c, const std::function<void(PacketWriter&)>& body = {}) {
  PacketWriter w(ObjID(kObjClient), c);
  if (body) body(w);
  return w.finish();
}
const Bytes kPropReq = {0x03, 0xff, 0x0a};   // length 3, target 255, PROPREQ
const Bytes kSessExit = {0x06, 0x01, 0x07,   // length 6, target 1, SESSEXIT
                         0x04, 0x01, 0x30};  // VAR_ERROR = "0"
Bytes sessInit(const std::string& user, const std::string& pw) {
  OldPropertyList p;
  p.add(3, "24"), p.add(9, "1920"), p.add(2, user);
  if (!pw.empty()) p.add(6, pw);
  p.add(7, "24");
  return req(Command::SessionInit, [&](PacketWriter& w) { w.oldProperties(p); });
}
Bytes propSet(const std::string& avatar) {
  return req(Command::PropertySet,
             [&](PacketWriter& w) { w.utf(""), w.u8(5), w.u8(0), w.u8(0), w.utf(avatar); });
}
Bytes roomReq(const std::string& name) {
  return req(Command::RoomIdRequest, [&](PacketWriter& w) { w.utf(name); });
}
Bytes move(Command c, int room, int16_t x, int16_t y, int16_t z, int16_t last = 157) {
  return req(c, [&](PacketWriter& w) {
    if (room >= 0) w.u16(static_cast<uint16_t>(room));
    if (c == Command::Teleport) w.i8(0), w.i8(1);
    w.i16(x), w.i16(y), w.i16(z), w.i16(last);  // dir or distance
  });
}
Bytes teleport(int room, int16_t x = 1228, int16_t y = 2465, int16_t z = 0) {
  return move(Command::Teleport, room, x, y, z);
}
Bytes longLoc(int16_t x, int16_t y = 2465, int16_t z = 0) {
  return move(Command::LongLoc, -1, x, y, z);
}
Bytes subscribe(int room, int16_t dist) {
  return move(Command::Subscribe, room, 1228, 2465, 0, dist);
}

OldPropertyList props(std::initializer_list<std::pair<uint8_t, const char*>> entries) {
  OldPropertyList p;
  for (const auto& [id, v] : entries) p.add(id, v);
  return p;
}

// PROPUPD, then the SESSINIT request.
Dialog& hello(Dialog& d, const std::string& user, const std::string& pw) {
  return d.rx(buildPropertyUpdate({}))
      .say("   PROPUPD received\n\n")
      .tx("SESSINIT", sessInit(user, pw));
}
// The whole login up to the PROPSET request, accepted as `as`.
Dialog& login(Dialog& d, const std::string& user, const std::string& as,
              const std::string& avatar) {
  return hello(d, user, "")
      .rx(buildSessionInitReply(props({{4, "0"}})))
      .say("   SESSINIT: VAR_ERROR=0 (VAR_ERROR=0 )\n   login accepted as \"" + as + "\"\n\n")
      .tx("PROPSET", propSet(avatar));
}

// A port where nothing listens: bound, then closed again.
std::string deadPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return std::to_string(ntohs(addr.sin_port));
}

// Failures before anything is sent: stderr only, status 1, no connection.
TEST(ScoutprobeTest, NoConnection) {
  struct Row {
    std::vector<std::string> args;
    std::string err;
  } rows[] = {
      {{"localhost", "{port}"}, "invalid address: localhost\n"},
      {{"127.0.0.1", "abc"}, "invalid port: abc\n"},
      {{"127.0.0.1", "2147483648"}, "invalid port: 2147483648\n"},
      {{"127.0.0.1", "{port}", "u", "r", " -"}, "invalid linger:  -\n"},
      {{"127.0.0.1", "{port}", "u", "r", "-2147483649"}, "invalid linger: -2147483649\n"},
      {{"127.0.0.1", deadPort()}, "connect: Connection refused\n"},
  };
  for (Row& row : rows) {
    testsupport::ScriptedPeer peer({});
    for (std::string& a : row.args) {
      if (a == "{port}") a = std::to_string(peer.port());
    }
    const auto r = testsupport::runProcess(SCOUTPROBE_BIN, row.args);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(peer.connected()) << row.err;
  }
}

// Every way the script can stop before its listening phase; each row starts
// after the PROPREQ, whose trace line is checked literally.
TEST(ScoutprobeTest, ScriptFailures) {
  const Bytes kRoomIdTooShort = {0x05, 0x01, 0x15,  // ROOMID for #1
                                 0x05, 'a'};        // name of 5 bytes, 1 present
  struct Row {
    const char* name;
    std::string port, user;
    std::function<void(Dialog&)> script;
  } rows[] = {
      {"no reply, port with trailing text", "{port}x", "u",
       [](Dialog& d) { d.peer(PeerStep::close()).say("!! no PROPUPD\n"); }},
      {"invalid length byte", "{port}", "u",
       [](Dialog& d) {
         d.peer(PeerStep::send({0x02})).say("!! invalid length: 2\n!! no PROPUPD\n");
       }},
      {"PROPREQ reply that does not decode", "{port}", "u",
       [](Dialog& d) {
         d.peer(PeerStep::send({0x05, 0x01, 0x0e, 0x41, 0x42}))  // TEXT, string overruns
             .say("<-             05 01 0e 41 42 \n!! UTF string overruns the packet\n");
       }},
      {"not a PROPUPD", "{port}", "u",
       [](Dialog& d) { d.rx(buildSessionInitReply({})).say("!! expected PROPUPD\n"); }},
      {"no login reply", "{port}", "u",
       [](Dialog& d) { hello(d, "u", "").peer(PeerStep::close()).say("!! no SESSINIT reply\n"); }},
      {"login reply of another command", "{port}", "u",
       [](Dialog& d) {
         hello(d, "u", "").rx(buildRoomId("x", 1)).say("!! expected SESSINIT reply\n");
       }},
      {"login reply that does not decode", "{port}", "u",
       [](Dialog& d) {
         hello(d, "u", "")
             .rx({0x04, 0x01, 0x06, 0x04})  // VAR_ERROR without its string
             .say("!! read past the end of the packet\n");
       }},
      {"error absent", "{port}", "u",
       [](Dialog& d) {
         hello(d, "u", "")
             .rx(buildSessionInitReply(props({{2, "x"}})))
             .say("   SESSINIT: VAR_ERROR=(ausente) (VAR_USERNAME=x )\n!! login rechazado\n");
       }},
      {"error 00", "{port}", "u",
       [](Dialog& d) {
         hello(d, "u", "")
             .rx(buildSessionInitReply(props({{4, "00"}})))
             .say("   SESSINIT: VAR_ERROR=00 (VAR_ERROR=00 )\n!! login rechazado\n");
       }},
      {"user name too long", "{port}", std::string(300, 'u'),
       [](Dialog& d) {
         d.rx(buildPropertyUpdate({}))
             .say("   PROPUPD received\n\n!! string of 300 bytes; the maximum is 255\n");
       }},
      {"no ROOMID", "{port}", "u",
       [](Dialog& d) {
         login(d, "u", "u", "avatar:tumbo.mov")
             .tx("ROOMIDRQ", roomReq("Brackenvel#Reception<dimension-1>"))
             .peer(PeerStep::close())
             .say("!! no ROOMID\n");
       }},
      {"ROOMID too short", "{port}", "u",
       [&](Dialog& d) {
         login(d, "u", "u", "avatar:tumbo.mov")
             .tx("ROOMIDRQ", roomReq("Brackenvel#Reception<dimension-1>"))
             .rx(kRoomIdTooShort)
             .say("!! UTF string overruns the packet\n");
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Dialog d;
    d.peer(PeerStep::expect(1)).say("-> PROPREQ     03 ff 0a \n").sent = kPropReq;
    row.script(d);
    play(d, {"127.0.0.1", row.port, row.user}, 1);
  }
}

// All defaults but the port; a quiet peer, so the five ticks take their time.
TEST(ScoutprobeTest, DefaultRunDescribesWhatItHears) {
  Dialog d;
  d.tx("PROPREQ", kPropReq);
  hello(d, "scoutprobe", "")
      .rx(buildSessionInitReply(props({{4, "0"}, {2, "Srv"}})))
      .say("   SESSINIT: VAR_ERROR=0 (VAR_ERROR=0 VAR_USERNAME=Srv )\n")
      .say("   login accepted as \"Srv\"\n\n")
      .tx("PROPSET", propSet("avatar:tumbo.mov"))
      .tx("ROOMIDRQ", roomReq("Brackenvel#Reception<dimension-1>"))
      .rx(buildRoomId("Hall", 7))
      .say("   ROOMID \"Hall\" = 7\n\n")
      .tx("SUBSCRIB", subscribe(7, 900))
      .tx("TELEPORT", teleport(7))
      .rx(buildText("ana", "hola"))
      .say("   TEXT [#1] <ana> hola\n")
      .rx({0x04, 0x01, 0x15, 0x05})  // ROOMID whose name overruns the frame
      .say("   (no parseable: UTF string overruns the packet)\n")
      .rx({0x05, 0xfe, 0x0b, 0x05, 0x06})  // compound: two DISAPPR
      .say("   DISAPPR [#5]\n   DISAPPR [#6]\n")
      .tx("SESSEXIT", kSessExit)
      .say("\nhandshake complete.\n");
  play(d, {"127.0.0.1", "{port}"}, 0);
}

// Walking LONGLOCs at ticks 0, 5, 10 and the greeting at tick 10.
TEST(ScoutprobeTest, ListeningPhaseRequests) {
  struct Row {
    const char* linger;
    std::vector<std::pair<const char*, Bytes>> sends;
  } rows[] = {
      {"-2", {}},
      {"1", {{"LONGLOC", longLoc(1228)}}},
      {"3",
       {{"LONGLOC", longLoc(1228)},
        {"LONGLOC", longLoc(1268)},
        {"TEXT",
         req(Command::Text, [](PacketWriter& w) { w.objid(ObjID()), w.utf("hola, soy u"); })},
        {"LONGLOC", longLoc(1308)}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.linger);
    Dialog d;
    d.tx("PROPREQ", kPropReq);
    hello(d, "u", "pw")
        .rx(buildSessionInitReply(props({{4, "0"}})))
        .say("   SESSINIT: VAR_ERROR=0 (VAR_ERROR=0 )\n   login accepted as \"u\"\n\n")
        .tx("PROPSET", propSet("av"))
        .tx("ROOMIDRQ", roomReq("Hall"))
        .rx(buildDisappear(ObjID(3)))  // not a ROOMID: no number, no SUBSCRIB
        .say("\n")
        .tx("TELEPORT", teleport(0))
        .peer(PeerStep::shutWrite());  // every read fails at once from here
    for (const auto& [label, frame] : row.sends) d.tx(label, frame);
    d.tx("SESSEXIT", kSessExit).say("\nhandshake complete.\n");
    play(d, {"127.0.0.1", "{port}", "u", "Hall", row.linger, "av", "pw"}, 0);
  }
}

// A reset peer: the next LONGLOC fails, the phase ends, SESSEXIT is tried.
TEST(ScoutprobeTest, SendToResetPeerEndsListening) {
  Dialog d;
  d.tx("PROPREQ", kPropReq);
  login(d, "u", "u", "av")
      .tx("ROOMIDRQ", roomReq("Hall"))
      .rx(buildRoomId("Hall", 2))
      .say("   ROOMID \"Hall\" = 2\n\n")
      .tx("SUBSCRIB", subscribe(2, 900))
      .tx("TELEPORT", teleport(2))
      .tx("LONGLOC", longLoc(1228))
      .peer(PeerStep::reset())
      .say(trace("->", "LONGLOC", longLoc(1268)))
      .say(trace("->", "SESSEXIT", kSessExit))
      .say("\nhandshake complete.\n");
  play(d, {"127.0.0.1", "{port}", "u", "Hall", "2", "av"}, 0);
}

// Follow mode's thirteen lookups; replies[i] < 0 answers with a DISAPPR.
Dialog& lookups(Dialog& d, const std::vector<int>& replies, const std::vector<int>& subscribed,
                int room) {
  static const char* const kRooms[] = {
      "Reception",      "ChatHall",       "ChatElevator",  "Auditorium",    "AuditoriumHall",
      "AdRoom",         "OutsideExit",    "staircase1",    "IconViewRoom1", "IconViewRoom1Enter",
      "IconViewRoom1g", "ReceptionView1", "ReceptionView2"};
  d.tx("PROPREQ", kPropReq);
  login(d, "u", "u", "avatar:tumbo.mov");
  for (size_t i = 0; i < 13; ++i) {
    d.tx("ROOMIDRQ", roomReq(std::string("Brackenvel#") + kRooms[i]));
    const std::string name = "R" + std::to_string(i);
    if (replies[i] < 0) {
      d.rx(buildDisappear(ObjID(4)));
    } else {
      d.rx(buildRoomId(name, static_cast<uint16_t>(replies[i])))
          .say("   ROOMID \"" + name + "\" = " + std::to_string(replies[i]) + "\n");
    }
  }
  d.say("\n");
  for (int r : subscribed) d.tx("SUBSCRIB", subscribe(r, 30000));
  return d.tx("TELEPORT", teleport(room));
}

TEST(ScoutprobeTest, FollowLooksUpThirteenRooms) {
  std::vector<int> none(13, -1), some(13, -1);
  some[0] = 0, some[1] = 5, some[2] = 9, some[3] = 5, some[4] = 3;  // 0 is kept but not entered
  Dialog a, b;
  lookups(a, none, {}, 0);
  lookups(b, some, {0, 3, 5, 9}, 5);
  for (Dialog* d : {&a, &b}) {
    d->peer(PeerStep::shutWrite()).tx("SESSEXIT", kSessExit).say("\nhandshake complete.\n");
    play(*d, {"127.0.0.1", "{port}", "u", "follow"}, 0);
  }
}

TEST(ScoutprobeTest, FollowShadowsTheLastMover) {
  PacketWriter tp(ObjID(9), Command::Teleport);  // room 0: ignored, position included
  tp.u16(0), tp.i8(0), tp.i8(1), tp.i16(500), tp.i16(200), tp.i16(0), tp.i16(90);
  std::vector<int> replies(13, -1);
  replies[0] = 5;
  Dialog d;
  lookups(d, replies, {5}, 5)
      .rx(buildLongLoc(ObjID(9), 1078, 2465, 0, 90))  // 1078 + 150 = kX: no move
      .say("   LONGLOC [#9] @1078,2465,0 dir=90\n")
      .peer(PeerStep::wait(400ms))
      .rx(tp.finish())
      .say("   TELEPORT [#9] room=0 exit=0 entry=1 @500,200,0\n")
      .peer(PeerStep::wait(400ms))
      .rx(buildAppearActor(ObjID(9), 7, 50, 100, 0, 90))
      .say("   APPRACTR [#9] room=7 @50,100,0 dir=90\n")
      .rx(buildLongLoc(ObjID(9), 100, 200, 0, 90))  // same tick: keeps room 7
      .say("   LONGLOC [#9] @100,200,0 dir=90\n")
      .tx("TELEPORT(seguir)", teleport(7, 250, 200, 0))
      .rx(buildLongLoc(ObjID(9), 300, 200, 0, 90))
      .say("   LONGLOC [#9] @300,200,0 dir=90\n")
      .tx("LONGLOC(seguir)", longLoc(450, 200, 0))
      .rx(buildLongLoc(ObjID(9), 300, 200, 4, 90))  // z alone changed
      .say("   LONGLOC [#9] @300,200,4 dir=90\n")
      .peer(PeerStep::wait(400ms))
      .peer(PeerStep::shutWrite())
      .tx("SESSEXIT", kSessExit)
      .say("\nhandshake complete.\n");
  play(d, {"127.0.0.1", "{port}", "u", "follow", "2"}, 0);
}

}  // namespace
