#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>

#include "platform/net/url_session.h"

namespace platform::net_detail {

class TransferEngine;
struct TaskSource;
struct Transfer;

// How a transfer's requests go out: the first one set up from the task (its URL, the cache's
// say, headers, method and body, or a web socket's connection), each next one (a redirect, a
// replay) on a fresh handle, the upload's body stream asked of the delegate, and the body sent
// told to it. I/O thread only.
class TransferSetup {
 public:
  explicit TransferSetup(TransferEngine& engine) : engine_(engine) {}

  void setUp(Transfer& transfer);
  void setUpWebSocket(Transfer& transfer);
  // Goes on with the transfer's next request (`redirect.next`), on a fresh handle.
  void loadNextRequest(Transfer& transfer);
  // The body went out as far as `uploaded`: the delegate hears of the step.
  void reportSent(Transfer& transfer, curl_off_t uploaded);

 private:
  // The transfer's clocks start and `request` becomes its current one.
  void start(Transfer& transfer, const URLRequest& request);
  // The upload body's options; false when the task has already failed.
  bool setUpUploadBody(Transfer& transfer, const TaskSource& source, const URLRequest& request);
  // What every request of a transfer sets on its (new) handle.
  void setRequestOptions(Transfer& transfer, const URL& url);
  // The header list of `request`; false (with `problem` set) when a field cannot be sent.
  bool buildHeaders(Transfer& transfer, const URLRequest& request, bool isUpload,
                    std::string& problem);
  void askForBodyStream(Transfer& transfer);
  // The delegate's answer to `needNewBodyStream`: the transfer starts, or fails when there
  // is no stream or one that was read before (it cannot be sent again whole).
  void provideBodyStream(std::uint64_t identifier, InputStreamPtr stream);

  TransferEngine& engine_;
};

}  // namespace platform::net_detail
