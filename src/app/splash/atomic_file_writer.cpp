#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>
#include <vector>

#include "app/splash/splash_services.h"
#include "platform/foundation/atomic_file_write.h"

namespace app {

namespace {
constexpr std::size_t kPieceBytes = 1 << 20;
}  // namespace

std::expected<void, WriteFailure> AtomicFileWriter::copy(const std::filesystem::path& source,
                                                         const std::filesystem::path& location) {
  if (location.empty() || !location.has_filename()) {
    return std::unexpected(WriteFailure{"no file name", std::nullopt});
  }
  std::error_code error;
  const auto size = std::filesystem::file_size(source, error);
  if (error) return std::unexpected(WriteFailure{error.message(), std::nullopt});
  const std::filesystem::path folder = location.parent_path();
  // The room there, against the whole file: a copy that could not end is not begun.
  auto shortage = [&]() -> std::optional<SpaceShortage> {
    const auto free = freeBytes_ ? freeBytes_(existingAncestor(folder)) : std::nullopt;
    if (free && *free < size) return SpaceShortage{folder, *free, size};
    return std::nullopt;
  };
  if (auto missing = shortage()) {
    return std::unexpected(WriteFailure{"not enough free space", missing});
  }
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return std::unexpected(WriteFailure{std::strerror(errno), std::nullopt});
  std::vector<std::uint8_t> piece(kPieceBytes);
  auto next = [&]() -> std::expected<std::span<const std::uint8_t>, std::string> {
    for (;;) {
      const ssize_t n = ::read(in, piece.data(), piece.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::unexpected(std::string(std::strerror(errno)));
      return std::span<const std::uint8_t>(piece.data(), static_cast<std::size_t>(n));
    }
  };
  auto written = platform::writeFileAtomically(location, next, 0644);
  ::close(in);
  if (written) return {};
  // Something else may have taken the room meanwhile; the partial copy is gone by now.
  return std::unexpected(WriteFailure{written.error(), shortage()});
}

}  // namespace app
