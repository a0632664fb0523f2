#pragma once

// The shared HTTP test server, and a gate a handler can wait on until the test lets it go on.

#include "support/http_test_handlers.h"
#include "support/http_test_server.h"

#include <mutex>

namespace nettest {

using TestServer = testsupport::HttpTestServer;
using Gate = testsupport::Gate;

// A flag set from a server thread and read by the test.
class Flag {
 public:
  void set() {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  bool isSet() const {
    std::lock_guard lock(mutex_);
    return set_;
  }

 private:
  mutable std::mutex mutex_;
  bool set_ = false;
};

}  // namespace nettest
