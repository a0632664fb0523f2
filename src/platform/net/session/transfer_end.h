#pragma once

#include <curl/curl.h>

#include <memory>
#include <optional>

#include "platform/net/session/detail/once_handler.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session.h"

namespace platform::net_detail {

class TransferEngine;
struct Transfer;

// How a task ends: the one decision of how its transfer ended in libcurl and what follows, a
// cancel, an answer from the cache, and the end itself, with its metrics and completion told to
// the delegate. I/O thread only.
class TransferEnd {
 public:
  explicit TransferEnd(TransferEngine& engine) : engine_(engine) {}

  // The transfer ended in libcurl: one decision of how, and what follows from it.
  void onDone(Transfer& transfer, CURLcode result);
  // Ends the task: its metrics and completion go to the delegate, and the transfer leaves.
  void finish(Transfer& transfer, ErrorPtr error);
  // Ends the task without telling anyone: the session is gone.
  void finishQuietly(Transfer& transfer);
  // Answers the task with the response its cache lookup found.
  void serveFromCache(Transfer& transfer, const URLRequest& request);
  // What the task's transactions took, up to `end`; the easy handle is still the transfer's.
  URLSessionTaskMetrics metricsOf(Transfer& transfer, Date end);
  // The error a transfer fails with: `error`, with what a download could continue from.
  ErrorPtr failureOf(Transfer& transfer, const URLError& error);
  // Reading the upload's body failed.
  ErrorPtr bodyReadError(const Transfer& transfer);

  void cancel(const std::shared_ptr<URLSessionTask>& task, int closeCode = 1001,
              std::optional<Bytes> closeReason = std::nullopt);
  void cancelProducingResumeData(
      const std::shared_ptr<URLSessionTask>& task,
      const std::shared_ptr<OnceHandler<std::optional<Bytes>>>& handler);

 private:
  // The response is the task's: delivered, and the end reported or left for the disposition.
  void endWithResponse(Transfer& transfer);
  // libcurl failed the transfer: the task fails, or waits to try again for connectivity.
  void endWithFailure(Transfer& transfer, CURLcode result);
  // At a successful end: the stored body a response stands for, and the proposal to store.
  void completeFromCache(Transfer& transfer);

  TransferEngine& engine_;
};

}  // namespace platform::net_detail
