#pragma once

// A recording delegate that also records the upload and download callbacks: body bytes sent,
// the body stream handed over, bytes written to a download's file, continuations, and the
// file itself as it was when the download finished.

#include <fstream>
#include <sstream>

#include "platform/foundation/input_stream.h"
#include "platform/net/support/recording_delegate.h"

namespace nettest {

struct SendReport {
  std::int64_t step, total, expected;
};
struct WriteReport {
  std::int64_t step, total, expected;
};

struct TransferRecord {
  std::vector<std::string> events;  // "sent", "stream", "resume", "write", "finished"
  std::vector<SendReport> sent;
  std::vector<WriteReport> writes;
  std::optional<std::pair<std::int64_t, std::int64_t>> resumedAt;
  std::optional<platform::URL> location;
  std::string fileContents;  // the downloaded file, read inside the callback
  std::int64_t sentBeforeResponse = -1;
};

class TransferDelegate : public RecordingDelegate {
 public:
  // What `needNewBodyStream` hands over (called once per request for a stream).
  std::function<platform::InputStreamPtr()> bodyStream;
  // Called inside `didFinishDownloadingToURL`, e.g. to move the file away.
  std::function<void(const platform::URL&)> onFinished;
  // Called after each `didWriteData` has been recorded.
  std::function<void()> onWrite;

  void didReceiveResponse(const SessionPtr& session, const DataTaskPtr& task,
                          const platform::URLResponsePtr& response,
                          std::function<void(Disposition)> completionHandler) override {
    {
      std::lock_guard lock(mutex_);
      auto& r = transfers_[task->taskIdentifier()];
      r.sentBeforeResponse = r.sent.empty() ? 0 : r.sent.back().total;
    }
    RecordingDelegate::didReceiveResponse(session, task, response, std::move(completionHandler));
  }
  void didSendBodyData(const SessionPtr&, const TaskPtr& task, std::int64_t step,
                       std::int64_t total, std::int64_t expected) override {
    std::lock_guard lock(mutex_);
    auto& r = transfers_[task->taskIdentifier()];
    r.events.push_back("sent");
    r.sent.push_back({step, total, expected});
  }
  void needNewBodyStream(const SessionPtr&, const TaskPtr& task,
                         std::function<void(platform::InputStreamPtr)> handler) override {
    {
      std::lock_guard lock(mutex_);
      transfers_[task->taskIdentifier()].events.push_back("stream");
    }
    handler(bodyStream ? bodyStream() : nullptr);
  }
  void didWriteData(const SessionPtr&, const DownloadTaskPtr& task, std::int64_t step,
                    std::int64_t total, std::int64_t expected) override {
    {
      std::lock_guard lock(mutex_);
      auto& r = transfers_[task->taskIdentifier()];
      if (r.events.empty() || r.events.back() != "write") r.events.push_back("write");
      r.writes.push_back({step, total, expected});
    }
    if (onWrite) onWrite();
  }
  void didResumeAtOffset(const SessionPtr&, const DownloadTaskPtr& task, std::int64_t offset,
                         std::int64_t expected) override {
    std::lock_guard lock(mutex_);
    auto& r = transfers_[task->taskIdentifier()];
    r.events.push_back("resume");
    r.resumedAt = {offset, expected};
  }
  void didFinishDownloadingToURL(const SessionPtr&, const DownloadTaskPtr& task,
                                 const platform::URL& location) override {
    std::stringstream contents;
    contents << std::ifstream(location.path(), std::ios::binary).rdbuf();
    if (onFinished) onFinished(location);
    std::lock_guard lock(mutex_);
    auto& r = transfers_[task->taskIdentifier()];
    r.events.push_back("finished");
    r.location = location;
    r.fileContents = contents.str();
  }

  TransferRecord transfer(std::uint64_t taskIdentifier) const {
    std::lock_guard lock(mutex_);
    auto it = transfers_.find(taskIdentifier);
    return it == transfers_.end() ? TransferRecord{} : it->second;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::uint64_t, TransferRecord> transfers_;
};

}  // namespace nettest
