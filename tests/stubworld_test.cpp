// stubworld: compound batching, the world's rules without
// sockets, and whole scoutprobe sessions against the real server.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "stubworld/world.hpp"
#include "support/harness.hpp"
#include "veltra/proto/reader.hpp"

namespace {

using namespace veltra::proto;
using namespace stubworld;
using namespace std::chrono_literals;
using V = std::vector<std::string>;

// Every command of every frame, as describe lines.
V described(const std::vector<Bytes>& frames) {
  V lines;
  for (const Bytes& f : frames) {
    EXPECT_EQ(f.size(), f[0]);
    for (const Incoming& in : parsePacket(std::span(f).subspan(1))) lines.push_back(describe(in));
  }
  return lines;
}

TEST(Coalesce, JoinsRunsOfOneNotificationWithinTheFrameLimit) {
  std::vector<Bytes> in{buildRoomId("Hall", 1), buildRoomId("Yard", 2)};
  for (uint8_t id = 2; id < 42; ++id) in.push_back(buildAppearActor(ObjID(id), 1, 2, 3, 4, 5));
  in.insert(in.end(), {buildPropertyUpdate({}), buildText("ana", "hola"), buildText("bea", "adios"),
                       buildDisappear(ObjID(3))});
  const std::vector<Bytes> out = coalesce(in);
  EXPECT_EQ(described(out), described(in));
  // ROOMID, ROOMID; 40 APPRACTRs of 11 bytes in compound frames: 22 + 18; PROPUPD; TEXT + TEXT;
  // DISAPPR.
  EXPECT_EQ(out.size(), 7u);
  for (const Bytes& f : out) EXPECT_LE(f.size(), 255u);
}

TEST(World, SubscribersSeeTheRoomAndTextReachesTheSenderToo) {
  World world;
  bool open = true;  // what handle said last
  const auto request = [&](ConnId id, Command cmd, const std::function<void(PacketWriter&)>& body) {
    world.connect(id);
    PacketWriter w(ObjID(kObjClient), cmd);
    body(w);
    const Bytes frame = w.finish();
    for (const Incoming& in : parsePacket(std::span(frame).subspan(1))) open = world.handle(id, in);
  };
  const auto login = [&](ConnId id, const std::string& name, const std::string& protocol = "24") {
    OldPropertyList p;
    p.add(kVarProtocol, protocol), p.add(kVarUsername, name);
    request(id, Command::SessionInit, [&](PacketWriter& w) { w.oldProperties(p); });
  };
  const auto i16s = [](std::vector<int16_t> v) {
    return [=](PacketWriter& w) {
      for (int16_t x : v) w.i16(x);
    };
  };
  const auto sent = [&] {  // queued since the last call: "<conn> <describe>" per command
    V out;
    for (const auto& [id, frames] : world.takeOutput())
      for (const std::string& line : described(frames))
        out.push_back(std::to_string(id) + " " + line);
    return out;
  };
  login(1, "ana"), login(2, "bea"), login(3, "ana"), login(4, "cy", "23");
  EXPECT_EQ(sent(), (V{"1 SESSINIT [#1] (VAR_ERROR=0 VAR_USERNAME=ana )",
                       "2 SESSINIT [#1] (VAR_ERROR=0 VAR_USERNAME=bea )",
                       "3 SESSINIT [#1] (VAR_ERROR=2 )", "4 SESSINIT [#1] (VAR_ERROR=1 )"}));
  request(1, Command::PropertySet, [](PacketWriter& w) {
    PropertyList p;
    p.add(kVarChannel, "avatar:x");
    w.utf(""), w.properties(p);
  });
  for (const char* room : {"Hall", "Yard", "Hall"})
    request(2, Command::RoomIdRequest, [&](PacketWriter& w) { w.utf(room); });
  request(2, Command::Subscribe, i16s({1, 0, 0, 0, 900}));
  request(1, Command::Teleport, i16s({1, 1, 100, 200, 0, 90}));  // room 1, exit 0, entry 1
  EXPECT_EQ(sent(), (V{"2 ROOMID [#1] \"Hall\" = 1", "2 ROOMID [#1] \"Yard\" = 2",
                       "2 ROOMID [#1] \"Hall\" = 1"}));          // bea is not in the world yet
  request(2, Command::Teleport, i16s({2, 1, 100, 200, 0, 90}));  // Yard; she sees Hall too
  EXPECT_EQ(sent(), (V{"1 REGOBJID [#1] \"bea\" -> #3", "2 REGOBJID [#1] \"ana\" -> #2",
                       "2 APPRACTR [#2] room=1 @100,200,0 dir=90",
                       "2 PROPUPD [#2] (VAR_CHANNEL/BITMAP=avatar:x )"}));
  request(1, Command::LongLoc, i16s({110, 200, 0, 90}));
  request(1, Command::Text, [](PacketWriter& w) { w.objid(ObjID()), w.utf("hola"); });
  EXPECT_EQ(sent(), (V{"1 TEXT [#1] <ana> hola", "2 LONGLOC [#2] @110,200,0 dir=90",
                       "2 TEXT [#1] <ana> hola"}));
  request(2, Command::Unsubscribe, [](PacketWriter& w) { w.u16(1); });
  request(1, Command::Teleport, i16s({2, 1, 100, 200, 0, 90}));  // ana follows bea into Yard
  EXPECT_EQ(sent(), (V{"1 APPRACTR [#3] room=2 @100,200,0 dir=90", "2 DISAPPR [#2]",
                       "2 APPRACTR [#2] room=2 @100,200,0 dir=90",
                       "2 PROPUPD [#2] (VAR_CHANNEL/BITMAP=avatar:x )"}));
  request(2, Command::SessionExit, [](PacketWriter&) {});
  EXPECT_FALSE(open);
  EXPECT_EQ(sent(), (V{"1 DISAPPR [#3]", "2 SESSEXIT [#1] (VAR_ERROR=0 )"}));
  login(3, "bea");  // the name is free again
  EXPECT_EQ(sent(), (V{"3 SESSINIT [#1] (VAR_ERROR=0 VAR_USERNAME=bea )"}));
  // Past 256 subscriptions the next is ignored: bea in Hall does not see ana in Yard.
  for (int16_t r = 100; r < 356; ++r) request(3, Command::Subscribe, i16s({r, 0, 0, 0, 900}));
  request(3, Command::Subscribe, i16s({2, 0, 0, 0, 900}));
  request(3, Command::Teleport, i16s({1, 1, 0, 0, 0, 0}));
  EXPECT_EQ(sent(), (V{"1 REGOBJID [#1] \"bea\" -> #3", "3 REGOBJID [#1] \"ana\" -> #2"}));
}

TEST(CommandLine, BadArgumentsAreNamed) {
  const std::pair<V, std::string> rows[] = {
      {{"--listen", "localhost:1"}, "invalid listen address (want IPv4:PORT): localhost:1\n"},
      {{"--listen", "127.0.0.1:65536"},
       "invalid listen address (want IPv4:PORT): 127.0.0.1:65536\n"},
      {{"--port"}, "bad argument: --port\n"}};
  for (const auto& [args, err] : rows) {
    const testsupport::Process r(STUBWORLD_BIN, args, 5s);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.starts_with("stubworld: " + err)) << r.err;
  }
}

