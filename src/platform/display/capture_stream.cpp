#include "platform/display/capture_stream.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/display/capture_backend.h"
#include "platform/display/compositor_capture.h"
#include "platform/display/display_backends.h"
#include "platform/display/display_error.h"
#include "platform/display/sigpipe_guard.h"
#include "platform/foundation/log.h"

namespace platform {

namespace {

// An eventfd that wakes the capture thread (to stop, or because a buffer came back).
class Wakeup {
 public:
  Wakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Wakeup() {
    if (fd_ >= 0) close(fd_);
  }
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;
  int fd() const { return fd_; }
  void signal() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = write(fd_, &one, sizeof one);
  }
  void drain() const {
    std::uint64_t count = 0;
    [[maybe_unused]] auto got = read(fd_, &count, sizeof count);
  }

 private:
  int fd_;
};

// A display a Wayland compositor shows is captured through that compositor; any other is a
// display of the desktop's display server.
std::unique_ptr<CaptureBackend> chooseBackend(DisplayID id, CaptureBackendContext context) {
  if (auto source = CompositorDisplays::shared().find(id)) {
    return source->makeCapture(std::move(context));
  }
  return displayServer().makeCapture(id, std::move(context));
}

}  // namespace

struct CaptureStream::Engine : std::enable_shared_from_this<CaptureStream::Engine> {
  struct OutputEntry {
    std::shared_ptr<CaptureStreamOutput> output;
    DispatchQueuePtr queue;
  };

  Engine(ContentFilter f, StreamConfiguration c, std::weak_ptr<CaptureStreamDelegate> d)
      : filter(f), configuration(std::move(c)), delegate(std::move(d)) {}

  const ContentFilter filter;
  const StreamConfiguration configuration;
  const std::weak_ptr<CaptureStreamDelegate> delegate;
  std::weak_ptr<CaptureStream> stream;

  std::mutex mutex;
  std::condition_variable condition;
  std::vector<OutputEntry> outputs;
  std::thread thread;
  bool started = false;
  bool completionReturned = false;
  std::atomic<bool> stopRequested{false};
  std::shared_ptr<Wakeup> wakeup;

  void run(std::function<void(ErrorPtr)> completion);
  void requestStop();
  void deliver(const std::shared_ptr<SampleBuffer>& sample);
  void endedWithError(const ErrorPtr& error);
};

std::uint32_t capturePoolBufferCount(std::uint32_t width, std::uint32_t height,
                                     std::uint32_t queueDepth) {
  const std::uint64_t frameBytes = std::uint64_t{width} * height * 4;
  const std::uint64_t fitting = frameBytes == 0 ? queueDepth : kMaxCapturePoolBytes / frameBytes;
  const std::uint64_t floor = std::min<std::uint64_t>(queueDepth, 2);
  return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(fitting, floor, queueDepth));
}

void CaptureStream::Engine::deliver(const std::shared_ptr<SampleBuffer>& sample) {
  std::vector<OutputEntry> targets;
  {
    std::lock_guard lock(mutex);
    targets = outputs;
  }
  for (auto& target : targets) {
    target.queue->async([weakStream = stream, output = target.output, sample] {
      // A released stream delivers nothing more.
      if (auto owner = weakStream.lock()) {
        output->didOutputSampleBuffer(*owner, sample, StreamOutputType::screen);
      }
    });
  }
}

void CaptureStream::Engine::endedWithError(const ErrorPtr& error) {
  if (delegate.expired()) {
    log("Screen capture stopped: " + error->localizedDescription());
    return;
  }
  DispatchQueue::global()->async([weakDelegate = delegate, weakStream = stream, error] {
    auto target = weakDelegate.lock();
    auto owner = weakStream.lock();
    if (target && owner) target->didStopWithError(*owner, error);
  });
}

