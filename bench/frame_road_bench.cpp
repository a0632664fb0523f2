// The frame road end to end: for each device size, the companion simulator on loopback, the
// real coordinator with the display, capture, encoder and channel it creates, and a 60 Hz
// animation drawn on the device's display by a thread and X connection of its own, on its own
// timer, so the capture cannot pace what it counts. Each frame that reaches the channel reports
// when its stages ended; the table gives their p50/p95, the capture-to-sent latency, the
// sustained frame rate (beside the rate the animation managed to draw), the frames dropped on
// the way and the bytes on loopback. Beside the road, the same run measures the capture's grab on
// its own and the encoder against the single-threaded one on the frame the device gets
// (ratio = single-threaded / encoder, both timed here).
//
// The second table is what the road costs the machine over the same window: CPU ms per
// delivered frame and cores busy on average, from the threads' own times in /proc, leaving out
// the simulator's and the animation's threads; split into capture, encode (the encoder's
// workers and the dispatch threads that letterbox, encode and hand frames on), channel, and the
// rest. "ideal" is the least the encoding can cost: the single-threaded JPEG time times the
// sustained rate; "x ideal" is the road's cores over it. That time is taken once the road has
// stopped, on an idle machine; "x along" prices the road instead against the single-threaded
// encoder's CPU time on the same picture taken during the road's window, by a thread of the
// bench's own that encodes it a few times a second (its time is left out of the road's): the
// least the encoding costs while the display server and the animation share the machine. The
// display server's cores (the X server's grabs, or the compositor's drawing and read-back with
// PipeWire's passing of the buffers; the animation's drawing too) are shown apart, since that work
// is not in this process.
//
// The run is repeated on each Wayland desktop the machine has (sway, GNOME's compositor), each
// started headless by the bench, with the animation drawn as a window on the device's display;
// there the grab column stays empty, since the compositor copies on its side. A compositor
// draws at its own pace and may fold two of the animation's commits into one frame, so beside
// what the animation drew the table gives what the compositor presented of it ("shown", from
// the presentation feedback of each commit): the most a capture of the output can deliver.
//
// A second scenario moves a 200x200 square on an otherwise still 2732x2048 display; the capture
// then reads only the changed rows into a buffer that holds an earlier frame. A third leaves the
// display still and moves only the pointer over it, 60 times a second through the X Test
// extension (as a mouse would move it), so each frame is the pointer's doing alone.
//
// Stages: grab = one shared-memory read of the rows a frame changes (the whole display, or the
// square's rows in the second scenario), measured alone after the road;
// queue = grabbed to the encode starting (delivery to the coordinator, waiting for a slot);
// letterbox = the image for the device made (a canvas below 800 by 620, else nothing to do);
// jpeg = compression; send = the JPEG handed to the channel and written to the socket.
//
// Run it without sanitizers: cmake -DCMAKE_BUILD_TYPE=Release, then bench/frame_road_bench.
// Options of Google Benchmark apply (--benchmark_filter=FrameRoad/1024 for one size).

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "companion/companion_server.h"
#include "device_frames.h"
#include "platform/dispatch/main_queue.h"
#include "platform/display/display_environment.h"
#include "platform/display/display_queries.h"
#include "platform/display/support/gnome_session.h"
#include "platform/display/support/sway_session.h"
#include "platform/display/wlroots/wlroots_ipc.h"
#include "platform/display/wlroots/wlroots_outputs.h"
#include "platform/display/x11/x_connection.h"
#include "platform/foundation/log.h"
#include "platform/foundation/process_info.h"
#include "platform/graphics/jpeg_encoder.h"
#include "streaming/frame_encoding.h"
#include "streaming/starting_screen_view_model.h"
#include "thread_cpu.h"
#include "wayland_animation.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kWarmUpSeconds = 1.0;
constexpr double kMeasureSeconds = 8.0;
constexpr double kAnimationHz = 60.0;
constexpr int kGrabSamples = 60;
constexpr int kEncodeSamples = 60;

struct Percentiles {
  double p50 = 0, p95 = 0;  // milliseconds
};

