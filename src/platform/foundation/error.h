#pragma once

#include <atomic>
#include <exception>
#include <memory>
#include <string>

namespace platform {

// The base of every error that crosses a layer ("any error"). Errors travel either thrown or
// held as `ErrorPtr`; both forms answer the same two texts.
class Error : public std::exception {
 public:
  ~Error() override = default;

  // The text shown to a user. Subclasses give their own; the base says only that something
  // failed.
  virtual std::string localizedDescription() const;
  // A text for logs and tests: the localized description unless a subclass knows more.
  virtual std::string debugDescription() const;

  // The localized description, computed once per object on first use.
  const char* what() const noexcept override;

 protected:
  Error() = default;
  Error(const Error& other) : std::exception(other) {}
  Error& operator=(const Error&) { return *this; }

 private:
  mutable std::atomic<std::shared_ptr<const std::string>> what_;
};

// An error held by value somewhere (a task, a request, a result). Shared and immutable, so it
// can be passed between queues freely.
using ErrorPtr = std::shared_ptr<const Error>;

// Wraps a copy of `error` (of its dynamic type when it is `E`) into an `ErrorPtr`.
template <class E>
ErrorPtr makeError(E error) {
  return std::make_shared<const E>(std::move(error));
}

}  // namespace platform
