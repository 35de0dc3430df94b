#include "veltra/proto/writer.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "proto/utf.hpp"
#include "veltra/proto/property.hpp"

namespace veltra::proto {

namespace {

// The longest string the wire can carry, in encoded bytes.
constexpr size_t kMaxString = 255;

// Room for the encoder's output: it writes while at most kMaxString bytes are
// done, and one step stores at most 8 bytes (an ASCII block).
constexpr size_t kEncodeRoom = kMaxString + 8;

constexpr uint64_t kOnes = 0x0101010101010101;
constexpr uint64_t kHighs = 0x8080808080808080;

// The 8 bytes at p, and the number of them, from the first, that are 0x01..0x7F:
// the bytes that stand for themselves on the wire. A zero byte borrows into,
// and a byte of 0x80 or more already has, its high bit; borrows only run
// upwards, so the lowest flagged byte is the first that is not plain.
uint64_t load8(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
size_t plainPrefix(uint64_t v) {
  const uint64_t special = ((v - kOnes) | v) & kHighs;
  return special == 0 ? 8 : static_cast<size_t>(std::countr_zero(special)) / 8;
}

// Out of line, so that the copy stays a call to memcpy (see utf.hpp).
VELTRA_OUT_OF_LINE void copyBytes(uint8_t* out, const uint8_t* in, size_t n) {
  std::memcpy(out, in, n);
}

// The code units of the UTF-8 character at p[i], as toUtf16 decodes it: a byte
// that starts no complete sequence (a stray continuation, a cut or broken
// sequence, a value beyond U+10FFFF) is one unit of its own value. It repeats
// toUtf16's steps on purpose: fuzz_direct checks this path against that one, and
// a shared helper would make the two agree by construction.
struct Units {
  uint32_t first;
  uint32_t second;  // the low surrogate of a pair, or kNone
  size_t taken;     // input bytes consumed
};
constexpr uint32_t kNone = 0x10000;

inline Units decodeAt(const uint8_t* p, size_t size, size_t i) {
  const uint8_t b = p[i];
  size_t len = 0;
  uint32_t value = 0;
  if ((b & 0xE0) == 0xC0) {
    len = 2;
    value = b & 0x1F;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3;
    value = b & 0x0F;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4;
    value = b & 0x07;
  }
  if (len == 0 || len > size - i) return {b, kNone, 1};
  for (size_t k = 1; k < len; ++k) {
    const uint8_t c = p[i + k];
    if ((c & 0xC0) != 0x80) return {b, kNone, 1};
    value = (value << 6) | (c & 0x3F);
  }
  if (value <= 0xFFFF) return {value, kNone, len};
  if (value > 0x10FFFF) return {b, kNone, 1};
  const uint32_t c = value - 0x10000;
  return {0xD800 + (c >> 10), 0xDC00 + (c & 0x3FF), len};
}

// 2 or 3 when p[i] starts a shortest-form character of U+0080..U+FFFF, whose
// wire form is the same bytes; 0 for anything else (ASCII, 4-byte forms,
// overlong, cut or broken sequences), which takes the general path.
inline size_t canonicalLength(const uint8_t* p, size_t size, size_t i) {
  const uint8_t b = p[i];
  if (b >= 0xC2 && b <= 0xDF) {
    return size - i >= 2 && (p[i + 1] & 0xC0) == 0x80 ? 2 : 0;
  }
  if ((b & 0xF0) == 0xE0 && size - i >= 3 && (p[i + 1] & 0xC0) == 0x80 &&
      (p[i + 2] & 0xC0) == 0x80) {
    return b != 0xE0 || p[i + 1] >= 0xA0 ? 3 : 0;  // E0 80..9F: overlong
  }
  return 0;
}

// Wire bytes of one code unit; U+0000 takes the two-byte form, so the wire
// never holds a zero byte.
size_t unitLength(uint32_t u) { return u - 1 < 0x7F ? 1 : u < 0x800 ? 2 : 3; }

inline size_t putUnit(uint8_t* out, uint32_t u) {
  if (u - 1 < 0x7F) {
    out[0] = static_cast<uint8_t>(u);
    return 1;
  }
  if (u < 0x800) {
    out[0] = static_cast<uint8_t>(0xC0 | (u >> 6));
    out[1] = static_cast<uint8_t>(0x80 | (u & 0x3F));
    return 2;
  }
  out[0] = static_cast<uint8_t>(0xE0 | (u >> 12));
  out[1] = static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F));
  out[2] = static_cast<uint8_t>(0x80 | (u & 0x3F));
  return 3;
}

// The rare forms (4-byte characters, overlong, cut or broken sequences), kept
// out of the encoder's loop so that its counters stay in registers.
struct Step {
  size_t written;
  size_t taken;
};
[[gnu::noinline]] Step encodeOther(const uint8_t* p, size_t size, size_t i, uint8_t* out) {
  const Units u = decodeAt(p, size, i);
  size_t n = putUnit(out, u.first);
  if (u.second != kNone) n += putUnit(out + n, u.second);
  return {n, u.taken};
}

// Encoded length of p[i..size), counted without writing.
[[gnu::noinline]] size_t countFrom(const uint8_t* p, size_t size, size_t i) {
  size_t n = 0;
  while (i < size) {
    if (p[i] - 1u < 0x7Fu) {
      const size_t k = size - i >= 8 ? plainPrefix(load8(p + i)) : 1;
      n += k;
      i += k;
    } else if (const size_t len = canonicalLength(p, size, i)) {
      n += len;
      i += len;
    } else {
      const Units u = decodeAt(p, size, i);
      n += unitLength(u.first) + (u.second == kNone ? 0 : 3);
      i += u.taken;
    }
  }
  return n;
}

// UTF-8 straight to the wire form, in one pass and without a unit buffer: the
// same bytes as toUtf16 followed by the unit table. Returns the encoded length;
// only when it is at most kMaxString does out hold the bytes (past that point
// the rest of the text is only counted).
// Inlined into each writer: a call costs as much as encoding a short name.
[[gnu::always_inline]] inline size_t encode(std::string_view s, uint8_t (&out)[kEncodeRoom]) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const size_t size = s.size();
  size_t i = 0;
  size_t n = 0;
  while (i < size) {
    if (n > kMaxString) return n + countFrom(p, size, i);
    if (p[i] - 1u < 0x7Fu) {
      if (size - i >= 8) {
        // ASCII 8 bytes at a time: all 8 are stored, the plain ones kept.
        const uint64_t v = load8(p + i);
        std::memcpy(out + n, &v, 8);
        const size_t k = plainPrefix(v);
        n += k;
        i += k;
      } else {
        out[n++] = p[i++];
      }
    } else if (p[i] == 0) {
      out[n] = 0xC0;
      out[n + 1] = 0x80;
      n += 2;
      i += 1;
    } else if (const size_t len = canonicalLength(p, size, i)) {
      // A well-formed 2- or 3-byte character is its own wire form.
      out[n] = p[i];
      out[n + 1] = p[i + 1];
      if (len == 3) out[n + 2] = p[i + 2];
      n += len;
      i += len;
    } else {
      const Step step = encodeOther(p, size, i, out + n);
      n += step.written;
      i += step.taken;
    }
  }
  return n;
}

