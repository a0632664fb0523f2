// A delegate slower than the network holds a data task at the bound of undelivered bytes, and
// lets it go each time it catches up. The hold and its release race each other on every
// chunk: a hold taken while the delegate is lifting the last one must still be lifted, or the
// transfer sits paused until its resource time-out (days). Several transfers at once, bodies of
// many times the bound, a delegate on a thread of its own: each must arrive whole.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/main_queue.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/net/support/test_server.h"
#include "platform/net/url_session.h"

namespace {

using platform::URL;
using platform::URLSession;
using platform::URLSessionConfiguration;

constexpr std::size_t kBodySize = 24u << 20;  // six times the bound of undelivered bytes

// Sums each chunk a few times over before it returns: slower than loopback, never asleep.
class SlowDelegate : public platform::URLSessionDelegate {
 public:
  void didReceiveData(const SessionPtr&, const DataTaskPtr& task,
                      const platform::Bytes& data) override {
    std::uint64_t sum = 0;
    for (int pass = 0; pass < 6; ++pass) {
      for (std::uint8_t byte : data)
        sum = sum * 31 + byte;
    }
    sink_ += sum;
    std::lock_guard lock(mutex_);
    received_[task->taskIdentifier()] += data.size();
  }
  void didCompleteWithError(const SessionPtr&, const TaskPtr& task,
                            platform::ErrorPtr error) override {
    std::lock_guard lock(mutex_);
    completed_[task->taskIdentifier()] = error ? error->debugDescription() : "ok";
  }
  std::size_t completed() const {
    std::lock_guard lock(mutex_);
    return completed_.size();
  }
  std::string outcome(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    auto it = completed_.find(id);
    return it == completed_.end() ? "running" : it->second;
  }
  std::size_t received(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    auto it = received_.find(id);
    return it == received_.end() ? 0 : it->second;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::uint64_t, std::size_t> received_;
  std::map<std::uint64_t, std::string> completed_;
  std::atomic<std::uint64_t> sink_{0};
};

TEST(DeliveryHoldTest, ASlowDelegateAtTheBoundGetsEveryBodyWhole) {
  nettest::TestServer server;
  server.server().Get("/large", [](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(
        kBodySize, "application/octet-stream",
        [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          std::vector<char> block(std::min<std::size_t>(length, 256 * 1024),
                                  static_cast<char>(offset & 0xFF));
          return sink.write(block.data(), block.size());
        });
  });
  const std::string base = server.start();
  auto delegate = std::make_shared<SlowDelegate>();
  auto queue = std::make_shared<platform::OperationQueue>(
      "test.slow-delegate", platform::DispatchQueue::serial("test.slow-delegate"));
  auto session = URLSession::make(URLSessionConfiguration::ephemeral(), delegate, queue);
  std::vector<std::shared_ptr<platform::URLSessionDataTask>> tasks;
  for (int i = 0; i < 4; ++i) {
    tasks.push_back(session->dataTask(*URL::fromString(base + "/large?n=" + std::to_string(i))));
    tasks.back()->resume();
  }
  EXPECT_TRUE(platform::runMainUntil([&] { return delegate->completed() == tasks.size(); }, 240));
  for (const auto& task : tasks) {
    SCOPED_TRACE(task->taskIdentifier());
    EXPECT_EQ(delegate->outcome(task->taskIdentifier()), "ok");
    EXPECT_EQ(delegate->received(task->taskIdentifier()), kBodySize);
  }
  session->invalidateAndCancel();
}

}  // namespace
