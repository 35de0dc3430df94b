#include "veltra/proto/property.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "veltra/proto/commands.hpp"

namespace veltra::proto {
namespace {

using namespace std::string_literals;
using B = std::vector<uint8_t>;

// What f returns, or "! " and the message of the ReadError or WriteError it throws.
template <typename F>
std::string outcome(F f) try {
  return f();
} catch (const std::runtime_error& e) {
  return std::string("! ") + e.what();
}

// Property bodies (SESSINIT: old style; PROPUPD: new style) parsed and described,
// or refused with the error of the entry cut. Writing them is the builders' exact
// frames and fuzz_build's round trip (ids, flags, access, values and order).
TEST(PropertyWire, ParseAndDescribe) {
  const std::string kEnd = "! read past the end of the packet";
  // clang-format off
  const std::pair<B, std::string> rows[] = {
      {{0x01, 0x06, 0x02, 0x03, 'a', 'b', 'c', 0x04, 0x01, '0', 0x04, 0x00,  // ids repeat
        0x11, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x05, 0x00, 0x14, 0x00},
       "SESSINIT [#1] (VAR_USERNAME=abc VAR_ERROR=0 VAR_ERROR= VAR#17= VAR#0= VAR#255= "
       "VAR_CHANNEL/BITMAP= VAR_NEW_PASSWD= )"},
      {{0x01, 0x10, /* id, flags, access */ 0x07, 0x30, 0x02, /* binary */ 0x03, 0x00, 0x01, 0x02,
        0x1C, 0x20, 0x02, /* text */ 0x03, 0xC0, 0x80, 'b', 0x20, 0x90, 0xFF, 0x00,
        0x40, 0x10, 0x00, 0x01, 0xAA},
       "PROPUPD [#1] (VAR_AVATARS=<3 bytes> VAR_NEW_USERNAME=\0b VAR_INVENTORY=<0 bytes> "
       "VAR#64=<1 bytes> )"s},
      {{0x01, 0x06}, "SESSINIT [#1] ()"}, {{0x01, 0x06, 0x02, 0x01, 'a', 0x04}, kEnd},  // no string
      {{0x01, 0x06, 0x02, 0x03, 'a', 'b'}, "! UTF string overruns the packet"},
      {{0x01, 0x10, 0x07, 0x00}, kEnd}, {{0x01, 0x10, 0x07, 0x10, 0x00}, kEnd},  // cut short
      {{0x01, 0x10, 0x07, 0x10, 0x00, 0x03, 0x00, 0x01}, "! not enough bytes in the packet"},
  };
  // clang-format on
  for (const auto& [span, text] : rows)
    EXPECT_EQ(outcome([&] { return describe(parsePacket(span).at(0)); }), text);
  PropertyList tooLong;
  tooLong.add(1, std::string(256, 'x'), kPropFlagBinary);
  EXPECT_EQ(outcome([&] { return std::to_string(buildPropertyUpdate(tooLong).size()); }),
            "! binary property longer than 255 bytes");
}

// Lookups return the first entry with an id; an empty value is still a value.
TEST(PropertyList, FindsTheFirstEntry) {
  OldPropertyList old;
  PropertyList neu;
  for (const char* v : {"first", "", "second"})  // ids 255, 0, 255
    old.add(*v ? 255 : 0, v), neu.add(*v ? 255 : 0, v);
  using V = std::vector<std::optional<std::string>>;
  EXPECT_EQ(
      (V{old.value(255), old.value(0), old.value(4), neu.value(255), neu.value(0), neu.value(4)}),
      (V{"first", "", std::nullopt, "first", "", std::nullopt}));
}

}  // namespace
}  // namespace veltra::proto
