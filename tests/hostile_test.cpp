// Hostile peers, end to end. scoutprobe against a loopback server that sends
// noise, cut frames or bad length bytes, floods it or resets: it stops with its
// own status and message, never by a signal, and never hangs once its receive
// time-out is set. stubworld against raw clients doing the same while a real
// session runs: it keeps serving, its memory stays bounded, it stops cleanly.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include "support/background.hpp"
#include "support/process.hpp"
#include "support/scripted_peer.hpp"
#include "veltra/proto/commands.hpp"

namespace {

using namespace veltra::proto;
using namespace std::chrono_literals;
using S = testsupport::PeerStep;

Bytes noise(unsigned seed, size_t n) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (uint8_t& x : b) x = static_cast<uint8_t>(gen());
  return b;
}

// The server's side: PROPUPD, the login accepted, then `then`; or on through
// `rooms` lookups answered with room 7 to the listening phase, then `then`.
const Bytes kPropUpd = {0x03, 0xff, 0x10};                    // PROPUPD, no properties
const Bytes kLoginOk = {0x06, 0x01, 0x06, 0x04, 0x01, 0x30};  // SESSINIT: VAR_ERROR = "0"
std::vector<S> login(std::vector<S> then) {
  then.insert(then.begin(), {S::expect(1), S::send(kPropUpd), S::expect(1), S::send(kLoginOk)});
  return then;
}
std::vector<S> listening(int rooms, const std::vector<S>& then) {
  std::vector<S> s{S::expect(1)};  // PROPSET
  for (int i = 0; i < rooms; ++i) s.insert(s.end(), {S::expect(1), S::send(buildRoomId("H", 7))});
  s.push_back(S::expect(2));  // SUBSCRIB, TELEPORT
  s.insert(s.end(), then.begin(), then.end());
  return login(s);
}

TEST(HostileTest, ScoutprobeStopsWithItsOwnStatusAndMessage) {
  const std::string kEnd = "-> SESSEXIT    06 01 07 04 01 30 \n\nhandshake complete.\n";
  Bytes flood;
  for (int i = 0; i < 50000; ++i) flood.insert(flood.end(), {0x03, 0x05, 0x0b});  // DISAPPR #5
  const std::string kLengths =
      "!! invalid length: 1\n<-             03 05 0b \n   DISAPPR [#5]\n!! invalid length: 0\n";
  // A failure's last line is a "!! " line, whatever the tail.
  const struct {
    int status;
    std::string room, tail;
    std::vector<S> steps;
  } rows[] = {
      // clang-format off
      {1, "R", "", {S::expect(1), S::send(noise(1, 600))}},
      {1, "R", "", {S::expect(1), S::send(kPropUpd), S::expect(1), S::send(noise(2, 600)),
                    S::close()}},
      {0, "R", kEnd, login({S::expect(2), S::send(noise(3, 600))})},  // no ROOMID: room 0
      {1, "R", "!! no PROPUPD\n", {S::expect(1), S::send({0x10, 0xff, 0x10, 0x01}), S::close()}},
      {1, "R", "!! invalid length: 0\n!! no PROPUPD\n", {S::expect(1), S::send({0, 3, 255, 16})}},
      {1, "R", "!! no PROPUPD\n", {S::expect(1), S::reset()}},
      {1, "R", "!! no ROOMID\n", login({S::expect(2), S::reset()})},
      {0, "R", kEnd, listening(1, {S::send(noise(3, 4000))})},
      {0, "follow", kEnd, listening(13, {S::send(noise(4, 4000))})},
      {0, "R", kEnd, listening(1, {S::send({0x20, 0x01, 0x0e}), S::close()})},
      {0, "R", kLengths + kEnd, listening(1, {S::send({1, 3, 5, 0x0b, 0})})},
      {0, "R", "   DISAPPR [#5]\n" + kEnd, listening(1, {S::send(flood)})},
      // clang-format on
  };
  for (const auto& row : rows) {
    testsupport::ScriptedPeer peer(row.steps, 20s);
    const auto r = testsupport::runProcess(
        SCOUTPROBE_BIN, {"127.0.0.1", std::to_string(peer.port()), "u", row.room}, 30s);
    const size_t last = r.out.rfind('\n', r.out.size() - 2) + 1;
    SCOPED_TRACE(r.out.substr(r.out.size() - std::min<size_t>(r.out.size(), 400)));
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.out.compare(last, 3, "!! ") == 0, row.status == 1);
    EXPECT_TRUE(r.out.ends_with(row.tail));
  }
}

