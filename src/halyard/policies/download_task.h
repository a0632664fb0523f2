#pragma once

// Awaiting a download request's serialized response from a coroutine.

#include <memory>
#include <utility>

#include "halyard/core/download_request.h"
#include "halyard/policies/data_task.h"

namespace halyard {

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
DownloadTask<typename Serializer::SerializedObject>
DownloadRequest::serializingDownloadWithDownloadSerializer(Serializer serializer,
                                                           bool automaticallyCancelling) {
  using Value = typename Serializer::SerializedObject;
  auto self = sharedSelf();
  auto task = detail::runDownloadTask<Value>(self, std::move(serializer));
  return DownloadTask<Value>(self, std::move(task), automaticallyCancelling);
}

template <DownloadResponseSerializerProtocol Serializer>
DownloadTask<typename Serializer::SerializedObject>
DownloadRequest::serializingDownloadWithSerializer(Serializer serializer,
                                                   bool automaticallyCancelling) {
  return serializingDownloadWithDownloadSerializer(std::move(serializer), automaticallyCancelling);
}

inline DownloadTask<platform::Bytes> DownloadRequest::serializingData(
    DataPreprocessorPtr dataPreprocessor, EmptyResponseCodes emptyResponseCodes,
    EmptyRequestMethods emptyRequestMethods, bool automaticallyCancelling) {
  return serializingDownloadWithDownloadSerializer(
      DataResponseSerializer(std::move(dataPreprocessor), std::move(emptyResponseCodes),
                             std::move(emptyRequestMethods)),
      automaticallyCancelling);
}

inline DownloadTask<std::string> DownloadRequest::serializingString(
    DataPreprocessorPtr dataPreprocessor, std::optional<platform::StringEncoding> encoding,
    EmptyResponseCodes emptyResponseCodes, EmptyRequestMethods emptyRequestMethods,
    bool automaticallyCancelling) {
  return serializingDownloadWithDownloadSerializer(
      StringResponseSerializer(std::move(dataPreprocessor), encoding, std::move(emptyResponseCodes),
                               std::move(emptyRequestMethods)),
      automaticallyCancelling);
}

template <class T, class Decoder>
DownloadTask<T> DownloadRequest::serializingDecodable(DataPreprocessorPtr dataPreprocessor,
                                                      Decoder decoder,
                                                      EmptyResponseCodes emptyResponseCodes,
                                                      EmptyRequestMethods emptyRequestMethods,
                                                      bool automaticallyCancelling) {
  return serializingDownloadWithDownloadSerializer(
      DecodableResponseSerializer<T, Decoder>(std::move(dataPreprocessor), std::move(decoder),
                                              std::move(emptyResponseCodes),
                                              std::move(emptyRequestMethods)),
      automaticallyCancelling);
}

inline DownloadTask<platform::URL> DownloadRequest::serializingDownloadedFileURL(
    bool automaticallyCancelling) {
  return serializingDownloadWithDownloadSerializer(URLResponseSerializer(),
                                                   automaticallyCancelling);
}

}  // namespace halyard