// The real server on an ephemeral loopback port, stopped with SIGTERM; scoutprobe as its client.
class Live : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.waitFor("listening on", 5s));
    port_ = std::stoi(server_.out.substr(server_.out.find(':') + 1));
  }
  void TearDown() override { EXPECT_EQ(server_.finish(SIGTERM, 5s), 0) << server_.out; }
  std::unique_ptr<testsupport::Process> probe(V args, bool behind = false) {
    args.insert(args.begin(), {"127.0.0.1", std::to_string(port_)});
    return std::make_unique<testsupport::Process>(SCOUTPROBE_BIN, args,
                                                  behind ? std::nullopt : std::optional(20s));
  }
  bool serverSays(const std::string& needle) { return server_.waitFor(needle, 10s); }

  testsupport::Process server_{STUBWORLD_BIN, {"--listen", "127.0.0.1:0"}};
  uint16_t port_ = 0;
};

// A taken name is refused; the follower shadows the walker across the room it enters.
TEST_F(Live, FollowerShadowsTheWalkerWhoseNameIsTaken) {
  auto walker = probe({"walker", "Brackenvel#ChatHall", "3"}, true);
  ASSERT_TRUE(serverSays("[1 walker] TELEPORT"));
  const auto taken = probe({"walker"});
  EXPECT_EQ(taken->status, 1);
  EXPECT_NE(taken->out.find("VAR_ERROR=2 (VAR_ERROR=2 )\n!! login rechazado"), std::string::npos);
  const auto follower = probe({"follower", "follow", "3"});
  EXPECT_EQ(follower->status, 0) << follower->out;
  EXPECT_NE(follower->out.find("-> TELEPORT(seguir)  0f 01 12 00 01 00 01 05 62 09 a1"),
            std::string::npos);  // room 1, x 1228 + 150
  EXPECT_NE(follower->out.find("-> LONGLOC(seguir)"), std::string::npos) << follower->out;
  EXPECT_EQ(walker->finish(), 0);
  EXPECT_NE(walker->out.find("APPRACTR [#3] room=1 @1378,2465,0"), std::string::npos)
      << walker->out;
}

// A default session completes while clients sending garbage are dropped, each for its reason.
TEST_F(Live, GarbageDropsOnlyItsSender) {
  auto good = probe({}, true);
  ASSERT_TRUE(serverSays("[1 scoutprobe] TELEPORT"));
  const std::pair<Bytes, const char*> rows[] = {
      {{0x02}, "closed: invalid length 2"},
      {{0x03, 0xff, 0x0a, 0x00}, "closed: invalid length 0"},  // after a valid frame
      {{0x04, 0x01, 0x15, 0x05}, "closed: bad frame: UTF string overruns the packet"},
      {{0x03, 0xfe, 0x01}, "closed: bad frame: read past the end of the packet"},
  };
  for (const auto& [bytes, logged] : rows) {
    const int fd = testsupport::dial(port_);
    char c;
    EXPECT_EQ(send(fd, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
    EXPECT_EQ(recv(fd, &c, 1, 0), 0) << logged;  // closed by the server
    EXPECT_TRUE(serverSays(logged));
    close(fd);
  }
  EXPECT_EQ(good->finish(), 0);
  EXPECT_NE(good->out.find("\nhandshake complete."), std::string::npos) << good->out;
}

}  // namespace
