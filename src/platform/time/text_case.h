#pragma once

#include <string>
#include <string_view>

namespace platform {

// Unicode letter cases of UTF-8 text, locale-independent. Text that is not valid UTF-8 has only
// its ASCII letters changed, so no byte of it is lost or replaced.
std::string uppercased(std::string_view text);
std::string lowercased(std::string_view text);

// Whether a code point is in the platform's upper-case (Lu, Lt) or lower-case (Ll) letter set.
bool isUppercaseLetter(char32_t c);
bool isLowercaseLetter(char32_t c);

}  // namespace platform
