#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/dispatch_queue.h"

namespace platform {

// An operation queue of width one that runs its operations in order on an underlying dispatch
// queue (its own serial queue when none is given). Suspending holds operations back without
// losing them.
class OperationQueue {
 public:
  explicit OperationQueue(std::string name, DispatchQueuePtr underlyingQueue = nullptr);
  ~OperationQueue();

  const std::string& name() const;
  const DispatchQueuePtr& underlyingQueue() const;
  int maxConcurrentOperationCount() const { return 1; }

  void addOperation(std::function<void()> operation);
  void setSuspended(bool suspended);
  bool isSuspended() const;
  // Blocks until every queued operation has run. Must not be called from the underlying queue.
  void waitUntilAllOperationsAreFinished();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform
