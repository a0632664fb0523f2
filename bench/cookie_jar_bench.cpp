// What a jar that a server fills with 50 new cookies per response costs each later request of
// that host: the jar's size and the time of a request after 300 such responses, with the
// jar's bounds and, as the baseline, with the bounds lifted (the jar as libcurl alone keeps it).

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <mutex>
#include <thread>

#include "platform/net/http_cookie_storage.h"
#include "platform/net/url_session.h"

namespace {

class Waiter : public platform::URLSessionDelegate {
 public:
  void didCompleteWithError(const SessionPtr&, const TaskPtr&, platform::ErrorPtr) override {
    std::lock_guard lock(mutex_);
    ++done_;
    cv_.notify_all();
  }
  void waitFor(int count) {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return done_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int done_ = 0;
};

// Responses that fill the jar before the timed requests. libcurl alone compares each new cookie
// with every one it holds, so the baseline's filling grows with the square of this (1,000 took
// over 20 minutes of CPU).
constexpr int kFilling = 300;

struct Figures {
  std::size_t jar = 0;
  double secondsPerRequest = 0;
};

Figures run(const std::string& url, std::size_t perDomain, std::size_t total) {
  auto configuration = platform::URLSessionConfiguration::ephemeral();
  configuration.httpCookieStorage = std::make_shared<platform::HTTPCookieStorage>(perDomain, total);
  auto waiter = std::make_shared<Waiter>();
  auto session = platform::URLSession::make(configuration, waiter);
  constexpr int kTimed = 50;
  int issued = 0;
  auto one = [&] {
    session->dataTask(*platform::URL::fromString(url))->resume();
    waiter->waitFor(++issued);
  };
  for (int i = 0; i < kFilling; ++i)
    one();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kTimed; ++i)
    one();
  const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
  Figures figures{configuration.httpCookieStorage->allCookies().size(), spent.count() / kTimed};
  session->invalidateAndCancel();
  return figures;
}

}  // namespace

int main() {
  httplib::Server server;
  std::atomic<long> next{0};
  server.Get("/", [&](const httplib::Request&, httplib::Response& response) {
    const long first = next.fetch_add(50);
    for (long i = first; i < first + 50; ++i)
      response.set_header("Set-Cookie", "c" + std::to_string(i) + "=v");
    response.set_content("ok", "text/plain");
  });
  server.Get("/plain", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content("ok", "text/plain");
  });
  // Each response is written in pieces: without this, the last waits for the client's delayed
  // acknowledgement (tens of milliseconds), which would be all the bench measured.
  server.set_tcp_nodelay(true);
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";

  const Figures plain = run(url + "plain", 1, 1);
  constexpr auto kUnbounded = std::numeric_limits<std::size_t>::max();
  const Figures lifted = run(url, kUnbounded, kUnbounded);
  const Figures bounded = run(url, platform::HTTPCookieStorage::kMaximumCookiesPerDomain,
                              platform::HTTPCookieStorage::kMaximumCookies);
  std::printf("after %d responses of 50 new cookies each\n", kFilling);
  std::printf("  no cookies:    %.2f ms a request\n", plain.secondsPerRequest * 1e3);
  std::printf("  bounds lifted: %zu cookies, %.2f ms a request\n", lifted.jar,
              lifted.secondsPerRequest * 1e3);
  std::printf("  with bounds:   %zu cookies, %.2f ms a request (%.3f x)\n", bounded.jar,
              bounded.secondsPerRequest * 1e3,
              bounded.secondsPerRequest / lifted.secondsPerRequest);
  server.stop();
  serving.join();
}
