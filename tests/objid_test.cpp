#include "veltra/proto/objid.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace veltra::proto {
namespace {

// An id, its short byte (0: long) and its description. Wire forms and read-back
// are the builders' exact frames and fuzz_build's round trip of every target.
TEST(ObjIDTest, Construct) {
  const std::tuple<ObjID, uint8_t, std::string> rows[] = {
      {ObjID(), 0, ""},                    // wire form 00 00
      {ObjID(uint8_t{0}), 0, ""},          // same as the default
      {ObjID(kObjClient), 1, "#1"},        // wire form 01
      {ObjID(kObjCompound), 254, "#254"},  // an ordinary short id here
      {ObjID(kObjProtocol), 255, "#255"},
      {ObjID("bot"), 0, "bot"},
      {ObjID("!bot"), 0, "bot"},    // one leading mark dropped
      {ObjID("!!bot"), 0, "!bot"},  // one per construction
      {ObjID("!"), 0, ""},
      {ObjID("a!"), 0, "a!"},
  };
  for (const auto& [id, shortId, text] : rows) {
    EXPECT_EQ(std::make_tuple(id.shortId(), id.isLong(), id.describe(), id.longId()),
              std::make_tuple(shortId, shortId == 0, text, shortId ? "" : text));
  }
}

}  // namespace
}  // namespace veltra::proto
