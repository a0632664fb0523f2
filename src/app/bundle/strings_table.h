#pragma once

#include <expected>
#include <map>
#include <string>
#include <string_view>

namespace app {

// Reads a table of interface texts in the strings format: `"KEY" = "value";` pairs with C and
// C++ comments, backslash escapes (\" \\ \n \t \r \uXXXX) and bare words for keys or values
// made only of letters, digits and _ $ + / : . -. A later pair overrides an earlier one of the
// same key. Fails, naming the line, on anything else, so a broken file is noticed rather than
// read in part.
std::expected<std::map<std::string, std::string>, std::string> parseStringsTable(
    std::string_view text);

}  // namespace app
