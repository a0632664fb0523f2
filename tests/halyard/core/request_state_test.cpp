#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "halyard/core/composite_event_monitor.h"
#include "halyard/core/data_request.h"
#include "halyard/core/duvavuraz_uvevirarivero.h"
#include "halyard/support/fake_request_delegate.h"
#include "halyard/support/recording_monitor.h"
#include "halyard/support/wait.h"
#include "platform/dispatch/main_queue.h"
#include "support/recorder.h"

namespace {

using halyard::DataRequest;
using halyard::DataResponse;
using halyard::HalyardError;
using halyard::Request;
using halyardtest::FakeRequestDelegate;
using halyardtest::Gate;
using halyardtest::RecordingMonitor;
using State = Request::State;

// A thread-safe list of what happened, in order.
using Log = testsupport::Recorder<std::string>;

// Serializes by logging "s<id>"; fails when asked to.
struct LoggingSerializer {
  using SerializedObject = int;
  std::shared_ptr<Log> log;
  int id = 0;
  bool fail = false;
  int serializeResponseData(const std::optional<platform::URLRequest>&,
                            const platform::HTTPURLResponsePtr&,
                            const std::optional<platform::Bytes>&,
                            const platform::ErrorPtr&) const {
    log->add("s" + std::to_string(id));
    if (fail) throw std::runtime_error("cannot");
    return id;
  }
};

class RequestStateTest : public ::testing::Test {
 protected:
  std::shared_ptr<DataRequest> make(bool withDelegate = true) {
    return std::make_shared<DataRequest>(
        halyard::RequestContext{platform::UUID(), queue, queue, monitor, nullptr,
                                withDelegate ? std::weak_ptr<halyard::RequestDelegate>(delegate)
                                             : std::weak_ptr<halyard::RequestDelegate>()},
        halyard::makeURLRequestConvertible(
            platform::URLRequest(*platform::URL::fromString("http://127.0.0.1/"))));
  }
  // Waits until everything submitted to the request's queue so far has run.
  void flush() {
    queue->sync([] {});
  }
  void finish(const std::shared_ptr<DataRequest>& request,
              std::optional<HalyardError> error = std::nullopt) {
    queue->sync([&] { request->complete(error); });
  }
  void addLoggingHandler(const std::shared_ptr<DataRequest>& request, int id, bool fail = false) {
    request->responseWithDataSerializer(
        platform::DispatchQueue::main(), LoggingSerializer{log, id, fail},
        [this, id](const DataResponse<int>&) { log->add("c" + std::to_string(id)); });
  }
  bool waitFor(const std::function<bool()>& condition) {
    return platform::runMainUntil(condition, 10);
  }

