#include "platform/time/text_case.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>

#include "platform/foundation/utf8.h"
#include "platform/time/icu_support.h"

namespace platform {

namespace {

std::string asciiMapped(std::string_view text, char from, char to) {
  std::string out(text);
  for (char& c : out) {
    if (c >= from && c <= static_cast<char>(from + 25)) c = static_cast<char>(c - from + to);
  }
  return out;
}

}  // namespace

std::string uppercased(std::string_view text) {
  if (!utf8::isValid(text)) return asciiMapped(text, 'a', 'A');
  return icu_support::toUTF8(icu_support::toUnicode(text).toUpper(icu::Locale::getRoot()));
}

std::string lowercased(std::string_view text) {
  if (!utf8::isValid(text)) return asciiMapped(text, 'A', 'a');
  return icu_support::toUTF8(icu_support::toUnicode(text).toLower(icu::Locale::getRoot()));
}

bool isUppercaseLetter(char32_t c) {
  const auto type = u_charType(static_cast<UChar32>(c));
  return type == U_UPPERCASE_LETTER || type == U_TITLECASE_LETTER;
}

bool isLowercaseLetter(char32_t c) {
  return u_charType(static_cast<UChar32>(c)) == U_LOWERCASE_LETTER;
}

}  // namespace platform
