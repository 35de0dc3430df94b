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

}  // namespace veltra::proto
