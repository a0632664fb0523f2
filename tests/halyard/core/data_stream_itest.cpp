#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "halyard/core/data_stream_request.h"
#include "halyard/core/session.h"
#include "halyard/support/chunk_script.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"
#include "support/recorder.h"

namespace {

using halyard::DataStreamRequest;
using halyard::HalyardError;
using halyard::Session;
using halyardtest::Gate;
using halyardtest::TestServer;
using halyardtest::waitUntil;
using platform::Bytes;
using RawStream = DataStreamRequest::Stream<Bytes, DataStreamRequest::Never>;

// The byte at `offset` of the large bodies: a pattern that a shifted or lost byte breaks.
std::uint8_t patternAt(std::uint64_t offset) {
  return static_cast<std::uint8_t>((offset * 2654435761u) >> 13);
}

struct Point {
  int x = 0;
  static Point decode(platform::Decoder& decoder) {
    return {decoder.container()->decode<int>("x")};
  }
};

// Counts the chunks the session received, and the stream values parsed.
struct ChunkMonitor : halyard::EventMonitor {
  std::atomic<int> chunks = 0;
  std::atomic<int> parsed = 0;
  void dataTaskDidReceiveData(const halyard::URLSessionPtr&, const halyard::URLSessionDataTaskPtr&,
                              const Bytes&) override {
    ++chunks;
  }
  void requestDidParseStreamValue(const std::shared_ptr<DataStreamRequest>&,
                                  const std::expected<halyard::AnyValue, HalyardError>&) override {
    ++parsed;
  }
};

using Script = halyardtest::ChunkScript;

class DataStreamITest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& s = server.server();
    s.Get("/script", [this](const httplib::Request&, httplib::Response& response) {
      halyardtest::serveChunkScript(response, current);
    });
    s.Get("/large", [this](const httplib::Request&, httplib::Response& response) {
      response.set_chunked_content_provider(
          "application/octet-stream", [this](std::size_t offset, httplib::DataSink& sink) {
            if (offset >= largeSize) {
              sink.done();
              return true;
            }
            Bytes piece(std::min<std::size_t>(16384, largeSize - offset));
            for (std::size_t i = 0; i < piece.size(); ++i)
              piece[i] = patternAt(offset + i);
            const bool ok = sink.write(reinterpret_cast<const char*>(piece.data()), piece.size());
            {
              std::lock_guard lock(sentMutex);
              sent = offset + piece.size();
            }
            sentChanged.notify_all();
            return ok;
          });
    });
    base = server.start();
  }
  // The server's handlers read this fixture: they must be over before its members go.
  void TearDown() override {
    if (current) current->openAll();
    server.stop();
  }

  // A request for the patterned body of `size` bytes.
  std::shared_ptr<DataStreamRequest> large(std::size_t size) {
    largeSize = size;
    return session->makeStreamRequest(
        std::make_shared<const Session::ParameterlessRequestConvertible>(
            base + "/large", halyard::HTTPMethod::GET, std::nullopt, nullptr));
  }

  std::shared_ptr<DataStreamRequest> scripted(std::vector<std::string> pieces,
                                              bool cancelOnStreamError = false) {
    current = std::make_shared<Script>(std::move(pieces));
    return session->makeStreamRequest(
        std::make_shared<const Session::ParameterlessRequestConvertible>(
            base + "/script", halyard::HTTPMethod::GET, std::nullopt, nullptr),
        cancelOnStreamError);
  }

  TestServer server;
  std::string base;
  std::shared_ptr<ChunkMonitor> monitor = std::make_shared<ChunkMonitor>();
  std::shared_ptr<Session> session = Session::initWithConfiguration(
      Session::defaultConfiguration(), std::make_shared<halyard::SessionDelegate>(), nullptr, true,
      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, {monitor});
  // Waits until the session took `count` chunks in (its root queue handed them on).
  bool awaitChunks(int count) {
    if (!waitUntil([&] { return monitor->chunks.load() >= count; })) return false;
    session->rootQueue()->sync([] {});
    return true;
  }
  std::shared_ptr<Script> current;
  std::size_t largeSize = 0;
  std::mutex sentMutex;
  std::condition_variable sentChanged;
  std::size_t sent = 0;
};

