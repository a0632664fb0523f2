#pragma once

// An event monitor that records the name of every event it receives, and whether each arrived
// on the queue the monitor named.

#include <atomic>
#include <string>
#include <vector>

#include "halyard/core/event_monitor.h"
#include "support/recorder.h"

namespace halyardtest {

class RecordingMonitor : public halyard::EventMonitor {
 public:
  explicit RecordingMonitor(platform::DispatchQueuePtr queue = platform::DispatchQueue::main())
      : queue_(std::move(queue)) {}

  platform::DispatchQueuePtr queue() const override { return queue_; }

  std::vector<std::string> events() const { return events_.entries(); }
  bool contains(const std::string& event) const { return events_.contains(event); }
  // Every event arrived on the monitor's own queue.
  bool allOnQueue() const { return allOnQueue_; }

  void record(const std::string& event) {
    events_.add(event);
    if (!queue_->isCurrent()) allOnQueue_ = false;
  }

  void requestDidCreateInitialURLRequest(const std::shared_ptr<halyard::Request>&,
                                         const platform::URLRequest&) override {
    record("requestDidCreateInitialURLRequest");
  }
  void requestDidFailToCreateURLRequestWithError(const std::shared_ptr<halyard::Request>&,
                                                 const halyard::HalyardError&) override {
    record("requestDidFailToCreateURLRequestWithError");
  }
  void requestDidAdaptInitialRequestToAdaptedRequest(const std::shared_ptr<halyard::Request>&,
                                                     const platform::URLRequest&,
                                                     const platform::URLRequest&) override {
    record("requestDidAdaptInitialRequestToAdaptedRequest");
  }
  void requestDidFailToAdaptURLRequestWithError(const std::shared_ptr<halyard::Request>&,
                                                const platform::URLRequest&,
                                                const halyard::HalyardError&) override {
    record("requestDidFailToAdaptURLRequestWithError");
  }
  void requestDidCreateURLRequest(const std::shared_ptr<halyard::Request>&,
                                  const platform::URLRequest&) override {
    record("requestDidCreateURLRequest");
  }
  void requestDidCreateTask(const std::shared_ptr<halyard::Request>&,
                            const halyard::URLSessionTaskPtr&) override {
    record("requestDidCreateTask");
  }
  void requestDidGatherMetrics(const std::shared_ptr<halyard::Request>&,
                               const halyard::TaskMetricsPtr&) override {
    record("requestDidGatherMetrics");
  }
  void requestDidCompleteTaskWithError(const std::shared_ptr<halyard::Request>&,
                                       const halyard::URLSessionTaskPtr&,
                                       const std::optional<halyard::HalyardError>&) override {
    record("requestDidCompleteTaskWithError");
  }
  void requestIsRetrying(const std::shared_ptr<halyard::Request>&) override {
    record("requestIsRetrying");
  }
  void requestDidFinish(const std::shared_ptr<halyard::Request>&) override {
    record("requestDidFinish");
  }
  void requestDidResume(const std::shared_ptr<halyard::Request>&) override {
    record("requestDidResume");
  }
  void requestDidResumeTask(const std::shared_ptr<halyard::Request>&,
                            const halyard::URLSessionTaskPtr&) override {
    record("requestDidResumeTask");
  }
  void requestDidSuspend(const std::shared_ptr<halyard::Request>&) override {
    record("requestDidSuspend");
  }
  void requestDidSuspendTask(const std::shared_ptr<halyard::Request>&,
                             const halyard::URLSessionTaskPtr&) override {
    record("requestDidSuspendTask");
  }
  void requestDidCancel(const std::shared_ptr<halyard::Request>&) override {
    record("requestDidCancel");
  }
  void requestDidCancelTask(const std::shared_ptr<halyard::Request>&,
                            const halyard::URLSessionTaskPtr&) override {
    record("requestDidCancelTask");
  }
  void requestDidValidateRequestResponseDataWithResult(const std::shared_ptr<halyard::DataRequest>&,
                                                       const std::optional<platform::URLRequest>&,
                                                       const platform::HTTPURLResponsePtr&,
                                                       const std::optional<platform::Bytes>&,
                                                       const halyard::ValidationResult&) override {
    record("requestDidValidateRequestResponseDataWithResult");
  }
  void requestDidParseResponse(
      const std::shared_ptr<halyard::DataRequest>&,
      const halyard::DataResponse<std::optional<platform::Bytes>>&) override {
    record("requestDidParseResponse");
  }
  void requestDidParseResponseValue(const std::shared_ptr<halyard::DataRequest>&,
                                    const halyard::DataResponse<halyard::AnyValue>&) override {
    record("requestDidParseResponseValue");
  }
  void taskDidFinishCollectingMetrics(const halyard::URLSessionPtr&,
                                      const halyard::URLSessionTaskPtr&,
                                      const halyard::TaskMetricsPtr&) override {
    record("taskDidFinishCollectingMetrics");
  }
  void taskDidComplete(const halyard::URLSessionPtr&, const halyard::URLSessionTaskPtr&,
                       const platform::ErrorPtr&) override {
    record("taskDidComplete");
  }
  void dataTaskDidReceiveResponse(const halyard::URLSessionPtr&,
                                  const halyard::URLSessionDataTaskPtr&,
                                  const platform::URLResponsePtr&) override {
    record("dataTaskDidReceiveResponse");
  }
  void dataTaskDidReceiveData(const halyard::URLSessionPtr&, const halyard::URLSessionDataTaskPtr&,
                              const platform::Bytes&) override {
    record("dataTaskDidReceiveData");
  }
  void sessionDidBecomeInvalidWithError(const halyard::URLSessionPtr&,
                                        const platform::ErrorPtr&) override {
    record("sessionDidBecomeInvalidWithError");
  }
  void requestDidCreateUploadable(const std::shared_ptr<halyard::UploadRequest>&,
                                  const std::shared_ptr<const halyard::Uploadable>&) override {
    record("requestDidCreateUploadable");
  }
  void requestDidFailToCreateUploadableWithError(const std::shared_ptr<halyard::UploadRequest>&,
                                                 const halyard::HalyardError&) override {
    record("requestDidFailToCreateUploadableWithError");
  }
  void requestDidProvideInputStream(const std::shared_ptr<halyard::UploadRequest>&,
                                    const halyard::InputStreamPtr&) override {
    record("requestDidProvideInputStream");
  }
  void requestDidFinishDownloadingUsingTaskWithResult(
      const std::shared_ptr<halyard::DownloadRequest>&, const halyard::URLSessionTaskPtr&,
      const std::expected<platform::URL, halyard::HalyardError>&) override {
    record("requestDidFinishDownloadingUsingTaskWithResult");
  }
  void requestDidCreateDestinationURL(const std::shared_ptr<halyard::DownloadRequest>&,
                                      const platform::URL&) override {
    record("requestDidCreateDestinationURL");
  }
  void requestDidValidateRequestResponseFileURLWithResult(
      const std::shared_ptr<halyard::DownloadRequest>&, const std::optional<platform::URLRequest>&,
      const platform::HTTPURLResponsePtr&, const std::optional<platform::URL>&,
      const halyard::ValidationResult&) override {
    record("requestDidValidateRequestResponseFileURLWithResult");
  }

 private:
  platform::DispatchQueuePtr queue_;
  testsupport::Recorder<std::string> events_;
  std::atomic<bool> allOnQueue_ = true;  // only ever goes from true to false
};

}  // namespace halyardtest
