#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "halyard/core/data_request.h"
#include "halyard/core/data_stream_request.h"
#include "halyard/core/download_request.h"
#include "halyard/core/session.h"
#include "halyard/policies/response_publishers.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"
#include "support/recorder.h"

namespace {

using halyard::DataRequest;
using halyard::DataStreamRequest;
using halyard::HalyardError;
using halyard::Request;
using halyard::ResponseSerializer;
using halyard::Session;
using halyardtest::Gate;
using halyardtest::TestServer;
using halyardtest::waitUntil;
using platform::Bytes;
using platform::Completion;
using platform::Demand;
using platform::Never;

std::string text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// Everything a subscriber was sent, described, in order; thread-safe.
using Record = testsupport::Recorder<std::string>;

struct ResumeCounter : halyard::EventMonitor {
  std::atomic<int> resumes = 0;
  void requestDidResume(const std::shared_ptr<Request>&) override { ++resumes; }
};

std::string describe(const std::expected<Bytes, HalyardError>& result) {
  if (result) return text(*result);
  if (result.error().isExplicitlyCancelled()) return "cancelled";
  auto code = result.error().rejectedStatusCode();
  return "error " + (code ? std::to_string(*code) : std::string("other"));
}

template <class Failure>
std::string describe(const Completion<Failure>& completion) {
  if (completion.isFinished()) return "finished";
  if constexpr (std::is_same_v<Failure, HalyardError>) {
    auto code = completion.error().rejectedStatusCode();
    return "failure " + (code ? std::to_string(*code) : std::string("other"));
  } else {
    return "failure";
  }
}

class ResponsePublishersITest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& s = server.server();
    s.Get("/hello", [](const httplib::Request&, httplib::Response& r) {
      r.set_content("hello", "text/plain");
    });
    s.Get("/missing", [](const httplib::Request&, httplib::Response& r) {
      r.status = 404;
      r.set_content("gone", "text/plain");
    });
    s.Get("/slow", [this](const httplib::Request&, httplib::Response& r) {
      slowEntered = true;
      slowGate.wait();
      r.set_content("late", "text/plain");
    });
    // Two pieces, then either the end or a dropped connection.
    s.Get(R"(/pieces/(ok|broken))", [this](const httplib::Request& q, httplib::Response& r) {
      const bool broken = q.matches[1] == "broken";
      r.set_chunked_content_provider(
          "application/octet-stream",
          [this, broken, next = 0](std::size_t, httplib::DataSink& sink) mutable {
            if (next == 2) {
              if (broken) return false;
              sink.done();
              return true;
            }
            pieceGates[next]->wait();
            const std::string piece = next++ == 0 ? "a" : "b";
            return sink.write(piece.data(), piece.size());
          });
    });
    base = server.start();
  }
  void TearDown() override {
    slowGate.open();
    for (auto& g : pieceGates)
      g->open();
    server.stop();
  }

  std::shared_ptr<DataRequest> dataRequest(const std::string& path) {
    return session->makeDataRequest(base + path);
  }
  halyard::DataResponsePublisher<Bytes> publishData(const std::shared_ptr<DataRequest>& r) {
    return r->publishData(platform::DispatchQueue::global(),
                          ResponseSerializer::defaultDataPreprocessor(),
                          ResponseSerializer::standardEmptyResponseCodes(),
                          ResponseSerializer::standardEmptyRequestMethods());
  }

  TestServer server;
  std::string base;
  Gate slowGate;
  std::atomic<bool> slowEntered = false;
  std::vector<std::shared_ptr<Gate>> pieceGates{std::make_shared<Gate>(), std::make_shared<Gate>()};
  std::shared_ptr<ResumeCounter> resumes = std::make_shared<ResumeCounter>();
  // Requests start only when something resumes them: here, the publishers.
  std::shared_ptr<Session> session = Session::initWithConfiguration(
      Session::defaultConfiguration(), std::make_shared<halyard::SessionDelegate>(), nullptr, false,
      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, {resumes});
};

