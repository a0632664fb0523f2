#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/url_opener.h"
#include "platform/display/display_environment.h"
#include "platform/display/display_error.h"
#include "platform/foundation/log.h"
#include "streaming/notification_names.h"
#include "streaming/virtual_screen.h"

namespace {

using platform::TXTRecord;

std::vector<std::uint8_t> bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

std::vector<std::uint8_t> encoded(const TXTRecord& record) {
  return platform::dataFromTXTRecord(record).value();
}

class FakeStream : public platform::NetServiceStream {
 public:
  void close() override { closed = true; }
  bool closed = false;
};

// A VirtualScreen on a machine without displays, with URL opening recorded instead of done.
class DisplayServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setDisplayEnvironment(platform::DisplayEnvironment{
        "", platform::VirtualDisplayBackendKind::xvfbPerDisplay, "/nonexistent/Xvfb"});
    platform::setURLOpener([this](const std::string& url, const platform::URLOpenConfiguration& c,
                                  std::function<void(platform::ErrorPtr)> completion) {
      opened_.push_back(url);
      newInstance_ = c.createsNewApplicationInstance;
      completion(openError_);
    });
    screen_ = streaming::VirtualScreen::make();
    other_ = std::make_shared<platform::NetService>("local.", streaming::kDisplayServiceType,
                                                    "Other-Mac");
  }
  void TearDown() override {
    screen_.reset();
    platform::setURLOpener(nullptr);
    platform::setDisplayEnvironment(std::nullopt);
  }

  std::shared_ptr<streaming::VirtualScreen> screen_;
  std::shared_ptr<platform::NetService> other_;
  std::vector<std::string> opened_;
  bool newInstance_ = false;
  platform::ErrorPtr openError_;
};

TEST_F(DisplayServiceTest, DescribesThisComputerWithoutPublishing) {
  EXPECT_EQ(screen_->ns()->domain(), "local.");
  EXPECT_EQ(screen_->ns()->type(), "_tovarine-displays._tcp.");
  EXPECT_FALSE(screen_->ns()->name().empty());
  EXPECT_FALSE(screen_->browser()->isSearching());
  EXPECT_TRUE(screen_->discoveredServices().empty());
  EXPECT_TRUE(screen_->activeDisplays().empty());

  platform::LogCapture log;
  screen_->makeTXTRecord(*screen_->ns());
  EXPECT_EQ(log.text(), "Set txtRecord --type=displays,ndisplays=0\n");
  ASSERT_TRUE(screen_->ns()->txtRecordData());
  EXPECT_EQ(platform::txtRecordFromData(*screen_->ns()->txtRecordData()),
            (TXTRecord{{"--type", bytes("displays")}, {"ndisplays", bytes("0")}}));

  // The end of a device's channel clears the record.
  platform::NotificationCenter::defaultCenter()->post(streaming::deviceDisconnected());
  screen_->flushPendingWork();
  EXPECT_FALSE(screen_->ns()->txtRecordData());
}

TEST_F(DisplayServiceTest, SaysWhenTheServiceDidNotTakeTheRecord) {
  platform::LogCapture log;
  screen_->setTXTRecord("displays", {{"bad=key", bytes("1")}}, *screen_->ns());
  EXPECT_EQ(log.text(), "Did not set txtRecord --type=displays,bad=key=1\n");
  EXPECT_FALSE(screen_->ns()->txtRecordData());
}

TEST_F(DisplayServiceTest, FormatsRecordsInKeyOrderWithReplacementCharacters) {
  EXPECT_EQ(streaming::VirtualScreen::formatTXTRecord(
                {{"width0", bytes("1024")}, {"--type", bytes("displays")}, {"name0", {0xff}}}),
            "--type=displays,name0=\xef\xbf\xbd,width0=1024");
  EXPECT_EQ(streaming::VirtualScreen::formatTXTRecord({}), "");
}

