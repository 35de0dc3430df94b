// The tools' shared socket plumbing: what a late reader learns of when its
// data arrived; a batch of flushes through io_uring against plain send()s.
#include "common/netio.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "common/sendbatch.hpp"

namespace {

int64_t realNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Bytes read 50 ms after they came carry the time they came, not the time of reading.
TEST(Connection, ReadCarriesArrivalTime) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const int sender = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(sender, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  veltra::tools::Connection in(accept(listener, nullptr, nullptr));
  close(listener);
  ASSERT_TRUE(veltra::tools::enableArrivalTimes(in.fd()));

  // The kernel starts stamping a moment after the first socket asks: bytes sent
  // before then come without a time, so the exchange is repeated until one has it.
  int64_t sent = 0, arrived = 0, read = 0;
  size_t tries = 0;
  while (arrived == 0 && tries++ < 20) {
    sent = realNs();
    const uint8_t frame[] = {3, 1, 0};
    ASSERT_EQ(send(sender, frame, sizeof frame, 0), 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(in.read(arrived), veltra::tools::Connection::Io::kOk);
    read = realNs();
  }
  EXPECT_GE(arrived, sent);
  EXPECT_LE(arrived, read - 40'000'000);
  EXPECT_EQ(in.framer().buffered(), 3 * tries);
  close(sender);
}

// A loopback listener for many connections; `addr` is where.
int listenLoopback(sockaddr_in& addr) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(listener, 2048);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  return listener;
}

// A connected loopback pair {sender, receiver}, the sender non-blocking, both buffers small.
std::pair<int, int> smallPair(int listener, const sockaddr_in& addr) {
  const int sender = socket(AF_INET, SOCK_STREAM, 0);
  const int small = 4096;
  setsockopt(sender, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  connect(sender, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  const int receiver = accept(listener, nullptr, nullptr);
  setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  veltra::tools::setNonBlocking(sender);
  return {sender, receiver};
}

// Flushing through the ring leaves each connection as its own send() would, over more
// connections than one submission takes: output sent whole, none, part of a large one, none
// of it to a full socket (at once, not waiting for room), an error for a peer that reset.
TEST(SendBatch, RingAgreesWithPlainSends) {
  using veltra::tools::Connection;
  sockaddr_in addr;
  const int listener = listenLoopback(addr);
  enum Kind { kSmall, kNone, kReset, kLarge, kFull };
  const auto kindOf = [](size_t i) {
    return i < 4 ? kFull : i < 8 ? kLarge : static_cast<Kind>(i % 3);
  };
  using Outcome = std::tuple<Connection::Io, int, size_t, ssize_t>;  // io, errno, pending, got
  std::vector<Outcome> seen[2];
  for (const bool ring : {false, true}) {
    veltra::tools::SendBatch batch(ring);
    ASSERT_EQ(batch.usingRing(), ring);
    std::vector<std::unique_ptr<Connection>> conns;
    std::vector<int> peers;
    for (size_t i = 0; i < 1100; ++i) {
      const auto [sender, receiver] = smallPair(listener, addr);
      conns.push_back(std::make_unique<Connection>(sender));
      peers.push_back(receiver);
      const std::vector<uint8_t> out(kindOf(i) == kLarge  ? 1 << 20
                                     : kindOf(i) == kFull ? 1 << 16
                                                          : 7,
                                     static_cast<uint8_t>(i));
      if (kindOf(i) == kFull)  // a socket that takes nothing more
        while (send(sender, out.data(), out.size(), MSG_DONTWAIT) > 0) continue;
      if (kindOf(i) != kNone) conns.back()->queue(std::span<const uint8_t>(out));
      if (kindOf(i) == kReset) {
        const linger abort{1, 0};
        setsockopt(receiver, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        close(receiver), peers.back() = -1;
      }
    }
    std::vector<Connection*> all;
    for (const auto& c : conns) all.push_back(c.get());
    std::vector<veltra::tools::SendBatch::Result> results;
    for (int round = 0; round < 2; ++round) {
      batch.flush(all, results);
      ASSERT_EQ(results.size(), all.size());
      for (size_t i = 0; i < all.size(); ++i) {
        uint8_t buf[16] = {};
        const ssize_t got = peers[i] < 0 || kindOf(i) >= kLarge
                                ? -2
                                : recv(peers[i], buf, sizeof buf, MSG_DONTWAIT);
        if (got == 7) {
          EXPECT_EQ(buf[6], static_cast<uint8_t>(i)) << i;
        }
        // How much of a large output a socket takes is the kernel's affair: only that some is left.
        const size_t left = kindOf(i) == kLarge ? all[i]->pending() > 0 : all[i]->pending();
        seen[ring].emplace_back(results[i].io, results[i].error, left, got);
      }
    }
    for (int p : peers)
      if (p >= 0) close(p);
  }
  EXPECT_EQ(seen[0], seen[1]);
  // The rows are what each kind should give, not only alike.
  EXPECT_EQ(seen[1][9], Outcome(Connection::Io::kOk, 0, 0, 7));    // small
  EXPECT_EQ(seen[1][10], Outcome(Connection::Io::kOk, 0, 0, -1));  // none
  EXPECT_EQ(std::get<0>(seen[1][11]), Connection::Io::kError);     // reset
  EXPECT_NE(std::get<1>(seen[1][11]), 0);
  EXPECT_EQ(seen[1][4], Outcome(Connection::Io::kOk, 0, 1, -2));           // large: part left
  EXPECT_EQ(seen[1][0], Outcome(Connection::Io::kAgain, 0, 1 << 16, -2));  // full: all left
  close(listener);
}

}  // namespace
