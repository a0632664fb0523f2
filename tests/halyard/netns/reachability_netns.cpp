// Reachability against the kernel's own routing tables, in a private network namespace made
// for this process alone: it starts with a loopback interface that is down and nothing else,
// nothing done in it is visible outside, and it vanishes with the process. Only route lookups
// happen and the addresses are of the documentation ranges; no packet is sent.
//
// The namespace is entered in `main`, before any thread exists, because it belongs to the
// thread that enters it. A private mount namespace beside it hides /etc/hosts, so that the names
// of this host resolve as on a system that has no such file. Without the right to enter one, or
// without veth pairs, the test skips with the reason, unless TOVARINE_REQUIRE_NETNS=1 makes that a
// failure.

#include <gtest/gtest.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "halyard/policies/network_reachability_manager.h"
#include "platform/dispatch/main_queue.h"

extern char** environ;

namespace {

using halyard::NetworkReachabilityManager;
using Status = NetworkReachabilityManager::NetworkReachabilityStatus;

std::string unshareFailure;

bool required() {
  const char* value = std::getenv("TOVARINE_REQUIRE_NETNS");
  return value && std::string(value) == "1";
}

// Runs `ip` with the arguments, without a shell; true when it succeeded.
bool ip(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "ip");
  std::vector<char*> argv;
  for (auto& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawnp(&child, "ip", nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

#define SKIP_OR_FAIL(reason)            \
  do {                                  \
    if (required()) FAIL() << (reason); \
    GTEST_SKIP() << (reason);           \
  } while (false)

class ReachabilityNetnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!unshareFailure.empty()) SKIP_OR_FAIL("no private network namespace: " + unshareFailure);
    // Refuse to touch the network of the machine: the namespace must be this process's own.
    std::error_code error;
    const auto own = std::filesystem::read_symlink("/proc/self/ns/net", error);
    const auto first = std::filesystem::read_symlink("/proc/1/ns/net", error);
    ASSERT_FALSE(own.empty());
    ASSERT_NE(own, first) << "not in a private network namespace; refusing to change it";
  }
};

TEST_F(ReachabilityNetnsTest, FollowsLinksAddressesAndRoutes) {
  std::error_code sizeError;
  const auto general = NetworkReachabilityManager::create();
  const auto localhost = NetworkReachabilityManager::create("localhost");
  const auto loopback = NetworkReachabilityManager::create("127.0.0.1");
  ASSERT_TRUE(general && localhost && loopback);
  // Loopback is down at the start: even its own addresses are unreachable.
  EXPECT_EQ(general->status(), Status::notReachable());
  EXPECT_EQ(localhost->status(), Status::notReachable());
  EXPECT_EQ(loopback->flags(), 0u);

  ASSERT_TRUE(ip({"link", "set", "lo", "up"}));
  EXPECT_EQ(localhost->flags(), 0x30002u);
  EXPECT_EQ(loopback->flags(), 0x30002u);
  // Loopback names need no hosts file: this process sees an empty one, or none at all where
  // the system has none to hide.
  const auto hostsSize = std::filesystem::file_size("/etc/hosts", sizeError);
  EXPECT_TRUE(sizeError ? !std::filesystem::exists("/etc/hosts") : hostsSize == 0u)
      << "the hosts file is still seen";
  for (const char* name : {"LocalHost.", "tablet.localhost", "a.b.localhost"}) {
    EXPECT_EQ(NetworkReachabilityManager::create(name)->flags(), 0x30002u) << name;
  }
  EXPECT_EQ(NetworkReachabilityManager::create("notlocalhost")->flags(), 0u);
  EXPECT_EQ(general->status(), Status::notReachable());  // loopback is not the network

  if (!ip({"link", "add", "veth0", "type", "veth", "peer", "name", "veth1"})) {
    SKIP_OR_FAIL("no veth pair could be made");
  }
  std::vector<Status> heard;
  ASSERT_TRUE(general->startListening([&](Status status) { heard.push_back(status); }));
  ASSERT_TRUE(platform::runMainUntil([&] { return heard.size() == 1; }));
  EXPECT_EQ(heard[0], Status::notReachable());

  // Up, with an address and a default route, but without carrier while the peer is down.
  ASSERT_TRUE(ip({"addr", "add", "192.0.2.1/24", "dev", "veth0"}));
  ASSERT_TRUE(ip({"link", "set", "veth0", "up"}));
  ASSERT_TRUE(ip({"route", "add", "default", "via", "192.0.2.254", "dev", "veth0"}));
  EXPECT_EQ(general->status(), Status::notReachable());
  EXPECT_EQ(NetworkReachabilityManager::create("192.0.2.7")->flags(), 0u);

  ASSERT_TRUE(ip({"link", "set", "veth1", "up"}));
  ASSERT_TRUE(platform::runMainUntil([&] { return heard.size() == 2; }, 10));
  EXPECT_EQ(heard[1], Status::reachable(Status::ConnectionType::ethernetOrWiFi));
  EXPECT_EQ(general->flags(), 0x2u);  // through a gateway
  EXPECT_EQ(NetworkReachabilityManager::create("192.0.2.7")->flags(), 0x20002u);
  EXPECT_EQ(NetworkReachabilityManager::create("198.51.100.1")->flags(), 0x2u);
  EXPECT_EQ(NetworkReachabilityManager::create("192.0.2.1")->flags(), 0x30002u);

  // Another address changes nothing the listener hears; taking the link down does.
  ASSERT_TRUE(ip({"addr", "add", "192.0.2.2/24", "dev", "veth0"}));
  ASSERT_TRUE(ip({"link", "set", "veth0", "down"}));
  ASSERT_TRUE(platform::runMainUntil([&] { return heard.size() >= 3; }, 10));
  EXPECT_EQ(heard, (std::vector<Status>{Status::notReachable(),
                                        Status::reachable(Status::ConnectionType::ethernetOrWiFi),
                                        Status::notReachable()}));
  general->stopListening();
}

// Hides the system's /etc/hosts behind an empty file in this process's own mount namespace
// (a system without the file is the same to the resolver); "" or why it could not.
std::string hideHostsFile() {
  if (access("/etc/hosts", F_OK) != 0) return "";  // nothing to hide
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return std::string("private mounts: ") + std::strerror(errno);
  char empty[] = "/tmp/reachability-hosts-XXXXXX";
  int fd = mkstemp(empty);
  if (fd < 0) return std::string("an empty file: ") + std::strerror(errno);
  close(fd);
  std::string failure;
  if (mount(empty, "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
    failure = std::string("hiding /etc/hosts: ") + std::strerror(errno);
  unlink(empty);  // the mount keeps the file while this process lives
  return failure;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists: the namespaces belong to the thread that enters them.
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
    unshareFailure = std::strerror(errno);
  } else {
    unshareFailure = hideHostsFile();
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
