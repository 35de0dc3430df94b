// stubworld: stream reassembly, compound batching, the world's rules without
// sockets, and whole scoutprobe sessions against the real server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "stubworld/framer.hpp"
#include "stubworld/world.hpp"
#include "support/background.hpp"
#include "support/process.hpp"
#include "veltra/proto/reader.hpp"

namespace {

using namespace veltra::proto;
using namespace stubworld;
using namespace std::chrono_literals;

Bytes cat(const std::vector<Bytes>& frames) {
  Bytes all;
  for (const Bytes& f : frames) all.insert(all.end(), f.begin(), f.end());
  return all;
}

// The smallest frame, a long target, and a frame of exactly 255 bytes.
std::vector<Bytes> sampleFrames() {
  PropertyList big;
  big.add(kVarAvatars, std::string(248, 'a'));
  return {buildDisappear(ObjID(5)), buildText("ana", "hola"), buildPropertyUpdate(big),
          buildLongLoc(ObjID(7), -1, 2, 3, 90)};
}

std::vector<Bytes>& drain(Framer& f, std::vector<Bytes>& got) {
  for (Bytes frame; f.next(frame) == Framer::Result::kFrame;) got.push_back(frame);
  return got;
}

TEST(Framer, ReassemblesFramesCutAnywhereOrMerged) {
  const std::vector<Bytes> frames = sampleFrames();
  ASSERT_EQ(frames[2].size(), 255u);
  std::vector<Bytes> want;
  for (const Bytes& f : frames) want.emplace_back(f.begin() + 1, f.end());
  const Bytes stream = cat(frames);
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    Framer f;
    std::vector<Bytes> got;
    f.feed({stream.data(), cut});
    drain(f, got);
    f.feed({stream.data() + cut, stream.size() - cut});
    ASSERT_EQ(drain(f, got), want) << "cut at " << cut;
    EXPECT_EQ(f.buffered(), 0u);
  }
  Framer bytewise;
  std::vector<Bytes> got;
  for (uint8_t b : stream) bytewise.feed({&b, 1}), drain(bytewise, got);
  EXPECT_EQ(got, want);
}

TEST(Framer, LengthBelowThreeBreaksTheStreamForGood) {
  for (uint8_t bad : {0, 1, 2}) {
    Bytes stream = buildDisappear(ObjID(5));
    stream.push_back(bad);
    const Bytes after = buildDisappear(ObjID(6));
    stream.insert(stream.end(), after.begin(), after.end());
    Framer f;
    f.feed(stream);
    Bytes frame;
    EXPECT_EQ(f.next(frame), Framer::Result::kFrame);
    EXPECT_EQ(f.next(frame), Framer::Result::kBadLength);
    EXPECT_EQ(f.badLength(), bad);
    EXPECT_EQ(f.next(frame), Framer::Result::kBadLength);  // no resynchronising
  }
}

TEST(Framer, HoldsNoMoreThanItsCapacity) {
  const Bytes frame = sampleFrames()[2];
  Bytes flood;
  while (flood.size() <= Framer::kCapacity) flood.insert(flood.end(), frame.begin(), frame.end());
  Framer f;
  EXPECT_EQ(f.feed(flood), Framer::kCapacity);
  EXPECT_EQ(f.space(), 0u);
  std::vector<Bytes> got;
  EXPECT_EQ(drain(f, got).size(), Framer::kCapacity / 255);
  EXPECT_EQ(f.feed(flood), Framer::kCapacity - Framer::kCapacity % 255);
}

// Every command of every frame, as describe lines.
std::vector<std::string> described(const std::vector<Bytes>& frames) {
  std::vector<std::string> lines;
  for (const Bytes& f : frames) {
    EXPECT_EQ(f.size(), f[0]);
    for (const Incoming& in : parsePacket(std::span(f).subspan(1))) lines.push_back(describe(in));
  }
  return lines;
}

TEST(Coalesce, JoinsRunsOfOneNotificationWithinTheFrameLimit) {
  std::vector<Bytes> in{buildRoomId("Hall", 1), buildRoomId("Yard", 2)};
  for (uint8_t id = 2; id < 42; ++id) in.push_back(buildAppearActor(ObjID(id), 1, 2, 3, 4, 5));
  in.push_back(buildPropertyUpdate({}));
  in.push_back(buildText("ana", "hola"));
  in.push_back(buildText("bea", "adios"));
  in.push_back(buildDisappear(ObjID(3)));
  const std::vector<Bytes> out = coalesce(in);
  EXPECT_EQ(described(out), described(in));
  // Two ROOMIDs; 40 APPRACTRs, 11 bytes each in a compound frame: 22 + 18; PROPUPD; two
  // TEXTs in one frame; DISAPPR.
  EXPECT_EQ(out.size(), 2u + 2u + 1u + 1u + 1u);
  for (const Bytes& f : out) EXPECT_LE(f.size(), 255u);
}

