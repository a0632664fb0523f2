#include "platform/dispatch/termination_signals.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>

#include "platform/dispatch/main_queue.h"

namespace platform {
namespace {

// Each case runs in a process of its own: the first signal a process receives is the only
// one handed on.
TEST(TerminationSignalsDeathTest, TheFirstSignalReachesTheMainQueueAndASecondEndsAtOnce) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    // Handed on: the handler runs on the main queue with the signal's number.
    EXPECT_EXIT(
        {
          onTerminationSignal([](int received) { std::_Exit(40 + received); });
          ::raise(signal);
          runMainUntil([] { return false; }, 10);
          std::_Exit(1);
        },
        ::testing::ExitedWithCode(40 + signal), "")
        << signal;
    // While the first one's work is under way, a second signal is not caught any more.
    EXPECT_EXIT(
        {
          onTerminationSignal([](int) {});
          ::raise(signal);
          ::raise(signal);
          std::_Exit(1);
        },
        ::testing::KilledBySignal(signal), "")
        << signal;
  }
}

}  // namespace
}  // namespace platform
