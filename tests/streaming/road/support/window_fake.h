#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "streaming/starting_screen_view_model.h"

namespace streaming::road {

// A main window that only remembers what was done to it. Like a real one, a minimised window
// comes back only when asked to restore.
class WindowFake : public WindowControl {
 public:
  void minimize() override {
    std::lock_guard lock(mutex_);
    calls_.push_back("minimize");
    minimised_ = true;
  }
  void restore() override {
    std::lock_guard lock(mutex_);
    calls_.push_back("restore");
    minimised_ = false;
  }

  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  bool minimised() const {
    std::lock_guard lock(mutex_);
    return minimised_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  bool minimised_ = false;
};

}  // namespace streaming::road
