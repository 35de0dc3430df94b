// The codec against its peers, side by side in one process:
//  - protocol strings written and read by PacketWriter::utf / PacketReader::utf,
//    by ICU's two-step path (UTF-8 -> UTF-16 -> modified UTF-8 and back) and
//    by a plain memcpy of the finished bytes;
//  - parsePacket over a mix of received frames against a loop that only sums
//    their bytes, with the heap allocations per frame against the data model's
//    minimum;
//  - describe against the stream-based rendering it replaced;
//  - a LONGLOC and a compound relay frame of LONGLOCs read through the frame
//    view and the fixed-size reader, against parsePacket and against reading
//    the bytes at hand-computed offsets; and those moves joined into a
//    server's output queue by appendElement against the same at hand.
// Every pair is checked to produce identical output before it is timed.
// bench/codec_ratios.py turns --benchmark_format=json into the table of ratios.
#include <benchmark/benchmark.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "proto/utf.hpp"
#include "veltra/proto/commands.hpp"
#include "veltra/proto/reader.hpp"
#include "veltra/proto/view.hpp"
#include "veltra/proto/writer.hpp"

// Every allocation of the program passes here, so a section of code can be
// charged with the allocations it makes.
namespace {
size_t g_allocations = 0;
}

// The replacements pair malloc with free themselves; GCC cannot see that.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t n) {
  ++g_allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace veltra::proto {
namespace {

// ---- Protocol strings ------------------------------------------------------

// Byte copies for ICU's side and the floors, through the library memcpy as the
// codec's own copies are: where GCC can bound the size it otherwise inlines a
// block-move instruction whose start-up dominates short copies.
VELTRA_OUT_OF_LINE void appendBytes(Bytes& frame, const void* p, size_t n) {
  const size_t start = frame.size();
  frame.resize(start + n);
  std::memcpy(frame.data() + start, p, n);
}
VELTRA_OUT_OF_LINE std::string makeString(const void* p, size_t n) {
  return std::string(static_cast<const char*>(p), n);
}

struct StringClass {
  const char* name;
  std::string text;  // UTF-8
};

// Repeats pattern until the text holds exactly `bytes` bytes; a character cut
// at the end is replaced by dots, so the text stays valid UTF-8.
std::string repeatTo(std::string_view pattern, size_t bytes) {
  std::string out;
  while (out.size() < bytes) out += pattern;
  size_t start = bytes;  // of the character that holds the last byte
  while (start > 0 && (uint8_t(out[start - 1]) & 0xC0) == 0x80) --start;
  const uint8_t lead = start > 0 ? uint8_t(out[start - 1]) : 0;
  const size_t len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (start > 0 && start - 1 + len > bytes)
    std::fill(out.begin() + long(start - 1), out.end(), '.');
  out.resize(bytes);
  return out;
}

std::vector<StringClass> stringClasses() {
  return {
      {"ascii8", "visitor7"},
      {"ascii16", "Brackenvel#Hall1"},
      {"ascii30", "hola a todos, que tal la sala?"},
      {"ascii250", repeatTo("the quick brown fox jumps over the lazy dog. ", 250)},
      // "cafe" with accents and friends: 2-byte forms among ASCII (104 bytes).
      {"latin1_104", repeatTo("caf\xc3\xa9 se\xc3\xb1or \xc3\xa0 l\xc3\xa0 ", 104)},
      // U+4E16 U+754C ...: 3-byte forms only (102 bytes, 34 characters).
      {"cjk_102", repeatTo("\xe4\xb8\x96\xe7\x95\x8c\xe4\xbd\xa0\xe5\xa5\xbd", 102)},
      // Words with U+1F600 and U+1F44B: 4-byte UTF-8, surrogate pairs on the wire.
      {"emoji_102", repeatTo("hi \xf0\x9f\x98\x80 ok \xf0\x9f\x91\x8b ", 102)},
      // Zero bytes among ASCII: U+0000 takes the 2-byte form on the wire.
      {"nul_120", repeatTo(std::string_view("key\0value\0", 10), 120)},
  };
}

// As many copies of a string as fit one frame: each side builds one frame per
// iteration, so its construction is shared the same way on both sides.
size_t copiesPerFrame(const std::string& text) { return 252 / (1 + utfLength(text)); }

// ICU's general path for writing: UTF-8 to UTF-16, UTF-16 to modified UTF-8.
void icuWrite(Bytes& frame, const std::string& text) {
  UChar units[512];
  char wire[768];
  int32_t nUnits = 0, nWire = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(units, 512, &nUnits, text.data(), int32_t(text.size()), &status);
  u_strToJavaModifiedUTF8(wire, 768, &nWire, units, nUnits, &status);
  if (U_FAILURE(status) || nWire > 255) std::abort();
  frame.push_back(uint8_t(nWire));
  appendBytes(frame, wire, size_t(nWire));
}

// ICU's general path for reading: modified UTF-8 to UTF-16, UTF-16 to UTF-8.
std::string icuRead(const uint8_t*& p) {
  const int32_t n = *p++;
  UChar units[256];
  char text[768];
  int32_t nUnits = 0, nText = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromJavaModifiedUTF8WithSub(units, 256, &nUnits, reinterpret_cast<const char*>(p), n, 0xFFFD,
                                   nullptr, &status);
  u_strToUTF8(text, 768, &nText, units, nUnits, &status);
  if (U_FAILURE(status)) std::abort();
  p += n;
  return makeString(text, size_t(nText));
}

Bytes frameHeader() {
  Bytes frame;
  frame.reserve(256);
  frame.push_back(0);
  frame.push_back(kObjClient);
  frame.push_back(uint8_t(Command::Text));
  return frame;
}

Bytes veltraFrame(const std::string& text, size_t copies) {
  PacketWriter w(ObjID(kObjClient), Command::Text);
  for (size_t k = 0; k < copies; ++k) w.utf(text);
  return w.finish();
}

Bytes icuFrame(const std::string& text, size_t copies) {
  Bytes frame = frameHeader();
  for (size_t k = 0; k < copies; ++k) icuWrite(frame, text);
  frame[0] = uint8_t(frame.size());
  return frame;
}

void writeVeltra(benchmark::State& state, const std::string& text) {
  const size_t copies = copiesPerFrame(text);
  if (veltraFrame(text, copies) != icuFrame(text, copies)) state.SkipWithError("differs from ICU");
  for (auto _ : state) {
    PacketWriter w(ObjID(kObjClient), Command::Text);
    for (size_t k = 0; k < copies; ++k) w.utf(text);
    benchmark::DoNotOptimize(w.sizeSoFar());
  }
  state.SetItemsProcessed(int64_t(state.iterations() * copies));
}

void writeIcu(benchmark::State& state, const std::string& text) {
  const size_t copies = copiesPerFrame(text);
  for (auto _ : state) {
    Bytes frame = frameHeader();
    for (size_t k = 0; k < copies; ++k) icuWrite(frame, text);
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations() * copies));
}

// The floor: the finished bytes of each string appended as they are.
void writeMemcpy(benchmark::State& state, const std::string& text) {
  const size_t copies = copiesPerFrame(text);
  const Bytes one = veltraFrame(text, 1);
  const std::string_view wire(reinterpret_cast<const char*>(one.data()) + 3, one.size() - 3);
  for (auto _ : state) {
    Bytes frame = frameHeader();
    for (size_t k = 0; k < copies; ++k) appendBytes(frame, wire.data(), wire.size());
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations() * copies));
}

