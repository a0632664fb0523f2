#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <typeinfo>
#include <unordered_set>

#include "halyard/core/halyard_error.h"
#include "halyard/core/http_method.h"
#include "halyard/core/value_description.h"
#include "platform/coding/coder.h"
#include "platform/coding/json_decoder.h"
#include "platform/coding/json_serialization.h"
#include "platform/coding/value.h"
#include "platform/foundation/string_encoding.h"
#include "platform/net/http_url_response.h"
#include "platform/net/url.h"
#include "platform/net/url_request.h"

namespace halyard {

using EmptyResponseCodes = std::unordered_set<int>;
using EmptyRequestMethods = std::unordered_set<HTTPMethod>;

// Prepares body bytes before they are serialized.
class DataPreprocessor {
 public:
  virtual ~DataPreprocessor() = default;
  virtual platform::Bytes prepareData(const platform::Bytes& data) const = 0;  // may throw
};
using DataPreprocessorPtr = std::shared_ptr<const DataPreprocessor>;

// Hands the bytes on unchanged.
class PassthroughPreprocessor final : public DataPreprocessor {
 public:
  platform::Bytes prepareData(const platform::Bytes& data) const override { return data; }
};

// Drops one leading cross-site-script-inclusion guard, the six bytes ")]}',\n".
class GoogleXSSIPreprocessor final : public DataPreprocessor {
 public:
  platform::Bytes prepareData(const platform::Bytes& data) const override;
};

// A value that stands for an empty body.
template <class T>
concept EmptyResponse = requires {
  { T::makeEmptyValue() } -> std::same_as<T>;
};

// The value of a response that has no body: decoding reads nothing and always succeeds,
// encoding writes an empty object.
struct Empty {
  static Empty makeEmptyValue() { return {}; }
  static Empty decode(platform::Decoder&) { return {}; }
  void encode(platform::Encoder& encoder) const { encoder.container(); }
  std::string description() const { return "Empty()"; }
  bool operator==(const Empty&) const = default;
};

// A decoder of values from bytes, e.g. platform::JSONDecoder or platform::PropertyListDecoder.
template <class D, class T>
concept DataDecoder = requires(const D& decoder, std::span<const std::uint8_t> data) {
  { decoder.template decode<T>(data) } -> std::convertible_to<T>;
};

// Serializers of in-memory bodies: (request, response, body, error) → SerializedObject, or a
// throw.
template <class S>
concept DataResponseSerializerProtocol =
    requires(const S& serializer, const std::optional<platform::URLRequest>& request,
             const platform::HTTPURLResponsePtr& response,
             const std::optional<platform::Bytes>& data, const platform::ErrorPtr& error) {
  typename S::SerializedObject;
  {
    serializer.serializeResponseData(request, response, data, error)
    } -> std::convertible_to<typename S::SerializedObject>;
};

// Serializers of downloaded files: (request, response, file URL, error) → SerializedObject.
template <class S>
concept DownloadResponseSerializerProtocol =
    requires(const S& serializer, const std::optional<platform::URLRequest>& request,
             const platform::HTTPURLResponsePtr& response,
             const std::optional<platform::URL>& fileURL, const platform::ErrorPtr& error) {
  typename S::SerializedObject;
  {
    serializer.serializeDownloadedFile(request, response, fileURL, error)
    } -> std::convertible_to<typename S::SerializedObject>;
};

// What the body serializers share: a preprocessor and the status codes and request methods
// for which an empty body is acceptable.
class ResponseSerializer {
 public:
  static DataPreprocessorPtr defaultDataPreprocessor();
  static const EmptyResponseCodes& standardEmptyResponseCodes();    // {204, 205}
  static const EmptyRequestMethods& standardEmptyRequestMethods();  // {HEAD}

  explicit ResponseSerializer(
      DataPreprocessorPtr dataPreprocessor = defaultDataPreprocessor(),
      EmptyResponseCodes emptyResponseCodes = standardEmptyResponseCodes(),
      EmptyRequestMethods emptyRequestMethods = standardEmptyRequestMethods());
  virtual ~ResponseSerializer() = default;
  // Declared so that the virtual destructor does not take the moves away: a serializer travels
  // into its step by move, and copying its sets there would cost every request.
  ResponseSerializer(const ResponseSerializer&) = default;
  ResponseSerializer(ResponseSerializer&&) = default;
  ResponseSerializer& operator=(const ResponseSerializer&) = default;
  ResponseSerializer& operator=(ResponseSerializer&&) = default;