Percentiles percentiles(std::vector<double> seconds) {
  if (seconds.empty()) return {};
  std::sort(seconds.begin(), seconds.end());
  const auto at = [&](double q) {
    const auto index = static_cast<std::size_t>(q * static_cast<double>(seconds.size() - 1) + 0.5);
    return seconds[std::min(index, seconds.size() - 1)] * 1e3;
  };
  return {at(0.50), at(0.95)};
}

struct Row {
  std::string desktop;
  int deviceWidth = 0, deviceHeight = 0;
  int frameWidth = 0, frameHeight = 0;
  Percentiles grab, queue, letterbox, jpeg, send, total;
  double fps = 0;
  std::uint64_t frames = 0, dropped = 0, badImages = 0;
  double kilobytesPerFrame = 0, megabytesPerSecond = 0;
  Percentiles single, fast;
  // The single-threaded encoder's CPU time on the same picture, taken by a thread of the bench
  // while the road runs, so the two share the machine's state (the display server and the
  // animation busy, the caches and cores shared).
  Percentiles alongside;
  double ratio = 0;
  double singleKilobytes = 0, fastKilobytes = 0;
  int bands = 1;
  std::string failure;
  // What the road cost over the window.
  std::string scenario;
  double drawnFps = 0;
  double shownFps = -1;  // what the compositor presented of the animation; -1: not known
  double cpuMsPerFrame = 0, cores = 0, idealCores = 0, alongsideCores = 0;
  double captureCores = 0, encodeCores = 0, channelCores = 0, restCores = 0, serverCores = 0;
};

// The desktop the displays are made on: X (an Xvfb server per display), or a compositor of the
// bench's own running headless.
struct Desktop {
  std::string name;
  platform::VirtualDisplayBackendKind backend = platform::VirtualDisplayBackendKind::xvfbPerDisplay;
  std::string waylandDisplay = {}, ipcSocket = {};
};
Desktop& desktopInUse() {
  static Desktop desktop{"X (Xvfb)"};
  return desktop;
}
void useDesktop(const Desktop& desk) {
  platform::DisplayEnvironment environment;
  environment.backend = desk.backend;
  environment.waylandDisplay = desk.waylandDisplay;
  environment.compositorSocket = desk.ipcSocket;
  platform::setDisplayEnvironment(environment);
  desktopInUse() = desk;
}

// Puts the next window on the newest output of the wlroots compositor.
void focusNewestOutput() {
  auto ipc = platform::wlroots::IpcClient::connect(desktopInUse().ipcSocket);
  if (!ipc) return;
  auto outputs = (*ipc)->outputs();
  if (!outputs) return;
  for (auto it = outputs->rbegin(); it != outputs->rend(); ++it) {
    if (it->active && !platform::wlroots::isParked(*it)) {
      (void)(*ipc)->command("focus output " + it->name);
      return;
    }
  }
}

std::vector<Row>& rows() {
  static std::vector<Row> all;
  return all;
}

// The desktop in BGRX, as the display holds it.
std::vector<std::uint8_t> desktop(int width, int height) {
  return bench::desktopPixels(width, height, 0);
}

// Draws on the device's display from a thread and X connection of its own: the desktop once,
// then a square (of `side` pixels, or a fifth of the display) that moves every 1/60 s, so every
// capture finds a changed picture.
// With `pointer`, the picture stays still and the pointer moves over it instead.
class Animation {
 public:
  Animation(platform::DisplayLocation location, const std::vector<std::uint8_t>& picture,
            int side = 0, bool pointer = false)
      : location_(std::move(location)), picture_(picture), side_(side), pointer_(pointer) {
    auto connection = platform::x11::Connection::open(location_.xDisplay);
    if (!connection) return;
    x_ = std::move(*connection);
    gc_ = xcb_generate_id(x_->get());
    xcb_create_gc(x_->get(), gc_, x_->root(), 0, nullptr);
    put(0, 0, int(location_.pixelWidth), int(location_.pixelHeight));
    thread_ = std::thread([this] {
      pthread_setname_np(pthread_self(), "bench-animate");
      run();
    });
  }
  ~Animation() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool running() const { return x_ != nullptr; }
  std::uint64_t drawn() const { return drawn_.load(); }

