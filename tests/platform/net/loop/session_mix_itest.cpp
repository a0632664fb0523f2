// One session carries everything at once: HTTPS requests on new connections, each with a trust
// challenge answered from the delegate queue, plain requests, requests cancelled as they start,
// and web-socket messages, with up to 32 operations in flight. Every task ends exactly once,
// every message comes back in order, and no turn of the I/O thread sleeps through work that
// was already handed to it.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/dispatch/main_queue.h"
#include "platform/net/loop/support/hello_servers.h"
#include "platform/net/support/recording_delegate.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session.h"
#include "support/beast_web_socket_peer.h"

namespace {

using platform::URL;
using platform::URLSession;
using platform::URLSessionWebSocketTask;
using Message = URLSessionWebSocketTask::Message;
using Challenge = platform::URLSessionDelegate::AuthChallengeDisposition;

// Trusts every server from the delegate queue (the main queue) and counts each task's ends.
class MixDelegate : public platform::URLSessionDelegate {
 public:
  int challenges = 0;
  int ended = 0;
  std::map<std::uint64_t, int> ends;
  std::map<std::uint64_t, platform::ErrorPtr> errors;

  void didReceiveChallenge(const SessionPtr&, const TaskPtr&, const ChallengePtr& challenge,
                           ChallengeHandler handler) override {
    ++challenges;
    handler(Challenge::useCredential,
            platform::URLCredential(challenge->protectionSpace().serverTrust()));
  }
  void didCompleteWithError(const SessionPtr&, const TaskPtr& task,
                            platform::ErrorPtr error) override {
    ++ended;
    ++ends[task->taskIdentifier()];
    errors[task->taskIdentifier()] = std::move(error);
  }
};

std::optional<platform::URLError::Code> codeOf(const platform::ErrorPtr& error) {
  if (auto* e = dynamic_cast<const platform::URLError*>(error.get())) return e->code();
  return std::nullopt;
}

TEST(SessionMixTest, HandshakesRequestsCancelsAndMessagesShareOneSession) {
  looptest::HelloServers servers;
  const std::string& secureURL = servers.secureURL;
  const std::string& plainURL = servers.plainURL;
  testing_support::BeastEchoServer echo({});

  auto delegate = std::make_shared<MixDelegate>();
  auto session = URLSession::make(platform::URLSessionConfiguration::ephemeral(), delegate,
                                  nettest::mainDelegateQueue());
  auto socket = session->webSocketTask(
      platform::URLRequest(*URL::fromString("ws://127.0.0.1:" + std::to_string(echo.port()))));
  socket->resume();
  const std::uint64_t lostBefore = platform::net_detail::lostWakeUps();

  enum class Kind { secure, plain, cancelled, message };
  constexpr int kOperations = 10000;
  constexpr int kInFlight = 32;
  std::map<std::uint64_t, Kind> tasks;
  int sent = 0, sendFailures = 0, outOfOrder = 0, nextAnswer = 0;
  // Data tasks ended, and messages answered.
  auto finished = [&] { return delegate->ended + nextAnswer; };
  for (int i = 0; i < kOperations; ++i) {
    ASSERT_TRUE(platform::runMainUntil([&] { return i - finished() < kInFlight; }, 60))
        << "operation " << i;
    const Kind kind = static_cast<Kind>(i % 4);
    if (kind == Kind::message) {
      const int index = sent++;
      socket->send(Message("m" + std::to_string(index)), [&](platform::ErrorPtr error) {
        if (error) ++sendFailures;
      });
      socket->receive([&](std::expected<Message, platform::ErrorPtr> answer) {
        if (!answer || answer->text() != "m" + std::to_string(nextAnswer)) ++outOfOrder;
        ++nextAnswer;
      });
      continue;
    }
    auto task = session->dataTask(*URL::fromString(kind == Kind::secure ? secureURL : plainURL));
    tasks[task->taskIdentifier()] = kind;
    task->resume();
    if (kind == Kind::cancelled) task->cancel();
  }
  ASSERT_TRUE(platform::runMainUntil([&] { return finished() >= kOperations; }, 120));

  int secureRequests = 0, failures = 0, twice = 0;
  for (const auto& [id, kind] : tasks) {
    twice += delegate->ends[id] != 1 ? 1 : 0;
    const auto code = codeOf(delegate->errors[id]);
    if (kind == Kind::secure) ++secureRequests;
    // A cancel may come after the request already ended well; it never fails otherwise.
    const bool expected = kind == Kind::cancelled
                              ? !code || *code == platform::URLError::Code::cancelled
                              : !delegate->errors[id];
    failures += expected ? 0 : 1;
  }
  EXPECT_EQ(twice, 0);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(delegate->challenges, secureRequests);  // one per new connection
  EXPECT_EQ(sendFailures, 0);
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(platform::net_detail::lostWakeUps() - lostBefore, 0u);
  session->invalidateAndCancel();
  platform::drainMainQueue();
}

}  // namespace
