#include "platform/foundation/mime_types.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace platform {

namespace {

std::string lowercased(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

}  // namespace

const MimeTypes& MimeTypes::system() {
  static const MimeTypes table = fromFile("/etc/mime.types");
  return table;
}

MimeTypes MimeTypes::fromFile(const std::string& path) {
  std::ifstream file(path);
  if (!file) return {};
  std::stringstream text;
  text << file.rdbuf();
  return fromText(text.str());
}

MimeTypes MimeTypes::fromText(std::string_view text) {
  MimeTypes table;
  std::istringstream lines{std::string(text)};
  std::string line;
  while (std::getline(lines, line)) {
    if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string type;
    if (!(words >> type)) continue;
    // Only "type/subtype" names a media type.
    if (type.find('/') == std::string::npos) continue;
    std::string extension;
    while (words >> extension) {
      table.types_.try_emplace(lowercased(extension), type);
    }
  }
  return table;
}

std::optional<std::string> MimeTypes::preferredTypeForExtension(std::string_view extension) const {
  if (extension.empty()) return std::nullopt;
  const auto found = types_.find(lowercased(extension));
  if (found == types_.end()) return std::nullopt;
  return found->second;
}

}  // namespace platform
