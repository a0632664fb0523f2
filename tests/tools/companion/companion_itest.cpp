#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "companion/companion_server.h"
#include "platform/coding/value.h"
#include "platform/dispatch/main_queue.h"
#include "platform/foundation/log.h"
#include "platform/foundation/notification_center.h"
#include "platform/tether/support/fake_usbmuxd.h"
#include "platform/tether/tl_error.h"
#include "streaming/magic_packet.h"
#include "streaming/notification_names.h"
#include "streaming/tetherable.h"
#include "support/recorder.h"
#include "tools/companion/support/jpeg_maker.h"

namespace streaming::companion {
namespace {

bool waitUntil(const std::function<bool()>& condition, double seconds = 5.0) {
  return platform::runMainUntil(condition, seconds);
}

// The application's side reduced to a socket, to look at exactly what the simulator sends.
class RawClient {
 public:
  explicit RawClient(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { ::close(fd_); }
  bool connected() const { return connected_; }

  struct Frame {
    platform::TLFrameHeader header;
    platform::TLData payload;
  };
  // The next frame, or nothing when the stream ended (or took too long).
  std::optional<Frame> read() {
    std::array<std::uint8_t, 16> bytes;
    if (::recv(fd_, bytes.data(), bytes.size(), MSG_WAITALL) != 16) return std::nullopt;
    Frame frame{platform::decodeFrameHeader(bytes), {}};
    if (frame.header.payloadSize > (1u << 20)) return frame;  // announced, not sent
    frame.payload.resize(frame.header.payloadSize);
    if (frame.header.payloadSize > 0 &&
        ::recv(fd_, frame.payload.data(), frame.payload.size(), MSG_WAITALL) !=
            static_cast<ssize_t>(frame.payload.size())) {
      return std::nullopt;
    }
    return frame;
  }
  std::vector<std::uint8_t> readRaw(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    const auto n = ::recv(fd_, bytes.data(), size, MSG_WAITALL);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
  }
  bool atEnd() {
    char byte;
    return ::recv(fd_, &byte, 1, 0) == 0;
  }
  void send(std::uint32_t type, std::uint32_t tag, std::span<const std::uint8_t> payload) {
    sendRaw(platform::encodeWireFrame(type, tag, payload));
  }
  void sendRaw(std::span<const std::uint8_t> bytes) {
    ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

Options testOptions(std::vector<ScriptAction> script = {}) {
  Options options;
  options.port = 0;
  options.name = "Simulated Tablet";
  options.script = std::move(script);
  options.quiet = true;
  return options;
}

TEST(CompanionServer, DescribesItselfThenAnswersPingsWithPongs) {
  CompanionServer server(testOptions());
  ASSERT_FALSE(server.start());
  RawClient client(server.port());
  ASSERT_TRUE(client.connected());

  auto description = client.read();
  ASSERT_TRUE(description);
  EXPECT_EQ(description->header.type, 105u);
  auto dictionary = platform::dictionaryWithContentsOfData(description->payload);
  ASSERT_TRUE(dictionary);
  const MagicPacket packet(*dictionary);
  EXPECT_EQ(packet.deviceName(), "Simulated Tablet");
  EXPECT_EQ(packet.width(), 1024);
  EXPECT_EQ(packet.height(), 768);
  EXPECT_EQ(packet.ppi(), 132);

  auto info = client.read();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->header.type, 100u);
  auto json = platform::decodeJSON(info->payload);
  ASSERT_TRUE(json && json->asDictionary());

  for (std::uint32_t tag : {7u, 0xfffffffeu}) {
    client.send(102, tag, {});
    auto pong = client.read();
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->header.type, 103u);
    EXPECT_EQ(pong->header.tag, tag);
    EXPECT_EQ(pong->header.payloadSize, 0u);
  }
  ASSERT_TRUE(waitUntil([&] { return server.statistics().pongs == 2; }));
  EXPECT_EQ(server.liveConnections(), 1u);
}

TEST(CompanionServer, ChecksEveryScreenImageAndSavesThemNumbered) {
  const auto directory =
      std::filesystem::temp_directory_path() / ("companion-frames-" + std::to_string(::getpid()));
  std::filesystem::remove_all(directory);
  auto options = testOptions();
  options.saveDirectory = directory;
  CompanionServer server(options);
  ASSERT_FALSE(server.start());
  platform::LogCapture log;
  RawClient client(server.port());
  ASSERT_TRUE(client.read() && client.read());

  const auto good = fakes::makeJpeg(1024, 768);
  client.send(101, 0, good);
  client.send(101, 0, fakes::makeJpeg(1024, 748));  // the wrong size for this screen
  const std::vector<std::uint8_t> notJpeg(500, 0x42);
  client.send(101, 0, notJpeg);
  client.send(101, 0, good);
  ASSERT_TRUE(waitUntil([&] { return server.statistics().savedImages == 4; }));
  const auto statistics = server.statistics();
  EXPECT_EQ(statistics.images, 4u);
  EXPECT_EQ(statistics.goodImages, 2u);
  EXPECT_EQ(statistics.badImages, 2u);
  EXPECT_TRUE(log.contains("Image 2 is 1024x748, expected 1024x768"));
  EXPECT_TRUE(log.contains("Image 3 is no decodable JPEG (500 bytes)"));
  for (int i = 1; i <= 4; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%06d.jpg", i);
    EXPECT_TRUE(std::filesystem::exists(directory / name)) << name;
  }
  EXPECT_EQ(std::filesystem::file_size(directory / "000001.jpg"), good.size());
  std::filesystem::remove_all(directory);
}

TEST(CompanionServer, ScriptActionsMisbehaveAsAsked) {
  {
    CompanionServer server(testOptions({ScriptAction::unknownType, ScriptAction::close}));
    ASSERT_FALSE(server.start());
    RawClient client(server.port());
    ASSERT_TRUE(client.read() && client.read());
    auto unknown = client.read();
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->header.type, 104u);
    EXPECT_TRUE(client.atEnd());
  }
  {
    CompanionServer server(testOptions({ScriptAction::oversized}));
    ASSERT_FALSE(server.start());
    RawClient client(server.port());
    ASSERT_TRUE(client.read() && client.read());
    auto oversized = client.read();
    ASSERT_TRUE(oversized);
    EXPECT_EQ(oversized->header.payloadSize, platform::kTLMaxPayloadSize + 1);
  }
  {
    CompanionServer server(testOptions({ScriptAction::garbage}));
    ASSERT_FALSE(server.start());
    RawClient client(server.port());
    ASSERT_TRUE(client.read() && client.read());
    const auto garbage = client.readRaw(16);
    ASSERT_EQ(garbage.size(), 16u);
    EXPECT_NE(platform::decodeFrameHeader(std::span(garbage).first<16>()).version, 1u);
  }
}

TEST(CompanionServer, HangsUpOnAMalformedStreamFromTheApplication) {
  CompanionServer server(testOptions());
  ASSERT_FALSE(server.start());
  RawClient client(server.port());
  ASSERT_TRUE(client.read() && client.read());
  const auto header = platform::encodeFrameHeader({3, 101, 0, 10});
  client.sendRaw(header);
  EXPECT_TRUE(client.atEnd());
  ASSERT_TRUE(waitUntil([&] { return server.statistics().brokenStreams == 1; }));
  ASSERT_TRUE(waitUntil([&] { return server.liveConnections() == 0; }));
}

// The application's channel and the simulator, over loopback and through the multiplexer.
class CompanionRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto* name : {&deviceConnected(), &deviceDisconnected()}) {
      tokens_.push_back(platform::NotificationCenter::defaultCenter()->addObserver(
          *name, [this](const platform::Notification& notification) {
            if (notification.name == deviceConnected()) {
              packets_.add(notification.objectAs<const MagicPacket>());
            } else {
              ++disconnects_;
            }
          }));
    }
  }
  void TearDown() override {
    tetherable.reset();
    platform::drainMainQueue();
  }
  std::size_t connectedCount() { return packets_.size(); }
  std::shared_ptr<const MagicPacket> lastPacket() { return packets_.last().value_or(nullptr); }
  int disconnects() { return disconnects_; }
  void sendImage(const std::vector<std::uint8_t>& jpeg) {
    auto channel = tetherable->connectedChannel();
    ASSERT_TRUE(channel);
    channel->sendFrame(101, 0, jpeg);
  }

  platform::LogCapture log;
  std::shared_ptr<Tetherable> tetherable;

 private:
  testsupport::Recorder<std::shared_ptr<const MagicPacket>> packets_;
  std::atomic<int> disconnects_{0};
  std::vector<platform::ObserverToken> tokens_;
};

