// The layout of every command body, listed once: each body's fields by
// stable name and member, in wire order, and the body each command code is
// decoded into. The parser, the field model (fields.hpp), the body writers,
// the views' measuring, fixedBodySize and the fixed-size readers and writers
// below all follow this table; a command's fields are listed nowhere else
// but in its body type and its description.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <tuple>
#include <type_traits>

#include "veltra/proto/commands.hpp"

namespace veltra::proto {
namespace detail {

template <typename Body, typename T>
struct Member {
  using Type = T;
  const char* name;
  T Body::*ptr;
};
template <typename Body, typename T>
constexpr Member<Body, T> member(const char* name, T Body::*ptr) {
  return {name, ptr};
}

template <typename Body>
struct Layout;
#define VELTRA_LAYOUT(Body, ...)                                  \
  template <>                                                     \
  struct Layout<Body> {                                           \
    static constexpr auto kFields = std::make_tuple(__VA_ARGS__); \
  }

VELTRA_LAYOUT(PropRequest, member("ids", &PropRequest::ids));
VELTRA_LAYOUT(SessionInit, member("props", &SessionInit::props));
VELTRA_LAYOUT(SessionExit, member("props", &SessionExit::props));
VELTRA_LAYOUT(AppInit, member("props", &AppInit::props));
VELTRA_LAYOUT(PropCommand, member("props", &PropCommand::props));
VELTRA_LAYOUT(PropertySet, member("from_user", &PropertySet::fromUser),
              member("props", &PropertySet::props));
VELTRA_LAYOUT(RoomIdRequest, member("room_name", &RoomIdRequest::roomName));
VELTRA_LAYOUT(Subscribe, member("room", &Subscribe::room), member("x", &Subscribe::x),
              member("y", &Subscribe::y), member("z", &Subscribe::z),
              member("distance", &Subscribe::distance));
VELTRA_LAYOUT(Unsubscribe, member("room", &Unsubscribe::room));
VELTRA_LAYOUT(SubscribeDist, member("room", &SubscribeDist::room),
              member("distance", &SubscribeDist::distance));
VELTRA_LAYOUT(LongLoc, member("x", &LongLoc::x), member("y", &LongLoc::y), member("z", &LongLoc::z),
              member("dir", &LongLoc::dir));
VELTRA_LAYOUT(RoomChange, member("room", &RoomChange::room), member("x", &RoomChange::x),
              member("y", &RoomChange::y), member("z", &RoomChange::z),
              member("dir", &RoomChange::dir));
VELTRA_LAYOUT(Teleport, member("room", &Teleport::room), member("exit_type", &Teleport::exitType),
              member("entry_type", &Teleport::entryType), member("x", &Teleport::x),
              member("y", &Teleport::y), member("z", &Teleport::z), member("dir", &Teleport::dir));
VELTRA_LAYOUT(Text, member("sender", &Text::sender), member("text", &Text::text));
VELTRA_LAYOUT(Whisper, member("sender", &Whisper::sender), member("text", &Whisper::text));
VELTRA_LAYOUT(BuddyListUpdate, member("buddy", &BuddyListUpdate::buddy),
              member("add", &BuddyListUpdate::add));
VELTRA_LAYOUT(FingerRequest, member("user", &FingerRequest::user));
VELTRA_LAYOUT(ChannelChange, member("channel", &ChannelChange::channel));
VELTRA_LAYOUT(RegisterObjId, member("long_id", &RegisterObjId::longId),
              member("short_id", &RegisterObjId::shortId));
VELTRA_LAYOUT(AppearActor, member("room", &AppearActor::room), member("x", &AppearActor::x),
              member("y", &AppearActor::y), member("z", &AppearActor::z),
              member("dir", &AppearActor::dir));
VELTRA_LAYOUT(RoomId, member("room_name", &RoomId::roomName),
              member("room_number", &RoomId::roomNumber));
VELTRA_LAYOUT(PropertyUpdate, member("props", &PropertyUpdate::props));
VELTRA_LAYOUT(BuddyListNotify, member("buddy", &BuddyListNotify::buddy),
              member("online", &BuddyListNotify::online));
VELTRA_LAYOUT(Unparsed, member("payload", &Unparsed::payload));  // command is the code, not a field
#undef VELTRA_LAYOUT

template <>
struct Layout<Disappear> {
  static constexpr std::tuple<> kFields{};
};

// The body parsePacket decodes for a code, as a type: f(std::type_identity<Body>).
template <typename F>
constexpr decltype(auto) withBodyType(uint8_t cmd, F&& f) {
  using std::type_identity;
  switch (static_cast<Command>(cmd)) {
    case Command::LongLoc: return f(type_identity<LongLoc>{});
    case Command::Prop: return f(type_identity<PropCommand>{});
    case Command::RoomChange: return f(type_identity<RoomChange>{});
    case Command::SessionInit: return f(type_identity<SessionInit>{});
    case Command::SessionExit: return f(type_identity<SessionExit>{});
    case Command::AppInit: return f(type_identity<AppInit>{});
    case Command::PropRequest: return f(type_identity<PropRequest>{});
    case Command::Disappear: return f(type_identity<Disappear>{});
    case Command::AppearActor: return f(type_identity<AppearActor>{});
    case Command::RegisterObjId: return f(type_identity<RegisterObjId>{});
    case Command::Text: return f(type_identity<Text>{});
    case Command::PropertySet: return f(type_identity<PropertySet>{});
    case Command::PropertyUpdate: return f(type_identity<PropertyUpdate>{});
    case Command::Whisper: return f(type_identity<Whisper>{});
    case Command::Teleport: return f(type_identity<Teleport>{});
    case Command::RoomIdRequest: return f(type_identity<RoomIdRequest>{});
    case Command::RoomId: return f(type_identity<RoomId>{});
    case Command::Subscribe: return f(type_identity<Subscribe>{});
    case Command::Unsubscribe: return f(type_identity<Unsubscribe>{});
    case Command::SubscribeDist: return f(type_identity<SubscribeDist>{});
    case Command::FingerRequest: return f(type_identity<FingerRequest>{});
    case Command::BuddyListUpdate: return f(type_identity<BuddyListUpdate>{});
    case Command::BuddyListNotify: return f(type_identity<BuddyListNotify>{});
    case Command::Channel: return f(type_identity<ChannelChange>{});
    default: return f(type_identity<Unparsed>{});
  }
}

}  // namespace detail

// The size of every body of the command when it has one size (its fields are
// all integers); kNoFixedSize for bodies with strings, ids, lists or raw
// bytes, and for the codes the parser hands over raw (ShortLoc too: its body
// is carried, not decoded). A sentinel rather than an optional: it stays in a
// register in hot loops.
inline constexpr size_t kNoFixedSize = static_cast<size_t>(-1);

template <typename Body>
inline constexpr size_t kFixedBodyBytes = std::apply(
    [](auto... field) {
      if constexpr ((std::is_integral_v<typename decltype(field)::Type> && ...)) {
        return (size_t{0} + ... + sizeof(typename decltype(field)::Type));
      } else {
        return kNoFixedSize;
      }
    },
    detail::Layout<Body>::kFields);

constexpr size_t fixedBodyBytes(uint8_t cmd) noexcept {
  return detail::withBodyType(
      cmd, [](auto type) { return kFixedBodyBytes<typename decltype(type)::type>; });
}
// The same as an optional.
constexpr std::optional<size_t> fixedBodySize(uint8_t cmd) noexcept {
  const size_t n = fixedBodyBytes(cmd);
  if (n == kNoFixedSize) return std::nullopt;
  return n;
}
constexpr std::optional<size_t> fixedBodySize(Command cmd) noexcept {
  return fixedBodySize(static_cast<uint8_t>(cmd));
}

template <typename Body>
concept FixedBody = kFixedBodyBytes<Body>
!= kNoFixedSize;

namespace detail {
// Big-endian integers at p[at], at moving past them.
template <typename T>
constexpr T loadAt(const uint8_t* p, size_t& at) {
  if constexpr (sizeof(T) == 1) {
    return static_cast<T>(p[at++]);
  } else {
    const auto v = static_cast<uint16_t>(p[at] << 8 | p[at + 1]);
    at += 2;
    return static_cast<T>(v);
  }
}
template <typename T>
constexpr void storeAt(uint8_t* p, size_t& at, T v) {
  if constexpr (sizeof(T) == 1) {
    p[at++] = static_cast<uint8_t>(v);
  } else {
    const auto u = static_cast<uint16_t>(v);
    p[at] = static_cast<uint8_t>(u >> 8);
    p[at + 1] = static_cast<uint8_t>(u & 0xFF);
    at += 2;
  }
}
}  // namespace detail

// A fixed-size body read in place from the start of `body` (an Element's, or a
// FrameView's body(), whose extra bytes are ignored as the parser ignores
// them); nullopt when it is too short.
template <FixedBody Body>
constexpr std::optional<Body> readFixed(std::span<const uint8_t> body) noexcept {
  if (body.size() < kFixedBodyBytes<Body>) return std::nullopt;
  return std::apply(
      [&](auto... field) {
        size_t at = 0;
        static_cast<void>(at);
        // A braced initialiser evaluates in order: fields in wire order.
        return Body{detail::loadAt<typename decltype(field)::Type>(body.data(), at)...};
      },
      detail::Layout<Body>::kFields);
}

// The wire form of a fixed-size body, on the stack: encoded once, copied into
// as many frames as need it.
template <FixedBody Body>
constexpr std::array<uint8_t, kFixedBodyBytes<Body>> fixedBody(const Body& b) noexcept {
  std::array<uint8_t, kFixedBodyBytes<Body>> out{};
  size_t at = 0;
  std::apply([&](auto... field) { (detail::storeAt(out.data(), at, b.*field.ptr), ...); },
             detail::Layout<Body>::kFields);
  return out;
}

}  // namespace veltra::proto