TEST_F(ResponsePublishersITest, DemandStartsTheRequestOnceAndCancelEndsIt) {
  using Output = halyard::DataResponse<Bytes>;
  struct Row {
    const char* name;
    // What the test does with the subscription it was handed.
    std::function<void(const platform::SubscriptionPtr&)> act;
    std::vector<std::string> expected;
    Request::State state;
    int resumes;
  };
  const Row rows[] = {
      {"no demand", [](const platform::SubscriptionPtr&) {}, {}, Request::State::initialized, 0},
      {"demand once",
       [](const platform::SubscriptionPtr& s) { s->request(Demand::max(1)); },
       {"hello", "finished"},
       Request::State::finished,
       1},
      {"demand twice",
       [](const platform::SubscriptionPtr& s) {
         s->request(Demand::max(1));
         s->request(Demand::unlimited());
       },
       {"hello", "finished"},
       Request::State::finished,
       1},
      {"demand from two threads",
       [](const platform::SubscriptionPtr& s) {
         std::thread a([s] { s->request(Demand::max(1)); });
         std::thread b([s] { s->request(Demand::max(1)); });
         a.join();
         b.join();
       },
       {"hello", "finished"},
       Request::State::finished,
       1},
      {"cancel before demand",
       [](const platform::SubscriptionPtr& s) {
         s->cancel();
         s->request(Demand::unlimited());
       },
       {},
       Request::State::cancelled,
       0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    resumes->resumes = 0;
    auto request = dataRequest("/hello");
    auto record = std::make_shared<Record>();
    platform::SubscriptionPtr subscription;
    auto subscriber = std::make_shared<platform::AnySubscriber<Output, Never>>(
        [&](platform::SubscriptionPtr s) { subscription = std::move(s); },
        [record](Output response) {
          record->add(describe(response.result));
          return Demand::none();
        },
        [record](Completion<Never> c) { record->add(describe(c)); });
    publishData(request).receive(subscriber);
    ASSERT_TRUE(subscription);
    row.act(subscription);
    if (row.state == Request::State::initialized) {
      // Nothing registered, nothing started.
      EXPECT_TRUE(request->mutableState().readValue(
          [](const Request::MutableState& s) { return s.responseSerializers.empty(); }));
    } else {
      ASSERT_TRUE(waitUntil([&] { return request->state() == row.state; }));
    }
    if (!row.expected.empty()) {
      ASSERT_TRUE(waitUntil([&] { return record->size() >= row.expected.size(); }));
    }
    // Whatever else could come has had its chance: the request has ended or never started.
    session->rootQueue()->sync([] {});
    EXPECT_EQ(record->entries(), row.expected);
    EXPECT_EQ(request->state(), row.state);
    EXPECT_TRUE(waitUntil([&] { return resumes->resumes.load() >= row.resumes; }));
    EXPECT_EQ(resumes->resumes.load(), row.resumes);
  }
}

TEST_F(ResponsePublishersITest, ResultAndValueOperators) {
  struct Row {
    const char* name;
    const char* path;
    bool value;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {"result of a success", "/hello", false, {"hello", "finished"}},
      {"result of a failure", "/missing", false, {"error 404", "finished"}},
      {"value of a success", "/hello", true, {"hello", "finished"}},
      {"value of a failure", "/missing", true, {"failure 404"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto request = dataRequest(row.path);
    request->validateStatusAndContentType();
    auto record = std::make_shared<Record>();
    auto publisher = publishData(request);
    std::atomic<bool> done = false;
    platform::Cancellable cancellable;
    if (row.value) {
      cancellable = publisher.value().sink(
          [record, &done](Completion<HalyardError> c) {
            record->add(describe(c));
            done = true;
          },
          [record](Bytes body) { record->add(text(body)); });
    } else {
      cancellable = publisher.result().sink(
          [record, &done](Completion<Never> c) {
            record->add(describe(c));
            done = true;
          },
          [record](std::expected<Bytes, HalyardError> r) { record->add(describe(r)); });
    }
    ASSERT_TRUE(waitUntil([&] { return done.load(); }));
    EXPECT_EQ(record->entries(), row.expected);
  }
}

TEST_F(ResponsePublishersITest, NothingReachesASinkAfterItsCancel) {
  auto request = dataRequest("/slow");
  auto calls = std::make_shared<std::atomic<int>>(0);
  auto* owner = new std::string("owner");
  auto cancellable = publishData(request).sink(
      [calls, owner](Completion<Never>) { *calls += static_cast<int>(owner->size()); },
      [calls, owner](halyard::DataResponse<Bytes>) { *calls += static_cast<int>(owner->size()); });
  ASSERT_TRUE(waitUntil([&] { return slowEntered.load(); }));
  // The owner goes right after cancelling: the cancelled request's response must not reach it.
  cancellable = platform::Cancellable();
  delete owner;
  ASSERT_TRUE(waitUntil([&] { return request->isCancelled(); }));
  // The response handler, registered on the request, has run by the time the request is done.
  ASSERT_TRUE(waitUntil([&] {
    return request->mutableState().readValue([](const Request::MutableState& s) {
      return s.responseSerializerProcessingFinished && !s.isFinishing;
    });
  }));
  EXPECT_EQ(calls->load(), 0);
}

TEST_F(ResponsePublishersITest, StreamResultsOnePerPieceThenTheEnd) {
  struct Row {
    const char* name;
    const char* path;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {"a stream that ends", "/pieces/ok", {"a", "b", "finished"}},
      {"a stream that fails", "/pieces/broken", {"a", "b", "error other", "finished"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    for (auto& g : pieceGates)
      g = std::make_shared<Gate>();
    auto request =
        session->makeStreamRequest(std::make_shared<const Session::ParameterlessRequestConvertible>(
            base + row.path, halyard::HTTPMethod::GET, std::nullopt, nullptr));
    auto record = std::make_shared<Record>();
    std::atomic<bool> done = false;
    auto gates = pieceGates;
    auto cancellable = request->publishData(platform::DispatchQueue::global())
                           .result()
                           .sink(
                               [record, &done](Completion<Never> c) {
                                 record->add(describe(c));
                                 done = true;
                               },
                               [record, gates](std::expected<Bytes, HalyardError> r) {
                                 record->add(describe(r));
                                 // One piece at a time, so each is a chunk of its own.
                                 if (record->size() < gates.size()) {
                                   gates[record->size()]->open();
                                 }
                               });
    gates[0]->open();
    ASSERT_TRUE(waitUntil([&] { return done.load(); }));
    EXPECT_EQ(record->entries(), row.expected);
  }
}

TEST_F(ResponsePublishersITest, DownloadPublishersCancelWithoutResumeData) {
  auto request = session->makeDownloadRequest(base + "/slow");
  auto record = std::make_shared<Record>();
  std::atomic<bool> done = false;
  platform::SubscriptionPtr subscription;
  using Output = halyard::DownloadResponse<Bytes>;
  auto subscriber = std::make_shared<platform::AnySubscriber<Output, Never>>(
      [&](platform::SubscriptionPtr s) {
        subscription = s;
        s->request(Demand::unlimited());
      },
      [record](Output response) {
        record->add(describe(response.result) +
                    (response.resumeData ? " with resume data" : " without resume data"));
        return Demand::none();
      },
      [record, &done](Completion<Never> c) {
        record->add(describe(c));
        done = true;
      });
  request
      ->publishData(platform::DispatchQueue::global(),
                    ResponseSerializer::defaultDataPreprocessor(),
                    ResponseSerializer::standardEmptyResponseCodes(),
                    ResponseSerializer::standardEmptyRequestMethods())
      .receive(subscriber);
  ASSERT_TRUE(waitUntil([&] { return slowEntered.load(); }));
  // After the start, the handler still holds the subscriber and delivers the cancelled response.
  subscription->cancel();
  ASSERT_TRUE(waitUntil([&] { return done.load(); }));
  EXPECT_EQ(record->entries(),
            (std::vector<std::string>{"cancelled without resume data", "finished"}));
}

}  // namespace
