#include "app/service/free_space.h"

#include <fmt/format.h>
#include <sys/statvfs.h>

namespace app {

std::optional<std::uint64_t> systemFreeBytes(const std::filesystem::path& path) {
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) return std::nullopt;
  return std::uint64_t(info.f_bavail) * std::uint64_t(info.f_frsize);
}

std::filesystem::path existingAncestor(std::filesystem::path path) {
  std::error_code error;
  while (!path.empty() && !std::filesystem::exists(path, error)) {
    if (path == path.parent_path()) break;
    path = path.parent_path();
  }
  return path;
}

std::string byteCountText(std::uint64_t bytes) {
  if (bytes < 1000) return fmt::format("{} bytes", bytes);
  constexpr const char* units[] = {"kB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes) / 1000.0;
  std::size_t unit = 0;
  // Rounded as it is shown, so that 999.96 kB reads "1.0 MB" and not "1000.0 kB".
  while (unit + 1 < std::size(units) && value >= 999.95) {
    value /= 1000.0;
    ++unit;
  }
  return fmt::format("{:.1f} {}", value, units[unit]);
}

}  // namespace app
