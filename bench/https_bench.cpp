// HTTPS requests, each on a new connection, against a local server of a run-time test PKI.
//
// 1. 1,000 GETs at concurrency 1 and 16 with default evaluation: Halyard (whose every handshake
//    goes to the session delegate and back) against raw libcurl verifying with the same
//    anchors, in the same run. Prints both times and the ratio.
// 2. Plain-HTTP GETs through one URL session at concurrency 16, alone and while 16 HTTPS
//    handshakes at a time wait 50 ms each for their challenge's answer: requests per second of
//    the plain transfers in both cases, so a handshake that waits is seen not to hold the
//    session's other transfers.

#define TESTPKI_NO_GTEST

#include <curl/curl.h>
#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <string>
#include <thread>

#include "halyard/core/data_request.h"
#include "halyard/core/session.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/main_queue.h"
#include "platform/net/url_session.h"
#include "support/https_test_server.h"
#include "support/test_pki.h"

namespace {

using Clock = std::chrono::steady_clock;
const int kRequests =
    std::getenv("HTTPS_BENCH_REQUESTS") ? std::atoi(std::getenv("HTTPS_BENCH_REQUESTS")) : 1000;

double seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t discard(char*, size_t size, size_t count, void*) {
  return size * count;
}

double rawCurl(const std::string& url, const std::string& anchors, int concurrency) {
  CURLM* multi = curl_multi_init();
  int started = 0, finished = 0;
  auto add = [&] {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_CAINFO, anchors.c_str());
    curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
    curl_multi_add_handle(multi, easy);
    ++started;
  };
  const auto start = Clock::now();
  for (int i = 0; i < concurrency && started < kRequests; ++i)
    add();
  while (finished < kRequests) {
    int running = 0;
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      if (message->data.result != CURLE_OK) {
        fmt::print(stderr, "raw libcurl failed: {}\n", curl_easy_strerror(message->data.result));
        std::exit(1);
      }
      curl_multi_remove_handle(multi, message->easy_handle);
      curl_easy_cleanup(message->easy_handle);
      ++finished;
      if (started < kRequests) add();
    }
    curl_multi_poll(multi, nullptr, 0, 100, nullptr);
  }
  curl_multi_cleanup(multi);
  return seconds(start);
}

double halyardGets(const std::string& url, int concurrency) {
  auto session =
      halyard::Session::initWithConfiguration(platform::URLSessionConfiguration::ephemeral());
  int started = 0, finished = 0, failed = 0;
  std::function<void()> next = [&] {
    ++started;
    session->makeDataRequest(url)->responseAsData([&](const auto& response) {
      ++finished;
      if (!response.result) ++failed;
      if (started < kRequests) next();
    });
  };
  const auto start = Clock::now();
  for (int i = 0; i < concurrency; ++i)
    next();
  platform::runMainUntil([&] { return finished == kRequests; }, 600);
  const double elapsed = seconds(start);
  if (failed > 0 || finished != kRequests) {
    fmt::print(stderr, "Halyard: {} of {} failed or missing\n", failed + kRequests - finished,
               kRequests);
    std::exit(1);
  }
  return elapsed;
}

// Answers server-trust challenges with default handling 50 ms later, from another thread.
class SlowDelegate : public platform::URLSessionDelegate {
 public:
  std::atomic<int> completed{0};
  void didReceiveChallenge(const SessionPtr&, const TaskPtr&, const ChallengePtr&,
                           ChallengeHandler handler) override {
    platform::DispatchQueue::global()->asyncAfter(0.05, [handler] {
      handler(AuthChallengeDisposition::performDefaultHandling, std::nullopt);
    });
  }
  void didCompleteWithError(const SessionPtr&, const TaskPtr&, platform::ErrorPtr) override {
    ++completed;
  }
};

// Requests per second of `count` plain GETs at concurrency 16, with `secureLoad` HTTPS
// requests kept outstanding in the same session meanwhile.
double plainThroughput(const std::string& plainURL, const std::string& secureURL, int count,
                       bool secureLoad) {
  auto delegate = std::make_shared<SlowDelegate>();
  auto session =
      platform::URLSession::make(platform::URLSessionConfiguration::ephemeral(), delegate);
  std::atomic<bool> stop{false};
  std::thread load;
  if (secureLoad) {
    load = std::thread([&] {
      std::deque<std::shared_ptr<platform::URLSessionTask>> tasks;
      while (!stop) {
        while (tasks.size() < 16) {
          tasks.push_back(session->dataTask(*platform::URL::fromString(secureURL)));
          tasks.back()->resume();
        }
        std::erase_if(tasks, [](const auto& t) {
          return t->state() == platform::URLSessionTask::State::completed;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  // Let the secure load fill up before measuring.
  if (secureLoad) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::vector<std::shared_ptr<platform::URLSessionTask>> plain;
  const auto start = Clock::now();
  int done = 0;
  std::size_t nextIndex = 0;
  while (done < count) {
    std::erase_if(plain, [&](const auto& t) {
      const bool finished = t->state() == platform::URLSessionTask::State::completed;
      done += finished ? 1 : 0;
      return finished;
    });
    while (plain.size() < 16 && nextIndex < static_cast<std::size_t>(count)) {
      plain.push_back(session->dataTask(*platform::URL::fromString(plainURL)));
      plain.back()->resume();
      ++nextIndex;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const double rate = count / seconds(start);
  stop = true;
  if (load.joinable()) load.join();
  session->invalidateAndCancel();
  return rate;
}

}  // namespace

int main() {
  auto& pki = testpki::PKI::shared();
  testpki::useTestAnchorsOnly();
  const std::string anchors = (pki.folder / "anchors.pem").string();
  testsupport::HttpsTestServer server(pki.leaf,
                                      {.chain = &pki.intermediate, .onePerConnection = true});
  server.server().Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("ok", "text/plain");
  });
  const std::string url = server.start() + "/";
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  fmt::print("HTTPS GETs on new connections, default evaluation, {} requests\n", kRequests);
  for (int concurrency : {1, 16}) {
    const double raw = rawCurl(url, anchors, concurrency);
    const double halyard = halyardGets(url, concurrency);
    fmt::print("  concurrency {:2}: raw libcurl {:.3f} s, Halyard {:.3f} s, ratio {:.2f}\n",
               concurrency, raw, halyard, halyard / raw);
  }

  httplib::Server plainServer;
  plainServer.Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("ok", "text/plain");
  });
  const int plainPort = plainServer.bind_to_any_port("127.0.0.1");
  std::thread plainThread([&] { plainServer.listen_after_bind(); });
  while (!plainServer.is_running())
    std::this_thread::yield();
  const std::string plainURL = "http://127.0.0.1:" + std::to_string(plainPort) + "/";
  const double alone = plainThroughput(plainURL, url, 300, false);
  const double loaded = plainThroughput(plainURL, url, 300, true);
  fmt::print(
      "Plain GETs at concurrency 16: {:.0f} req/s alone, {:.0f} req/s while 16 handshakes wait "
      "50 ms each for their answer ({:.2f} of alone)\n",
      alone, loaded, loaded / alone);
  plainServer.stop();
  plainThread.join();
  return 0;
}