  const DataPreprocessorPtr& dataPreprocessor() const { return dataPreprocessor_; }
  const EmptyResponseCodes& emptyResponseCodes() const { return emptyResponseCodes_; }
  const EmptyRequestMethods& emptyRequestMethods() const { return emptyRequestMethods_; }

  // Nothing without a request or method; else whether the method (exactly) is listed.
  std::optional<bool> methodAllowsEmptyBody(
      const std::optional<platform::URLRequest>& request) const;
  // Nothing without a response; else whether its status code is listed.
  std::optional<bool> statusAllowsEmptyBody(const platform::HTTPURLResponsePtr& response) const;
  // The method is asked first; "nothing" counts as no.
  bool isEmptyResponseAllowed(const std::optional<platform::URLRequest>& request,
                              const platform::HTTPURLResponsePtr& response) const;

 protected:
  // The whole file at `fileURL`; throws `inputFileNil` / `inputFileReadFailed`.
  static platform::Bytes readDownloadedFile(const std::optional<platform::URL>& fileURL);
  // The preprocessed body, or nothing for an empty body that the request or the status allows.
  // Throws `error`, or `inputDataNilOrZeroLength` for an empty body nothing allows.
  std::optional<platform::Bytes> preparedBody(const std::optional<platform::URLRequest>& request,
                                              const platform::HTTPURLResponsePtr& response,
                                              const std::optional<platform::Bytes>& data,
                                              const platform::ErrorPtr& error) const;
  // What `serializer` makes of the downloaded file's contents; throws `error`, or what reading
  // the file throws.
  template <class Serializer>
  static auto serializeFileContents(const Serializer& serializer,
                                    const std::optional<platform::URLRequest>& request,
                                    const platform::HTTPURLResponsePtr& response,
                                    const std::optional<platform::URL>& fileURL,
                                    const platform::ErrorPtr& error) {
    if (error) throwError(error);
    const platform::Bytes contents = readDownloadedFile(fileURL);
    return serializer.serializeResponseData(request, response, contents, nullptr);
  }

 private:
  DataPreprocessorPtr dataPreprocessor_;
  EmptyResponseCodes emptyResponseCodes_;
  EmptyRequestMethods emptyRequestMethods_;
};

// The body as bytes.
class DataResponseSerializer final : public ResponseSerializer {
 public:
  using SerializedObject = platform::Bytes;
  using ResponseSerializer::ResponseSerializer;

  platform::Bytes serializeResponseData(const std::optional<platform::URLRequest>& request,
                                        const platform::HTTPURLResponsePtr& response,
                                        const std::optional<platform::Bytes>& data,
                                        const platform::ErrorPtr& error) const;
  platform::Bytes serializeDownloadedFile(const std::optional<platform::URLRequest>& request,
                                          const platform::HTTPURLResponsePtr& response,
                                          const std::optional<platform::URL>& fileURL,
                                          const platform::ErrorPtr& error) const;
};

// The body as text, in the serializer's encoding, else the response's charset, else ISO Latin 1.
class StringResponseSerializer final : public ResponseSerializer {
 public:
  using SerializedObject = std::string;

  explicit StringResponseSerializer(
      DataPreprocessorPtr dataPreprocessor = defaultDataPreprocessor(),
      std::optional<platform::StringEncoding> encoding = std::nullopt,
      EmptyResponseCodes emptyResponseCodes = standardEmptyResponseCodes(),
      EmptyRequestMethods emptyRequestMethods = standardEmptyRequestMethods())
      : ResponseSerializer(std::move(dataPreprocessor), std::move(emptyResponseCodes),
                           std::move(emptyRequestMethods)),
        encoding_(encoding) {}

  const std::optional<platform::StringEncoding>& encoding() const { return encoding_; }

