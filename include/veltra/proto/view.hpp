// Zero-copy views of received frames: where a frame's target, command and body
// sit, and the elements of a compound frame. Fixed-size bodies are read and
// written in place by readFixed and fixedBody (layout.hpp).
//
// Nothing here allocates or throws except IdView::toObjID, which decodes a long
// id's text. No view reads outside its span: bytes that do not hold what is
// asked for give an invalid view, nullopt, or a cursor that reports
// malformed(), never a value read from elsewhere. Views take the frame's
// layout from the same rules as parsePacket: a frame the views accept
// structurally may still fail to decode (a malformed string, a bad property
// entry), but element boundaries are those parsePacket finds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>

#include "veltra/proto/commands.hpp"
#include "veltra/proto/constants.hpp"
#include "veltra/proto/layout.hpp"
#include "veltra/proto/objid.hpp"
#include "veltra/proto/writer.hpp"

namespace veltra::proto {

// The wire form of one object id in a frame: one nonzero byte, or 0x00 and a
// protocol string.
class IdView {
 public:
  IdView() = default;  // no bytes: reads as a long id

  // The id that starts `bytes`, or nullopt when they do not hold a whole one.
  static std::optional<IdView> at(std::span<const uint8_t> bytes) noexcept;

  std::span<const uint8_t> bytes() const noexcept { return bytes_; }
  size_t size() const noexcept { return bytes_.size(); }
  bool isLong() const noexcept { return shortId() == kObjLongMarker; }
  // The short id; kObjLongMarker for a long one.
  uint8_t shortId() const noexcept { return bytes_.empty() ? uint8_t{kObjLongMarker} : bytes_[0]; }
  // The decoded id, as PacketReader::objid gives it; a malformed text throws
  // its ReadError.
  ObjID toObjID() const;

 private:
  friend class FrameView;
  friend class Elements;
  explicit IdView(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  std::span<const uint8_t> bytes_;
};

namespace detail {
// kNoBody: the bytes do not hold a whole id or body.
inline constexpr size_t kNoBody = static_cast<size_t>(-1);
// The bytes of the id at the start of bytes.
constexpr size_t idBytes(std::span<const uint8_t> bytes) noexcept {
  if (bytes.empty()) return kNoBody;
  if (bytes[0] != kObjLongMarker) [[likely]]
    return 1;
  if (bytes.size() < 2 || bytes.size() - 2 < bytes[1]) return kNoBody;
  return 2u + bytes[1];
}
// measureBody for the bodies without a fixed size.
size_t measureVariable(uint8_t cmd, std::span<const uint8_t> rest) noexcept;
inline size_t bodyBytes(uint8_t cmd, std::span<const uint8_t> rest) noexcept {
  const size_t n = fixedBodyBytes(cmd);
  if (n != kNoFixedSize) [[likely]]
    return n <= rest.size() ? n : kNoBody;
  return measureVariable(cmd, rest);
}
}  // namespace detail

inline std::optional<IdView> IdView::at(std::span<const uint8_t> bytes) noexcept {
  const size_t n = detail::idBytes(bytes);
  if (n == detail::kNoBody) return std::nullopt;
  return IdView(bytes.first(n));
}

// The bytes the body of command cmd takes at the start of rest, as the parser
// reads it: a body that runs to the end of the frame takes all of rest.
// Strings are measured by their length bytes, not decoded. nullopt: rest
// does not hold a whole body.
inline std::optional<size_t> measureBody(uint8_t cmd, std::span<const uint8_t> rest) noexcept {
  const size_t n = detail::bodyBytes(cmd, rest);
  if (n == detail::kNoBody) return std::nullopt;
  return n;
}

// One frame, viewed in place.
class FrameView {
 public:
  // A frame without its length byte (what Framer::next gives and parsePacket
  // takes). Invalid unless it holds a whole target and the command byte.
  explicit FrameView(std::span<const uint8_t> packet) noexcept : packet_(packet) {
    const size_t t = detail::idBytes(packet);
    if (t == detail::kNoBody || t >= packet.size()) return;
    target_ = IdView(packet.first(t));
    cmd_ = packet[t];
    valid_ = true;
  }
  // A whole frame, length byte first (what Framer::nextWhole gives); invalid
  // also when the length byte does not count the span exactly.
  static FrameView whole(std::span<const uint8_t> frame) noexcept {
    FrameView v(frame.empty() ? frame : frame.subspan(1));
    v.valid_ = v.valid_ && frame[0] == frame.size();
    return v;
  }

  bool valid() const noexcept { return valid_; }
  // Every byte behind the length byte, valid or not: what parsePacket takes,
  // so that a frame the view refuses still gets the parser's own error.
  std::span<const uint8_t> packet() const noexcept { return packet_; }
  // The accessors below are meaningful on a valid view only.
  // The value of the frame's length byte.
  size_t length() const noexcept { return packet_.size() + 1; }
  IdView target() const noexcept { return target_; }
  uint8_t command() const noexcept { return cmd_; }
  bool compound() const noexcept { return !target_.isLong() && target_.shortId() == kObjCompound; }
  // Every byte behind the command byte: one body and whatever the parser
  // ignores behind it, or a compound frame's (target, body) pairs.
  std::span<const uint8_t> body() const noexcept {
    return valid_ ? packet_.subspan(target_.size() + 1) : std::span<const uint8_t>();
  }

