#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "halyard/core/session.h"
#include "halyard/core/web_socket_request.h"
#include "halyard/encoding/json_parameter_encoder.h"
#include "halyard/encoding/url_encoded_form_parameter_encoder.h"
#include "halyard/support/recording_monitor.h"
#include "halyard/support/wait.h"
#include "halyard/support/web_socket_test_server.h"
#include "platform/dispatch/main_queue.h"
#include "platform/net/url_error.h"
#include "support/beast_web_socket_peer.h"

namespace {

using halyard::HalyardError;
using halyard::Session;
using halyard::WebSocketRequest;
using halyardtest::waitUntil;
using halyardtest::WebSocketTestServer;
using platform::DispatchQueue;
using Message = WebSocketRequest::Message;
using CloseCode = WebSocketRequest::CloseCode;
using MessageEvent = WebSocketRequest::Event<Message, WebSocketRequest::Never>;

// A record without fields, decoded from any JSON object.
struct Fieldless {
  static Fieldless decode(platform::Decoder& decoder) {
    decoder.container();
    return {};
  }
};

// What one `streamMessageEvents` registration saw, on the main queue, as short texts.
struct Recorder {
  std::vector<std::string> events;
  std::vector<Message> messages;
  std::optional<WebSocketRequest::Completion> completion;
  std::optional<WebSocketRequest::Disconnected> disconnected;
  std::optional<std::string> protocol;
  bool offQueue = false;

  void attach(WebSocketRequest& request) {
    request.streamMessageEvents(DispatchQueue::main(), [this](const MessageEvent& event) {
      if (!DispatchQueue::main()->isCurrent()) offQueue = true;
      std::visit(
          [this](const auto& kind) {
            using K = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<K, WebSocketRequest::Connected>) {
              events.push_back("connected");
              protocol = kind.protocol;
            } else if constexpr (std::is_same_v<K, WebSocketRequest::ReceivedMessage<Message>>) {
              events.push_back("message");
              messages.push_back(kind.value);
            } else if constexpr (std::is_same_v<K, WebSocketRequest::Disconnected>) {
              events.push_back("disconnected");
              disconnected = kind;
            } else if constexpr (std::is_same_v<K, WebSocketRequest::Completion>) {
              events.push_back("completed");
              completion = kind;
            } else {
              events.push_back("serializerFailed");
            }
          },
          event.kind);
    });
  }
  bool connected() const { return !events.empty() && events.front() == "connected"; }
};

std::string closeCodeOf(const WebSocketTestServer::Frame& frame) {
  if (frame.payload.size() < 2) return "none";
  return std::to_string((std::uint8_t(frame.payload[0]) << 8) | std::uint8_t(frame.payload[1]));
}

std::optional<platform::URLError::Code> urlErrorCode(const std::optional<HalyardError>& error) {
  if (!error || !error->isSessionTaskFailed()) return std::nullopt;
  const auto* urlError = dynamic_cast<const platform::URLError*>(error->wrappedError().get());
  return urlError ? std::optional(urlError->code()) : std::nullopt;
}

// An adapter that holds each URL request until `gate` opens, so the task is made only then.
std::shared_ptr<halyard::Adapter> gatedAdapter(std::shared_ptr<halyardtest::Gate> gate) {
  return std::make_shared<halyard::Adapter>([gate](const platform::URLRequest& urlRequest,
                                                   const std::shared_ptr<Session>&,
                                                   halyard::AdaptCompletion completion) {
    std::thread([gate, urlRequest, completion] {
      gate->wait();
      completion(urlRequest);
    }).detach();
  });
}

class WebSocketRequestITest : public ::testing::Test {
 protected:
  // Sends a text and waits for its echo, so everything the client wrote before it has reached
  // the server and everything the server wrote before the echo has reached the handlers.
  void roundTrip(WebSocketRequest& request, Recorder& recorder) {
    const std::size_t before = recorder.messages.size();
    request.sendMessage(Message(std::string("probe")), DispatchQueue::main(), [](auto&&) {});
    ASSERT_TRUE(waitUntil([&] { return recorder.messages.size() > before; }));
  }

