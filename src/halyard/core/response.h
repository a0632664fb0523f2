#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "halyard/core/halyard_error.h"
#include "halyard/core/value_description.h"
#include "halyard/encoding/http_headers.h"
#include "platform/net/http_url_response.h"
#include "platform/net/url_request.h"
#include "platform/net/url_session_task_metrics.h"

namespace halyard {

using TaskMetricsPtr = std::shared_ptr<const platform::URLSessionTaskMetrics>;

namespace response_detail {

// The pieces of the diagnostic texts, shared by both records.
std::string describeBodyForDebug(const std::optional<platform::Bytes>& body,
                                 const HTTPHeaders& headers);
bool contentTypeIsPrintable(const HTTPHeaders& headers);
std::string describeHeadersForDebug(const HTTPHeaders& headers);
std::string describeRequestForDebug(const platform::URLRequest& request);
std::string describeResponseForDebug(const platform::HTTPURLResponse& response);
std::string describeResponseWithBody(const platform::HTTPURLResponse& response,
                                     const std::optional<platform::Bytes>& data);
// Shortest text that reads back to the same double, followed by "s".
std::string describeDuration(double seconds);
// Every line break followed by four blanks.
std::string indented(const std::string& text);

template <class Success, class Failure>
std::string describeResult(const std::expected<Success, Failure>& result) {
  if (result) return "success(" + describeValue(*result) + ")";
  return "failure(" + describeValue(result.error()) + ")";
}

template <class Failure>
auto failureAsErrorPtr(Failure failure) -> platform::ErrorPtr {
  if constexpr (std::is_same_v<Failure, platform::ErrorPtr>) {
    return failure;
  } else {
    return std::make_shared<const Failure>(std::move(failure));
  }
}

}  // namespace response_detail

// Everything known about one attempt of a data request once a serializer has run.
template <class Success, class Failure = HalyardError>
struct DataResponse {
  std::optional<platform::URLRequest> request;
  platform::HTTPURLResponsePtr response;
  std::optional<platform::Bytes> data;
  TaskMetricsPtr metrics;
  double serializationDuration = 0;
  std::expected<Success, Failure> result;

  std::optional<Success> resultValue() const {
    if (result) return *result;
    return std::nullopt;
  }
  std::optional<Failure> resultError() const {
    if (!result) return result.error();
    return std::nullopt;
  }

  template <class F>
  auto mapValue(F&& transform) const
      -> DataResponse<std::invoke_result_t<F, const Success&>, Failure> {
    using NewSuccess = std::invoke_result_t<F, const Success&>;
    return {request,
            response,
            data,
            metrics,
            serializationDuration,
            result ? std::expected<NewSuccess, Failure>(std::forward<F>(transform)(*result))
                   : std::expected<NewSuccess, Failure>(std::unexpect, result.error())};
  }

  // The transform may throw; the new failure type is the general error.
  template <class F>
  auto tryMapValue(F&& transform) const
      -> DataResponse<std::invoke_result_t<F, const Success&>, platform::ErrorPtr> {
    using NewSuccess = std::invoke_result_t<F, const Success&>;
    using NewResult = std::expected<NewSuccess, platform::ErrorPtr>;
    NewResult mapped = [&]() -> NewResult {
      if (!result) {
        return NewResult(std::unexpect, response_detail::failureAsErrorPtr(result.error()));
      }
      try {
        return NewResult(std::forward<F>(transform)(*result));
      } catch (...) {
        return NewResult(std::unexpect, currentError());
      }
    }();
    return {request, response, data, metrics, serializationDuration, std::move(mapped)};
  }

  template <class F>
  auto mapFailure(F&& transform) const
      -> DataResponse<Success, std::invoke_result_t<F, const Failure&>> {
    using NewFailure = std::invoke_result_t<F, const Failure&>;
    return {request,
            response,
            data,
            metrics,
            serializationDuration,
            result ? std::expected<Success, NewFailure>(*result)
                   : std::expected<Success, NewFailure>(
                         std::unexpect, std::forward<F>(transform)(result.error()))};
  }

  template <class F>
  auto tryMapFailure(F&& transform) const -> DataResponse<Success, platform::ErrorPtr> {
    using NewResult = std::expected<Success, platform::ErrorPtr>;
    NewResult mapped = [&]() -> NewResult {
      if (result) return NewResult(*result);
      try {
        return NewResult(std::unexpect, response_detail::failureAsErrorPtr(
                                            std::forward<F>(transform)(result.error())));
      } catch (...) {
        return NewResult(std::unexpect, currentError());
      }
    }();
    return {request, response, data, metrics, serializationDuration, std::move(mapped)};
  }

