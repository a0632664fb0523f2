// Web-socket requests against the python3-websockets server from the system, over ws and wss.

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "halyard/core/session.h"
#include "interop/support/interop_servers.h"
#include "interop/support/session_fixture.h"
#include "platform/dispatch/main_queue.h"

namespace {

using halyard::Session;
using halyard::WebSocketRequest;
using interop::Servers;
using Message = WebSocketRequest::Message;
using CloseCode = WebSocketRequest::CloseCode;

// Every raw event of one request, on the main queue.
// Shared with its handler: events may still come once the test has moved on.
struct Recorder : std::enable_shared_from_this<Recorder> {
  std::vector<std::string> events;
  std::vector<Message> messages;
  std::optional<WebSocketRequest::Disconnected> disconnected;
  std::optional<WebSocketRequest::Completion> completion;

  void attach(WebSocketRequest& request) {
    request.addEventHandler(
        platform::DispatchQueue::main(),
        [this, keep = shared_from_this()](const WebSocketRequest::IncomingEvent& event) {
          std::visit(
              [this](const auto& kind) {
                using K = std::decay_t<decltype(kind)>;
                if constexpr (std::is_same_v<K, WebSocketRequest::Connected>) {
                  events.push_back("connected");
                } else if constexpr (std::is_same_v<K, Message>) {
                  messages.push_back(kind);
                } else if constexpr (std::is_same_v<K, WebSocketRequest::Disconnected>) {
                  events.push_back("disconnected:" + std::to_string(int(kind.closeCode)));
                  disconnected = kind;
                } else {
                  events.push_back("completed");
                  completion = kind;
                }
              },
              event);
        });
  }
  bool connected() const { return !events.empty() && events.front() == "connected"; }
};

std::string describe(const std::optional<halyard::HalyardError>& error) {
  return error ? error->errorDescription() : "no error";
}

class WebSocketInteropTest : public interop::SessionsTest {
 protected:
  std::shared_ptr<WebSocketRequest> open(const std::string& url, Recorder& recorder) {
    auto request = session->makeWebSocketRequestWithoutParameters(
        url, WebSocketRequest::Configuration::withMaximumMessageSize(32 << 20));
    recorder.attach(*request);
    return request;
  }
  void SetUp() override { sessions_.push_back(session); }
  std::shared_ptr<Session> session = Session::initWithConfiguration();
};

platform::Bytes pattern(std::size_t size, int seed) {
  platform::Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>(i * 131 + std::size_t(seed));
  return bytes;
}

TEST_F(WebSocketInteropTest, EchoesFromOneByteToSixteenMebibytesOverWsAndWss) {
  INTEROP_REQUIRE(python);
  for (const std::string& origin : {servers.wsOrigin(), servers.wssOrigin()}) {
    SCOPED_TRACE(origin);
    auto recorder = std::make_shared<Recorder>();
    auto request = open(origin + "/echo", *recorder);
    std::vector<Message> sent;
    for (std::size_t size : {1u, 125u, 126u, 65535u, 65536u, 1u << 20, 4u << 20, 16u << 20}) {
      sent.emplace_back(pattern(size, int(size % 7)));
      sent.emplace_back(std::string(std::min<std::size_t>(size, 70000), 't'));
    }
    for (const auto& message : sent)
      request->sendMessage(message, platform::DispatchQueue::main(), [](auto&&) {});
    ASSERT_TRUE(platform::runMainUntil(
        [&] { return recorder->messages.size() == sent.size() || recorder->completion; }, 90))
        << recorder->messages.size();
    EXPECT_TRUE(recorder->messages == sent)
        << recorder->messages.size() << " of " << sent.size() << "; "
        << (recorder->completion ? describe(recorder->completion->error) : "still open");
    request->close(CloseCode::normalClosure);
    ASSERT_TRUE(platform::runMainUntil([&] { return recorder->completion.has_value(); }, 30));
    EXPECT_FALSE(recorder->completion->error) << describe(recorder->completion->error);
  }
}

// Large messages one after the other over TLS, to a server that only acknowledges them.
TEST_F(WebSocketInteropTest, LargeMessagesBackToBackOverWss) {
  INTEROP_REQUIRE(python);
  const std::vector<std::pair<std::size_t, int>> rows = {
      {8u << 20, 2}, {4u << 20, 3}, {16u << 20, 2}};
  for (const auto& [size, count] : rows) {
    SCOPED_TRACE(std::to_string(size) + " x " + std::to_string(count));
    auto recorder = std::make_shared<Recorder>();
    auto request = open(servers.wssOrigin() + "/ack", *recorder);
    std::vector<std::string> results;
    std::function<void(int)> sendFrom = [&](int i) {
      if (i == count) return;
      request->sendMessage(Message(pattern(size, i)), platform::DispatchQueue::main(),
                           [&, i](const WebSocketRequest::SendResult& result) {
                             results.push_back(result ? "sent" : "failed");
                             if (result) sendFrom(i + 1);
                           });
    };
    sendFrom(0);
    ASSERT_TRUE(platform::runMainUntil(
        [&] { return recorder->messages.size() == std::size_t(count) || recorder->completion; },
        60));
    EXPECT_EQ(results, std::vector<std::string>(std::size_t(count), "sent"));
    EXPECT_EQ(recorder->messages,
              std::vector<Message>(std::size_t(count), Message("ack:" + std::to_string(size))));
    request->close(CloseCode::normalClosure);
    ASSERT_TRUE(platform::runMainUntil([&] { return recorder->completion.has_value(); }, 30));
    EXPECT_FALSE(recorder->completion->error) << describe(recorder->completion->error);
  }
}

const std::vector<int>& legalCloseCodes() {
  static const std::vector<int> codes = {1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010,
                                         1011, 1012, 1013, 1014, 3000, 3999, 4000, 4999};
  return codes;
}

TEST_F(WebSocketInteropTest, EveryLegalCloseCodeFromTheServer) {
  INTEROP_REQUIRE(python);
  for (int code : legalCloseCodes()) {
    SCOPED_TRACE(code);
    auto recorder = std::make_shared<Recorder>();
    auto request = open(servers.wsOrigin() + "/close/" + std::to_string(code), *recorder);
    ASSERT_TRUE(platform::runMainUntil([&] { return recorder->completion.has_value(); }, 30));
    ASSERT_TRUE(recorder->disconnected) << describe(recorder->completion->error);
    EXPECT_EQ(int(recorder->disconnected->closeCode), code);
    const std::string reason = "bye " + std::to_string(code);
    EXPECT_EQ(recorder->disconnected->reason, platform::Bytes(reason.begin(), reason.end()));
    EXPECT_FALSE(recorder->completion->error) << describe(recorder->completion->error);
  }
}

// Our close goes out with each code; the server answers with the code it received.
TEST_F(WebSocketInteropTest, EveryLegalCloseCodeFromTheClient) {
  INTEROP_REQUIRE(python);
  for (int code : legalCloseCodes()) {
    SCOPED_TRACE(code);
    auto recorder = std::make_shared<Recorder>();
    auto request = open(servers.wssOrigin() + "/echo", *recorder);
    ASSERT_TRUE(platform::runMainUntil([&] { return recorder->connected(); }, 30))
        << recorder->events.size() << " events; "
        << (recorder->completion ? describe(recorder->completion->error) : "not completed");
    request->close(CloseCode(code), platform::Bytes{'o', 'k'});
    ASSERT_TRUE(platform::runMainUntil([&] { return recorder->completion.has_value(); }, 30));
    // Our own close is no cancellation.
    EXPECT_FALSE(recorder->completion->error) << describe(recorder->completion->error);
    auto task = std::dynamic_pointer_cast<platform::URLSessionWebSocketTask>(request->lastTask());
    ASSERT_TRUE(task);
    EXPECT_EQ(int(task->closeCode()), code);
  }
}

TEST_F(WebSocketInteropTest, AServersPingIsAnswered) {
  INTEROP_REQUIRE(python);
  for (const std::string& origin : {servers.wsOrigin(), servers.wssOrigin()}) {
    SCOPED_TRACE(origin);
    auto recorder = std::make_shared<Recorder>();
    auto request = open(origin + "/ping", *recorder);
    ASSERT_TRUE(platform::runMainUntil([&] { return !recorder->messages.empty(); }, 30));
    EXPECT_EQ(recorder->messages.front(), Message(std::string("pong")));
    request->close(CloseCode::normalClosure);
    ASSERT_TRUE(platform::runMainUntil([&] { return recorder->completion.has_value(); }, 30));
  }
}

}  // namespace
