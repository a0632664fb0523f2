#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/main_queue.h"
#include "platform/reactive/publisher.h"
#include "support/recorder.h"

namespace platform {
namespace {

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

TEST(Demand, SaturatingArithmetic) {
  struct Row {
    const char* name;
    Demand result;
    Demand expected;
  };
  const Row rows[] = {
      {"max + max", Demand::max(2) + Demand::max(3), Demand::max(5)},
      {"overflow saturates", Demand::max(kMax) + Demand::max(1), Demand::unlimited()},
      {"unlimited absorbs a sum", Demand::unlimited() + Demand::max(1), Demand::unlimited()},
      {"none is neutral", Demand::none() + Demand::max(4), Demand::max(4)},
      {"difference", Demand::max(5) - Demand::max(2), Demand::max(3)},
      {"difference floors at none", Demand::max(1) - Demand::max(2), Demand::none()},
      {"unlimited minus a count", Demand::unlimited() - Demand::max(9), Demand::unlimited()},
      {"a count minus unlimited", Demand::max(9) - Demand::unlimited(), Demand::none()},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_TRUE(row.result == row.expected);
  }
  EXPECT_TRUE(Demand::none().isNone());
  EXPECT_FALSE(Demand::unlimited().maxCount().has_value());
  EXPECT_EQ(*Demand::max(7).maxCount(), 7u);
}

// Emits 1..count as demand allows, recording each request.
class Range {
 public:
  using Output = int;
  using Failure = Never;
  using Log = testsupport::Recorder<Demand>;
  Range(int count, std::shared_ptr<Log> log) : count_(count), log_(std::move(log)) {}

  void receive(SubscriberPtr<int, Never> s) const {
    auto sub = std::make_shared<Sub>(count_, log_, s);
    s->receive(SubscriptionPtr(sub));
  }

 private:
  class Sub : public Subscription {
   public:
    Sub(int n, std::shared_ptr<Log> log, SubscriberPtr<int, Never> s)
        : n_(n), log_(std::move(log)), s_(std::move(s)) {}
    void request(Demand d) override {
      log_->add(d);
      demand_ += d;
      if (emitting_) return;  // a request from inside receive: the loop below picks it up
      emitting_ = true;
      while (s_ && next_ <= n_ && !demand_.isNone()) {
        demand_ -= Demand::max(1);
        auto s = s_;
        Demand more = s->receive(next_++);
        if (!more.isNone()) log_->add(more);
        demand_ += more;
      }
      if (s_ && next_ > n_) std::exchange(s_, nullptr)->receive(Completion<Never>::finished());
      emitting_ = false;
    }
    void cancel() override { s_.reset(); }

   private:
    int n_;
    int next_ = 1;
    std::shared_ptr<Log> log_;
    SubscriberPtr<int, Never> s_;
    Demand demand_ = Demand::none();
    bool emitting_ = false;
  };
  int count_;
  std::shared_ptr<Log> log_;
};

using Pipeline = std::function<AnyPublisher<int, Never>(AnyPublisher<int, Never>)>;

struct PipelineRow {
  const char* name;
  Pipeline make;
};

std::vector<PipelineRow> pipelines() {
  return {
      {"plain", [](AnyPublisher<int, Never> p) { return p; }},
      {"map", [](AnyPublisher<int, Never> p) { return p.map([](int v) { return v * 10; }); }},
      {"compactMap",
       [](AnyPublisher<int, Never> p) {
         return p.compactMap([](int v) { return std::optional<int>(v * 10); });
       }},
      {"flatMap",
       [](AnyPublisher<int, Never> p) {
         return p.flatMap(Demand::unlimited(), [](int v) {
           return ResultPublisher<int, Never>(std::expected<int, Never>(v * 10));
         });
       }},
  };
}

int scaleFor(const std::string& name) {
  return name == "plain" ? 1 : 10;
}

TEST(Publisher, OneElementPerDemandOfOne) {
  for (const auto& row : pipelines()) {
    SCOPED_TRACE(row.name);
    auto log = std::make_shared<Range::Log>();
    auto pub = row.make(eraseToAnyPublisher(Range(3, log)));
    SubscriptionPtr subscription;
    std::vector<int> got;
    bool finished = false;
    auto sub = std::make_shared<AnySubscriber<int, Never>>(
        [&](SubscriptionPtr s) { subscription = s; },
        [&](int v) {
          got.push_back(v);
          return Demand::none();
        },
        [&](Completion<Never> c) { finished = c.isFinished(); });
    pub.receive(sub);
    ASSERT_TRUE(subscription);
    EXPECT_TRUE(got.empty()) << "nothing before demand";
    const int k = scaleFor(row.name);
    for (int step = 1; step <= 3; ++step) {
      subscription->request(Demand::max(1));
      ASSERT_EQ(got.size(), static_cast<std::size_t>(step));
      EXPECT_EQ(got.back(), step * k);
    }
    subscription->request(Demand::max(1));
    EXPECT_TRUE(finished);
    EXPECT_EQ(got.size(), 3u);
  }
}

// A publisher the test feeds by hand, from whichever thread it likes.
class Manual {
 public:
  using Output = int;
  using Failure = std::string;
  void receive(SubscriberPtr<int, std::string> s) const {
    std::lock_guard lock(state_->mutex);
    state_->subscriber = s;
    s->receive(SubscriptionPtr(std::make_shared<Nothing>()));
  }
  void send(int v) const { subscriber()->receive(v); }
  void complete(Completion<std::string> c) const { subscriber()->receive(std::move(c)); }