TEST_F(DisplayServiceTest, ReadsIntegerValues) {
  const TXTRecord record{{"a", bytes("42")},
                         {"b", bytes("+7")},
                         {"c", bytes("-3")},
                         {"d", bytes("abc")},
                         {"e", bytes("")},
                         {"f", bytes("+")},
                         {"g", bytes("9223372036854775807")},
                         {"h", bytes("9223372036854775808")},
                         {"i", bytes("-9223372036854775808")},
                         {"j", {'1', 0xff}},
                         {"k", bytes(" 1")}};
  EXPECT_EQ(streaming::txtIntegerValue(record, "a"), 42);
  EXPECT_EQ(streaming::txtIntegerValue(record, "b"), 7);
  EXPECT_EQ(streaming::txtIntegerValue(record, "c"), -3);
  EXPECT_EQ(streaming::txtIntegerValue(record, "g"), INT64_MAX);
  EXPECT_EQ(streaming::txtIntegerValue(record, "i"), INT64_MIN);
  for (const char* absent : {"d", "e", "f", "h", "j", "k", "missing"}) {
    EXPECT_FALSE(streaming::txtIntegerValue(record, absent)) << absent;
  }
}

TEST_F(DisplayServiceTest, InterpretsAnotherComputersDisplayList) {
  platform::LogCapture log;
  screen_->interpretTXTRecord(*other_,
                              encoded({{"--type", bytes("displays")}, {"ndisplays", bytes("2")}}));
  EXPECT_EQ(log.text(),
            "Got updated TXT record of: Other-Mac: 28 bytes\n"
            "--type=displays,ndisplays=2\n"
            "Other-Mac has 2 display(s)\n");
}

TEST_F(DisplayServiceTest, StopsAtACountThatIsNotANumber) {
  platform::LogCapture log;
  screen_->interpretTXTRecord(
      *other_, encoded({{"--type", bytes("displays")}, {"ndisplays", bytes("abc")}}));
  EXPECT_EQ(log.text(),
            "Got updated TXT record of: Other-Mac: 30 bytes\n"
            "--type=displays,ndisplays=abc\n");
}

TEST_F(DisplayServiceTest, IgnoresItsOwnRecordAndRecordsWithoutAType) {
  platform::LogCapture log;
  const auto data = encoded({{"--type", bytes("displays")}, {"ndisplays", bytes("1")}});
  screen_->interpretTXTRecord(*screen_->ns(), data);
  EXPECT_EQ(log.text(), "Got updated TXT record of: " + screen_->ns()->name() + ": 28 bytes\n");

  platform::LogCapture untyped;
  screen_->interpretTXTRecord(*other_, encoded({{"ndisplays", bytes("1")}}));
  EXPECT_EQ(untyped.text(), "Got updated TXT record of: Other-Mac: 12 bytes\nndisplays=1\n");

  platform::LogCapture malformed;
  screen_->interpretTXTRecord(*other_, bytes("\x09short"));
  EXPECT_EQ(malformed.text(), "Got updated TXT record of: Other-Mac: 6 bytes\n\n");

  platform::LogCapture unknown;
  screen_->interpretTXTRecord(*other_, encoded({{"--type", bytes("video")}}));
  EXPECT_TRUE(unknown.contains("Unhandled TXT record type video\n"));
}

TEST_F(DisplayServiceTest, OpensScreenSharingOnlyForARequestNamingThisComputer) {
  platform::LogCapture log;
  screen_->interpretTXTRecord(
      *other_, encoded({{"--type", bytes("request")}, {"source", bytes("Somebody-Else")}}));
  EXPECT_TRUE(opened_.empty());
  EXPECT_FALSE(log.contains("Will open"));

  screen_->interpretTXTRecord(
      *other_, encoded({{"--type", bytes("request")}, {"source", bytes(screen_->ns()->name())}}));
  EXPECT_TRUE(log.contains("Will open Screen Sharing to Other-Mac.local.\n"));
  ASSERT_EQ(opened_, std::vector<std::string>{"vnc://Other-Mac.local."});
  EXPECT_TRUE(newInstance_);

  openError_ = platform::makeError(platform::DisplayError("no handler"));
  screen_->interpretTXTRecord(
      *other_, encoded({{"--type", bytes("request")}, {"source", bytes(screen_->ns()->name())}}));
  EXPECT_TRUE(log.contains("Opening the URL vnc://Other-Mac.local. failed: no handler\n"));
}

