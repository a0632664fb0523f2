#include "streaming/tetherable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <sstream>
#include <utility>

#include "platform/dispatch/main_queue.h"
#include "platform/foundation/log.h"
#include "platform/foundation/process_info.h"
#include "streaming/notification_names.h"
#include "streaming/tether/support/device_peer.h"
#include "streaming/tether/support/notification_recorder.h"
#include "streaming/tether/support/tether_test_support.h"

namespace streaming {
namespace {

using fakes::DevicePeer;
using fakes::NotificationRecorder;
using fakes::postAttach;
using fakes::postDetach;
using fakes::ReservedPort;
using fakes::textBytes;
using fakes::waitUntil;
using fakes::xmlDescription;
using platform::Value;

constexpr double kDelay = 0.05;

int occurrences(const std::string& text, const std::string& fragment) {
  int count = 0;
  for (auto at = text.find(fragment); at != std::string::npos;
       at = text.find(fragment, at + fragment.size())) {
    ++count;
  }
  return count;
}

// "Ping total roundtrip time: <digits>.<three digits> ms"
bool hasRoundTripLine(const std::string& text) {
  const std::string prefix = "Ping total roundtrip time: ";
  auto at = text.find(prefix);
  if (at == std::string::npos) return false;
  std::size_t i = at + prefix.size();
  const auto digits = [&] {
    std::size_t n = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
      ++i, ++n;
    return n;
  };
  if (digits() == 0 || i >= text.size() || text[i++] != '.') return false;
  return digits() == 3 && text.compare(i, 4, " ms\n") == 0;
}

class TetherableTest : public ::testing::Test {
 protected:
  void TearDown() override {
    tetherable.reset();
    platform::drainMainQueue();
  }

  // A Tetherable connected over loopback to `peer`.
  void connectTo(DevicePeer& peer, double delay = kDelay) {
    tetherable = Tetherable::make(peer.port(), delay, hub);
    ASSERT_TRUE(waitUntil([&] { return tetherable->connectedChannel() != nullptr; }));
    ASSERT_TRUE(waitUntil([&] { return peer.acceptedCount() == 1; }));
  }

  // Frames on one channel are handled in order: once this one is printed, every frame sent
  // before it has been handled.
  void sendSentinelAndWait(DevicePeer& peer) {
    const std::string marker = "sentinel-" + std::to_string(++sentinels_);
    peer.send(100, 0, textBytes(R"({"marker": ")" + marker + R"("})"));
    ASSERT_TRUE(waitUntil([&] { return log.contains(marker); }));
  }

  std::shared_ptr<platform::TLUSBHub> hub = platform::TLUSBHub::make();
  NotificationRecorder recorder;
  platform::LogCapture log;
  std::shared_ptr<Tetherable> tetherable;

