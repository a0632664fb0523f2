#pragma once

#include <string>
#include <string_view>

namespace platform {

// How `quoted` spells the characters of a text that cannot stand between double quotes as
// they are. Every style writes the quotation mark, the backslash, line feed, carriage return
// and tab as \" \\ \n \r \t, so a quoted text is always one line; the rest is the style's.
struct QuotingStyle {
  enum class Controls {
    braced,  // other C0 controls and DEL as "\u{1B}", as console lines spell them
    json,    // "\b", "\f", other C0 controls as "\u001b"; DEL as it is
  };
  Controls controls = Controls::braced;
  bool nulAsZero = false;      // NUL as "\0"
  bool c1Controls = false;     // the text read as UTF-8, U+0080–U+009F escaped too (braced)
  bool escapeSlashes = false;  // "/" as "\/"
};

// `text` between double quotes, escaped as `style` says. Bytes of ill-formed UTF-8 pass as
// they are: none of them is a control character.
void appendQuoted(std::string& out, std::string_view text, const QuotingStyle& style = {});
std::string quoted(std::string_view text, const QuotingStyle& style = {});

}  // namespace platform
