#include "common/text.hpp"

#include <cstddef>
#include <cstdint>

namespace veltra::tools {

namespace {

// The length of the well-formed UTF-8 sequence at text[i], or 0 when the byte there starts none.
size_t sequenceLength(std::string_view text, size_t i) {
  const auto at = [&](size_t k) -> uint8_t { return i + k < text.size() ? text[i + k] : 0; };
  const uint8_t b = at(0);
  if (b < 0x80) return 1;
  size_t n = 0;
  uint8_t lo = 0x80, hi = 0xbf;  // the second byte's range; the later ones are 80..bf
  if (b >= 0xc2 && b <= 0xdf) {
    n = 2;
  } else if (b >= 0xe0 && b <= 0xef) {
    n = 3, lo = b == 0xe0 ? 0xa0 : 0x80, hi = b == 0xed ? 0x9f : 0xbf;
  } else if (b >= 0xf0 && b <= 0xf4) {
    n = 4, lo = b == 0xf0 ? 0x90 : 0x80, hi = b == 0xf4 ? 0x8f : 0xbf;
  } else {
    return 0;
  }
  for (size_t k = 1; k < n; ++k, lo = 0x80, hi = 0xbf)
    if (at(k) < lo || at(k) > hi) return 0;
  return n;
}

}  // namespace

std::string escapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  static const char kHex[] = "0123456789abcdef";
  const auto hex = [&](uint8_t b) { out += {'\\', 'x', kHex[b >> 4], kHex[b & 15]}; };
  for (size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<uint8_t>(text[i]);
    if (b < 0x20 || b == 0x7f) {
      hex(b);
    } else if (b == '\\') {
      out += "\\\\";
    } else if (b == 0xc2 && i + 1 < text.size() && static_cast<uint8_t>(text[i + 1]) >= 0x80 &&
               static_cast<uint8_t>(text[i + 1]) <= 0x9f) {
      hex(static_cast<uint8_t>(text[++i]));  // U+0080..U+009F, the C1 controls
    } else if (b < 0x80) {
      out += text[i];
    } else if (const size_t n = sequenceLength(text, i)) {
      out.append(text, i, n);
      i += n - 1;
    } else {
      hex(b);
    }
  }
  return out;
}

std::string validUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t n = sequenceLength(text, i);
    out.append(n ? text.substr(i, n) : "\xef\xbf\xbd");
    i += n ? n : 1;
  }
  return out;
}

std::string markupEntities(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace veltra::tools
