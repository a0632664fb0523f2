#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/net/progress.h"
#include "platform/net/url.h"
#include "platform/net/url_request.h"

namespace app {

// A report of a download: how far it is, or its result.
struct DownloadStatus {
  struct Progress {
    std::shared_ptr<const platform::Progress> progress;
  };
  struct CompletedData {
    platform::Bytes data;
  };
  struct Completed {
    platform::URL downloadedFileUrl;
    std::optional<std::string> suggestedFileName;
  };
  struct Started {};

  std::variant<Progress, CompletedData, Completed, Started> value;

  static DownloadStatus progress(std::shared_ptr<const platform::Progress> p) {
    return {Progress{std::move(p)}};
  }
  static DownloadStatus completedData(platform::Bytes data) {
    return {CompletedData{std::move(data)}};
  }
  static DownloadStatus completed(platform::URL file, std::optional<std::string> suggestedName) {
    return {Completed{std::move(file), std::move(suggestedName)}};
  }

  template <class Case>
  const Case* as() const {
    return std::get_if<Case>(&value);
  }
};

}  // namespace app
