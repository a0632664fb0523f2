#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/foundation/async_executor.h"

namespace platform {

// Quality of service of the global concurrent queues. `userInteractive` and `userInitiated`
// share the high-priority lane; the others share the default lane.
enum class QoS { background, utility, defaultQoS, userInitiated, userInteractive };

// A block of work that can be cancelled before it runs. Running a cancelled item does nothing.
class DispatchWorkItem {
 public:
  explicit DispatchWorkItem(std::function<void()> block);

  void perform();
  void cancel() { cancelled_.store(true, std::memory_order_release); }
  bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }

 private:
  std::function<void()> block_;
  std::atomic<bool> cancelled_{false};
};

class QueueEngine;

// A dispatch queue: serial (one item at a time, in submission order) or concurrent.
//
// A queue created with a target queue never runs on its own threads: whenever it has work it
// submits one drain of itself to the target, so a serial queue targeting another serial queue
// never overlaps with it or with any other queue targeting it.
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue>, public AsyncExecutor {
 public:
  enum class Attributes { serial, concurrent };

  static std::shared_ptr<DispatchQueue> make(std::string label,
                                             Attributes attributes = Attributes::serial,
                                             std::shared_ptr<DispatchQueue> target = nullptr,
                                             QoS qos = QoS::defaultQoS);
  static std::shared_ptr<DispatchQueue> serial(std::string label,
                                               std::shared_ptr<DispatchQueue> target = nullptr) {
    return make(std::move(label), Attributes::serial, std::move(target));
  }
  static std::shared_ptr<DispatchQueue> concurrent(std::string label) {
    return make(std::move(label), Attributes::concurrent);
  }

  // The main queue: a serial queue drained by whichever driver runs the main loop (the Qt
  // event loop in the application, `runMainUntil` in tests and headless tools).
  static std::shared_ptr<DispatchQueue> main();
  // The shared concurrent queues.
  static std::shared_ptr<DispatchQueue> global(QoS qos = QoS::defaultQoS);

  virtual ~DispatchQueue();

  const std::string& label() const { return label_; }
  Attributes attributes() const { return attributes_; }
  const std::shared_ptr<DispatchQueue>& target() const { return target_; }

  void async(std::function<void()> work);
  void async(std::shared_ptr<DispatchWorkItem> item);
  void execute(std::function<void()> work) override { async(std::move(work)); }

  // Runs `work` on this queue and waits for it. Calling it from the queue itself (or from a
  // queue it targets into) deadlocks, as on every dispatch implementation; this one stops the
  // program with a message instead.
  void sync(const std::function<void()>& work);
  template <class F>
  requires(!std::is_void_v<std::invoke_result_t<F>>) auto sync(F&& f) -> std::invoke_result_t<F> {
    std::optional<std::invoke_result_t<F>> result;
    sync(std::function<void()>([&] { result.emplace(f()); }));
    return std::move(*result);
  }

  // Runs `work` on this queue after `seconds` (one timer thread serves every queue; the main
  // queue under virtual time uses the virtual clock instead).
  void asyncAfter(double seconds, std::function<void()> work);
  void asyncAfter(double seconds, std::shared_ptr<DispatchWorkItem> item);

  // True while the calling thread runs an item of this queue, directly or through a queue
  // that targets it.
  bool isCurrent() const;

  // Stops the program when the caller is not on this queue (or is, for the negated form).
  void dispatchPrecondition(bool onQueue = true) const;

 protected:
  DispatchQueue(std::string label, Attributes attributes, std::shared_ptr<DispatchQueue> target);

 private:
  friend class QueueEngine;
  std::string label_;
  Attributes attributes_;
  std::shared_ptr<DispatchQueue> target_;
  std::shared_ptr<QueueEngine> engine_;
};

using DispatchQueuePtr = std::shared_ptr<DispatchQueue>;

}  // namespace platform
