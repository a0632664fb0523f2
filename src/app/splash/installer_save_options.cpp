#include "app/splash/installer_save_options.h"

#include <cstdlib>
#include <fstream>

namespace app {
namespace {

constexpr std::string_view kFallbackName = "Tovarine";

// The file name an address ends in, without its query or fragment.
std::string lastSegment(std::string_view address) {
  const auto end = address.find_first_of("?#");
  if (end != std::string_view::npos) address = address.substr(0, end);
  const auto slash = address.find_last_of('/');
  if (slash != std::string_view::npos) address = address.substr(slash + 1);
  return std::string(address);
}

}  // namespace

SavePanel::Options installerSaveOptions(std::string_view serverAddress,
                                        const std::filesystem::path& folder) {
  SavePanel::Options options;
  options.directory = folder;
  const std::string name = lastSegment(serverAddress);
  const auto dot = name.find_last_of('.');
  // A leading dot names a hidden file, not a type; a trailing one names no type.
  if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) {
    options.nameFieldStringValue = name.empty() ? std::string(kFallbackName) : name;
    options.allowsOtherFileTypes = true;
    return options;
  }
  options.nameFieldStringValue = name.substr(0, dot);
  options.allowedFileTypes = {name.substr(dot + 1)};
  options.allowsOtherFileTypes = false;
  return options;
}

std::filesystem::path downloadsFolder(const std::filesystem::path& home,
                                      const std::filesystem::path& configHome) {
  std::ifstream in(configHome / "user-dirs.dirs");
  std::string line;
  std::optional<std::filesystem::path> named;
  while (std::getline(in, line)) {
    constexpr std::string_view key = "XDG_DOWNLOAD_DIR=";
    const auto start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
    std::string value = line.substr(start + key.size());
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
      value.pop_back();
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    constexpr std::string_view homePrefix = "$HOME";
    if (value.compare(0, homePrefix.size(), homePrefix) == 0) {
      std::string rest = value.substr(homePrefix.size());
      while (!rest.empty() && rest.front() == '/')
        rest.erase(rest.begin());
      named = rest.empty() ? home : home / rest;
    } else if (!value.empty() && value.front() == '/') {
      named = std::filesystem::path(value);
    }
  }
  // Without the file the desktop's own default is ~/Downloads.
  const std::filesystem::path folder = named.value_or(home / "Downloads");
  std::error_code ec;
  if (std::filesystem::is_directory(folder, ec)) return folder;
  return home;
}

std::filesystem::path currentHomeFolder() {
  const char* homeText = std::getenv("HOME");
  return homeText && *homeText ? std::filesystem::path(homeText) : std::filesystem::path("/");
}

std::filesystem::path folderWithRoom(std::uint64_t needed,
                                     const std::vector<std::filesystem::path>& candidates,
                                     const std::filesystem::path& full,
                                     const std::filesystem::path& home,
                                     const FreeSpaceSource& freeBytes) {
  const auto fullFolder = full.lexically_normal();
  for (const auto& candidate : candidates) {
    // A folder below the full one may be another disk; the free space decides.
    const auto folder = candidate.lexically_normal();
    if (folder == fullFolder) continue;
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) continue;
    const auto free = freeBytes ? freeBytes(folder) : std::nullopt;
    if (free && *free >= needed) return candidate;
  }
  return home;
}

std::filesystem::path currentDownloadsFolder() {
  const std::filesystem::path home = currentHomeFolder();
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const std::filesystem::path configHome =
      config && *config && config[0] == '/' ? std::filesystem::path(config) : home / ".config";
  return downloadsFolder(home, configHome);
}

}  // namespace app
