#include "platform/foundation/bundle.h"

#include <algorithm>
#include <cstdlib>

namespace platform {

std::filesystem::path mainBundlePath() {
  if (const char* env = std::getenv("TOVARINE_RESOURCES"); env != nullptr && *env != '\0') {
    return env;
  }
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return executable.parent_path() / "resources";
}

std::vector<std::filesystem::path> Bundle::pathsForResourcesOfType(const std::string& type) const {
  const std::string extension = "." + (type.starts_with('.') ? type.substr(1) : type);
  std::vector<std::filesystem::path> paths;
  std::error_code error;
  if (path_.empty() || !std::filesystem::is_directory(path_, error)) return paths;
  for (const auto& entry : std::filesystem::directory_iterator(path_, error)) {
    if (entry.is_regular_file(error) && entry.path().extension() == extension) {
      paths.push_back(entry.path());
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

}  // namespace platform
