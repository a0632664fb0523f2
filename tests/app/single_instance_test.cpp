#include "app/shell/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QLocalSocket>
#include <cstring>
#include <functional>

#include "app/support/app_test_support.h"

namespace app {
namespace {

namespace fs = std::filesystem;

// A socket file bound and then abandoned, as a killed copy leaves it.
void leaveStaleSocket(const fs::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
}

TEST(SingleInstance, TheFirstClaimListensWhateverAKilledCopyLeft) {
  test::qtApplication();
  struct Row {
    const char* name;
    // What is there before the claim; answers a descriptor to keep open through it, or -1.
    std::function<int(const fs::path& socket)> before;
    SingleInstance::Role expected;
  };
  const Row rows[] = {
      {"nothing", [](const fs::path&) { return -1; }, SingleInstance::Role::first},
      {"a stale socket and lock file",
       [](const fs::path& socket) {
         leaveStaleSocket(socket);
         const fs::path lock = socket.string() + ".lock";
         ::close(::open(lock.c_str(), O_RDWR | O_CREAT, 0600));
         return -1;
       },
       SingleInstance::Role::first},
      {"a holder of the lock that never answers",
       [](const fs::path& socket) {
         leaveStaleSocket(socket);
         const fs::path lock = socket.string() + ".lock";
         const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0600);
         ::flock(fd, LOCK_EX);
         return fd;
       },
       SingleInstance::Role::unanswered},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    test::TemporaryFolder runtime;
    const fs::path socket = runtime.path() / "tovarine" / "instance";
    fs::create_directories(socket.parent_path());
    const int held = row.before(socket);
    int laterStarts = 0;
    {
      SingleInstance instance(socket, 2);
      EXPECT_EQ(instance.claim([&] { ++laterStarts; }), row.expected);
      if (row.expected == SingleInstance::Role::first) {
        // A later start reaches it, and is answered after it was told.
        QLocalSocket later;
        later.connectToServer(QString::fromStdString(socket.string()));
        ASSERT_TRUE(later.waitForConnected(5000));
        later.write("show\n");
        QByteArray reply;
        EXPECT_TRUE(test::runUntil([&] {
          reply += later.readAll();
          return reply.contains('\n');
        }));
        EXPECT_EQ(reply, "shown\n");
        EXPECT_EQ(laterStarts, 1);
      }
    }
    if (held >= 0) ::close(held);
  }
}

}  // namespace
}  // namespace app