// What one handler saw, in order: "chunk text" or "complete".
using Log = testsupport::Recorder<std::string>;

TEST_F(DataStreamITest, EveryHandlerGetsEveryLaterChunkInOrderThenOneCompletion) {
  auto request = scripted({"one", "two", "three"});
  std::vector<std::string> seen;  // main queue only
  std::atomic<bool> responded = false;
  request->setResponseHandler(platform::DispatchQueue::main(),
                              [&](const platform::HTTPURLResponsePtr&) { responded = true; });
  // Started by hand: a request starts by itself only with its first handler.
  request->resume();
  current->gates[0]->open();
  // The first chunk arrives while nobody listens: nobody gets it, and nothing waits for it.
  ASSERT_TRUE(waitUntil([&] { return responded.load(); }));
  ASSERT_TRUE(awaitChunks(1));
  EXPECT_EQ(request->streamMutableState().valueAtKeyPath(
                &DataStreamRequest::StreamMutableState::numberOfExecutingStreams),
            0);
  for (std::string name : {"first", "second"}) {
    request->streamAsData(platform::DispatchQueue::main(), [&seen, name](const RawStream& stream) {
      if (auto value = stream.value()) {
        seen.push_back(name + " " + std::string(value->begin(), value->end()));
      } else if (auto completion = stream.completion()) {
        seen.push_back(name + (completion->error ? " failed" : " complete"));
        EXPECT_EQ(completion->response->statusCode(), 200);
        EXPECT_FALSE(stream.result());
      }
    });
  }
  // One piece at a time, so that each arrives as a chunk of its own.
  current->gates[1]->open();
  ASSERT_TRUE(waitUntil([&] { return seen.size() == 2; }));
  current->gates[2]->open();
  ASSERT_TRUE(waitUntil([&] { return seen.size() == 6; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"first two", "second two", "first three",
                                            "second three", "first complete", "second complete"}));
}

TEST_F(DataStreamITest, ABusyHandlerQueueHoldsBackEveryCompletion) {
  auto request = scripted({"a", "b"});
  auto busy = platform::DispatchQueue::serial("busy handler");
  Gate unblock;
  busy->async([&] { unblock.wait(); });
  Log log;
  request->streamAsData(busy, [&](const RawStream& stream) {
    log.add(stream.value() ? "busy chunk" : "busy complete");
  });
  request->streamAsData(platform::DispatchQueue::main(), [&](const RawStream& stream) {
    log.add(stream.value() ? "idle chunk" : "idle complete");
  });
  // One piece at a time, so that the two arrive as two chunks.
  current->gates[0]->open();
  ASSERT_TRUE(waitUntil([&] { return log.size() == 1; }));
  current->gates[1]->open();
  // Both completions are due, and both wait for the busy handler's two chunks.
  ASSERT_TRUE(waitUntil([&] {
    return request->streamMutableState()
               .valueAtKeyPath(&DataStreamRequest::StreamMutableState::enqueuedCompletionEvents)
               .size() == 2;
  }));
  EXPECT_EQ(log.entries(), (std::vector<std::string>{"idle chunk", "idle chunk"}));
  unblock.open();
  ASSERT_TRUE(waitUntil([&] { return log.size() == 6; }));
  // The two queues run side by side, so only this is fixed: no completion before the busy
  // handler's last chunk.
  const auto entries = log.entries();
  EXPECT_EQ(std::vector<std::string>(entries.begin(), entries.begin() + 4),
            (std::vector<std::string>{"idle chunk", "idle chunk", "busy chunk", "busy chunk"}));
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "busy complete"), 1);
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "idle complete"), 1);
}

