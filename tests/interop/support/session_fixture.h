#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "halyard/core/session.h"
#include "interop/support/interop_servers.h"
#include "platform/dispatch/main_queue.h"

namespace interop {

// A test against the system's servers, with the sessions it made ended before the next test:
// their I/O threads end before the process does, with what OpenSSL keeps for each.
class SessionsTest : public testing::Test {
 protected:
  void TearDown() override {
    for (const auto& made : sessions_) {
      made->session()->invalidateAndCancel();
      EXPECT_TRUE(platform::runMainUntil([&] { return !made->session()->delegate(); }, 20));
    }
    sessions_.clear();
  }

  std::vector<std::shared_ptr<halyard::Session>> sessions_;
  Servers& servers = Servers::shared();
};

}  // namespace interop
