#include "platform/tether/tl_usb_hub.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/coding/value.h"
#include "platform/foundation/log.h"
#include "platform/tether/support/channel_test_support.h"
#include "platform/tether/support/fake_usbmuxd.h"
#include "platform/tether/tl_channel.h"
#include "platform/tether/tl_error.h"
#include "support/recorder.h"

namespace platform {
namespace {

using fakes::FakeUsbmuxd;
using fakes::LoopbackListener;
using fakes::RecordingDelegate;
using fakes::waitUntil;

struct Seen {
  std::string name;
  const void* object;
  std::optional<std::int64_t> deviceID;
  std::optional<Value::Dictionary> properties;
};

class TLUSBHubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon_ = std::make_unique<FakeUsbmuxd>();
    daemon_->exportAddress();
    center_ = NotificationCenter::make();
    for (const char* name : {TLUSBDeviceDidAttachNotification, TLUSBDeviceDidDetachNotification}) {
      tokens_.push_back(center_->addObserver(name, [this](const Notification& notification) {
        Seen seen{notification.name, notification.objectId, std::nullopt, std::nullopt};
        auto id = notification.userInfo.find(TLUSBHubNotificationKeyDeviceID);
        if (id != notification.userInfo.end()) {
          if (const auto* value = std::any_cast<Value>(&id->second)) {
            if (const auto* i = std::get_if<std::int64_t>(&value->storage())) seen.deviceID = *i;
          }
        }
        auto properties = notification.userInfo.find(TLUSBHubNotificationKeyProperties);
        if (properties != notification.userInfo.end()) {
          if (const auto* value = std::any_cast<Value>(&properties->second)) {
            if (const auto* d = value->asDictionary()) seen.properties = *d;
          }
        }
        seen_.add(std::move(seen));
      }));
    }
    hub_ = TLUSBHub::make(center_);
  }

  void TearDown() override {
    hub_.reset();  // unsubscribes before the daemon goes away
    tokens_.clear();
    daemon_.reset();
  }

  void listen() {
    ASSERT_FALSE(hub_->listen());
    ASSERT_TRUE(waitUntil([&] { return daemon_->listenerCount() == 1; }));
  }

  std::vector<Seen> seen() { return seen_.entries(); }
  void saysWhenTheDaemonIsMissingAndWhenItAppears(bool staleSocket);

  std::unique_ptr<FakeUsbmuxd> daemon_;
  std::shared_ptr<NotificationCenter> center_;
  std::vector<ObserverToken> tokens_;
  std::shared_ptr<TLUSBHub> hub_;
  testsupport::Recorder<Seen> seen_;
};

TEST_F(TLUSBHubTest, AnnouncesUSBDevicesWithTheirPropertiesAndTheirDeparture) {
  daemon_->attach(9, "EARLY-DEVICE", 0x1234);  // already there when the hub starts listening
  listen();
  ASSERT_TRUE(waitUntil([&] { return seen().size() == 1; }));
  daemon_->attach(5, "SERIAL-5", 0x12ab);
  daemon_->attach(6, "NETWORK-6", 0x12ab, "Network");  // not a USB connection: ignored
  daemon_->detach(6);
  daemon_->detach(5);
  ASSERT_TRUE(waitUntil([&] { return seen().size() == 3; }));

  const auto events = seen();
  EXPECT_EQ(events[0].name, TLUSBDeviceDidAttachNotification);
  EXPECT_EQ(events[0].deviceID, 9);
  EXPECT_EQ(events[0].object, hub_.get());
  EXPECT_EQ(events[1].name, TLUSBDeviceDidAttachNotification);
  EXPECT_EQ(events[1].deviceID, 5);
  ASSERT_TRUE(events[1].properties);
  const auto& properties = *events[1].properties;
  EXPECT_EQ(properties.at("DeviceID"), Value(std::int64_t{5}));
  EXPECT_EQ(properties.at("ProductID"), Value(std::int64_t{0x12ab}));
  EXPECT_EQ(properties.at("SerialNumber"), Value("SERIAL-5"));
  EXPECT_EQ(properties.at("ConnectionType"), Value("USB"));
  EXPECT_EQ(events[2].name, TLUSBDeviceDidDetachNotification);
  EXPECT_EQ(events[2].deviceID, 5);
  EXPECT_FALSE(events[2].properties);
  for (const auto& event : events)
    EXPECT_NE(event.deviceID, 6);
}

