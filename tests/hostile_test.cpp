// Hostile peers. scoutprobe against noise, cut frames, bad length bytes, floods and resets
// stops with its own status and message, never by a signal or a hang. stubworld attacked
// likewise keeps serving a real session, its memory bounded, and stops cleanly.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include "support/harness.hpp"
#include "veltra/proto/commands.hpp"

namespace {

using namespace veltra::proto;
using namespace testsupport;
using namespace std::chrono_literals;

Bytes noise(unsigned seed, size_t n) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (uint8_t& x : b) x = static_cast<uint8_t>(gen());
  return b;
}

// The server's side: PROPUPD and the login accepted; on through `rooms`
// lookups answered with room 7 to the listening phase; then `then`.
const Bytes kPropUpd = {0x03, 0xff, 0x10};                    // PROPUPD, no properties
const Bytes kLoginOk = {0x06, 0x01, 0x06, 0x04, 0x01, 0x30};  // SESSINIT: VAR_ERROR = "0"
std::vector<Step> listening(int rooms, std::vector<Step> then) {
  std::vector<Step> s{1, kPropUpd, 1, kLoginOk, 1};  // ends with the PROPSET
  for (int i = 0; i < rooms; ++i) s.insert(s.end(), {1, buildRoomId("H", 7)});
  s.push_back(2);  // SUBSCRIB, TELEPORT
  return s.insert(s.end(), then.begin(), then.end()), s;
}

TEST(HostileTest, ScoutprobeStopsWithItsOwnStatusAndMessage) {
  const std::string kEnd = "-> SESSEXIT    06 01 07 04 01 30 \n\nhandshake complete.\n";
  Bytes flood;
  for (int i = 0; i < 50000; ++i) flood.insert(flood.end(), {0x03, 0x05, 0x0b});  // DISAPPR #5
  const std::string kLengths =
      "!! invalid length: 1\n<-             03 05 0b \n   DISAPPR [#5]\n!! invalid length: 0\n";
  const std::string kLost = "-> LONGLOC     0b 01 01 04 f4 09 a1 00 00 00 9d \n";  // x 1268, unsent
  // A failure's last line is a "!! " line, whatever the tail.
  const struct {
    int status;
    std::string room, linger, tail;
    std::vector<Step> steps;
  } rows[] = {
      {1, "R", "0", "", {1, noise(1, 600)}},
      {0, "R", "0", kEnd, {1, kPropUpd, 1, kLoginOk, 2, noise(3, 600)}},  // no ROOMID: room 0
      {1, "R", "0", "!! no ROOMID\n", {1, kPropUpd, 1, kLoginOk, 2, kReset}},
      {0, "R", "3", kLost + kEnd, listening(1, {1, kReset})},  // the failed send ends the phase
      {0, "R", "0", kEnd, listening(1, {noise(3, 4000)})},
      {0, "follow", "0", kEnd, listening(13, {noise(4, 4000)})},
      {0, "R", "0", kEnd, listening(1, {Bytes{0x20, 0x01, 0x0e}, kShutWrite})},
      {0, "R", "0", kLengths + kEnd, listening(1, {Bytes{1, 3, 5, 0x0b, 0}})},
      {0, "R", "0", "   DISAPPR [#5]\n" + kEnd, listening(1, {flood})},
  };
  for (const auto& row : rows) {
    ScriptedPeer peer(row.steps, 20s);
    const Process r(SCOUTPROBE_BIN,
                    {"127.0.0.1", std::to_string(peer.port), "u", row.room, row.linger}, 30s);
    const size_t last = r.out.rfind('\n', r.out.size() - 2) + 1;
    SCOPED_TRACE(r.out.substr(r.out.size() - std::min<size_t>(r.out.size(), 400)));
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.out.compare(last, 3, "!! ") == 0, row.status == 1);
    EXPECT_TRUE(r.out.ends_with(row.tail));
  }
}

long residentKb(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string key; status >> key;)
    if (key == "VmRSS:" && status >> key) return std::stol(key);
  return -1;
}

TEST(HostileTest, StubworldKeepsServingThroughAttacks) {
  // AddressSanitizer holds freed memory back (256 MB by default): resident, but not the server's.
  const char* asan = std::getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":quarantine_size_mb=16").c_str(), 1);
  Process server(STUBWORLD_BIN, {"--listen", "127.0.0.1:0", "--quiet"});
  ASSERT_TRUE(server.waitFor("listening on", 5s));
  const uint16_t port = std::stoi(server.out.substr(server.out.find(':') + 1));
  Process good(SCOUTPROBE_BIN, {"127.0.0.1", std::to_string(port), "bea", "Brackenvel#Hall", "4"});
  ASSERT_TRUE(good.waitFor("-> TELEPORT", 10s));
  const long before = residentKb(server.pid);
  ASSERT_GT(before, 0);
  const auto sendAll = [](int fd, const Bytes& b) {
    return send(fd, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
  };
  std::vector<int> held;  // open to the end: silent after half a frame, or never reading
  for (unsigned seed = 0; seed < 20; ++seed) {  // garbage, or none; then a close or a reset
    const int fd = dial(port);
    const linger how{seed % 2 == 0, 0};
    sendAll(fd, noise(seed, seed % 4 ? 2000 : 0));
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &how, sizeof how), close(fd);
  }
  for (const Bytes& half : {Bytes{0x20}, Bytes{0x10, 0x01, 0x06, 0x03}, Bytes{0xff, 0xfe}})
    EXPECT_TRUE(sendAll(held.emplace_back(dial(port)), half));
  Bytes propReqs;  // a flood of requests that each draw a reply, never reading one
  for (int i = 0; i < 20000; ++i) propReqs.insert(propReqs.end(), {0x03, 0xff, 0x0a});
  size_t flooded = 0;
  for (held.push_back(dial(port)); flooded < (64u << 20) && sendAll(held.back(), propReqs);)
    flooded += propReqs.size();
  EXPECT_LT(flooded, 64u << 20) << "a client that never reads was not dropped";
  EXPECT_LT(residentKb(server.pid) - before, 32 * 1024) << before << " kB before";

  EXPECT_EQ(good.finish(0, 30s), 0);
  EXPECT_NE(good.out.find("\nhandshake complete."), std::string::npos) << good.out;
  for (int fd : held) close(fd);
  EXPECT_EQ(server.finish(SIGTERM, 10s), 0) << server.out;
}

}  // namespace
