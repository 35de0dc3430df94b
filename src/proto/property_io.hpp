// Property lists as the parser reads them and as descriptions size them:
// shared by the command parser and the field model's decoder, and by the
// lists' own descriptions and the command descriptions.
#pragma once

#include <cstddef>
#include <utility>

#include "veltra/proto/property.hpp"
#include "veltra/proto/reader.hpp"

namespace veltra::proto::detail {

// Property lists have no count: entries run to the end of the frame.
// Each list is reserved once for the most entries its bytes can hold (an old
// entry takes at least 2 bytes, a new one 4), so it never regrows.
inline OldPropertyList readOldProperties(PacketReader& r) {
  OldPropertyList props;
  props.reserve(r.remaining() / 2);
  while (!r.empty()) {
    const uint8_t id = r.u8();
    props.add(id, r.utf());
  }
  return props;
}

inline PropertyList readProperties(PacketReader& r) {
  PropertyList props;
  props.reserve(r.remaining() / 4);
  while (!r.empty()) {
    const uint8_t id = r.u8();
    const uint8_t flags = r.u8();
    const uint8_t access = r.u8();
    std::string value = (flags & kPropFlagBinary) ? r.bytes(r.u8()) : r.utf();
    props.add(id, std::move(value), flags, access);
  }
  return props;
}

// At least the bytes of the list's description, so that a line holding it is
// reserved once: each entry counted at its longest label.
size_t describedSize(const OldPropertyList& props);
size_t describedSize(const PropertyList& props);

}  // namespace veltra::proto::detail
