#pragma once

// A stand-in for the session a request talks to: scripted retry answers, and a record of what
// the request asked.

#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "halyard/core/request.h"
#include "halyard/core/request_delegate.h"
#include "support/recorder.h"

namespace halyardtest {

class FakeRequestDelegate : public halyard::RequestDelegate {
 public:
  bool immediately = false;

  void answerRetriesWith(std::vector<halyard::RetryResult> answers) {
    std::lock_guard lock(mutex_);
    answers_.assign(answers.begin(), answers.end());
  }
  std::vector<std::optional<double>> retries() const { return retries_.entries(); }
  int decisions() const {
    std::lock_guard lock(mutex_);
    return decisions_;
  }
  int cleanUps() const {
    std::lock_guard lock(mutex_);
    return cleanUps_;
  }

  const platform::URLSessionConfiguration& urlConfiguration() const override {
    return configuration_;
  }
  bool startsImmediately() const override { return immediately; }
  void cleanUpAfterRequest(const halyard::RequestPtr&) override {
    std::lock_guard lock(mutex_);
    ++cleanUps_;
  }
  void decideRetryForRequest(const halyard::RequestPtr& request, const halyard::HalyardError&,
                             halyard::RetryCompletion completion) override {
    halyard::RetryResult answer = halyard::RetryResult::doNotRetry();
    {
      std::lock_guard lock(mutex_);
      ++decisions_;
      if (!answers_.empty()) {
        answer = answers_.front();
        answers_.pop_front();
      }
    }
    request->underlyingQueue()->async([completion, answer] { completion(answer); });
  }
  void retryRequestAfterDelay(const halyard::RequestPtr&, std::optional<double> delay) override {
    retries_.add(delay);
  }

 private:
  platform::URLSessionConfiguration configuration_ =
      platform::URLSessionConfiguration::defaultConfiguration();
  mutable std::mutex mutex_;
  std::deque<halyard::RetryResult> answers_;
  testsupport::Recorder<std::optional<double>> retries_;
  int decisions_ = 0;
  int cleanUps_ = 0;
};

}  // namespace halyardtest