void readVeltra(benchmark::State& state, const std::string& text) {
  const size_t copies = copiesPerFrame(text);
  const Bytes frame = veltraFrame(text, copies);
  const std::span<const uint8_t> body = std::span<const uint8_t>(frame).subspan(3);
  {
    PacketReader r(body);
    const uint8_t* p = body.data();
    for (size_t k = 0; k < copies; ++k) {
      const std::string ours = r.utf();
      if (ours != text || icuRead(p) != text) state.SkipWithError("differs from ICU");
    }
  }
  for (auto _ : state) {
    PacketReader r(body);
    for (size_t k = 0; k < copies; ++k) benchmark::DoNotOptimize(r.utf());
  }
  state.SetItemsProcessed(int64_t(state.iterations() * copies));
}

void readIcu(benchmark::State& state, const std::string& text) {
  const size_t copies = copiesPerFrame(text);
  const Bytes frame = veltraFrame(text, copies);
  for (auto _ : state) {
    const uint8_t* p = frame.data() + 3;
    for (size_t k = 0; k < copies; ++k) benchmark::DoNotOptimize(icuRead(p));
  }
  state.SetItemsProcessed(int64_t(state.iterations() * copies));
}

// The floor: each string's text copied out as it is (as if no conversion were needed).
void readMemcpy(benchmark::State& state, const std::string& text) {
  const size_t copies = copiesPerFrame(text);
  const Bytes frame = veltraFrame(text, copies);
  for (auto _ : state) {
    const uint8_t* p = frame.data() + 3;
    for (size_t k = 0; k < copies; ++k) {
      const size_t n = *p++;
      benchmark::DoNotOptimize(makeString(p, n));
      p += n;
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations() * copies));
}