 private:
  class Nothing : public Subscription {
    void request(Demand) override {}
    void cancel() override {}
  };
  SubscriberPtr<int, std::string> subscriber() const {
    std::lock_guard lock(state_->mutex);
    return state_->subscriber;
  }
  struct State {
    std::mutex mutex;
    SubscriberPtr<int, std::string> subscriber;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

using StringPipeline =
    std::function<AnyPublisher<int, std::string>(AnyPublisher<int, std::string>)>;

std::vector<std::pair<const char*, StringPipeline>> stringPipelines() {
  return {
      {"sink", [](AnyPublisher<int, std::string> p) { return p; }},
      {"map", [](AnyPublisher<int, std::string> p) { return p.map([](int v) { return v; }); }},
      {"compactMap",
       [](AnyPublisher<int, std::string> p) {
         return p.compactMap([](int v) { return std::optional<int>(v); });
       }},
      {"flatMap",
       [](AnyPublisher<int, std::string> p) {
         return p.flatMap(Demand::unlimited(), [](int v) {
           return ResultPublisher<int, std::string>(std::expected<int, std::string>(v));
         });
       }},
  };
}

TEST(Publisher, SinkCancelledFromInsideReceiveGetsNothingMore) {
  for (const auto& [name, make] : stringPipelines()) {
    SCOPED_TRACE(name);
    Manual source;
    Cancellable handle;
    std::vector<int> got;
    int completions = 0;
    handle = make(eraseToAnyPublisher(source))
                 .sink([&](Completion<std::string>) { ++completions; },
                       [&](int v) {
                         got.push_back(v);
                         if (got.size() == 2) handle.cancel();
                       });
    for (int v = 1; v <= 4; ++v)
      source.send(v);
    source.complete(Completion<std::string>::finished());
    EXPECT_EQ(got, (std::vector<int>{1, 2}));
    EXPECT_EQ(completions, 0);
  }
}

TEST(Publisher, NothingReachesACancelledSinksClosures) {
  struct Owner {
    std::vector<int> values;
    int completions = 0;
  };
  for (const auto& [name, make] : stringPipelines()) {
    SCOPED_TRACE(name);
    Manual source;
    auto* owner = new Owner;
    auto handle = make(eraseToAnyPublisher(source))
                      .sink([owner](Completion<std::string>) { ++owner->completions; },
                            [owner](int v) { owner->values.push_back(v); });
    source.send(1);
    ASSERT_EQ(owner->values, std::vector<int>{1});
    handle.cancel();
    delete owner;  // a later call into the closures would touch freed memory
    std::thread late([&] {
      source.send(2);
      source.complete(Completion<std::string>::failure("late"));
    });
    late.join();
  }
}

constexpr int kEachInner = 500;

// Each inner publisher sends from a thread of its own.
struct Threaded {
  using Output = int;
  using Failure = Never;
  int base;
  std::shared_ptr<std::vector<std::thread>> threads;
  std::shared_ptr<std::mutex> threadsMutex;
  void receive(SubscriberPtr<int, Never> s) const {
    class Nothing : public Subscription {
      void request(Demand) override {}
      void cancel() override {}
    };
    s->receive(SubscriptionPtr(std::make_shared<Nothing>()));
    std::lock_guard lock(*threadsMutex);
    threads->emplace_back([s, b = base] {
      for (int i = 0; i < kEachInner; ++i)
        s->receive(b + i);
      s->receive(Completion<Never>::finished());
    });
  }
};

TEST(Publisher, FlatMapSerializesInnerPublishersOnFourThreads) {
  constexpr int kInner = 4;
  auto threads = std::make_shared<std::vector<std::thread>>();
  auto threadsMutex = std::make_shared<std::mutex>();
  auto log = std::make_shared<Range::Log>();
  std::atomic<int> inFlight{0};
  std::atomic<bool> overlapped{false};
  std::atomic<int> received{0};
  std::atomic<int> finished{0};
  auto handle = eraseToAnyPublisher(Range(kInner, log))
                    .flatMap(Demand::unlimited(),
                             [&](int i) {
                               return Threaded{i * 1000, threads, threadsMutex};
                             })
                    .sink([&](Completion<Never>) { finished.fetch_add(1); },
                          [&](int) {
                            if (inFlight.fetch_add(1) != 0) overlapped.store(true);
                            received.fetch_add(1);
                            inFlight.fetch_sub(1);
                          });
  {
    std::lock_guard lock(*threadsMutex);
    ASSERT_EQ(threads->size(), static_cast<std::size_t>(kInner));
  }
  for (auto& t : *threads)
    t.join();
  EXPECT_FALSE(overlapped.load());
  EXPECT_EQ(received.load(), kInner * kEachInner);
  EXPECT_EQ(finished.load(), 1);
}

TEST(Publisher, CompactMapAsksOneMorePerDroppedElement) {
  auto log = std::make_shared<Range::Log>();
  SubscriptionPtr subscription;
  std::vector<int> got;
  auto sub =
      std::make_shared<AnySubscriber<int, Never>>([&](SubscriptionPtr s) { subscription = s; },
                                                  [&](int v) {
                                                    got.push_back(v);
                                                    return Demand::none();
                                                  },
                                                  nullptr);
  eraseToAnyPublisher(Range(10, log))
      .compactMap([](int v) { return v % 2 == 0 ? std::optional<int>(v) : std::nullopt; })
      .receive(sub);
  subscription->request(Demand::max(2));
  EXPECT_EQ(got, (std::vector<int>{2, 4}));
  // Only the first request came from downstream; the odd elements 1 and 3 were replaced.
  const auto requests = log->entries();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_TRUE(requests[0] == Demand::max(2));
  EXPECT_TRUE(requests[1] == Demand::max(1));
  EXPECT_TRUE(requests[2] == Demand::max(1));
  subscription->cancel();
}

TEST(Publisher, OneShotResult) {
  struct Row {
    const char* name;
    std::expected<int, std::string> result;
    Demand demand;
    bool cancelFirst;
    std::vector<int> values;
    std::string completion;  // "", "finished" or the failure
  };
  const Row rows[] = {
      {"value with demand", 5, Demand::max(1), false, {5}, "finished"},
      {"value without demand", 5, Demand::none(), false, {}, ""},
      {"failure needs no demand", std::unexpected("bad"), Demand::none(), false, {}, "bad"},
      {"cancelled before demand", 5, Demand::max(1), true, {}, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    SubscriptionPtr subscription;
    std::vector<int> values;
    std::string completion;
    int completions = 0;
    auto sub = std::make_shared<AnySubscriber<int, std::string>>(
        [&](SubscriptionPtr s) { subscription = s; },
        [&](int v) {
          values.push_back(v);
          return Demand::none();
        },
        [&](Completion<std::string> c) {
          ++completions;
          completion = c.isFinished() ? "finished" : c.error();
        });
    ResultPublisher<int, std::string>(row.result).receive(sub);
    if (row.cancelFirst) subscription->cancel();
    subscription->request(row.demand);
    subscription->request(row.demand);  // a second request sends nothing more
    EXPECT_EQ(values, row.values);
    EXPECT_EQ(completion, row.completion);
    EXPECT_LE(completions, 1);
  }
}

TEST(Publisher, FailingInnerPublisherCancelsUpstreamAndFailsDownstream) {
  auto log = std::make_shared<Range::Log>();
  std::vector<int> values;
  std::vector<std::string> failures;
  auto handle = eraseToAnyPublisher(Range(5, log))
                    .setFailureType<std::string>()
                    .flatMap(Demand::unlimited(),
                             [](int v) {
                               auto r = v == 2 ? std::expected<int, std::string>(
                                                     std::unexpected("inner " + std::to_string(v)))
                                               : std::expected<int, std::string>(v);
                               return ResultPublisher<int, std::string>(r);
                             })
                    .sink(
                        [&](Completion<std::string> c) {
                          failures.push_back(c.isFinished() ? "finished" : c.error());
                        },
                        [&](int v) { values.push_back(v); });
  EXPECT_EQ(values, std::vector<int>{1});
  EXPECT_EQ(failures, std::vector<std::string>{"inner 2"});
}

}  // namespace
}  // namespace platform
