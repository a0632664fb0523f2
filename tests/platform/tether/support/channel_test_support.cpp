#include "platform/tether/support/channel_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "platform/dispatch/main_queue.h"

namespace platform::fakes {

bool RecordingDelegate::shouldAcceptFrame(const std::shared_ptr<TLChannel>& channel,
                                          std::uint32_t type, std::uint32_t, std::uint32_t) {
  bool refuse, close;
  {
    std::lock_guard lock(mutex_);
    announced_.push_back(type);
    refuse = refused_.count(type) > 0;
    close = refuse && closeOnRefusal_;
  }
  if (close) channel->close();
  return !refuse;
}

void RecordingDelegate::didReceiveFrame(const std::shared_ptr<TLChannel>& channel,
                                        std::uint32_t type, std::uint32_t tag,
                                        const TLData* payload) {
  bool close;
  {
    std::lock_guard lock(mutex_);
    frames_.push_back({type, tag, payload ? std::optional<TLData>(*payload) : std::nullopt});
    close = closeOn_.count(type) > 0;
  }
  if (close) channel->close();
}

void RecordingDelegate::didEnd(const std::shared_ptr<TLChannel>&, std::error_code error) {
  std::lock_guard lock(mutex_);
  ++ends_;
  endError_ = error;
}

std::vector<RecordingDelegate::Frame> RecordingDelegate::frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

std::size_t RecordingDelegate::frameCount() const {
  std::lock_guard lock(mutex_);
  return frames_.size();
}

int RecordingDelegate::endCount() const {
  std::lock_guard lock(mutex_);
  return ends_;
}

std::error_code RecordingDelegate::endError() const {
  std::lock_guard lock(mutex_);
  return endError_;
}

std::vector<std::uint32_t> RecordingDelegate::announcedTypes() const {
  std::lock_guard lock(mutex_);
  return announced_;
}

void RecordingDelegate::refuseType(std::uint32_t type, bool closeOnRefusal) {
  std::lock_guard lock(mutex_);
  refused_.insert(type);
  closeOnRefusal_ = closeOnRefusal;
}

void RecordingDelegate::closeOnType(std::uint32_t type) {
  std::lock_guard lock(mutex_);
  closeOn_.insert(type);
}

SocketPair::SocketPair() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    throw std::runtime_error("socketpair failed");
  }
  first = fds[0];
  second = fds[1];
}

SocketPair::~SocketPair() {
  if (first >= 0) ::close(first);
  if (second >= 0) ::close(second);
}

void writeAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("write failed");
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
}

LoopbackListener::LoopbackListener(bool listen, int backlog) {
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("bind failed");
  }
  if (listen && ::listen(fd, backlog) != 0) throw std::runtime_error("listen failed");
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
  ::close(fd);
}

int LoopbackListener::acceptOne() const {
  return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
}

bool waitUntil(const std::function<bool()>& condition, double seconds) {
  return runMainUntil(condition, seconds);
}

}  // namespace platform::fakes
