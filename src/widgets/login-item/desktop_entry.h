#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Reading and writing the few parts of the freedesktop.org Desktop Entry format that an
// autostart entry needs: the keys of the main group, string escapes and the Exec line's
// quoting.
namespace widgets::desktop_entry {

// The argument quoted for an Exec line: in double quotes, with '"', '`', '$' and '\' escaped
// by a backslash and '%' doubled. Nothing when the text is not UTF-8 or holds a control
// character that no escape can carry.
std::optional<std::string> quoteExecArgument(std::string_view argument);

// The escapes of string values: '\' as "\\", newline as "\n", tab as "\t", carriage return
// as "\r". Applied to a whole value after quoting.
std::string escapeStringValue(std::string_view value);
// The reverse, also reading "\s" as a space; an unknown escape is kept as written.
std::string unescapeStringValue(std::string_view value);

// Splits an unescaped Exec value into arguments: blanks separate them outside double quotes;
// inside, a backslash takes the next character literally; "%%" reads as '%' and arguments
// that are a bare field code ("%f", "%U", ...) are dropped.
std::vector<std::string> splitExecLine(std::string_view value);

// The keys of the "[Desktop Entry]" group with their raw (still escaped) values; comments,
// other groups and localised keys ("Name[it]") are skipped. Nothing when the group is missing.
std::optional<std::map<std::string, std::string>> parseMainGroup(std::string_view text);

}  // namespace widgets::desktop_entry