 private:
  int sentinels_ = 0;
};

TEST_F(TetherableTest, StartsQuietlyAndKeepsTryingTheLoopbackPortUntilSomeoneListens) {
  ReservedPort reserved;
  tetherable = Tetherable::make(reserved.port, kDelay, hub);
  EXPECT_EQ(log.text(), "Ready for action — connecting at will.\n");
  // Several refused attempts and idle pings go by without a word.
  EXPECT_FALSE(waitUntil([] { return false; }, 0.3));
  EXPECT_EQ(log.text(), "Ready for action — connecting at will.\n");
  EXPECT_TRUE(recorder.entries().empty());
  EXPECT_EQ(tetherable->connectedChannel(), nullptr);

  const auto port = reserved.port;
  DevicePeer peer(reserved.release());
  ASSERT_TRUE(waitUntil([&] { return tetherable->connectedChannel() != nullptr; }));
  ASSERT_TRUE(waitUntil([&] { return log.contains("Connected to 127.0.0.1:"); }));
  EXPECT_EQ(std::any_cast<platform::TLAddress>(tetherable->connectedChannel()->userInfo()).port(),
            port);
  ASSERT_TRUE(waitUntil([&] { return peer.pingCount() >= 2; }));
  for (const auto& frame : peer.received()) {
    EXPECT_EQ(frame.type, 102u);
    EXPECT_NE(frame.tag, 0u);
    EXPECT_TRUE(frame.payload.empty());
  }
}

TEST_F(TetherableTest, DeviceDescriptionsBecomeMagicPacketsOnlyWhenTheyHaveASize) {
  DevicePeer peer;
  connectTo(peer);
  // Dropped (each with its console line): undecodable, not a dictionary, no "screenSize", half
  // a size, a fractional size.
  peer.send(105, 0, textBytes("definitely not a property list"));
  peer.send(105, 0, textBytes("[1, 2, 3]"));
  peer.send(105, 0, textBytes(R"({"name": "NoSize", "ppi": 132})"));
  peer.send(105, 0, textBytes(R"({"name": "HalfSize", "screenSize": {"Width": 1024}})"));
  peer.send(105, 0,
            textBytes(R"({"name": "Fraction", "screenSize": {"Width": 1024.5, "Height": 768}})"));
  // A frame without payload is ignored whatever its type.
  tetherable->didReceiveFrame(tetherable->connectedChannel(), 105, 0, nullptr);
  // Accepted: a JSON object, an XML property list, a name that is no text.
  peer.send(
      105, 0,
      textBytes(R"({"name": "Json", "screenSize": {"Width": 800, "Height": 620}, "ppi": 9})"));
  peer.send(105, 7, xmlDescription("Xml", 1024, 768, 132));
  peer.send(105, 0, textBytes(R"({"name": 42, "screenSize": {"Width": 10, "Height": 20}})"));
  ASSERT_TRUE(waitUntil([&] { return recorder.count(deviceConnected()) == 3; }));
  sendSentinelAndWait(peer);

  const auto entries = recorder.entries();
  ASSERT_EQ(entries.size(), 3u);
  ASSERT_TRUE(entries[0].packet && entries[1].packet && entries[2].packet);
  EXPECT_EQ(entries[0].packet->deviceName(), "Json");
  EXPECT_EQ(entries[0].packet->width(), 800);
  EXPECT_EQ(entries[0].packet->height(), 620);
  EXPECT_EQ(entries[0].packet->ppi(), 9);
  EXPECT_EQ(entries[1].packet->deviceName(), "Xml");
  EXPECT_EQ(entries[1].packet->width(), 1024);
  EXPECT_EQ(entries[1].packet->height(), 768);
  EXPECT_EQ(entries[1].packet->ppi(), 132);
  EXPECT_FALSE(entries[2].packet->deviceName());
  EXPECT_FALSE(entries[2].packet->ppi());
  EXPECT_EQ(occurrences(log.text(), "Unexpected"), 0);
}

// Every description no display comes of leaves one console line saying what was wrong, whether
// the decoder refused it or a field is missing or not a whole number; a usable one leaves none.
TEST_F(TetherableTest, RefusedDescriptionsSayWhatWasWrongInOneLine) {
  DevicePeer peer;
  connectTo(peer);
  const auto described = [](const std::string& size, const std::string& ppi,
                            const std::string& name = "<string>Tab</string>") {
    return textBytes("<plist><dict><key>name</key>" + name + "<key>screenSize</key><dict>" + size +
                     "</dict><key>ppi</key>" + ppi + "</dict></plist>");
  };
  const std::string size =
      "<key>Width</key><integer>1024</integer><key>Height</key>"
      "<integer>768</integer>";
  std::string nested = "<plist><dict><key>name</key><string>Deep</string><key>x</key>";
  for (int i = 0; i < 40; ++i)
    nested += "<array>";
  for (int i = 0; i < 40; ++i)
    nested += "</array>";
  nested += "</dict></plist>";
  std::string keys = R"({"name": "Keys", "screenSize": {"Width": 1024, "Height": 768})";
  for (int i = 0; i < 5000; ++i)
    keys += ",\"" + std::to_string(i) + "\":1";
  keys += "}";
  struct Row {
    const char* name;
    platform::TLData payload;
    const char* says;  // part of the line
  };
  const Row rows[] = {
      {"NaN ppi", described(size, "<real>nan</real>"), "\"ppi\" is not a whole number"},
      {"infinite ppi", described(size, "<real>+infinity</real>"), "\"ppi\" is not a whole"},
      {"fractional width",
       described("<key>Width</key><real>1024.5</real><key>Height</key><integer>768</integer>",
                 "<integer>132</integer>"),
       "\"Width\" in \"screenSize\" is not a whole number in the 32-bit range (1024.5)"},
      {"text height",
       described("<key>Width</key><integer>1024</integer><key>Height</key><string>768</string>",
                 "<integer>132</integer>"),
       "\"Height\" in \"screenSize\" is not a whole number"},
      {"no ppi", textBytes(R"({"name": "N", "screenSize": {"Width": 800, "Height": 620}})"),
       "no \"ppi\""},
      {"40 levels of nesting", textBytes(nested), "nesting deeper than 16 levels"},
      {"5,000 keys", textBytes(keys), "more than 4096 elements"},
      {"a name of 100 KB",
       described(size, "<integer>132</integer>",
                 "<string>" + std::string(100 * 1024, 'n') + "</string>"),
       "larger than 65536 bytes"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::size_t from = log.text().size();
    peer.send(105, 0, row.payload);
    sendSentinelAndWait(peer);
    const std::string said = log.text().substr(from);
    EXPECT_EQ(occurrences(said, "Refused a screen description: "), 1) << said;
    EXPECT_NE(said.find(row.says), std::string::npos) << said;
  }
  const std::size_t from = log.text().size();
  peer.send(105, 0, xmlDescription("Fine", 1024, 768, 132));
  sendSentinelAndWait(peer);
  EXPECT_EQ(occurrences(log.text().substr(from), "Refused"), 0) << log.text().substr(from);
}

TEST_F(TetherableTest, DeviceInfoIsPrintedAndOtherAcceptedFramesAreIgnored) {
  DevicePeer peer;
  connectTo(peer);
  peer.send(100, 0, textBytes("{ broken json"));
  peer.send(100, 0, textBytes("[\"an array\"]"));
  peer.send(101, 0, textBytes("jpeg bytes from the device"));
  peer.send(102, 5, {});
  peer.send(0, 0, textBytes("anything"));
  peer.send(100, 0, textBytes(R"({"model": "Tablet", "version": 3})"));
  ASSERT_TRUE(waitUntil([&] { return log.contains(R"(Connected to { "model": "Tablet")"); }));
  EXPECT_TRUE(log.contains(R"(Connected to { "model": "Tablet", "version": 3 })"));
  EXPECT_EQ(occurrences(log.text(), "Connected to {"), 1);
  EXPECT_EQ(tetherable->connectedChannel() != nullptr, true);
  EXPECT_TRUE(recorder.entries().empty());
}

TEST_F(TetherableTest, DeviceInfoReachesTheConsoleEscapedAndBounded) {
  DevicePeer peer;
  connectTo(peer);
  const std::string huge(Tetherable::kMaxDescriptionBytes, 'x');
  struct Case {
    std::string payload;
    std::string line;  // the start of the "Connected to" line, or empty when none is printed
    bool cut;          // whether the line is a summary ending in "…"
  };
  const Case cases[] = {
      {R"({"model": "\u001b[2JEvil\nDisconnected from 5"})",
       R"(Connected to { "model": "\u{1B}[2JEvil\u{A}Disconnected from 5" })", false},
      {R"({"model": "\u009b31m"})", R"(Connected to { "model": "\u{9B}31m" })", false},
      // A long object is cut to a summary.
      {R"({"model": ")" + huge.substr(0, 5000) + R"("})", R"(Connected to { "model": "xxxx)", true},
      // Past the payload bound it is not even decoded.
      {R"({"model": ")" + huge + R"("})", "", false},
  };
  for (const Case& c : cases) {
    const std::size_t from = log.text().size();
    peer.send(100, 0, textBytes(c.payload));
    sendSentinelAndWait(peer);
    std::string connected;
    std::istringstream lines(log.text().substr(from));
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("Connected to {") && line.find("sentinel-") == std::string::npos) {
        connected = line;
      }
    }
    if (c.line.empty()) {
      EXPECT_EQ(connected, "");
    } else if (c.cut) {
      EXPECT_TRUE(connected.starts_with(c.line)) << connected;
      EXPECT_TRUE(connected.ends_with("…"));
      EXPECT_LE(connected.size(), std::string("Connected to ").size() + 1024 + 3);
    } else {
      EXPECT_EQ(connected, c.line);
    }
  }
  EXPECT_EQ(log.text().find('\x1B'), std::string::npos);
}

TEST_F(TetherableTest, OversizedOrSwollenDescriptionsAreDroppedBeforeTheParserBuildsThem) {
  DevicePeer peer;
  connectTo(peer);
  auto padded = xmlDescription("Padded", 1024, 768, 132);
  const std::string comment = "<!--" + std::string(Tetherable::kMaxDescriptionBytes, '-') + "-->";
  padded.insert(padded.end() - 8, comment.begin(), comment.end());  // before </plist>
  std::string swollen =
      "<plist><dict><key>name</key><string>Swollen</string><key>junk</key><array>";
  for (int i = 0; i < 5000; ++i)
    swollen += "<true/>";
  swollen +=
      "</array><key>screenSize</key><dict><key>Width</key><integer>1024</integer>"
      "<key>Height</key><integer>768</integer></dict></dict></plist>";
  ASSERT_LT(swollen.size(), Tetherable::kMaxDescriptionBytes);
  const std::pair<const char*, platform::TLData> cases[] = {
      {"past the byte bound", padded},
      {"past the element bound", textBytes(swollen)},
      {"a date for a width",
       textBytes("<plist><dict><key>name</key><string>Dated</string><key>screenSize</key><dict>"
                 "<key>Width</key><date>2001-01-01T00:17:04Z</date><key>Height</key>"
                 "<integer>768</integer></dict></dict></plist>")},
      {"a lenient integer",
       textBytes("<plist><dict><key>name</key><string>Loose</string><key>screenSize</key><dict>"
                 "<key>Width</key><integer>12abc</integer><key>Height</key>"
                 "<integer>768</integer></dict></dict></plist>")},
  };
  for (const auto& [what, payload] : cases) {
    peer.send(105, 0, payload);
    sendSentinelAndWait(peer);
    EXPECT_EQ(recorder.count(deviceConnected()), 0) << what;
  }
  peer.send(105, 0, xmlDescription("Fine", 1024, 768, 132));
  EXPECT_TRUE(waitUntil([&] { return recorder.count(deviceConnected()) == 1; }));
}

TEST_F(TetherableTest, TheDisconnectLineSaysWhyTheChannelBroke) {
  struct Case {
    std::function<void(DevicePeer&)> breakIt;
    std::string reason;  // after "Disconnected from 127.0.0.1:<port>"
  };
  const Case cases[] = {
      {[](DevicePeer& peer) { peer.closeNewest(); }, ""},
      {[](DevicePeer& peer) { peer.sendRaw(textBytes("garbage, not a frame header")); },
       ": The peer sent a frame of an unsupported protocol version."},
      {[](DevicePeer& peer) {
         auto frame = platform::encodeWireFrame(105, 0, textBytes("{}"));
         frame.pop_back();
         peer.sendRaw(frame);
         peer.closeNewest();
       },
       ": The connection ended in the middle of a frame."},
  };
  for (const Case& c : cases) {
    DevicePeer peer;
    connectTo(peer);
    const int before = recorder.count(deviceDisconnected());
    c.breakIt(peer);
    ASSERT_TRUE(waitUntil([&] { return recorder.count(deviceDisconnected()) == before + 1; }));
    EXPECT_TRUE(log.contains("Disconnected from 127.0.0.1:" + std::to_string(peer.port()) +
                             c.reason + "\n"))
        << log.text();
    tetherable.reset();
    platform::drainMainQueue();
  }
}

TEST_F(TetherableTest, PongsReportTheRoundTripOnceAndStrayPongsDoNothing) {
  DevicePeer peer;
  connectTo(peer);
  ASSERT_TRUE(waitUntil([&] { return peer.pingCount() >= 1; }));
  const auto firstTag = peer.received().front().tag;
  peer.send(103, firstTag ^ 0x80000000u, {});  // a tag nobody sent
  peer.send(103, firstTag, {});
  peer.send(103, firstTag, {});  // the same pong again
  sendSentinelAndWait(peer);
  EXPECT_EQ(occurrences(log.text(), "Ping total roundtrip time: "), 1);
  EXPECT_TRUE(hasRoundTripLine(log.text())) << log.text();

  peer.setAnswerPings(true);
  ASSERT_TRUE(
      waitUntil([&] { return occurrences(log.text(), "Ping total roundtrip time: ") >= 3; }));
}

TEST_F(TetherableTest, AnUnknownFrameTypeClosesTheChannelAndDisconnectedFollows) {
  DevicePeer peer;
  connectTo(peer);
  const auto port = peer.port();
  peer.send(104, 0, textBytes("what is this"));
  ASSERT_TRUE(waitUntil([&] { return recorder.count(deviceDisconnected()) == 1; }));
  EXPECT_TRUE(log.contains("Unexpected frame of type 104\n"));
  EXPECT_TRUE(log.contains("Disconnected from 127.0.0.1:" + std::to_string(port) + "\n"));
  EXPECT_TRUE(waitUntil([&] { return peer.openCount() == 0 || peer.acceptedCount() > 1; }));
}

TEST_F(TetherableTest, APeerThatHangsUpCleanlyStillEndsTheConnectionAndIsRetried) {
  DevicePeer peer;
  connectTo(peer);
  peer.closeNewest();
  ASSERT_TRUE(waitUntil([&] { return recorder.count(deviceDisconnected()) == 1; }));
  EXPECT_EQ(recorder.names(), std::vector<std::string>{deviceDisconnected()});
  EXPECT_FALSE(tetherable->connectedDeviceID());
  // The loopback attempts go on after a connection ended.
  ASSERT_TRUE(waitUntil([&] { return peer.acceptedCount() == 2; }));
  ASSERT_TRUE(waitUntil([&] { return tetherable->connectedChannel() != nullptr; }));
}

TEST_F(TetherableTest, OneLoopbackConnectionServesAsLongAsItLives) {
  DevicePeer peer;
  peer.setGreeting({platform::encodeWireFrame(105, 0, xmlDescription("Tablet", 1024, 768, 132))});
  connectTo(peer);
  const auto channel = tetherable->connectedChannel();
  // Pings are one retry delay apart, so five of them span five loopback retry periods.
  ASSERT_TRUE(waitUntil([&] { return peer.pingCount() >= 5; }));
  EXPECT_EQ(peer.acceptedCount(), 1);
  EXPECT_EQ(peer.openCount(), 1);
  EXPECT_EQ(tetherable->connectedChannel(), channel);
  EXPECT_EQ(recorder.count(deviceConnected()), 1);
}

TEST_F(TetherableTest, OutstandingPingsExpireAndAreForgottenWhenTheChannelEnds) {
  // Read on the channel's and the timers' threads while this one moves it.
  std::atomic<double> offset = 0;
  platform::setUptimeSource([&offset] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
               .count() +
           offset.load();
  });
  DevicePeer peer;  // never answers
  connectTo(peer, 0.2);
  // Enough pings that the table, emptied by the next one after the jump, takes more than a
  // second to grow back to this size: a busy machine cannot hide the drop from the poll.
  constexpr std::size_t kBeforeJump = 8;
  ASSERT_TRUE(waitUntil([&] { return tetherable->outstandingPingCount() >= kBeforeJump; }, 15.0));
  offset = Tetherable::kPingExpiry + 1;  // every outstanding ping is now too old
  ASSERT_TRUE(waitUntil([&] { return tetherable->outstandingPingCount() < kBeforeJump; }));
  peer.closeNewest();
  ASSERT_TRUE(waitUntil([&] { return recorder.count(deviceDisconnected()) == 1; }));
  EXPECT_EQ(tetherable->outstandingPingCount(), 0u);
  platform::setUptimeSource({});
}

TEST_F(TetherableTest, AttachAndDetachFollowTheDeviceBeingConnectedTo) {
  ReservedPort reserved;
  tetherable = Tetherable::make(reserved.port, kDelay, hub);
  postAttach(hub, 7, {{"SerialNumber", Value("S7")}});
  ASSERT_TRUE(waitUntil([&] { return recorder.count(deviceUsbAttached()) == 1; }));
  EXPECT_EQ(tetherable->connectingToDeviceID(), 7);
  EXPECT_EQ(tetherable->connectedDeviceProperties(),
            (Value::Dictionary{{"SerialNumber", Value("S7")}}));
  EXPECT_TRUE(log.contains("TLUSBDeviceDidAttachNotification: 7\n"));

  // The same device again changes nothing; another one takes over.
  postAttach(hub, 7);
  postAttach(hub, 8);
  ASSERT_TRUE(waitUntil([&] { return recorder.count(deviceUsbAttached()) == 2; }));
  EXPECT_EQ(tetherable->connectingToDeviceID(), 8);

  // A detach of another device only logs.
  postDetach(hub, 7);
  postDetach(hub, 8);
  ASSERT_TRUE(waitUntil([&] { return recorder.count(deviceUsbDetached()) == 1; }));
  EXPECT_TRUE(log.contains("TLUSBDeviceDidDetachNotification: 7\n"));
  EXPECT_FALSE(tetherable->connectingToDeviceID());
  EXPECT_FALSE(tetherable->connectedDeviceProperties());

  // Notifications without a usable id, or from another hub, are not ours.
  const auto before = log.text();
  platform::NotificationCenter::defaultCenter()->post(platform::TLUSBDeviceDidAttachNotification,
                                                      hub);
  platform::NotificationCenter::defaultCenter()->post(
      platform::TLUSBDeviceDidAttachNotification, hub,
      {{platform::TLUSBHubNotificationKeyDeviceID, Value("seven")}});
  postAttach(platform::TLUSBHub::make(), 9);
  EXPECT_EQ(log.text(), before);
  postAttach(hub, 10);  // a sentinel behind them on the serial queue
  ASSERT_TRUE(waitUntil([&] { return recorder.count(deviceUsbAttached()) == 3; }));
  EXPECT_EQ(tetherable->connectingToDeviceID(), 10);
}

TEST_F(TetherableTest, ADetachNeverOvertakesTheAttachItFollows) {
  ReservedPort reserved;
  tetherable = Tetherable::make(reserved.port, kDelay, hub);
  constexpr int kDevices = 25;
  for (int id = 1; id <= kDevices; ++id) {
    postAttach(hub, id);
    postDetach(hub, id);
  }
  ASSERT_TRUE(waitUntil([&] { return recorder.count(deviceUsbDetached()) == kDevices; }));
  EXPECT_EQ(recorder.count(deviceUsbAttached()), kDevices);
  const auto names = recorder.names();
  for (std::size_t i = 0; i + 1 < names.size(); i += 2) {
    EXPECT_EQ(names[i], deviceUsbAttached());
    EXPECT_EQ(names[i + 1], deviceUsbDetached());
  }
  EXPECT_FALSE(tetherable->connectingToDeviceID());
}

TEST_F(TetherableTest, UnpluggingAUSBDeviceLeavesALoopbackPeerAlone) {
  DevicePeer peer;
  connectTo(peer);
  const auto channel = tetherable->connectedChannel();
  postAttach(hub, 3);
  postDetach(hub, 3);
  ASSERT_TRUE(waitUntil([&] { return recorder.count(deviceUsbDetached()) == 1; }));
  sendSentinelAndWait(peer);
  EXPECT_EQ(tetherable->connectedChannel(), channel);
  EXPECT_TRUE(channel->isConnected());
  EXPECT_EQ(recorder.count(deviceDisconnected()), 0);
}

TEST_F(TetherableTest, DelayedCallsRunOnTheMainQueueClock) {
  // A retry delay no test could wait for in real time: only the main queue's clock, moved by
  // the test, lets the delayed pings fall due.
  constexpr double kLongDelay = 1000;
  platform::VirtualMainClock clock;
  DevicePeer peer;
  connectTo(peer, kLongDelay);
  EXPECT_EQ(peer.pingCount(), 0);
  for (std::size_t expected = 1; expected <= 3; ++expected) {
    // The next ping is scheduled once the last one was sent; advance until it is due.
    bool arrived = false;
    for (int i = 0; i < 20 && !arrived; ++i) {
      clock.advance(kLongDelay);
      arrived = waitUntil([&] { return peer.pingCount() >= expected; }, 0.2);
    }
    EXPECT_TRUE(arrived) << "ping " << expected;
  }
}

}  // namespace
}  // namespace streaming
