// Assembly of one outgoing frame.
//
// A frame is: length byte (the whole frame, itself included, 3..255), target
// object id, command byte, body. Multi-byte integers are written big-endian,
// signed ones as two's complement. The writer does not check the body against
// the command. Every limit of the protocol is enforced by throwing WriteError
// with a fixed message: 255 bytes per frame (at finish), 255 encoded bytes per
// string, 255 bytes per binary property value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "veltra/proto/constants.hpp"
#include "veltra/proto/objid.hpp"

namespace veltra::proto {

// A finished frame, length byte first.
using Bytes = std::vector<uint8_t>;

// A value or a frame cannot be encoded within the protocol's limits.
class WriteError : public std::runtime_error {
 public:
  explicit WriteError(const std::string& what) : std::runtime_error(what) {}
};

class OldPropertyList;
class PropertyList;

// The bytes PacketWriter::utf writes for s after the length byte: its size on
// the wire, which may exceed 255 (utf would then throw).
size_t utfLength(std::string_view s);

// The length in bytes of the longest prefix of s whose wire form takes at most
// `limit` bytes (length byte not counted), cut only between characters as the
// writer takes them: a character outside the basic plane goes whole (6 bytes)
// or not at all, and so does any sequence the writer keeps together.
size_t utfPrefix(std::string_view s, size_t limit);

class PacketWriter {
 public:
  // Lays down the length placeholder, the target and the command byte. A long
  // target can throw the string's WriteError.
  PacketWriter(const ObjID& target, Command command);

  // Fixed-width fields.
  void u8(uint8_t v);
  void i8(int8_t v);
  void u16(uint16_t v);
  void i16(int16_t v);

  // A protocol string. Over 255 encoded bytes: WriteError "string of N bytes;
  // the maximum is 255", and nothing is appended.
  void utf(std::string_view s);

  // An object identifier (a long one can throw as utf does, after its 0x00).
  void objid(const ObjID& id);

  // Bytes as they are, without any count.
  void raw(std::string_view bytes);

  // Property lists, entry after entry, no count and no terminator. A failing
  // entry leaves the writer holding part of it: abandon the writer.
  void oldProperties(const OldPropertyList& props);
  void properties(const PropertyList& props);

  // Stamps the length and returns a copy of the frame; the writer keeps its
  // buffer, so finish can be called again. Over 255 bytes: WriteError
  // "packet of N bytes; the maximum under protocol 24 is 255".
  Bytes finish();

  // Bytes held so far, the length placeholder included.
  size_t sizeSoFar() const { return buf_.size(); }

 private:
  Bytes buf_;
};

// Fields into a caller's buffer, with no length byte, target or command around
// them: a server encodes a target or a body once and copies it into many
// frames. The same fields, bytes and limits as PacketWriter. A write that
// would pass the end of the buffer throws WriteError "no room in the buffer"
// and writes nothing of that field; what was written before it stays.
class SpanWriter {
 public:
  explicit SpanWriter(std::span<uint8_t> out) : out_(out) {}

  void u8(uint8_t v) { *room(1) = v; }
  void i8(int8_t v) { u8(static_cast<uint8_t>(v)); }
  void u16(uint16_t v) {
    uint8_t* p = room(2);
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v & 0xFF);
  }
  void i16(int16_t v) { u16(static_cast<uint16_t>(v)); }
  void utf(std::string_view s);
  void objid(const ObjID& id);
  void raw(std::span<const uint8_t> bytes);
  void raw(std::string_view bytes);
  void oldProperties(const OldPropertyList& props);
  void properties(const PropertyList& props);

  size_t size() const { return size_; }
  std::span<const uint8_t> written() const { return out_.first(size_); }

 private:
  // The next n bytes of the buffer, now counted as written.
  uint8_t* room(size_t n) {
    if (out_.size() - size_ < n) throwNoRoom();
    uint8_t* p = out_.data() + size_;
    size_ += n;
    return p;
  }
  [[noreturn]] static void throwNoRoom();

  std::span<uint8_t> out_;
  size_t size_ = 0;
};

// Appends the wire form of id (one byte, or 0x00 and a protocol string) to
// out; a text over 255 bytes throws the string's WriteError, appending nothing.
void appendTarget(Bytes& out, const ObjID& id);

}  // namespace veltra::proto
