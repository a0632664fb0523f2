#include "platform/foundation/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace platform {
namespace {

constexpr const char* kHelperVariable = "TOVARINE_CHILD_PROCESS_HELPER_SIGNAL";

ChildProcessRequest request(std::string path, std::vector<std::string> arguments) {
  ChildProcessRequest result;
  result.path = std::move(path);
  result.arguments = std::move(arguments);
  return result;
}

std::string readAll(int fd) {
  std::string text;
  char buffer[256];
  ssize_t count;
  while ((count = ::read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(count));
  return text;
}

// Reaps `pid` if it ends within `seconds`; its wait status, or nullopt when it is still running.
std::optional<int> reapWithin(pid_t pid, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (true) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return status;
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TEST(ChildProcess, StartsProgramsWithTheirArgumentsAndDescriptorsOrSaysWhyNot) {
  struct Case {
    const char* what;
    ChildProcessRequest request;
    bool mapPipe;           // hand the write end of a pipe over as descriptor 3
    std::string errorPart;  // empty: expected to start
    int exitCode = 0;
    std::string output;  // what it wrote to descriptor 3
  };
  const Case cases[] = {
      {"an exit code", request("/bin/sh", {"sh", "-c", "exit 3"}), false, "", 3, ""},
      {"a descriptor handed over", request("/bin/sh", {"sh", "-c", "echo \"$0\" >&3", "argument"}),
       true, "", 0, "argument\n"},
      {"standard output goes nowhere", request("/bin/sh", {"sh", "-c", "echo lost; echo kept >&3"}),
       true, "", 0, "kept\n"},
      {"a missing program", request("/nonexistent/program", {"program"}), false,
       "Cannot start /nonexistent/program: No such file or directory", 0, ""},
      {"not a program", request("/dev/null", {"null"}), false, "Permission denied", 0, ""},
      {"no arguments", request("/bin/true", {}), false, "No program name", 0, ""},
  };
  for (const Case& c : cases) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ChildProcessRequest started = c.request;
    if (c.mapPipe) started.descriptors = {{fds[1], 3}};
    auto pid = startChildProcess(started);
    ::close(fds[1]);
    const std::string output = readAll(fds[0]);
    ::close(fds[0]);
    if (!c.errorPart.empty()) {
      ASSERT_FALSE(pid) << c.what;
      EXPECT_NE(pid.error().find(c.errorPart), std::string::npos) << c.what << ": " << pid.error();
      continue;
    }
    ASSERT_TRUE(pid) << c.what << ": " << pid.error();
    auto status = reapWithin(*pid, 10);
    ASSERT_TRUE(status) << c.what;
    EXPECT_TRUE(WIFEXITED(*status)) << c.what;
    EXPECT_EQ(WEXITSTATUS(*status), c.exitCode) << c.what;
    EXPECT_EQ(output, c.output) << c.what;
  }
}

// The middle process of the next test: starts a long sleeper, says its pid on descriptor 3
// and waits to be killed.
TEST(ChildProcessHelper, StartsASleeperAndWaitsToBeKilled) {
  const char* signal = std::getenv(kHelperVariable);
  if (!signal) GTEST_SKIP() << "only run by ChildProcess.DiesWithTheProcessThatStartedIt";
  ::fcntl(3, F_SETFD, FD_CLOEXEC);  // not the sleeper's to keep open
  ChildProcessRequest sleeper = request("/bin/sleep", {"sleep", "600"});
  sleeper.parentDeathSignal = std::atoi(signal);
  auto pid = startChildProcess(sleeper);
  const std::string line = pid ? std::to_string(*pid) + "\n" : std::string("failed\n");
  ASSERT_EQ(::write(3, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  ::close(3);
  while (true)
    ::pause();
}

TEST(ChildProcess, DiesWithTheProcessThatStartedItEvenWhenThatIsKilled) {
  // Orphans come to this process, so the sleeper can be reaped and its end observed here.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  for (int signal : {SIGTERM, SIGKILL}) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::setenv(kHelperVariable, std::to_string(signal).c_str(), 1);
    ChildProcessRequest middle =
        request("/proc/self/exe", {"helper", "--gtest_filter=ChildProcessHelper.*"});
    middle.descriptors = {{fds[1], 3}};
    auto middlePid = startChildProcess(middle);
    ::unsetenv(kHelperVariable);
    ::close(fds[1]);
    ASSERT_TRUE(middlePid) << middlePid.error();
    std::string said;
    char c = 0;
    while (said.size() < 32 && ::read(fds[0], &c, 1) == 1 && c != '\n')
      said.push_back(c);
    ::close(fds[0]);
    const pid_t sleeper = static_cast<pid_t>(std::atoi(said.c_str()));
    ASSERT_GT(sleeper, 0) << said;

    ::kill(*middlePid, SIGKILL);
    ASSERT_TRUE(reapWithin(*middlePid, 10));
    auto status = reapWithin(sleeper, 10);
    if (!status) {
      ::kill(sleeper, SIGKILL);
      reapWithin(sleeper, 10);
    }
    ASSERT_TRUE(status) << "the sleeper outlived the process that started it";
    EXPECT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), signal);
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace
}  // namespace platform
