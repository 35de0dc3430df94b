// parsePacket and describe on typical frames: a position update, a compound
// frame of twenty of them, a property update and a chat line.
#include <benchmark/benchmark.h>

#include <span>
#include <string>
#include <vector>

#include "veltra/proto/commands.hpp"
#include "veltra/proto/property.hpp"
#include "veltra/proto/writer.hpp"

namespace veltra::proto {
namespace {

Bytes compoundLongLoc() {
  PacketWriter w(ObjID(kObjCompound), Command::LongLoc);
  for (int i = 0; i < 20; ++i) {
    w.objid(ObjID(static_cast<uint8_t>(10 + i)));
    w.i16(static_cast<int16_t>(100 * i));
    w.i16(-250);
    w.i16(0);
    w.i16(static_cast<int16_t>(i * 17 % 360));
  }
  return w.finish();
}

Bytes propertyUpdate() {
  PropertyList props;
  props.add(kVarAppName, "veltra");
  props.add(kVarProtocol, "24");
  props.add(kVarServerType, "world");
  props.add(kVarUpdateTime, "1700000000");
  props.add(kVarAvatars, "avatar.dat");
  props.add(kVarCapabilities, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8), kPropFlagBinary);
  return buildPropertyUpdate(props);
}

Bytes frame(int kind) {
  switch (kind) {
    case 0: return buildLongLoc(ObjID(uint8_t{12}), 1228, 2465, 0, 157);
    case 1: return compoundLongLoc();
    case 2: return propertyUpdate();
    default: return buildText("ana", "hola a todos, \xc2\xbfqu\xc3\xa9 tal la sala?");
  }
}

const char* const kFrames[] = {"LONGLOC", "compound 20 LONGLOC", "PROPUPD", "TEXT"};

void BM_ParsePacket(benchmark::State& state) {
  const Bytes f = frame(static_cast<int>(state.range(0)));
  const std::span<const uint8_t> packet = std::span<const uint8_t>(f).subspan(1);
  state.SetLabel(kFrames[state.range(0)]);
  for (auto _ : state) benchmark::DoNotOptimize(parsePacket(packet));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packet.size()));
}
BENCHMARK(BM_ParsePacket)->DenseRange(0, 3);

void BM_Describe(benchmark::State& state) {
  const Bytes f = frame(static_cast<int>(state.range(0)));
  const std::vector<Incoming> commands = parsePacket(std::span<const uint8_t>(f).subspan(1));
  state.SetLabel(kFrames[state.range(0)]);
  for (auto _ : state) {
    for (const Incoming& in : commands) benchmark::DoNotOptimize(describe(in));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * commands.size()));
}
BENCHMARK(BM_Describe)->DenseRange(0, 3);

}  // namespace
}  // namespace veltra::proto