// ---- Frames: parsePacket and describe ---------------------------------------

// The mix of received frames; each without its length byte, as parsePacket takes it.
std::vector<Bytes> frameMix() {
  PacketWriter compound(ObjID(kObjCompound), Command::LongLoc);
  for (int i = 0; i < 10; ++i) {
    compound.objid(ObjID(uint8_t(10 + i)));
    compound.i16(int16_t(100 * i));
    compound.i16(-250);
    compound.i16(0);
    compound.i16(int16_t(i * 37 % 360));
  }
  PropertyList props;
  props.add(kVarAppName, "veltra world server");
  props.add(kVarProtocol, "24");
  props.add(kVarCapabilities, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8), kPropFlagBinary);
  std::vector<Bytes> frames = {
      buildLongLoc(ObjID(uint8_t{12}), 1228, 2465, 0, 157),
      compound.finish(),
      buildText("Brackenvel-visitor-0042", "hola a todos, \xc2\xbfqu\xc3\xa9 tal la sala?"),
      buildPropertyUpdate(props),
      buildRoomId("Brackenvel#Reception", 5),
      buildAppearActor(ObjID(uint8_t{7}), 3, 1228, 2465, 0, 157),
      buildRegisterObjId("Brackenvel-visitor-0042", 42),
  };
  for (Bytes& f : frames) f.erase(f.begin());
  return frames;
}

// Heap blocks the decoded commands must own: the result vector, every string
// beyond the small-string buffer, every non-empty vector inside a body.
size_t modelMinimum(const std::vector<Incoming>& commands) {
  const size_t small = std::string().capacity();
  size_t n = 1;
  auto str = [&](const std::string& s) { n += s.size() > small; };
  for (const Incoming& in : commands) {
    str(in.target.longId());
    std::visit(
        [&](const auto& b) {
          using B = std::decay_t<decltype(b)>;
          if constexpr (std::is_same_v<B, Text> || std::is_same_v<B, Whisper>) {
            str(b.sender.longId());
            str(b.text);
          } else if constexpr (std::is_same_v<B, RoomId> || std::is_same_v<B, RoomIdRequest>) {
            str(b.roomName);
          } else if constexpr (std::is_same_v<B, RegisterObjId>) {
            str(b.longId);
          } else if constexpr (std::is_same_v<B, PropertyUpdate> ||
                               std::is_same_v<B, PropertySet>) {
            n += !b.props.empty();
            for (const Property& p : b.props.all()) str(p.value);
          }
        },
        in.body);
  }
  return n;
}

void parseVeltra(benchmark::State& state) {
  const std::vector<Bytes> frames = frameMix();
  size_t minimum = 0;
  const size_t before = g_allocations;
  for (const Bytes& f : frames) minimum += modelMinimum(parsePacket(f));
  const size_t made = g_allocations - before;
  for (auto _ : state) {
    for (const Bytes& f : frames) benchmark::DoNotOptimize(parsePacket(f));
  }
  state.counters["allocs_per_frame"] = double(made) / double(frames.size());
  state.counters["model_min_per_frame"] = double(minimum) / double(frames.size());
  state.SetItemsProcessed(int64_t(state.iterations() * frames.size()));
}