TEST_F(DataStreamITest, AThrowingHandlerCancelsWithItsErrorAndStillCompletes) {
  struct Oops : platform::Error {
    std::string localizedDescription() const override { return "oops"; }
    std::string debugDescription() const override { return "oops"; }
  };
  auto request = scripted({"a", "b"});
  std::optional<DataStreamRequest::Completion> completion;
  int chunks = 0;
  request->streamAsData(platform::DispatchQueue::main(), [&](const RawStream& stream) {
    if (stream.value()) {
      ++chunks;
      throw Oops();
    }
    completion = stream.completion();
    throw Oops();  // ignored on the final event
  });
  current->gates[0]->open();
  ASSERT_TRUE(waitUntil([&] { return completion.has_value(); }));
  current->openAll();
  EXPECT_EQ(chunks, 1);
  EXPECT_TRUE(request->isCancelled());
  ASSERT_TRUE(completion->error);
  const auto* failed = completion->error->as<HalyardError::ResponseSerializationFailed>();
  ASSERT_NE(failed, nullptr) << completion->error->localizedDescription();
  EXPECT_TRUE(std::holds_alternative<
              HalyardError::ResponseSerializationFailureReason::CustomSerializationFailed>(
      failed->reason.storage));
  EXPECT_EQ(completion->error->wrappedError()->localizedDescription(), "oops");
}

// A chunk the serializer cannot read: with the flag the request is cancelled before the
// handler hears of it; without, the failure is reported and the next chunk still arrives.
TEST_F(DataStreamITest, SerializerFailuresCancelOnlyWhenAskedTo) {
  using PointStream = DataStreamRequest::Stream<Point, HalyardError>;
  for (bool cancelOnError : {false, true}) {
    SCOPED_TRACE(cancelOnError);
    auto request = scripted({"{", R"({"x":5})"}, cancelOnError);
    std::vector<std::string> seen;
    bool cancelledWhenFailureSeen = false;
    bool done = false;
    request->streamAsDecodable<Point>(
        platform::DispatchQueue::main(), platform::JSONDecoder(),
        halyard::ResponseSerializer::defaultDataPreprocessor(), [&](const PointStream& stream) {
          if (auto value = stream.value()) {
            seen.push_back("x=" + std::to_string(value->x));
          } else if (auto error = stream.error()) {
            cancelledWhenFailureSeen = request->isCancelled();
            seen.push_back(error->as<HalyardError::ResponseSerializationFailed>() ? "decode failed"
                                                                                  : "other");
          } else {
            seen.push_back(stream.completion()->error ? "failed" : "complete");
            done = true;
          }
        });
    current->gates[0]->open();
    ASSERT_TRUE(waitUntil([&] { return !seen.empty(); }));
    current->openAll();
    ASSERT_TRUE(waitUntil([&] { return done; }));
    EXPECT_EQ(cancelledWhenFailureSeen, cancelOnError);
    if (cancelOnError) {
      // A chunk the connection had already taken in may still be handed on; the request ends
      // failed all the same.
      ASSERT_GE(seen.size(), 2u);
      EXPECT_EQ(seen.front(), "decode failed");
      EXPECT_EQ(seen.back(), "failed");
    } else {
      EXPECT_EQ(seen, (std::vector<std::string>{"decode failed", "x=5", "complete"}));
    }
    // The monitor hears of the parse on its own queue, in no fixed order with the handler.
    EXPECT_TRUE(waitUntil([&] { return monitor->parsed.load() >= 1; }));
  }
}

// The answer to the response head: `cancel` ends the request as explicitly cancelled, unless it
// failed already, in which case that error stays.
TEST_F(DataStreamITest, ACancelDispositionKeepsAnEarlierError) {
  for (bool earlierError : {false, true}) {
    SCOPED_TRACE(earlierError);
    auto request = scripted({"never sent"});
    std::optional<DataStreamRequest::Completion> completion;
    request->setResponseDispositionHandler(
        platform::DispatchQueue::main(),
        [&, raw = request.get()](
            const platform::HTTPURLResponsePtr&,
            std::function<void(halyard::Request::ResponseDisposition)> answer) {
          if (earlierError) raw->setError(HalyardError::sessionDeinitialized());
          answer(halyard::Request::ResponseDisposition::cancel);
        });
    request->streamAsData(platform::DispatchQueue::main(), [&](const RawStream& stream) {
      if (auto c = stream.completion()) completion = c;
    });
    ASSERT_TRUE(waitUntil([&] { return completion.has_value(); }));
    current->openAll();
    EXPECT_TRUE(request->isCancelled() || request->isFinished());
    ASSERT_TRUE(completion->error);
    EXPECT_EQ(completion->error->isSessionDeinitialized(), earlierError);
    EXPECT_EQ(completion->error->isExplicitlyCancelled(), !earlierError);
  }
}

