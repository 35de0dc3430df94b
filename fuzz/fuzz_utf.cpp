// PacketReader::utf on arbitrary bytes. It never reads past its input, and
// whatever it accepts is a fixed point of the conversions; writing any text and
// reading it back is fuzz_convert's part; agreement with ICU is the ICU test's.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "proto/utf.hpp"
#include "veltra/proto/reader.hpp"

using namespace veltra::proto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);  // exact size: one past the end is caught
  try {
    const std::string text = PacketReader(input).utf();
    if (detail::fromUtf16(detail::toUtf16(text)) != text) std::abort();
  } catch (const ReadError&) {
  }
  return 0;
}
