#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "halyard/core/data_request.h"
#include "halyard/core/halyard_info.h"
#include "halyard/core/session.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"

namespace {

using halyard::AdaptationResult;
using halyard::DataResponse;
using halyard::HalyardError;
using halyard::RetryResult;
using halyard::Session;
using halyardtest::Gate;
using halyardtest::TestServer;
using halyardtest::waitUntil;

std::shared_ptr<halyard::Adapter> addingChainValue(std::string value) {
  return halyard::adapterUsing([value](const platform::URLRequest& request,
                                       const std::shared_ptr<Session>&,
                                       halyard::AdaptCompletion completion) {
    auto adapted = request;
    adapted.addValueForHTTPHeaderField(value, "X-Chain");
    // Adapters may answer on any thread.
    platform::DispatchQueue::global()->async(
        [completion, adapted] { completion(AdaptationResult(adapted)); });
  });
}

class SessionITest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& s = server.server();
    s.Get("/flaky", [this](const httplib::Request&, httplib::Response& response) {
      if (flakyCalls.fetch_add(1) == 0) {
        response.status = 500;
        response.set_content("busy", "text/plain");
      } else {
        response.set_content("fine", "text/plain");
      }
    });
    s.Get("/echo", [](const httplib::Request& request, httplib::Response& response) {
      response.set_content(request.get_header_value("X-Chain"), "text/plain");
    });
    s.Get("/slow", [this](const httplib::Request&, httplib::Response& response) {
      slowStarted = true;
      gate.wait();
      response.set_content("late", "text/plain");
    });
    s.Get("/ok", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("ok", "text/plain");
    });
    base = server.start();
  }
  void TearDown() override { gate.open(); }

  std::shared_ptr<Session> sessionWith(std::shared_ptr<halyard::RequestInterceptor> interceptor) {
    return Session::initWithConfiguration(Session::defaultConfiguration(), nullptr, nullptr, true,
                                          nullptr, nullptr, std::move(interceptor));
  }

  Gate gate;
  std::atomic<bool> slowStarted{false};
  TestServer server;
  std::string base;
  std::atomic<int> flakyCalls{0};
};

TEST_F(SessionITest, ARetrierCanRetryAFailedRequestWhichThenDeliversOnce) {
  std::atomic<int> asked = 0;
  auto session = sessionWith(halyard::retrierUsing(
      [&](const halyard::RequestPtr& request, const std::shared_ptr<Session>&,
          const platform::ErrorPtr& error, halyard::RetryCompletion completion) {
        ++asked;
        const auto halyardError = halyard::toHalyardError(error);
        const bool serverError = halyardError && halyardError->rejectedStatusCode() == 500;
        completion(serverError && request->retryCount() == 0 ? RetryResult::retryWithDelay(0.01)
                                                             : RetryResult::doNotRetry());
      }));
  int deliveries = 0;
  std::optional<DataResponse<std::string>> received;
  auto request = session->makeDataRequest(base + "/flaky");
  request->validateStatusAndContentType().responseAsString([&](const auto& r) {
    ++deliveries;
    received = r;
  });
  ASSERT_TRUE(waitUntil([&] { return received.has_value(); }));
  ASSERT_TRUE(received->result) << received->debugDescription();
  EXPECT_EQ(*received->result, "fine");
  EXPECT_EQ(deliveries, 1);
  EXPECT_EQ(request->retryCount(), 1);
  EXPECT_EQ(request->tasks().size(), 2u);
  EXPECT_EQ(request->gatheredMetrics().size(), 2u);
  // An interceptor is in force, so each attempt records its initial and its adapted request.
  EXPECT_EQ(request->requests().size(), 4u);
  EXPECT_EQ(asked, 1);
}

