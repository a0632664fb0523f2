// Web sockets against an in-process echo server (Boost.Beast): 100,000 echoed 64-byte texts,
// then 256 MiB in 1 MiB binary messages. The platform's web-socket task against a Beast client
// in the same run, one message in flight at a time for both; prints both times and the ratio.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/dispatch/operation_queue.h"
#include "platform/net/url_session.h"
#include "support/beast_web_socket_peer.h"

namespace {

using platform::URLSessionWebSocketTask;
using Message = URLSessionWebSocketTask::Message;

struct Opened : platform::URLSessionDelegate {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  void didOpenWithProtocol(const SessionPtr&, const WebSocketTaskPtr&,
                           std::optional<std::string>) override {
    std::lock_guard lock(mutex);
    open = true;
    changed.notify_all();
  }
};

// The seconds `count` echoes of `size` bytes took through the platform task, or -1.
double platformRun(int port, std::size_t count, std::size_t size, bool binary) {
  auto delegate = std::make_shared<Opened>();
  auto session =
      platform::URLSession::make(platform::URLSessionConfiguration::ephemeral(), delegate);
  auto task = session->webSocketTask(platform::URLRequest(
      *platform::URL::fromString("ws://127.0.0.1:" + std::to_string(port) + "/")));
  task->resume();
  {
    std::unique_lock lock(delegate->mutex);
    delegate->changed.wait(lock, [&] { return delegate->open; });
  }
  const Message message =
      binary ? Message(platform::Bytes(size, 'a')) : Message(std::string(size, 'a'));
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t done = 0;
  std::atomic<bool> failed{false};
  // Each echo asks for the next from the delegate queue.
  std::function<void()> next = [&] {
    task->send(message, [&](platform::ErrorPtr error) {
      if (error) failed = true;
    });
    task->receive([&](std::expected<Message, platform::ErrorPtr> result) {
      std::lock_guard lock(mutex);
      if (!result) failed = true;
      if (++done < count && !failed) {
        next();
      } else {
        changed.notify_all();
      }
    });
  };
  const auto start = std::chrono::steady_clock::now();
  next();
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return done == count || failed; });
  }
  const auto end = std::chrono::steady_clock::now();
  task->cancel(platform::URLSessionWebSocketCloseCode::normalClosure, std::nullopt);
  return failed ? -1 : std::chrono::duration<double>(end - start).count();
}

void row(const char* name, int port, std::size_t count, std::size_t size, bool binary) {
  const double beast = testing_support::beastEchoRun(port, count, size, binary);
  const double task = platformRun(port, count, size, binary);
  std::printf("%-36s Beast client %8.3f s   platform task %8.3f s   ratio %.2f\n", name, beast,
              task, beast > 0 && task > 0 ? task / beast : 0.0);
}

}  // namespace

int main() {
  testing_support::BeastEchoServer server({});
  row("100,000 echoed 64-byte texts", server.port(), 100000, 64, false);
  row("256 MiB in 1 MiB binary messages", server.port(), 256, 1 << 20, true);
  return 0;
}
