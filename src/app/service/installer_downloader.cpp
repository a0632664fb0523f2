#include "app/service/installer_downloader.h"

#include <cstdlib>
#include <string>

namespace app {
namespace {

constexpr const char* kDefaultInstallerName = "Tovarine.dmg";
// Longer names are cut; file systems refuse names past 255 bytes.
constexpr std::size_t kMaxFileNameBytes = 200;

}  // namespace

std::filesystem::path installerCacheFolder() {
  std::filesystem::path caches;
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/') {
    caches = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    caches = std::filesystem::path(home) / ".cache";
  } else {
    caches = std::filesystem::temp_directory_path();
  }
  return caches / "tovarine";
}

std::string safeInstallerFileName(std::string_view suggestedName) {
  // Only the last component of whatever path the server sent, with either separator.
  const auto slash = suggestedName.find_last_of("/\\");
  std::string_view base =
      slash == std::string_view::npos ? suggestedName : suggestedName.substr(slash + 1);
  std::string name;
  for (char c : base) {
    const auto u = static_cast<unsigned char>(c);
    // Control characters have no place in a file name shown to the user.
    name += (u < 0x20 || u == 0x7F) ? '_' : c;
  }
  if (name.size() > kMaxFileNameBytes) {
    name.resize(kMaxFileNameBytes);
    // Never end inside a multi-byte character.
    while (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xC0) == 0x80) {
      name.pop_back();
    }
    if (!name.empty() && static_cast<unsigned char>(name.back()) >= 0xC0) name.pop_back();
  }
  const bool onlyDots = name.find_first_not_of('.') == std::string::npos;
  if (name.empty() || onlyDots || name.front() == '.' || name.front() == '-') {
    return kDefaultInstallerName;
  }
  return name;
}

std::filesystem::path installerDestination(std::string_view suggestedName) {
  return installerCacheFolder() / safeInstallerFileName(suggestedName);
}

}  // namespace app
