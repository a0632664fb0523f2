#include "halyard/core/response_serializer.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "halyard/core/request_helpers.h"

namespace halyard {

namespace {

using Reason = HalyardError::ResponseSerializationFailureReason;

}  // namespace

platform::Bytes GoogleXSSIPreprocessor::prepareData(const platform::Bytes& data) const {
  static constexpr std::uint8_t kPrefix[] = {0x29, 0x5D, 0x7D, 0x27, 0x2C, 0x0A};
  if (data.size() >= sizeof(kPrefix) &&
      std::equal(std::begin(kPrefix), std::end(kPrefix), data.begin())) {
    return platform::Bytes(data.begin() + sizeof(kPrefix), data.end());
  }
  return data;
}

DataPreprocessorPtr ResponseSerializer::defaultDataPreprocessor() {
  static const DataPreprocessorPtr preprocessor = std::make_shared<PassthroughPreprocessor>();
  return preprocessor;
}

const EmptyResponseCodes& ResponseSerializer::standardEmptyResponseCodes() {
  static const EmptyResponseCodes codes{204, 205};
  return codes;
}

const EmptyRequestMethods& ResponseSerializer::standardEmptyRequestMethods() {
  static const EmptyRequestMethods methods{HTTPMethod::HEAD};
  return methods;
}

ResponseSerializer::ResponseSerializer(DataPreprocessorPtr dataPreprocessor,
                                       EmptyResponseCodes emptyResponseCodes,
                                       EmptyRequestMethods emptyRequestMethods)
    : dataPreprocessor_(dataPreprocessor ? std::move(dataPreprocessor) : defaultDataPreprocessor()),
      emptyResponseCodes_(std::move(emptyResponseCodes)),
      emptyRequestMethods_(std::move(emptyRequestMethods)) {}

std::optional<bool> ResponseSerializer::methodAllowsEmptyBody(
    const std::optional<platform::URLRequest>& request) const {
  if (!request || !request->httpMethod) return std::nullopt;
  return emptyRequestMethods_.contains(HTTPMethod(*request->httpMethod));
}

std::optional<bool> ResponseSerializer::statusAllowsEmptyBody(
    const platform::HTTPURLResponsePtr& response) const {
  if (!response) return std::nullopt;
  return emptyResponseCodes_.contains(response->statusCode());
}

bool ResponseSerializer::isEmptyResponseAllowed(
    const std::optional<platform::URLRequest>& request,
    const platform::HTTPURLResponsePtr& response) const {
  if (methodAllowsEmptyBody(request).value_or(false)) return true;
  return statusAllowsEmptyBody(response).value_or(false);
}

std::optional<platform::Bytes> ResponseSerializer::preparedBody(
    const std::optional<platform::URLRequest>& request,
    const platform::HTTPURLResponsePtr& response, const std::optional<platform::Bytes>& data,
    const platform::ErrorPtr& error) const {
  if (error) throwError(error);
  if (!data || data->empty()) {
    if (!isEmptyResponseAllowed(request, response)) {
      throw HalyardError::responseSerializationFailed(Reason::InputDataNilOrZeroLength{});
    }
    return std::nullopt;
  }
  return dataPreprocessor()->prepareData(*data);
}

platform::Bytes ResponseSerializer::readDownloadedFile(
    const std::optional<platform::URL>& fileURL) {
  if (!fileURL) throw HalyardError::responseSerializationFailed(Reason::InputFileNil{});
  std::error_code error;
  const std::filesystem::path path = fileURL->path();
  if (!std::filesystem::is_regular_file(path, error)) {
    throw HalyardError::responseSerializationFailed(Reason::InputFileReadFailed{*fileURL});
  }
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) {
    throw HalyardError::responseSerializationFailed(Reason::InputFileReadFailed{*fileURL});
  }
  platform::Bytes contents((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
  if (file.bad()) {
    throw HalyardError::responseSerializationFailed(Reason::InputFileReadFailed{*fileURL});
  }
  return contents;
}

// ---- Data ------------------------------------------------------------------------------------

platform::Bytes DataResponseSerializer::serializeResponseData(
    const std::optional<platform::URLRequest>& request,
    const platform::HTTPURLResponsePtr& response, const std::optional<platform::Bytes>& data,
    const platform::ErrorPtr& error) const {
  return preparedBody(request, response, data, error).value_or(platform::Bytes());
}

platform::Bytes DataResponseSerializer::serializeDownloadedFile(
    const std::optional<platform::URLRequest>& request,
    const platform::HTTPURLResponsePtr& response, const std::optional<platform::URL>& fileURL,
    const platform::ErrorPtr& error) const {
  return serializeFileContents(*this, request, response, fileURL, error);
}

// ---- String ----------------------------------------------------------------------------------

std::string StringResponseSerializer::serializeResponseData(
    const std::optional<platform::URLRequest>& request,
    const platform::HTTPURLResponsePtr& response, const std::optional<platform::Bytes>& data,
    const platform::ErrorPtr& error) const {
  const auto prepared = preparedBody(request, response, data, error);
  if (!prepared) return {};
  platform::StringEncoding chosen = platform::StringEncoding::isoLatin1;
  if (encoding_) {
    chosen = *encoding_;
  } else if (response && response->textEncodingName()) {
    if (auto named = stringEncodingFromIANACharsetName(*response->textEncodingName())) {
      chosen = *named;
    }
  }
  auto text = chosen.decode(*prepared);
  if (!text)
    throw HalyardError::responseSerializationFailed(Reason::StringSerializationFailed{chosen});
  return std::move(*text);
}

std::string StringResponseSerializer::serializeDownloadedFile(
    const std::optional<platform::URLRequest>& request,
    const platform::HTTPURLResponsePtr& response, const std::optional<platform::URL>& fileURL,
    const platform::ErrorPtr& error) const {
  return serializeFileContents(*this, request, response, fileURL, error);
}

// ---- JSON ------------------------------------------------------------------------------------

platform::Value JSONResponseSerializer::serializeResponseData(
    const std::optional<platform::URLRequest>& request,
    const platform::HTTPURLResponsePtr& response, const std::optional<platform::Bytes>& data,
    const platform::ErrorPtr& error) const {
  const auto prepared = preparedBody(request, response, data, error);
  if (!prepared) return platform::Value();
  try {
    return platform::JSONSerialization::jsonObject(*prepared, options_);
  } catch (...) {
    throw HalyardError::responseSerializationFailed(
        Reason::JSONSerializationFailed{currentError()});
  }
}

platform::Value JSONResponseSerializer::serializeDownloadedFile(
    const std::optional<platform::URLRequest>& request,
    const platform::HTTPURLResponsePtr& response, const std::optional<platform::URL>& fileURL,
    const platform::ErrorPtr& error) const {
  return serializeFileContents(*this, request, response, fileURL, error);
}

// ---- URL -------------------------------------------------------------------------------------

platform::URL URLResponseSerializer::serializeDownloadedFile(
    const std::optional<platform::URLRequest>&, const platform::HTTPURLResponsePtr&,
    const std::optional<platform::URL>& fileURL, const platform::ErrorPtr& error) const {
  if (error) throwError(error);
  if (!fileURL) throw HalyardError::responseSerializationFailed(Reason::InputFileNil{});
  return *fileURL;
}

}  // namespace halyard