  // The outcome alone: "success(…)" or "failure(…)".
  std::string description() const { return response_detail::describeResult(result); }

  std::string debugDescription() const {
    using namespace response_detail;
    const std::string printedResult = describeResult(result);
    if (!request) return "[Request]: None\n[Result]: " + printedResult;
    std::string text = describeRequestForDebug(*request);
    text += "\n";
    text += response ? describeResponseWithBody(*response, data) : "[Response]: None";
    text += "\n[Network Duration]: ";
    text += metrics ? describeDuration(metrics->taskInterval.duration) : "None";
    text += "\n[Serialization Duration]: " + describeDuration(serializationDuration);
    text += "\n[Result]: " + printedResult;
    return text;
  }
};

// Everything known about one attempt of a download request once a serializer has run.
template <class Success, class Failure = HalyardError>
struct DownloadResponse {
  std::optional<platform::URLRequest> request;
  platform::HTTPURLResponsePtr response;
  std::optional<platform::URL> fileURL;
  std::optional<platform::Bytes> resumeData;
  TaskMetricsPtr metrics;
  double serializationDuration = 0;
  std::expected<Success, Failure> result;

  std::optional<Success> resultValue() const {
    if (result) return *result;
    return std::nullopt;
  }
  std::optional<Failure> resultError() const {
    if (!result) return result.error();
    return std::nullopt;
  }

  template <class F>
  auto mapValue(F&& transform) const
      -> DownloadResponse<std::invoke_result_t<F, const Success&>, Failure> {
    using NewSuccess = std::invoke_result_t<F, const Success&>;
    return {request,
            response,
            fileURL,
            resumeData,
            metrics,
            serializationDuration,
            result ? std::expected<NewSuccess, Failure>(std::forward<F>(transform)(*result))
                   : std::expected<NewSuccess, Failure>(std::unexpect, result.error())};
  }

  template <class F>
  auto tryMapValue(F&& transform) const
      -> DownloadResponse<std::invoke_result_t<F, const Success&>, platform::ErrorPtr> {
    using NewSuccess = std::invoke_result_t<F, const Success&>;
    using NewResult = std::expected<NewSuccess, platform::ErrorPtr>;
    NewResult mapped = [&]() -> NewResult {
      if (!result) {
        return NewResult(std::unexpect, response_detail::failureAsErrorPtr(result.error()));
      }
      try {
        return NewResult(std::forward<F>(transform)(*result));
      } catch (...) {
        return NewResult(std::unexpect, currentError());
      }
    }();
    return {request,          response, fileURL, resumeData, metrics, serializationDuration,
            std::move(mapped)};
  }

  template <class F>
  auto mapFailure(F&& transform) const
      -> DownloadResponse<Success, std::invoke_result_t<F, const Failure&>> {
    using NewFailure = std::invoke_result_t<F, const Failure&>;
    return {request,
            response,
            fileURL,
            resumeData,
            metrics,
            serializationDuration,
            result ? std::expected<Success, NewFailure>(*result)
                   : std::expected<Success, NewFailure>(
                         std::unexpect, std::forward<F>(transform)(result.error()))};
  }

  template <class F>
  auto tryMapFailure(F&& transform) const -> DownloadResponse<Success, platform::ErrorPtr> {
    using NewResult = std::expected<Success, platform::ErrorPtr>;
    NewResult mapped = [&]() -> NewResult {
      if (result) return NewResult(*result);
      try {
        return NewResult(std::unexpect, response_detail::failureAsErrorPtr(
                                            std::forward<F>(transform)(result.error())));
      } catch (...) {
        return NewResult(std::unexpect, currentError());
      }
    }();
    return {request,          response, fileURL, resumeData, metrics, serializationDuration,
            std::move(mapped)};
  }

  std::string description() const { return response_detail::describeResult(result); }

  std::string debugDescription() const {
    using namespace response_detail;
    const std::string printedResult = describeResult(result);
    if (!request) return "[Request]: None\n[Result]: " + printedResult;
    std::string text = describeRequestForDebug(*request);
    text += "\n";
    text += response ? describeResponseForDebug(*response) : "[Response]: None";
    text += "\n[File URL]: ";
    text += fileURL ? fileURL->path() : "None";
    text += "\n[Resume Data]: ";
    text += resumeData ? fmt::format("{} bytes", resumeData->size()) : "None";
    text += "\n[Network Duration]: ";
    text += metrics ? describeDuration(metrics->taskInterval.duration) : "None";
    text += "\n[Serialization Duration]: " + describeDuration(serializationDuration);
    text += "\n[Result]: " + printedResult;
    return text;
  }
};

}  // namespace halyard