TEST_F(TLUSBHubTest, ConnectsAChannelThroughTheMultiplexerTunnel) {
  listen();
  LoopbackListener devicePort;
  daemon_->attach(5);
  daemon_->route(5, 2345, devicePort.port);

  auto delegate = std::make_shared<RecordingDelegate>();
  auto channel = TLChannel::make(nullptr, delegate);
  std::atomic<int> calls{0};
  std::error_code result = std::make_error_code(std::errc::io_error);
  channel->connectToPort(2345, hub_, 5, [&](std::error_code error) {
    result = error;
    ++calls;
  });
  const int device = devicePort.acceptOne();
  ASSERT_GE(device, 0);
  ASSERT_TRUE(waitUntil([&] { return calls.load() == 1; }));
  EXPECT_FALSE(result) << result.message();
  const auto requests = daemon_->connectRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].deviceID, 5u);
  EXPECT_EQ(requests[0].port, 2345);

  fakes::writeAll(device, encodeWireFrame(105, 0, TLData{'h', 'i'}));
  ASSERT_TRUE(waitUntil([&] { return delegate->frameCount() == 1; }));
  EXPECT_EQ(*delegate->frames()[0].payload, (TLData{'h', 'i'}));
  channel->sendFrame(101, 0, TLData(100000, 9));
  TLData received(16 + 100000);
  ASSERT_EQ(::recv(device, received.data(), received.size(), MSG_WAITALL),
            static_cast<ssize_t>(received.size()));
  EXPECT_EQ(decodeFrameHeader(std::span(received).first<16>()).payloadSize, 100000u);

  ::close(device);  // the device goes away: the tunnel closes and the channel ends
  ASSERT_TRUE(waitUntil([&] { return delegate->endCount() == 1; }));
}

TEST_F(TLUSBHubTest, AConnectToAPortNobodyServesFails) {
  listen();
  daemon_->attach(5);
  auto delegate = std::make_shared<RecordingDelegate>();
  auto channel = TLChannel::make(nullptr, delegate);
  std::atomic<int> calls{0};
  std::error_code result;
  channel->connectToPort(2345, hub_, 5, [&](std::error_code error) {
    result = error;
    ++calls;
  });
  ASSERT_TRUE(waitUntil([&] { return calls.load() == 1; }));
  EXPECT_TRUE(result);
  EXPECT_FALSE(channel->isConnected());
  EXPECT_EQ(delegate->endCount(), 0);

  auto noHub = TLChannel::make();
  std::error_code noHubResult;
  noHub->connectToPort(2345, nullptr, 5, [&](std::error_code error) {
    noHubResult = error;
    ++calls;
  });
  ASSERT_TRUE(waitUntil([&] { return calls.load() == 2; }));
  EXPECT_EQ(noHubResult, std::error_code(TLErrorCode::hubUnavailable));
}