#ifdef STUBWORLD_BIN
// A blocking loopback connection whose sends give up after 10 s.
int dial(const std::string& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  const timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  return fd;
}
bool sendAll(int fd, const Bytes& b) {
  return send(fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
}

// The resident set in kB of this thread's child that runs `path`.
long residentKb(const std::string& path) {
  std::ifstream kids("/proc/self/task/" + std::to_string(gettid()) + "/children");
  for (std::string pid, argv0; kids >> pid;) {
    std::ifstream cmdline("/proc/" + pid + "/cmdline"), status("/proc/" + pid + "/status");
    if (!std::getline(cmdline, argv0, '\0') || argv0 != path) continue;
    for (std::string key; status >> key;)
      if (key == "VmRSS:" && status >> key) return std::stol(key);
  }
  return -1;
}

TEST(HostileTest, StubworldKeepsServingThroughAttacks) {
  // AddressSanitizer holds freed memory back (256 MB by default): resident, but not the server's.
  const char* asan = std::getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":quarantine_size_mb=16").c_str(), 1);
  testsupport::Background server(STUBWORLD_BIN, {"--listen", "127.0.0.1:0", "--quiet"});
  const auto line = server.waitFor("listening on 127.0.0.1:", 5s);
  ASSERT_TRUE(line);
  const std::string port = line->substr(line->rfind(':') + 1);
  testsupport::Background good(SCOUTPROBE_BIN, {"127.0.0.1", port, "bea", "Brackenvel#Hall", "4"});
  ASSERT_TRUE(good.waitFor("-> TELEPORT", 10s));
  const long before = residentKb(STUBWORLD_BIN);
  ASSERT_GT(before, 0);

  std::vector<int> held;  // open to the end: silent after half a frame, or never reading
  for (unsigned seed = 1; seed <= 20; ++seed) {  // garbage
    const int fd = dial(port);
    sendAll(fd, noise(seed, 2000));
    close(fd);
  }
  for (const Bytes& half : {Bytes{0x20}, Bytes{0x10, 0x01, 0x06, 0x03}, Bytes{0xff, 0xfe}}) {
    held.push_back(dial(port));
    EXPECT_TRUE(sendAll(held.back(), half));
  }
  for (const linger how : {linger{0, 0}, linger{1, 0}}) {  // vanish: a close, then a reset
    const int fd = dial(port);
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &how, sizeof how);
    close(fd);
  }
  Bytes propReqs;  // a flood of requests that each draw a reply
  for (int i = 0; i < 20000; ++i) propReqs.insert(propReqs.end(), {0x03, 0xff, 0x0a});
  held.push_back(dial(port));
  size_t flooded = 0;
  while (flooded < (64u << 20) && sendAll(held.back(), propReqs)) flooded += propReqs.size();
  EXPECT_LT(flooded, 64u << 20) << "a client that never reads was not dropped";
  EXPECT_LT(residentKb(STUBWORLD_BIN) - before, 32 * 1024) << before << " kB before";

  EXPECT_EQ(good.finish(0, 30s), 0);
  EXPECT_NE(good.output().find("\nhandshake complete."), std::string::npos) << good.output();
  const auto again = testsupport::runProcess(SCOUTPROBE_BIN, {"127.0.0.1", port, "cid"}, 30s);
  EXPECT_EQ(again.status, 0);
  EXPECT_NE(again.out.find("\nhandshake complete."), std::string::npos) << again.out;
  for (int fd : held) close(fd);
  EXPECT_EQ(server.finish(SIGTERM, 10s), 0) << server.output();
}
#endif

}  // namespace