  WebSocketTestServer server;
  std::shared_ptr<halyardtest::RecordingMonitor> monitor =
      std::make_shared<halyardtest::RecordingMonitor>();
  std::shared_ptr<Session> session = Session::initWithConfiguration(
      Session::defaultConfiguration(), std::make_shared<halyard::SessionDelegate>(), nullptr, true,
      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, {monitor});
};

TEST_F(WebSocketRequestITest, DefaultConfigurationAcceptsUpToOneMebibyteAndNeverPings) {
  struct Row {
    std::size_t size;
    bool accepted;
  };
  for (const Row& row : {Row{1'048'576, true}, Row{1'048'577, false}}) {
    SCOPED_TRACE(row.size);
    WebSocketTestServer fresh;
    auto request = session->makeWebSocketRequestWithoutParameters(fresh.url());
    Recorder recorder;
    recorder.attach(*request);
    ASSERT_TRUE(waitUntil([&] { return recorder.connected(); }));
    EXPECT_TRUE(fresh.headerValues(0, "Sec-WebSocket-Protocol").empty());
    EXPECT_EQ(fresh.headerValues(0, "Upgrade"), std::vector<std::string>{"websocket"});
    auto task = std::dynamic_pointer_cast<WebSocketRequest::Task>(request->lastTask());
    ASSERT_TRUE(task);
    EXPECT_EQ(task->maximumMessageSize(), 1'048'576);

    fresh.send(0, WebSocketTestServer::binary, std::string(row.size, 'm'));
    if (row.accepted) {
      ASSERT_TRUE(waitUntil([&] { return recorder.messages.size() == 1; }));
      EXPECT_EQ(recorder.messages[0].data().size(), row.size);
      request->close(CloseCode::normalClosure);
    } else {
      // The client refuses the message with "message too big" and ends.
      ASSERT_TRUE(waitUntil([&] { return recorder.completion.has_value(); }));
      EXPECT_TRUE(recorder.messages.empty());
      ASSERT_TRUE(waitUntil([&] { return fresh.count(0, WebSocketTestServer::close) == 1; }));
      const auto frames = fresh.frames(0);
      EXPECT_EQ(closeCodeOf(frames.back()), "1009");
    }
    ASSERT_TRUE(waitUntil([&] { return recorder.completion.has_value(); }));
    EXPECT_EQ(fresh.count(0, WebSocketTestServer::ping), 0u);
    EXPECT_FALSE(recorder.offQueue);
  }
}

TEST_F(WebSocketRequestITest, ProtocolReplacesTheRequestsHeaderOfAnyCase) {
  auto request = session->makeWebSocketRequestWithoutParameters(
      server.url(), WebSocketRequest::Configuration::withProtocol("chat"),
      halyard::HTTPHeaders{{"sec-websocket-protocol", "old"}});
  Recorder recorder;
  recorder.attach(*request);
  ASSERT_TRUE(waitUntil([&] { return recorder.connected(); }));
  EXPECT_EQ(server.headerValues(0, "Sec-WebSocket-Protocol"), std::vector<std::string>{"chat"});
  EXPECT_EQ(recorder.protocol, std::optional<std::string>("chat"));
  EXPECT_EQ(server.requestHead(0).substr(0, 4), "GET ");
  request->close(CloseCode::normalClosure);
  ASSERT_TRUE(waitUntil([&] { return recorder.completion.has_value(); }));
}