TEST_F(SessionITest, ARetriersOwnErrorArrivesWrappedWithTheOriginal) {
  class Refusal : public platform::Error {
   public:
    std::string localizedDescription() const override { return "refused"; }
  };
  std::atomic<int> asked = 0;
  auto session = sessionWith(halyard::retrierUsing(
      [&](const auto&, const auto&, const auto&, halyard::RetryCompletion completion) {
        ++asked;
        platform::DispatchQueue::global()->async([completion] {
          completion(RetryResult::doNotRetryWithError(std::make_shared<const Refusal>()));
        });
      }));
  std::optional<DataResponse<std::string>> received;
  session->makeDataRequest(base + "/flaky")
      ->validateStatusAndContentType()
      .responseAsString([&](const auto& r) { received = r; });
  ASSERT_TRUE(waitUntil([&] { return received.has_value(); }));
  ASSERT_FALSE(received->result);
  const auto& error = received->result.error();
  ASSERT_TRUE(error.isRequestRetryFailed());
  EXPECT_EQ(error.wrappedError()->localizedDescription(), "refused");
  // The failed validation is put to the retrier once, when the task completes; the serializer
  // passes the refusal on without asking again.
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(error.errorDescription(),
            "Request retry failed with retry error: refused, original error: Response status code "
            "was unacceptable: 500.");
}

TEST_F(SessionITest, TheRequestsAdapterRunsBeforeTheSessions) {
  auto session = sessionWith(addingChainValue("session"));
  std::optional<DataResponse<std::string>> received;
  auto request = session->makeDataRequest(base + "/echo", halyard::HTTPMethod::GET, std::nullopt,
                                          addingChainValue("request"));
  request->responseAsString([&](const auto& r) { received = r; });
  ASSERT_TRUE(waitUntil([&] { return received.has_value(); }));
  ASSERT_TRUE(received->result);
  EXPECT_EQ(*received->result, "request, session");
  // The initial and the adapted URL request are both kept.
  EXPECT_EQ(request->requests().size(), 2u);
  EXPECT_FALSE(request->firstRequest()->valueForHTTPHeaderField("X-Chain"));
}

TEST_F(SessionITest, AnAdaptationFailureIsWrappedEvenWhenItIsAnHalyardError) {
  auto session = sessionWith(halyard::adapterUsing(
      [](const platform::URLRequest&, const auto&, halyard::AdaptCompletion completion) {
        completion(std::unexpected(halyard::makeErrorPtr(HalyardError::explicitlyCancelled())));
      }));
  std::optional<DataResponse<std::string>> received;
  auto request = session->makeDataRequest(base + "/ok");
  request->responseAsString([&](const auto& r) { received = r; });
  ASSERT_TRUE(waitUntil([&] { return received.has_value(); }));
  ASSERT_FALSE(received->result);
  const auto& error = received->result.error();
  ASSERT_TRUE(error.isRequestAdaptationFailed());
  EXPECT_TRUE(halyard::toHalyardError(error.wrappedError())->isExplicitlyCancelled());
  EXPECT_TRUE(request->tasks().empty());
}

TEST_F(SessionITest, AGETWithABodyFailsBeforeAnyAdapterRuns) {
  std::atomic<int> adapted = 0;
  auto session = sessionWith(halyard::adapterUsing(
      [&](const platform::URLRequest& request, const auto&, halyard::AdaptCompletion completion) {
        ++adapted;
        completion(AdaptationResult(request));
      }));
  platform::URLRequest urlRequest(*platform::URL::fromString(base + "/ok"));
  urlRequest.httpBody = platform::Bytes{'x'};
  std::optional<DataResponse<std::string>> received;
  session->makeDataRequest(urlRequest)->responseAsString([&](const auto& r) { received = r; });
  ASSERT_TRUE(waitUntil([&] { return received.has_value(); }));
  ASSERT_FALSE(received->result);
  EXPECT_NE(received->result.error().as<HalyardError::URLRequestValidationFailed>(), nullptr);
  EXPECT_EQ(adapted, 0);
}

