// Object identifiers. A short id is one nonzero byte on the wire; a long id is
// the byte 0x00 followed by a protocol string. An id built from a text drops
// one leading "!", so peers may send long ids with or without it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "veltra/proto/constants.hpp"

namespace veltra::proto {

class ObjID {
 public:
  // The default identifier is a long id with empty text (wire form 00 00).
  ObjID() = default;
  // No check: ObjID(0) is the same as the default identifier.
  explicit ObjID(uint8_t id) : short_id_(id) {}
  explicit ObjID(std::string id)
      : long_id_(!id.empty() && id[0] == '!' ? id.substr(1) : std::move(id)) {}

  bool isLong() const { return short_id_ == kObjLongMarker; }
  uint8_t shortId() const { return short_id_; }
  const std::string& longId() const { return long_id_; }

  // "#" and the number for a short id; the bare text for a long id.
  std::string describe() const { return isLong() ? long_id_ : "#" + std::to_string(short_id_); }

 private:
  uint8_t short_id_ = 0;  // kObjLongMarker: the id is long
  std::string long_id_;   // UTF-8; empty for a short id
};

}  // namespace veltra::proto
