// The string conversions: lenient cases by table, and the codec against ICU's
// Java-modified UTF-8 over generated texts and byte strings. Generation is
// deterministic (fixed seed) and bounded.
#include <gtest/gtest.h>
#include <unicode/ustring.h>

#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "proto/utf.hpp"
#include "veltra/proto/reader.hpp"
#include "veltra/proto/writer.hpp"

namespace veltra::proto {
namespace {

using Units = std::vector<uint16_t>;

// Bytes to code units, and the encoded length of those units; where the bytes are
// the canonical form, units back to the same bytes. Valid texts at large (every
// range, pairs, lone and reversed surrogates) are the ICU comparison's.
TEST(UtfTest, Conversions) {
  // clang-format off
  const std::tuple<std::string, Units, size_t, bool> rows[] = {
      {"\xf4\x8f\xbf\xbf", {0xdbff, 0xdfff}, 6, true}, {"\xed\xa0\x80", {0xd800}, 3, true},  // U+10FFFF, U+D800
      {"\xed\xa0\xbd\xf0\x9f\x98\x80", {0xd83d, 0xd83d, 0xde00}, 9, true},  // a lone high, then a pair
      {"\xc0\x80", {0x00}, 2, false}, {"\xf0\x80\x80\x80", {0x00}, 2, false},  // overlong: the value
      // A byte that starts no complete sequence stands for itself (Latin-1), and
      // decoding resumes after it; so does the lead byte of a value above U+10FFFF.
      {"\xe9", {0xe9}, 2, false}, {"\xc3\x28", {0xc3, 0x28}, 3, false},
      {"\xe2\x82\x28", {0xe2, 0x82, 0x28}, 5, false}, {"\xf0\x9f\x98", {0xf0, 0x9f, 0x98}, 6, false},
      {"\xf4\x90\x80\x80", {0xf4, 0x90, 0x80, 0x80}, 8, false},
      {"\x80\xf8\x88\x80\x80", {0x80, 0xf8, 0x88, 0x80, 0x80}, 10, false},
  };
  // clang-format on
  for (const auto& [input, units, encoded, canonical] : rows) {
    EXPECT_EQ(std::make_pair(detail::toUtf16(input), utfLength(input)),
              std::make_pair(units, encoded))
        << testing::PrintToString(input);
    if (canonical) {
      EXPECT_EQ(detail::fromUtf16(units), input);
    }
  }
}

// An ICU conversion into a buffer large enough for any input; nothing where ICU
// refuses the input (malformed bytes; lone surrogates for standard UTF-8).
template <typename Out, typename In, typename F>
std::optional<Out> icu(F convert, const In& in) {
  Out out(in.size() * 3, 0);
  UErrorCode status = U_ZERO_ERROR;
  int32_t len = 0;
  convert(out.data(), int32_t(out.size()), &len, in.data(), int32_t(in.size()), &status);
  return U_SUCCESS(status) ? std::optional(out.substr(0, size_t(len))) : std::nullopt;
}
void icuFromModified(UChar* d, int32_t n, int32_t* len, const char* s, int32_t sn, UErrorCode* e) {
  u_strFromJavaModifiedUTF8WithSub(d, n, len, s, sn, U_SENTINEL, nullptr, e);
}

// A protocol string of exactly these bytes read by ICU (its units as our UTF-8)
// and by our reader; nothing where refused.
std::optional<std::string> icuRead(const std::string& bytes) {
  const auto units = icu<std::u16string>(icuFromModified, bytes);
  return units ? std::optional(detail::fromUtf16({units->begin(), units->end()})) : std::nullopt;
}
std::optional<std::string> ourRead(const std::string& bytes) try {
  std::vector<uint8_t> wire(bytes.begin(), bytes.end());
  wire.insert(wire.begin(), uint8_t(bytes.size()));
  return PacketReader(wire).utf();
} catch (const ReadError&) {
  return std::nullopt;
}

TEST(UtfIcuTest, AgreesOnGeneratedTexts) {
  // Units from ranges by encoded length (4: a pair); 5, surrogates alone (lone,
  // reversed or paired by chance), only in every other text.
  static constexpr char16_t kLow[] = {0, 0x80, 0x800, 0xe000, 0xdc00, 0xd800};
  static constexpr char16_t kSpan[] = {0x80, 0x780, 0xd000, 0x2000, 0x400, 0x800};
  std::mt19937 rng(1);
  int compared = 0, refused = 0, accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    std::u16string units;
    for (uint32_t n = rng() % 101, k = 0; n > 0; --n) {
      if ((k = rng() % (i % 2 ? 6 : 5)) == 4) units += char16_t(0xd800 + rng() % 0x400);
      units += char16_t(kLow[k] + rng() % kSpan[k]);
    }
    const std::string text = detail::fromUtf16({units.begin(), units.end()});
    const std::string bytes = icu<std::string>(u_strToJavaModifiedUTF8, units).value();
    SCOPED_TRACE(testing::PrintToString(text));
    // Units become text and come back unchanged; valid text is ICU's UTF-8.
    ASSERT_EQ(detail::toUtf16(text), Units(units.begin(), units.end()));
    ASSERT_EQ(icu<std::string>(u_strToUTF8, units).value_or(text), text);
    // The writer writes ICU's bytes, within the same 255-byte limit.
    ASSERT_EQ(utfLength(text), bytes.size());
    // Cut to a limit: the longest prefix of whole characters whose wire form fits.
    const size_t limit = i % 256, fits = utfPrefix(text, limit);
    ASSERT_LE(utfLength(text.substr(0, fits)), limit);
    if (fits < text.size()) {
      const auto lead = static_cast<uint8_t>(text[fits]);
      const size_t next = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
      ASSERT_GT(utfLength(text.substr(0, fits + next)), limit) << limit;
    }
    PacketWriter w(ObjID(kObjClient), Command::Text);
    if (bytes.size() > 255) {
      ASSERT_THROW(w.utf(text), WriteError);
      ++refused;
    } else if (bytes.size() <= 251) {  // a frame holds it
      w.utf(text);
      const Bytes frame = w.finish();
      ASSERT_EQ(std::string(frame.begin() + 3, frame.end()), char(bytes.size()) + bytes);
      ++compared;
    }
    // The bytes, a few changed and maybe cut, are read or refused alike; plain zero
    // bytes, overlong forms and encoded surrogates among them, which both sides read.
    std::string cut = bytes.substr(0, 255);
    for (uint32_t m = rng() % 3; m > 0 && !cut.empty(); --m) cut[rng() % cut.size()] = char(rng());
    cut.resize(rng() % 2 ? cut.size() : rng() % (cut.size() + 1));
    const auto ours = ourRead(cut);
    ASSERT_EQ(ours, icuRead(cut)) << testing::PrintToString(cut);
    accepted += ours.has_value();
  }
  // Both sides of the limit and both outcomes of reading must be well represented.
  EXPECT_TRUE(compared > 5000 && refused > 400 && accepted > 4000 && accepted < 16000)
      << compared << ' ' << refused << ' ' << accepted;
}

}  // namespace
}  // namespace veltra::proto