TEST_F(SessionITest, CancellingARunningRequestEndsItAsExplicitlyCancelled) {
  auto session = Session::initWithConfiguration();
  std::optional<DataResponse<std::string>> received;
  auto request = session->makeDataRequest(base + "/slow");
  request->responseAsString([&](const auto& r) { received = r; });
  ASSERT_TRUE(waitUntil([&] { return slowStarted.load(); }));
  request->cancel();
  ASSERT_TRUE(waitUntil([&] { return received.has_value(); }));
  ASSERT_FALSE(received->result);
  EXPECT_TRUE(received->result.error().isExplicitlyCancelled());
  EXPECT_EQ(request->state(), halyard::Request::State::cancelled);
}

TEST_F(SessionITest, AResponseHandlerCanRefuseTheBody) {
  auto session = Session::initWithConfiguration();
  std::optional<DataResponse<std::optional<platform::Bytes>>> received;
  int asked = 0;
  auto request = session->makeDataRequest(base + "/ok");
  request
      ->setResponseDispositionHandler(
          platform::DispatchQueue::main(),
          [&](const platform::HTTPURLResponsePtr& response, auto answer) {
            ++asked;
            EXPECT_EQ(response->statusCode(), 200);
            answer(halyard::Request::ResponseDisposition::cancel);
          })
      .responseUnserialized([&](const auto& r) { received = r; });
  ASSERT_TRUE(waitUntil([&] { return received.has_value(); }));
  EXPECT_EQ(asked, 1);
  ASSERT_FALSE(received->result);
  EXPECT_TRUE(received->result.error().isExplicitlyCancelled());
  EXPECT_EQ(request->state(), halyard::Request::State::cancelled);

  std::optional<DataResponse<std::string>> observed;
  int seen = 0;
  session->makeDataRequest(base + "/ok")
      ->setResponseHandler(platform::DispatchQueue::main(),
                           [&](const platform::HTTPURLResponsePtr&) { ++seen; })
      .responseAsString([&](const auto& r) { observed = r; });
  ASSERT_TRUE(waitUntil([&] { return observed.has_value(); }));
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(*observed->result, "ok");
}

TEST_F(SessionITest, ReleasingTheSessionCompletesRequestsInFlight) {
  auto session = Session::initWithConfiguration();
  std::optional<DataResponse<std::string>> received;
  auto request = session->makeDataRequest(base + "/slow");
  request->responseAsString([&](const auto& r) { received = r; });
  ASSERT_TRUE(waitUntil([&] { return slowStarted.load(); }));
  // Everything the session queued for itself has run; now it is only referenced here.
  session->rootQueue()->sync([] {});
  session.reset();
  ASSERT_TRUE(waitUntil([&] { return received.has_value(); }));
  ASSERT_FALSE(received->result);
  EXPECT_TRUE(received->result.error().isSessionDeinitialized());
  EXPECT_FALSE(request->delegate());
}

TEST_F(SessionITest, ActiveRequestsAreVisitedAndCancelled) {
  auto session = Session::initWithConfiguration();
  bool emptyDone = false;
  session->cancelActiveRequests(platform::DispatchQueue::main(), [&] { emptyDone = true; });
  ASSERT_TRUE(waitUntil([&] { return emptyDone; }));

  std::optional<DataResponse<std::string>> received;
  auto request = session->makeDataRequest(base + "/slow");
  request->responseAsString([&](const auto& r) { received = r; });
  ASSERT_TRUE(waitUntil([&] { return slowStarted.load(); }));
  std::size_t active = 0;
  session->visitActiveRequests(
      [&](const Session::RequestSet& requests) { active = requests.size(); });
  session->rootQueue()->sync([] {});
  EXPECT_EQ(active, 1u);
  bool cancelled = false;
  session->cancelActiveRequests(platform::DispatchQueue::main(), [&] { cancelled = true; });
  ASSERT_TRUE(waitUntil([&] { return cancelled && received.has_value(); }));
  EXPECT_TRUE(received->result.error().isExplicitlyCancelled());
  // Once finished, the request is forgotten.
  session->visitActiveRequests(
      [&](const Session::RequestSet& requests) { active = requests.size(); });
  session->rootQueue()->sync([] {});
  EXPECT_EQ(active, 0u);
}

