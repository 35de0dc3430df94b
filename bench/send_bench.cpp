// The floor a server's relay is measured against: the sending thread's CPU
// time for one send() of one LONGLOC frame (11 bytes) over loopback TCP with
// TCP_NODELAY, the sends going round 250 connections whose other ends one
// thread reads through epoll, as a client process holding many sessions does.
// bench/swarm.py prints it beside the server's CPU per relayed command.
// BM_LoopbackSendBatch is the same through the servers' SendBatch, 100 sends per
// system call: what batching saves of it.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/sendbatch.hpp"

namespace {

// A connected loopback pair: {sender, receiver}.
std::array<int, 2> loopbackPair() {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len))
    throw std::runtime_error("loopback listener");
  const int sender = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(sender, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error("loopback connect");
  const int receiver = accept(listener, nullptr, nullptr);
  close(listener);
  const int one = 1;
  setsockopt(sender, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return {sender, receiver};
}

// n loopback connections whose receiving ends one thread drains through epoll until every
// sending end is closed; the sending ends are the caller's to close before this ends.
class Drained {
 public:
  explicit Drained(size_t n) : ep_(epoll_create1(0)) {
    for (size_t i = 0; i < n; ++i) {
      const auto [sender, receiver] = loopbackPair();
      senders.push_back(sender), receivers_.push_back(receiver);
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.fd = receiver;
      epoll_ctl(ep_, EPOLL_CTL_ADD, receiver, &ev);
    }
    reader_ = std::thread([this, n] {
      uint8_t buf[65536];
      epoll_event evs[64];
      for (size_t open = n; open > 0;) {
        const int k = epoll_wait(ep_, evs, 64, -1);
        for (int i = 0; i < k; ++i)
          if (recv(evs[i].data.fd, buf, sizeof buf, 0) <= 0)
            epoll_ctl(ep_, EPOLL_CTL_DEL, evs[i].data.fd, nullptr), --open;
      }
    });
  }
  ~Drained() {
    reader_.join();
    for (int r : receivers_) close(r);
    close(ep_);
  }
  std::vector<int> senders;

 private:
  int ep_;
  std::vector<int> receivers_;
  std::thread reader_;
};

const uint8_t kFrame[11] = {0x0b, 0x02, 0x01, 0x04, 0xcc, 0x09, 0xa1, 0x00, 0x00, 0x00, 0x9d};

void BM_LoopbackSend(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  Drained pairs(n);
  size_t next = 0;
  for (auto _ : state) {
    if (send(pairs.senders[next], kFrame, sizeof kFrame, MSG_NOSIGNAL) != sizeof kFrame)
      state.SkipWithError("send failed");
    next = next + 1 == n ? 0 : next + 1;
  }
  for (int s : pairs.senders) close(s);
}
BENCHMARK(BM_LoopbackSend)->Arg(1)->Arg(250);

void BM_LoopbackSendBatch(benchmark::State& state) {
  constexpr size_t kBatch = 100;
  const auto n = static_cast<size_t>(state.range(0));
  Drained pairs(n);
  std::vector<std::unique_ptr<veltra::tools::Connection>> senders;  // closed before `pairs` ends
  for (int s : pairs.senders) senders.push_back(std::make_unique<veltra::tools::Connection>(s));
  veltra::tools::SendBatch batch;
  if (!batch.usingRing()) state.SkipWithError("no io_uring here");
  std::vector<veltra::tools::Connection*> due;
  std::vector<veltra::tools::SendBatch::Result> results;
  size_t next = 0;
  for (auto _ : state) {  // one iteration: one frame; every kBatch-th sends the batch
    senders[next]->queue(kFrame);
    due.push_back(senders[next].get());
    next = next + 1 == n ? 0 : next + 1;
    if (due.size() == kBatch) batch.flush(due, results), due.clear();
  }
  batch.flush(due, results);
}
BENCHMARK(BM_LoopbackSendBatch)->Arg(250);

}  // namespace
