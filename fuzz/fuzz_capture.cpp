// Arbitrary bytes as a capture file, through the whole of scoutdump: libpcap
// reading, libtins reassembly, framing, parsing and printing (text with hex
// for inputs of even length, JSON for odd ones). Nothing may crash, hang or
// leak, and every frame is counted once: as named by its command or as
// undecodable.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "scoutdump/capture.hpp"
#include "scoutdump/decoder.hpp"
#include "scoutdump/output.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!file) return 0;
  std::ostringstream out;
  scoutdump::OutputOptions options;
  options.json = size % 2 == 1;
  options.hex = true;
  scoutdump::Printer printer(out, options);
  scoutdump::Decoder decoder({6650}, printer);
  try {
    scoutdump::readStream(file, decoder, {});
  } catch (const scoutdump::CaptureError&) {
  }
  decoder.finish();
  printer.summary(decoder.summary());
  const scoutdump::Summary& s = decoder.summary();
  uint64_t unnamed = 0;
  for (const auto& d : s.dir) {
    uint64_t named = 0, commands = 0;
    for (const auto& n : d.byCode) named += n.frames, commands += n.commands;
    if (named > d.frames || commands != d.commands || d.commands < named) std::abort();
    unnamed += d.frames - named;
  }
  if (unnamed != s.undecodable) std::abort();
  return 0;
}