TEST_F(CompanionRoadTest, OverLoopbackTheDeviceIsDescribedPingedAndFed) {
  auto options = testOptions();
  options.width = 750;
  options.height = 1334;
  options.ppi = 326;
  CompanionServer server(options);
  ASSERT_FALSE(server.start());
  tetherable = Tetherable::make(server.port(), 0.05, platform::TLUSBHub::make());

  ASSERT_TRUE(waitUntil([&] { return connectedCount() == 1; }));
  const auto packet = lastPacket();
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->deviceName(), "Simulated Tablet");
  EXPECT_EQ(packet->width(), 750);
  EXPECT_EQ(packet->height(), 1334);
  EXPECT_EQ(packet->ppi(), 326);
  ASSERT_TRUE(waitUntil([&] { return log.contains("Connected to { \"model\": "); }));
  ASSERT_TRUE(waitUntil([&] { return log.contains("Ping total roundtrip time: "); }));
  EXPECT_GE(server.statistics().pongs, 1u);

  sendImage(fakes::makeJpeg(750, 1314));
  sendImage(fakes::makeJpeg(750, 1334));
  ASSERT_TRUE(waitUntil([&] { return server.statistics().images == 2; }));
  EXPECT_EQ(server.statistics().goodImages, 1u);
  EXPECT_EQ(server.statistics().badImages, 1u);
  EXPECT_EQ(server.statistics().connections, 1u);
}