  platform::DispatchQueuePtr queue = platform::DispatchQueue::serial("halyard.test.request");
  std::shared_ptr<RecordingMonitor> monitor = std::make_shared<RecordingMonitor>(queue);
  std::shared_ptr<FakeRequestDelegate> delegate = std::make_shared<FakeRequestDelegate>();
  std::shared_ptr<Log> log = std::make_shared<Log>();
};

std::size_t countOf(const std::vector<std::string>& events, const std::string& event) {
  return std::size_t(std::count(events.begin(), events.end(), event));
}

TEST_F(RequestStateTest, ANewRequestIsInitializedAndEmpty) {
  auto request = make();
  EXPECT_EQ(request->state(), State::initialized);
  EXPECT_TRUE(request->requests().empty());
  EXPECT_TRUE(request->tasks().empty());
  EXPECT_TRUE(request->gatheredMetrics().empty());
  EXPECT_FALSE(request->firstRequest());
  EXPECT_FALSE(request->lastTask());
  EXPECT_FALSE(request->lastMetrics());
  EXPECT_FALSE(request->httpResponse());
  EXPECT_EQ(request->retryCount(), 0);
  EXPECT_FALSE(request->error());
  EXPECT_EQ(request->uploadProgress()->totalUnitCount(), 0);
  EXPECT_EQ(request->downloadProgress()->totalUnitCount(), 0);
  EXPECT_FALSE(request->data());
}

TEST_F(RequestStateTest, ResumeSuspendAndCancelFollowTheStateTable) {
  auto request = make();
  request->suspend();
  EXPECT_EQ(request->state(), State::suspended);
  request->resume().resume();
  EXPECT_EQ(request->state(), State::resumed);
  request->suspend().suspend();
  EXPECT_EQ(request->state(), State::suspended);
  request->resume();
  request->cancel().cancel();
  EXPECT_EQ(request->state(), State::cancelled);
  request->resume().suspend();
  EXPECT_EQ(request->state(), State::cancelled);
  flush();
  flush();

  const auto events = monitor->events();
  EXPECT_EQ(countOf(events, "requestDidResume"), 2u);
  EXPECT_EQ(countOf(events, "requestDidSuspend"), 2u);
  EXPECT_EQ(countOf(events, "requestDidCancel"), 1u);
  // Without a task, cancelling finishes the request; it stays cancelled.
  EXPECT_EQ(countOf(events, "requestDidFinish"), 1u);
  EXPECT_EQ(request->state(), State::cancelled);
  ASSERT_TRUE(request->error());
  EXPECT_TRUE(request->error()->isExplicitlyCancelled());
  EXPECT_TRUE(monitor->allOnQueue());
}

TEST_F(RequestStateTest, AFinishedRequestIgnoresEveryMove) {
  auto request = make();
  finish(request);
  EXPECT_EQ(request->state(), State::finished);
  EXPECT_EQ(delegate->cleanUps(), 1);
  request->cancel().suspend().resume();
  flush();
  EXPECT_EQ(request->state(), State::finished);
  EXPECT_EQ(countOf(monitor->events(), "requestDidCancel"), 0u);
  EXPECT_FALSE(request->error());
}

TEST_F(RequestStateTest, TwoFinishingStepsRunTheSerializersOnce) {
  auto request = make();
  addLoggingHandler(request, 1);
  queue->sync([&] {
    request->complete(std::nullopt);
    request->complete(std::nullopt);
  });
  ASSERT_TRUE(waitFor([&] { return log->count("c1") == 1; }));
  flush();
  EXPECT_EQ(log->count("s1"), 1u);
  EXPECT_EQ(countOf(monitor->events(), "requestDidFinish"), 1u);
}

TEST_F(RequestStateTest, StepsRunInOrderAndCompletionsFollowTheLastStep) {
  auto request = make();
  addLoggingHandler(request, 1);
  addLoggingHandler(request, 2);
  addLoggingHandler(request, 3);
  finish(request);
  ASSERT_TRUE(waitFor([&] { return log->entries().size() == 6; }));
  EXPECT_EQ(log->entries(), (std::vector<std::string>{"s1", "s2", "s3", "c1", "c2", "c3"}));
  flush();
  EXPECT_EQ(request->state(), State::finished);
}

TEST_F(RequestStateTest, AHandlerAddedToAFinishedRequestRunsAgainstTheStoredOutcome) {
  auto request = make();
  finish(request);
  ASSERT_EQ(request->state(), State::finished);

  Gate gate;
  queue->async([&] { gate.wait(); });
  addLoggingHandler(request, 1);
  EXPECT_EQ(request->state(), State::resumed);
  gate.open();
  ASSERT_TRUE(waitFor([&] { return log->count("c1") == 1; }));
  flush();
  EXPECT_EQ(request->state(), State::finished);
  EXPECT_EQ(delegate->cleanUps(), 2);
}

TEST_F(RequestStateTest, TwoHandlersAddedBackToBackToAFinishedRequestRunOnceEach) {
  auto request = make();
  finish(request);
  // Both handlers are added before the request's queue runs anything.
  Gate gate;
  queue->async([&] { gate.wait(); });
  addLoggingHandler(request, 1);
  addLoggingHandler(request, 2);
  gate.open();
  ASSERT_TRUE(waitFor([&] { return log->count("c1") == 1 && log->count("c2") == 1; }));
  flush();
  flush();
  EXPECT_EQ(log->entries(), (std::vector<std::string>{"s1", "s2", "c1", "c2"}));
}

TEST_F(RequestStateTest, AHandlerAddedToACancelledRequestRunsWhenItCompletes) {
  auto request = make();
  request->cancel();
  addLoggingHandler(request, 1);
  ASSERT_TRUE(waitFor([&] { return log->count("c1") == 1; }));
  flush();
  EXPECT_EQ(request->state(), State::cancelled);
}

TEST_F(RequestStateTest, FinishHandlersRunOnceAndNeverGetLost) {
  auto request = make();
  std::atomic<int> early = 0, late = 0;
  request->addFinishHandler([&] { ++early; });
  finish(request);
  EXPECT_EQ(early, 1);
  request->addFinishHandler([&] { ++late; });  // already finished: runs at once
  EXPECT_EQ(late, 1);

  // A cancelled request whose pass has ended runs a new finish handler at once too.
  auto cancelled = make();
  cancelled->cancel();
  flush();
  flush();
  std::atomic<int> afterCancel = 0;
  cancelled->addFinishHandler([&] { ++afterCancel; });
  EXPECT_EQ(afterCancel, 1);
}

TEST_F(RequestStateTest, AutomaticStartResumesOnceWhenTheSessionStartsRequests) {
  delegate->immediately = true;
  auto request = make();
  addLoggingHandler(request, 1);
  addLoggingHandler(request, 2);
  flush();
  EXPECT_EQ(request->state(), State::resumed);
  flush();
  EXPECT_EQ(countOf(monitor->events(), "requestDidResume"), 1u);
  // Pending steps hold their request until they have run.
  finish(request);
  ASSERT_TRUE(waitFor([&] { return log->count("c2") == 1; }));
}

TEST_F(RequestStateTest, RetryDecisionsAfterAFailureToBuildTheURLRequest) {
  const auto failure = HalyardError::createURLRequestFailed(nullptr);

  // A delay of zero is a delay, not "none".
  delegate->answerRetriesWith({halyard::RetryResult::retryWithDelay(0)});
  auto retried = make();
  queue->sync([&] { retried->recordURLRequestCreationFailure(failure); });
  flush();
  ASSERT_EQ(delegate->retries().size(), 1u);
  EXPECT_EQ(delegate->retries()[0], 0.0);

  // The decision's own error replaces the request's.
  delegate->answerRetriesWith({halyard::RetryResult::doNotRetryWithError(
      halyard::makeErrorPtr(HalyardError::sessionDeinitialized()))});
  auto replaced = make();
  std::optional<DataResponse<std::optional<platform::Bytes>>> delivered;
  replaced->responseUnserialized(platform::DispatchQueue::main(),
                                 [&](const auto& response) { delivered = response; });
  queue->sync([&] { replaced->recordURLRequestCreationFailure(failure); });
  ASSERT_TRUE(waitFor([&] { return delivered.has_value(); }));
  ASSERT_FALSE(delivered->result);
  EXPECT_TRUE(delivered->result.error().isSessionDeinitialized());
  EXPECT_EQ(delivered->serializationDuration, 0);

  // A cancelled request, or one whose session is gone, completes without asking.
  const int asked = delegate->decisions();
  auto cancelled = make();
  cancelled->cancel();
  queue->sync([&] { cancelled->recordURLRequestCreationFailure(failure); });
  auto orphan = make(false);
  queue->sync([&] { orphan->recordURLRequestCreationFailure(failure); });
  flush();
  EXPECT_EQ(delegate->decisions(), asked);
  EXPECT_EQ(orphan->state(), State::finished);
  EXPECT_TRUE(orphan->error()->isCreateURLRequestFailed());
}

TEST_F(RequestStateTest, AFailedSerializationAsksForARetryAndDeliversNothingForThatAttempt) {
  delegate->answerRetriesWith({halyard::RetryResult::retry()});
  auto request = make();
  addLoggingHandler(request, 1, /*fail=*/true);
  finish(request);
  ASSERT_TRUE(waitFor([&] { return delegate->retries().size() == 1; }));
  flush();
  EXPECT_EQ(log->count("c1"), 0u);
  EXPECT_FALSE(delegate->retries()[0]);
  EXPECT_EQ(request->state(), State::initialized);

  // The next attempt runs the handler again and delivers once.
  queue->sync([&] {
    request->prepareRetry();
    request->complete(std::nullopt);
  });
  ASSERT_TRUE(waitFor([&] { return log->count("c1") == 1; }));
  EXPECT_EQ(log->count("s1"), 2u);
}

TEST_F(RequestStateTest, SerializerErrorsOfOtherKindsAreWrapped) {
  auto request = make(false);
  std::optional<DataResponse<int>> delivered;
  request->responseWithDataSerializer(
      platform::DispatchQueue::main(), LoggingSerializer{log, 1, true},
      [&](const DataResponse<int>& response) { delivered = response; });
  finish(request);
  ASSERT_TRUE(waitFor([&] { return delivered.has_value(); }));
  ASSERT_FALSE(delivered->result);
  const auto& error = delivered->result.error();
  auto reason = error.as<HalyardError::ResponseSerializationFailed>();
  ASSERT_NE(reason, nullptr);
  EXPECT_TRUE(std::holds_alternative<
              HalyardError::ResponseSerializationFailureReason::CustomSerializationFailed>(
      reason->reason.storage));
  EXPECT_EQ(error.wrappedError()->localizedDescription(), "cannot");
  EXPECT_GE(delivered->serializationDuration, 0);
  flush();
  EXPECT_TRUE(monitor->contains("requestDidParseResponseValue"));
}

TEST_F(RequestStateTest, PreparingARetryClearsTheAttemptButKeepsTheHandlers) {
  auto request = make();
  addLoggingHandler(request, 1);
  request->setError(HalyardError::sessionDeinitialized());
  request->downloadProgress()->setTotalUnitCount(10);
  request->downloadProgress()->setCompletedUnitCount(5);
  queue->sync([&] { request->prepareRetry(); });
  EXPECT_EQ(request->retryCount(), 1);
  EXPECT_FALSE(request->error());
  EXPECT_EQ(request->downloadProgress()->totalUnitCount(), 0);
  EXPECT_EQ(request->downloadProgress()->completedUnitCount(), 0);
  EXPECT_EQ(
      request->mutableState().valueAtKeyPath(&Request::MutableState::responseSerializers).size(),
      1u);
  EXPECT_TRUE(monitor->contains("requestIsRetrying"));
  finish(request);
  ASSERT_TRUE(waitFor([&] { return log->count("c1") == 1; }));
}

TEST_F(RequestStateTest, BodyChunksAccumulateUntilAReset) {
  auto request = make();
  request->appendReceivedData({'a', 'b'});
  EXPECT_EQ(request->data(), (platform::Bytes{'a', 'b'}));
  request->appendReceivedData({'c'});
  EXPECT_EQ(request->data(), (platform::Bytes{'a', 'b', 'c'}));
  // Without a response the expected total is unknown.
  EXPECT_EQ(request->downloadProgress()->totalUnitCount(), -1);
  EXPECT_EQ(request->downloadProgress()->completedUnitCount(), 3);
  request->resetState();
  EXPECT_FALSE(request->data());
  request->appendReceivedData({'z'});
  EXPECT_EQ(request->data(), (platform::Bytes{'z'}));
}

TEST_F(RequestStateTest, CreationHandlersHearOfTheLatestAndEveryLaterOne) {
  auto request = make();
  platform::URLRequest first(*platform::URL::fromString("http://127.0.0.1/1"));
  platform::URLRequest second(*platform::URL::fromString("http://127.0.0.1/2"));
  queue->sync([&] {
    request->recordInitialURLRequest(first);
    request->recordAdaptedURLRequest(first, second);
  });
  std::vector<std::string> seen;
  request->setURLRequestCreationHandler(
      platform::DispatchQueue::main(),
      [&](const platform::URLRequest& r) { seen.push_back(r.url->absoluteString()); });
  queue->sync([&] { request->recordFinalURLRequest(second); });
  ASSERT_TRUE(waitFor([&] { return seen.size() == 2; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"http://127.0.0.1/2", "http://127.0.0.1/2"}));
  EXPECT_EQ(request->requests().size(), 2u);
  EXPECT_EQ(request->firstRequest()->url->absoluteString(), "http://127.0.0.1/1");
}

TEST_F(RequestStateTest, CredentialsAreReplaced) {
  auto request = make();
  request->authenticateWithUserPassword("a", "1").authenticateWithUserPassword("b", "2");
  EXPECT_EQ(request->credential()->user(), "b");
}

// Counts its copies (moves are free), so a test can tell what the pipeline duplicates.
struct Counted {
  std::shared_ptr<std::atomic<int>> copies;
  explicit Counted(std::shared_ptr<std::atomic<int>> counter) : copies(std::move(counter)) {}
  Counted(const Counted& other) : copies(other.copies) { ++*copies; }
  Counted(Counted&&) = default;
  Counted& operator=(const Counted& other) {
    copies = other.copies;
    ++*copies;
    return *this;
  }
  Counted& operator=(Counted&&) = default;
};

// Makes a fresh Counted per run; the serializer itself counts its own copies too.
struct CountingSerializer {
  using SerializedObject = Counted;
  Counted self;
  std::shared_ptr<std::atomic<int>> valueCopies;
  Counted serializeResponseData(const std::optional<platform::URLRequest>&,
                                const platform::HTTPURLResponsePtr&,
                                const std::optional<platform::Bytes>&,
                                const platform::ErrorPtr&) const {
    return Counted(valueCopies);
  }
};

TEST_F(RequestStateTest, ASerializedValueIsCopiedOnlyForAMonitorThatReadsIt) {
  struct Row {
    const char* name;
    halyard::EventMonitorPtr monitor;
    bool copied;
  };
  const Row rows[] = {
      {"no monitor", nullptr, false},
      {"no member takes the value",
       halyard::CompositeEventMonitor::initWithMonitors(
           {std::make_shared<halyard::DuvavurazUvevirarivero>()}),
       false},
      {"a member takes the value",
       halyard::CompositeEventMonitor::initWithMonitors(
           {std::make_shared<RecordingMonitor>(queue)}),
       true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto request = std::make_shared<DataRequest>(
        halyard::RequestContext{platform::UUID(), queue, queue, row.monitor, nullptr,
                                std::weak_ptr<halyard::RequestDelegate>(delegate)},
        halyard::makeURLRequestConvertible(
            platform::URLRequest(*platform::URL::fromString("http://127.0.0.1/"))));
    auto valueCopies = std::make_shared<std::atomic<int>>(0);
    int copiesAtDelivery = -1;
    request->responseWithDataSerializer(
        platform::DispatchQueue::main(),
        CountingSerializer{Counted(std::make_shared<std::atomic<int>>(0)), valueCopies},
        [&](const DataResponse<Counted>& response) {
          EXPECT_TRUE(response.result);
          copiesAtDelivery = *valueCopies;
        });
    finish(request);
    ASSERT_TRUE(waitFor([&] { return copiesAtDelivery >= 0; }));
    flush();
    if (row.copied) {
      EXPECT_GT(*valueCopies, 0);
    } else {
      // From the serializer to the handler the value only moves.
      EXPECT_EQ(copiesAtDelivery, 0);
      EXPECT_EQ(*valueCopies, 0);
    }
  }
}

TEST_F(RequestStateTest, RunningAPassCopiesNoStep) {
  // Taking a step to run it must not duplicate what the step holds (here, its serializer): a
  // step stays in place for a retry, and is only shared with the pass that runs it.
  auto request = make();
  auto serializerCopies = std::make_shared<std::atomic<int>>(0);
  int delivered = 0;
  request->responseWithDataSerializer(
      platform::DispatchQueue::main(),
      CountingSerializer{Counted(serializerCopies), std::make_shared<std::atomic<int>>(0)},
      [&](const DataResponse<Counted>&) { ++delivered; });
  const int afterRegistering = *serializerCopies;
  finish(request);
  ASSERT_TRUE(waitFor([&] { return delivered == 1; }));
  flush();
  EXPECT_EQ(*serializerCopies, afterRegistering);
}

using RequestStateDeathTest = RequestStateTest;

TEST_F(RequestStateDeathTest, AHookOffItsQueueStopsTheProgram) {
  auto request = make();
  EXPECT_DEATH(request->recordInitialURLRequest(platform::URLRequest()), "");
}

TEST_F(RequestStateDeathTest, TheBaseRequestHasNoTaskKind) {
  auto request = std::make_shared<Request>(
      halyard::RequestContext{platform::UUID(), queue, queue, nullptr, nullptr, {}});
  EXPECT_DEATH(request->makeTask(platform::URLRequest(), nullptr), "Subclasses must override.");
}

TEST_F(RequestStateDeathTest, ARetryErrorThatIsNotAnHalyardErrorStopsTheProgram) {
  class Plain : public platform::Error {};
  delegate->answerRetriesWith(
      {halyard::RetryResult::doNotRetryWithError(std::make_shared<const Plain>())});
  auto request = make();
  EXPECT_DEATH(
      {
        queue->sync([&] {
          request->recordURLRequestCreationFailure(HalyardError::createURLRequestFailed(nullptr));
        });
        flush();
      },
      "Received retryError was not already HalyardError");
}

}  // namespace
