// Text helpers shared by the JSON reader and the JSON writers: how values
// appear inside error messages, UTF-8 checking, and string quoting on output.
//
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace zt::json {

// A double as error messages show it: shortest round-trip digits written
// out in positional notation, with ".0" added when there is no fraction
// ("1.5", "1000.0", "-0.0", "18446744073709552000.0").
std::string float_text(double value);

// A decoded string in double quotes as error messages show it, with
// backslash escapes for quotes, backslashes, \t \r \n \0 and \u{..} for
// other control and invisible characters.
std::string debug_quoted(std::string_view text);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view text);

// `text` as a JSON string literal: quotes, backslash and control characters
// escaped (\" \\ \b \f \n \r \t, otherwise \u00xx); everything else as is.
std::string quoted(std::string_view text);

}  // namespace zt::json
