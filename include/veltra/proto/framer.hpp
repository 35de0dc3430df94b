// Reassembly of frames from one connection's TCP byte stream.
//
// Every frame starts with its length byte, which counts the whole frame,
// itself included (3..255). Bytes may arrive in any pieces: a frame split over
// several reads, or many frames in one. The framer holds at most kCapacity
// unconsumed bytes; feed takes only what fits, so a peer can never make it
// grow. A length byte below 3 cannot be resynchronised past: once seen, the
// stream is broken for good. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "veltra/proto/writer.hpp"

namespace veltra::proto {

class Framer {
 public:
  // Room for many whole frames; never below one maximal frame (255 bytes).
  static constexpr size_t kCapacity = 4096;

  enum class Result {
    kNeedMore,   // no complete frame buffered
    kFrame,      // one frame taken
    kBadLength,  // a length byte below 3; see badLength()
  };

  // How many bytes feed would take now.
  size_t space() const { return kCapacity - buffered(); }
  size_t buffered() const { return buf_.size() - head_; }

  // Appends received bytes; returns how many it took (at most space()).
  size_t feed(std::span<const uint8_t> bytes);

  // Takes the next complete frame into `frame`, without its length byte (the
  // form parsePacket expects). Once kBadLength is returned, it is returned for
  // every later call.
  Result next(Bytes& frame);
  // The same without a copy: `frame` views the buffered bytes and stays valid
  // until the next call to feed.
  Result next(std::span<const uint8_t>& frame);
  // The whole frame, length byte first (frame[0] == frame.size()), without a
  // copy: what a relay forwards unchanged or FrameView::whole takes. Valid, as
  // for next, until the next call to feed.
  Result nextWhole(std::span<const uint8_t>& frame);

  // The offending length byte after kBadLength.
  uint8_t badLength() const { return bad_length_; }

 private:
  std::vector<uint8_t> buf_;  // unconsumed bytes start at head_
  size_t head_ = 0;
  bool broken_ = false;
  uint8_t bad_length_ = 0;
};

}  // namespace veltra::proto
