// The I/O thread never sleeps through work handed to it: each row drives a few thousand
// sequential requests, each one waiting for the answer of the one before, so every request
// starts with a command posted to a loop that has just gone quiet, and an HTTPS one also with
// a trust challenge answered from the delegate queue while its handshake is paused. A wake-up
// lost on either road shows as a turn whose wait ran out while the work was already there;
// the loop counts those turns, and the count must not move.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/dispatch/main_queue.h"
#include "platform/net/loop/support/hello_servers.h"
#include "platform/net/support/recording_delegate.h"
#include "platform/net/url_session.h"

namespace {

using platform::URL;
using platform::URLCredential;
using platform::URLSession;
using platform::URLSessionConfiguration;
using Challenge = platform::URLSessionDelegate::AuthChallengeDisposition;

// Trusts every server it is asked about, from the delegate queue.
class TrustingDelegate : public nettest::RecordingDelegate {
 public:
  int challenges = 0;  // delegate queue (the main queue) only
  void didReceiveChallenge(const SessionPtr&, const TaskPtr&, const ChallengePtr& challenge,
                           ChallengeHandler handler) override {
    ++challenges;
    handler(Challenge::useCredential, URLCredential(challenge->protectionSpace().serverTrust()));
  }
};

TEST(WakeUpTest, NoTurnSleepsThroughWorkAlreadyHandedOver) {
  looptest::HelloServers servers;

  struct Row {
    const char* name;
    std::string url;
    int requests;
    int challenges;  // one per new connection
  } rows[] = {
      {"HTTPS, a new connection and a challenge each", servers.secureURL, 2000, 2000},
      {"plain HTTP", servers.plainURL, 2000, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto delegate = std::make_shared<TrustingDelegate>();
    auto session = URLSession::make(URLSessionConfiguration::ephemeral(), delegate,
                                    nettest::mainDelegateQueue());
    const std::uint64_t lostBefore = platform::net_detail::lostWakeUps();
    int failures = 0;
    for (int i = 0; i < row.requests; ++i) {
      auto task = session->dataTask(*URL::fromString(row.url));
      task->resume();
      ASSERT_TRUE(
          platform::runMainUntil([&] { return delegate->isComplete(task->taskIdentifier()); }, 60))
          << "request " << i;
      if (delegate->record(task->taskIdentifier()).error) ++failures;
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(delegate->challenges, row.challenges);
    EXPECT_EQ(platform::net_detail::lostWakeUps() - lostBefore, 0u);
    session->invalidateAndCancel();
    ASSERT_TRUE(platform::runMainUntil([&] { return delegate->invalidated(); }, 10));
  }
}

}  // namespace