// Drives a World with requests and collects what each connection is sent.
struct WorldDriver {
  World world;
  bool open = true;  // what handle said last

  void request(ConnId id, Command cmd, const std::function<void(PacketWriter&)>& body) {
    world.connect(id);
    PacketWriter w(ObjID(kObjClient), cmd);
    body(w);
    const Bytes frame = w.finish();
    for (const Incoming& in : parsePacket(std::span(frame).subspan(1))) open = world.handle(id, in);
  }
  void login(ConnId id, const std::string& name, const std::string& protocol = "24") {
    OldPropertyList p;
    p.add(kVarProtocol, protocol);
    p.add(kVarUsername, name);
    request(id, Command::SessionInit, [&](PacketWriter& w) { w.oldProperties(p); });
  }
  void teleport(ConnId id, uint16_t room) {
    request(id, Command::Teleport, [&](PacketWriter& w) {
      w.u16(room);
      w.u16(1);
      for (int16_t v : {100, 200, 0, 90}) w.i16(v);
    });
  }
  // What was queued since the last call: "<conn> <describe>" per command.
  std::vector<std::string> sent() {
    std::vector<std::string> out;
    for (const auto& [id, frames] : world.takeOutput())
      for (const std::string& line : described(frames))
        out.push_back(std::to_string(id) + " " + line);
    return out;
  }
};

TEST(World, SubscribersSeeTheRoomAndTextReachesTheSenderToo) {
  WorldDriver d;
  using V = std::vector<std::string>;
  d.login(1, "ana");
  d.login(2, "bea");
  d.login(3, "ana");
  d.login(4, "cy", "23");
  EXPECT_EQ(d.sent(), (V{"1 SESSINIT [#1] (VAR_ERROR=0 VAR_USERNAME=ana )",
                         "2 SESSINIT [#1] (VAR_ERROR=0 VAR_USERNAME=bea )",
                         "3 SESSINIT [#1] (VAR_ERROR=2 )", "4 SESSINIT [#1] (VAR_ERROR=1 )"}));
  d.request(1, Command::PropertySet, [](PacketWriter& w) {
    PropertyList p;
    p.add(kVarChannel, "avatar:x");
    w.utf("");
    w.properties(p);
  });
  for (const char* room : {"Hall", "Yard", "Hall"})
    d.request(2, Command::RoomIdRequest, [&](PacketWriter& w) { w.utf(room); });
  d.request(2, Command::Subscribe, [](PacketWriter& w) {
    for (int16_t v : {1, 0, 0, 0, 900}) w.i16(v);
  });
  d.teleport(1, 1);
  EXPECT_EQ(d.sent(), (V{"2 ROOMID [#1] \"Hall\" = 1", "2 ROOMID [#1] \"Yard\" = 2",
                         "2 ROOMID [#1] \"Hall\" = 1"}));  // bea is not in the world yet
  d.teleport(2, 2);  // bea enters Yard and sees Hall through her subscription
  EXPECT_EQ(d.sent(), (V{"1 REGOBJID [#1] \"bea\" -> #3", "2 REGOBJID [#1] \"ana\" -> #2",
                         "2 APPRACTR [#2] room=1 @100,200,0 dir=90",
                         "2 PROPUPD [#2] (VAR_CHANNEL/BITMAP=avatar:x )"}));
  d.request(1, Command::LongLoc, [](PacketWriter& w) {
    for (int16_t v : {110, 200, 0, 90}) w.i16(v);
  });
  d.request(1, Command::Text, [](PacketWriter& w) {
    w.objid(ObjID());
    w.utf("hola");
  });
  EXPECT_EQ(d.sent(), (V{"1 TEXT [#1] <ana> hola", "2 LONGLOC [#2] @110,200,0 dir=90",
                         "2 TEXT [#1] <ana> hola"}));
  d.request(2, Command::Unsubscribe, [](PacketWriter& w) { w.u16(1); });
  d.teleport(1, 2);  // ana follows bea into Yard
  EXPECT_EQ(d.sent(), (V{"1 APPRACTR [#3] room=2 @100,200,0 dir=90", "2 DISAPPR [#2]",
                         "2 APPRACTR [#2] room=2 @100,200,0 dir=90",
                         "2 PROPUPD [#2] (VAR_CHANNEL/BITMAP=avatar:x )"}));
  d.request(2, Command::SessionExit, [](PacketWriter&) {});
  EXPECT_FALSE(d.open);
  EXPECT_EQ(d.sent(), (V{"1 DISAPPR [#3]", "2 SESSEXIT [#1] (VAR_ERROR=0 )"}));
  d.login(3, "bea");  // the name is free again
  EXPECT_EQ(d.sent(), (V{"3 SESSINIT [#1] (VAR_ERROR=0 VAR_USERNAME=bea )"}));
}

