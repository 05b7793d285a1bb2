// Quoted renderings of text inside error messages.

#ifndef MOXAL_VALUES_DEBUG_TEXT_H_
#define MOXAL_VALUES_DEBUG_TEXT_H_

#include <string>
#include <string_view>

namespace moxal {

// `text` between double quotes, the way error descriptions show names and
// messages: '"' and '\\' get a backslash; \t \r \n \0 are written so; other
// control characters (C0, DEL, C1) as \u{hex}; bytes that are not valid UTF-8
// as \xNN (upper-case hex); everything else as it is.
std::string DebugQuote(std::string_view text);

}  // namespace moxal

#endif  // MOXAL_VALUES_DEBUG_TEXT_H_