  // The number of elements (1 for a plain frame), or nullopt when the frame
  // does not split into whole elements.
  std::optional<size_t> elementCount() const noexcept;

 private:
  std::span<const uint8_t> packet_;
  IdView target_;
  uint8_t cmd_ = 0;
  bool valid_ = false;
};

// One command of a frame: a plain frame's only one, or an element of a
// compound frame with its own target. The body is exactly the body's bytes
// (for a plain frame, without the bytes behind it that the parser ignores).
struct Element {
  IdView target;
  uint8_t command = 0;
  std::span<const uint8_t> body;
};

// The elements of a frame in order, measured one at a time, without
// allocating. A plain frame has one; a compound frame's elements are read
// until its bytes end at an element boundary. After the last element next
// returns false; malformed() then tells whether the frame ended cleanly
// (an invalid view is malformed at once).
//
//   Elements els(view);
//   for (const Element& e : els) use(e);
//   if (els.malformed()) reject();
class Elements {
 public:
  explicit Elements(const FrameView& frame) noexcept
      : target_(frame.target()),
        rest_(frame.body()),
        fixed_(fixedBodyBytes(frame.command())),
        cmd_(frame.command()),
        compound_(frame.compound()),
        malformed_(!frame.valid()),
        done_(!frame.valid()) {}

  bool next(Element& e) noexcept {
    if (done_) return false;
    std::span<const uint8_t> rest = rest_;
    if (compound_) {
      const size_t t = detail::idBytes(rest);
      if (t == detail::kNoBody) return fail();
      e.target = IdView(rest.first(t));
      rest = rest.subspan(t);
    } else {
      e.target = target_;
    }
    // The command's fixed size, looked up once per frame.
    const size_t n = fixed_ != kNoFixedSize ? (fixed_ <= rest.size() ? fixed_ : detail::kNoBody)
                                            : detail::measureVariable(cmd_, rest);
    if (n == detail::kNoBody) return fail();
    e.command = cmd_;
    e.body = rest.first(n);
    rest_ = rest.subspan(n);
    done_ = !compound_ || rest_.empty();
    return true;
  }
  bool malformed() const noexcept { return malformed_; }

  class Iterator {
   public:
    using value_type = Element;
    using difference_type = std::ptrdiff_t;
    Iterator() = default;
    explicit Iterator(Elements* els) : els_(els) { ++*this; }
    const Element& operator*() const { return e_; }
    const Element* operator->() const { return &e_; }
    Iterator& operator++() {
      if (!els_->next(e_)) els_ = nullptr;
      return *this;
    }
    void operator++(int) { ++*this; }
    bool operator==(std::default_sentinel_t) const { return els_ == nullptr; }

   private:
    Elements* els_ = nullptr;
    Element e_;
  };
  Iterator begin() { return Iterator(this); }
  std::default_sentinel_t end() const { return {}; }

 private:
  bool fail() noexcept {
    malformed_ = done_ = true;
    return false;
  }

  IdView target_;                  // the frame's
  std::span<const uint8_t> rest_;  // behind the last element taken
  size_t fixed_;                   // fixedBodyBytes(cmd_)
  uint8_t cmd_;
  bool compound_;
  bool malformed_;
  bool done_;
};

inline std::optional<size_t> FrameView::elementCount() const noexcept {
  Elements els(*this);
  Element e;
  size_t n = 0;
  while (els.next(e)) ++n;
  if (els.malformed()) return std::nullopt;
  return n;
}

// ---- Frames built from elements ----------------------------------------------

// The largest frame, its length byte included.
inline constexpr size_t kMaxFrameSize = 255;
// The size of a frame, length byte included, of one element: a target of
// targetBytes wire bytes (IdView::size, or what appendTarget wrote), the
// command byte and a body of bodyBytes.
constexpr size_t frameSize(size_t targetBytes, size_t bodyBytes) {
  return 2 + targetBytes + bodyBytes;
}

inline constexpr size_t kNoFrame = static_cast<size_t>(-1);

// Appends one element (a target's wire bytes, a command, a body's bytes) to a
// run of whole frames in out, as a server's output queue builds them: joined
// to the frame that starts at out[frame] when that is out's last frame, has
// the same command and can hold the element within kMaxFrameSize bytes (a
// plain frame becomes compound: 254 takes its target's place and the target
// moves behind the command byte), or else as a frame of its own. Returns
// where the frame holding the element starts (the `frame` to pass next time),
// or kNoFrame, appending nothing, when the element alone does not fit a
// frame. Pass kNoFrame as frame to start a frame of its own. An element
// addressed to 254 always travels in a compound frame. The caller decides
// which commands may be joined: only self-delimiting bodies can be.
size_t appendElement(Bytes& out, size_t frame, std::span<const uint8_t> target, uint8_t cmd,
                     std::span<const uint8_t> body);

}  // namespace veltra::proto