TEST_F(WebSocketRequestITest, SendsBeforeTheTaskKeepTheirOrderAndTheirQueues) {
  auto gate = std::make_shared<halyardtest::Gate>();
  auto request = session->makeWebSocketRequestWithoutParameters(server.url(), {}, std::nullopt,
                                                                gatedAdapter(gate));
  const std::vector<platform::DispatchQueuePtr> queues = {DispatchQueue::serial("ws.a"),
                                                          DispatchQueue::serial("ws.b")};
  constexpr int kSends = 20;
  std::atomic<int> answered = 0, onOwnQueue = 0, failed = 0;
  request->resume();
  for (int i = 0; i < kSends; ++i) {
    const auto& queue = queues[i % 2];
    request->sendMessage(Message(std::to_string(i)), queue,
                         [&, queue](const WebSocketRequest::SendResult& result) {
                           if (queue->isCurrent()) ++onOwnQueue;
                           if (!result) ++failed;
                           ++answered;
                         });
  }
  EXPECT_FALSE(request->lastTask());
  gate->open();
  ASSERT_TRUE(waitUntil([&] { return answered == kSends; }));
  ASSERT_TRUE(waitUntil([&] { return server.count(0, WebSocketTestServer::text) == kSends; }));
  const auto frames = server.frames(0);
  for (int i = 0; i < kSends; ++i)
    EXPECT_EQ(frames[std::size_t(i)].payload, std::to_string(i));
  EXPECT_EQ(onOwnQueue, kSends);
  EXPECT_EQ(failed, 0);
  request->close(CloseCode::normalClosure);
}

