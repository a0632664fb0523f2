// tovarine-demo: the streaming road without hardware. The coordinator runs headless next to the
// companion simulator on loopback for a while, and the demo tells what arrived.

#include <fmt/format.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "companion/companion_server.h"
#include "demo/demo_options.h"
#include "demo/private_display.h"
#include "platform/dispatch/main_queue.h"
#include "platform/dispatch/termination_signals.h"
#include "platform/display/virtual_display.h"
#include "platform/foundation/log.h"
#include "platform/foundation/process_info.h"
#include "streaming/starting_screen_view_model.h"

namespace {

constexpr std::uint16_t kPrivateScreenWidth = 1280;
constexpr std::uint16_t kPrivateScreenHeight = 800;
constexpr double kAnimationInterval = 1.0 / 30;
constexpr std::uint32_t kBackground = 0x1E3A5F;
constexpr std::uint32_t kSquare = 0xF2A541;

const char* describe(streaming::DeviceStatus status) {
  switch (status) {
    case streaming::DeviceStatus::Detached:
      return "Detached";
    case streaming::DeviceStatus::Attached:
      return "Attached";
    case streaming::DeviceStatus::Connected:
      return "Connected";
  }
  return "?";
}

void say(const std::string& line) {
  platform::print("demo: " + line);
}

// No window here: says what would have happened to it.
class ConsoleWindow : public streaming::WindowControl {
 public:
  void minimize() override { say("the application window would be minimised now"); }
  void restore() override { say("the application window would be restored now"); }
};

// Keeps the console readable: the engine prints one line per frame, which the demo only counts.
class FrameLineCounter {
 public:
  FrameLineCounter() {
    platform::setLogSink([this](platform::LogStream stream, std::string_view line) {
      if (line.starts_with("size of image in KB: ")) {
        ++frameLines_;
        return;
      }
      std::FILE* out = stream == platform::LogStream::print ? stdout : stderr;
      std::fwrite(line.data(), 1, line.size(), out);
      std::fputc('\n', out);
      std::fflush(out);
    });
  }
  ~FrameLineCounter() { platform::setLogSink({}); }
  std::uint64_t count() const { return frameLines_.load(); }

 private:
  std::atomic<std::uint64_t> frameLines_{0};
};

// A square that crosses the device's display and bounces off its edges.
class Animation {
 public:
  explicit Animation(std::unique_ptr<demo::DisplayPainter> painter)
      : painter_(std::move(painter)), side_(std::max(16, painter_->height() / 6)) {
    painter_->fill(0, 0, painter_->width(), painter_->height(), kBackground);
  }

  void step() {
    painter_->fill(x_, y_, side_, side_, kBackground);
    const int right = std::max(0, painter_->width() - side_);
    const int bottom = std::max(0, painter_->height() - side_);
    x_ += dx_;
    y_ += dy_;
    if (x_ <= 0 || x_ >= right) dx_ = -dx_;
    if (y_ <= 0 || y_ >= bottom) dy_ = -dy_;
    x_ = std::clamp(x_, 0, right);
    y_ = std::clamp(y_, 0, bottom);
    painter_->fill(x_, y_, side_, side_, kSquare);
  }

 private:
  std::unique_ptr<demo::DisplayPainter> painter_;
  int side_;
  int x_ = 0, y_ = 0, dx_ = 9, dy_ = 6;
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  auto parsed = demo::parseArguments(arguments);
  if (!parsed) {
    std::fprintf(stderr, "tovarine-demo: %s\n%s", parsed.error().c_str(),
                 demo::usageText().c_str());
    return 2;
  }
  if (parsed->helpRequested) {
    std::fputs(demo::usageText().c_str(), stdout);
    return 0;
  }
  const demo::Options& options = parsed->options;
  FrameLineCounter frameLines;