#ifdef STUBWORLD_BIN
// The real server on an ephemeral loopback port, stopped with SIGTERM.
class Live : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto line = server_.waitFor("listening on 127.0.0.1:", 5s);
    ASSERT_TRUE(line);
    port_ = line->substr(line->rfind(':') + 1);
  }
  void TearDown() override {
    EXPECT_EQ(server_.finish(SIGTERM, 5s), 0) << server_.output();
    EXPECT_NE(server_.output().find("\nstopped\n"), std::string::npos);
  }
  testsupport::ProcessResult probe(std::vector<std::string> args) {
    args.insert(args.begin(), {"127.0.0.1", port_});
    return testsupport::runProcess(SCOUTPROBE_BIN, args, 20s);
  }
  std::unique_ptr<testsupport::Background> probeBehind(std::vector<std::string> args) {
    args.insert(args.begin(), {"127.0.0.1", port_});
    return std::make_unique<testsupport::Background>(SCOUTPROBE_BIN, args);
  }
  bool serverSays(const std::string& needle) { return server_.waitFor(needle, 10s).has_value(); }

  testsupport::Background server_{STUBWORLD_BIN, {"--listen", "127.0.0.1:0"}};
  std::string port_;
};

TEST_F(Live, DefaultSessionCompletesTheHandshake) {
  const auto r = probe({});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("login accepted as \"scoutprobe\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ROOMID \"Brackenvel#Reception<dimension-1>\" = 1"), std::string::npos);
  EXPECT_NE(r.out.find("\nhandshake complete."), std::string::npos);
  EXPECT_TRUE(serverSays("[1 scoutprobe] SESSEXIT [#1] (VAR_ERROR=0 )"));
}

TEST_F(Live, SecondClientWithTheSameNameIsRefused) {
  auto first = probeBehind({"ana", "Brackenvel#Hall", "2"});
  ASSERT_TRUE(serverSays("[1 ana] logged in as #2"));
  const auto second = probe({"ana"});
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.out.find("VAR_ERROR=2 (VAR_ERROR=2 )\n!! login rechazado"), std::string::npos)
      << second.out;
  EXPECT_EQ(first->finish(0, 20s), 0) << first->output();
}

TEST_F(Live, FollowerShadowsTheWalker) {
  auto walker = probeBehind({"walker", "Brackenvel#ChatHall", "3"});
  ASSERT_TRUE(serverSays("[1 walker] TELEPORT"));
  const auto follower = probe({"follower", "follow", "3"});
  EXPECT_EQ(follower.status, 0) << follower.out;
  EXPECT_NE(follower.out.find("APPRACTR [#2] room=1 @1228,2465,0"), std::string::npos);
  EXPECT_NE(follower.out.find("-> TELEPORT(seguir)  0f 01 12 00 01 00 01 05 62 09 a1"),
            std::string::npos);  // room 1, x 1228 + 150
  EXPECT_NE(follower.out.find("-> LONGLOC(seguir)"), std::string::npos) << follower.out;
  EXPECT_EQ(walker->finish(0, 20s), 0);
  EXPECT_NE(walker->output().find("APPRACTR [#3] room=1 @1378,2465,0"), std::string::npos)
      << walker->output();
}

// Sends bytes on a fresh connection; true when the server then closes it.
bool closedAfter(const std::string& port, const Bytes& bytes) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  bool closed = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
    pollfd p{fd, POLLIN, 0};
    char c;
    closed = poll(&p, 1, 5000) == 1 && recv(fd, &c, 1, 0) == 0;
  }
  close(fd);
  return closed;
}

TEST_F(Live, GarbageDropsOnlyItsSender) {
  auto good = probeBehind({"bea", "Brackenvel#Hall", "3"});
  ASSERT_TRUE(serverSays("[1 bea] TELEPORT"));
  const struct {
    Bytes bytes;
    const char* logged;
  } rows[] = {
      {{0x02}, "closed: invalid length 2"},
      {{0x03, 0x01, 0x0a, 0x00}, "closed: invalid length 0"},  // after a valid frame
      {{0x04, 0x01, 0x15, 0x05}, "closed: bad frame: UTF string overruns the packet"},
      {{0x03, 0xfe, 0x01}, "closed: bad frame: read past the end of the packet"},
  };
  for (const auto& row : rows) {
    EXPECT_TRUE(closedAfter(port_, row.bytes)) << row.logged;
    EXPECT_TRUE(serverSays(row.logged));
  }
  EXPECT_EQ(good->finish(0, 20s), 0);
  EXPECT_NE(good->output().find("TEXT [#1] <bea> hola, soy bea"), std::string::npos)
      << good->output();
  EXPECT_NE(good->output().find("\nhandshake complete."), std::string::npos);
}
#endif

}  // namespace