// A request built from a URL and parameters is always a GET: a query is fine, a body makes it
// fail before any connection.
TEST_F(WebSocketRequestITest, RequestsFromEncodableParametersAreAlwaysAGet) {
  struct Query {
    void encode(platform::Encoder& encoder) const {
      encoder.container()->encode(std::string("1"), "q");
    }
  };
  struct Row {
    const char* name;
    halyard::ParameterEncoderPtr encoder;
    std::optional<std::string> requestLine;  // none: no connection is made
  };
  const std::vector<Row> rows = {
      {"query", halyard::URLEncodedFormParameterEncoder::makeDefault(), "GET /socket?q=1 HTTP/1.1"},
      {"body", halyard::JSONParameterEncoder::defaultPreset(), std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WebSocketTestServer fresh;
    auto request = session->makeWebSocketRequestFromEncodable(
        fresh.url(), {}, std::optional<Query>(Query{}), row.encoder);
    Recorder recorder;
    recorder.attach(*request);
    if (row.requestLine) {
      ASSERT_TRUE(waitUntil([&] { return recorder.connected(); }));
      const std::string head = fresh.requestHead(0);
      EXPECT_EQ(head.substr(0, head.find("\r\n")), *row.requestLine);
      fresh.sendClose(0, 1000, "");
    }
    ASSERT_TRUE(waitUntil([&] { return recorder.completion.has_value(); }));
    EXPECT_EQ(recorder.completion->error.has_value(), !row.requestLine);
    EXPECT_EQ(fresh.connectionCount(), row.requestLine ? 1u : 0u);
  }
}

// Sends from another thread while the session records the task: none waits for ever, none is
// answered twice, and the server gets them in call order.
TEST_F(WebSocketRequestITest, SendsRacingTheTaskAreNeitherLostNorReordered) {
  constexpr int kRounds = 1000;
  constexpr int kSends = 6;
  const auto answers = DispatchQueue::serial("ws.answers");
  for (int round = 0; round < kRounds; ++round) {
    auto request = session->makeWebSocketRequestWithoutParameters(server.url());
    request->resume();
    auto answered = std::make_shared<std::atomic<int>>(0);
    auto failed = std::make_shared<std::atomic<int>>(0);
    std::thread sender([&] {
      for (int i = 0; i < kSends; ++i) {
        request->sendMessage(Message(std::to_string(i)), answers,
                             [answered, failed](const WebSocketRequest::SendResult& result) {
                               if (!result) ++*failed;
                               ++*answered;
                             });
      }
    });
    sender.join();
    ASSERT_TRUE(waitUntil([&] { return *answered == kSends; })) << "round " << round;
    ASSERT_TRUE(waitUntil([&] {
      return server.connectionCount() == std::size_t(round + 1) &&
             server.count(std::size_t(round), WebSocketTestServer::text) == kSends;
    })) << "round "
        << round;
    const auto frames = server.frames(std::size_t(round));
    for (int i = 0; i < kSends; ++i)
      ASSERT_EQ(frames[std::size_t(i)].payload, std::to_string(i)) << "round " << round;
    ASSERT_EQ(*failed, 0);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    request->addFinishHandler([finished] { *finished = true; });
    request->close(CloseCode::normalClosure);
    ASSERT_TRUE(waitUntil([&] { return finished->load(); })) << "round " << round;
    // Nothing is answered a second time once the request has ended.
    answers->sync([] {});
    ASSERT_EQ(*answered, kSends) << "round " << round;
  }
}

// Every send is answered once, also when the request ended before or without a task.
TEST_F(WebSocketRequestITest, SendsOnAnEndedRequestAreAnsweredOnce) {
  enum class Ending { cancelledBeforeTask, invalidURL, closedByServer };
  struct Row {
    const char* name;
    Ending ending;
    // What the earlier send (made before the ending) and the later one get.
    std::function<bool(const platform::ErrorPtr&)> earlier, later;
  };
  auto halyardError = [](const platform::ErrorPtr& e) {
    return dynamic_cast<const HalyardError*>(e.get());
  };
  auto cancelled = [=](const platform::ErrorPtr& e) {
    return halyardError(e) && halyardError(e)->isExplicitlyCancelled();
  };
  auto invalidURL = [=](const platform::ErrorPtr& e) {
    return halyardError(e) && halyardError(e)->isInvalidURL();
  };
  auto notConnected = [](const platform::ErrorPtr& e) {
    const auto* stream = dynamic_cast<const platform::StreamError*>(e.get());
    return stream && stream->code() == ENOTCONN;
  };
  auto sent = [](const platform::ErrorPtr& e) { return e == nullptr; };
  const std::vector<Row> rows = {
      {"cancelled before its task", Ending::cancelledBeforeTask, cancelled, cancelled},
      {"URL request never made", Ending::invalidURL, invalidURL, invalidURL},
      {"closed by the server", Ending::closedByServer, sent, notConnected},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // The task is made only after the first send.
    auto gate = std::make_shared<halyardtest::Gate>();
    auto adapter = gatedAdapter(gate);
    WebSocketTestServer fresh;
    auto request = session->makeWebSocketRequestWithoutParameters(
        row.ending == Ending::invalidURL ? halyard::URLConvertible("http://[::1") : fresh.url(), {},
        std::nullopt, adapter);
    Recorder recorder;
    recorder.attach(*request);
    std::vector<platform::ErrorPtr> earlier, later;
    int earlierCount = 0, laterCount = 0;
    request->sendMessage(Message(std::string("first")), DispatchQueue::main(),
                         [&](const WebSocketRequest::SendResult& result) {
                           ++earlierCount;
                           earlier.push_back(result ? nullptr : result.error());
                         });
    if (row.ending == Ending::cancelledBeforeTask) request->cancel();
    gate->open();
    if (row.ending == Ending::closedByServer) {
      ASSERT_TRUE(waitUntil([&] { return recorder.messages.size() == 1; }));
      fresh.sendClose(0, 1000, "bye");
    }
    ASSERT_TRUE(waitUntil([&] { return recorder.completion.has_value(); }));
    request->sendMessage(Message(std::string("late")), DispatchQueue::main(),
                         [&](const WebSocketRequest::SendResult& result) {
                           ++laterCount;
                           later.push_back(result ? nullptr : result.error());
                         });
    ASSERT_TRUE(waitUntil([&] { return earlierCount >= 1 && laterCount >= 1; }));
    // A second answer would already be on the main queue; drain it.
    waitUntil([] { return false; }, 0.05);
    ASSERT_EQ(earlierCount, 1);
    ASSERT_EQ(laterCount, 1);
    EXPECT_TRUE(row.earlier(earlier[0])) << (earlier[0] ? earlier[0]->debugDescription() : "");
    EXPECT_TRUE(row.later(later[0])) << (later[0] ? later[0]->debugDescription() : "");
  }
}

TEST_F(WebSocketRequestITest, PingAnswersUnsentUnlessThereIsASocketToPing) {
  enum class Setup { suspended, resumedWithoutTask, connected };
  struct Row {
    const char* name;
    Setup setup;
    bool pong;
  };
  for (const Row& row : {Row{"suspended", Setup::suspended, false},
                         Row{"resumed, task not made yet", Setup::resumedWithoutTask, false},
                         Row{"connected", Setup::connected, true}}) {
    SCOPED_TRACE(row.name);
    auto gate = std::make_shared<halyardtest::Gate>();
    auto adapter = gatedAdapter(gate);
    WebSocketTestServer fresh;
    auto request =
        session->makeWebSocketRequestWithoutParameters(fresh.url(), {}, std::nullopt, adapter);
    Recorder recorder;
    recorder.attach(*request);
    if (row.setup == Setup::suspended) request->suspend();
    if (row.setup == Setup::resumedWithoutTask) {
      ASSERT_TRUE(waitUntil([&] { return request->isResumed(); }));
    }
    if (row.setup == Setup::connected) {
      gate->open();
      ASSERT_TRUE(waitUntil([&] { return recorder.connected(); }));
    }
    const auto queue = DispatchQueue::serial("ws.ping");
    std::optional<WebSocketRequest::PingResponse> response;
    bool onQueue = false;
    request->sendPing(queue, [&](const WebSocketRequest::PingResponse& answer) {
      onQueue = queue->isCurrent();
      DispatchQueue::main()->async([&, answer] { response = answer; });
    });
    ASSERT_TRUE(waitUntil([&] { return response.has_value(); }));
    EXPECT_TRUE(onQueue);
    EXPECT_EQ(response->isUnsent(), !row.pong);
    if (row.pong) {
      ASSERT_TRUE(response->pong());
      EXPECT_GE(response->pong()->latency, 0.0);
      EXPECT_LE(response->pong()->start, response->pong()->end);
    }
    gate->open();
    request->cancel();
    ASSERT_TRUE(waitUntil([&] { return recorder.completion.has_value(); }));
  }
}

TEST_F(WebSocketRequestITest, CompletionCarriesTheUpgradeAnswer) {
  struct Row {
    int status;
    std::optional<platform::URLError::Code> error;
  };
  for (const Row& row :
       {Row{101, std::nullopt}, Row{404, platform::URLError::Code::badServerResponse}}) {
    SCOPED_TRACE(row.status);
    WebSocketTestServer::Options options;
    options.status = row.status;
    WebSocketTestServer fresh(options);
    auto request = session->makeWebSocketRequestWithoutParameters(fresh.url());
    Recorder recorder;
    recorder.attach(*request);
    if (row.status == 101) {
      ASSERT_TRUE(waitUntil([&] { return recorder.connected(); }));
      // The server ends the socket: the request completes without an error.
      fresh.sendClose(0, 1000, "");
    }
    ASSERT_TRUE(waitUntil([&] { return recorder.completion.has_value(); }));
    ASSERT_TRUE(recorder.completion->response);
    EXPECT_EQ(recorder.completion->response->statusCode(), row.status);
    EXPECT_EQ(urlErrorCode(recorder.completion->error), row.error);
    EXPECT_EQ(row.error.has_value(), recorder.completion->error.has_value());
    EXPECT_TRUE(recorder.completion->request.has_value());
    EXPECT_TRUE(recorder.completion->metrics);
    EXPECT_EQ(recorder.connected(), row.status == 101);
  }
}

TEST_F(WebSocketRequestITest, CloseAfterTheTaskCompletedFinishesWithoutCancellingATask) {
  // A retrier that keeps its decision, so the request is still running with a finished task.
  auto decision = std::make_shared<std::optional<halyard::RetryCompletion>>();
  auto retrier = std::make_shared<halyard::Retrier>(
      [decision](const std::shared_ptr<halyard::Request>&, const std::shared_ptr<Session>&,
                 const platform::ErrorPtr&, halyard::RetryCompletion completion) {
        DispatchQueue::main()->async([decision, completion] { *decision = completion; });
      });
  auto request =
      session->makeWebSocketRequestWithoutParameters(server.url(), {}, std::nullopt, retrier);
  Recorder recorder;
  recorder.attach(*request);
  ASSERT_TRUE(waitUntil([&] { return recorder.connected(); }));
  server.drop(0);
  ASSERT_TRUE(waitUntil([&] { return decision->has_value(); }));
  EXPECT_TRUE(request->isResumed());
  request->close(CloseCode::normalClosure, platform::Bytes{'o', 'k'});
  ASSERT_TRUE(waitUntil([&] { return recorder.completion.has_value(); }));
  // A lost connection is what ended the socket; the close added no cancellation to it.
  EXPECT_EQ(urlErrorCode(recorder.completion->error),
            platform::URLError::Code::networkConnectionLost);
  ASSERT_TRUE(waitUntil([&] { return monitor->contains("requestDidCancel"); }));
  EXPECT_FALSE(monitor->contains("requestDidCancelTask"));
  EXPECT_FALSE(recorder.disconnected);
  // The late decision changes nothing.
  (**decision)(halyard::RetryResult::retry());
  decision->reset();
  waitUntil([] { return false; }, 0.05);
  EXPECT_EQ(server.connectionCount(), 1u);
}

TEST_F(WebSocketRequestITest, TypedStreamsDecodeMapAndDropAsAsked) {
  auto request = session->makeWebSocketRequestWithoutParameters(server.url());
  using DecodedEvent = WebSocketRequest::Event<Fieldless, WebSocketRequest::DecodingError>;
  std::vector<std::string> decodedKinds;
  std::optional<DecodedEvent> firstEvent;
  int decodedValues = 0, bareMessages = 0;
  const auto queue = DispatchQueue::main();
  request->streamDecodableEvents<Fieldless>(
      queue, platform::JSONDecoder(), [&](const DecodedEvent& event) {
        if (!firstEvent) firstEvent = event;
        decodedKinds.push_back(std::visit(
            [](const auto& kind) -> std::string {
              using K = std::decay_t<decltype(kind)>;
              using W = WebSocketRequest;
              if (std::is_same_v<K, W::Connected>) return "connected";
              if (std::is_same_v<K, W::Disconnected>) return "disconnected";
              if (std::is_same_v<K, W::Completion>) return "completed";
              if (std::is_same_v<K, W::SerializerFailed<W::DecodingError>>) return "failed";
              return "value";
            },
            event.kind));
      });
  request->streamDecodable<Fieldless>(queue, platform::JSONDecoder(),
                                      [&](const Fieldless&) { ++decodedValues; });
  request->streamMessages(queue, [&](const Message&) { ++bareMessages; });
  Recorder recorder;
  recorder.attach(*request);
  ASSERT_TRUE(waitUntil([&] { return recorder.connected(); }));

  // Bytes and text of the same content decode alike; text that is not JSON fails to decode
  // without ending the stream.
  server.send(0, WebSocketTestServer::text, "{}");
  server.send(0, WebSocketTestServer::binary, "{}");
  server.send(0, WebSocketTestServer::text, "not json");
  server.send(0, WebSocketTestServer::text, "{}");
  server.sendClose(0, 1000, "bye");
  ASSERT_TRUE(waitUntil([&] { return recorder.completion.has_value(); }));
  ASSERT_TRUE(waitUntil([&] { return decodedKinds.size() == 7; }));
  EXPECT_EQ(decodedKinds, (std::vector<std::string>{"connected", "value", "value", "failed",
                                                    "value", "disconnected", "completed"}));
  EXPECT_EQ(decodedValues, 3);
  EXPECT_EQ(bareMessages, 4);
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"connected", "message", "message", "message",
                                                       "message", "disconnected", "completed"}));
  ASSERT_TRUE(recorder.disconnected);
  EXPECT_EQ(recorder.disconnected->closeCode, CloseCode::normalClosure);
  EXPECT_EQ(recorder.disconnected->reason, (platform::Bytes{'b', 'y', 'e'}));
  EXPECT_FALSE(recorder.completion->error);

  // A handler registered after the request finished gets only its completion.
  Recorder late;
  late.attach(*request);
  ASSERT_TRUE(waitUntil([&] { return late.completion.has_value(); }));
  EXPECT_EQ(late.events, std::vector<std::string>{"completed"});

  // An event outlives its request, and closing through it then does nothing.
  ASSERT_TRUE(firstEvent);
  EXPECT_FALSE(firstEvent->messageValue());
  std::weak_ptr<WebSocketRequest> weak = request;
  request.reset();
  ASSERT_TRUE(waitUntil([&] { return weak.expired(); }));
  EXPECT_TRUE(firstEvent->socket.expired());
  firstEvent->close(CloseCode::goingAway);
  firstEvent->cancel();
  bool answered = false;
  firstEvent->sendPing(queue, [&](const WebSocketRequest::PingResponse&) { answered = true; });
  waitUntil([] { return false; }, 0.05);
  EXPECT_FALSE(answered);
}

