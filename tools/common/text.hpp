// Text from a peer, a file or the command line made safe to print or to put
// in JSON, whatever bytes it holds.
#pragma once

#include <string>
#include <string_view>

namespace veltra::tools {

// Control characters (C0, DEL, C1) and every byte that is not part of
// well-formed UTF-8 as \xNN, the backslash as \\: a peer's text can neither
// end a log line nor reach a terminal as an escape, and prints as valid UTF-8.
std::string escapeText(std::string_view text);
// Every byte that is not part of well-formed UTF-8 (a stray or overlong byte,
// an encoded surrogate, beyond U+10FFFF) becomes U+FFFD; the rest stays.
std::string validUtf8(std::string_view text);
// &, <, >, " and ' as character references, for HTML or XML text and attribute values.
std::string markupEntities(std::string_view text);

}  // namespace veltra::tools
