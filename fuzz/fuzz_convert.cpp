// The UTF-8 / code unit conversions and the string writer on arbitrary bytes:
// no input is refused, one round settles the text, and the writer keeps to
// utfLength, never emits a zero byte, and fails only above 255 bytes, then
// appending nothing. utfPrefix cuts at the last character boundary (where the
// two halves, converted apart, give the units of the whole) that fits.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "proto/utf.hpp"
#include "veltra/proto/reader.hpp"
#include "veltra/proto/writer.hpp"

using namespace veltra::proto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<char> input(data, data + size);  // exact size: one past the end is caught
  const std::string_view text(input.data(), input.size());

  const std::vector<uint16_t> units = detail::toUtf16(text);
  if (units.size() > text.size()) std::abort();
  const std::string once = detail::fromUtf16(units);
  if (detail::toUtf16(once) != units) std::abort();
  if (detail::fromUtf16(detail::toUtf16(once)) != once) std::abort();

  const std::string_view head = text.substr(0, 100);  // the reference below is quadratic
  const size_t limit = size == 0 ? 0 : data[0];
  size_t fits = 0;
  for (size_t j = 0; j <= head.size(); ++j) {
    std::vector<uint16_t> split = detail::toUtf16(head.substr(0, j));
    const std::vector<uint16_t> rest = detail::toUtf16(head.substr(j));
    split.insert(split.end(), rest.begin(), rest.end());
    if (split == detail::toUtf16(head) && utfLength(head.substr(0, j)) <= limit) fits = j;
  }
  if (utfPrefix(head, limit) != fits) std::abort();

  const size_t n = utfLength(text);
  if (utfLength(once) != n) std::abort();
  PacketWriter writer(ObjID(kObjClient), Command::Text);
  const size_t header = writer.sizeSoFar();
  try {
    writer.utf(text);
  } catch (const WriteError& e) {
    if (n <= 255 || writer.sizeSoFar() != header ||
        std::string(e.what()) != "string of " + std::to_string(n) + " bytes; the maximum is 255") {
      std::abort();
    }
    return 0;
  }
  if (n > 255 || writer.sizeSoFar() != header + 1 + n) std::abort();
  if (writer.sizeSoFar() > 255) return 0;  // too long for a frame; bytes not observable

  const Bytes frame = writer.finish();
  const std::span<const uint8_t> wire = std::span<const uint8_t>(frame).subspan(header);
  if (wire[0] != n || std::find(wire.begin() + 1, wire.end(), 0) != wire.end()) std::abort();
  PacketReader reader(wire);
  if (reader.utf() != once) std::abort();
  return 0;
}
