#pragma once

// A delegate slower than the network, never asleep: it sums each chunk a few times over before it
// returns, so its data tasks are held at the bound of undelivered bytes and let go each time it
// catches up. It counts what each task received and how each ended.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/net/url_session.h"

namespace testsupport {

class SlowDataDelegate : public platform::URLSessionDelegate {
 public:
  void didReceiveData(const SessionPtr&, const DataTaskPtr& task,
                      const platform::Bytes& data) override {
    std::uint64_t sum = 0;
    for (int pass = 0; pass < 6; ++pass) {
      for (std::uint8_t byte : data)
        sum = sum * 31 + byte;
    }
    sink_ += sum;
    std::lock_guard lock(mutex_);
    received_[task->taskIdentifier()] += data.size();
  }
  void didCompleteWithError(const SessionPtr&, const TaskPtr& task,
                            platform::ErrorPtr error) override {
    std::lock_guard lock(mutex_);
    completed_[task->taskIdentifier()] = error ? error->debugDescription() : "ok";
  }
  std::size_t completed() const {
    std::lock_guard lock(mutex_);
    return completed_.size();
  }
  std::string outcome(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    auto it = completed_.find(id);
    return it == completed_.end() ? "running" : it->second;
  }
  std::size_t received(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    auto it = received_.find(id);
    return it == received_.end() ? 0 : it->second;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::uint64_t, std::size_t> received_;
  std::map<std::uint64_t, std::string> completed_;
  std::atomic<std::uint64_t> sink_{0};
};

}  // namespace testsupport
