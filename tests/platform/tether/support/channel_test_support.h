#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/tether/tl_channel.h"

namespace platform::fakes {

// A channel delegate that records what it is told; it can refuse a frame type, and close the
// channel when a frame of a given type arrives.
class RecordingDelegate : public TLChannelDelegate {
 public:
  struct Frame {
    std::uint32_t type;
    std::uint32_t tag;
    std::optional<TLData> payload;
  };

  bool shouldAcceptFrame(const std::shared_ptr<TLChannel>& channel, std::uint32_t type,
                         std::uint32_t tag, std::uint32_t payloadSize) override;
  void didReceiveFrame(const std::shared_ptr<TLChannel>& channel, std::uint32_t type,
                       std::uint32_t tag, const TLData* payload) override;
  void didEnd(const std::shared_ptr<TLChannel>& channel, std::error_code error) override;

  std::vector<Frame> frames() const;
  std::size_t frameCount() const;
  int endCount() const;
  std::error_code endError() const;
  std::vector<std::uint32_t> announcedTypes() const;

  void refuseType(std::uint32_t type, bool closeOnRefusal = false);
  void closeOnType(std::uint32_t type);

 private:
  mutable std::mutex mutex_;
  std::vector<Frame> frames_;
  std::vector<std::uint32_t> announced_;
  int ends_ = 0;
  std::error_code endError_;
  std::set<std::uint32_t> refused_;
  bool closeOnRefusal_ = false;
  std::set<std::uint32_t> closeOn_;
};

// Two connected stream sockets.
struct SocketPair {
  int first = -1;
  int second = -1;
  SocketPair();
  ~SocketPair();
  int releaseFirst() { return std::exchange(first, -1); }
  int releaseSecond() { return std::exchange(second, -1); }
};

// Writes all of `bytes` to a blocking descriptor.
void writeAll(int fd, std::span<const std::uint8_t> bytes);

// A TCP listener on 127.0.0.1 with a free port.
struct LoopbackListener {
  int fd = -1;
  std::uint16_t port = 0;
  explicit LoopbackListener(bool listen = true, int backlog = 16);
  ~LoopbackListener();
  int acceptOne() const;  // blocking
};

bool waitUntil(const std::function<bool()>& condition, double seconds = 5.0);

}  // namespace platform::fakes