void CaptureStream::Engine::requestStop() {
  std::shared_ptr<Wakeup> toSignal;
  {
    std::lock_guard lock(mutex);
    stopRequested.store(true);
    toSignal = wakeup;
  }
  condition.notify_all();
  if (toSignal) toSignal->signal();
}

void CaptureStream::Engine::run(std::function<void(ErrorPtr)> completion) {
  pthread_setname_np(pthread_self(), "tovarine-captur");
  SigpipeGuard guard;  // for the thread's whole life
  auto backend = chooseBackend(
      filter.display().displayID(),
      {configuration, wakeup->fd(), [w = wakeup] { w->drain(); }, [w = wakeup] { w->signal(); },
       &stopRequested, [this](const std::shared_ptr<SampleBuffer>& sample) { deliver(sample); }});
  ErrorPtr error = backend->setUp();

  // Nothing is captured before the completion has returned, so whoever starts the stream can
  // get ready for samples there.
  DispatchQueue::global()->async([self = shared_from_this(), completion, error] {
    if (completion) completion(error);
    {
      std::lock_guard lock(self->mutex);
      self->completionReturned = true;
    }
    self->condition.notify_all();
  });
  if (error) return;
  {
    std::unique_lock lock(mutex);
    condition.wait(lock, [&] { return completionReturned || stopRequested.load(); });
  }
  if (stopRequested.load()) return;
  if (auto ended = backend->loop()) endedWithError(ended);
}

std::shared_ptr<CaptureStream> CaptureStream::make(ContentFilter filter,
                                                   StreamConfiguration configuration,
                                                   std::weak_ptr<CaptureStreamDelegate> delegate) {
  std::shared_ptr<CaptureStream> stream(
      new CaptureStream(filter, std::move(configuration), std::move(delegate)));
  stream->engine_->stream = stream;
  return stream;
}

CaptureStream::CaptureStream(ContentFilter filter, StreamConfiguration configuration,
                             std::weak_ptr<CaptureStreamDelegate> delegate)
    : engine_(std::make_shared<Engine>(filter, std::move(configuration), std::move(delegate))) {}

CaptureStream::~CaptureStream() {
  engine_->requestStop();
  if (engine_->thread.joinable()) {
    if (engine_->thread.get_id() == std::this_thread::get_id()) {
      engine_->thread.detach();
    } else {
      engine_->thread.join();
    }
  }
}

const ContentFilter& CaptureStream::filter() const {
  return engine_->filter;
}
const StreamConfiguration& CaptureStream::configuration() const {
  return engine_->configuration;
}

void CaptureStream::addStreamOutput(std::shared_ptr<CaptureStreamOutput> output,
                                    StreamOutputType type, DispatchQueuePtr sampleHandlerQueue) {
  if (!output) throw DisplayError("A stream output is required");
  if (type != StreamOutputType::screen) throw DisplayError("Audio cannot be captured on X");
  if (!sampleHandlerQueue) {
    sampleHandlerQueue = DispatchQueue::serial("platform.display.captureStream.samples");
  }
  std::lock_guard lock(engine_->mutex);
  if (engine_->started) throw DisplayError("Outputs cannot be added while the stream captures");
  engine_->outputs.push_back({std::move(output), std::move(sampleHandlerQueue)});
}

void CaptureStream::startCapture(std::function<void(ErrorPtr)> completion) {
  std::lock_guard lock(engine_->mutex);
  if (engine_->started) {
    DispatchQueue::global()->async([completion] {
      if (completion) completion(displayError("The stream is already capturing"));
    });
    return;
  }
  auto wakeup = std::make_shared<Wakeup>();
  if (wakeup->fd() < 0) {
    DispatchQueue::global()->async([completion] {
      if (completion) completion(displayError("Cannot make an event descriptor"));
    });
    return;
  }
  engine_->started = true;
  engine_->wakeup = std::move(wakeup);
  engine_->thread = std::thread([engine = engine_, completion = std::move(completion)]() mutable {
    engine->run(std::move(completion));
  });
}

}  // namespace platform