 private:
  // Copies a rectangle of the desktop picture to the display, in bands that fit a request.
  void put(int x, int y, int width, int height) {
    const int bandRows = std::max(1, (1 << 18) / (width * 4));
    std::vector<std::uint8_t> band;
    for (int top = y; top < y + height; top += bandRows) {
      const int rows = std::min(bandRows, y + height - top);
      band.resize(std::size_t(width) * rows * 4);
      for (int r = 0; r < rows; ++r) {
        const std::uint8_t* source =
            picture_.data() + (std::size_t(top + r) * location_.pixelWidth + x) * 4;
        std::copy(source, source + std::size_t(width) * 4,
                  band.data() + std::size_t(r) * width * 4);
      }
      xcb_put_image(x_->get(), XCB_IMAGE_FORMAT_Z_PIXMAP, x_->root(), gc_, std::uint16_t(width),
                    std::uint16_t(rows), std::int16_t(location_.x + x),
                    std::int16_t(location_.y + top), 0, 24, std::uint32_t(band.size()),
                    band.data());
    }
  }

  void run() {
    const int width = int(location_.pixelWidth), height = int(location_.pixelHeight);
    const int side =
        side_ > 0 ? std::min({side_, width, height}) : std::max(32, std::min(width, height) / 5);
    int x = 0, y = 0, dx = std::max(4, width / 90), dy = std::max(3, height / 120);
    auto next = Clock::now();
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / kAnimationHz));
    while (!stop_ && pointer_) {
      x = std::clamp(x + dx, 0, width - 1);
      y = std::clamp(y + dy, 0, height - 1);
      if (x == 0 || x == width - 1) dx = -dx;
      if (y == 0 || y == height - 1) dy = -dy;
      xcb_test_fake_input(x_->get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, x_->root(),
                          std::int16_t(location_.x + x), std::int16_t(location_.y + y), 0);
      xcb_flush(x_->get());
      ++drawn_;
      next += period;
      std::this_thread::sleep_until(next);
    }
    while (!stop_) {
      put(x, y, side, side);
      x = std::clamp(x + dx, 0, width - side);
      y = std::clamp(y + dy, 0, height - side);
      if (x == 0 || x == width - side) dx = -dx;
      if (y == 0 || y == height - side) dy = -dy;
      const std::uint32_t colour = 0xF2A541;
      xcb_change_gc(x_->get(), gc_, XCB_GC_FOREGROUND, &colour);
      const xcb_rectangle_t square{std::int16_t(location_.x + x), std::int16_t(location_.y + y),
                                   std::uint16_t(side), std::uint16_t(side)};
      xcb_poly_fill_rectangle(x_->get(), x_->root(), gc_, 1, &square);
      xcb_flush(x_->get());
      ++drawn_;
      next += period;
      std::this_thread::sleep_until(next);
    }
  }

  platform::DisplayLocation location_;
  const std::vector<std::uint8_t>& picture_;
  const int side_;
  const bool pointer_;
  std::atomic<std::uint64_t> drawn_{0};
  std::unique_ptr<platform::x11::Connection> x_;
  xcb_gcontext_t gc_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One shared-memory read of the display's top `rows` rows (all of it by default), as the