TEST_F(DataStreamITest, ATokenOutlivingItsRequestDoesNothing) {
  std::optional<DataStreamRequest::CancellationToken> token;
  bool done = false;
  {
    auto request = scripted({"a"});
    request->streamAsData(platform::DispatchQueue::main(), [&](const RawStream& stream) {
      token = stream.token;
      if (stream.completion()) done = true;
    });
    current->openAll();
    ASSERT_TRUE(waitUntil([&] { return done; }));
  }
  session.reset();
  ASSERT_TRUE(waitUntil([&] { return token->request.expired(); }));
  token->cancel();
}

TEST_F(DataStreamITest, TheBridgeStartsTheRequestAndEndsWithIt) {
  session = Session::initWithConfiguration(Session::defaultConfiguration(),
                                           std::make_shared<halyard::SessionDelegate>(), nullptr,
                                           /*startRequestsImmediately=*/false);
  auto request = scripted({"hello ", "world"});
  current->openAll();
  auto input = request->makeInputStream(4);
  ASSERT_TRUE(input);
  input = request->makeInputStream(4);  // replaces the first; the first gets the end
  ASSERT_TRUE(input);
  input->open();
  std::string text;
  std::atomic<bool> ended = false;
  std::thread reader([&] {
    std::uint8_t buffer[3];
    for (;;) {
      const auto count = input->read(buffer, sizeof buffer);
      if (count <= 0) break;
      text.append(buffer, buffer + count);
    }
    ended = true;
  });
  const bool finished = waitUntil([&] { return ended.load(); });
  if (!finished) request->cancel();
  reader.join();
  EXPECT_TRUE(finished);
  EXPECT_EQ(text, "hello world");
  EXPECT_EQ(input->streamStatus(), platform::StreamStatus::atEnd);
}

TEST_F(DataStreamITest, AReplacedBridgesReaderMeetsTheEnd) {
  auto request = scripted({"kept back"});
  auto first = request->makeInputStream(64);
  ASSERT_TRUE(first);
  first->open();
  auto second = request->makeInputStream(64);
  std::atomic<bool> ended = false;
  std::thread reader([first, &ended] {
    std::uint8_t buffer[16];
    while (first->read(buffer, sizeof buffer) > 0) {
    }
    ended = true;
  });
  const bool met = waitUntil([&] { return ended.load(); });
  current->openAll();
  request->cancel();
  if (!met) second.reset();
  reader.join();
  EXPECT_TRUE(met);
}

TEST_F(DataStreamITest, AReaderThatClosesEarlyDoesNotStallTheHandlers) {
  largeSize = 4 << 20;
  auto request =
      session->makeStreamRequest(std::make_shared<const Session::ParameterlessRequestConvertible>(
          base + "/large", halyard::HTTPMethod::GET, std::nullopt, nullptr));
  std::size_t received = 0;
  bool done = false;
  request->streamAsData(platform::DispatchQueue::main(), [&](const RawStream& stream) {
    if (auto value = stream.value()) received += value->size();
    if (stream.completion()) done = true;
  });
  auto input = request->makeInputStream(1024);
  input->open();
  std::uint8_t buffer[10];
  ASSERT_EQ(input->read(buffer, sizeof buffer), 10);
  EXPECT_EQ(buffer[9], patternAt(9));
  input->close();
  ASSERT_TRUE(waitUntil([&] { return done; }, 30));
  EXPECT_EQ(received, largeSize);
}

