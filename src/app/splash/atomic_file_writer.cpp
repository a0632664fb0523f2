#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "app/splash/splash_services.h"
#include "platform/foundation/process_info.h"

namespace app {

namespace {

constexpr std::size_t kPieceBytes = 1 << 20;

// Writes all of `data`; the reason when it cannot.
std::optional<std::string> writeAll(int fd, const std::uint8_t* data, std::size_t length) {
  std::size_t written = 0;
  while (written < length) {
    const ssize_t n = ::write(fd, data + written, length - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? std::string(std::strerror(errno)) : std::string("short write");
    written += static_cast<std::size_t>(n);
  }
  return std::nullopt;
}

}  // namespace

std::expected<void, std::string> AtomicFileWriter::copy(const std::filesystem::path& source,
                                                        const std::filesystem::path& location) {
  if (location.empty() || !location.has_filename()) return std::unexpected("no file name");
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return std::unexpected(std::string(std::strerror(errno)));
  const std::filesystem::path temporary =
      location.parent_path() /
      ("." + location.filename().string() + "." + platform::UUID().uuidString() + ".part");
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    const std::string reason = std::strerror(errno);
    ::close(in);
    return std::unexpected(reason);
  }
  std::vector<std::uint8_t> piece(kPieceBytes);
  for (;;) {
    const ssize_t n = ::read(in, piece.data(), piece.size());
    if (n < 0 && errno == EINTR) continue;
    std::optional<std::string> failure;
    if (n < 0) failure = std::string(std::strerror(errno));
    if (n > 0) failure = writeAll(fd, piece.data(), static_cast<std::size_t>(n));
    if (failure) {
      ::close(in);
      ::close(fd);
      ::unlink(temporary.c_str());
      return std::unexpected(*failure);
    }
    if (n == 0) break;
  }
  ::close(in);
  const bool synced = ::fsync(fd) == 0;
  const int syncError = errno;
  const bool closed = ::close(fd) == 0;
  if (!synced || !closed) {
    const std::string reason = std::strerror(synced ? errno : syncError);
    ::unlink(temporary.c_str());
    return std::unexpected(reason);
  }
  if (::rename(temporary.c_str(), location.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    ::unlink(temporary.c_str());
    return std::unexpected(reason);
  }
  return {};
}

}  // namespace app
