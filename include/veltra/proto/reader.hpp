// Bounds-checked reading of one received frame.
//
// A PacketReader views the bytes of one frame without its length byte (the
// first byte is the target id); the caller keeps them alive. Multi-byte
// integers are big-endian, signed ones two's complement. Every read starts at
// the cursor and advances it past what it consumed. No read ever looks at a
// byte at or beyond the end of the span: a read that would needs throws
// ReadError with a fixed message, after which the cursor is meaningless.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

#include "veltra/proto/objid.hpp"

namespace veltra::proto {

// Received bytes do not form what the caller asked to read.
class ReadError : public std::runtime_error {
 public:
  explicit ReadError(const std::string& what) : std::runtime_error(what) {}
};

class PacketReader {
 public:
  explicit PacketReader(std::span<const uint8_t> data) : data_(data) {}

  // Fixed-width fields. At the end: "read past the end of the packet".
  // Defined here: they are most of the work of decoding a position.
  uint8_t u8() {
    if (pos_ >= data_.size()) throwPastEnd();
    return data_[pos_++];
  }
  int8_t i8() { return static_cast<int8_t>(u8()); }
  uint16_t u16() {
    if (data_.size() - pos_ < 2) throwPastEnd();  // as if the first or the second u8 failed
    const uint16_t v = static_cast<uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
    pos_ += 2;
    return v;
  }
  int16_t i16() { return static_cast<int16_t>(u16()); }

  // A protocol string (length byte, then modified UTF-8), returned as UTF-8.
  // Errors: "UTF string overruns the packet", "malformed UTF (...)".
  std::string utf();

  // An object identifier: one nonzero byte, or 0x00 and a protocol string.
  ObjID objid();

  // The next n bytes unchanged. Fewer left: "not enough bytes in the packet",
  // and nothing is consumed.
  std::string bytes(size_t n);

  bool empty() const { return pos_ >= data_.size(); }
  size_t remaining() const { return data_.size() - pos_; }

  // Consumes whatever remains of the frame; never throws.
  void skipAll() { pos_ = data_.size(); }

 private:
  [[noreturn]] static void throwPastEnd();

  std::span<const uint8_t> data_;
  size_t pos_ = 0;  // invariant: pos_ <= data_.size()
};

}  // namespace veltra::proto
