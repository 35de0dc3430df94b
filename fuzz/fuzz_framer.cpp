// The framer on an arbitrary stream, fed whole (first byte 0) or cut
// into pieces of 1..first-byte bytes whose sizes follow the stream's own bytes.
// It yields exactly the frames of a plain walk over the stream, stops for good
// at the same bad length byte, takes all it has room for, never holds more
// than its capacity, and is never left holding a whole frame it does not give.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "veltra/proto/framer.hpp"

using veltra::proto::Framer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);  // exact size: one past the end is caught
  if (input.empty()) return 0;
  const std::span<const uint8_t> stream = std::span<const uint8_t>(input).subspan(1);
  std::vector<veltra::proto::Bytes> want, got;
  int bad = -1;
  for (size_t i = 0; i < stream.size() && bad < 0; i += stream[i]) {
    if (stream[i] < 3)
      bad = stream[i];
    else if (i + stream[i] > stream.size())
      break;
    else
      want.emplace_back(stream.begin() + i + 1, stream.begin() + i + stream[i]);
  }
  Framer framer;
  veltra::proto::Bytes frame;
  auto r = Framer::Result::kNeedMore;
  for (size_t at = 0; at < stream.size() && r != Framer::Result::kBadLength;) {
    const size_t rest = stream.size() - at, room = framer.space();
    const size_t piece =
        input[0] ? std::min<size_t>(rest, 1 + (stream[at] ^ input[0]) % input[0]) : rest;
    const size_t took = framer.feed(stream.subspan(at, piece));
    if (took != std::min(piece, room) || framer.buffered() > Framer::kCapacity) std::abort();
    at += took;
    while ((r = framer.next(frame)) == Framer::Result::kFrame) got.push_back(frame);
    if (r == Framer::Result::kNeedMore && framer.buffered() >= 255) std::abort();
  }
  if (got != want || (r == Framer::Result::kBadLength) != (bad >= 0) ||
      (bad >= 0 && (framer.badLength() != bad || framer.next(frame) != r))) {
    std::abort();
  }
  return 0;
}
