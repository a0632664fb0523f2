#include "widgets/login-item/desktop_entry.h"

#include "platform/foundation/utf8.h"

namespace widgets::desktop_entry {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && isBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && (isBlank(text.back()) || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

bool isFieldCode(std::string_view argument) {
  static constexpr std::string_view kCodes = "fFuUdDnNickvm";
  return argument.size() == 2 && argument[0] == '%' && kCodes.find(argument[1]) != kCodes.npos;
}

}  // namespace

std::optional<std::string> quoteExecArgument(std::string_view argument) {
  if (!platform::utf8::isValid(argument)) return std::nullopt;
  std::string out = "\"";
  for (char c : argument) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\n' && c != '\t' && c != '\r') || byte == 0x7F) return std::nullopt;
    switch (c) {
      case '"':
      case '`':
      case '$':
      case '\\':
        out.push_back('\\');
        out.push_back(c);
        break;
      case '%':
        out.append("%%");
        break;
      default:
        out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

std::string escapeStringValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '\\':
        out.append("\\\\");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\r':
        out.append("\\r");
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string unescapeStringValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out.push_back(value[i]);
      continue;
    }
    char next = value[++i];
    switch (next) {
      case 's':
        out.push_back(' ');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case '\\':
        out.push_back('\\');
        break;
      default:
        out.push_back('\\');
        out.push_back(next);
    }
  }
  return out;
}

std::vector<std::string> splitExecLine(std::string_view value) {
  std::vector<std::string> arguments;
  std::string current;
  bool inArgument = false;
  bool quoted = false;
  for (std::size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (quoted) {
      if (c == '\\' && i + 1 < value.size()) {
        current.push_back(value[++i]);
      } else if (c == '"') {
        quoted = false;
      } else {
        current.push_back(c);
      }
      continue;
    }
    if (isBlank(c)) {
      if (inArgument) arguments.push_back(std::move(current));
      current.clear();
      inArgument = false;
      continue;
    }
    inArgument = true;
    if (c == '"') {
      quoted = true;
    } else {
      current.push_back(c);
    }
  }
  if (inArgument) arguments.push_back(std::move(current));

  std::vector<std::string> result;
  for (auto& argument : arguments) {
    if (isFieldCode(argument)) continue;
    std::string plain;
    for (std::size_t i = 0; i < argument.size(); ++i) {
      plain.push_back(argument[i]);
      if (argument[i] == '%' && i + 1 < argument.size() && argument[i + 1] == '%') ++i;
    }
    result.push_back(std::move(plain));
  }
  return result;
}

std::optional<std::map<std::string, std::string>> parseMainGroup(std::string_view text) {
  std::map<std::string, std::string> keys;
  bool inMain = false;
  bool found = false;
  while (!text.empty()) {
    auto end = text.find('\n');
    std::string_view line = trim(text.substr(0, end));
    text = end == text.npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inMain = line == "[Desktop Entry]";
      found = found || inMain;
      continue;
    }
    if (!inMain) continue;
    auto equals = line.find('=');
    if (equals == line.npos) continue;
    std::string_view key = trim(line.substr(0, equals));
    if (key.empty() || key.find('[') != key.npos) continue;
    // The first occurrence of a key counts, as in the usual readers.
    keys.emplace(std::string(key), std::string(trim(line.substr(equals + 1))));
  }
  if (!found) return std::nullopt;
  return keys;
}

}  // namespace widgets::desktop_entry
