#pragma once

// Waiting helpers for the integration tests: the main queue is drained while waiting, so
// completions delivered there (the default) run.

#include <functional>

#include "platform/dispatch/main_queue.h"
#include "support/http_test_handlers.h"

namespace halyardtest {

inline bool waitUntil(const std::function<bool()>& condition, double seconds = 10) {
  return platform::runMainUntil(condition, seconds);
}

using Gate = testsupport::Gate;

}  // namespace halyardtest