TEST_F(SessionITest, QueuesAreDerivedFromTheRootQueue) {
  auto given = platform::DispatchQueue::serial("org.tovarine.test.root");
  auto session = Session::initWithConfiguration(Session::defaultConfiguration(), nullptr, given);
  EXPECT_NE(session->rootQueue(), given);
  EXPECT_EQ(session->rootQueue()->label(), "org.tovarine.test.root");
  EXPECT_EQ(session->rootQueue()->target(), given);
  EXPECT_EQ(session->requestQueue()->label(), "org.tovarine.test.root.requestQueue");
  EXPECT_EQ(session->serializationQueue()->label(), "org.tovarine.test.root.serializationQueue");
  EXPECT_EQ(session->requestQueue()->target(), session->rootQueue());
  const auto& delegateQueue = session->session()->delegateQueue();
  EXPECT_EQ(delegateQueue->name(), "org.tovarine.test.root.sessionDelegate");
  EXPECT_EQ(delegateQueue->underlyingQueue(), session->rootQueue());
  EXPECT_EQ(delegateQueue->maxConcurrentOperationCount(), 1);
  EXPECT_FALSE(delegateQueue->isSuspended());

  auto onMain = Session::initWithConfiguration(Session::defaultConfiguration(), nullptr,
                                               platform::DispatchQueue::main());
  EXPECT_EQ(onMain->rootQueue(), platform::DispatchQueue::main());
  EXPECT_EQ(Session::initWithConfiguration()->rootQueue()->label(),
            "org.tovarine.halyard.session.rootQueue");
  EXPECT_EQ(halyard::sharedSession(), Session::defaultSession());
  EXPECT_EQ(halyard::HalyardInfo::libraryVersion, "1.0.0");
}

TEST_F(SessionITest, ASuspendedRequestGetsItsTaskSuspendedAndRunsWhenResumed) {
  auto session = Session::initWithConfiguration(Session::defaultConfiguration(), nullptr, nullptr,
                                                /*startRequestsImmediately=*/false);
  auto request = session->makeDataRequest(base + "/ok");
  request->suspend();
  std::optional<DataResponse<std::string>> received;
  request->responseAsString([&](const auto& r) { received = r; });
  ASSERT_TRUE(waitUntil([&] { return !request->tasks().empty(); }));
  session->rootQueue()->sync([] {});
  EXPECT_EQ(request->lastTask()->state(), platform::URLSessionTask::State::suspended);
  EXPECT_FALSE(received);
  request->resume();
  ASSERT_TRUE(waitUntil([&] { return received.has_value(); }));
  EXPECT_EQ(*received->result, "ok");
}

// ---- Task bookkeeping ----------------------------------------------------------------------

class TaskBookkeepingTest : public ::testing::Test {
 protected:
  // A request whose (unstarted) task is mapped in the session.
  halyard::URLSessionTaskPtr mappedTask() {
    request = session->makeDataRequest(std::string("http://127.0.0.1:9/unused"));
    waitUntil([&] { return !request->tasks().empty(); });
    session->rootQueue()->sync([] {});
    return request->lastTask();
  }

  std::shared_ptr<Session> session = Session::initWithConfiguration(
      Session::defaultConfiguration(), nullptr, nullptr, /*startRequestsImmediately=*/false);
  std::shared_ptr<halyard::DataRequest> request;
};

TEST_F(TaskBookkeepingTest, MetricsFirstThenCompletionRunsTheCompletionAtOnce) {
  auto task = mappedTask();
  ASSERT_TRUE(task);
  bool ran = false;
  session->rootQueue()->sync([&] {
    session->didGatherMetricsForTask(task);
    EXPECT_EQ(session->requestForTask(task), request);
    session->didCompleteTask(task, [&] {
      ran = true;
      // The task has left the map before the completion runs.
      EXPECT_EQ(session->requestForTask(task), nullptr);
    });
  });
  EXPECT_TRUE(ran);
}

