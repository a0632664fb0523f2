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

std::expected<void, std::string> AtomicFileWriter::copy(const std::filesystem::path& source,
                                                        const std::filesystem::path& location) {
  if (location.empty() || !location.has_filename()) return std::unexpected("no file name");
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return std::unexpected(std::string(std::strerror(errno)));
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
  return written;
}

}  // namespace app
