// Image decoding measured against the libraries called directly, in the same run, on 1,000
// bodies held in memory: half 64 by 64 PNGs with alpha, half 256 by 256 JPEGs.
//
// Row "DecodingAlone": ours_ms is `platform::decodeImage` over every body (signature sniffing,
// size checks, exact-size storage, premultiplied alpha); direct_ms is libpng's simplified
// reader and TurboJPEG decoding the same bodies into BGRA buffers; ratio = ours / direct (goal
// at most 1.1); peak_rss_MiB is the process's peak resident memory.
//
// The other rows fetch the same bodies from a local keep-alive server:
// - "Cold": ours_ms is the image downloader (4 at a time, no URL cache) fetching all 1,000;
//   direct_ms is plain data requests at concurrency 4 whose bodies are decoded by the libraries
//   called directly, each picture kept until all have arrived as the downloader's image cache
//   keeps them; ratio = ours / direct (goal at most 1.2).
// - "Warm": the same 1,000 downloads answered by the image cache; us_per_hit and server_hits
//   (which must be 0).
// - "Shared": 1,000 downloads of 10 addresses made while those are in flight; server_hits must
//   be 10.

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <httplib.h>
#include <png.h>
#include <sys/resource.h>
#include <turbojpeg.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "halyard/core/session.h"
#include "imagecache/auto_purging_image_cache.h"
#include "imagecache/image_downloader.h"
#include "platform/dispatch/main_queue.h"
#include "platform/graphics/image_decoding.h"

namespace {

using Clock = std::chrono::steady_clock;
using Body = std::vector<std::uint8_t>;

constexpr int kBodies = 1000;
constexpr int kPngSide = 64;
constexpr int kJpegSide = 256;

// A picture with smooth gradients and some detail, so both coders do representative work.
std::vector<std::uint8_t> rgbaPicture(int side, int seed) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(side) * side * 4);
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      std::uint8_t* p = pixels.data() + (static_cast<std::size_t>(y) * side + x) * 4;
      p[0] = static_cast<std::uint8_t>((x * 255 / side + seed) & 0xff);
      p[1] = static_cast<std::uint8_t>((y * 255 / side + seed * 3) & 0xff);
      p[2] = static_cast<std::uint8_t>(128 + 127 * std::sin((x + y + seed) * 0.1));
      p[3] = static_cast<std::uint8_t>((x * y + seed) % 256);
    }
  }
  return pixels;
}

Body encodePng(int seed) {
  const std::vector<std::uint8_t> rgba = rgbaPicture(kPngSide, seed);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = kPngSide;
  image.height = kPngSide;
  image.format = PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  png_image_write_to_memory(&image, nullptr, &size, 0, rgba.data(), 0, nullptr);
  Body body(size);
  if (!png_image_write_to_memory(&image, body.data(), &size, 0, rgba.data(), 0, nullptr)) {
    std::fprintf(stderr, "PNG encoding failed\n");
    std::exit(1);
  }
  body.resize(size);
  return body;
}

Body encodeJpeg(tjhandle encoder, int seed) {
  const std::vector<std::uint8_t> rgba = rgbaPicture(kJpegSide, seed);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  if (tjCompress2(encoder, rgba.data(), kJpegSide, 0, kJpegSide, TJPF_RGBX, &out, &size, TJSAMP_420,
                  85, 0) != 0) {
    std::fprintf(stderr, "JPEG encoding failed\n");
    std::exit(1);
  }
  Body body(out, out + size);
  tjFree(out);
  return body;
}

const std::vector<Body>& bodies() {
  static const std::vector<Body> all = [] {
    std::vector<Body> list;
    tjhandle encoder = tjInitCompress();
    for (int i = 0; i < kBodies; ++i)
      list.push_back(i % 2 == 0 ? encodePng(i) : encodeJpeg(encoder, i));
    tjDestroy(encoder);
    return list;
  }();
  return all;
}

// The libraries as a program would call them without our layer: each body into a fresh BGRA
// buffer of its size, which goes into `kept` when one is given and is dropped otherwise.
bool decodeDirectly(tjhandle decoder, const Body& body,
                    std::vector<std::vector<std::uint8_t>>* kept = nullptr) {
  if (body[0] == 0x89) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, body.data(), body.size())) return false;
    image.format = PNG_FORMAT_BGRA;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    const bool read = png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) != 0;
    png_image_free(&image);
    benchmark::DoNotOptimize(pixels.data());
    if (kept) kept->push_back(std::move(pixels));
    return read;
  }
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  if (tjDecompressHeader3(decoder, body.data(), body.size(), &width, &height, &subsampling,
                          &colourspace) != 0) {
    return false;
  }
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  const bool read = tjDecompress2(decoder, body.data(), body.size(), pixels.data(), width, 0,
                                  height, TJPF_BGRX, 0) == 0;
  benchmark::DoNotOptimize(pixels.data());
  if (kept) kept->push_back(std::move(pixels));
  return read;
}

double peakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}

void DecodingAlone(benchmark::State& state) {
  const std::vector<Body>& all = bodies();
  tjhandle decoder = tjInitDecompress();
  double ours = 0;
  double direct = 0;
  bool oursFirst = true;
  for (auto _ : state) {
    // The two take turns at going first, so neither always meets the caches the other left.
    for (int turn = 0; turn < 2; ++turn) {
      const auto start = Clock::now();
      bool ok = true;
      if ((turn == 0) == oursFirst) {
        for (const Body& body : all)
          ok = platform::decodeImage(body).has_value() && ok;
        ours += std::chrono::duration<double>(Clock::now() - start).count();
      } else {
        for (const Body& body : all)
          ok = decodeDirectly(decoder, body) && ok;
        direct += std::chrono::duration<double>(Clock::now() - start).count();
      }
      if (!ok) state.SkipWithError("a body did not decode");
    }
    oursFirst = !oursFirst;
  }
  tjDestroy(decoder);
  const double runs = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = ours / runs * 1000;
  state.counters["direct_ms"] = direct / runs * 1000;
  state.counters["ratio"] = ours / direct;
  state.counters["peak_rss_MiB"] = peakRssMiB();
}

BENCHMARK(DecodingAlone)->Iterations(20)->Unit(benchmark::kMillisecond);

// ---- Over the network ---------------------------------------------------------------------------

// Serves body i at "/i" with keep-alive; answers can be held back until released.
//
// The server gives each connection a worker of its own for as long as the connection lives, and
// an idle connection keeps its worker until the keep-alive time-out (5 s). The clients of this
// bench hold connections open side by side: the baseline's session, kept for the whole row, and
// each downloader's session, up to six per host each. With fewer workers than that, a
// downloader's later connections would wait, unanswered, for the baseline's idle ones to time
// out, and the row would measure that time-out rather than the client.
constexpr int kServerWorkers = 32;

class PictureServer {
 public:
  PictureServer() {
    server_.new_task_queue = [] { return new httplib::ThreadPool(kServerWorkers); };
    server_.set_keep_alive_max_count(1'000'000);
    server_.set_tcp_nodelay(true);
    server_.Get(R"(/(\d+))", [this](const httplib::Request& request, httplib::Response& response) {
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !held_; });
      }
      ++hits_;
      const Body& body = bodies()[std::stoul(request.matches[1])];
      response.set_content(reinterpret_cast<const char*>(body.data()), body.size(),
                           body[0] == 0x89 ? "image/png" : "image/jpeg");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running())
      std::this_thread::yield();
  }
  ~PictureServer() {
    release();
    server_.stop();
    thread_.join();
  }
  std::string url(std::size_t index) const {
    return fmt::format("http://127.0.0.1:{}/{}", port_, index);
  }
  int hits() const { return hits_; }
  void hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void release() {
    std::lock_guard lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<int> hits_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
};

PictureServer& pictureServer() {
  static PictureServer* const server = new PictureServer();  // lives for the whole run
  return *server;
}

std::shared_ptr<imagecache::ImageDownloader> makeDownloader() {
  platform::URLSessionConfiguration configuration =
      imagecache::ImageDownloader::defaultURLSessionConfiguration();
  configuration.urlCache = nullptr;
  // Room for all 1,000 pictures, so that the warm row is answered by the cache alone.
  return imagecache::ImageDownloader::initWithConfiguration(
      configuration, imagecache::ImageDownloader::DownloadPrioritization::fifo, 4,
      imagecache::AutoPurgingImageCache<platform::Image>::make(400'000'000, 300'000'000));
}

