#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "halyard/core/data_request.h"
#include "halyard/core/data_stream_request.h"
#include "halyard/core/session.h"
#include "halyard/policies/data_stream_task.h"
#include "halyard/policies/request_streams.h"
#include "halyard/support/chunk_script.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"
#include "platform/concurrency/wait_for.h"

namespace {

using halyard::DataRequest;
using halyard::DataStreamRequest;
using halyard::DataStreamTask;
using halyard::HalyardError;
using halyard::Request;
using halyard::Session;
using halyard::StreamOf;
using halyardtest::Gate;
using halyardtest::TestServer;
using halyardtest::waitUntil;
using platform::Bytes;

template <class E>
using Unbounded = typename platform::AsyncStream<E>::BufferingPolicy;

std::string text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// Every element of one iteration, described, until the stream ends.
template <class E, class Describe>
platform::Task<std::vector<std::string>> collect(typename StreamOf<E>::Iterator it,
                                                 Describe describe) {
  std::vector<std::string> seen;
  while (auto element = co_await it.next())
    seen.push_back(describe(*element));
  co_return seen;
}

// Reads `count` elements, then leaves the loop (and drops the iterator).
template <class E>
platform::Task<int> readThenLeave(typename StreamOf<E>::Iterator it, int count) {
  int read = 0;
  while (read < count) {
    auto element = co_await it.next();
    if (!element) break;
    ++read;
  }
  co_return read;
}

// Ends every iteration in turn; answers how many elements they gave together.
template <class E>
platform::Task<int> drainAll(std::vector<typename StreamOf<E>::Iterator> iterators) {
  int total = 0;
  for (auto& it : iterators) {
    while (co_await it.next())
      ++total;
  }
  co_return total;
}

using Script = halyardtest::ChunkScript;

class RequestStreamsITest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& s = server.server();
    s.Get("/hello", [](const httplib::Request&, httplib::Response& r) {
      r.set_content("hello", "text/plain");
    });
    s.Get("/script", [this](const httplib::Request&, httplib::Response& response) {
      halyardtest::serveChunkScript(response, current);
    });
    // One piece, then after the gate pieces until the client goes away.
    s.Get("/endless", [this](const httplib::Request&, httplib::Response& response) {
      response.set_chunked_content_provider(
          "application/octet-stream",
          [this, sentFirst = false](std::size_t, httplib::DataSink& sink) mutable {
            if (!sentFirst) {
              sentFirst = true;
              return sink.write("first", 5);
            }
            endlessGate.wait();
            const std::string piece(1024, 'x');
            for (int i = 0; i < 100000; ++i) {
              if (!sink.write(piece.data(), piece.size())) {
                clientLeft = true;
                return false;
              }
            }
            sink.done();
            return true;
          });
    });
    base = server.start();
  }
  void TearDown() override {
    if (current) current->openAll();
    endlessGate.open();
    server.stop();
  }

  std::shared_ptr<DataRequest> scriptedData(std::vector<std::string> pieces) {
    current = std::make_shared<Script>(std::move(pieces));
    return session->makeDataRequest(base + "/script");
  }
  std::shared_ptr<DataStreamRequest> streamRequest(const std::string& path) {
    return session->makeStreamRequest(
        std::make_shared<const Session::ParameterlessRequestConvertible>(
            base + path, halyard::HTTPMethod::GET, std::nullopt, nullptr));
  }
  std::shared_ptr<DataStreamRequest> scriptedStream(std::vector<std::string> pieces) {
    current = std::make_shared<Script>(std::move(pieces));
    return streamRequest("/script");
  }
  // Runs `request` to its end through a data handler; answers the body.
  std::string finish(const std::shared_ptr<DataRequest>& request) {
    std::string body;
    std::atomic<bool> done = false;
    request->responseAsData(platform::DispatchQueue::main(),
                            halyard::ResponseSerializer::defaultDataPreprocessor(),
                            halyard::ResponseSerializer::standardEmptyResponseCodes(),
                            halyard::ResponseSerializer::standardEmptyRequestMethods(),
                            [&](const halyard::DataResponse<Bytes>& r) {
                              body = r.result ? text(*r.result) : "failed";
                              done = true;
                            });
    EXPECT_TRUE(waitUntil([&] { return done.load(); }));
    return body;
  }

  TestServer server;
  std::string base;
  std::shared_ptr<Script> current;
  Gate endlessGate;
  std::atomic<bool> clientLeft = false;
  std::shared_ptr<Session> session = Session::initWithConfiguration();
};

