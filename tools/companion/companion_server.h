#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <system_error>
#include <thread>

#include "companion/companion_options.h"
#include "companion/device_description.h"

namespace streaming::companion {

struct Statistics {
  std::uint64_t connections = 0;  // accepted so far
  std::uint64_t images = 0;       // screen images received (frame type 101)
  std::uint64_t goodImages = 0;   // decodable JPEGs of the expected size
  std::uint64_t badImages = 0;
  std::uint64_t imageBytes = 0;
  std::uint64_t pongs = 0;          // pings answered
  std::uint64_t otherFrames = 0;    // frames of any other type
  std::uint64_t brokenStreams = 0;  // connections dropped for a malformed frame
  std::uint64_t savedImages = 0;
};

// The companion device, simulated: listens on 127.0.0.1 and, for every application that
// connects, describes its screen (type 105, binary property list) and itself (type 100, JSON),
// runs the script, answers each ping (102) with a pong (103, same tag, empty payload) and checks
// each screen image (101). Each connection is served by its own thread.
class CompanionServer {
 public:
  explicit CompanionServer(Options options);
  ~CompanionServer();
  CompanionServer(const CompanionServer&) = delete;
  CompanionServer& operator=(const CompanionServer&) = delete;

  // Binds and starts accepting; also starts the once-a-second statistics line unless quiet.
  std::error_code start();
  void stop();

  std::uint16_t port() const { return boundPort_; }
  const Options& options() const { return options_; }
  Statistics statistics() const;
  std::size_t liveConnections() const;

  // Act on every live connection, as the script would.
  void sendFrame(std::uint32_t type, std::uint32_t tag, std::span<const std::uint8_t> payload);
  void sendRaw(std::span<const std::uint8_t> bytes);
  void perform(ScriptAction action);
  void closeConnections();

  // "12 frames/s, 85.3 KB/frame, 1.02 MB/s" for `frames` images of `bytes` in `seconds`.
  static std::string statisticsLine(std::uint64_t frames, std::uint64_t bytes, double seconds);

 private:
  struct Connection;

  void acceptLoop();
  void serve(const std::shared_ptr<Connection>& connection);
  void perform(Connection& connection, ScriptAction action);
  void imageReceived(platform::TLData image);
  void tickerLoop();
  void reapFinished(bool all);

  const Options options_;
  const ImageSize expectedSize_;
  int listenFd_ = -1;
  std::uint16_t boundPort_ = 0;
  std::thread acceptThread_;
  std::thread tickerThread_;

  mutable std::mutex mutex_;
  std::condition_variable stopSignal_;
  bool stopping_ = false;
  std::list<std::shared_ptr<Connection>> connections_;
  Statistics statistics_;
};

}  // namespace streaming::companion
