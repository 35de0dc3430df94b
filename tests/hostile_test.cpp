// Hostile peers. scoutprobe against cut frames, bad length bytes, floods and resets ends
// with its own status and message, never by a signal or a hang. stubworld attacked keeps
// serving a real session, its memory bounded, and stops cleanly.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "support/harness.hpp"
#include "veltra/proto/commands.hpp"
#include "veltra/proto/writer.hpp"

namespace {

using namespace veltra::proto;
using namespace testsupport;
using namespace std::chrono_literals;

// scoutprobe's listening phase meets a reset, a cut frame, bad length bytes and a flood, and
// still ends with its own status and message.
TEST(HostileTest, ScoutprobeListensThroughGarbage) {
  const std::string kEnd = "-> SESSEXIT    06 01 07 04 01 30 \n\nhandshake complete.\n";
  Bytes flood;
  for (int i = 0; i < 50000; ++i) flood.insert(flood.end(), {0x03, 0x05, 0x0b});  // DISAPPR #5
  const std::string kLengths =
      "!! invalid length: 1\n<-             03 05 0b \n   DISAPPR [#5]\n!! invalid length: 0\n";
  const std::string kLost = "-> LONGLOC     0b 01 01 04 f4 09 a1 00 00 00 9d \n";  // x 1268, unsent
  const std::tuple<std::string, std::string, std::vector<Step>> rows[] = {
      {"3", kLost + kEnd, {1, kReset}},  // the failed send ends the phase
      {"0", kEnd, {Bytes{0x20, 0x01, 0x0e}, kShutWrite}},
      {"0", kLengths + kEnd, {Bytes{1, 3, 5, 0x0b, 0}}},
      {"0", "   DISAPPR [#5]\n" + kEnd, {flood}},
  };
  for (const auto& [linger, tail, then] : rows) {
    // PROPUPD, the login accepted (VAR_ERROR = "0"), a PROPSET, ROOMID 7, SUBSCRIB and TELEPORT.
    std::vector<Step> steps{1, Bytes{3, 0xff, 0x10}, 1, Bytes{6, 1, 6, 4, 1, 0x30}, 1,
                            1, buildRoomId("H", 7),  2};
    steps.insert(steps.end(), then.begin(), then.end());
    ScriptedPeer peer(steps, 20s);
    const Process r(SCOUTPROBE_BIN, {"127.0.0.1", std::to_string(peer.port), "u", "R", linger},
                    30s);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.ends_with(tail))
        << r.out.substr(r.out.size() - std::min<size_t>(r.out.size(), 400));
  }
}

long residentKb(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string key; status >> key;)
    if (key == "VmRSS:" && status >> key) return std::stol(key);
  return -1;
}

