#include "proto/utf.hpp"

namespace veltra::proto::detail {

std::vector<uint16_t> toUtf16(std::string_view s) {
  std::vector<uint16_t> units;
  units.reserve(s.size());  // no byte yields more than one unit
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<uint8_t>(s[i]);
    if (b < 0x80) {
      units.push_back(b);
      ++i;
      continue;
    }
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
    bool complete = len != 0 && i + len <= s.size();
    for (size_t k = 1; complete && k < len; ++k) {
      const auto c = static_cast<uint8_t>(s[i + k]);
      if ((c & 0xC0) != 0x80) complete = false;
      value = (value << 6) | (c & 0x3F);
    }
    // Beyond U+10FFFF there is no surrogate pair; such a lead byte is kept as
    // a Latin-1 unit like any other byte that starts no valid sequence.
    if (!complete || value > 0x10FFFF) {
      units.push_back(b);
      ++i;
      continue;
    }
    if (value <= 0xFFFF) {
      units.push_back(static_cast<uint16_t>(value));
    } else {
      const uint32_t c = value - 0x10000;
      units.push_back(static_cast<uint16_t>(0xD800 + (c >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 + (c & 0x3FF)));
    }
    i += len;
  }
  return units;
}

std::string fromUtf16(const std::vector<uint16_t>& units) {
  std::string out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    const uint32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      const uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
      ++i;
    } else if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u <= 0x7FF) {
      out.push_back(static_cast<char>(0xC0 | (u >> 6)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (u >> 12)));
      out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  return out;
}

}  // namespace veltra::proto::detail
