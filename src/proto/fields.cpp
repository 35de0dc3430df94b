#include "veltra/proto/fields.hpp"

#include <array>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "proto/body_io.hpp"
#include "veltra/proto/reader.hpp"

namespace veltra::proto {

using detail::eachMember;
using detail::infoOf;
using detail::kInfos;
using detail::Layout;
using detail::withBodyType;

namespace {

// ---- The operations each table drives -----------------------------------------

template <typename T>
Field fieldOf(const char* name, const T& v) {
  Field f;
  static_cast<FieldInfo&>(f) = infoOf<T>(name);
  if constexpr (std::is_integral_v<T>) {
    f.integer = v;
  } else if constexpr (std::is_same_v<T, std::string>) {
    f.text = v;
  } else if constexpr (std::is_same_v<T, ObjID>) {
    f.id = &v;
  } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
    f.bytes = v;
  } else if constexpr (std::is_same_v<T, OldPropertyList>) {
    f.oldProps = &v;
  } else {
    f.props = &v;
  }
  return f;
}

size_t textBytes(const std::string& s) { return 1 + utfLength(s); }

template <typename T>
size_t sizeOf(const T& v) {
  if constexpr (std::is_integral_v<T>) {
    return sizeof(T);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return textBytes(v);
  } else if constexpr (std::is_same_v<T, ObjID>) {
    return v.isLong() ? 1 + textBytes(v.longId()) : 1;
  } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
    return v.size();
  } else if constexpr (std::is_same_v<T, OldPropertyList>) {
    size_t n = 0;
    for (const OldProperty& p : v.all()) n += 1 + textBytes(p.value);
    return n;
  } else {
    size_t n = 0;
    for (const Property& p : v.all())
      n += 3 + (p.binary() ? 1 + p.value.size() : textBytes(p.value));
    return n;
  }
}

template <typename T>
void put(SpanWriter& w, const T& v) {
  if constexpr (std::is_same_v<T, uint8_t>) {
    w.u8(v);
  } else if constexpr (std::is_same_v<T, int8_t>) {
    w.i8(v);
  } else if constexpr (std::is_same_v<T, uint16_t>) {
    w.u16(v);
  } else if constexpr (std::is_same_v<T, int16_t>) {
    w.i16(v);
  } else if constexpr (std::is_same_v<T, std::string>) {
    w.utf(v);
  } else if constexpr (std::is_same_v<T, ObjID>) {
    w.objid(v);
  } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
    w.raw(std::span<const uint8_t>(v));
  } else if constexpr (std::is_same_v<T, OldPropertyList>) {
    w.oldProperties(v);
  } else {
    static_assert(std::is_same_v<T, PropertyList>);
    w.properties(v);
  }
}

}  // namespace

const char* commandId(uint8_t cmd) {
  // Indexed by code; the gaps (0, 9, 19) and every code above 31 are "unknown".
  static constexpr const char* kIds[32] = {"unknown",
                                           "longloc",
                                           "state",
                                           "prop",
                                           "shortloc",
                                           "room_change",
                                           "session_init",
                                           "session_exit",
                                           "app_init",
                                           "unknown",
                                           "prop_request",
                                           "disappear",
                                           "appear_actor",
                                           "register_objid",
                                           "text",
                                           "property_set",
                                           "property_update",
                                           "whisper",
                                           "teleport",
                                           "unknown",
                                           "room_id_request",
                                           "room_id",
                                           "subscribe",
                                           "unsubscribe",
                                           "subscribe_dist",
                                           "redirect",
                                           "redirect_id",
                                           "finger_request",
                                           "finger_reply",
                                           "buddy_list_update",
                                           "buddy_list_notify",
                                           "channel"};
  return cmd < 32 ? kIds[cmd] : "unknown";
}

std::span<const FieldInfo> fieldsOf(uint8_t cmd) {
  return withBodyType(
      cmd, [](auto t) -> std::span<const FieldInfo> { return kInfos<typename decltype(t)::type>; });
}

void detail::visitFields(const CommandBody& body, FieldCallback callback, void* context) {
  std::visit(
      [&](const auto& b) {
        eachMember(b, [&](const char* name, const auto& v) {
          Field f = fieldOf(name, v);
          f.size = sizeOf(v);
          callback(context, f);
        });
      },
      body);
}

size_t bodySize(const CommandBody& body) {
  return std::visit(
      [](const auto& b) {
        size_t n = 0;
        eachMember(b, [&](const char*, const auto& v) { n += sizeOf(v); });
        return n;
      },
      body);
}

size_t writeBody(std::span<uint8_t> out, const CommandBody& body) {
  SpanWriter w(out);
  std::visit([&](const auto& b) { eachMember(b, [&](const char*, const auto& v) { put(w, v); }); },
             body);
  return w.size();
}

void appendBody(Bytes& out, const CommandBody& body) {
  const size_t start = out.size();
  out.resize(start + bodySize(body));
  try {
    writeBody(std::span(out).subspan(start), body);
  } catch (...) {
    out.resize(start);
    throw;
  }
}

CommandBody decodeBody(uint8_t cmd, std::span<const uint8_t> body) {
  PacketReader r(body);
  return withBodyType(cmd, [&](auto t) -> CommandBody {
    return detail::readFields<typename decltype(t)::type>(r, cmd);
  });
}

Incoming decode(const Element& e) {
  return Incoming{e.target.toObjID(), e.command, decodeBody(e.command, e.body)};
}

}  // namespace veltra::proto
