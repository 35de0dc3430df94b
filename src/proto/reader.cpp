#include "veltra/proto/reader.hpp"

#include <vector>

#include "proto/utf.hpp"

namespace veltra::proto {

uint8_t PacketReader::u8() {
  if (pos_ >= data_.size()) throw ReadError("read past the end of the packet");
  return data_[pos_++];
}

int8_t PacketReader::i8() { return static_cast<int8_t>(u8()); }

uint16_t PacketReader::u16() {
  const uint16_t hi = u8();
  const uint16_t lo = u8();
  return static_cast<uint16_t>((hi << 8) | lo);
}

int16_t PacketReader::i16() { return static_cast<int16_t>(u16()); }

std::string PacketReader::utf() {
  const size_t n = u8();
  // Checked before the content is looked at, so no read below can pass the end.
  if (remaining() < n) throw ReadError("UTF string overruns the packet");
  if (n == 0) return {};
  std::vector<uint16_t> units;
  units.reserve(n);
  auto continuation = [this] {
    const uint8_t c = data_[pos_++];
    if ((c & 0xC0) != 0x80) throw ReadError("malformed UTF (continuation byte)");
    return static_cast<uint16_t>(c & 0x3F);
  };
  size_t count = 0;
  while (count < n) {
    const uint8_t b = data_[pos_++];
    if (b <= 0x7F) {
      units.push_back(b);
      count += 1;
    } else if (b <= 0xBF || b >= 0xF0) {
      // A stray continuation byte, or a 4-byte lead: the wire has no 4-byte form.
      throw ReadError("malformed UTF (invalid lead byte)");
    } else if (b <= 0xDF) {
      count += 2;
      if (count > n) throw ReadError("malformed UTF (2-byte sequence)");
      const uint16_t c = continuation();
      units.push_back(static_cast<uint16_t>(((b & 0x1F) << 6) | c));
    } else {
      count += 3;
      if (count > n) throw ReadError("malformed UTF (3-byte sequence)");
      const uint16_t c1 = continuation();
      const uint16_t c2 = continuation();
      units.push_back(static_cast<uint16_t>(((b & 0x0F) << 12) | (c1 << 6) | c2));
    }
  }
  return detail::fromUtf16(units);
}

ObjID PacketReader::objid() {
  const uint8_t b = u8();
  if (b != kObjLongMarker) return ObjID(b);
  return ObjID(utf());
}

std::string PacketReader::bytes(size_t n) {
  if (remaining() < n) throw ReadError("not enough bytes in the packet");
  if (n == 0) return {};
  std::string out(reinterpret_cast<const char*>(data_.data() + pos_), n);
  pos_ += n;
  return out;
}

}  // namespace veltra::proto
