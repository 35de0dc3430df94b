// The field model's operations on the layout table (veltra/proto/layout.hpp):
// each field's description, each body's members in order, and the reading of
// a body as the parser reads it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "proto/property_io.hpp"
#include "veltra/proto/commands.hpp"
#include "veltra/proto/fields.hpp"
#include "veltra/proto/layout.hpp"
#include "veltra/proto/reader.hpp"

namespace veltra::proto::detail {

template <typename T>
constexpr FieldInfo infoOf(const char* name) {
  if constexpr (std::is_integral_v<T>) {
    return {name, FieldKind::kInteger, sizeof(T), std::is_signed_v<T>};
  } else if constexpr (std::is_same_v<T, std::string>) {
    return {name, FieldKind::kText};
  } else if constexpr (std::is_same_v<T, ObjID>) {
    return {name, FieldKind::kObjId};
  } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
    return {name, FieldKind::kBytes};
  } else if constexpr (std::is_same_v<T, OldPropertyList>) {
    return {name, FieldKind::kOldProperties};
  } else {
    static_assert(std::is_same_v<T, PropertyList>);
    return {name, FieldKind::kProperties};
  }
}

template <typename Body>
constexpr auto kInfos = std::apply(
    [](auto... f) {
      return std::array<FieldInfo, sizeof...(f)>{infoOf<typename decltype(f)::Type>(f.name)...};
    },
    Layout<Body>::kFields);

// The fewest bytes a body takes: its integers, and a length byte for each
// string and id; 0 for the bodies that run to the end of the frame.
template <typename Body>
constexpr size_t minimumBodyBytes() {
  size_t n = 0;
  for (const FieldInfo& f : kInfos<Body>) {
    switch (f.kind) {
      case FieldKind::kInteger: n += f.width; break;
      case FieldKind::kText:
      case FieldKind::kObjId: n += 1; break;
      default: return 0;
    }
  }
  return n;
}

// Calls f(name, member) for each field of b, in wire order.
template <typename Body, typename F>
void eachMember(Body& b, F&& f) {
  std::apply([&](auto... field) { (f(field.name, b.*field.ptr), ...); },
             Layout<std::remove_const_t<Body>>::kFields);
}

// One field's value, read as the parser reads it.
template <typename T>
T readValue(PacketReader& r) {
  if constexpr (std::is_same_v<T, uint8_t>) {
    return r.u8();
  } else if constexpr (std::is_same_v<T, int8_t>) {
    return r.i8();
  } else if constexpr (std::is_same_v<T, uint16_t>) {
    return r.u16();
  } else if constexpr (std::is_same_v<T, int16_t>) {
    return r.i16();
  } else if constexpr (std::is_same_v<T, std::string>) {
    return r.utf();
  } else if constexpr (std::is_same_v<T, ObjID>) {
    return r.objid();
  } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
    std::vector<uint8_t> out;  // every remaining byte, copied once
    out.reserve(r.remaining());
    while (!r.empty()) out.push_back(r.u8());
    return out;
  } else if constexpr (std::is_same_v<T, OldPropertyList>) {
    return readOldProperties(r);
  } else {
    static_assert(std::is_same_v<T, PropertyList>);
    return readProperties(r);
  }
}

// A body read field by field in wire order. A braced initialiser evaluates its
// elements left to right and builds the body in place, so the table's order
// is both the wire order and the members' order (a mismatch of types does
// not compile). Unparsed also keeps its code, which is not a field.
template <typename Body>
Body readFields(PacketReader& r, uint8_t cmd) {
  if constexpr (std::is_same_v<Body, Unparsed>) {
    return Unparsed{cmd, readValue<std::vector<uint8_t>>(r)};
  } else {
    return std::apply(
        [&r](auto... field) { return Body{readValue<typename decltype(field)::Type>(r)...}; },
        Layout<Body>::kFields);
  }
}

}  // namespace veltra::proto::detail
