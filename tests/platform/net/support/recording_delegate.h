#pragma once

// A URL-session delegate that records every callback, for integration tests. Callbacks arrive
// on the main queue (the tests' delegate queue runs there), so tests read the record after
// draining the main queue.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session.h"

namespace nettest {

struct TaskRecord {
  std::vector<std::string> events;  // "created", "response", "data", "metrics", "complete"
  platform::URLResponsePtr response;
  platform::Bytes body;
  int metricsCount = 0;
  platform::URLSessionTaskMetrics metrics;
  bool completed = false;
  platform::ErrorPtr error;
  bool waiting = false;
  std::string body_text() const { return std::string(body.begin(), body.end()); }
};

class RecordingDelegate : public platform::URLSessionDelegate {
 public:
  using Disposition = platform::URLSessionDelegate::ResponseDisposition;
  enum class Answer { allow, cancel, hold, drop };

  // How `didReceiveResponse` answers: at once (allow/cancel), later (hold: the handler is kept
  // for `release`), or never (drop: the handler is thrown away).
  Answer answer = Answer::allow;
  // Called inside `didReceiveResponse`, before answering.
  std::function<void(const TaskPtr&)> onResponse;
  // Called inside `didReceiveData`.
  std::function<void(const DataTaskPtr&, const platform::Bytes&)> onData;

  void didBecomeInvalidWithError(const SessionPtr&, platform::ErrorPtr) override {
    std::lock_guard lock(mutex_);
    sessionEvents_.push_back("invalid");
  }
  void didCreateTask(const SessionPtr&, const TaskPtr& task) override { add(task, "created"); }
  void taskIsWaitingForConnectivity(const SessionPtr&, const TaskPtr& task) override {
    std::lock_guard lock(mutex_);
    auto& r = records_[task->taskIdentifier()];
    r.events.push_back("waiting");
    r.waiting = true;
  }
  void didFinishCollectingMetrics(const SessionPtr&, const TaskPtr& task,
                                  const platform::URLSessionTaskMetrics& metrics) override {
    std::lock_guard lock(mutex_);
    auto& r = records_[task->taskIdentifier()];
    r.events.push_back("metrics");
    r.metricsCount++;
    r.metrics = metrics;
  }
  void didCompleteWithError(const SessionPtr&, const TaskPtr& task,
                            platform::ErrorPtr error) override {
    std::lock_guard lock(mutex_);
    auto& r = records_[task->taskIdentifier()];
    r.events.push_back("complete");
    r.completed = true;
    r.error = std::move(error);
    sessionEvents_.push_back("complete");
  }
  void didReceiveResponse(const SessionPtr&, const DataTaskPtr& task,
                          const platform::URLResponsePtr& response,
                          std::function<void(Disposition)> completionHandler) override {
    {
      std::lock_guard lock(mutex_);
      auto& r = records_[task->taskIdentifier()];
      r.events.push_back("response");
      r.response = response;
    }
    if (onResponse) onResponse(task);
    switch (answer) {
      case Answer::allow:
        completionHandler(Disposition::allow);
        break;
      case Answer::cancel:
        completionHandler(Disposition::cancel);
        break;
      case Answer::hold: {
        std::lock_guard lock(mutex_);
        held_[task->taskIdentifier()] = std::move(completionHandler);
        break;
      }
      case Answer::drop:
        break;
    }
  }
  void didReceiveData(const SessionPtr&, const DataTaskPtr& task,
                      const platform::Bytes& data) override {
    {
      std::lock_guard lock(mutex_);
      auto& r = records_[task->taskIdentifier()];
      if (r.events.empty() || r.events.back() != "data") r.events.push_back("data");
      r.body.insert(r.body.end(), data.begin(), data.end());
    }
    if (onData) onData(task, data);
  }

  // Answers a held response.
  void release(std::uint64_t taskIdentifier, Disposition disposition) {
    std::function<void(Disposition)> handler;
    {
      std::lock_guard lock(mutex_);
      handler = std::move(held_[taskIdentifier]);
      held_.erase(taskIdentifier);
    }
    if (handler) handler(disposition);
  }
  bool isHolding(std::uint64_t taskIdentifier) const {
    std::lock_guard lock(mutex_);
    return held_.count(taskIdentifier) > 0;
  }

  TaskRecord record(std::uint64_t taskIdentifier) const {
    std::lock_guard lock(mutex_);
    auto it = records_.find(taskIdentifier);
    return it == records_.end() ? TaskRecord{} : it->second;
  }
  bool isComplete(std::uint64_t taskIdentifier) const { return record(taskIdentifier).completed; }
  std::vector<std::string> sessionEvents() const {
    std::lock_guard lock(mutex_);
    return sessionEvents_;
  }
  // The session told it became invalid.
  bool invalidated() const {
    std::lock_guard lock(mutex_);
    return !sessionEvents_.empty() && sessionEvents_.back() == "invalid";
  }

 private:
  void add(const TaskPtr& task, const char* event) {
    std::lock_guard lock(mutex_);
    records_[task->taskIdentifier()].events.push_back(event);
  }

  mutable std::mutex mutex_;
  std::map<std::uint64_t, TaskRecord> records_;
  std::map<std::uint64_t, std::function<void(Disposition)>> held_;
  std::vector<std::string> sessionEvents_;
};

// The error as a URL error, or null when it is none.
inline const platform::URLError* urlError(const platform::ErrorPtr& error) {
  return dynamic_cast<const platform::URLError*>(error.get());
}

// A delegate queue that runs on the main queue, so `runMainUntil` delivers the callbacks.
inline std::shared_ptr<platform::OperationQueue> mainDelegateQueue() {
  return std::make_shared<platform::OperationQueue>("test.delegate",
                                                    platform::DispatchQueue::main());
}

}  // namespace nettest
