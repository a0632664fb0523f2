#include "companion/companion_server.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <fstream>

#include "platform/foundation/log.h"
#include "platform/tether/tl_address.h"

namespace streaming::companion {

namespace {

constexpr std::uint32_t kDeviceInfo = 100;
constexpr std::uint32_t kScreenImage = 101;
constexpr std::uint32_t kPing = 102;
constexpr std::uint32_t kPong = 103;
constexpr std::uint32_t kUnknownType = 104;
constexpr std::uint32_t kScreenDescription = 105;

}  // namespace

struct CompanionServer::Connection : platform::TLFrameSink {
  CompanionServer* server = nullptr;
  int fd = -1;
  std::mutex writeMutex;
  std::thread thread;
  std::atomic<bool> finished{false};

  bool write(std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(writeMutex);
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
  }

  bool writeFrame(std::uint32_t type, std::uint32_t tag, std::span<const std::uint8_t> payload) {
    return write(platform::encodeWireFrame(type, tag, payload));
  }

  void hangUp() { ::shutdown(fd, SHUT_RDWR); }

  platform::TLFrameDisposition frameHeaderReceived(const platform::TLFrameHeader&) override {
    return platform::TLFrameDisposition::accept;
  }

  bool frameReceived(const platform::TLFrameHeader& header, platform::TLData payload) override {
    switch (header.type) {
      case kPing: {
        const bool answered = writeFrame(kPong, header.tag, {});
        std::lock_guard lock(server->mutex_);
        if (answered) ++server->statistics_.pongs;
        break;
      }
      case kScreenImage:
        server->imageReceived(std::move(payload));
        break;
      default: {
        std::lock_guard lock(server->mutex_);
        ++server->statistics_.otherFrames;
        break;
      }
    }
    return true;
  }
};

CompanionServer::CompanionServer(Options options)
    : options_(std::move(options)),
      expectedSize_(expectedImageSize(options_.width, options_.height)) {}

CompanionServer::~CompanionServer() {
  stop();
}

std::error_code CompanionServer::start() {
  if (options_.saveDirectory) {
    std::error_code error;
    std::filesystem::create_directories(*options_.saveDirectory, error);
    if (error) return error;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {errno, std::system_category()};
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  address.sin_addr.s_addr = htonl(platform::kTLLoopbackIPv4);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0) {
    const std::error_code error(errno, std::system_category());
    ::close(fd);
    return error;
  }
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  boundPort_ = ntohs(address.sin_port);
  listenFd_ = fd;
  // The simulator's threads carry its name, so that a benchmark running it in the same process
  // can leave its work out of the road's.
  acceptThread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "companion");
    acceptLoop();
  });
  if (!options_.quiet) tickerThread_ = std::thread([this] { tickerLoop(); });
  return {};
}

void CompanionServer::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  stopSignal_.notify_all();
  if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);
  if (acceptThread_.joinable()) acceptThread_.join();
  if (tickerThread_.joinable()) tickerThread_.join();
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
  reapFinished(true);
}

void CompanionServer::reapFinished(bool all) {
  std::list<std::shared_ptr<Connection>> done;
  {
    std::lock_guard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (all || (*it)->finished) {
        done.push_back(*it);
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& connection : done) {
    connection->hangUp();
    if (connection->thread.joinable()) connection->thread.join();
    ::close(connection->fd);
  }
}

void CompanionServer::acceptLoop() {
  while (true) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // shut down
    }
    reapFinished(false);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto connection = std::make_shared<Connection>();
    connection->server = this;
    connection->fd = fd;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) {
        ::close(fd);
        return;
      }
      ++statistics_.connections;
      connections_.push_back(connection);
    }
    connection->thread = std::thread([this, connection] {
      pthread_setname_np(pthread_self(), "companion");
      serve(connection);
    });
  }
}

