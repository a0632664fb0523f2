#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/main_queue.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session.h"
#include "support/beast_web_socket_peer.h"
#include "support/recorder.h"

namespace {

using platform::Bytes;
using platform::URLSession;
using platform::URLSessionWebSocketTask;
using testing_support::BeastEchoServer;
using Message = URLSessionWebSocketTask::Message;

// Open and close reports, and the end of the task, kept under a lock: the 8-thread test reads
// them while the delegate queue writes.
class Events : public platform::URLSessionDelegate {
 public:
  void didOpenWithProtocol(const SessionPtr&, const WebSocketTaskPtr&,
                           std::optional<std::string> protocol) override {
    add("open:" + protocol.value_or(""));
  }
  void didCloseWithCode(const SessionPtr&, const WebSocketTaskPtr&,
                        platform::URLSessionWebSocketCloseCode code,
                        std::optional<Bytes> reason) override {
    add("close:" + std::to_string(static_cast<int>(code)) + ":" +
        (reason ? std::string(reason->begin(), reason->end()) : ""));
  }
  void didCompleteWithError(const SessionPtr&, const TaskPtr&, platform::ErrorPtr error) override {
    auto* urlError = dynamic_cast<const platform::URLError*>(error.get());
    add("complete:" + std::to_string(urlError ? static_cast<int>(urlError->code()) : 0));
  }
  void add(std::string event) { events_.add(std::move(event)); }
  std::vector<std::string> events() const { return events_.entries(); }
  bool has(const std::string& event) const { return events_.contains(event); }

 private:
  testsupport::Recorder<std::string> events_;
};

class WebSocketInteropTest : public ::testing::Test {
 protected:
  std::shared_ptr<URLSessionWebSocketTask> connect(const BeastEchoServer& server,
                                                   const std::string& protocols = "") {
    platform::URLRequest request(
        *platform::URL::fromString("ws://127.0.0.1:" + std::to_string(server.port()) + "/"));
    if (!protocols.empty()) request.setValueForHTTPHeaderField(protocols, "Sec-WebSocket-Protocol");
    auto task = session_->webSocketTask(request);
    task->resume();
    return task;
  }
  // Sends `message` and receives one, on the main queue.
  std::optional<Message> echo(URLSessionWebSocketTask& task, Message message) {
    bool sent = false, done = false;
    std::optional<Message> answer;
    task.send(std::move(message), [&](platform::ErrorPtr error) { sent = !error; });
    task.receive([&](std::expected<Message, platform::ErrorPtr> result) {
      if (result) answer = std::move(*result);
      done = true;
    });
    EXPECT_TRUE(platform::runMainUntil([&] { return done; }, 20));
    EXPECT_TRUE(sent);
    return answer;
  }

  std::shared_ptr<Events> events_ = std::make_shared<Events>();
  std::shared_ptr<URLSession> session_ = URLSession::make(
      platform::URLSessionConfiguration::ephemeral(), events_,
      std::make_shared<platform::OperationQueue>("test.delegate", platform::DispatchQueue::main()));
};

Bytes pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return bytes;
}

TEST_F(WebSocketInteropTest, EchoesTextAndBytesOfEveryLengthClass) {
  BeastEchoServer server({});
  auto task = connect(server);
  for (std::size_t size : {0u, 125u, 126u, 65535u, 65536u, 1048576u}) {
    SCOPED_TRACE(size);
    std::string text(size, 'x');
    if (size >= 2) text.replace(size / 2 - 1, 2, "\xc3\xa9");
    EXPECT_EQ(echo(*task, Message(text)), Message(text));
    EXPECT_EQ(echo(*task, Message(pattern(size))), Message(pattern(size)));
  }
  task->cancel(platform::URLSessionWebSocketCloseCode::normalClosure, std::nullopt);
  ASSERT_TRUE(platform::runMainUntil([&] { return events_->has("complete:-999"); }, 10));
  EXPECT_EQ(events_->events(), (std::vector<std::string>{"open:", "close:1000:", "complete:-999"}));
}

TEST_F(WebSocketInteropTest, ReadsOneByteFragmentsWithPingsBetween) {
  BeastEchoServer::Options options;
  options.fragmentWithPings = true;
  BeastEchoServer server(options);
  auto task = connect(server);
  const std::string text = "h\xc3\xa9llo w\xc3\xb6rld \xe2\x82\xac";
  EXPECT_EQ(echo(*task, Message(text)), Message(text));
  EXPECT_EQ(echo(*task, Message(pattern(300))), Message(pattern(300)));
}

TEST_F(WebSocketInteropTest, NegotiatesASubprotocol) {
  BeastEchoServer::Options options;
  options.subprotocol = "superchat";
  BeastEchoServer server(options);
  auto task = connect(server, "chat, superchat");
  ASSERT_TRUE(platform::runMainUntil([&] { return !events_->events().empty(); }, 10));
  EXPECT_EQ(events_->events().front(), "open:superchat");
}

TEST_F(WebSocketInteropTest, ClosesBothWaysWithCodesAndReasons) {
  BeastEchoServer server({});
  auto ours = connect(server);
  ASSERT_TRUE(echo(*ours, Message(std::string("hi"))));
  ours->cancel(static_cast<platform::URLSessionWebSocketCloseCode>(4000),
               Bytes{'d', 'o', 'n', 'e'});
  ASSERT_TRUE(platform::runMainUntil([&] { return events_->has("complete:-999"); }, 10));
  ASSERT_TRUE(platform::runMainUntil([&] { return !server.closes().empty(); }, 10));
  EXPECT_EQ(server.closes(), std::vector<std::string>{"closed:4000:done"});

  auto theirs = connect(server);
  bool sent = false;
  theirs->send(Message(std::string("close:4001:bye")), [&](platform::ErrorPtr e) { sent = !e; });
  ASSERT_TRUE(platform::runMainUntil([&] { return events_->has("complete:0"); }, 10));
  EXPECT_TRUE(sent);
  EXPECT_TRUE(events_->has("close:4001:bye"));
  EXPECT_EQ(theirs->closeCode(), static_cast<platform::URLSessionWebSocketCloseCode>(4001));
}

TEST_F(WebSocketInteropTest, SendsFromEightThreadsArriveWholeInEachThreadsOrder) {
  BeastEchoServer::Options options;
  options.record = true;
  options.silent = true;
  BeastEchoServer server(options);
  auto task = connect(server);
  constexpr int kThreads = 8, kSends = 500;
  std::atomic<int> succeeded{0}, failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kSends; ++i) {
        task->send(Message("t" + std::to_string(t) + ":" + std::to_string(i) + ":" +
                           std::string(static_cast<std::size_t>(i % 300), 'p')),
                   [&](platform::ErrorPtr error) { (error ? failed : succeeded)++; });
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  ASSERT_TRUE(platform::runMainUntil([&] { return succeeded + failed == kThreads * kSends; }, 60));
  EXPECT_EQ(failed, 0);
  ASSERT_TRUE(platform::runMainUntil(
      [&] { return server.received().size() == std::size_t{kThreads * kSends}; }, 30));
  std::map<int, int> next;
  for (const auto& message : server.received()) {
    int thread = 0, index = 0;
    ASSERT_EQ(std::sscanf(message.c_str(), "t:t%d:%d:", &thread, &index), 2) << message;
    EXPECT_EQ(index, next[thread]++) << "thread " << thread;
    EXPECT_EQ(message.size(), message.find(':', message.find(':', 2) + 1) + 1 + index % 300);
  }
}

}  // namespace
