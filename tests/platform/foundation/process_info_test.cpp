#include "platform/foundation/process_info.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string_view>
#include <thread>
#include <vector>

namespace platform {
namespace {

TEST(SystemUptime, IsMonotonicAndInjectable) {
  double previous = systemUptime();
  EXPECT_GT(previous, 0);
  for (int i = 0; i < 1000; ++i) {
    double now = systemUptime();
    EXPECT_GE(now, previous);
    previous = now;
  }

  double fake = 100;
  setUptimeSource([&] { return fake; });
  EXPECT_EQ(systemUptime(), 100);
  fake = 250.5;
  EXPECT_EQ(systemUptime(), 250.5);
  setUptimeSource(nullptr);
  EXPECT_GE(systemUptime(), previous);
  EXPECT_LT(systemUptime(), 250.5 + previous);
}

// 8-4-4-4-12 upper-case hex digits, version 4, RFC 4122 variant.
bool isVersionFourText(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    char c = text[i];
    if (dash != (c == '-')) return false;
    if (!dash && !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return text[14] == '4' && std::string_view("89AB").find(text[19]) != std::string_view::npos;
}

TEST(UUID, IsRandomVersionFourInUpperCase) {
  EXPECT_FALSE(isVersionFourText("00000000-0000-4000-8000-00000000000a"));
  EXPECT_FALSE(isVersionFourText("00000000-0000-1000-8000-000000000000"));
  std::set<std::string> seen;
  for (int i = 0; i < 5000; ++i) {
    UUID uuid;
    ASSERT_TRUE(isVersionFourText(uuid.uuidString())) << uuid.uuidString();
    seen.insert(uuid.uuidString());
  }
  EXPECT_EQ(seen.size(), 5000u);
  UUID a, b;
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a == a);
}

// Identifiers are drawn from random bytes fetched ahead: threads drawing at once, and a forked
// child with a copy of its parent's memory, must still never repeat one another.
TEST(UUID, ThreadsAndForkedChildrenNeverRepeatOneAnother) {
  std::vector<std::vector<std::string>> drawn(8);
  std::vector<std::thread> threads;
  for (auto& mine : drawn) {
    threads.emplace_back([&mine] {
      for (int i = 0; i < 1000; ++i)
        mine.push_back(UUID().uuidString());
    });
  }
  for (auto& thread : threads)
    thread.join();
  std::set<std::string> seen;
  for (const auto& mine : drawn)
    seen.insert(mine.begin(), mine.end());
  EXPECT_EQ(seen.size(), 8000u);

  UUID before;  // the bytes for the next few are already fetched
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string text = UUID().uuidString();
    const bool written = write(pipeEnds[1], text.data(), text.size()) == ssize_t(text.size());
    _exit(written ? 0 : 1);
  }
  close(pipeEnds[1]);
  const std::string parentNext = UUID().uuidString();
  char buffer[64] = {};
  const ssize_t got = read(pipeEnds[0], buffer, sizeof buffer);
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_EQ(got, 36);
  EXPECT_TRUE(isVersionFourText(std::string_view(buffer, 36)));
  EXPECT_NE(std::string(buffer, 36), parentNext);
  EXPECT_NE(std::string(buffer, 36), before.uuidString());
}

TEST(UUID, GeneratorIsInjectable) {
  int n = 0;
  UUID::setGenerator([&] { return "00000000-0000-4000-8000-00000000000" + std::to_string(n++); });
  UUID first, second;
  EXPECT_EQ(first.uuidString(), "00000000-0000-4000-8000-000000000000");
  EXPECT_EQ(second.uuidString(), "00000000-0000-4000-8000-000000000001");
  UUID::setGenerator(nullptr);
  EXPECT_NE(UUID().uuidString().substr(0, 8), "00000000");
}

}  // namespace
}  // namespace platform
