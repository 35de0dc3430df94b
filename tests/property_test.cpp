#include "veltra/proto/property.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace veltra::proto {
namespace {

// Lookups return the first entry with an id; an empty value is still a value. The
// wire forms and descriptions of lists are the parser's table (commands test).
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