void CompanionServer::serve(const std::shared_ptr<Connection>& connection) {
  const auto description =
      encodeScreenDescription(options_.name, options_.width, options_.height, options_.ppi);
  const auto info = encodeDeviceInfo(options_.name, options_.width, options_.height, options_.ppi);
  bool open = connection->writeFrame(kScreenDescription, 0, description) &&
              connection->writeFrame(kDeviceInfo, 0, info);
  for (auto action : options_.script) {
    if (!open) break;
    perform(*connection, action);
  }
  platform::TLFrameDecoder decoder;
  std::array<std::uint8_t, 64 * 1024> buffer;
  while (open) {
    const ssize_t n = ::recv(connection->fd, buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const auto status =
        decoder.feed(std::span(buffer.data(), static_cast<std::size_t>(n)), *connection);
    if (status == platform::TLFrameDecoder::Status::failed) {
      platform::print(fmt::format("Malformed frame from the application ({}); hanging up",
                                  decoder.error().message()));
      std::lock_guard lock(mutex_);
      ++statistics_.brokenStreams;
      break;
    }
  }
  connection->hangUp();
  connection->finished = true;
}

void CompanionServer::perform(Connection& connection, ScriptAction action) {
  switch (action) {
    case ScriptAction::unknownType:
      connection.writeFrame(kUnknownType, 0, {});
      break;
    case ScriptAction::oversized: {
      const auto header = platform::encodeFrameHeader(
          {platform::kTLProtocolVersion, kScreenImage, 0, platform::kTLMaxPayloadSize + 1});
      connection.write(header);
      break;
    }
    case ScriptAction::garbage: {
      static constexpr std::string_view kGarbage = "this is no frame header at all";
      connection.write(
          std::span(reinterpret_cast<const std::uint8_t*>(kGarbage.data()), kGarbage.size()));
      break;
    }
    case ScriptAction::close:
      connection.hangUp();
      break;
  }
}

void CompanionServer::imageReceived(platform::TLData image) {
  const auto size = jpegImageSize(image);
  const bool good = size && *size == expectedSize_;
  std::uint64_t index;
  {
    std::lock_guard lock(mutex_);
    index = ++statistics_.images;
    statistics_.imageBytes += image.size();
    ++(good ? statistics_.goodImages : statistics_.badImages);
  }
  if (!size) {
    platform::print(fmt::format("Image {} is no decodable JPEG ({} bytes)", index, image.size()));
  } else if (!good) {
    platform::print(fmt::format("Image {} is {}x{}, expected {}x{}", index, size->width,
                                size->height, expectedSize_.width, expectedSize_.height));
  }
  if (options_.saveDirectory) {
    const auto path = *options_.saveDirectory / fmt::format("{:06}.jpg", index);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    if (file.good()) {
      std::lock_guard lock(mutex_);
      ++statistics_.savedImages;
    } else {
      platform::print(fmt::format("Cannot write {}", path.string()));
    }
  }
}

std::string CompanionServer::statisticsLine(std::uint64_t frames, std::uint64_t bytes,
                                            double seconds) {
  const double perSecond = seconds > 0 ? static_cast<double>(frames) / seconds : 0.0;
  const double kilobytesPerFrame =
      frames > 0 ? static_cast<double>(bytes) / 1000.0 / static_cast<double>(frames) : 0.0;
  const double megabytesPerSecond =
      seconds > 0 ? static_cast<double>(bytes) / 1'000'000.0 / seconds : 0.0;
  return fmt::format("{:.0f} frames/s, {:.1f} KB/frame, {:.2f} MB/s", perSecond, kilobytesPerFrame,
                     megabytesPerSecond);
}

void CompanionServer::tickerLoop() {
  using Clock = std::chrono::steady_clock;
  auto last = Clock::now();
  std::uint64_t lastImages = 0, lastBytes = 0;
  std::unique_lock lock(mutex_);
  while (
      !stopSignal_.wait_until(lock, last + std::chrono::seconds(1), [this] { return stopping_; })) {
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - last).count();
    const auto images = statistics_.images - lastImages;
    const auto bytes = statistics_.imageBytes - lastBytes;
    lastImages = statistics_.images;
    lastBytes = statistics_.imageBytes;
    last = now;
    bool connected = false;
    for (const auto& connection : connections_)
      connected |= !connection->finished;
    if (!connected && images == 0) continue;
    lock.unlock();
    platform::print(statisticsLine(images, bytes, seconds));
    lock.lock();
  }
}

Statistics CompanionServer::statistics() const {
  std::lock_guard lock(mutex_);
  return statistics_;
}

std::size_t CompanionServer::liveConnections() const {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (const auto& connection : connections_)
    count += connection->finished ? 0 : 1;
  return count;
}

void CompanionServer::sendFrame(std::uint32_t type, std::uint32_t tag,
                                std::span<const std::uint8_t> payload) {
  sendRaw(platform::encodeWireFrame(type, tag, payload));
}

void CompanionServer::sendRaw(std::span<const std::uint8_t> bytes) {
  std::list<std::shared_ptr<Connection>> live;
  {
    std::lock_guard lock(mutex_);
    for (const auto& connection : connections_) {
      if (!connection->finished) live.push_back(connection);
    }
  }
  for (auto& connection : live)
    connection->write(bytes);
}

void CompanionServer::perform(ScriptAction action) {
  std::list<std::shared_ptr<Connection>> live;
  {
    std::lock_guard lock(mutex_);
    for (const auto& connection : connections_) {
      if (!connection->finished) live.push_back(connection);
    }
  }
  for (auto& connection : live)
    perform(*connection, action);
}

void CompanionServer::closeConnections() {
  perform(ScriptAction::close);
}

}  // namespace streaming::companion