TEST_F(WebSocketRequestITest, ServerCloseReachesHandlersWithReasonOrNone) {
  struct Row {
    std::optional<std::uint16_t> code;
    std::string reason;
    CloseCode expectedCode;
    std::optional<platform::Bytes> expectedReason;
  };
  const std::vector<Row> rows = {
      {1000, "bye", CloseCode::normalClosure, platform::Bytes{'b', 'y', 'e'}},
      {1000, "", CloseCode::normalClosure, std::nullopt},
      {4999, "x", CloseCode(4999), platform::Bytes{'x'}},
      {std::nullopt, "", CloseCode::noStatusReceived, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.expectedCode));
    WebSocketTestServer fresh;
    auto request = session->makeWebSocketRequestWithoutParameters(fresh.url());
    Recorder recorder;
    recorder.attach(*request);
    ASSERT_TRUE(waitUntil([&] { return recorder.connected(); }));
    if (row.code) {
      fresh.sendClose(0, *row.code, row.reason);
    } else {
      fresh.send(0, WebSocketTestServer::close, "");
    }
    ASSERT_TRUE(waitUntil([&] { return recorder.completion.has_value(); }));
    ASSERT_TRUE(recorder.disconnected);
    EXPECT_EQ(recorder.disconnected->closeCode, row.expectedCode);
    EXPECT_EQ(recorder.disconnected->reason, row.expectedReason);
    EXPECT_FALSE(recorder.completion->error);
    // The delegate reports nothing about the socket's opening or closing to the monitor.
    for (const auto& event : monitor->events())
      EXPECT_EQ(event.find("Socket"), std::string::npos) << event;
  }
}

