#include "veltra/proto/writer.hpp"

#include "proto/utf.hpp"
#include "veltra/proto/property.hpp"

namespace veltra::proto {

namespace {

size_t unitLength(uint16_t u) { return u == 0 ? 2 : u < 0x80 ? 1 : u < 0x800 ? 2 : 3; }

}  // namespace

size_t utfLength(std::string_view s) {
  size_t n = 0;
  for (uint16_t u : detail::toUtf16(s)) n += unitLength(u);
  return n;
}

PacketWriter::PacketWriter(const ObjID& target, Command command) {
  buf_.reserve(64);
  buf_.push_back(0);  // length placeholder, stamped by finish()
  objid(target);
  buf_.push_back(static_cast<uint8_t>(command));
}

void PacketWriter::u8(uint8_t v) { buf_.push_back(v); }

void PacketWriter::i8(int8_t v) { buf_.push_back(static_cast<uint8_t>(v)); }

void PacketWriter::u16(uint16_t v) {
  buf_.push_back(static_cast<uint8_t>(v >> 8));
  buf_.push_back(static_cast<uint8_t>(v & 0xFF));
}

void PacketWriter::i16(int16_t v) { u16(static_cast<uint16_t>(v)); }

void PacketWriter::utf(std::string_view s) {
  // One conversion serves both the length check and the bytes.
  const std::vector<uint16_t> units = detail::toUtf16(s);
  size_t n = 0;
  for (uint16_t u : units) n += unitLength(u);
  if (n > 255) {
    throw WriteError("string of " + std::to_string(n) + " bytes; the maximum is 255");
  }
  buf_.push_back(static_cast<uint8_t>(n));
  for (uint16_t u : units) {
    if (u != 0 && u < 0x80) {
      buf_.push_back(static_cast<uint8_t>(u));
    } else if (u < 0x800) {  // U+0000 takes the two-byte form: no zero byte on the wire
      buf_.push_back(static_cast<uint8_t>(0xC0 | (u >> 6)));
      buf_.push_back(static_cast<uint8_t>(0x80 | (u & 0x3F)));
    } else {
      buf_.push_back(static_cast<uint8_t>(0xE0 | (u >> 12)));
      buf_.push_back(static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F)));
      buf_.push_back(static_cast<uint8_t>(0x80 | (u & 0x3F)));
    }
  }
}

void PacketWriter::objid(const ObjID& id) {
  if (id.isLong()) {
    buf_.push_back(kObjLongMarker);
    utf(id.longId());
  } else {
    buf_.push_back(id.shortId());
  }
}

void PacketWriter::raw(std::string_view bytes) {
  buf_.insert(buf_.end(), bytes.begin(), bytes.end());
}

void PacketWriter::oldProperties(const OldPropertyList& props) {
  for (const OldProperty& p : props.all()) {
    u8(p.id);
    utf(p.value);
  }
}

void PacketWriter::properties(const PropertyList& props) {
  for (const Property& p : props.all()) {
    u8(p.id);
    u8(p.flags);
    u8(p.access);
    if (p.binary()) {
      if (p.value.size() > 255) throw WriteError("binary property longer than 255 bytes");
      u8(static_cast<uint8_t>(p.value.size()));
      raw(p.value);
    } else {
      utf(p.value);
    }
  }
}

Bytes PacketWriter::finish() {
  const size_t n = buf_.size();
  if (n >= 256) {
    throw WriteError("packet of " + std::to_string(n) +
                     " bytes; the maximum under protocol 24 is 255");
  }
  buf_[0] = static_cast<uint8_t>(n);
  return buf_;
}

}  // namespace veltra::proto
