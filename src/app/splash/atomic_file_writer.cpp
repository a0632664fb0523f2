#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/splash/splash_services.h"
#include "platform/foundation/process_info.h"

namespace app {

std::expected<void, std::string> AtomicFileWriter::write(const platform::Bytes& data,
                                                         const std::filesystem::path& location) {
  if (location.empty() || !location.has_filename()) return std::unexpected("no file name");
  const std::filesystem::path temporary =
      location.parent_path() /
      ("." + location.filename().string() + "." + platform::UUID().uuidString() + ".part");
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return std::unexpected(std::string(std::strerror(errno)));
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string reason = n < 0 ? std::strerror(errno) : "short write";
      ::close(fd);
      ::unlink(temporary.c_str());
      return std::unexpected(reason);
    }
    written += static_cast<std::size_t>(n);
  }
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
