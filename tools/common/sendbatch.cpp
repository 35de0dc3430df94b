#include "common/sendbatch.hpp"

#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace veltra::tools {

namespace {

constexpr unsigned kEntries = 1024;  // SENDs per io_uring_enter; longer lists go in chunks

unsigned* at(void* base, uint32_t offset) {
  return reinterpret_cast<unsigned*>(static_cast<char*>(base) + offset);
}

}  // namespace

SendBatch::SendBatch(bool ring) {
  if (ring && !setUp()) tearDown();
}

SendBatch::~SendBatch() { tearDown(); }

bool SendBatch::setUp() {
  io_uring_params p{};
  // Every SEND of a chunk is issued even when one fails; only this thread submits.
  p.flags = IORING_SETUP_SUBMIT_ALL | IORING_SETUP_SINGLE_ISSUER;
  fd_ = static_cast<int>(syscall(__NR_io_uring_setup, kEntries, &p));
  if (fd_ < 0) return false;
  sqMapSize_ = p.sq_off.array + p.sq_entries * sizeof(unsigned);
  cqMapSize_ = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
  sqMap_ = mmap(nullptr, sqMapSize_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_,
                IORING_OFF_SQ_RING);
  if (sqMap_ == MAP_FAILED) return sqMap_ = nullptr, false;
  cqMap_ = mmap(nullptr, cqMapSize_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_,
                IORING_OFF_CQ_RING);
  if (cqMap_ == MAP_FAILED) return cqMap_ = nullptr, false;
  sqesSize_ = p.sq_entries * sizeof(io_uring_sqe);
  sqes_ = mmap(nullptr, sqesSize_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_,
               IORING_OFF_SQES);
  if (sqes_ == MAP_FAILED) return sqes_ = nullptr, false;
  sqHead_ = at(sqMap_, p.sq_off.head), sqTail_ = at(sqMap_, p.sq_off.tail);
  sqMask_ = at(sqMap_, p.sq_off.ring_mask), sqArray_ = at(sqMap_, p.sq_off.array);
  cqHead_ = at(cqMap_, p.cq_off.head), cqTail_ = at(cqMap_, p.cq_off.tail);
  cqMask_ = at(cqMap_, p.cq_off.ring_mask);
  cqes_ = static_cast<char*>(cqMap_) + p.cq_off.cqes;
  return true;
}

void SendBatch::tearDown() {
  if (sqes_) munmap(sqes_, sqesSize_);
  if (cqMap_) munmap(cqMap_, cqMapSize_);
  if (sqMap_) munmap(sqMap_, sqMapSize_);
  if (fd_ >= 0) ::close(fd_);
  sqes_ = cqMap_ = sqMap_ = nullptr;
  fd_ = -1;
}

void SendBatch::flush(std::span<Connection* const> conns, std::vector<Result>& results) {
  results.assign(conns.size(), Result{});
  for (size_t from = 0; from < conns.size(); from += kEntries) {
    const size_t n = std::min<size_t>(kEntries, conns.size() - from);
    const auto chunk = conns.subspan(from, n);
    const auto out = std::span<Result>(results).subspan(from, n);
    if (usingRing()) {
      submit(chunk, out);
    } else {
      for (size_t i = 0; i < n; ++i) plain(*chunk[i], out[i]);
    }
  }
}

void SendBatch::plain(Connection& c, Result& r) {
  r.io = c.flush();
  r.error = r.io == Connection::Io::kError ? errno : 0;
}

void SendBatch::submit(std::span<Connection* const> conns, std::span<Result> results) {
  const unsigned tail = *sqTail_, mask = *sqMask_;
  auto* sqes = static_cast<io_uring_sqe*>(sqes_);
  order_.clear();  // the connections with output, in the order of their SENDs
  for (size_t i = 0; i < conns.size(); ++i) {
    const std::span<const uint8_t> out = conns[i]->unsent();
    if (out.empty()) continue;
    const unsigned index = (tail + static_cast<unsigned>(order_.size())) & mask;
    io_uring_sqe& e = sqes[index];
    std::memset(&e, 0, sizeof e);
    e.opcode = IORING_OP_SEND;
    e.fd = conns[i]->fd();
    e.addr = reinterpret_cast<uint64_t>(out.data());
    e.len = static_cast<uint32_t>(out.size());
    e.msg_flags = MSG_DONTWAIT | MSG_NOSIGNAL;
    e.user_data = i;
    sqArray_[index] = index;
    order_.push_back(i);
    results[i] = {Connection::Io::kError, EIO};  // until its completion says otherwise
  }
  const auto queued = static_cast<unsigned>(order_.size());
  if (queued == 0) return;
  __atomic_store_n(sqTail_, tail + queued, __ATOMIC_RELEASE);
  syscall(__NR_io_uring_enter, fd_, queued, queued, IORING_ENTER_GETEVENTS, nullptr, 0);
  // What the kernel took completes before io_uring_enter returns (no SEND waits), unless a
  // signal cut the wait short: then it is waited for here.
  const unsigned taken = __atomic_load_n(sqHead_, __ATOMIC_ACQUIRE) - tail;
  unsigned reaped = 0;
  for (int tries = 0;; ++tries) {
    unsigned head = *cqHead_;
    for (const unsigned end = __atomic_load_n(cqTail_, __ATOMIC_ACQUIRE); head != end; ++head) {
      const auto& c = static_cast<const io_uring_cqe*>(cqes_)[head & *cqMask_];
      Result& r = results[c.user_data];
      r.io = conns[c.user_data]->settle(c.res >= 0 ? c.res : -1, c.res < 0 ? -c.res : 0);
      r.error = r.io == Connection::Io::kError ? -c.res : 0;
      ++reaped;
    }
    __atomic_store_n(cqHead_, head, __ATOMIC_RELEASE);
    if (reaped == taken || tries == 8) break;
    if (syscall(__NR_io_uring_enter, fd_, 0, taken - reaped, IORING_ENTER_GETEVENTS, nullptr, 0) <
            0 &&
        errno != EINTR)
      break;
  }
  if (taken == queued && reaped == taken) return;
  // The ring misbehaved: it is given up. A SEND it took and never completed stays an error
  // (its bytes may or may not have left); one it did not take is sent plainly.
  tearDown();
  for (unsigned k = taken; k < queued; ++k) plain(*conns[order_[k]], results[order_[k]]);
}

}  // namespace veltra::tools
