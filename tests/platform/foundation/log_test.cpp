#include "platform/foundation/log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace platform {
namespace {

TEST(Log, CaptureCollectsPrintAndLogLines) {
  LogCapture capture;
  print("hello");
  log("warning: disk");
  EXPECT_EQ(capture.text(), "hello\nwarning: disk\n");
  EXPECT_TRUE(capture.contains("disk"));
  EXPECT_FALSE(capture.contains("absent"));
}

TEST(Log, NestedCapturesRestoreTheOuterOne) {
  LogCapture outer;
  print("one");
  {
    LogCapture inner;
    print("two");
    EXPECT_EQ(inner.text(), "two\n");
  }
  print("three");
  EXPECT_EQ(outer.text(), "one\nthree\n");
}

TEST(Log, SinkSeesTheStreamAndSwappingReturnsThePrevious) {
  std::vector<std::pair<LogStream, std::string>> lines;
  auto previous = setLogSink(
      [&](LogStream stream, std::string_view line) { lines.emplace_back(stream, line); });
  print("p");
  log("l");
  auto mine = setLogSink(std::move(previous));
  ASSERT_TRUE(mine);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], (std::pair<LogStream, std::string>{LogStream::print, "p"}));
  EXPECT_EQ(lines[1], (std::pair<LogStream, std::string>{LogStream::log, "l"}));
}

TEST(Log, CaptureKeepsLinesWholeUnderConcurrentWriters) {
  LogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        if (i % 2) {
          print("thread " + std::to_string(t) + " line " + std::to_string(i));
        } else {
          log("thread " + std::to_string(t) + " line " + std::to_string(i));
        }
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  auto text = capture.text();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1600);
  for (int t = 0; t < 8; ++t) {
    EXPECT_TRUE(capture.contains("thread " + std::to_string(t) + " line 199\n"));
  }
}

TEST(LogDeathTest, FatalPrintsAndAborts) {
  EXPECT_DEATH(fatal("the reactor melted"), "Fatal error: the reactor melted");
  // A capture in place must not hide why the program stopped.
  EXPECT_DEATH(
      {
        LogCapture capture;
        fatal("captured but still shown");
      },
      "captured but still shown");
}

}  // namespace
}  // namespace platform