// capture does it, timed alone.
std::vector<double> timeGrabs(const platform::DisplayLocation& location, int rows = 0) {
  const auto height = std::uint16_t(rows > 0 ? std::min<int>(rows, int(location.pixelHeight))
                                             : int(location.pixelHeight));
  std::vector<double> times;
  auto connection = platform::x11::Connection::open(location.xDisplay);
  if (!connection) return times;
  xcb_connection_t* c = (*connection)->get();
  const std::size_t size = std::size_t(location.pixelWidth) * location.pixelHeight * 4;
  const int fd = memfd_create("frame-road-grab", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, off_t(size)) != 0) return times;
  void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  const xcb_shm_seg_t segment = xcb_generate_id(c);
  // The server takes the descriptor over.
  if (mapping != MAP_FAILED && (*connection)->check(xcb_shm_attach_fd_checked(c, segment, fd, 0))) {
    for (int i = 0; i < kGrabSamples; ++i) {
      const auto start = Clock::now();
      platform::x11::Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
          c,
          xcb_shm_get_image(c, (*connection)->root(), std::int16_t(location.x),
                            std::int16_t(location.y), std::uint16_t(location.pixelWidth), height,
                            ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment, 0),
          nullptr));
      if (!reply) break;
      times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    xcb_shm_detach(c, segment);
  } else {
    ::close(fd);
  }
  if (mapping != MAP_FAILED) munmap(mapping, size);
  return times;
}

// The single-threaded encoder's CPU time on `picture` as a device of this size gets it, a few
// times a second on a thread of its own, from construction until `finish`.
class EncoderAlongside {
 public:
  EncoderAlongside(const std::vector<std::uint8_t>& picture, int width, int height)
      : thread_([this, &picture, width, height] { run(picture, width, height); }) {}
  ~EncoderAlongside() { finish(); }
  std::vector<double> finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return std::move(seconds_);
  }

 private:
  static double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
  }
  void run(const std::vector<std::uint8_t>& picture, int width, int height) {
    pthread_setname_np(pthread_self(), "bench-ideal");
    auto captured =
        platform::Image::wrap(picture.data(), width, height, std::size_t(width) * 4, nullptr);
    const streaming::FrameTarget target{double(width),
                                        double(height) - streaming::kDeviceReservedRows};
    auto image = captured ? captured->resized(target.width, target.height) : std::nullopt;
    if (!image) return;
    const int quality =
        *platform::jpegQuality(streaming::frameQuality(image->width(), image->height()));
    while (!stop_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const double start = threadSeconds();
      if (!platform::JpegEncoder::shared().encodeSingleThreaded(*image, quality)) return;
      seconds_.push_back(threadSeconds() - start);
    }
  }

  std::atomic<bool> stop_{false};
  std::vector<double> seconds_;
  std::thread thread_;
};

// The encoder against the single-threaded one on the frame a device of this size gets, taking
// turns at going first.
void compareEncoders(Row& row, const std::vector<std::uint8_t>& picture) {
  auto keep = std::make_shared<std::vector<std::uint8_t>>(picture);
  auto captured = platform::Image::wrap(keep->data(), row.deviceWidth, row.deviceHeight,
                                        std::size_t(row.deviceWidth) * 4, keep);
  const streaming::FrameTarget target{double(row.deviceWidth),
                                      double(row.deviceHeight) - streaming::kDeviceReservedRows};
  auto image = captured ? captured->resized(target.width, target.height) : std::nullopt;
  if (!image) return;
  const int quality =
      *platform::jpegQuality(streaming::frameQuality(image->width(), image->height()));
  platform::JpegEncoder& encoder = platform::JpegEncoder::shared();
  row.bands = encoder.planFor(image->width(), image->height()).stripCount;
  std::vector<double> single, fast;
  double singleBytes = 0, fastBytes = 0;
  for (int i = 0; i < kEncodeSamples; ++i) {
    for (int turn = 0; turn < 2; ++turn) {
      const bool singleTurn = (turn == 0) == (i % 2 == 0);
      const auto start = Clock::now();
      auto bytes = singleTurn ? encoder.encodeSingleThreaded(*image, quality)
                              : encoder.encode(*image, quality);
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      if (!bytes) return;
      (singleTurn ? single : fast).push_back(seconds);
      (singleTurn ? singleBytes : fastBytes) += double(bytes->size());
    }
  }
  row.single = percentiles(single);
  row.fast = percentiles(fast);

  row.ratio = row.fast.p50 > 0 ? row.single.p50 / row.fast.p50 : 0;
  row.singleKilobytes = singleBytes / kEncodeSamples / 1e3;
  row.fastKilobytes = fastBytes / kEncodeSamples / 1e3;
}