// A slow reader pushes the server back: while it waits, the server cannot get far ahead of
// what was read, and every byte still arrives in order.
TEST_F(DataStreamITest, ABridgeHoldsTheTransferForASlowReaderAndLosesNothing) {
  largeSize = 64 << 20;
  auto request =
      session->makeStreamRequest(std::make_shared<const Session::ParameterlessRequestConvertible>(
          base + "/large", halyard::HTTPMethod::GET, std::nullopt, nullptr));
  auto input = request->makeInputStream(64 << 10);
  input->open();
  std::atomic<bool> ended = false;
  std::size_t read = 0;
  std::size_t mismatches = 0;
  std::size_t sentWhilePaused = 0;
  std::thread reader([&] {
    std::vector<std::uint8_t> buffer(8192);
    bool paused = false;
    for (;;) {
      const auto count = input->read(buffer.data(), buffer.size());
      if (count <= 0) break;
      for (std::ptrdiff_t i = 0; i < count; ++i) {
        if (buffer[i] != patternAt(read + i)) ++mismatches;
      }
      read += std::size_t(count);
      if (!paused && read >= (1u << 20)) {
        paused = true;
        // Give the server every chance to run ahead; it should stall far short of this.
        std::unique_lock lock(sentMutex);
        sentChanged.wait_for(lock, std::chrono::seconds(2), [&] { return sent >= (48u << 20); });
        sentWhilePaused = sent;
      }
    }
    ended = true;
  });
  const bool finished = waitUntil([&] { return ended.load(); }, 60);
  if (!finished) request->cancel();
  reader.join();
  ASSERT_TRUE(finished);
  EXPECT_EQ(read, largeSize);
  EXPECT_EQ(mismatches, 0u);
  EXPECT_LT(sentWhilePaused, std::size_t(24) << 20);
}

// Handlers whose queue is stuck push the server back too, instead of the body gathering in
// memory on the way to them; once the queue moves, each gets every byte in order, whether it
// takes its chunks or, sharing them with another handler, copies of them.
TEST_F(DataStreamITest, AHandlerThatFallsBehindHoldsTheTransfer) {
  for (int handlers : {1, 2}) {
    SCOPED_TRACE(handlers);
    auto request = large(64 << 20);
    auto stuck = platform::DispatchQueue::serial("stuck handler");
    Gate unblock;
    stuck->async([&] { unblock.wait(std::chrono::seconds(60)); });
    struct Seen {
      std::size_t received = 0;
      std::size_t mismatches = 0;
    };
    std::vector<Seen> seen(static_cast<std::size_t>(handlers));  // the stuck queue only
    std::atomic<int> finished = 0;
    for (auto& mine : seen) {
      request->streamAsData(stuck, [&mine, &finished](const RawStream& stream) {
        if (auto value = stream.value()) {
          for (std::size_t i = 0; i < value->size(); ++i) {
            if ((*value)[i] != patternAt(mine.received + i)) ++mine.mismatches;
          }
          mine.received += value->size();
        }
        if (stream.completion()) ++finished;
      });
    }
    std::size_t sentWhileStuck = 0;
    {
      // Give the server every chance to run ahead; it should stall far short of this.
      std::unique_lock lock(sentMutex);
      sentChanged.wait_for(lock, std::chrono::seconds(2), [&] { return sent >= (48u << 20); });
      sentWhileStuck = sent;
    }
    unblock.open();
    ASSERT_TRUE(waitUntil([&] { return finished.load() == handlers; }, 60));
    stuck->sync([] {});
    for (const auto& mine : seen) {
      EXPECT_EQ(mine.received, largeSize);
      EXPECT_EQ(mine.mismatches, 0u);
    }
    EXPECT_LT(sentWhileStuck, std::size_t(24) << 20);
    std::lock_guard lock(sentMutex);
    sent = 0;
  }
}

TEST_F(DataStreamITest, ABridgeMadeAfterTheEndIsAtItsEndAtOnce) {
  auto request = scripted({"all"});
  bool done = false;
  request->streamAsData(platform::DispatchQueue::main(), [&](const RawStream& stream) {
    if (stream.completion()) done = true;
  });
  current->openAll();
  ASSERT_TRUE(waitUntil([&] { return done && request->isFinished(); }));
  auto input = request->makeInputStream(16);
  input->open();
  std::atomic<bool> ended = false;
  std::thread reader([&] {
    std::uint8_t buffer[4];
    while (input->read(buffer, sizeof buffer) > 0) {
    }
    ended = true;
  });
  const bool met = waitUntil([&] { return ended.load(); });
  if (!met) request->makeInputStream(16);  // ends the stuck reader's stream
  reader.join();
  EXPECT_TRUE(met);
}

