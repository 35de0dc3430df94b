// The direct string transcoders against the unit-by-unit path on every input.
// Written as text, the input must give the bytes (or the error message) of
// toUtf16 followed by the unit table, and utfLength their count. Read as a
// frame, it must give the text, the error message and the position of a
// reader that decodes unit by unit and converts the units with fromUtf16.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proto/utf.hpp"
#include "veltra/proto/reader.hpp"
#include "veltra/proto/writer.hpp"

using namespace veltra::proto;

namespace {

// A write's outcome: the bytes appended, or the error's message.
struct Written {
  std::vector<uint8_t> bytes;
  std::string error;
};

Written writeByUnits(std::string_view text, size_t* length = nullptr) {
  const std::vector<uint16_t> units = detail::toUtf16(text);
  std::vector<uint8_t> wire;
  for (const uint16_t u : units) {
    if (u != 0 && u < 0x80) {
      wire.push_back(uint8_t(u));
    } else if (u < 0x800) {
      wire.insert(wire.end(), {uint8_t(0xC0 | (u >> 6)), uint8_t(0x80 | (u & 0x3F))});
    } else {
      wire.insert(wire.end(), {uint8_t(0xE0 | (u >> 12)), uint8_t(0x80 | ((u >> 6) & 0x3F)),
                               uint8_t(0x80 | (u & 0x3F))});
    }
  }
  if (length) *length = wire.size();
  if (wire.size() > 255) {
    return {{}, "string of " + std::to_string(wire.size()) + " bytes; the maximum is 255"};
  }
  wire.insert(wire.begin(), uint8_t(wire.size()));
  return {wire, ""};
}

// A read's outcome: the text and the bytes left behind it, or the message.
struct Read {
  std::string text;
  size_t remaining = 0;
  std::string error;
  bool operator==(const Read&) const = default;
};

Read readByUnits(const std::vector<uint8_t>& in) {
  size_t pos = 0;
  auto next = [&]() -> uint8_t {
    if (pos >= in.size()) throw ReadError("read past the end of the packet");
    return in[pos++];
  };
  try {
    const size_t n = next();
    if (in.size() - pos < n) throw ReadError("UTF string overruns the packet");
    std::vector<uint16_t> units;
    auto continuation = [&] {
      const uint8_t c = next();
      if ((c & 0xC0) != 0x80) throw ReadError("malformed UTF (continuation byte)");
      return uint16_t(c & 0x3F);
    };
    for (size_t count = 0; count < n;) {
      const uint8_t b = next();
      if (b <= 0x7F) {
        units.push_back(b);
        count += 1;
      } else if (b <= 0xBF || b >= 0xF0) {
        throw ReadError("malformed UTF (invalid lead byte)");
      } else if (b <= 0xDF) {
        if ((count += 2) > n) throw ReadError("malformed UTF (2-byte sequence)");
        const uint16_t c = continuation();
        units.push_back(uint16_t(((b & 0x1F) << 6) | c));
      } else {
        if ((count += 3) > n) throw ReadError("malformed UTF (3-byte sequence)");
        const uint16_t c1 = continuation();
        const uint16_t c2 = continuation();
        units.push_back(uint16_t(((b & 0x0F) << 12) | (c1 << 6) | c2));
      }
    }
    return {detail::fromUtf16(units), in.size() - pos, ""};
  } catch (const ReadError& e) {
    return {"", 0, e.what()};
  }
}

Read readDirect(const std::vector<uint8_t>& in) {
  PacketReader r(in);
  try {
    std::string text = r.utf();
    return {std::move(text), r.remaining(), ""};
  } catch (const ReadError& e) {
    return {"", 0, e.what()};
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exact-size copies: a read one past the end is caught by the sanitizer.
  const std::vector<char> chars(data, data + size);
  const std::string_view text(chars.data(), chars.size());
  size_t length = 0;
  const Written expected = writeByUnits(text, &length);
  if (utfLength(text) != length) std::abort();
  PacketWriter w(ObjID(kObjClient), Command::Text);
  const size_t header = w.sizeSoFar();
  try {
    w.utf(text);
    if (!expected.error.empty() || w.sizeSoFar() - header != expected.bytes.size()) std::abort();
    // A frame holds at most 251 bytes of string; a longer one is seen by its size alone.
    if (w.sizeSoFar() <= 255) {
      const Bytes frame = w.finish();
      if (!std::equal(frame.begin() + long(header), frame.end(), expected.bytes.begin(),
                      expected.bytes.end())) {
        std::abort();
      }
    }
  } catch (const WriteError& e) {
    // Nothing appended, and the message of the unit-by-unit path.
    if (e.what() != expected.error || w.sizeSoFar() != header) std::abort();
  }

  const std::vector<uint8_t> bytes(data, data + size);
  if (readDirect(bytes) != readByUnits(bytes)) std::abort();
  return 0;
}