// Where a thread's CPU time goes, by the name it runs under.
std::string roleOf(const std::string& name, bool isMain) {
  if (name == "companion" || name == "bench-animate" || name == "bench-ideal") return "outside";
  if (name == "tovarine-captur") return "capture";
  if (name == "tovarine-worker" || name == "tovarine-high" || name == "tovarine-pool") {
    return "encode";
  }
  if (name == "tovarine-chan") return "channel";
  return isMain ? "main" : "other";
}

void addCpu(Row& row, const bench::CpuSnapshot& before, const bench::CpuSnapshot& after) {
  auto roles = bench::secondsByRole(before, after, roleOf);
  const double road = (after.process - before.process) - roles["outside"];
  row.cores = road / kMeasureSeconds;
  row.cpuMsPerFrame = row.frames > 0 ? road / double(row.frames) * 1e3 : 0;
  row.captureCores = roles["capture"] / kMeasureSeconds;
  row.encodeCores = roles["encode"] / kMeasureSeconds;
  row.channelCores = roles["channel"] / kMeasureSeconds;
  row.restCores = row.cores - row.captureCores - row.encodeCores - row.channelCores;
  row.serverCores = (after.children - before.children) / kMeasureSeconds;
}

Row measureRoad(int width, int height, int side = 0, bool pointer = false) {
  Row row;
  row.deviceWidth = width;
  row.deviceHeight = height;
  const std::vector<std::uint8_t> picture = desktop(width, height);

  streaming::companion::Options simulated;
  simulated.port = 0;
  simulated.name = "Bench";
  simulated.width = width;
  simulated.height = height;
  simulated.quiet = true;
  streaming::companion::CompanionServer simulator(simulated);
  if (simulator.start()) {
    row.failure = "the simulator did not start";
    return row;
  }
  streaming::StartingScreenViewModel::Options options;
  options.port = simulator.port();
  options.hub = platform::TLUSBHub::make();
  auto coordinator = streaming::StartingScreenViewModel::make(std::move(options));
  if (!platform::runMainUntil(
          [&] {
            return coordinator->deviceStatus.get() == streaming::DeviceStatus::Connected &&
                   !coordinator->virtualScreen()->virtualDisplays().empty();
          },
          20)) {
    row.failure = "the device's display did not come up";
    return row;
  }
  const auto id =
      coordinator->virtualScreen()->virtualDisplays().begin()->second.display->displayID();
  auto location = platform::locateDisplay(id);
  if (!location) {
    row.failure = "the device's display cannot be found";
    return row;
  }

  std::mutex mutex;
  std::vector<streaming::FrameReport> reports;
  double measureFrom = 0;
  coordinator->setFrameReportHandler([&](const streaming::FrameReport& report) {
    std::lock_guard lock(mutex);
    if (measureFrom > 0 && report.capturedAt >= measureFrom) reports.push_back(report);
  });
  {
    // Drawn through X, or as a window of the compositor covering the display.
    std::unique_ptr<Animation> xAnimation;
    std::unique_ptr<bench::WaylandAnimation> waylandAnimation;
    const Desktop& desk = desktopInUse();
    if (desk.waylandDisplay.empty()) {
      xAnimation = std::make_unique<Animation>(*location, picture, side, pointer);
    } else {
      if (desk.backend == platform::VirtualDisplayBackendKind::wlrootsOutput) focusNewestOutput();
      waylandAnimation = std::make_unique<bench::WaylandAnimation>(
          desk.waylandDisplay, width, height, picture, side, kAnimationHz,
          desk.backend == platform::VirtualDisplayBackendKind::gnomeVirtualMonitor);
    }
    struct {
      Animation* x;
      bench::WaylandAnimation* wayland;
      bool running() const { return x ? x->running() : wayland->running(); }
      std::uint64_t drawn() const { return x ? x->drawn() : wayland->drawn(); }
      std::optional<std::uint64_t> shown() const {
        return wayland ? wayland->shown() : std::nullopt;
      }
    } animation{xAnimation.get(), waylandAnimation.get()};
    if (!animation.running()) {
      row.failure = "cannot draw on the device's display";
      return row;
    }
    platform::runMainUntil([] { return false; }, kWarmUpSeconds);
    const auto framesBefore = coordinator->frameStatistics();
    const auto arrivedBefore = simulator.statistics();
    const auto drawnBefore = animation.drawn();
    const auto shownBefore = animation.shown();
    EncoderAlongside alongside(picture, width, height);
    const auto cpuBefore = bench::takeCpuSnapshot();
    {
      std::lock_guard lock(mutex);
      measureFrom = platform::systemUptime();
    }
    platform::runMainUntil([] { return false; }, kMeasureSeconds);
    const auto cpuAfter = bench::takeCpuSnapshot();
    row.alongside = percentiles(alongside.finish());
    const auto drawnAfter = animation.drawn();
    const auto shownAfter = animation.shown();
    const auto framesAfter = coordinator->frameStatistics();
    const auto arrivedAfter = simulator.statistics();
    row.frames = arrivedAfter.images - arrivedBefore.images;
    row.badImages = arrivedAfter.badImages - arrivedBefore.badImages;
    row.dropped = (framesAfter.dropped - framesBefore.dropped) +
                  (framesAfter.stale - framesBefore.stale) +
                  (framesAfter.unsent - framesBefore.unsent);
    row.fps = double(row.frames) / kMeasureSeconds;
    row.drawnFps = double(drawnAfter - drawnBefore) / kMeasureSeconds;
    if (shownBefore && shownAfter)
      row.shownFps = double(*shownAfter - *shownBefore) / kMeasureSeconds;
    addCpu(row, cpuBefore, cpuAfter);
    const double bytes = double(arrivedAfter.imageBytes - arrivedBefore.imageBytes);
    row.kilobytesPerFrame = row.frames > 0 ? bytes / double(row.frames) / 1e3 : 0;
    row.megabytesPerSecond = bytes / kMeasureSeconds / 1e6;
  }
  coordinator->setFrameReportHandler({});
  {
    std::lock_guard lock(mutex);
    std::vector<double> queue, letterbox, jpeg, send, total;
    for (const auto& r : reports) {
      queue.push_back(r.startedAt - r.capturedAt);
      letterbox.push_back(r.drawnAt - r.startedAt);
      jpeg.push_back(r.encodedAt - r.drawnAt);
      send.push_back(r.sentAt - r.encodedAt);
      total.push_back(r.sentAt - r.capturedAt);
      row.frameWidth = r.width;
      row.frameHeight = r.height;
    }
    row.queue = percentiles(queue);
    row.letterbox = percentiles(letterbox);
    row.jpeg = percentiles(jpeg);
    row.send = percentiles(send);
    row.total = percentiles(total);
  }
  // A moving square changes its own rows and the few it moved by; the capture reads only those.
  const int changedRows = side > 0 ? side + std::max(3, height / 120) : 0;
  // The compositors copy on their side: their grab is not measured apart.
  if (desktopInUse().waylandDisplay.empty()) {
    row.grab = percentiles(timeGrabs(*location, changedRows));
  }
  simulator.stop();
  coordinator.reset();
  platform::drainMainQueue();
  compareEncoders(row, picture);
  row.idealCores = row.single.p50 / 1e3 * row.fps;
  row.alongsideCores = row.alongside.p50 / 1e3 * row.fps;
  return row;
}