TEST_F(CompanionRoadTest, BadFramesFromTheDeviceEndTheChannel) {
  struct Case {
    ScriptAction action;
    const char* logged;
  };
  for (const auto& c : {Case{ScriptAction::unknownType, "Unexpected frame of type 104"},
                        Case{ScriptAction::oversized, nullptr},
                        Case{ScriptAction::garbage, nullptr}, Case{ScriptAction::close, nullptr}}) {
    CompanionServer server(testOptions({c.action}));
    ASSERT_FALSE(server.start());
    const int before = disconnects();
    tetherable = Tetherable::make(server.port(), 0.05, platform::TLUSBHub::make());
    ASSERT_TRUE(waitUntil([&] { return disconnects() > before; }));
    if (c.logged) {
      EXPECT_TRUE(log.contains(c.logged));
    }
    // The description before the misbehaviour still counted, and the application retries.
    ASSERT_TRUE(waitUntil([&] { return server.statistics().connections >= 2; }));
    tetherable.reset();
  }
}

TEST_F(CompanionRoadTest, ThroughTheMultiplexerTheDeviceIsReachedOverUSB) {
  platform::fakes::FakeUsbmuxd daemon;
  daemon.exportAddress();
  auto hub = platform::TLUSBHub::make();
  ASSERT_FALSE(hub->listen());
  ASSERT_TRUE(waitUntil([&] { return daemon.listenerCount() == 1; }));

  CompanionServer server(testOptions());
  ASSERT_FALSE(server.start());
  // Nothing listens on the loopback port the application tries; the device port is tunnelled.
  int reserved = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(reserved, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(reserved, reinterpret_cast<sockaddr*>(&address), &length);
  const auto port = ntohs(address.sin_port);
  daemon.route(11, port, server.port());

  tetherable = Tetherable::make(port, 0.05, hub);
  daemon.attach(11);
  ASSERT_TRUE(waitUntil([&] { return connectedCount() == 1; }));
  EXPECT_EQ(tetherable->connectedDeviceID(), 11);
  EXPECT_EQ(lastPacket()->width(), 1024);
  ASSERT_TRUE(waitUntil([&] { return log.contains("Ping total roundtrip time: "); }));
  sendImage(fakes::makeJpeg(1024, 768));
  ASSERT_TRUE(waitUntil([&] { return server.statistics().goodImages == 1; }));

  daemon.detach(11);
  ASSERT_TRUE(waitUntil([&] { return disconnects() == 1; }));
  tetherable.reset();
  hub.reset();
  ::close(reserved);
}

}  // namespace
}  // namespace streaming::companion
