// PacketReader::utf on arbitrary bytes. Whatever it accepts is a fixed point
// of the conversions, is written back in exactly utfLength bytes, and reads
// back as the same text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "proto/utf.hpp"
#include "veltra/proto/reader.hpp"
#include "veltra/proto/writer.hpp"

using namespace veltra::proto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);  // exact size: one past the end is caught
  PacketReader reader(input);
  std::string text;
  try {
    text = reader.utf();
  } catch (const ReadError&) {
    return 0;
  }
  if (detail::fromUtf16(detail::toUtf16(text)) != text) std::abort();

  const size_t n = utfLength(text);
  PacketWriter writer(ObjID(kObjClient), Command::Text);
  const size_t header = writer.sizeSoFar();
  try {
    writer.utf(text);
  } catch (const WriteError&) {
    // Overlong input forms grow when written canonically; only then may it fail.
    if (n <= 255) std::abort();
    return 0;
  }
  if (n > 255 || writer.sizeSoFar() != header + 1 + n) std::abort();
  if (writer.sizeSoFar() > 255) return 0;  // a valid string, but no frame can hold it

  const Bytes frame = writer.finish();
  PacketReader again(std::span<const uint8_t>(frame).subspan(header));
  if (again.utf() != text || !again.empty()) std::abort();
  return 0;
}