void report(benchmark::State& state, Row row) {
  if (!row.failure.empty()) state.SkipWithError(row.failure.c_str());
  row.desktop = desktopInUse().name;
  state.counters["fps"] = row.fps;
  state.counters["sent_p95_ms"] = row.total.p95;
  state.counters["ratio"] = row.ratio;
  state.counters["cores"] = row.cores;
  rows().push_back(std::move(row));
}

void FrameRoad(benchmark::State& state) {
  useDesktop({"X (Xvfb)"});
  Row row;
  for (auto _ : state) {
    row = measureRoad(int(state.range(0)), int(state.range(1)));
    state.SetIterationTime(row.total.p50 / 1e3);
  }
  row.scenario = "moving fifth";
  report(state, std::move(row));
}

BENCHMARK(FrameRoad)
    ->Apply(bench::deviceSizes)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A small change on a large, otherwise still display.
void FrameRoadSmallChange(benchmark::State& state) {
  useDesktop({"X (Xvfb)"});
  Row row;
  for (auto _ : state) {
    row = measureRoad(int(state.range(0)), int(state.range(1)), 200);
    state.SetIterationTime(row.total.p50 / 1e3);
  }
  row.scenario = "200x200 square";
  report(state, std::move(row));
}

BENCHMARK(FrameRoadSmallChange)
    ->ArgNames({"w", "h"})
    ->Args({2732, 2048})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A still display under a moving pointer.
