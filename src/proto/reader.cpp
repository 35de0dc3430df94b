#include "veltra/proto/reader.hpp"

#include <bit>
#include <cstring>

#include "proto/utf.hpp"

namespace veltra::proto {

void PacketReader::throwPastEnd() { throw ReadError("read past the end of the packet"); }

namespace {

uint64_t load8(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The number of bytes, from the first of the 8 at p, below 0x80: ASCII (the
// zero byte included) reads back unchanged. The 8 bytes are stored to out
// whatever they are; the caller keeps only that many.
size_t copyAscii8(const uint8_t* p, char* out) {
  const uint64_t v = load8(p);
  std::memcpy(out, &v, 8);
  const uint64_t high = v & 0x8080808080808080;
  return high == 0 ? 8 : static_cast<size_t>(std::countr_zero(high)) / 8;
}

// The string of n bytes at p; out of line, so that the copy stays a call to
// memcpy (see utf.hpp).
VELTRA_OUT_OF_LINE std::string makeString(const void* p, size_t n) {
  return std::string(static_cast<const char*>(p), n);
}

// UTF-8 of one code unit; lone surrogates take the 3-byte form.
size_t putUnit(char* out, uint32_t u) {
  if (u < 0x80) {
    out[0] = static_cast<char>(u);
    return 1;
  }
  if (u < 0x800) {
    out[0] = static_cast<char>(0xC0 | (u >> 6));
    out[1] = static_cast<char>(0x80 | (u & 0x3F));
    return 2;
  }
  out[0] = static_cast<char>(0xE0 | (u >> 12));
  out[1] = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
  out[2] = static_cast<char>(0x80 | (u & 0x3F));
  return 3;
}

bool isHigh(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLow(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The n wire bytes at p to UTF-8, in one pass: the same text and the same
// errors, raised at the same byte, as decoding unit by unit and converting
// the units with fromUtf16. Writes at most n bytes to out and returns their
// count: no unit takes more UTF-8 bytes than wire bytes, and a surrogate pair
// takes 4 for its 6.
size_t decode(const uint8_t* p, size_t n, char* out) {
  auto continuation = [](uint8_t c) {
    if ((c & 0xC0) != 0x80) throw ReadError("malformed UTF (continuation byte)");
    return static_cast<uint32_t>(c & 0x3F);
  };
  size_t i = 0;
  size_t m = 0;
  uint32_t high = 0;  // a high surrogate waiting to see whether a low one follows
  while (i < n) {
    const uint8_t b = p[i];
    if (b <= 0x7F) {
      if (high != 0) {
        m += putUnit(out + m, high);
        high = 0;
      }
      while (n - i >= 8) {  // ASCII runs, 8 bytes at a time
        const size_t k = copyAscii8(p + i, out + m);
        m += k;
        i += k;
        if (k < 8) break;
      }
      while (i < n && p[i] <= 0x7F) out[m++] = static_cast<char>(p[i++]);
      continue;
    }
    if (b <= 0xBF || b >= 0xF0) {
      // A stray continuation byte, or a 4-byte lead: the wire has no 4-byte form.
      throw ReadError("malformed UTF (invalid lead byte)");
    }
    uint32_t u;  // the unit
    size_t len;  // its wire bytes
    if (b <= 0xDF) {
      if (n - i < 2) throw ReadError("malformed UTF (2-byte sequence)");
      u = ((b & 0x1Fu) << 6) | continuation(p[i + 1]);
      len = 2;
    } else {
      if (n - i < 3) throw ReadError("malformed UTF (3-byte sequence)");
      const uint32_t c1 = continuation(p[i + 1]);
      u = ((b & 0x0Fu) << 12) | (c1 << 6) | continuation(p[i + 2]);
      len = 3;
    }
    // The usual case: a shortest-form character, not a surrogate, with no high
    // surrogate pending. Its UTF-8 is the wire bytes themselves.
    if (high == 0 && u >= (len == 2 ? 0x80u : 0x800u) && (u < 0xD800 || u > 0xDFFF)) {
      out[m] = static_cast<char>(b);
      out[m + 1] = static_cast<char>(p[i + 1]);
      if (len == 3) out[m + 2] = static_cast<char>(p[i + 2]);
      m += len;
      i += len;
      continue;
    }
    i += len;
    if (high != 0) {
      if (isLow(u)) {  // a pair: one 4-byte character
        const uint32_t cp = 0x10000 + ((high - 0xD800) << 10) + (u - 0xDC00);
        out[m++] = static_cast<char>(0xF0 | (cp >> 18));
        out[m++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out[m++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[m++] = static_cast<char>(0x80 | (cp & 0x3F));
        high = 0;
        continue;
      }
      m += putUnit(out + m, high);
      high = 0;
    }
    if (isHigh(u)) {
      high = u;
    } else {
      m += putUnit(out + m, u);
    }
  }
  if (high != 0) m += putUnit(out + m, high);
  return m;
}

}  // namespace

std::string PacketReader::utf() {
  const size_t n = u8();
  // Checked before the content is looked at, so no read below can pass the end.
  if (remaining() < n) throw ReadError("UTF string overruns the packet");
  const uint8_t* p = data_.data() + pos_;
  pos_ += n;
  // Plain ASCII, the usual text, is the result as it stands.
  size_t i = 0;
  while (n - i >= 8 && (load8(p + i) & 0x8080808080808080) == 0) i += 8;
  while (i < n && p[i] <= 0x7F) ++i;
  if (i == n) return makeString(p, n);
  char text[255];
  return makeString(text, decode(p, n, text));
}

ObjID PacketReader::objid() {
  const uint8_t b = u8();
  if (b != kObjLongMarker) return ObjID(b);
  return ObjID(utf());
}

std::string PacketReader::bytes(size_t n) {
  if (remaining() < n) throw ReadError("not enough bytes in the packet");
  if (n == 0) return {};
  std::string out(reinterpret_cast<const char*>(data_.data() + pos_), n);
  pos_ += n;
  return out;
}

}  // namespace veltra::proto
