#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {

// Ends a subscription when destroyed or cancelled. Movable, not copyable.
class Cancellable {
 public:
  Cancellable() = default;
  explicit Cancellable(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
  Cancellable(Cancellable&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
  Cancellable& operator=(Cancellable&& other) noexcept {
    if (this != &other) {
      cancel();
      cancel_ = std::exchange(other.cancel_, nullptr);
    }
    return *this;
  }
  Cancellable(const Cancellable&) = delete;
  Cancellable& operator=(const Cancellable&) = delete;
  ~Cancellable() { cancel(); }

  void cancel() {
    if (auto c = std::exchange(cancel_, nullptr)) c();
  }

 private:
  std::function<void()> cancel_;
};

// A thread-safe list of subscribers. Sending copies the list first, so a subscriber may
// subscribe or cancel (itself included) while it runs; one cancelled during a send is not
// called afterwards.
template <class... Args>
class Signal {
 public:
  using Handler = std::function<void(const Args&...)>;

  Signal() : state_(std::make_shared<State>()) {}
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;

  [[nodiscard]] Cancellable subscribe(Handler handler) {
    auto entry = std::make_shared<Entry>(Entry{std::move(handler), true});
    {
      std::lock_guard lock(state_->mutex);
      state_->entries.push_back(entry);
    }
    std::weak_ptr<State> weakState = state_;
    std::weak_ptr<Entry> weakEntry = entry;
    return Cancellable([weakState, weakEntry] {
      auto s = weakState.lock();
      auto e = weakEntry.lock();
      if (!s || !e) return;
      std::lock_guard lock(s->mutex);
      e->active = false;
      std::erase(s->entries, e);
    });
  }

  void send(const Args&... args) const {
    std::vector<std::shared_ptr<Entry>> entries;
    {
      std::lock_guard lock(state_->mutex);
      entries = state_->entries;
    }
    for (const auto& e : entries) {
      bool active;
      {
        std::lock_guard lock(state_->mutex);
        active = e->active;
      }
      if (active) e->handler(args...);
    }
  }

 private:
  struct Entry {
    Handler handler;
    bool active;
  };
  struct State {
    std::mutex mutex;
    std::vector<std::shared_ptr<Entry>> entries;
  };
  std::shared_ptr<State> state_;
};

// An object whose published properties announce each change before it happens, as view models
// do for the screens that draw them.
class ObservableObject {
 public:
  virtual ~ObservableObject() = default;
  Signal<>& objectWillChange() { return objectWillChange_; }

 private:
  Signal<> objectWillChange_;
};

// A property of an observable object: setting it first sends the owner's objectWillChange,
// then stores the value, then tells the property's own subscribers the new value. Read and
// written on one thread (the main queue for view models).
template <class T>
class Published {
 public:
  Published(ObservableObject& owner, T initial) : owner_(owner), value_(std::move(initial)) {}
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  const T& get() const { return value_; }
  operator const T&() const { return value_; }

  void set(T value) {
    owner_.objectWillChange().send();
    value_ = std::move(value);
    didSet_.send(value_);
  }
  Published& operator=(T value) {
    set(std::move(value));
    return *this;
  }

  // Calls `handler` with the current value at once, then with every new value.
  [[nodiscard]] Cancellable sink(std::function<void(const T&)> handler) {
    handler(value_);
    return didSet_.subscribe(std::move(handler));
  }

 private:
  ObservableObject& owner_;
  T value_;
  Signal<T> didSet_;
};

}  // namespace platform