// Automatic pings on a session whose queues are the main queue, under virtual time. A lost
// connection that the retrier tries again starts a new chain instead of adding one.
TEST(WebSocketRequestPingITest, AutomaticPingsFollowTheIntervalAfterEachPong) {
  platform::VirtualMainClock clock;
  WebSocketTestServer server;
  auto retried = std::make_shared<std::atomic<int>>(0);
  auto retrier = std::make_shared<halyard::Retrier>(
      [retried](const std::shared_ptr<halyard::Request>&, const std::shared_ptr<Session>&,
                const platform::ErrorPtr&, halyard::RetryCompletion completion) {
        completion(++*retried == 1 ? halyard::RetryResult::retry()
                                   : halyard::RetryResult::doNotRetry());
      });
  auto session = Session::initWithConfiguration(Session::defaultConfiguration(),
                                                std::make_shared<halyard::SessionDelegate>(),
                                                DispatchQueue::main());
  auto request = session->makeWebSocketRequestWithoutParameters(
      server.url(), WebSocketRequest::Configuration::withPingInterval(10), std::nullopt, retrier);
  Recorder recorder;
  recorder.attach(*request);
  auto connections = [&] {
    return std::count(recorder.events.begin(), recorder.events.end(), "connected");
  };
  auto pingsOn = [&](std::size_t connection) {
    std::size_t before = recorder.messages.size();
    request->sendMessage(Message(std::string("probe")), DispatchQueue::main(), [](auto&&) {});
    EXPECT_TRUE(waitUntil([&] { return recorder.messages.size() > before; }));
    return server.count(connection, WebSocketTestServer::ping);
  };
  ASSERT_TRUE(waitUntil([&] { return connections() == 1; }));
  clock.advance(9.9);
  EXPECT_EQ(pingsOn(0), 0u);
  clock.advance(0.1);
  EXPECT_EQ(pingsOn(0), 1u);  // 10 s after opening
  clock.advance(9.9);
  EXPECT_EQ(pingsOn(0), 1u);
  clock.advance(0.1);
  EXPECT_EQ(pingsOn(0), 2u);  // 10 s after the first pong

  // Lost half-way to the next ping; the retry connects again at once.
  clock.advance(5);
  server.drop(0);
  ASSERT_TRUE(waitUntil([&] { return connections() == 2; }));
  clock.advance(5);
  EXPECT_EQ(pingsOn(1), 0u);  // the earlier chain's ping is gone with it
  clock.advance(5);
  EXPECT_EQ(pingsOn(1), 1u);  // 10 s after opening again
  clock.advance(10);
  EXPECT_EQ(pingsOn(1), 2u);

  // After a close from the server, no further ping is armed.
  server.sendClose(1, 1000, "");
  ASSERT_TRUE(waitUntil([&] { return recorder.completion.has_value(); }));
  clock.advance(30);
  EXPECT_EQ(server.count(1, WebSocketTestServer::ping), 2u);
  EXPECT_EQ(recorder.events.back(), "completed");
  EXPECT_EQ(std::count(recorder.events.begin(), recorder.events.end(), "disconnected"), 1);
}

}  // namespace

