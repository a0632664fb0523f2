#include "platform/display/monitor_owners.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {
namespace {

TEST(MonitorOwners, RecordsReadBackAsWrittenAndForeignLinesAreDropped) {
  const MonitorOwnerRecord record{239,  4242, 147175, "7e0f6d60-c221-43a6-8c9d-49e016afffdf",
                                  1280, 800};
  EXPECT_EQ(formatMonitorOwners({record}),
            "239 4242 147175 7e0f6d60-c221-43a6-8c9d-49e016afffdf 1280x800\n");
  struct Case {
    const char* line;
    bool kept;
  };
  const Case cases[] = {
      {"239 4242 147175 7e0f6d60-c221-43a6-8c9d-49e016afffdf 1280x800", true},
      {"239 4242 147175 7e0f6d60-c221-43a6-8c9d-49e016afffdf", false},             // no size
      {"239 4242 147175 7e0f6d60-c221-43a6-8c9d-49e016afffdf 1280x800 x", false},  // too many
      {"239 -1 147175 7e0f6d60-c221-43a6-8c9d-49e016afffdf 1280x800", false},      // bad pid
      {"239 0 147175 7e0f6d60-c221-43a6-8c9d-49e016afffdf 1280x800", false},
      {"239 4242 147175 NOT-A-BOOT-ID 1280x800", false},
      {"239 4242 147175 7e0f6d60-c221-43a6-8c9d-49e016afffdf 70000x800", false},  // > 16 bits
      {"abc 4242 147175 7e0f6d60-c221-43a6-8c9d-49e016afffdf 1280x800", false},
      {"", false},
  };
  for (const Case& c : cases) {
    const auto records =
        parseMonitorOwners(std::string(c.line) + "\n" + formatMonitorOwners({record}));
    ASSERT_EQ(records.size(), c.kept ? 2u : 1u) << c.line;
    EXPECT_EQ(records.back(), record) << c.line;
  }
}

TEST(MonitorOwners, AnOwnerIsGoneOnlyWhenItEndedOnThisMachine) {
  // A process that has ended and been reaped.
  const pid_t ended = ::fork();
  if (ended == 0) ::_exit(0);
  int status = 0;
  ASSERT_EQ(::waitpid(ended, &status, 0), ended);
  // A process that has ended but not been reaped yet.
  const pid_t zombie = ::fork();
  if (zombie == 0) ::_exit(0);
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT), 0);

  const MonitorOwnerRecord self = ownMonitorRecord(1, 1280, 800);
  ASSERT_FALSE(self.bootID.empty());
  auto with = [&](auto change) {
    MonitorOwnerRecord record = self;
    change(record);
    return record;
  };
  struct Case {
    const char* what;
    MonitorOwnerRecord record;
    MonitorOwnerState state;
  };
  const Case cases[] = {
      {"this process", self, MonitorOwnerState::alive},
      {"an ended process", with([&](auto& r) { r.pid = ended; }), MonitorOwnerState::gone},
      {"a zombie", with([&](auto& r) { r.pid = zombie; }), MonitorOwnerState::gone},
      {"a reused pid", with([](auto& r) { r.startTime += 1; }), MonitorOwnerState::gone},
      {"another boot", with([](auto& r) { r.bootID = "0123-4567"; }), MonitorOwnerState::elsewhere},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(monitorOwnerState(c.record), c.state) << c.what;
  }
  ::waitpid(zombie, &status, 0);
}

}  // namespace
}  // namespace platform
