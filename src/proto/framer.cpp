#include "veltra/proto/framer.hpp"

#include <algorithm>

namespace veltra::proto {

size_t Framer::feed(std::span<const uint8_t> bytes) {
  // Compact lazily: consumed bytes are dropped only when new ones come in.
  if (head_ > 0) {
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  const size_t n = std::min(bytes.size(), space());
  buf_.insert(buf_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

Framer::Result Framer::next(Bytes& frame) {
  std::span<const uint8_t> view;
  const Result r = next(view);
  if (r == Result::kFrame) frame.assign(view.begin(), view.end());
  return r;
}

Framer::Result Framer::next(std::span<const uint8_t>& frame) {
  std::span<const uint8_t> whole;
  const Result r = nextWhole(whole);
  if (r == Result::kFrame) frame = whole.subspan(1);
  return r;
}

Framer::Result Framer::nextWhole(std::span<const uint8_t>& frame) {
  if (broken_) return Result::kBadLength;
  if (buffered() == 0) return Result::kNeedMore;
  const uint8_t len = buf_[head_];
  if (len < 3) {
    broken_ = true;
    bad_length_ = len;
    return Result::kBadLength;
  }
  if (buffered() < len) return Result::kNeedMore;
  frame = std::span<const uint8_t>(buf_).subspan(head_, len);
  head_ += len;
  return Result::kFrame;
}

}  // namespace veltra::proto
