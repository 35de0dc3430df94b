// stubworld: compound batching and the world's rules without sockets, and the
// command line. Sessions against the real server: hostile_test.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "common/text.hpp"
#include "stubworld/backlog.hpp"
#include "stubworld/pacing.hpp"
#include "stubworld/world.hpp"
#include "support/harness.hpp"
#include "veltra/proto/reader.hpp"
#include "veltra/proto/version.hpp"

namespace {

using namespace veltra::proto;
using namespace stubworld;
using namespace std::chrono_literals;
using V = std::vector<std::string>;

// Every command of every frame of a byte stream, as describe lines.
V described(const Bytes& stream) {
  V lines;
  for (size_t at = 0; at < stream.size(); at += stream[at]) {
    if (stream[at] < 3) return ADD_FAILURE() << "length byte " << int{stream[at]}, lines;
    for (const Incoming& in : parsePacket(std::span(stream).subspan(at + 1, stream[at] - 1u)))
      lines.push_back(describe(in));
  }
  return lines;
}

TEST(Outbox, JoinsRunsOfOneNotificationWithinTheFrameLimit) {
  std::vector<Bytes> in{buildRoomId("Hall", 1), buildRoomId("Yard", 2)};
  for (uint8_t id = 2; id < 42; ++id) in.push_back(buildAppearActor(ObjID(id), 1, 2, 3, 4, 5));
  in.insert(in.end(), {buildPropertyUpdate({}), buildText("ana", "hola"), buildText("bea", "adios"),
                       buildDisappear(ObjID("ana"))});
  // A TEXT of 248 bytes and one of 9: joined they would take 256.
  in.insert(in.end(), {buildText("ana", std::string(239, 't')), buildText("ana", "")});
  Outbox out;
  Bytes plain;
  for (const Bytes& f : in) out.add(f), plain.insert(plain.end(), f.begin(), f.end());
  EXPECT_EQ(described(out.bytes()), described(plain));
  // ROOMID 10, ROOMID 10; 40 APPRACTRs in compound frames of 22 and 18, 3 + 11 bytes each;
  // PROPUPD 3; the two TEXTs in one, 3 + 11 + 12; DISAPPR 7; the last TEXTs 248 and 9.
  EXPECT_EQ(out.bytes().size(), 759u);
}

Bytes request(Command cmd, const std::function<void(PacketWriter&)>& body) {
  PacketWriter w(ObjID(kObjClient), cmd);
  return body(w), w.finish();
}
Bytes login(const std::string& name, const std::string& protocol = "24") {
  OldPropertyList p;
  p.add(kVarProtocol, protocol), p.add(kVarUsername, name);
  return request(Command::SessionInit, [&](PacketWriter& w) { w.oldProperties(p); });
}
Bytes i16s(Command cmd, std::vector<int16_t> v) {
  return request(cmd, [&](PacketWriter& w) {
    for (int16_t x : v) w.i16(x);
  });
}
Bytes roomRq(const std::string& name) {
  return request(Command::RoomIdRequest, [&](PacketWriter& w) { w.utf(name); });
}
Bytes propSet(const std::string& avatar, uint8_t id = kVarChannel) {
  PropertyList p;
  p.add(id, avatar);
  return request(Command::PropertySet, [&](PacketWriter& w) { w.utf(""), w.properties(p); });
}
Bytes tp(int16_t room) { return i16s(Command::Teleport, {room, 1, 100, 200, 0, 90}); }

// What one request makes the world send: "<conn> <describe>" per command.
V handled(World& world, ConnId id, const Bytes& frame) {
  world.connect(id);
  for (const Incoming& in : parsePacket(std::span(frame).subspan(1))) world.handle(id, in);
  V out;
  world.drain([&](ConnId to, Bytes& b) {
    for (const std::string& line : described(b)) out.push_back(std::to_string(to) + " " + line);
  });
  return out;
}

// A world and what each step sent; each TEST starts from an empty one, so a failure in one
// part of the rules does not hide the others.
struct WorldSteps : ::testing::Test {
  struct Row {
    ConnId id;
    Bytes frame;
    V sent;
  };
  World world;
  V out;
  const V& step(ConnId id, const Bytes& frame) { return out = handled(world, id, frame); }
  void expect(const std::vector<Row>& rows) {
    for (const Row& row : rows) EXPECT_EQ(step(row.id, row.frame), row.sent) << row.sent.size();
  }
  const std::string at = " room=2 @100,200,0 dir=90", props = " (VAR_CHANNEL/BITMAP=b )";
};

TEST_F(WorldSteps, LoginReplies) {
  expect({
      {1, login("ana"), {"1 SESSINIT [#1] (VAR_ERROR=0 VAR_USERNAME=ana )"}},
      {2, login("ana"), {"2 SESSINIT [#1] (VAR_ERROR=2 )"}},
      {3, login("!!ana"), {"3 SESSINIT [#1] (VAR_ERROR=7 )"}},  // would read back as "ana"
      {3, login("!cy"), {"3 SESSINIT [#1] (VAR_ERROR=7 )"}},    // would read back as "cy"
      {4, login("cy", "23"), {"4 SESSINIT [#1] (VAR_ERROR=1 )"}},
      {5,
       request(Command::SessionInit,  // a name of 124 raw zero bytes, 248 bytes when written
               [](PacketWriter& w) {
                 w.u8(3), w.utf("24"), w.u8(2), w.u8(124), w.raw(std::string(124, 0));
               }),
       {"5 SESSINIT [#1] (VAR_ERROR=6 )"}},
      {1, request(Command::SessionExit, [](PacketWriter&) {}), {"1 SESSEXIT [#1] (VAR_ERROR=0 )"}},
      {3, login("ana"), {"3 SESSINIT [#1] (VAR_ERROR=0 VAR_USERNAME=ana )"}},  // free again
  });
}

TEST_F(WorldSteps, RoomIdsLastWhileInUseOrLookedUp) {
  expect({
      {2, roomRq("Hall"), {"2 ROOMID [#1] \"Hall\" = 1"}},  // replies before login too
      {2, roomRq("Yard"), {"2 ROOMID [#1] \"Yard\" = 2"}},
      {2, roomRq(std::string(250, 'r')), {"2 ROOMID [#1] \"" + std::string(249, 'r') + "\" = 0"}},
      {1, login("ana"), {"1 SESSINIT [#1] (VAR_ERROR=0 VAR_USERNAME=ana )"}},
      {1, tp(2), {}},
      {2, request(Command::SessionExit, [](PacketWriter&) {}), {"2 SESSEXIT [#1] (VAR_ERROR=0 )"}},
  });
  EXPECT_EQ(world.rooms(),
            1u);  // Yard; Hall is forgotten: nobody is in it, watches or looked it up
  // A room looked up again stays while its latest lookup is among the last 256.
  const V hall = step(3, roomRq("Hall"));
  for (int i = 0; i < 300; ++i) step(3, roomRq("r" + std::to_string(i))), step(3, roomRq("Hall"));
  EXPECT_EQ(out, hall);
}

TEST_F(WorldSteps, VisibilityRelaysAndPerViewerIds) {
  std::string longLine = "x";  // 249 bytes
  for (int i = 0; i < 124; ++i) longLine += "\xc3\xa9";
  step(1, login("ana")), step(2, login("bea")), step(2, roomRq("Hall")), step(2, roomRq("Yard"));
  expect({
      {1, propSet("a"), {}},
      {2, i16s(Command::Subscribe, {1, 0, 0, 0, 900}), {}},
      {1, tp(1), {}},  // bea is not in the world yet
      {2,
       tp(2),  // in Yard, she sees Hall too
       {"2 REGOBJID [#1] \"ana\" -> #2", "2 APPRACTR [#2] room=1 @100,200,0 dir=90",
        "2 PROPUPD [#2] (VAR_CHANNEL/BITMAP=a )"}},
      {1, i16s(Command::LongLoc, {110, 200, 0, 90}), {"2 LONGLOC [#2] @110,200,0 dir=90"}},
      {1,
       request(Command::Text, [](PacketWriter& w) { w.objid(ObjID()), w.utf("hi"); }),
       {"1 TEXT [#1] <ana> hi", "2 TEXT [#1] <ana> hi"}},
      {1,  // 249 bytes fit the request; the relayed copy, with "ana", is cut to whole characters
       request(Command::Text, [&](PacketWriter& w) { w.objid(ObjID()), w.utf(longLine); }),
       {"1 TEXT [#1] <ana> " + longLine.substr(0, 245),
        "2 TEXT [#1] <ana> " + longLine.substr(0, 245)}},
      {1, propSet("b"), {"2 PROPUPD [#2]" + props}},
      {2, i16s(Command::Unsubscribe, {1}), {"2 DISAPPR [#2]"}},
      {1,
       tp(2),  // ana follows bea into Yard; ids are per viewer
       {"2 REGOBJID [#1] \"ana\" -> #2", "2 APPRACTR [#2]" + at, "2 PROPUPD [#2]" + props,
        "1 REGOBJID [#1] \"bea\" -> #2", "1 APPRACTR [#2]" + at}},
      {2,
       request(Command::SessionExit, [](PacketWriter&) {}),
       {"2 SESSEXIT [#1] (VAR_ERROR=0 )", "1 DISAPPR [#2]"}},
  });
}

// 251 short ids per viewer; the 252nd actor ana sees is named by its long id, and its
// properties, too long for one frame with it, follow in two.
TEST_F(WorldSteps, ShortIdsRunOutIntoLongIds) {
  step(1, login("ana")), step(1, roomRq("Hall")), step(1, roomRq("Yard")), step(1, tp(2));
  const std::string z(60, 'z'), p(100, 'p');
  for (ConnId id = 10; id < 262; ++id) {
    step(id, login(id < 261 ? "a" + std::to_string(id) : z));
    if (id == 261) step(id, propSet(p)), step(id, propSet(p, kVarAppName));
    step(id, tp(2));
    if (id == 260) {
      EXPECT_EQ(std::ranges::count(out, "1 APPRACTR [#252]" + at), 1);  // the last short id
    }
  }
  ASSERT_GE(out.size(), 3u);
  EXPECT_EQ(V(out.begin(), out.begin() + 3),
            (V{"1 APPRACTR [" + z + "]" + at, "1 PROPUPD [" + z + "] (VAR_APPNAME=" + p + " )",
               "1 PROPUPD [" + z + "] (VAR_CHANNEL/BITMAP=" + p + " )"}));
}

// Each row on a world of its own: the longest name a long id carries in every frame, counted
// in wire bytes (a 4-byte character takes 6), a room name cut between characters, and the
// server's properties by request.
TEST(World, NamesAtTheirLimitsAndPropertiesByRequest) {
  const auto times = [](int n, const std::string& s) {
    std::string r;
    while (n-- > 0) r += s;
    return r;
  };
  const std::string e = "\xf0\x9f\x98\x80", n241 = std::string(241, 'n'), e241 = times(40, e) + "n";
  const std::pair<Bytes, std::string> rows[] = {
      {login(n241), "1 SESSINIT [#1] (VAR_ERROR=0 VAR_USERNAME=" + n241 + " )"},
      {login(n241 + "n"), "1 SESSINIT [#1] (VAR_ERROR=6 )"},
      {login(e241), "1 SESSINIT [#1] (VAR_ERROR=0 VAR_USERNAME=" + e241 + " )"},
      {login(e241 + "n"), "1 SESSINIT [#1] (VAR_ERROR=6 )"},
      {roomRq("abcd" + times(41, e)), "1 ROOMID [#1] \"abcd" + times(40, e) + "\" = 0"},
      {[] {
         PacketWriter w(ObjID(kObjProtocol), Command::PropRequest);
         return w.u8(kVarAppName), w.u8(kVarServerType), w.finish();
       }(),
       "1 PROPUPD [#255] (VAR_APPNAME=stubworld VAR_SERVERTYPE=world )"},
  };
  for (const auto& [frame, reply] : rows) {
    World world;
    EXPECT_EQ(handled(world, 1, frame), V{reply});
  }
}

// Room numbers run to 65535; then those forgotten come back, the first forgotten first.
TEST(World, RoomNumbersRunToTheLastThenComeBack) {
  World world;
  const auto lookup = [&](const std::string& name) {
    world.connect(1);
    world.handle(
        1, {ObjID(kObjClient), static_cast<uint8_t>(Command::RoomIdRequest), RoomIdRequest{name}});
    uint16_t number = 0;
    world.drain([&](ConnId, Bytes& b) {
      number = std::get<RoomId>(parsePacket(std::span(b).subspan(1)).at(0).body).roomNumber;
    });
    return number;
  };
  for (uint32_t n = 1; n < 65535; ++n) ASSERT_EQ(lookup("r" + std::to_string(n)), n);
  EXPECT_EQ(lookup("last"), 65535);
  EXPECT_EQ(lookup("again"), 1);  // "r1" left the window of 256 lookups first
  EXPECT_EQ(lookup("r1"), 2);
}

TEST(Backlog, DropsThoseWhoDoNotReadNotALargeCatchUp) {
  // KiB queued before a flush, KiB unsent after it, whether the client is dropped then.
  const std::tuple<size_t, size_t, bool> flushes[] = {
      {291, 280, false}, {2, 200, false}, {2, 60, false},   // a TELEPORT into a crowd of 1000
      {20, 70, false},   {20, 84, false}, {20, 85, true}};  // then it stops reading
  Backlog b;
  for (const auto& [queued, unsent, dropped] : flushes) {
    b.queued(queued << 10);
    EXPECT_EQ(b.overrun(unsent << 10), dropped) << unsent;
  }
}

// The loop is busy by the share of each 20 ms window spent outside waits: above half to start,
// above a quarter to stay. Output waits only between sends that come close together.
TEST(Pacing, BusyWindowsAndHeldOutput) {
  Load load;
  Clock::time_point t{};
  for (const auto& [ms, busy] :
       {std::pair{10, false}, {12, true}, {6, true}, {5, false}, {8, false}}) {
    load.waited(t + std::chrono::milliseconds(ms), t + 20ms);
    t += 20ms;
    EXPECT_EQ(load.busy(), busy) << ms;
  }
  // ms between sends, how many, ms after the last: whether output due then waits.
  const std::tuple<int, int, int, bool> rows[] = {
      {1, 20, 1, true}, {1, 20, 2, false}, {1, 5, 1, false}, {3, 40, 1, true}, {5, 40, 1, false}};
  for (const auto& [gap, n, after, held] : rows) {
    Pace pace;
    Clock::time_point at = Clock::time_point{} + 1h;
    for (int i = 0; i < n; ++i) pace.sent(at += std::chrono::milliseconds(gap));
    EXPECT_EQ(pace.holds(at + std::chrono::milliseconds(after)), held) << gap << ' ' << n;
    EXPECT_EQ(pace.due(), at + Pace::kPace);
  }
}

TEST(CommandLine, HelpVersionAndNamedErrors) {
  const std::tuple<V, int, std::string> rows[] = {
      {{"--listen", "localhost:1"},
       2,
       "stubworld: --listen: want IPv4 ADDR:PORT, got localhost:1\n"},
      {{"--max-connections=0"}, 2, "stubworld: --max-connections: want 1 to 1000000, got 0\n"},
      {{"--login-timeout", "25h"}, 2, "stubworld: --login-timeout: want 0 to 24h, got 25h\n"},
      {{"--port"}, 2, "stubworld: unknown option --port\n"},
      {{"--quite"}, 2, "stubworld: unknown option --quite; did you mean --quiet?\n"},
      {{"--version"}, 0, std::string("stubworld ") + kVersion + "\n"},
      {{"-h"}, 0, "A loopback world server for trying clients out.\nUsage: stubworld [OPTIONS]\n"}};
  for (const auto& [args, status, text] : rows) {
    const testsupport::Process r(STUBWORLD_BIN, args, 5s);
    EXPECT_EQ(r.status, status);
    EXPECT_TRUE((status ? r.err : r.out).starts_with(text)) << r.err << r.out;
  }
}

// With --timestamps every line starts with the UTC time to the millisecond; a connection that
// does not log in within "300ms" is closed (a unit on the option); -q leaves the first line.
TEST(CommandLine, StampedQuietAndADurationWithAUnit) {
  const std::regex stamped(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z [^\n]+)");
  for (const bool quiet : {false, true}) {
    V args{"--listen", "127.0.0.1:0", "--timestamps", "--login-timeout", "300ms"};
    if (quiet) args.push_back("-q");
    testsupport::Process server(STUBWORLD_BIN, args);
    ASSERT_TRUE(server.waitFor("listening on", 5s));
    const int fd = testsupport::dial(std::stoi(server.out.substr(server.out.rfind(':') + 1)));
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0);  // closed by the server, well before dial's 10 s
    close(fd);
    EXPECT_EQ(server.finish(SIGTERM, 5s), 0);
    V lines;
    std::istringstream in(server.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    EXPECT_EQ(lines.size(), quiet ? 1u : 4u)
        << server.out;  // listening, connected, closed, stopped
    for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, stamped)) << line;
    EXPECT_EQ(server.err, "");
  }
}

}  // namespace