// A string's wire form after its length byte: the length, and when it is at
// most kMaxString, the bytes in out. Longer: WriteError, nothing stored.
[[gnu::always_inline]] inline size_t encodeChecked(std::string_view s,
                                                   uint8_t (&out)[kEncodeRoom]) {
  const size_t n = encode(s, out);
  if (n > kMaxString) {
    throw WriteError("string of " + std::to_string(n) + " bytes; the maximum is 255");
  }
  return n;
}

// Property lists entry by entry, for both writers.
template <typename W>
void putOldProperties(W& w, const OldPropertyList& props) {
  for (const OldProperty& p : props.all()) {
    w.u8(p.id);
    w.utf(p.value);
  }
}

template <typename W>
void putProperties(W& w, const PropertyList& props) {
  for (const Property& p : props.all()) {
    w.u8(p.id);
    w.u8(p.flags);
    w.u8(p.access);
    if (p.binary()) {
      if (p.value.size() > 255) throw WriteError("binary property longer than 255 bytes");
      w.u8(static_cast<uint8_t>(p.value.size()));
      w.raw(p.value);
    } else {
      w.utf(p.value);
    }
  }
}

}  // namespace

size_t utfLength(std::string_view s) {
  return countFrom(reinterpret_cast<const uint8_t*>(s.data()), s.size(), 0);
}

