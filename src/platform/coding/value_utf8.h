#pragma once

#include <string_view>

namespace platform {

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF and no truncated sequence. Embedded NULs are allowed.
bool isValidUtf8(std::string_view text);

}  // namespace platform