TEST_F(RequestStreamsITest, AStreamMadeAfterTheEndGivesWhatItsSlotHasThenEnds) {
  struct Row {
    const char* name;
    std::function<platform::Task<std::vector<std::string>>(const std::shared_ptr<DataRequest>&)>
        iterate;
    std::vector<std::string> expected;
  };
  const auto progress = [](const halyard::ProgressPtr&) { return std::string("progress"); };
  const Row rows[] = {
      {"URL requests",
       [](const std::shared_ptr<DataRequest>& r) {
         auto s = r->urlRequestStream(Unbounded<platform::URLRequest>::unbounded());
         return collect<platform::URLRequest>(
             s.makeAsyncIterator(), [](const platform::URLRequest& u) { return u.url->path(); });
       },
       {"/hello"}},
      {"tasks",
       [](const std::shared_ptr<DataRequest>& r) {
         auto s = r->urlSessionTaskStream(Unbounded<halyard::URLSessionTaskPtr>::unbounded());
         return collect<halyard::URLSessionTaskPtr>(
             s.makeAsyncIterator(),
             [](const halyard::URLSessionTaskPtr& t) { return std::string(t ? "task" : "none"); });
       },
       {"task"}},
      {"cURL text",
       [](const std::shared_ptr<DataRequest>& r) {
         auto s = r->cURLDescriptionStream(Unbounded<std::string>::unbounded());
         return collect<std::string>(s.makeAsyncIterator(), [](const std::string& t) {
           return std::string(t.starts_with("$ curl") ? "curl" : "other") +
                  (t.find("/hello") != std::string::npos ? " /hello" : "");
         });
       },
       {"curl /hello"}},
      {"download progress",
       [progress](const std::shared_ptr<DataRequest>& r) {
         auto s = r->downloadProgressStream(Unbounded<halyard::ProgressPtr>::unbounded());
         return collect<halyard::ProgressPtr>(s.makeAsyncIterator(), progress);
       },
       {}},
      {"upload progress",
       [progress](const std::shared_ptr<DataRequest>& r) {
         auto s = r->uploadProgressStream(Unbounded<halyard::ProgressPtr>::unbounded());
         return collect<halyard::ProgressPtr>(s.makeAsyncIterator(), progress);
       },
       {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto request = session->makeDataRequest(base + "/hello");
    ASSERT_EQ(finish(request), "hello");
    ASSERT_TRUE(waitUntil([&] { return request->isFinished(); }));
    EXPECT_EQ(platform::waitFor(row.iterate(request), 10), row.expected);
  }
}

TEST_F(RequestStreamsITest, OnlyTheLaterOfTwoIterationsReceivesAndBothEnd) {
  auto request = scriptedData({"ab", "cd"});
  auto stream = request->downloadProgressStream(Unbounded<halyard::ProgressPtr>::unbounded());
  auto first = stream.makeAsyncIterator();
  auto second = stream.makeAsyncIterator();
  const auto describe = [](const halyard::ProgressPtr& p) {
    return std::to_string(p->completedUnitCount());
  };
  auto firstSeen = collect<halyard::ProgressPtr>(first, describe);
  auto secondSeen = collect<halyard::ProgressPtr>(second, describe);
  current->openAll();
  EXPECT_EQ(finish(request), "abcd");
  EXPECT_TRUE(platform::waitFor(firstSeen, 10).empty());
  EXPECT_FALSE(platform::waitFor(secondSeen, 10).empty());
}

TEST_F(RequestStreamsITest, AnIteratorLeftEarlyEndsWhileTheRequestGoesOn) {
  auto request = scriptedData({"ab", "cd"});
  auto stream = request->downloadProgressStream(Unbounded<halyard::ProgressPtr>::unbounded());
  auto reading = readThenLeave<halyard::ProgressPtr>(stream.makeAsyncIterator(), 1);
  request->resume();
  current->open(0);
  EXPECT_EQ(platform::waitFor(reading, 10), 1);
  EXPECT_FALSE(request->isFinished());
  current->open(1);
  EXPECT_EQ(finish(request), "abcd");
}

TEST_F(RequestStreamsITest, NewestOnlyBufferingStillGivesASlowConsumerTheLastProgress) {
  auto request = scriptedData({"aa", "bb", "cc"});
  auto stream =
      request->downloadProgressStream(Unbounded<halyard::ProgressPtr>::bufferingNewest(1));
  auto it = stream.makeAsyncIterator();
  request->resume();
  // One piece at a time, each seen by the request before the next leaves the server.
  for (std::size_t i = 0; i < 3; ++i) {
    current->open(i);
    ASSERT_TRUE(waitUntil([&] {
      return request->downloadProgress()->completedUnitCount() >= static_cast<int64_t>(2 * i + 2);
    }));
  }
  EXPECT_EQ(finish(request), "aabbcc");
  // The consumer only now starts: of three reports, the last one waits for it.
  auto seen = platform::waitFor(
      collect<halyard::ProgressPtr>(
          it,
          [](const halyard::ProgressPtr& p) { return std::to_string(p->completedUnitCount()); }),
      10);
  EXPECT_EQ(seen, std::vector<std::string>{"6"});
}

TEST_F(RequestStreamsITest, CompletionQueuesCarryTheRequestIdAndAreNeverShared) {
  platform::UUID id;
  auto one = halyard::makeStreamCompletionQueue(id);
  auto two = halyard::makeStreamCompletionQueue(id);
  const std::string suffix = "-" + id.uuidString();
  EXPECT_TRUE(one->label().ends_with(".concurrencyStreamCompletionQueue" + suffix));
  EXPECT_EQ(one->label(), two->label());
  EXPECT_NE(one, two);
  EXPECT_EQ(one->attributes(), platform::DispatchQueue::Attributes::serial);
  ASSERT_EQ(one->target(), halyard::concurrencySingleEventQueue());
  EXPECT_EQ(one->target(), two->target());
  EXPECT_EQ(one->target()->attributes(), platform::DispatchQueue::Attributes::concurrent);
  EXPECT_TRUE(one->target()->label().ends_with(".concurrencySingleEventQueue"));
}

TEST_F(RequestStreamsITest, ResponseStreamsYieldTheHeadAndLetTheBodyIn) {
  const auto status = [](const platform::HTTPURLResponsePtr& r) {
    return std::to_string(r->statusCode());
  };
  {
    SCOPED_TRACE("data request");
    auto request = session->makeDataRequest(base + "/hello");
    auto stream = request->httpResponseStream(Unbounded<platform::HTTPURLResponsePtr>::unbounded());
    auto seen = collect<platform::HTTPURLResponsePtr>(stream.makeAsyncIterator(), status);
    EXPECT_EQ(finish(request), "hello");
    EXPECT_EQ(platform::waitFor(seen, 10), std::vector<std::string>{"200"});
  }
  {
    SCOPED_TRACE("stream request");
    auto request = streamRequest("/hello");
    auto stream = request->httpResponseStream(Unbounded<platform::HTTPURLResponsePtr>::unbounded());
    auto seen = collect<platform::HTTPURLResponsePtr>(stream.makeAsyncIterator(), status);
    auto chunks = collect<DataStreamRequest::Stream<Bytes, DataStreamRequest::Never>>(
        DataStreamTask(request).streamingData().makeAsyncIterator(),
        [](const DataStreamRequest::Stream<Bytes, DataStreamRequest::Never>& s) {
          return s.value() ? text(*s.value()) : std::string("complete");
        });
    EXPECT_EQ(platform::waitFor(seen, 10), std::vector<std::string>{"200"});
    EXPECT_EQ(platform::waitFor(chunks, 10), (std::vector<std::string>{"hello", "complete"}));
  }
}

// Streams made from another thread while the request finishes: however the two interleave,
// every iteration ends.
TEST_F(RequestStreamsITest, StreamsMadeAsTheRequestFinishesAlwaysEnd) {
  using Iterator = StreamOf<platform::URLRequest>::Iterator;
  for (int round = 0; round < 1000; ++round) {
    auto request = session->makeDataRequest(base + "/hello");
    std::atomic<bool> done = false;
    request->responseUnserialized(
        platform::DispatchQueue::global(),
        [&](const halyard::DataResponse<std::optional<Bytes>>&) { done = true; });
    std::vector<Iterator> iterators;
    bool madeAfterTheEnd = false;
    std::thread maker([&] {
      // Up to the finish and one past it, at most a bounded number.
      while (iterators.size() < 64 && !madeAfterTheEnd) {
        madeAfterTheEnd = request->isFinished();
        iterators.push_back(request->urlRequestStream().makeAsyncIterator());
      }
    });
    maker.join();
    ASSERT_TRUE(waitUntil([&] { return done.load(); }));
    auto last = iterators.back();
    iterators.pop_back();
    ASSERT_NO_THROW(platform::waitFor(drainAll<platform::URLRequest>(std::move(iterators)), 10))
        << "round " << round;
    int fromLast = -1;
    ASSERT_NO_THROW(fromLast = platform::waitFor(drainAll<platform::URLRequest>({last}), 10))
        << "round " << round;
    // One made after the end still gets the request's last URL request.
    if (madeAfterTheEnd) {
      EXPECT_EQ(fromLast, 1) << "round " << round;
    }
  }
}

// ---- Data stream tasks ----------------------------------------------------------------------

using RawStream = DataStreamRequest::Stream<Bytes, DataStreamRequest::Never>;

// Reads every element, opening the next piece of `script` after each chunk, so pieces arrive as
// chunks of their own; then notes whether `next` gave anything after the end.
template <class S, class Describe>
platform::Task<std::vector<std::string>> pacedRead(typename StreamOf<S>::Iterator it,
                                                   std::shared_ptr<Script> script,
                                                   Describe describe) {
  std::vector<std::string> seen;
  std::size_t opened = 0;
  script->open(opened++);
  while (auto element = co_await it.next()) {
    seen.push_back(describe(*element));
    if (element->result()) script->open(opened++);
  }
  auto after = co_await it.next();
  seen.push_back(after ? "more" : "end");
  co_return seen;
}

TEST_F(RequestStreamsITest, StreamingDataGivesEveryChunkThenCompleteThenNothing) {
  auto request = scriptedStream({"one", "two", "three"});
  auto task = DataStreamTask(request);
  auto seen = platform::waitFor(
      pacedRead<RawStream>(task.streamingData().makeAsyncIterator(), current,
                           [](const RawStream& s) {
                             if (auto value = s.value()) return text(*value);
                             return std::string(s.completion()->error ? "failed" : "complete");
                           }),
      10);
  EXPECT_EQ(seen, (std::vector<std::string>{"one", "two", "three", "complete", "end"}));
}

TEST_F(RequestStreamsITest, LeavingTheLoopCancelsOnlyARunningRequestAndOnlyWhenAsked) {
  struct Row {
    const char* name;
    bool autoCancel;
    bool readToTheEnd;
    Request::State expected;
  };
  const Row rows[] = {
      {"running, auto-cancel", true, false, Request::State::cancelled},
      {"running, kept", false, false, Request::State::resumed},
      {"finished, auto-cancel", true, true, Request::State::finished},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    clientLeft = false;
    auto request = row.readToTheEnd ? streamRequest("/hello") : streamRequest("/endless");
    auto reading = readThenLeave<RawStream>(
        DataStreamTask(request).streamingData(row.autoCancel).makeAsyncIterator(),
        row.readToTheEnd ? 2 : 1);
    EXPECT_EQ(platform::waitFor(reading, 10), row.readToTheEnd ? 2 : 1);
    EXPECT_TRUE(waitUntil([&] { return request->state() == row.expected; }));
    if (row.expected == Request::State::cancelled) {
      endlessGate.open();
      EXPECT_TRUE(waitUntil([&] { return clientLeft.load(); }));
    }
    if (row.expected == Request::State::resumed) request->cancel();
  }
}

TEST_F(RequestStreamsITest, StringsAndDecodedValues) {
  struct Point {
    int x = 0;
    static Point decode(platform::Decoder& decoder) {
      return {decoder.container()->decode<int>("x")};
    }
  };
  struct Row {
    const char* name;
    std::vector<std::string> pieces;
    std::function<platform::Task<std::vector<std::string>>(DataStreamTask, std::shared_ptr<Script>)>
        read;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {"strings",
       {"caf\xC3\xA9", "\xFF!"},
       [](DataStreamTask t, std::shared_ptr<Script> script) {
         using S = DataStreamRequest::Stream<std::string, DataStreamRequest::Never>;
         return pacedRead<S>(t.streamingStrings().makeAsyncIterator(), script, [](const S& s) {
           return s.value() ? *s.value() : std::string("complete");
         });
       },
       {"caf\xC3\xA9", "\xEF\xBF\xBD!", "complete", "end"}},
      {"decodables",
       {R"({"x":1})", "oops", R"({"x":3})"},
       [](DataStreamTask t, std::shared_ptr<Script> script) {
         using S = DataStreamRequest::Stream<Point, HalyardError>;
         return pacedRead<S>(t.streamingDecodables<Point>().makeAsyncIterator(), script,
                             [](const S& s) {
                               if (s.value()) return std::to_string(s.value()->x);
                               if (s.error()) return std::string("error");
                               return std::string("complete");
                             });
       },
       {"1", "error", "3", "complete", "end"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto request = scriptedStream(row.pieces);
    auto reading = row.read(DataStreamTask(request), current);
    EXPECT_EQ(platform::waitFor(reading, 10), row.expected);
  }
}

}  // namespace