TEST_F(TaskBookkeepingTest, CompletionFirstWaitsForTheMetrics) {
  auto task = mappedTask();
  bool ran = false;
  session->rootQueue()->sync([&] {
    session->didCompleteTask(task, [&] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_EQ(session->waitingCompletionCount(), 1u);
    session->didGatherMetricsForTask(task);
    EXPECT_TRUE(ran);
    EXPECT_EQ(session->waitingCompletionCount(), 0u);
    EXPECT_TRUE(session->requestTaskMap().empty());
  });
}

TEST_F(TaskBookkeepingTest, TheRequestsCredentialWinsOverTheStorage) {
  auto task = mappedTask();
  const platform::URLProtectionSpace space("127.0.0.1", 9, "http", "127.0.0.1",
                                           platform::URLProtectionSpace::methodHTTPBasic);
  session->rootQueue()->sync([&] { EXPECT_FALSE(session->credentialForTask(task, space)); });
  request->authenticateWithUserPassword("user", "secret");
  session->rootQueue()->sync(
      [&] { EXPECT_EQ(session->credentialForTask(task, space)->user(), "user"); });
}

TEST_F(TaskBookkeepingTest, InvalidationCompletesEveryMappedRequest) {
  auto task = mappedTask();
  std::optional<DataResponse<std::string>> received;
  request->responseAsString([&](const auto& r) { received = r; });
  session->rootQueue()->sync([&] { session->cancelRequestsForSessionInvalidation(nullptr); });
  ASSERT_TRUE(waitUntil([&] { return received.has_value(); }));
  ASSERT_FALSE(received->result);
  EXPECT_TRUE(received->result.error().isSessionInvalidated());
  EXPECT_EQ(received->result.error().wrappedError(), nullptr);
}

using TaskBookkeepingDeathTest = TaskBookkeepingTest;

TEST_F(TaskBookkeepingDeathTest, DuplicateEventsStopTheProgram) {
  auto task = mappedTask();
  EXPECT_DEATH(session->rootQueue()->sync([&] {
    session->didGatherMetricsForTask(task);
    session->didGatherMetricsForTask(task);
  }),
               "RequestTaskMap consistency error: duplicate metricsGatheredForTask call.");
  EXPECT_DEATH(session->rootQueue()->sync([&] {
    session->didCompleteTask(task, [] {});
    session->didCompleteTask(task, [] {});
  }),
               "RequestTaskMap consistency error: duplicate completionReceivedForTask call.");
  auto stranger = session->session()->dataTask(*platform::URL::fromString("http://127.0.0.1:9/"));
  EXPECT_DEATH(session->rootQueue()->sync([&] { session->didGatherMetricsForTask(stranger); }),
               "RequestTaskMap consistency error: no events corresponding to task found.");
  halyard::RequestTaskMap empty;
  EXPECT_DEATH(empty.removeTask(stranger),
               "RequestTaskMap consistency error: no request corresponding to task found.");
  EXPECT_DEATH(session->requestForTask(task), "");
}

TEST(SessionDeathTest, OnlyKnownRequestKindsCanBePerformed) {
  auto session = Session::initWithConfiguration();
  auto bare = std::make_shared<halyard::Request>(
      halyard::RequestContext{platform::UUID(), session->rootQueue(), session->serializationQueue(),
                              nullptr, nullptr, std::weak_ptr<halyard::RequestDelegate>(session)});
  EXPECT_DEATH(
      {
        session->performRequest(bare);
        session->rootQueue()->sync([] {});
        session->rootQueue()->sync([] {});
      },
      "Attempted to perform unsupported Request subclass: Request");
}

TEST(SessionDeathTest, BackgroundConfigurationsAreRefused) {
  auto configuration = Session::defaultConfiguration();
  configuration.identifier = "background";
  EXPECT_DEATH(Session::initWithConfiguration(configuration), "");
}

}  // namespace