bool sendAll(int fd, const Bytes& b) {
  return send(fd, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
}
// A session that logs in as `name` and enters room "B" (number 2) without awaiting a reply.
int enter(uint16_t port, const std::string& name, int receiveBuffer = 0) {
  OldPropertyList login;
  login.add(kVarProtocol, "24"), login.add(kVarUsername, name);
  PacketWriter w(ObjID(kObjClient), Command::SessionInit);
  w.oldProperties(login);
  Bytes b = w.finish();  // then ROOMIDRQ "B", TELEPORT to 2 at 0,0,0
  b.insert(b.end(), {5, 1, 20, 1, 'B', 15, 1, 18, 0, 2, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0});
  const int fd = dial(port, receiveBuffer);
  return sendAll(fd, b) ? fd : -1;
}

// stubworld with five slots under attack keeps serving a real session in room "H" (number 1).
TEST(HostileTest, StubworldKeepsServingThroughAttacks) {
  // AddressSanitizer holds freed memory back (256 MB by default): resident, but not the server's.
  const char* asan = std::getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":quarantine_size_mb=16").c_str(), 1);
  Process server(STUBWORLD_BIN,
                 {"--listen", "127.0.0.1:0", "--max-connections", "5", "--login-timeout", "2"});
  ASSERT_TRUE(server.waitFor("listening on", 5s));
  const uint16_t port = std::stoi(server.out.substr(server.out.find(':') + 1));
  std::vector<int> silent;  // every slot taken by connections that never send
  for (int i = 0; i < 5; ++i) silent.push_back(dial(port));
  ASSERT_TRUE(server.waitFor("[5] connected", 5s));
  Process good(SCOUTPROBE_BIN, {"127.0.0.1", std::to_string(port), "bea", "H", "8"});
  ASSERT_TRUE(good.waitFor("-> TELEPORT", 10s));  // the oldest silent one made room
  const Process taken(SCOUTPROBE_BIN, {"127.0.0.1", std::to_string(port), "bea"}, 10s);
  EXPECT_NE(taken.out.find("VAR_ERROR=2 (VAR_ERROR=2 )\n!! login rechazado"), std::string::npos);
  char c;
  for (int fd : silent) EXPECT_EQ(recv(fd, &c, 1, 0), 0), close(fd);  // in 2 s: not logged in
  const std::pair<Bytes, const char*> garbage[] = {
      {{0x02}, "closed: invalid length 2"},
      {{0x03, 0xff, 0x0a, 0x00}, "closed: invalid length 0"},  // after a valid frame
      {{0x04, 0x01, 0x15, 0x05}, "closed: bad frame: UTF string overruns the packet"},
      {{0x03, 0xfe, 0x01}, "closed: bad frame: read past the end of the packet"},
  };
  for (const auto& [bytes, logged] : garbage) {
    const int fd = dial(port);
    EXPECT_TRUE(sendAll(fd, bytes));
    EXPECT_EQ(recv(fd, &c, 1, 0), 0) << logged;
    EXPECT_TRUE(server.waitFor(logged, 5s)), close(fd);
  }
  // A burst of TEXTs under a long name gets a stalled reader dropped, not its neighbour dee.
  const int stalled = enter(port, "cy"), dee = enter(port, "dee");
  const int burster = enter(port, std::string(241, 'x'));
  const Bytes text = {6, 1, 14, 0, 0, 0};  // TEXT: sender "", no text
  Bytes burst, sink(1 << 16);
  while (burst.size() + text.size() <= 4096) burst.insert(burst.end(), text.begin(), text.end());
  for (int i = 0; i < 1000 && !server.waitFor("cy] closed: dropped: not reading", 5ms); ++i) {
    sendAll(burster, burst);
    for (int fd : {dee, burster})
      while (recv(fd, sink.data(), sink.size(), MSG_DONTWAIT) > 0) continue;
  }
  EXPECT_NE(server.out.find("cy] closed: dropped: not reading"), std::string::npos);
  for (int fd : {stalled, dee, burster}) close(fd);
  const long before = residentKb(server.pid);
  ASSERT_GT(before, 0);
  Bytes propReqs;  // a flood of requests that each draw a reply, never reading one
  for (int i = 0; i < 20000; ++i) propReqs.insert(propReqs.end(), {0x03, 0xff, 0x0a});
  const int flooder = dial(port);
  size_t flooded = 0;
  while (flooded < (64u << 20) && sendAll(flooder, propReqs)) flooded += propReqs.size();
  EXPECT_LT(flooded, 64u << 20) << "a client that never reads was not dropped";
  EXPECT_LT(residentKb(server.pid) - before, 32 * 1024) << before << " kB before";
  close(flooder);

  EXPECT_EQ(good.finish(0, 30s), 0);
  EXPECT_NE(good.out.find("\nhandshake complete."), std::string::npos) << good.out;
  EXPECT_EQ(server.finish(SIGTERM, 10s), 0);
  for (const char* who : {"bea] closed: dropped", "dee] closed: dropped"})
    EXPECT_EQ(server.out.find(who), std::string::npos) << who;
}

// A session older than the login time-out ends with SESSEXIT and half-closes before reading a
// byte: it still gets every reply, SESSEXIT's last, then the end of the stream.
TEST(HostileTest, StubworldDrainsAnEndedSession) {
  Process server(STUBWORLD_BIN, {"--listen", "127.0.0.1:0", "--login-timeout", "1", "--quiet"});
  ASSERT_TRUE(server.waitFor("listening on", 5s));
  const int fd = enter(std::stoi(server.out.substr(server.out.find(':') + 1)), "ana", 4096);
  std::this_thread::sleep_for(1500ms);
  Bytes ask, got(1 << 20), bye = buildSessionExitReply(0);
  for (int i = 0; i < 4000; ++i) ask.insert(ask.end(), {0x03, 0xff, 0x0a});  // PROPREQ
  ask.insert(ask.end(), {0x03, 0x01, 0x07});                                 // SESSEXIT
  ASSERT_TRUE(sendAll(fd, ask));
  shutdown(fd, SHUT_WR);
  std::this_thread::sleep_for(300ms);
  size_t n = 0, frames = 0;
  ssize_t r;
  while ((r = recv(fd, got.data() + n, got.size() - n, 0)) > 0) n += size_t(r);
  EXPECT_EQ(r, 0) << std::strerror(errno);  // an orderly end
  close(fd);
  for (size_t at = 0; at < n; at += std::max<uint8_t>(got[at], 1)) ++frames;
  EXPECT_EQ(frames, 4003u);  // SESSINIT, ROOMID, the PROPUPDs and SESSEXIT
  EXPECT_TRUE(n > bye.size() && std::equal(bye.begin(), bye.end(), got.begin() + n - bye.size()));
}

}  // namespace