// An independent server: the request opens with a subprotocol, echoes, pings and closes.
TEST(WebSocketRequestBeastITest, OpensEchoesPingsAndClosesAgainstAnIndependentServer) {
  testing_support::BeastEchoServer beast({false, "chat", true, false});
  auto session = Session::initWithConfiguration();
  auto request = session->makeWebSocketRequestWithoutParameters(
      "ws://127.0.0.1:" + std::to_string(beast.port()) + "/",
      WebSocketRequest::Configuration::withProtocol("chat"));
  Recorder recorder;
  recorder.attach(*request);
  ASSERT_TRUE(waitUntil([&] { return recorder.connected(); }));
  EXPECT_EQ(recorder.protocol, std::optional<std::string>("chat"));

  const std::vector<Message> messages = {
      Message(std::string("hello")), Message(std::string()), Message(platform::Bytes(125, 1)),
      Message(platform::Bytes(65'536, 2)), Message(std::string(70'000, 'x'))};
  for (const Message& message : messages)
    request->sendMessage(message, DispatchQueue::main(), [](auto&&) {});
  ASSERT_TRUE(waitUntil([&] { return recorder.messages.size() == messages.size(); }));
  EXPECT_EQ(recorder.messages, messages);

  std::optional<WebSocketRequest::PingResponse> pong;
  request->sendPing(DispatchQueue::main(),
                    [&](const WebSocketRequest::PingResponse& answer) { pong = answer; });
  ASSERT_TRUE(waitUntil([&] { return pong.has_value(); }));
  EXPECT_TRUE(pong->pong());

  request->close(CloseCode(4000), platform::Bytes{'d', 'o', 'n', 'e'});
  ASSERT_TRUE(waitUntil([&] { return recorder.completion.has_value(); }));
  ASSERT_TRUE(waitUntil([&] { return !beast.closes().empty(); }));
  EXPECT_EQ(beast.closes(), std::vector<std::string>{"closed:4000:done"});
  EXPECT_EQ(recorder.events.back(), "completed");
  // Our own close is no cancellation: the request completes without an error.
  EXPECT_FALSE(recorder.completion->error)
      << (recorder.completion->error ? recorder.completion->error->debugDescription() : "");
  EXPECT_FALSE(request->error());
}