  std::string serializeResponseData(const std::optional<platform::URLRequest>& request,
                                    const platform::HTTPURLResponsePtr& response,
                                    const std::optional<platform::Bytes>& data,
                                    const platform::ErrorPtr& error) const;
  std::string serializeDownloadedFile(const std::optional<platform::URLRequest>& request,
                                      const platform::HTTPURLResponsePtr& response,
                                      const std::optional<platform::URL>& fileURL,
                                      const platform::ErrorPtr& error) const;

 private:
  std::optional<platform::StringEncoding> encoding_;
};

// The body read as JSON into a loosely typed value; an allowed empty body is null.
class JSONResponseSerializer final : public ResponseSerializer {
 public:
  using SerializedObject = platform::Value;

  explicit JSONResponseSerializer(
      DataPreprocessorPtr dataPreprocessor = defaultDataPreprocessor(),
      EmptyResponseCodes emptyResponseCodes = standardEmptyResponseCodes(),
      EmptyRequestMethods emptyRequestMethods = standardEmptyRequestMethods(),
      unsigned options = platform::JSONSerialization::fragmentsAllowed)
      : ResponseSerializer(std::move(dataPreprocessor), std::move(emptyResponseCodes),
                           std::move(emptyRequestMethods)),
        options_(options) {}

  unsigned options() const { return options_; }

  platform::Value serializeResponseData(const std::optional<platform::URLRequest>& request,
                                        const platform::HTTPURLResponsePtr& response,
                                        const std::optional<platform::Bytes>& data,
                                        const platform::ErrorPtr& error) const;
  platform::Value serializeDownloadedFile(const std::optional<platform::URLRequest>& request,
                                          const platform::HTTPURLResponsePtr& response,
                                          const std::optional<platform::URL>& fileURL,
                                          const platform::ErrorPtr& error) const;

 private:
  unsigned options_;
};

// The body decoded as a T. An allowed empty body yields T's empty value when T has one.
template <class T, class Decoder = platform::JSONDecoder>
requires DataDecoder<Decoder, T>
class DecodableResponseSerializer final : public ResponseSerializer {
 public:
  using SerializedObject = T;

  explicit DecodableResponseSerializer(
      DataPreprocessorPtr dataPreprocessor = defaultDataPreprocessor(), Decoder decoder = Decoder(),
      EmptyResponseCodes emptyResponseCodes = standardEmptyResponseCodes(),
      EmptyRequestMethods emptyRequestMethods = standardEmptyRequestMethods())
      : ResponseSerializer(std::move(dataPreprocessor), std::move(emptyResponseCodes),
                           std::move(emptyRequestMethods)),
        decoder_(std::move(decoder)) {}

  const Decoder& decoder() const { return decoder_; }

  T serializeResponseData(const std::optional<platform::URLRequest>& request,
                          const platform::HTTPURLResponsePtr& response,
                          const std::optional<platform::Bytes>& data,
                          const platform::ErrorPtr& error) const {
    using Reason = HalyardError::ResponseSerializationFailureReason;
    const auto prepared = preparedBody(request, response, data, error);
    if (!prepared) {
      if constexpr (EmptyResponse<T>) {
        return T::makeEmptyValue();
      } else {
        throw HalyardError::responseSerializationFailed(
            Reason::InvalidEmptyResponse{unqualifiedTypeName(typeid(T))});
      }
    }
    try {
      return decoder_.template decode<T>(std::span<const std::uint8_t>(*prepared));
    } catch (...) {
      throw HalyardError::responseSerializationFailed(Reason::DecodingFailed{currentError()});
    }
  }

  T serializeDownloadedFile(const std::optional<platform::URLRequest>& request,
                            const platform::HTTPURLResponsePtr& response,
                            const std::optional<platform::URL>& fileURL,
                            const platform::ErrorPtr& error) const {
    return serializeFileContents(*this, request, response, fileURL, error);
  }

 private:
  Decoder decoder_;
};

// The downloaded file's URL, unread.
class URLResponseSerializer final {
 public:
  using SerializedObject = platform::URL;
  platform::URL serializeDownloadedFile(const std::optional<platform::URLRequest>& request,
                                        const platform::HTTPURLResponsePtr& response,
                                        const std::optional<platform::URL>& fileURL,
                                        const platform::ErrorPtr& error) const;
};

}  // namespace halyard
