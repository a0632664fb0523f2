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

TEST(Log, OutsideTextIsEscapedAndBoundedForOneConsoleLine) {
  struct Case {
    std::string text;
    std::size_t maxBytes;
    std::string expected;
  };
  const Case cases[] = {
      {"plain Tablet", 1024, "plain Tablet"},
      {"caf\xC3\xA9 \xE2\x82\xAC", 1024, "caf\xC3\xA9 \xE2\x82\xAC"},
      {"\x1B[2J\x1B]0;owned\x07", 1024, "\\u{1B}[2J\\u{1B}]0;owned\\u{7}"},
      {"forged\nRefused the description", 1024, "forged\\u{A}Refused the description"},
      {"cr\rtab\tdel\x7F", 1024, "cr\\u{D}tab\\u{9}del\\u{7F}"},
      {std::string("nul\0end", 7), 1024, "nul\\u{0}end"},
      {"c1 \xC2\x9B csi", 1024, "c1 \\u{9B} csi"},
      {"bad \xFF\xC3 utf8", 1024, "bad \\u{FF}\\u{C3} utf8"},
      {"surrogate \xED\xA0\x80", 1024, "surrogate \\u{ED}\\u{A0}\\u{80}"},
      {std::string(50, 'x'), 10, "xxxxxxxxxx…"},
      // Cut between characters, never inside one; escapes count their full length.
      {"\xC3\xA9\xC3\xA9\xC3\xA9", 5, "\xC3\xA9\xC3\xA9…"},
      {"ab\x1B\x1B", 10, "ab\\u{1B}…"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(escapedForConsole(c.text, c.maxBytes), c.expected) << c.text;
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
