#pragma once

// Awaiting a download request's serialized response from a coroutine.

#include <memory>
#include <utility>

#include "halyard/core/download_request.h"
#include "halyard/policies/data_task.h"

namespace halyard {

template <class Value>
using DownloadTask = ResponseTask<DownloadRequest, DownloadResponse<Value>, Value>;

namespace detail {

template <class Value, class Serializer>
platform::Task<DownloadResponse<Value>> runDownloadTask(std::shared_ptr<DownloadRequest> request,
                                                        Serializer serializer) {
  // Cancelling through the task keeps no resume data: the caller gave the download up.
  auto onCancel = [request] { request->cancelProducingResumeData(false); };
  auto wait = platform::withCheckedContinuation<DownloadResponse<Value>>(
      "downloadTask(automaticallyCancelling:forResponse:)",
      [request, serializer](platform::CheckedContinuation<DownloadResponse<Value>> continuation) {
        request->responseWithDownloadSerializer(
            request->underlyingQueue(), serializer,
            [continuation](const DownloadResponse<Value>& response) {
              continuation.resume(response);
            });
      });
  co_return co_await platform::withTaskCancellationHandler(std::move(wait), onCancel);
}

}  // namespace detail

template <DownloadResponseSerializerProtocol Serializer>
DownloadTask<typename Serializer::SerializedObject> serializingDownloadWithDownloadSerializer(
    const std::shared_ptr<DownloadRequest>& request, Serializer serializer,
    bool automaticallyCancelling) {
  using Value = typename Serializer::SerializedObject;
  auto task = detail::runDownloadTask<Value>(request, std::move(serializer));
  return DownloadTask<Value>(request, std::move(task), automaticallyCancelling);
}

inline DownloadTask<platform::Bytes> serializingData(
    const std::shared_ptr<DownloadRequest>& request, DataPreprocessorPtr dataPreprocessor,
    EmptyResponseCodes emptyResponseCodes, EmptyRequestMethods emptyRequestMethods,
    bool automaticallyCancelling) {
  return serializingDownloadWithDownloadSerializer(
      request,
      DataResponseSerializer(std::move(dataPreprocessor), std::move(emptyResponseCodes),
                             std::move(emptyRequestMethods)),
      automaticallyCancelling);
}

inline DownloadTask<platform::URL> serializingDownloadedFileURL(
    const std::shared_ptr<DownloadRequest>& request, bool automaticallyCancelling) {
  return serializingDownloadWithDownloadSerializer(request, URLResponseSerializer(),
                                                   automaticallyCancelling);
}

}  // namespace halyard
