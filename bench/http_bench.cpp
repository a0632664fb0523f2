// 10,000 small GETs against a local server, at concurrency 1 and 64: Halyard against raw
// libcurl multi, in the same run. Prints both times, the ratio and the peak memory.
//
// The server is a small single-threaded epoll loop with keep-alive, so that neither client
// waits on the server's threading.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "halyard/core/data_request.h"
#include "halyard/core/session.h"
#include "halyard/encoding/http_header_views.h"
#include "platform/dispatch/main_queue.h"

namespace {

constexpr int kRequests = 10000;
const std::string kBody = R"({"name":"Tovarine","releaseVersion":"1.2.0","buildVersion":42})";

// ---- A keep-alive HTTP/1.1 server on 127.0.0.1 ------------------------------------------------

class LoopbackServer {
 public:
  LoopbackServer() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int yes = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 1024) != 0) {
      std::perror("server");
      std::exit(1);
    }
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    response_ = fmt::format(
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: {}\r\n\r\n{}",
        kBody.size(), kBody);
    epoll_ = epoll_create1(0);
    stop_ = eventfd(0, EFD_NONBLOCK);
    add(listener_);
    add(stop_);
    thread_ = std::thread([this] { run(); });
  }

  ~LoopbackServer() {
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = write(stop_, &one, sizeof one);
    thread_.join();
    for (auto& [fd, connection] : connections_)
      close(fd);
    close(listener_);
    close(stop_);
    close(epoll_);
  }

  std::string url() const { return fmt::format("http://127.0.0.1:{}/release", port_); }

 private:
  struct Connection {
    std::string input;
    std::string output;
  };

  void add(int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
  }

  void run() {
    epoll_event events[64];
    char buffer[16384];
    while (true) {
      const int count = epoll_wait(epoll_, events, 64, -1);
      for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == stop_) return;
        if (fd == listener_) {
          while (true) {
            const int client = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK);
            if (client < 0) break;
            connections_[client];
            add(client);
          }
          continue;
        }
        auto& connection = connections_[fd];
        bool closed = false;
        while (true) {
          const ssize_t n = read(fd, buffer, sizeof buffer);
          if (n > 0) {
            connection.input.append(buffer, std::size_t(n));
            continue;
          }
          closed = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
          break;
        }
        // Every complete request head gets the fixed answer (the requests carry no body).
        std::size_t end;
        while ((end = connection.input.find("\r\n\r\n")) != std::string::npos) {
          connection.input.erase(0, end + 4);
          connection.output += response_;
        }
        while (!connection.output.empty()) {
          const ssize_t n = write(fd, connection.output.data(), connection.output.size());
          if (n <= 0) break;  // the loopback buffers are large; a short write just waits
          connection.output.erase(0, std::size_t(n));
        }
        if (closed) {
          close(fd);
          connections_.erase(fd);
        }
      }
    }
  }

  int listener_ = -1;
  int epoll_ = -1;
  int stop_ = -1;
  int port_ = 0;
  std::string response_;
  std::unordered_map<int, Connection> connections_;
  std::thread thread_;
};

LoopbackServer& server() {
  static LoopbackServer instance;
  return instance;
}

// ---- Raw libcurl multi ------------------------------------------------------------------------

std::size_t discard(char*, std::size_t size, std::size_t count, void* received) {
  *static_cast<std::size_t*>(received) += size * count;
  return size * count;
}

void rawCurl(int concurrency) {
  CURLM* multi = curl_multi_init();
  curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, long(concurrency));
  const std::string url = server().url();
  std::vector<std::size_t> received(std::size_t(concurrency), 0);
  auto start = [&](CURL* easy) {
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
    curl_multi_add_handle(multi, easy);
  };
  std::vector<CURL*> handles;
  int issued = 0;
  for (int i = 0; i < concurrency && issued < kRequests; ++i, ++issued) {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &received[std::size_t(i)]);
    handles.push_back(easy);
    start(easy);
  }
  int done = 0;
  while (done < kRequests) {
    int running = 0;
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      long status = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
      if (message->data.result != CURLE_OK || status != 200) {
        std::fprintf(stderr, "raw curl request failed\n");
        std::exit(1);
      }
      curl_multi_remove_handle(multi, easy);
      ++done;
      if (issued < kRequests) {
        ++issued;
        start(easy);
      }
    }
    if (done < kRequests) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  for (CURL* easy : handles)
    curl_easy_cleanup(easy);
  curl_multi_cleanup(multi);
}

// ---- Halyard ----------------------------------------------------------------------------------

void halyardGets(int concurrency) {
  auto configuration = halyard::makeDefaultConfigurationWithHeaders();
  configuration.httpMaximumConnectionsPerHost = concurrency;
  auto session = halyard::Session::initWithConfiguration(configuration);
  const std::string url = server().url();
  int issued = 0;
  int done = 0;
  bool failed = false;
  // Completions arrive on the main queue, which this thread drains; the next request starts
  // from there, so `concurrency` requests stay in flight.
  std::function<void()> issue = [&] {
    ++issued;
    session->makeDataRequest(url)->responseAsData(
        [&](const halyard::DataResponse<platform::Bytes>& response) {
          if (!response.result) failed = true;
          ++done;
          if (issued < kRequests) issue();
        });
  };
  for (int i = 0; i < concurrency && issued < kRequests; ++i)
    issue();
  if (!platform::runMainUntil([&] { return done == kRequests || failed; }, 600) || failed) {
    std::fprintf(stderr, "halyard requests failed\n");
    std::exit(1);
  }
}

// ---- Runs and report --------------------------------------------------------------------------

struct Measurement {
  double seconds = 0;
  long peakKilobytes = 0;
};
std::map<std::string, Measurement> measurements;

long peakKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

template <class F>
void measure(benchmark::State& state, const char* client, F&& body) {
  const int concurrency = int(state.range(0));
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    body(concurrency);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    measurements[fmt::format("{}/{}", client, concurrency)] = {seconds, peakKilobytes()};
  }
  state.counters["requests/s"] = benchmark::Counter(kRequests, benchmark::Counter::kIsRate);
}

void BM_RawCurlMulti(benchmark::State& state) {
  measure(state, "curl", rawCurl);
}
void BM_Halyard(benchmark::State& state) {
  measure(state, "halyard", halyardGets);
}

// Raw libcurl first, so the peak memory after its runs is its own.
BENCHMARK(BM_RawCurlMulti)
    ->Arg(1)
    ->Arg(64)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Halyard)
    ->Arg(1)
    ->Arg(64)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  server();
  // Warm both clients up (connections, the shared session's defaults) before measuring.
  rawCurl(4);
  halyardGets(4);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\n%d GETs of %zu bytes against 127.0.0.1\n", kRequests, kBody.size());
  std::printf("%-12s %14s %14s %8s %16s\n", "concurrency", "raw curl (s)", "halyard (s)", "ratio",
              "peak RSS (MiB)");
  for (int concurrency : {1, 64}) {
    const auto curl = measurements[fmt::format("curl/{}", concurrency)];
    const auto halyard = measurements[fmt::format("halyard/{}", concurrency)];
    if (curl.seconds <= 0 || halyard.seconds <= 0) continue;
    std::printf("%-12d %14.3f %14.3f %8.2f %7.1f / %6.1f\n", concurrency, curl.seconds,
                halyard.seconds, halyard.seconds / curl.seconds, curl.peakKilobytes / 1024.0,
                halyard.peakKilobytes / 1024.0);
  }
  std::printf("(peak RSS: after the raw curl runs / after the Halyard runs; process-wide)\n");
  curl_global_cleanup();
  return 0;
}
