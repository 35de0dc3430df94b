// Protocol string throughput: writing UTF-8 text as a protocol string and
// reading it back, for texts of one encoded width each and a mixed one.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "proto/utf.hpp"
#include "veltra/proto/reader.hpp"
#include "veltra/proto/writer.hpp"

namespace veltra::proto {
namespace {

// Texts of about 240 encoded bytes, so one fits a frame with its header.
std::string text(int kind) {
  std::string out;
  switch (kind) {
    case 0:
      for (int i = 0; i < 240; ++i) out += static_cast<char>('a' + i % 26);
      break;
    case 1:
      for (int i = 0; i < 120; ++i) out += "\xc3\xa9";  // U+00E9
      break;
    case 2:
      for (int i = 0; i < 80; ++i) out += "\xe2\x82\xac";  // U+20AC
      break;
    case 3:
      for (int i = 0; i < 40; ++i) out += "\xf0\x9f\x98\x80";  // U+1F600, two units
      break;
    default:
      for (int i = 0; i < 12; ++i) out += "hola, \xc3\xb1u \xe2\x82\xac\xf0\x9f\x98\x80";
      break;
  }
  return out;
}

const char* const kKinds[] = {"ascii", "2-byte", "3-byte", "pairs", "mixed"};

void BM_WriteString(benchmark::State& state) {
  const std::string s = text(static_cast<int>(state.range(0)));
  state.SetLabel(kKinds[state.range(0)]);
  for (auto _ : state) {
    PacketWriter w(ObjID(kObjClient), Command::Text);
    w.utf(s);
    benchmark::DoNotOptimize(w.sizeSoFar());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_WriteString)->DenseRange(0, 4);

void BM_ReadString(benchmark::State& state) {
  const std::string s = text(static_cast<int>(state.range(0)));
  state.SetLabel(kKinds[state.range(0)]);
  PacketWriter w(ObjID(kObjClient), Command::Text);
  w.utf(s);
  const Bytes frame = w.finish();
  const std::span<const uint8_t> wire = std::span<const uint8_t>(frame).subspan(3);
  for (auto _ : state) {
    PacketReader r(wire);
    benchmark::DoNotOptimize(r.utf());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(BM_ReadString)->DenseRange(0, 4);

}  // namespace
}  // namespace veltra::proto