// The floor: each frame's bytes summed, one by one.
void parseByteSum(benchmark::State& state) {
  const std::vector<Bytes> frames = frameMix();
  for (auto _ : state) {
    for (const Bytes& f : frames) {
      unsigned sum = 0;
      for (uint8_t b : f) sum += b;
      benchmark::DoNotOptimize(sum);
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations() * frames.size()));
}

// The stream-based describe as it stood before, kept as the reference for
// speed and for byte-identical output.
std::string legacyLabel(uint8_t id) {
  static const char* const kNames[33] = {nullptr,
                                         "VAR_APPNAME",
                                         "VAR_USERNAME",
                                         "VAR_PROTOCOL",
                                         "VAR_ERROR",
                                         "VAR_CHANNEL/BITMAP",
                                         "VAR_PASSWORD",
                                         "VAR_AVATARS",
                                         "VAR_UPDATETIME",
                                         "VAR_CLIENT",
                                         "VAR_SERIAL",
                                         "VAR_EMAIL",
                                         "VAR_LOGONOFF",
                                         "VAR_DURATION",
                                         "VAR_GUEST",
                                         "VAR_SERVERTYPE",
                                         "VAR_BIZCARD",
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         "VAR_NEW_PASSWD",
                                         nullptr,
                                         "VAR_PRIV",
                                         "VAR_ASLEEP",
                                         "VAR_EXTERNAL_HTTP_SERVER",
                                         "VAR_SCRIPT_SERVER",
                                         "VAR_SMTP_SERVER",
                                         "VAR_MAIL_DOMAIN",
                                         "VAR_NEW_USERNAME",
                                         "VAR_INTERNAL_HTTP_SERVER",
                                         nullptr,
                                         nullptr,
                                         "VAR_INVENTORY"};
  const char* name = id < 33 ? kNames[id] : nullptr;
  return name ? std::string(name) : "VAR#" + std::to_string(id);
}
std::string legacyDescribe(const PropertyList& props) {
  std::string out = "(";
  for (const Property& p : props.all()) {
    out += legacyLabel(p.id);
    out += p.binary() ? "=<" + std::to_string(p.value.size()) + " bytes>" : "=" + p.value;
    out += " ";
  }
  return out + ")";
}
std::string legacyDescribe(const Incoming& in) {
  std::ostringstream os;
  os << commandName(in.command) << " [" << in.target.describe() << ']';
  std::visit(
      [&os](const auto& b) {
        using B = std::decay_t<decltype(b)>;
        if constexpr (std::is_same_v<B, LongLoc>) {
          os << " @" << b.x << ',' << b.y << ',' << b.z << " dir=" << b.dir;
        } else if constexpr (std::is_same_v<B, AppearActor>) {
          os << " room=" << b.room << " @" << b.x << ',' << b.y << ',' << b.z << " dir=" << b.dir;
        } else if constexpr (std::is_same_v<B, Text>) {
          os << " <" << b.sender.describe() << "> " << b.text;
        } else if constexpr (std::is_same_v<B, PropertyUpdate>) {
          os << ' ' << legacyDescribe(b.props);
        } else if constexpr (std::is_same_v<B, RoomId>) {
          os << " \"" << b.roomName << "\" = " << b.roomNumber;
        } else if constexpr (std::is_same_v<B, RegisterObjId>) {
          os << " \"" << b.longId << "\" -> #" << int{b.shortId};
        } else {
          std::abort();  // not in the mix
        }
      },
      in.body);
  return os.str();
}

std::vector<Incoming> parsedMix() {
  std::vector<Incoming> all;
  for (const Bytes& f : frameMix()) {
    for (Incoming& in : parsePacket(f)) all.push_back(std::move(in));
  }
  return all;
}

