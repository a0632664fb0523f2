// A delegate slower than the network holds a data task at the bound of undelivered bytes, and
// lets it go each time it catches up. The hold and its release race each other on every
// chunk: a hold taken while the delegate is lifting the last one must still be lifted, or the
// transfer sits paused until its resource time-out (days). Several transfers at once, bodies of
// many times the bound, a delegate on a thread of its own: each must arrive whole. The bound
// holds in memory too, when a body comes a byte at a time.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/main_queue.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/net/support/test_server.h"
#include "platform/net/url_session.h"
#include "support/peak_memory.h"
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

// Answers each connection with a chunked body of one-byte chunks, written from one prepared
// block that holds `kBlockPieces` of them, so the server keeps no copy of the body.
class OneByteChunkServer {
 public:
  static constexpr std::size_t kBlockPieces = 23 * 178;
  static std::uint8_t byteAt(std::size_t index) { return std::uint8_t('a' + index % 23); }

  explicit OneByteChunkServer(std::size_t blocks) : blocks_(blocks) {
    for (std::size_t i = 0; i < kBlockPieces; ++i)
      block_ += std::string("1\r\n") + char(byteAt(i)) + "\r\n";
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "no loopback listener";
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~OneByteChunkServer() {
    shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/bytes"; }
  std::size_t bodySize() const { return blocks_ * kBlockPieces; }

 private:
  static bool sendAll(int connection, std::string_view text) {
    while (!text.empty()) {
      const ssize_t put = send(connection, text.data(), text.size(), MSG_NOSIGNAL);
      if (put <= 0) return false;
      text.remove_prefix(std::size_t(put));
    }
    return true;
  }
  void serve() {
    while (true) {
      const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) return;
      std::string head;
      char buffer[4096];
      while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = read(connection, buffer, sizeof buffer);
        if (got <= 0) break;
        head.append(buffer, std::size_t(got));
      }
      bool ok = sendAll(connection,
                        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n"
                        "Connection: close\r\n\r\n");
      for (std::size_t i = 0; ok && i < blocks_; ++i)
        ok = sendAll(connection, block_);
      if (ok) sendAll(connection, "0\r\n\r\n");
      close(connection);
    }
  }

  std::size_t blocks_;
  std::string block_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// Checks every byte against the server's pattern, with a little work per call, as a delegate
// that looks at what it gets would do.
class CheckingDelegate : public platform::URLSessionDelegate {
 public:
  void didReceiveData(const SessionPtr&, const DataTaskPtr&, const platform::Bytes& data) override {
    ++calls_;
    for (std::uint8_t byte : data) {
      if (byte != OneByteChunkServer::byteAt(received_)) wrong_ = true;
      ++received_;
    }
    std::uint64_t sum = 0;
    for (int round = 0; round < 200; ++round)
      sum = sum * 31 + std::uint64_t(round) + data.size();
    sink_ += sum;
  }
  void didCompleteWithError(const SessionPtr&, const TaskPtr&, platform::ErrorPtr error) override {
    outcome_ = error ? error->debugDescription() : "ok";
    done_ = true;
  }
  bool done() const { return done_; }
  // The delegate queue is done with the task: safe to read from another thread.
  std::size_t received() const { return received_; }
  bool wrong() const { return wrong_; }
  std::size_t calls() const { return calls_; }
  const std::string& outcome() const { return outcome_; }

 private:
  std::size_t received_ = 0;
  std::size_t calls_ = 0;
  bool wrong_ = false;
  std::string outcome_;
  std::atomic<bool> done_{false};
  std::atomic<std::uint64_t> sink_{0};
};

TEST(DeliveryHoldTest, ABodyInOneByteChunksCostsAboutTheBoundInMemory) {
  // 20 MB: five times the bound in bytes. Counted by bytes alone, the bound let four million
  // one-byte deliveries wait at once, several hundred megabytes.
  OneByteChunkServer server((20u << 20) / OneByteChunkServer::kBlockPieces);
  constexpr std::int64_t kMemoryBound = 24 << 20;
  struct Row {
    const char* name;
    bool delegate;
  } rows[] = {
      {"a delegate that checks every byte", true},
      // Nobody takes the body, so none of it may count as waiting for the delegate.
      {"no delegate", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto delegate = row.delegate ? std::make_shared<CheckingDelegate>() : nullptr;
    auto queue = std::make_shared<platform::OperationQueue>(
        "test.checking-delegate", platform::DispatchQueue::serial("test.checking-delegate"));
    auto session = URLSession::make(URLSessionConfiguration::ephemeral(), delegate, queue);
    std::shared_ptr<platform::URLSessionDataTask> task;
    const std::int64_t peak = testsupport::peakBytesDuring([&] {
      task = session->dataTask(*URL::fromString(server.url()));
      task->resume();
      EXPECT_TRUE(platform::runMainUntil(
          [&] {
            return delegate ? delegate->done()
                            : task->state() == platform::URLSessionTask::State::completed;
          },
          240));
    });
    EXPECT_LT(peak, kMemoryBound);
    if (delegate) {
      EXPECT_EQ(delegate->outcome(), "ok");
      EXPECT_EQ(delegate->received(), server.bodySize());
      EXPECT_FALSE(delegate->wrong());
      // The pieces of a turn cross to the delegate together: one call per piece would be
      // twenty million.
      EXPECT_LT(delegate->calls(), server.bodySize() / 64);
    } else {
      EXPECT_EQ(task->error(), nullptr);
      EXPECT_EQ(task->countOfBytesReceived(), std::int64_t(server.bodySize()));
    }
    session->invalidateAndCancel();
  }
}

}  // namespace
