#include "streaming/tether/support/device_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>

namespace streaming::fakes {

namespace {

std::uint16_t boundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

int bindLoopback() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot bind 127.0.0.1");
  }
  return fd;
}

void writeAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
}

}  // namespace

ReservedPort::ReservedPort() : fd(bindLoopback()), port(boundPort(fd)) {}

ReservedPort::~ReservedPort() {
  if (fd >= 0) ::close(fd);
}

DevicePeer::DevicePeer(int boundSocket) {
  listenFd_ = boundSocket >= 0 ? boundSocket : bindLoopback();
  if (::listen(listenFd_, 16) != 0) throw std::runtime_error("cannot listen");
  port_ = boundPort(listenFd_);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { run(); });
}

DevicePeer::~DevicePeer() {
  stopping_ = true;
  wake();
  thread_.join();
  for (auto& connection : connections_) {
    if (connection->open) ::close(connection->fd);
  }
  ::close(listenFd_);
  ::close(wakeFd_);
}

void DevicePeer::setGreeting(std::vector<platform::TLData> frames) {
  std::lock_guard lock(mutex_);
  greeting_ = std::move(frames);
}

int DevicePeer::acceptedCount() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

int DevicePeer::openCount() const {
  std::lock_guard lock(mutex_);
  int count = 0;
  for (const auto& connection : connections_)
    count += connection->open ? 1 : 0;
  return count;
}

std::vector<DevicePeer::Frame> DevicePeer::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::size_t DevicePeer::pingCount() const {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (const auto& frame : received_)
    count += frame.type == 102 ? 1 : 0;
  return count;
}

void DevicePeer::send(std::uint32_t type, std::uint32_t tag,
                      std::span<const std::uint8_t> payload) {
  sendRaw(platform::encodeWireFrame(type, tag, payload));
}

void DevicePeer::sendRaw(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
    if ((*it)->open) {
      writeAll((*it)->fd, bytes);
      return;
    }
  }
}

void DevicePeer::closeNewest() {
  std::lock_guard lock(mutex_);
  for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
    if ((*it)->open) {
      drop(**it);
      wake();
      return;
    }
  }
}

void DevicePeer::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
}

void DevicePeer::drop(Connection& connection) {
  ::close(connection.fd);
  connection.open = false;
}

void DevicePeer::run() {
  // Collects frames for the peer under the peer's lock, answering pings on the spot.
  struct Sink : platform::TLFrameSink {
    DevicePeer* peer;
    int fd;
    platform::TLFrameDisposition frameHeaderReceived(const platform::TLFrameHeader&) override {
      return platform::TLFrameDisposition::accept;
    }
    bool frameReceived(const platform::TLFrameHeader& header, platform::TLData payload) override {
      if (header.type == 102 && peer->answerPings_) {
        writeAll(fd, platform::encodeWireFrame(103, header.tag, {}));
      }
      peer->received_.push_back({header.type, header.tag, std::move(payload)});
      return true;
    }
  };
  std::array<std::uint8_t, 64 * 1024> buffer;
  while (!stopping_) {
    std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
    std::vector<Connection*> polled;
    {
      std::lock_guard lock(mutex_);
      for (auto& connection : connections_) {
        if (!connection->open) continue;
        fds.push_back({connection->fd, POLLIN, 0});
        polled.push_back(connection.get());
      }
    }
    if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
    if (fds[0].revents & POLLIN) {
      std::uint64_t drained;
      [[maybe_unused]] auto n = ::read(wakeFd_, &drained, sizeof drained);
    }
    if (fds[1].revents & POLLIN) {
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        std::lock_guard lock(mutex_);
        ++accepted_;
        for (const auto& frame : greeting_)
          writeAll(fd, frame);
        connections_.push_back(std::make_unique<Connection>(Connection{fd, {}, true}));
      }
    }
    for (std::size_t i = 0; i < polled.size(); ++i) {
      if (!(fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      std::lock_guard lock(mutex_);
      Connection& connection = *polled[i];
      if (!connection.open) continue;
      const ssize_t n = ::recv(connection.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        drop(connection);
        continue;
      }
      if (n < 0) continue;
      Sink sink;
      sink.peer = this;
      sink.fd = connection.fd;
      if (connection.decoder.feed(std::span(buffer.data(), static_cast<std::size_t>(n)), sink) ==
          platform::TLFrameDecoder::Status::failed) {
        drop(connection);
      }
    }
  }
}

}  // namespace streaming::fakes