void describeVeltra(benchmark::State& state) {
  const std::vector<Incoming> commands = parsedMix();
  for (const Incoming& in : commands) {
    if (describe(in) != legacyDescribe(in)) state.SkipWithError("differs from the reference");
  }
  for (auto _ : state) {
    for (const Incoming& in : commands) benchmark::DoNotOptimize(describe(in));
  }
  state.SetItemsProcessed(int64_t(state.iterations() * commands.size()));
}

void describeStream(benchmark::State& state) {
  const std::vector<Incoming> commands = parsedMix();
  for (auto _ : state) {
    for (const Incoming& in : commands) benchmark::DoNotOptimize(legacyDescribe(in));
  }
  state.SetItemsProcessed(int64_t(state.iterations() * commands.size()));
}

// ---- Relayed moves: views against parsePacket ----------------------------------

// A plain LONGLOC and a compound frame of 20 (the most a frame holds is 27),
// without their length bytes. Each side sums every position it decodes.
Bytes relayFrame(bool compound) {
  if (!compound) {
    Bytes f = buildLongLoc(ObjID(uint8_t{12}), 1228, 2465, 0, 157);
    f.erase(f.begin());
    return f;
  }
  PacketWriter w(ObjID(kObjCompound), Command::LongLoc);
  for (int i = 0; i < 20; ++i) {
    w.objid(ObjID(uint8_t(10 + i)));
    w.i16(int16_t(100 * i)), w.i16(-250), w.i16(0), w.i16(int16_t(i * 37 % 360));
  }
  Bytes f = w.finish();
  f.erase(f.begin());
  return f;
}

long sumView(std::span<const uint8_t> f) {
  long sum = 0;
  const FrameView view(f);
  Elements els(view);
  for (const Element& e : els) {
    if (const std::optional<LongLoc> m = readFixed<LongLoc>(e.body))
      sum += e.target.shortId() + m->x + m->y + m->z + m->dir;
  }
  return els.malformed() ? -1 : sum;
}

long sumParse(std::span<const uint8_t> f) {
  long sum = 0;
  for (const Incoming& in : parsePacket(f)) {
    const auto& m = std::get<LongLoc>(in.body);
    sum += in.target.shortId() + m.x + m.y + m.z + m.dir;
  }
  return sum;
}

// What a tool wrote before the views: offsets and sizes computed by hand, for
// short targets only.
long sumHand(std::span<const uint8_t> f) {
  auto be16 = [](const uint8_t* p) { return static_cast<int16_t>(p[0] << 8 | p[1]); };
  if (f.size() < 2 || f[0] == kObjLongMarker) return -1;
  if (f[0] != kObjCompound) {
    if (f.size() < 10) return -1;
    return f[0] + be16(&f[2]) + be16(&f[4]) + be16(&f[6]) + be16(&f[8]);
  }
  if (f.size() <= 2 || (f.size() - 2) % 9 != 0) return -1;
  long sum = 0;
  for (size_t at = 2; at < f.size(); at += 9) {
    if (f[at] == kObjLongMarker) return -1;
    sum += f[at] + be16(&f[at + 1]) + be16(&f[at + 3]) + be16(&f[at + 5]) + be16(&f[at + 7]);
  }
  return sum;
}

void relay(benchmark::State& state, long (*sum)(std::span<const uint8_t>), bool compound) {
  const Bytes frame = relayFrame(compound);
  if (sum(frame) != sumParse(frame)) state.SkipWithError("differs from parsePacket");
  for (auto _ : state) benchmark::DoNotOptimize(sum(frame));
  state.SetItemsProcessed(int64_t(state.iterations()));  // frames
}

// ---- Relayed moves: joining elements into an output queue -------------------