size_t utfPrefix(std::string_view s, size_t limit) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const size_t size = s.size();
  size_t i = 0;
  size_t n = 0;  // wire bytes of p[0..i)
  while (i < size) {
    size_t taken;  // input bytes of the character at p[i]
    size_t wire;   // its wire bytes
    if (p[i] - 1u < 0x7Fu) {
      // Plain ASCII 8 bytes at a time while they all fit.
      const size_t k = size - i >= 8 ? plainPrefix(load8(p + i)) : 1;
      taken = wire = std::min(k, limit - n);
      if (taken == 0) break;
    } else if (p[i] == 0) {
      taken = 1;
      wire = 2;
    } else if (const size_t len = canonicalLength(p, size, i)) {
      taken = wire = len;
    } else {
      const Units u = decodeAt(p, size, i);
      taken = u.taken;
      wire = unitLength(u.first) + (u.second == kNone ? 0 : 3);
    }
    if (wire > limit - n) break;
    n += wire;
    i += taken;
  }
  return i;
}

PacketWriter::PacketWriter(const ObjID& target, Command command) {
  buf_.reserve(256);  // a whole frame: appending never reallocates
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
  // Transcoded once, onto the stack: the length is known before anything is
  // appended, so a string that is too long leaves the frame unchanged.
  uint8_t wire[kEncodeRoom];
  const size_t n = encodeChecked(s, wire);
  const size_t start = buf_.size();
  buf_.resize(start + 1 + n);
  uint8_t* out = buf_.data() + start;
  out[0] = static_cast<uint8_t>(n);
  copyBytes(out + 1, wire, n);
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

void PacketWriter::oldProperties(const OldPropertyList& props) { putOldProperties(*this, props); }

void PacketWriter::properties(const PropertyList& props) { putProperties(*this, props); }

Bytes PacketWriter::finish() {
  const size_t n = buf_.size();
  if (n >= 256) {
    throw WriteError("packet of " + std::to_string(n) +
                     " bytes; the maximum under protocol 24 is 255");
  }
  buf_[0] = static_cast<uint8_t>(n);
  return buf_;
}

void SpanWriter::throwNoRoom() { throw WriteError("no room in the buffer"); }

void SpanWriter::utf(std::string_view s) {
  uint8_t wire[kEncodeRoom];
  const size_t n = encodeChecked(s, wire);
  uint8_t* out = room(1 + n);
  out[0] = static_cast<uint8_t>(n);
  copyBytes(out + 1, wire, n);
}

void SpanWriter::objid(const ObjID& id) {
  if (!id.isLong()) return u8(id.shortId());
  // The marker only with its string: a failing text writes neither.
  uint8_t wire[kEncodeRoom];
  const size_t n = encodeChecked(id.longId(), wire);
  uint8_t* out = room(2 + n);
  out[0] = kObjLongMarker;
  out[1] = static_cast<uint8_t>(n);
  copyBytes(out + 2, wire, n);
}

void SpanWriter::raw(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  copyBytes(room(bytes.size()), bytes.data(), bytes.size());
}

void SpanWriter::raw(std::string_view bytes) {
  raw(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

void SpanWriter::oldProperties(const OldPropertyList& props) { putOldProperties(*this, props); }

void SpanWriter::properties(const PropertyList& props) { putProperties(*this, props); }

void appendTarget(Bytes& out, const ObjID& id) {
  uint8_t wire[2 + kMaxString];
  SpanWriter w(wire);
  w.objid(id);
  out.insert(out.end(), wire, wire + w.size());
}

}  // namespace veltra::proto