  std::unique_ptr<demo::PrivateDisplay> privateDisplay;
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    auto started = demo::PrivateDisplay::start(kPrivateScreenWidth, kPrivateScreenHeight);
    if (!started) {
      say("no DISPLAY, and no X server of our own either: " + started.error());
      return 1;
    }
    privateDisplay = std::move(*started);
    say("no DISPLAY: using an X server of our own, " + privateDisplay->displayName());
  }

  streaming::companion::Options simulated;
  simulated.port = 0;
  simulated.name = options.name;
  simulated.width = options.width;
  simulated.height = options.height;
  simulated.ppi = options.ppi;
  streaming::companion::CompanionServer simulator(simulated);
  if (auto error = simulator.start()) {
    say("the companion simulator could not start: " + error.message());
    return 1;
  }
  say(fmt::format("companion simulator \"{}\" ({}x{} at {} ppi) on 127.0.0.1:{}", options.name,
                  options.width, options.height, options.ppi, simulator.port()));

  streaming::StartingScreenViewModel::Options road;
  road.windowControl = std::make_shared<ConsoleWindow>();
  road.port = simulator.port();
  road.hub = platform::TLUSBHub::make();  // loopback only: no USB devices in a demo
  auto coordinator = streaming::StartingScreenViewModel::make(std::move(road));
  auto states = coordinator->deviceStatus.sink([](const streaming::DeviceStatus& status) {
    say(fmt::format("state {}", describe(status)));
  });

  // Asked to end early, the demo winds down as at the end of its time.
  bool stopRequested = false;
  platform::onTerminationSignal([&stopRequested](int signal) {
    say(fmt::format("signal {}: ending early", signal));
    stopRequested = true;
  });

  const double start = platform::systemUptime();
  std::optional<double> streamingSince;
  std::unique_ptr<Animation> animation;
  while (!stopRequested && platform::systemUptime() - start < options.seconds) {
    platform::runMainUntil([] { return false; }, kAnimationInterval);
    if (coordinator->deviceStatus.get() != streaming::DeviceStatus::Connected) continue;
    if (!streamingSince) {
      streamingSince = platform::systemUptime();
      for (const auto& [key, entry] : coordinator->virtualScreen()->virtualDisplays()) {
        say(fmt::format("virtual display {} is up", entry.display->displayID()));
        if (!options.animate) break;
        if (auto painter = demo::DisplayPainter::open(entry.display->displayID())) {
          animation = std::make_unique<Animation>(std::move(*painter));
        } else {
          say("cannot draw on the display: " + painter.error());
        }
        break;
      }
    }
    if (animation) animation->step();
  }

  const double seconds = streamingSince ? platform::systemUptime() - *streamingSince : 0;
  const auto arrived = simulator.statistics();
  const auto frames = coordinator->frameStatistics();
  say(fmt::format("after {:.1f} s of streaming the device received {} images ({} good, {} bad), {}",
                  seconds, arrived.images, arrived.goodImages, arrived.badImages,
                  streaming::companion::CompanionServer::statisticsLine(
                      arrived.images, arrived.imageBytes, seconds)));
  say(fmt::format("pings answered: {}", arrived.pongs));
  say(fmt::format(
      "frames captured {}, sent {}, dropped while busy {}, too late {}, not encodable {}, "
      "not sent {}; {} size lines",
      frames.captured, frames.sent, frames.dropped, frames.stale, frames.unencodable, frames.unsent,
      frameLines.count()));

  animation.reset();
  say("the device hangs up");
  simulator.stop();
  const bool cleanedUp = platform::runMainUntil(
      [&] {
        return coordinator->deviceStatus.get() == streaming::DeviceStatus::Attached &&
               coordinator->virtualScreen()->virtualDisplays().empty();
      },
      5);
  say(cleanedUp ? "its display is gone" : "its display did not go away");
  states.cancel();
  coordinator.reset();
  platform::drainMainQueue();
  platform::releaseAllVirtualDisplays();

  const bool worked = arrived.goodImages > 0 && arrived.badImages == 0 && cleanedUp;
  say(worked ? "the road works" : "the road did not work");
  return worked ? 0 : 1;
}
