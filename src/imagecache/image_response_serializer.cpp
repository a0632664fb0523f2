#include "imagecache/image_response_serializer.h"

#include <mutex>
#include <span>
#include <unordered_set>

#include "platform/foundation/log.h"
#include "platform/graphics/image_decoding.h"

namespace imagecache {
namespace {

using Reason = halyard::HalyardError::ResponseSerializationFailureReason;
using ValidationReason = halyard::HalyardError::ResponseValidationFailureReason;

// The shared set of acceptable types: the order of insertion is kept, because the errors carry
// the set as a list. A lock of its own lets callers add types while requests run.
class AcceptableContentTypes {
 public:
  AcceptableContentTypes() {
    // Every type here is one the decoder reads; JPEG XL is not offered, having no decoder.
    add({"application/octet-stream", "image/bmp", "image/gif", "image/ico", "image/jp2",
         "image/jpeg", "image/jpg", "image/png", "image/tiff", "image/x-bmp", "image/x-icon",
         "image/x-ms-bmp", "image/x-win-bitmap", "image/x-xbitmap", "image/webp", "image/heic",
         "image/heif", "image/avif"});
  }

  void add(const std::vector<std::string>& types) {
    std::lock_guard lock(mutex_);
    for (const auto& type : types) {
      if (members_.insert(type).second) ordered_.push_back(type);
    }
  }
  bool contains(const std::string& type) const {
    std::lock_guard lock(mutex_);
    return members_.contains(type);
  }
  std::vector<std::string> list() const {
    std::lock_guard lock(mutex_);
    return ordered_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> ordered_;
  std::unordered_set<std::string> members_;
};

AcceptableContentTypes& sharedContentTypes() {
  static AcceptableContentTypes* const types = new AcceptableContentTypes();  // never destroyed
  return *types;
}

}  // namespace

ImageResponseSerializer::ImageResponseSerializer(double imageScale, bool inflateResponseImage,
                                                 halyard::EmptyResponseCodes emptyResponseCodes,
                                                 halyard::EmptyRequestMethods emptyRequestMethods)
    : ResponseSerializer(defaultDataPreprocessor(), std::move(emptyResponseCodes),
                         std::move(emptyRequestMethods)),
      imageScale_(imageScale),
      inflateResponseImage_(inflateResponseImage) {}

ImagePtr ImageResponseSerializer::serializeResponseData(
    const std::optional<platform::URLRequest>& request,
    const platform::HTTPURLResponsePtr& response, const std::optional<platform::Bytes>& data,
    const platform::ErrorPtr& error) const {
  if (error) halyard::throwError(error);
  if (!data || data->empty()) {
    if (isEmptyResponseAllowed(request, response)) {
      platform::print("DudodivevIdizi: Returning empty image from serializer!");
      return std::make_shared<const platform::Image>();
    }
    throw halyard::HalyardError::responseSerializationFailed(Reason::InputDataNilOrZeroLength{});
  }
  checkContentType(request, response);
  return decodeImage(*data);
}

ImagePtr ImageResponseSerializer::decodeImage(const platform::Bytes& data) const {
  if (data.empty()) {
    throw halyard::HalyardError::responseSerializationFailed(Reason::InputDataNilOrZeroLength{});
  }
  auto decoded = platform::decodeImage(std::span<const std::uint8_t>(data.data(), data.size()),
                                       platform::ImageDecodingLimits{});
  if (!decoded) throw HalyardImageError::imageSerializationFailed();
  return std::make_shared<const platform::Image>(std::move(*decoded));
}

void ImageResponseSerializer::checkContentType(const std::optional<platform::URLRequest>& request,
                                               const platform::HTTPURLResponsePtr& response) const {
  if (request && request->url && request->url->isFileURL()) return;
  AcceptableContentTypes& types = sharedContentTypes();
  if (response && response->mimeType()) {
    if (types.contains(*response->mimeType())) return;
    throw halyard::HalyardError::responseValidationFailed(
        ValidationReason::UnacceptableContentType{types.list(), *response->mimeType()});
  }
  throw halyard::HalyardError::responseValidationFailed(
      ValidationReason::MissingContentType{types.list()});
}

std::vector<std::string> ImageResponseSerializer::acceptableContentTypes() {
  return sharedContentTypes().list();
}

void ImageResponseSerializer::addAcceptableContentTypes(
    const std::vector<std::string>& contentTypes) {
  sharedContentTypes().add(contentTypes);
}

halyard::DataRequest& responseAsImage(
    halyard::DataRequest& request, platform::DispatchQueuePtr queue,
    std::function<void(const halyard::DataResponse<ImagePtr>&)> completionHandler,
    ImageResponseSerializerPtr serializer) {
  if (!serializer) {
    serializer = std::make_shared<const ImageResponseSerializer>(1.0, false);
  }
  if (!queue) queue = platform::DispatchQueue::main();
  return request.responseWithDataSerializer(std::move(queue),
                                            SharedImageResponseSerializer(std::move(serializer)),
                                            std::move(completionHandler));
}

halyard::DataResponsePublisher<ImagePtr> imagePublisher(
    const halyard::DataRequestPtr& request, platform::DispatchQueuePtr queue, double imageScale,
    bool inflateResponseImage, halyard::EmptyResponseCodes emptyResponseCodes,
    halyard::EmptyRequestMethods emptyRequestMethods) {
  if (!queue) queue = platform::DispatchQueue::main();
  return halyard::DataResponsePublisher<ImagePtr>::initWithDataSerializer(
      request, std::move(queue),
      SharedImageResponseSerializer(std::make_shared<const ImageResponseSerializer>(
          imageScale, inflateResponseImage, std::move(emptyResponseCodes),
          std::move(emptyRequestMethods))));
}

halyard::DataTask<ImagePtr> imageTask(const halyard::DataRequestPtr& request, double imageScale,
                                      bool inflateResponseImage, bool automaticallyCancelling,
                                      halyard::EmptyResponseCodes emptyResponseCodes,
                                      halyard::EmptyRequestMethods emptyRequestMethods) {
  return request->makeSerializingTask(
      SharedImageResponseSerializer(std::make_shared<const ImageResponseSerializer>(
          imageScale, inflateResponseImage, std::move(emptyResponseCodes),
          std::move(emptyRequestMethods))),
      automaticallyCancelling);
}

}  // namespace imagecache
