#pragma once

#include <cstddef>
#include <optional>

#include "platform/net/url_error.h"
#include "platform/net/url_session.h"

namespace platform::net_detail {

class TransferEngine;
struct TaskSource;
struct Transfer;

// A download task's file: made (or the partial file of a continuation reopened) before the
// request goes out, written as the body arrives, handed to the delegate at the end, and turned
// into resume data when the task fails or is cancelled. The file is the transfer's own
// (`DownloadFile`); this part does the work on it. I/O thread only.
class Downloads {
 public:
  explicit Downloads(TransferEngine& engine) : engine_(engine) {}

  // The file, and the Range headers of a continuation; false when the task has already failed.
  bool setUp(Transfer& transfer, const TaskSource* source);
  // The head of the answer came: a continuation tells the delegate where it resumes.
  void onResponse(Transfer& transfer, const HTTPURLResponse& response);
  // Writes a piece of the body into the file: all of it, or none (the transfer then fails).
  size_t write(Transfer& transfer, const char* data, size_t length);
  // The body is whole: the delegate gets the file, and the task ends.
  void complete(Transfer& transfer);
  // What a continuation of the transfer would start from, if anything.
  std::optional<Bytes> resumeData(Transfer& transfer);
  // The failure a download ends with: `error`, carrying resume data when it can be continued.
  ErrorPtr failure(Transfer& transfer, const URLError& error);

 private:
  TransferEngine& engine_;
};

}  // namespace platform::net_detail