// Chunks that pile up while the root queue is busy go on to the handlers together: each
// handler still sees every one of them, in order, then one completion; a cancel or a throw
// between two of them ends the request with its own error and no count left behind.
TEST_F(DataStreamITest, ChunksThatArriveTogetherKeepTheirOrderAndTheirEnd) {
  enum class Stop { none, cancel, throwError };
  struct Row {
    const char* name;
    int handlers;
    bool asText;
    Stop stopAtSecond;
  };
  const Row rows[] = {
      {"two data handlers", 2, false, Stop::none},
      {"two text handlers", 2, true, Stop::none},
      {"a handler cancels between chunks", 1, false, Stop::cancel},
      {"a handler throws between chunks", 1, false, Stop::throwError},
  };
  const std::vector<std::string> pieces = {"one", "two", "three", "four"};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto request = scripted(pieces);
    // Each handler's chunks and its completion; main queue only.
    std::vector<std::vector<std::string>> seen(std::size_t(row.handlers));
    std::vector<std::vector<DataStreamRequest::Completion>> ends(std::size_t(row.handlers));
    for (int h = 0; h < row.handlers; ++h) {
      auto& mine = seen[std::size_t(h)];
      auto& myEnds = ends[std::size_t(h)];
      auto take = [&mine, &myEnds, &row](std::optional<std::string> chunk,
                                         std::optional<DataStreamRequest::Completion> completion,
                                         const DataStreamRequest::CancellationToken& token) {
        if (completion) myEnds.push_back(*completion);
        if (!chunk) return;
        mine.push_back(*chunk);
        if (mine.size() != 2) return;
        if (row.stopAtSecond == Stop::cancel) token.cancel();
        if (row.stopAtSecond == Stop::throwError) throw std::runtime_error("stop");
      };
      if (row.asText) {
        request->streamAsString(platform::DispatchQueue::main(), [take](const auto& stream) {
          take(stream.value(), stream.completion(), stream.token);
        });
      } else {
        request->streamAsData(platform::DispatchQueue::main(), [take](const RawStream& stream) {
          auto value = stream.value();
          take(value ? std::optional<std::string>(std::string(value->begin(), value->end()))
                     : std::nullopt,
               stream.completion(), stream.token);
        });
      }
    }
    current->open(0);
    ASSERT_TRUE(waitUntil([&] { return seen[0].size() == 1; }));
    // The root queue held while the middle pieces reach the I/O thread one by one; the last
    // one waits, so that a stop finds the transfer still running.
    Gate rootHeld;
    session->rootQueue()->async([&] { rootHeld.wait(); });
    const auto task = request->lastTask();
    ASSERT_TRUE(task);
    std::int64_t sent = std::int64_t(pieces[0].size());
    for (std::size_t i = 1; i + 1 < pieces.size(); ++i) {
      sent += std::int64_t(pieces[i].size());
      current->open(i);
      EXPECT_TRUE(waitUntil([&] { return task->countOfBytesReceived() >= sent; }));
    }
    rootHeld.open();
    if (row.stopAtSecond == Stop::none) current->openAll();
    ASSERT_TRUE(waitUntil([&] {
      return std::all_of(ends.begin(), ends.end(), [](const auto& e) { return !e.empty(); });
    }));
    // Anything late would come on the main queue after the completions.
    waitUntil([] { return false; }, 0.05);
    for (int h = 0; h < row.handlers; ++h) {
      const auto& mine = seen[std::size_t(h)];
      ASSERT_EQ(ends[std::size_t(h)].size(), 1u);
      const auto& error = ends[std::size_t(h)].front().error;
      if (row.stopAtSecond == Stop::none) {
        EXPECT_EQ(mine, pieces);
        EXPECT_FALSE(error);
        continue;
      }
      // What was handed on before the stop may still arrive, never out of order.
      ASSERT_GE(mine.size(), 2u);
      EXPECT_TRUE(std::equal(mine.begin(), mine.end(), pieces.begin()));
      ASSERT_TRUE(error);
      if (row.stopAtSecond == Stop::cancel) {
        EXPECT_TRUE(error->isExplicitlyCancelled()) << error->localizedDescription();
      } else {
        EXPECT_NE(error->as<HalyardError::ResponseSerializationFailed>(), nullptr)
            << error->localizedDescription();
      }
    }
    EXPECT_EQ(request->streamMutableState().valueAtKeyPath(
                  &DataStreamRequest::StreamMutableState::numberOfExecutingStreams),
              0);
    current->openAll();
  }
}

}  // namespace
