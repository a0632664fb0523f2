#include "platform/foundation/atomic_file_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace platform {

namespace {

// Writes all of `piece`; the reason when it cannot.
std::expected<void, std::string> writeAll(int fd, std::span<const std::uint8_t> piece) {
  while (!piece.empty()) {
    const ssize_t n = ::write(fd, piece.data(), piece.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(std::string(std::strerror(errno)));
    if (n == 0) return std::unexpected(std::string("short write"));
    piece = piece.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

constexpr std::string_view kTemporarySuffix = ".XXXXXX";

}  // namespace

bool isAtomicWriteTemporary(std::string_view fileName, std::string_view finalName) {
  return fileName.size() == 1 + finalName.size() + kTemporarySuffix.size() &&
         fileName.front() == '.' && fileName.substr(1, finalName.size()) == finalName &&
         fileName[1 + finalName.size()] == '.';
}

std::expected<void, std::string> writeFileAtomically(const std::filesystem::path& path,
                                                     std::string_view bytes, mode_t mode,
                                                     WriteDurability durability) {
  bool given = false;
  return writeFileAtomically(
      path,
      [&]() -> std::expected<std::span<const std::uint8_t>, std::string> {
        if (given) return {};
        given = true;
        return std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      },
      mode, durability);
}

std::expected<void, std::string> writeFileAtomically(const std::filesystem::path& path,
                                                     const FileContentSource& content, mode_t mode,
                                                     WriteDurability durability) {
  if (!path.has_filename()) return std::unexpected(fmt::format("{} names no file", path.string()));
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  // Hidden, so that a folder the user looks at never shows a half-written file.
  std::string temporary =
      (folder / ("." + path.filename().string() + std::string(kTemporarySuffix))).string();
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    return std::unexpected(
        fmt::format("The folder {} is not writable: {}", folder.string(), std::strerror(errno)));
  }
  // The reason is read before closing, which may change errno.
  auto fail = [&](std::string reason) {
    ::close(fd);
    ::unlink(temporary.c_str());
    return std::unexpected(std::move(reason));
  };
  auto notSaved = [&](int error) {
    return fmt::format("{} could not be saved: {}", path.string(), std::strerror(error));
  };
  for (;;) {
    auto piece = content();
    if (!piece) return fail(std::move(piece.error()));
    if (piece->empty()) break;
    if (auto written = writeAll(fd, *piece); !written) {
      return fail(fmt::format("{} could not be written: {}", path.string(), written.error()));
    }
  }
  // fchmod, unlike the mode given at creation, is not narrowed by the umask.
  if (::fchmod(fd, mode) != 0) return fail(notSaved(errno));
  if (durability == WriteDurability::flushed && ::fsync(fd) != 0) return fail(notSaved(errno));
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return std::unexpected(notSaved(error));
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return std::unexpected(notSaved(error));
  }
  return {};
}

}  // namespace platform