// Downloads `count` addresses (index i % addresses) and waits for every completion; false when
// one failed.
bool downloadAll(imagecache::ImageDownloader& downloader, std::size_t count, std::size_t addresses,
                 const std::function<void()>& afterIssuing = nullptr) {
  std::size_t finished = 0;
  bool ok = true;
  for (std::size_t i = 0; i < count; ++i) {
    downloader.download(
        halyard::makeURLRequestConvertible(
            platform::URLRequest(*platform::URL::fromString(pictureServer().url(i % addresses)))),
        std::nullopt, platform::UUID().uuidString(), nullptr, nullptr, nullptr,
        platform::DispatchQueue::main(), [&](const imagecache::ImageDownloadResponse& response) {
          ok = ok && response.result && *response.result;
          ++finished;
        });
  }
  if (afterIssuing) afterIssuing();
  return platform::runMainUntil([&] { return finished == count; }, 600) && ok;
}

// The baseline: data requests four at a time, each body decoded directly on arrival into a
// picture of its own that is kept in `pictures`.
bool fetchAndDecodeDirectly(halyard::Session& session, tjhandle decoder,
                            std::vector<std::vector<std::uint8_t>>& pictures) {
  std::size_t next = 0;
  std::size_t finished = 0;
  bool ok = true;
  std::function<void()> startNext = [&] {
    if (next >= bodies().size()) return;
    session.makeDataRequest(halyard::URLConvertible(pictureServer().url(next++)))
        ->responseUnserialized(
            [&](const halyard::DataResponse<std::optional<platform::Bytes>>& response) {
              ok = ok && response.result && *response.result &&
                   decodeDirectly(decoder, **response.result, &pictures);
              ++finished;
              startNext();
            });
  };
  for (int i = 0; i < 4; ++i)
    startNext();
  return platform::runMainUntil([&] { return finished == bodies().size(); }, 600) && ok;
}

void Cold(benchmark::State& state) {
  // The pictures are encoded before anything is timed.
  bodies();
  pictureServer();
  auto session = halyard::Session::initWithConfiguration();
  tjhandle decoder = tjInitDecompress();
  double ours = 0;
  double direct = 0;
  for (auto _ : state) {
    // Each side keeps every picture it made, in memory new to it: the baseline in a list it
    // lets go of outside the timing, the downloader in its image cache, which goes with it
    // between iterations. A baseline that dropped each picture would decode into the same few
    // buffers, warm in the processor's caches, and leave out the cost of storing 1,000 pictures.
    {
      std::vector<std::vector<std::uint8_t>> pictures;
      pictures.reserve(bodies().size());
      const auto start = Clock::now();
      if (!fetchAndDecodeDirectly(*session, decoder, pictures)) {
        state.SkipWithError("a baseline fetch failed");
      }
      direct += std::chrono::duration<double>(Clock::now() - start).count();
    }
    auto downloader = makeDownloader();
    const auto start = Clock::now();
    if (!downloadAll(*downloader, bodies().size(), bodies().size())) {
      state.SkipWithError("a download failed");
    }
    ours += std::chrono::duration<double>(Clock::now() - start).count();
  }
  tjDestroy(decoder);
  const double runs = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = ours / runs * 1000;
  state.counters["direct_ms"] = direct / runs * 1000;
  state.counters["ratio"] = ours / direct;
  state.counters["peak_rss_MiB"] = peakRssMiB();
}

void Warm(benchmark::State& state) {
  auto downloader = makeDownloader();
  if (!downloadAll(*downloader, bodies().size(), bodies().size())) {
    state.SkipWithError("filling the cache failed");
  }
  const int hitsBefore = pictureServer().hits();
  double seconds = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!downloadAll(*downloader, bodies().size(), bodies().size())) {
      state.SkipWithError("a cached download failed");
    }
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  const double downloads = static_cast<double>(state.iterations() * bodies().size());
  state.counters["us_per_hit"] = seconds / downloads * 1e6;
  state.counters["server_hits"] = pictureServer().hits() - hitsBefore;
  state.counters["peak_rss_MiB"] = peakRssMiB();
}

void Shared(benchmark::State& state) {
  int hits = 0;
  double seconds = 0;
  for (auto _ : state) {
    auto downloader = makeDownloader();
    const int hitsBefore = pictureServer().hits();
    pictureServer().hold();
    const auto start = Clock::now();
    if (!downloadAll(*downloader, bodies().size(), 10, [] { pictureServer().release(); })) {
      state.SkipWithError("a shared download failed");
    }
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    hits = pictureServer().hits() - hitsBefore;
  }
  state.counters["ms"] = seconds / static_cast<double>(state.iterations()) * 1000;
  state.counters["server_hits"] = hits;
  state.counters["peak_rss_MiB"] = peakRssMiB();
}

BENCHMARK(Cold)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(Warm)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(Shared)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
