#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <optional>
#include <vector>

#include "platform/concurrency/async_stream.h"
#include "platform/concurrency/task.h"
#include "platform/concurrency/wait_for.h"
#include "platform/dispatch/main_queue.h"

namespace platform {
namespace {

using Stream = AsyncStream<int>;
using Policy = Stream::BufferingPolicy;
using Kind = Stream::YieldResult::Kind;
constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

Task<std::vector<int>> collect(Stream::Iterator it) {
  std::vector<int> out;
  while (auto e = co_await it.next())
    out.push_back(*e);
  co_return out;
}

// Starts `collect` on the main queue and lets it run until it waits for its first element.
Task<std::vector<int>> startWaitingConsumer(const Stream::Iterator& it) {
  std::optional<Task<std::vector<int>>> task;
  DispatchQueue::main()->async([&] { task.emplace(collect(it)); });
  drainMainQueue();
  return *task;
}

struct Expected {
  Kind kind;
  std::size_t remainingOrDropped;  // `remaining` when enqueued, the dropped element otherwise
};

TEST(AsyncStream, YieldResultsPerPolicyAndSize) {
  struct Row {
    const char* name;
    Policy policy;
    bool consumerWaiting;
    std::vector<Expected> results;  // for yielding 1, 2, 3
    std::vector<int> delivered;     // after finish
  };
  const auto E = Kind::enqueued;
  const auto D = Kind::dropped;
  const Row rows[] = {
      {"unbounded", Policy::unbounded(), false, {{E, kMax}, {E, kMax}, {E, kMax}}, {1, 2, 3}},
      {"oldest 0", Policy::bufferingOldest(0), false, {{D, 1}, {D, 2}, {D, 3}}, {}},
      {"oldest 1", Policy::bufferingOldest(1), false, {{E, 0}, {D, 2}, {D, 3}}, {1}},
      {"oldest 2", Policy::bufferingOldest(2), false, {{E, 1}, {E, 0}, {D, 3}}, {1, 2}},
      {"newest 0", Policy::bufferingNewest(0), false, {{D, 1}, {D, 2}, {D, 3}}, {}},
      {"newest 1", Policy::bufferingNewest(1), false, {{E, 0}, {D, 1}, {D, 2}}, {3}},
      {"newest 2", Policy::bufferingNewest(2), false, {{E, 1}, {E, 0}, {D, 1}}, {2, 3}},
      {"waiting, unbounded",
       Policy::unbounded(),
       true,
       {{E, kMax}, {E, kMax}, {E, kMax}},
       {1, 2, 3}},
      {"waiting, oldest 0", Policy::bufferingOldest(0), true, {{E, 0}, {D, 2}, {D, 3}}, {1}},
      {"waiting, oldest 1", Policy::bufferingOldest(1), true, {{E, 1}, {E, 0}, {D, 3}}, {1, 2}},
      {"waiting, oldest 2", Policy::bufferingOldest(2), true, {{E, 2}, {E, 1}, {E, 0}}, {1, 2, 3}},
      {"waiting, newest 0", Policy::bufferingNewest(0), true, {{E, 0}, {D, 2}, {D, 3}}, {1}},
      {"waiting, newest 1", Policy::bufferingNewest(1), true, {{E, 1}, {E, 0}, {D, 2}}, {1, 3}},
      {"waiting, newest 2", Policy::bufferingNewest(2), true, {{E, 2}, {E, 1}, {E, 0}}, {1, 2, 3}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::optional<Stream::Continuation> producer;
    Stream stream(row.policy, [&](Stream::Continuation c) { producer.emplace(c); });
    auto it = stream.makeAsyncIterator();
    std::optional<Task<std::vector<int>>> consumer;
    if (row.consumerWaiting) consumer.emplace(startWaitingConsumer(it));
    for (int i = 0; i < 3; ++i) {
      auto r = producer->yield(i + 1);
      ASSERT_EQ(r.kind(), row.results[i].kind) << "yield " << i + 1;
      if (r.kind() == Kind::enqueued) {
        EXPECT_EQ(r.remaining(), row.results[i].remainingOrDropped) << "yield " << i + 1;
      } else {
        ASSERT_TRUE(r.droppedElement().has_value());
        EXPECT_EQ(*r.droppedElement(), static_cast<int>(row.results[i].remainingOrDropped));
      }
    }
    producer->finish();
    EXPECT_EQ(producer->yield(9).kind(), Kind::terminated);
    if (!consumer) consumer.emplace(collect(it));
    EXPECT_EQ(waitFor(*consumer), row.delivered);
    // The sequence stays ended.
    EXPECT_EQ(waitFor(collect(it)), std::vector<int>{});
  }
}

TEST(AsyncStream, EndsForItsConsumerAndTellsTheProducer) {
  enum class How { cancelWhileWaiting, cancelBeforeNext, dropConsumer, finishWhileWaiting };
  struct Row {
    const char* name;
    How how;
  };
  const Row rows[] = {{"consumer task cancelled while waiting", How::cancelWhileWaiting},
                      {"consumer task cancelled before next", How::cancelBeforeNext},
                      {"stream and iterators released", How::dropConsumer},
                      {"producer finishes while waiting", How::finishWhileWaiting}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::optional<Stream::Continuation> producer;
    auto terminations = std::make_shared<std::atomic<int>>(0);
    std::optional<Stream> stream(std::in_place, [&](Stream::Continuation c) {
      c.onTermination([terminations] { terminations->fetch_add(1); });
      producer.emplace(c);
    });
    std::optional<Stream::Iterator> it(stream->makeAsyncIterator());
    std::optional<Task<std::vector<int>>> consumer;
    switch (row.how) {
      case How::cancelWhileWaiting:
        consumer.emplace(startWaitingConsumer(*it));
        consumer->cancel();
        break;
      case How::cancelBeforeNext:
        DispatchQueue::main()->async([&] {
          consumer.emplace(collect(*it));
          consumer->cancel();
        });
        drainMainQueue();
        break;
      case How::dropConsumer:
        stream.reset();
        EXPECT_EQ(terminations->load(), 0) << "an iterator still reads";
        it.reset();
        break;
      case How::finishWhileWaiting:
        consumer.emplace(startWaitingConsumer(*it));
        producer->finish();
        break;
    }
    if (consumer) {
      // Nothing, at once: no yield is needed to wake the consumer.
      EXPECT_EQ(waitFor(*consumer), std::vector<int>{});
    }
    EXPECT_EQ(terminations->load(), 1);
    EXPECT_EQ(producer->yield(1).kind(), Kind::terminated);
    producer->finish();
    EXPECT_EQ(terminations->load(), 1);
  }
}

TEST(AsyncStreamDeathTest, ConcurrentNextStopsTheProgram) {
  EXPECT_DEATH(
      {
        Stream stream([](Stream::Continuation) {});
        auto it = stream.makeAsyncIterator();
        auto first = startWaitingConsumer(it);
        auto second = startWaitingConsumer(it);
      },
      "next\\(\\) called while another next\\(\\) is waiting");
}

}  // namespace
}  // namespace platform