TEST_F(TLUSBHubTest, FollowsTheDaemonWhenItRestartsAndSaysSo) {
  hub_->setDaemonRetryInterval(0.05);
  LogCapture capture;
  listen();
  const auto count = [&](const std::string& part) {
    const std::string text = capture.text();
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
      ++n;
    return n;
  };
  daemon_->attach(21);
  ASSERT_TRUE(waitUntil([&] { return seen().size() == 1; }));

  struct Case {
    const char* what;
    bool waitForTheGap;  // whether the hub sees the daemon gone before it comes back
  };
  const Case cases[] = {{"a daemon that was away a while", true},
                        {"a daemon that came straight back", false}};
  std::int64_t nextDevice = 22;
  for (const Case& c : cases) {
    const std::string path = daemon_->path();
    const auto before = seen().size();
    const std::size_t returnsBefore = count("; watching for tablets");
    daemon_.reset();
    // The devices went with the daemon.
    if (c.waitForTheGap) {
      ASSERT_TRUE(waitUntil([&] {
        const auto all = seen();
        return std::any_of(
            all.begin() + static_cast<std::ptrdiff_t>(before), all.end(),
            [](const Seen& s) { return s.name == TLUSBDeviceDidDetachNotification; });
      })) << c.what;
      ASSERT_TRUE(waitUntil([&] { return count(path + " stopped;") == 1; })) << capture.text();
    }
    daemon_ = std::make_unique<FakeUsbmuxd>(path);
    ASSERT_TRUE(waitUntil([&] { return daemon_->listenerCount() == 1; })) << c.what;
    daemon_->attach(static_cast<std::uint32_t>(nextDevice));
    ASSERT_TRUE(waitUntil([&] {
      const auto all = seen();
      return !all.empty() && all.back().name == TLUSBDeviceDidAttachNotification &&
             all.back().deviceID == nextDevice;
    })) << c.what;
    // Its return is said once, whether or not the hub saw it gone in between; the line may
    // follow the device's arrival, which is told on another queue.
    EXPECT_TRUE(waitUntil([&] { return count("; watching for tablets") > returnsBefore; }))
        << c.what << "\n"
        << capture.text();
    EXPECT_EQ(count("; watching for tablets"), returnsBefore + 1) << capture.text();
    ++nextDevice;
  }
}

// Whether the daemon's socket file is missing or left behind by a daemon that died, the hub
// says which, and says so once more when the daemon comes.
TEST_F(TLUSBHubTest, SaysWhenTheDaemonIsMissingOrSilentAndWhenItAppears) {
  for (const bool staleSocket : {false, true}) {
    SCOPED_TRACE(staleSocket ? "a socket nobody answers on" : "no socket");
    TearDown();
    SetUp();
    saysWhenTheDaemonIsMissingAndWhenItAppears(staleSocket);
  }
}

void TLUSBHubTest::saysWhenTheDaemonIsMissingAndWhenItAppears(bool staleSocket) {
  hub_->setDaemonRetryInterval(0.05);
  const std::size_t seenBefore = seen().size();
  const std::string path = daemon_->path();
  daemon_.reset();  // no socket: the daemon is not running
  if (staleSocket) {
    // Bound and closed: the file stays, and nothing accepts on it.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }
  LogCapture capture;
  struct Row {
    const char* stage;
    bool daemonRunning;
    const char* line;  // the line that stage adds
  } rows[] = {
      {"missing at start", false,
       staleSocket ? "does not answer at " : "is not running (no socket at "},
      {"appears later", true, "USB multiplexer daemon is running"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.stage);
    if (row.daemonRunning) {
      if (staleSocket) ::unlink(path.c_str());
      daemon_ = std::make_unique<FakeUsbmuxd>(path);
      // libusbmuxd's own retries keep their pace while the daemon is away; the hub notices
      // within its retry interval.
      ASSERT_TRUE(waitUntil([&] { return capture.contains(row.line); }, 30)) << capture.text();
      ASSERT_TRUE(waitUntil([&] { return daemon_->listenerCount() == 1; }, 30));
      // The hub subscribes again once it sees the daemon, while libusbmuxd may already have
      // connected on its own: both connections announce device 31, which is told once. A
      // second device, seen after the first, shows what came before it was handled.
      daemon_->attach(31);
      daemon_->attach(32);
      const auto told = [&] {
        const auto all = seen();
        return std::vector<Seen>(all.begin() + static_cast<std::ptrdiff_t>(seenBefore), all.end());
      };
      ASSERT_TRUE(waitUntil([&] { return !told().empty() && told().back().deviceID == 32; }));
      const auto now = told();
      EXPECT_EQ(
          std::count_if(now.begin(), now.end(), [](const Seen& s) { return s.deviceID == 31; }), 1);
      EXPECT_EQ(now.size(), 2u);
    } else {
      ASSERT_FALSE(hub_->listen());
      EXPECT_TRUE(capture.contains(row.line)) << capture.text();
      EXPECT_TRUE(capture.contains("cannot be seen until usbmuxd runs")) << capture.text();
      EXPECT_TRUE(capture.contains(path)) << capture.text();
    }
  }
  // One line each, however many rounds the watcher made.
  const std::string text = capture.text();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
}

}  // namespace
}  // namespace platform
