// Web-socket requests against an in-process echo server (Boost.Beast): 100,000 echoed 64-byte
// texts, then 256 MiB in 1 MiB binary messages. A `WebSocketRequest` against a Beast client in
// the same run, one message in flight at a time for both; prints both times and the ratio. (The
// platform task alone is measured the same way by web_socket_bench.)

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "halyard/core/session.h"
#include "halyard/core/web_socket_request.h"
#include "support/beast_web_socket_peer.h"

namespace {

using halyard::WebSocketRequest;
using Message = WebSocketRequest::Message;

// The seconds `count` echoes of `size` bytes took through a web-socket request, or -1.
double requestRun(const std::shared_ptr<halyard::Session>& session, int port, std::size_t count,
                  std::size_t size, bool binary) {
  auto request = session->makeWebSocketRequestWithoutParameters(
      "ws://127.0.0.1:" + std::to_string(port) + "/");
  const Message message =
      binary ? Message(platform::Bytes(size, 'a')) : Message(std::string(size, 'a'));
  const auto queue = platform::DispatchQueue::serial("bench.echo");
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false, finished = false;
  std::size_t done = 0;
  std::atomic<bool> failed{false};
  // Each echo sends the next, from the handler queue.
  request->streamMessageEvents(
      queue, [&](const WebSocketRequest::Event<Message, WebSocketRequest::Never>& event) {
        std::lock_guard lock(mutex);
        if (std::holds_alternative<WebSocketRequest::Connected>(event.kind)) open = true;
        if (std::holds_alternative<WebSocketRequest::Completion>(event.kind)) finished = true;
        if (std::holds_alternative<WebSocketRequest::ReceivedMessage<Message>>(event.kind) &&
            ++done < count) {
          request->sendMessage(message, queue, [&](const WebSocketRequest::SendResult& result) {
            if (!result) failed = true;
          });
        }
        changed.notify_all();
      });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return open || finished; });
  }
  const auto start = std::chrono::steady_clock::now();
  request->sendMessage(message, queue, [&](const WebSocketRequest::SendResult& result) {
    if (!result) failed = true;
  });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return done == count || failed || finished; });
  }
  const auto end = std::chrono::steady_clock::now();
  request->close(WebSocketRequest::CloseCode::normalClosure);
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return finished; });
  }
  return failed || done != count ? -1 : std::chrono::duration<double>(end - start).count();
}

void row(const std::shared_ptr<halyard::Session>& session, const char* name, int port,
         std::size_t count, std::size_t size, bool binary) {
  const double beast = testing_support::beastEchoRun(port, count, size, binary);
  const double request = requestRun(session, port, count, size, binary);
  std::printf("%-36s Beast client %8.3f s   WebSocketRequest %8.3f s   ratio %.2f\n", name, beast,
              request, beast > 0 && request > 0 ? request / beast : 0.0);
}

}  // namespace

int main() {
  testing_support::BeastEchoServer server({});
  auto session = halyard::Session::initWithConfiguration();
  row(session, "100,000 echoed 64-byte texts", server.port(), 100000, 64, false);
  row(session, "256 MiB in 1 MiB binary messages", server.port(), 256, 1 << 20, true);
  return 0;
}
