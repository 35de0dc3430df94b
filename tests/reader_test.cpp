#include "veltra/proto/reader.hpp"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "veltra/proto/framer.hpp"

namespace veltra::proto {
namespace {

using B = std::vector<uint8_t>;

// What f prints of data ("+" marks bytes left unread), or "! " and the ReadError.
std::string read(std::span<const uint8_t> data, void (*f)(PacketReader&, std::ostream&)) try {
  PacketReader r(data);
  std::ostringstream os;
  f(r, os);
  return os.str() + (r.empty() ? "" : "+");
} catch (const ReadError& e) {
  return std::string("! ") + e.what();
}

// Key texts, and every error with the protocol strings that yield it. Which
// strings are read or refused at large is the ICU comparison's.
TEST(PacketReaderTest, Utf) {
  // clang-format off
  const std::pair<std::string, std::vector<B>> rows[] = {
      {std::string(1, '\0'), {{0x02, 0xc0, 0x80}}}, {"\xc3\xa9", {{0x02, 0xc3, 0xa9}}},  // U+0000, é
      {"\xf0\x9f\x98\x80", {{0x06, 0xed, 0xa0, 0xbd, 0xed, 0xb8, 0x80}}},  // a pair: U+1F600
      {"A\xdf\xbf", {{0x05, 0xc1, 0x81, 0xe0, 0x9f, 0xbf}}},  // overlong forms: their values
      {"! UTF string overruns the packet", {{0x03, 'h', 'i'}}},
      // A sequence that the length byte cuts, though the frame goes on.
      {"! malformed UTF (2-byte sequence)", {{0x02, 'a', 0xc3, 0xa9}}},
      {"! malformed UTF (3-byte sequence)", {{0x03, 'a', 0xe2, 0x82, 0xac}}},
      {"! malformed UTF (continuation byte)", {{0x02, 0xc3, 0x28}, {0x03, 0xe2, 0x82, 0x28}}},
      {"! malformed UTF (invalid lead byte)",  // no 4-byte form, even where three bytes would fit
       {{0x01, 0x80}, {0x04, 0xf0, 0x9f, 0x98, 0x80}, {0x03, 0xf0, 0x80, 0x80}}},
  };
  // clang-format on
  for (const auto& [out, wires] : rows)
    for (const B& wire : wires)
      EXPECT_EQ(read(wire, [](PacketReader& r, std::ostream& os) { os << r.utf(); }), out);
}

// Every field type in one frame, read whole, and cut at every length: then the
// read fails with the error of the field cut.
TEST(PacketReaderTest, FieldsAndEveryCut) {
  const uint8_t kFrame[] = {
      0x00, 0x03, 'b',  'o',  't',  0x0e,  // target: long id "bot"; command: TEXT
      0x80, 0x00, 0x80, 0xc8,              // i16 -32768, i8 -128, u8 200
      0x02, 0xc3, 0xa9, 0x12, 0x34,        // string U+00E9, u16 0x1234
      0x00, 0x41, 0x5a,                    // bytes(2) "\0A", a byte skipped
  };
  const auto all = [](PacketReader& r, std::ostream& os) {  // << reads left to right
    os << r.objid().describe() << ' ' << int{r.u8()} << ' ' << r.i16() << ' ' << int{r.i8()} << ' '
       << int{r.u8()} << ' ' << r.utf() << ' ' << r.u16() << ' ' << r.bytes(2);
    r.skipAll();
  };
  const std::string kOutcomes[] = {"! read past the end of the packet",
                                   "! UTF string overruns the packet",
                                   "! not enough bytes in the packet",
                                   std::string("bot 14 -32768 -128 200 \xc3\xa9 4660 \0A", 33)};
  for (size_t n = 0; n <= sizeof(kFrame); ++n)
    EXPECT_EQ(read(std::span(kFrame, n), all), kOutcomes["0011100000011002233"[n] - '0']) << n;
  PacketReader r{std::span(kFrame).last(3)};
  EXPECT_THROW(r.bytes(4), ReadError);
  EXPECT_EQ(r.bytes(3), std::string("\0AZ", 3));  // the failed read consumed nothing
}

// A stream of frames fed in pieces of any size, as reads give them: the same frames come out,
// and feed never takes more than the room left.
TEST(Framer, SplitsAStreamFedInAnyPieces) {
  std::mt19937 rng(7);
  std::vector<B> frames;
  B stream;
  for (int i = 0; i < 200; ++i) {
    B f(3 + rng() % 253, static_cast<uint8_t>(i));
    f[0] = static_cast<uint8_t>(f.size());
    frames.push_back(f), stream.insert(stream.end(), f.begin(), f.end());
  }
  Framer framer;
  std::vector<B> got;
  for (size_t at = 0; at < stream.size();) {
    const size_t piece = std::min<size_t>(stream.size() - at, rng() % 6000), room = framer.space();
    const size_t took = framer.feed(std::span(stream).subspan(at, piece));
    ASSERT_EQ(took, std::min(piece, room));
    at += took;
    for (std::span<const uint8_t> f; framer.nextWhole(f) == Framer::Result::kFrame;)
      got.emplace_back(f.begin(), f.end());
  }
  EXPECT_EQ(got, frames);
  EXPECT_EQ(framer.buffered(), 0u);
}

}  // namespace
}  // namespace veltra::proto
