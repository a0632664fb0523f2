#pragma once

#include <functional>
#include <memory>

namespace platform {

// Something that runs work later, on threads of its own. The ground's services hand work on
// through it (an observer's handler, for one); the dispatch queues implement it, so the ground
// stands on nothing above it.
class AsyncExecutor {
 public:
  virtual ~AsyncExecutor() = default;
  virtual void execute(std::function<void()> work) = 0;
};

using AsyncExecutorPtr = std::shared_ptr<AsyncExecutor>;

}  // namespace platform
