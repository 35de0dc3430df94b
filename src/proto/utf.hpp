// Conversions between UTF-8 text and UTF-16 code units, the two halves of the
// protocol string codec. Both are lenient and never fail on content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "veltra/proto/writer.hpp"  // utfLength

// For the string codec's short copies, which must stay calls to the library's
// memcpy: where GCC can bound a copy's size (a string is at most 255 bytes), it
// inlines it as a block-move instruction whose start-up alone costs more than
// converting a short string. Keeping the copying function out of GCC's
// inter-procedural analysis hides the bound; clang calls memcpy anyway.
#if defined(__clang__)
#define VELTRA_OUT_OF_LINE [[gnu::noinline]]
#else
#define VELTRA_OUT_OF_LINE [[gnu::noipa]]
#endif

namespace veltra::proto {

namespace detail {

// UTF-8 to code units. A byte that does not start a complete sequence becomes
// one unit of its own value (Latin-1), so no input is rejected.
std::vector<uint16_t> toUtf16(std::string_view s);

// Code units to UTF-8. Paired surrogates become one 4-byte character; lone
// surrogates are written as 3-byte sequences.
std::string fromUtf16(const std::vector<uint16_t>& units);

}  // namespace detail
}  // namespace veltra::proto
