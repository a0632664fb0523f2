#pragma once

#include <stdexcept>

#include "platform/concurrency/task.h"
#include "platform/dispatch/main_queue.h"

namespace platform {

// For tests and headless tools: drains the main queue until `task` has ended, then gives its
// value or rethrows its exception. Throws `std::runtime_error` when it has not ended in time.
template <class T>
T waitFor(const Task<T>& task, double timeoutSeconds = 5.0) {
  if (!runMainUntil([&] { return task.isFinished(); }, timeoutSeconds)) {
    throw std::runtime_error("task did not end in time");
  }
  return task.result();
}

}  // namespace platform
