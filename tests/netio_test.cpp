// The tools' shared socket plumbing: what a late reader learns of when its
// data arrived.
#include "common/netio.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

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

}  // namespace
