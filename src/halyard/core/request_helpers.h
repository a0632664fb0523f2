#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string_view>
#include <type_traits>

#include "halyard/core/halyard_error.h"
#include "halyard/core/http_method.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/string_encoding.h"
#include "platform/net/url_request.h"

namespace halyard {

// The request's method as an HTTPMethod, or nothing when it has none.
std::optional<HTTPMethod> requestMethod(const platform::URLRequest& request);
void setRequestMethod(platform::URLRequest& request, const std::optional<HTTPMethod>& method);

// A GET request ("GET" exactly) may not carry a body, not even an empty one. Throws
// `urlRequestValidationFailed(bodyDataInGETRequest)` carrying the body.
void validateNoBodyInGET(const platform::URLRequest& request);

// The encoding an IANA character-set name stands for ("utf-8", "iso-8859-1", the UTF-16 and
// UTF-32 family), compared without regard to case; nothing for any other name.
std::optional<platform::StringEncoding> stringEncodingFromIANACharsetName(std::string_view name);

// Runs `work` on `queue` after `seconds`.
void runAfter(const platform::DispatchQueuePtr& queue, double seconds, std::function<void()> work);

// ---- Two-case results ----------------------------------------------------------------------

namespace result_detail {
template <class E>
platform::ErrorPtr toErrorPtr(E&& error) {
  using Plain = std::remove_cvref_t<E>;
  if constexpr (std::is_same_v<Plain, platform::ErrorPtr>) {
    return std::forward<E>(error);
  } else {
    static_assert(std::is_base_of_v<platform::Error, Plain>, "the failure must be an error");
    return std::make_shared<const Plain>(std::forward<E>(error));
  }
}
}  // namespace result_detail

template <class T, class E>
bool isSucceeded(const std::expected<T, E>& result) {
  return result.has_value();
}
template <class T, class E>
bool isFailed(const std::expected<T, E>& result) {
  return !result.has_value();
}
template <class T, class E>
std::optional<T> successIfAny(const std::expected<T, E>& result) {
  if (result) return *result;
  return std::nullopt;
}
template <class T, class E>
std::optional<E> failureIfAny(const std::expected<T, E>& result) {
  if (!result) return result.error();
  return std::nullopt;
}

// Transforms the success value; a throw becomes the failure. A failure is carried over as a
// general error and the transform is not run.
template <class T, class E, class F>
auto mapSuccessThrowing(const std::expected<T, E>& result, F&& transform)
    -> std::expected<std::invoke_result_t<F, const T&>, platform::ErrorPtr> {
  using U = std::invoke_result_t<F, const T&>;
  if (!result) return std::unexpected(result_detail::toErrorPtr(result.error()));
  try {
    return std::expected<U, platform::ErrorPtr>(std::forward<F>(transform)(*result));
  } catch (...) {
    return std::unexpected(currentError());
  }
}

// Transforms the failure; the error it returns, or the one it throws, becomes the failure. A
// success is carried over.
template <class T, class E, class F>
auto mapFailureThrowing(const std::expected<T, E>& result, F&& transform)
    -> std::expected<T, platform::ErrorPtr> {
  if (result) return *result;
  try {
    return std::unexpected(result_detail::toErrorPtr(std::forward<F>(transform)(result.error())));
  } catch (...) {
    return std::unexpected(currentError());
  }
}

}  // namespace halyard