void FrameRoadMovingPointer(benchmark::State& state) {
  useDesktop({"X (Xvfb)"});
  Row row;
  for (auto _ : state) {
    row = measureRoad(int(state.range(0)), int(state.range(1)), 0, /*pointer=*/true);
    state.SetIterationTime(row.total.p50 / 1e3);
  }
  row.scenario = "moving pointer";
  report(state, std::move(row));
}

BENCHMARK(FrameRoadMovingPointer)
    ->ArgNames({"w", "h"})
    ->Args({1024, 768})
    ->Args({2732, 2048})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

std::string pair(const Percentiles& p) {
  return fmt::format("{:.1f}/{:.1f}", p.p50, p.p95);
}

void printTable();

// One table per desktop, in the order they ran.
void printTables() {
  std::vector<Row> all = std::move(rows());
  std::vector<std::string> desktops;
  for (const Row& row : all) {
    if (std::find(desktops.begin(), desktops.end(), row.desktop) == desktops.end()) {
      desktops.push_back(row.desktop);
    }
  }
  for (const std::string& name : desktops) {
    rows().clear();
    for (const Row& row : all)
      if (row.desktop == name) rows().push_back(row);
    desktopInUse().name = name;
    printTable();
  }
}

void printTable() {
  std::printf(
      "\nFrame road on %s, %zu cores, %.0f Hz animation, %.0f s per size (times in ms, "
      "p50/p95)\n",
      desktopInUse().name.c_str(), platform::availableCores(), kAnimationHz, kMeasureSeconds);
  std::printf(
      "%-10s %-10s %-9s %-9s %-9s %-9s %-9s %-11s %5s %5s %7s %6s | %-9s %-9s %5s %5s %-11s\n",
      "device", "frame", "grab", "queue", "letterbox", "jpeg", "send", "capt->sent", "fps", "drop",
      "KB/fr", "MB/s", "1-thread", "encoder", "ratio", "bands", "KB 1t/enc");
  for (const Row& row : rows()) {
    const std::string device = fmt::format("{}x{}", row.deviceWidth, row.deviceHeight);
    if (!row.failure.empty()) {
      std::printf("%-10s %s\n", device.c_str(), row.failure.c_str());
      continue;
    }
    std::printf(
        "%-10s %-10s %-9s %-9s %-9s %-9s %-9s %-11s %5.1f %5llu %7.1f %6.1f | %-9s %-9s %5.2f "
        "%5d %-11s\n",
        device.c_str(), fmt::format("{}x{}", row.frameWidth, row.frameHeight).c_str(),
        pair(row.grab).c_str(), pair(row.queue).c_str(), pair(row.letterbox).c_str(),
        pair(row.jpeg).c_str(), pair(row.send).c_str(), pair(row.total).c_str(), row.fps,
        static_cast<unsigned long long>(row.dropped), row.kilobytesPerFrame, row.megabytesPerSecond,
        pair(row.single).c_str(), pair(row.fast).c_str(), row.ratio, row.bands,
        fmt::format("{:.0f}/{:.0f}", row.singleKilobytes, row.fastKilobytes).c_str());
    if (row.badImages > 0) {
      std::printf("%-10s %llu images the device could not use\n", "",
                  static_cast<unsigned long long>(row.badImages));
    }
  }

  std::printf("\nWhat the road costs, over the same windows (cores = CPU seconds per second)\n");
  std::printf("%-10s %-15s %5s %6s %6s %6s %9s %6s %6s %7s %7s | %7s %6s %7s %5s | %6s\n", "device",
              "scenario", "fps", "drawn", "shown", "/shown", "CPU ms/fr", "cores", "ideal",
              "x ideal", "x along", "capture", "encode", "channel", "rest", "server");
  for (const Row& row : rows()) {
    if (!row.failure.empty()) continue;
    // "shown": the frames the compositor presented with the animation in them (Wayland only);
    // "/shown" the share of them the road delivered.
    const bool shown = row.shownFps >= 0;
    std::printf(
        "%-10s %-15s %5.1f %6.1f %6s %6s %9.2f %6.2f %6.2f %7.2f %7.2f | %7.2f %6.2f %7.2f %5.2f "
        "| %6.2f\n",
        fmt::format("{}x{}", row.deviceWidth, row.deviceHeight).c_str(), row.scenario.c_str(),
        row.fps, row.drawnFps, shown ? fmt::format("{:.1f}", row.shownFps).c_str() : "-",
        shown && row.shownFps > 0 ? fmt::format("{:.2f}", row.fps / row.shownFps).c_str() : "-",
        row.cpuMsPerFrame, row.cores, row.idealCores,
        row.idealCores > 0 ? row.cores / row.idealCores : 0.0,
        row.alongsideCores > 0 ? row.cores / row.alongsideCores : 0.0, row.captureCores,
        row.encodeCores, row.channelCores, row.restCores, row.serverCores);
  }
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) == 3) {
    std::printf("load average at the end: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // The engine's per-frame console lines would dominate the run; everything else is shown.
  platform::setLogSink([](platform::LogStream, std::string_view line) {
    if (line.starts_with("size of image in KB: ") || line.starts_with("Ping total")) return;
    std::fprintf(stderr, "%.*s\n", int(line.size()), line.data());
  });
  // Besides X (each virtual display an X server of its own, the size of the device), the
  // Wayland desktops this machine has: sway and GNOME's compositor, each started headless.
  std::unique_ptr<testing_display::SwaySession> sway;
  std::unique_ptr<testing_display::GnomeSession> gnome;
  const auto registerOn = [](const Desktop& desk) {
    const auto road = [desk](benchmark::State& state) {
      useDesktop(desk);
      Row row;
      for (auto _ : state) {
        row = measureRoad(int(state.range(0)), int(state.range(1)));
        state.SetIterationTime(row.total.p50 / 1e3);
      }
      row.scenario = "moving fifth";
      report(state, std::move(row));
    };
    benchmark::RegisterBenchmark(("FrameRoad/" + desk.name).c_str(), road)
        ->Apply(bench::deviceSizes)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  };
  if (testing_display::SwaySession::available()) {
    if (auto started = testing_display::SwaySession::start()) {
      sway = std::move(*started);
      registerOn({"sway", platform::VirtualDisplayBackendKind::wlrootsOutput,
                  sway->waylandDisplay(), sway->ipcSocket()});
    } else {
      std::fprintf(stderr, "sway: %s\n", started.error().c_str());
    }
  }
  if (testing_display::GnomeSession::missingProgram().empty()) {
    if (auto started = testing_display::GnomeSession::start()) {
      gnome = std::move(*started);
      setenv("DBUS_SESSION_BUS_ADDRESS", gnome->busAddress().c_str(), 1);
      setenv("PIPEWIRE_RUNTIME_DIR", gnome->runtimeDir().c_str(), 1);
      registerOn({"GNOME", platform::VirtualDisplayBackendKind::gnomeVirtualMonitor,
                  gnome->waylandDisplay(), ""});
    } else {
      std::fprintf(stderr, "GNOME: %s\n", started.error().c_str());
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  printTables();
  platform::setDisplayEnvironment(std::nullopt);
  benchmark::Shutdown();
  platform::setLogSink({});
  return 0;
}