TEST_F(DisplayServiceTest, NeverHandsAHostileServiceNameToTheOpener) {
  for (const char* name : {"Bob's Mac; rm -rf ~", "-oProxyCommand=x", "a..b", "$(reboot)"}) {
    platform::NetService hostile("local.", streaming::kDisplayServiceType, name);
    platform::LogCapture log;
    screen_->interpretTXTRecord(
        hostile, encoded({{"--type", bytes("request")}, {"source", bytes(screen_->ns()->name())}}));
    EXPECT_TRUE(log.contains("Will open Screen Sharing to")) << name;
  }
  EXPECT_TRUE(opened_.empty());
}

TEST_F(DisplayServiceTest, AnotherComputersTextsReachTheConsoleEscaped) {
  struct Case {
    std::string name;
    TXTRecord record;
    std::string expected;
  };
  const Case cases[] = {
      {"Evil\x1B[2J",
       {{"--type", bytes("displays")}, {"ndisplays", bytes("1")}},
       "Got updated TXT record of: Evil\\u{1B}[2J: 28 bytes\n"
       "--type=displays,ndisplays=1\n"
       "Evil\\u{1B}[2J has 1 display(s)\n"},
      {"Forger",
       {{"--type", bytes("x\nFound: Mallory")}},
       "Got updated TXT record of: Forger: 24 bytes\n"
       "--type=x\\u{A}Found: Mallory\n"
       "Unhandled TXT record type x\\u{A}Found: Mallory\n"},
  };
  for (const Case& c : cases) {
    platform::NetService service("local.", streaming::kDisplayServiceType, c.name);
    platform::LogCapture log;
    screen_->interpretTXTRecord(service, encoded(c.record));
    EXPECT_EQ(log.text(), c.expected) << c.name;
  }
  platform::LogCapture found;
  screen_->netServiceBrowserDidFindService(
      *screen_->browser(), std::make_shared<platform::NetService>("local.", "t", "Ring\x07Ring"),
      false);
  EXPECT_EQ(found.text(), "Found: Ring\\u{7}Ring\n");
}

TEST_F(DisplayServiceTest, DelegateOperationsReportAndTrackServices) {
  platform::LogCapture log;
  platform::NetServiceBrowser& browser = *screen_->browser();
  screen_->netServiceBrowserDidFindService(
      browser, std::make_shared<platform::NetService>("local.", "t", screen_->ns()->name()), false);
  EXPECT_TRUE(screen_->discoveredServices().empty());

  screen_->netServiceBrowserDidFindService(browser, other_, true);
  EXPECT_EQ(screen_->discoveredServices().at("Other-Mac"), other_);
  EXPECT_EQ(other_->delegate().get(), static_cast<platform::NetServiceDelegate*>(screen_.get()));
  EXPECT_TRUE(other_->isMonitoring());
  EXPECT_TRUE(log.contains("Found: Other-Mac\n"));

  auto input = std::make_shared<FakeStream>();
  screen_->netServiceDidAcceptConnection(*other_, input, std::make_shared<FakeStream>());
  EXPECT_TRUE(input->closed);
  EXPECT_TRUE(log.contains("Accepted connection: " + other_->description() + "\n"));

  screen_->netServiceDidPublish(*screen_->ns());
  EXPECT_TRUE(log.contains("Set txtRecord --type=displays,ndisplays=0\nPublished: " +
                           screen_->ns()->description() + "\n"));

  platform::LogCapture update;
  screen_->netServiceDidUpdateTXTRecordData(*other_, encoded({{"--type", bytes("displays")}}));
  EXPECT_TRUE(update.contains("Got updated TXT record of: Other-Mac"));
}

}  // namespace
