#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "halyard/core/session.h"
#include "halyard/core/web_socket_request.h"
#include "halyard/policies/web_socket_task.h"
#include "halyard/support/wait.h"
#include "halyard/support/web_socket_test_server.h"
#include "platform/concurrency/wait_for.h"
#include "platform/dispatch/main_queue.h"

namespace {

using halyard::HalyardError;
using halyard::Session;
using halyard::StreamOf;
using halyard::WebSocketRequest;
using halyard::WebSocketTask;
using halyardtest::waitUntil;
using halyardtest::WebSocketTestServer;
using Message = WebSocketRequest::Message;
using CloseCode = WebSocketRequest::CloseCode;
using MessageEvent = WebSocketRequest::Event<Message, WebSocketRequest::Never>;

std::string describe(const Message& message) {
  return message.isText() ? message.text() : "bytes";
}

std::string describe(const MessageEvent& event) {
  return std::visit(
      [](const auto& kind) -> std::string {
        using K = std::decay_t<decltype(kind)>;
        if constexpr (std::is_same_v<K, WebSocketRequest::Connected>) {
          return "connected";
        } else if constexpr (std::is_same_v<K, WebSocketRequest::ReceivedMessage<Message>>) {
          return "message " + describe(kind.value);
        } else if constexpr (std::is_same_v<K, WebSocketRequest::Disconnected>) {
          return "disconnected " + std::to_string(static_cast<int>(kind.closeCode));
        } else if constexpr (std::is_same_v<K, WebSocketRequest::Completion>) {
          return kind.error ? "failed: " + kind.error->localizedDescription() : "completed";
        } else {
          return "serializerFailed";
        }
      },
      event.kind);
}

template <class E>
platform::Task<std::vector<std::string>> collect(typename StreamOf<E>::Iterator it) {
  std::vector<std::string> seen;
  while (auto element = co_await it.next())
    seen.push_back(describe(*element));
  co_return seen;
}

platform::Task<std::string> nextOf(StreamOf<MessageEvent>::Iterator it) {
  auto element = co_await it.next();
  co_return element ? describe(*element) : std::string("end");
}

// "sent", or what the send threw.
platform::Task<std::string> sendOne(WebSocketTask task, std::string text) {
  try {
    auto send = task.send(Message(std::move(text)));
    co_await send;
    co_return std::string("sent");
  } catch (const HalyardError& error) {
    if (error.isExplicitlyCancelled()) co_return std::string("threw cancelled");
    co_return std::string(error.isSessionTaskFailed() ? "threw task failure" : "threw other");
  }
}

class WebSocketTaskITest : public ::testing::Test {
 protected:
  WebSocketTestServer server;
  std::shared_ptr<Session> session = Session::initWithConfiguration();
};

TEST_F(WebSocketTaskITest, ASocketThatSendsTwoMessagesAndClosesEndsItsLoops) {
  struct Row {
    const char* name;
    std::function<platform::Task<std::vector<std::string>>(const WebSocketTask&)> iterate;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {"messages",
       [](const WebSocketTask& t) {
         return collect<Message>(t.streamingMessages().makeAsyncIterator());
       },
       {"one", "two"}},
      {"message events",
       [](const WebSocketTask& t) {
         return collect<MessageEvent>(t.streamingMessageEvents().makeAsyncIterator());
       },
       {"connected", "message one", "message two", "disconnected 1000", "completed"}},
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const auto& row = rows[i];
    SCOPED_TRACE(row.name);
    auto request = session->makeWebSocketRequestWithoutParameters(server.url());
    // The server may write only once the client has taken its answer to the upgrade.
    std::atomic<bool> connected = false;
    request->streamMessageEvents(platform::DispatchQueue::main(), [&](const MessageEvent& e) {
      if (std::holds_alternative<WebSocketRequest::Connected>(e.kind)) connected = true;
    });
    auto task = WebSocketTask(request);
    auto reading = row.iterate(task);
    ASSERT_TRUE(waitUntil([&] { return connected.load(); }));
    server.send(i, WebSocketTestServer::text, "one");
    server.send(i, WebSocketTestServer::text, "two");
    server.sendClose(i, 1000, "bye");
    EXPECT_EQ(platform::waitFor(reading, 10), row.expected);
  }
}

TEST_F(WebSocketTaskITest, SendsReturnOrThrowAndNeverWaitForEver) {
  enum class Before { nothing, cancel, serverClose };
  struct Row {
    const char* name;
    Before before;
    std::string expected;
  };
  const Row rows[] = {
      {"a running socket", Before::nothing, "sent"},
      {"a cancelled request", Before::cancel, "threw cancelled"},
      {"a socket the server closed", Before::serverClose, "threw task failure"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    WebSocketTestServer fresh;
    auto request = session->makeWebSocketRequestWithoutParameters(fresh.url());
    std::atomic<bool> connected = false;
    request->streamMessageEvents(platform::DispatchQueue::main(), [&](const MessageEvent& e) {
      if (std::holds_alternative<WebSocketRequest::Connected>(e.kind)) connected = true;
    });
    auto task = WebSocketTask(request);
    // The loop keeps the request running and tells when it has ended.
    auto events = collect<MessageEvent>(task.streamingMessageEvents(false).makeAsyncIterator());
    ASSERT_TRUE(waitUntil([&] { return connected.load(); }));
    if (row.before == Before::cancel) task.cancel();
    if (row.before == Before::serverClose) fresh.sendClose(0, 1000, "bye");
    if (row.before != Before::nothing) platform::waitFor(events, 10);
    EXPECT_EQ(platform::waitFor(sendOne(task, "hello"), 10), row.expected);
    if (row.before == Before::nothing) {
      ASSERT_TRUE(waitUntil([&] { return fresh.count(0, WebSocketTestServer::text) == 1; }));
      task.cancel();
      platform::waitFor(events, 10);
    }
  }
}

// The automatic ping is stopped before the close goes out: no ping follows it.
TEST(WebSocketTaskPingITest, CloseStopsTheAutomaticPing) {
  platform::VirtualMainClock clock;
  WebSocketTestServer server;
  auto session = Session::initWithConfiguration(Session::defaultConfiguration(),
                                                std::make_shared<halyard::SessionDelegate>(),
                                                platform::DispatchQueue::main());
  auto task = WebSocketTask(session->makeWebSocketRequestWithoutParameters(
      server.url(), WebSocketRequest::Configuration::withPingInterval(10)));
  auto it = task.streamingMessageEvents().makeAsyncIterator();
  ASSERT_EQ(platform::waitFor(nextOf(it), 10), "connected");
  clock.advance(10);
  ASSERT_TRUE(waitUntil([&] { return server.count(0, WebSocketTestServer::ping) == 1; }));
  task.close(CloseCode::normalClosure, platform::Bytes{'o', 'k'});
  const auto rest = platform::waitFor(collect<MessageEvent>(it), 10);
  ASSERT_FALSE(rest.empty());
  // The loop ends with the socket's completion (a close of our own ends the task cancelled).
  EXPECT_TRUE(rest.back() == "completed" || rest.back().starts_with("failed")) << rest.back();
  ASSERT_TRUE(waitUntil([&] { return server.count(0, WebSocketTestServer::close) == 1; }));
  clock.advance(30);
  EXPECT_EQ(server.count(0, WebSocketTestServer::ping), 1u);
}

}  // namespace
