#pragma once

// The two small text steps HTTP fields need everywhere they are read: names compared in lower
// case, and values stripped of the optional white space (spaces and tabs) around them.

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

namespace platform::http_text {

inline std::string lowercase(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

inline std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

}  // namespace platform::http_text
