#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/tether/tl_wire_format.h"

namespace streaming::fakes {

// Plays the companion device on a TCP port of 127.0.0.1 with plain sockets: records every
// frame the application sends, greets each new connection with the frames it was given and
// answers pings when asked to. Several connections may be open; sends go to the newest.
class DevicePeer {
 public:
  struct Frame {
    std::uint32_t type;
    std::uint32_t tag;
    platform::TLData payload;
  };

  // `fd` >= 0: listen on that bound socket instead of a new one.
  explicit DevicePeer(int boundSocket = -1);
  ~DevicePeer();
  DevicePeer(const DevicePeer&) = delete;
  DevicePeer& operator=(const DevicePeer&) = delete;

  std::uint16_t port() const { return port_; }

  void setAnswerPings(bool answer) { answerPings_ = answer; }
  // Whole encoded frames, written to every new connection.
  void setGreeting(std::vector<platform::TLData> frames);

  int acceptedCount() const;
  int openCount() const;  // connections not yet closed by either side
  std::vector<Frame> received() const;
  std::size_t pingCount() const;

  void send(std::uint32_t type, std::uint32_t tag, std::span<const std::uint8_t> payload);
  void sendRaw(std::span<const std::uint8_t> bytes);
  void closeNewest();

 private:
  struct Connection {
    int fd;
    platform::TLFrameDecoder decoder;
    bool open = true;
  };
  void run();
  void drop(Connection& connection);
  void wake();

  int listenFd_ = -1;
  int wakeFd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> answerPings_{false};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<platform::TLData> greeting_;
  std::vector<std::unique_ptr<Connection>> connections_;
  int accepted_ = 0;
  std::vector<Frame> received_;
};

// Reserves a free port on 127.0.0.1 without listening, so connections to it are refused;
// handing `release()` to a DevicePeer starts listening there.
struct ReservedPort {
  int fd = -1;
  std::uint16_t port = 0;
  ReservedPort();
  ~ReservedPort();
  int release() { return std::exchange(fd, -1); }
};

}  // namespace streaming::fakes
