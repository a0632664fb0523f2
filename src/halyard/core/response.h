#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "halyard/core/halyard_error.h"
#include "halyard/core/http_headers.h"
#include "halyard/core/value_description.h"
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

// The result transforms both records offer; each record wraps the new result with its own
// fields.
template <class Success, class Failure>
std::optional<Success> successOf(const std::expected<Success, Failure>& result) {
  if (result) return *result;
  return std::nullopt;
}

template <class Success, class Failure>
std::optional<Failure> failureOf(const std::expected<Success, Failure>& result) {
  if (!result) return result.error();
  return std::nullopt;
}

template <class Success, class Failure, class F>
auto mapSuccess(const std::expected<Success, Failure>& result, F&& transform)
    -> std::expected<std::invoke_result_t<F, const Success&>, Failure> {
  using NewResult = std::expected<std::invoke_result_t<F, const Success&>, Failure>;
  return result ? NewResult(std::forward<F>(transform)(*result))
                : NewResult(std::unexpect, result.error());
}

// The transform may throw; the new failure type is the general error.
template <class Success, class Failure, class F>
auto tryMapSuccess(const std::expected<Success, Failure>& result, F&& transform)
    -> std::expected<std::invoke_result_t<F, const Success&>, platform::ErrorPtr> {
  using NewResult = std::expected<std::invoke_result_t<F, const Success&>, platform::ErrorPtr>;
  if (!result) return NewResult(std::unexpect, failureAsErrorPtr(result.error()));
  try {
    return NewResult(std::forward<F>(transform)(*result));
  } catch (...) {
    return NewResult(std::unexpect, currentError());
  }
}

template <class Success, class Failure, class F>
auto mapFailure(const std::expected<Success, Failure>& result, F&& transform)
    -> std::expected<Success, std::invoke_result_t<F, const Failure&>> {
  using NewResult = std::expected<Success, std::invoke_result_t<F, const Failure&>>;
  return result ? NewResult(*result)
                : NewResult(std::unexpect, std::forward<F>(transform)(result.error()));
}

template <class Success, class Failure, class F>
auto tryMapFailure(const std::expected<Success, Failure>& result, F&& transform)
    -> std::expected<Success, platform::ErrorPtr> {
  using NewResult = std::expected<Success, platform::ErrorPtr>;
  if (result) return NewResult(*result);
  try {
    return NewResult(std::unexpect, failureAsErrorPtr(std::forward<F>(transform)(result.error())));
  } catch (...) {
    return NewResult(std::unexpect, currentError());
  }
}

// The debug text of either record: the request, then what `describeTransfer` says about the
// transfer (asked only when there is a request), then durations and the result.
std::string describeForDebug(const std::optional<platform::URLRequest>& request,
                             const std::function<std::string()>& describeTransfer,
                             const TaskMetricsPtr& metrics, double serializationDuration,
                             const std::string& printedResult);

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

  std::optional<Success> resultValue() const { return response_detail::successOf(result); }
  std::optional<Failure> resultError() const { return response_detail::failureOf(result); }

  template <class F>
  auto mapValue(F&& transform) const {
    return withResult(response_detail::mapSuccess(result, std::forward<F>(transform)));
  }
  // The transform may throw; the new failure type is the general error.
  template <class F>
  auto tryMapValue(F&& transform) const {
    return withResult(response_detail::tryMapSuccess(result, std::forward<F>(transform)));
  }
  template <class F>
  auto mapFailure(F&& transform) const {
    return withResult(response_detail::mapFailure(result, std::forward<F>(transform)));
  }
  template <class F>
  auto tryMapFailure(F&& transform) const {
    return withResult(response_detail::tryMapFailure(result, std::forward<F>(transform)));
  }

  // This record around another result.
  template <class NewSuccess, class NewFailure>
  DataResponse<NewSuccess, NewFailure> withResult(
      std::expected<NewSuccess, NewFailure> newResult) const {
    return {request, response, data, metrics, serializationDuration, std::move(newResult)};
  }

  // The outcome alone: "success(…)" or "failure(…)".
  std::string description() const { return response_detail::describeResult(result); }

  std::string debugDescription() const {
    using namespace response_detail;
    return describeForDebug(
        request,
        [this] {
          return response ? describeResponseWithBody(*response, data) : "[Response]: None";
        },
        metrics, serializationDuration, describeResult(result));
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

  std::optional<Success> resultValue() const { return response_detail::successOf(result); }
  std::optional<Failure> resultError() const { return response_detail::failureOf(result); }

  template <class F>
  auto mapValue(F&& transform) const {
    return withResult(response_detail::mapSuccess(result, std::forward<F>(transform)));
  }
  // The transform may throw; the new failure type is the general error.
  template <class F>
  auto tryMapValue(F&& transform) const {
    return withResult(response_detail::tryMapSuccess(result, std::forward<F>(transform)));
  }
  template <class F>
  auto mapFailure(F&& transform) const {
    return withResult(response_detail::mapFailure(result, std::forward<F>(transform)));
  }
  template <class F>
  auto tryMapFailure(F&& transform) const {
    return withResult(response_detail::tryMapFailure(result, std::forward<F>(transform)));
  }

  // This record around another result.
  template <class NewSuccess, class NewFailure>
  DownloadResponse<NewSuccess, NewFailure> withResult(
      std::expected<NewSuccess, NewFailure> newResult) const {
    return {request,
            response,
            fileURL,
            resumeData,
            metrics,
            serializationDuration,
            std::move(newResult)};
  }

  std::string description() const { return response_detail::describeResult(result); }

  std::string debugDescription() const {
    using namespace response_detail;
    return describeForDebug(
        request,
        [this] {
          std::string text = response ? describeResponseForDebug(*response) : "[Response]: None";
          text += "\n[File URL]: ";
          text += fileURL ? fileURL->path() : "None";
          text += "\n[Resume Data]: ";
          text += resumeData ? fmt::format("{} bytes", resumeData->size()) : "None";
          return text;
        },
        metrics, serializationDuration, describeResult(result));
  }
};

}  // namespace halyard