// What a server wrote before appendElement: a plain frame turned compound at
// hand-computed offsets (short and long targets alike).
size_t joinHand(Bytes& out, size_t last, std::span<const uint8_t> target, uint8_t cmd,
                std::span<const uint8_t> body) {
  const size_t more = target.size() + body.size();
  if (2 + more > 255) return kNoFrame;
  if (last != kNoFrame && out[last + 1] != kObjCompound) {
    const size_t t = out[last + 1] != kObjLongMarker ? 1 : 2u + out[last + 2];
    if (out[last + 1 + t] == cmd && out.size() - last + 1 + more <= 255) {
      const auto at = out.begin() + static_cast<std::ptrdiff_t>(last);
      out.insert(at + 1, kObjCompound);
      const auto from = out.begin() + static_cast<std::ptrdiff_t>(last) + 2;
      std::rotate(from, from + static_cast<std::ptrdiff_t>(t),
                  from + static_cast<std::ptrdiff_t>(t) + 1);
    }
  }
  if (last != kNoFrame && out[last + 1] == kObjCompound && out[last + 2] == cmd &&
      out.size() - last + more <= 255) {
    out.insert(out.end(), target.begin(), target.end());
    out.insert(out.end(), body.begin(), body.end());
    out[last] = static_cast<uint8_t>(out.size() - last);
    return last;
  }
  const size_t at = out.size();
  out.push_back(static_cast<uint8_t>(2 + more));
  out.insert(out.end(), target.begin(), target.end());
  out.push_back(cmd);
  out.insert(out.end(), body.begin(), body.end());
  return at;
}

using JoinFn = size_t (*)(Bytes&, size_t, std::span<const uint8_t>, uint8_t,
                          std::span<const uint8_t>);

// 40 moves of distinct actors queued for one viewer: two compound frames.
void join(benchmark::State& state, JoinFn fn) {
  auto run = [fn](Bytes& out) {
    out.clear();
    size_t frame = kNoFrame;
    for (int i = 0; i < 40; ++i) {
      const std::array<uint8_t, 1> target = {uint8_t(10 + i)};
      const auto body = fixedBody(LongLoc{int16_t(100 * i), -250, 0, int16_t(i * 37 % 360)});
      frame = fn(out, frame, target, uint8_t(Command::LongLoc), body);
    }
  };
  Bytes a, b;
  a.reserve(1024), b.reserve(1024);
  run(a);
  JoinFn other = fn == joinHand ? JoinFn(appendElement) : JoinFn(joinHand);
  std::swap(fn, other);
  run(b);
  std::swap(fn, other);
  if (a != b) state.SkipWithError("differs from appendElement");
  for (auto _ : state) {
    run(a);
    benchmark::DoNotOptimize(a.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations() * 40));  // elements
}

// Names are "<group>/<side>/<class>"; codec_ratios.py pairs them by group and class.
const bool kRegistered = [] {
  for (const StringClass& c : stringClasses()) {
    const std::string& t = c.text;
    const std::string n = c.name;
    benchmark::RegisterBenchmark(("write/veltra/" + n).c_str(), writeVeltra, t);
    benchmark::RegisterBenchmark(("write/icu/" + n).c_str(), writeIcu, t);
    benchmark::RegisterBenchmark(("write/memcpy/" + n).c_str(), writeMemcpy, t);
    benchmark::RegisterBenchmark(("read/veltra/" + n).c_str(), readVeltra, t);
    benchmark::RegisterBenchmark(("read/icu/" + n).c_str(), readIcu, t);
    benchmark::RegisterBenchmark(("read/memcpy/" + n).c_str(), readMemcpy, t);
  }
  benchmark::RegisterBenchmark("parse/veltra/mix", parseVeltra);
  benchmark::RegisterBenchmark("parse/bytesum/mix", parseByteSum);
  benchmark::RegisterBenchmark("describe/veltra/mix", describeVeltra);
  benchmark::RegisterBenchmark("describe/stream/mix", describeStream);
  for (const bool compound : {false, true}) {
    const std::string n = compound ? "compound20" : "longloc";
    benchmark::RegisterBenchmark(("relay/view/" + n).c_str(), relay, sumView, compound);
    benchmark::RegisterBenchmark(("relay/parse/" + n).c_str(), relay, sumParse, compound);
    benchmark::RegisterBenchmark(("relay/hand/" + n).c_str(), relay, sumHand, compound);
  }
  benchmark::RegisterBenchmark("join/view/longloc40", join, JoinFn(appendElement));
  benchmark::RegisterBenchmark("join/hand/longloc40", join, JoinFn(joinHand));
  return true;
}();

}  // namespace
}  // namespace veltra::proto
