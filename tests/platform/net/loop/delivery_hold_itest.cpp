// A delegate slower than the network holds a data task at the bound of undelivered bytes, and
// lets it go each time it catches up. The hold and its release race each other on every
// chunk: a hold taken while the delegate is lifting the last one must still be lifted, or the
// transfer sits paused until its resource time-out (days). Several transfers at once, bodies of
// many times the bound, a delegate on a thread of its own: each must arrive whole.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/dispatch/main_queue.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/net/support/test_server.h"
#include "platform/net/url_session.h"
#include "support/slow_data_delegate.h"

namespace {

using platform::URL;
using platform::URLSession;
using platform::URLSessionConfiguration;

constexpr std::size_t kBodySize = 24u << 20;  // six times the bound of undelivered bytes

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
  auto delegate = std::make_shared<testsupport::SlowDataDelegate>();
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
