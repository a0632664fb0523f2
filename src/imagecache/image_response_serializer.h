#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "halyard/core/data_request.h"
#include "halyard/core/response_serializer.h"
#include "halyard/policies/data_task.h"
#include "halyard/policies/response_publishers.h"
#include "imagecache/halyard_image_error.h"
#include "platform/graphics/image.h"

namespace imagecache {

using ImagePtr = std::shared_ptr<const platform::Image>;

// Turns a response body into a decoded image. The body is decoded only when the response's
// MIME type is one of the acceptable image types, which every serializer shares and callers
// may extend at any time. An empty body that the status or the method allows yields an image
// with no pixels (a null image), never a missing one.
//
// `decodeImage` may be replaced by a subclass. Hand a subclass on as a shared pointer (see
// `responseAsImage` and the image downloader): a copy into this type would lose the override.
class ImageResponseSerializer : public halyard::ResponseSerializer {
 public:
  using SerializedObject = ImagePtr;

  // The pixel size of a decoded image is its size; `imageScale` and `inflateResponseImage` are
  // kept for callers to read and change nothing.
  explicit ImageResponseSerializer(
      double imageScale = 1.0, bool inflateResponseImage = true,
      halyard::EmptyResponseCodes emptyResponseCodes = standardEmptyResponseCodes(),
      halyard::EmptyRequestMethods emptyRequestMethods = standardEmptyRequestMethods());
  ~ImageResponseSerializer() override = default;

  double imageScale() const { return imageScale_; }
  bool inflateResponseImage() const { return inflateResponseImage_; }

  // The image, or a throw: the incoming error unchanged, `inputDataNilOrZeroLength`, a content
  // type failure, or what `decodeImage` throws.
  virtual ImagePtr serializeResponseData(const std::optional<platform::URLRequest>& request,
                                         const platform::HTTPURLResponsePtr& response,
                                         const std::optional<platform::Bytes>& data,
                                         const platform::ErrorPtr& error) const;
  ImagePtr serializeDownloadedFile(const std::optional<platform::URLRequest>& request,
                                   const platform::HTTPURLResponsePtr& response,
                                   const std::optional<platform::URL>& fileURL,
                                   const platform::ErrorPtr& error) const {
    return serializeFileContents(*this, request, response, fileURL, error);
  }

  // The decoded bytes. Throws `inputDataNilOrZeroLength` for no bytes and
  // `HalyardImageError::imageSerializationFailed` for bytes that are no image this platform
  // decodes, or whose picture is beyond the decoder's limits.
  virtual ImagePtr decodeImage(const platform::Bytes& data) const;

  // Accepts a file URL whatever the response says; otherwise the response's MIME type must be
  // in the acceptable set, matched exactly (letter case included).
  virtual void checkContentType(const std::optional<platform::URLRequest>& request,
                                const platform::HTTPURLResponsePtr& response) const;

  // The shared acceptable MIME types in the order they were added.
  static std::vector<std::string> acceptableContentTypes();
  // Types already in the set stay once. Safe beside content checks on other threads.
  static void addAcceptableContentTypes(const std::vector<std::string>& contentTypes);

 private:
  double imageScale_;
  bool inflateResponseImage_;
};

using ImageResponseSerializerPtr = std::shared_ptr<const ImageResponseSerializer>;

// What the HTTP client's serializing step holds: it takes serializers by value, so it gets
// this small forwarder and the image serializer itself keeps its dynamic type.
class SharedImageResponseSerializer {
 public:
  using SerializedObject = ImagePtr;

  explicit SharedImageResponseSerializer(ImageResponseSerializerPtr serializer)
      : serializer_(std::move(serializer)) {}

  const ImageResponseSerializerPtr& serializer() const { return serializer_; }

  ImagePtr serializeResponseData(const std::optional<platform::URLRequest>& request,
                                 const platform::HTTPURLResponsePtr& response,
                                 const std::optional<platform::Bytes>& data,
                                 const platform::ErrorPtr& error) const {
    return serializer_->serializeResponseData(request, response, data, error);
  }
  ImagePtr serializeDownloadedFile(const std::optional<platform::URLRequest>& request,
                                   const platform::HTTPURLResponsePtr& response,
                                   const std::optional<platform::URL>& fileURL,
                                   const platform::ErrorPtr& error) const {
    return serializer_->serializeDownloadedFile(request, response, fileURL, error);
  }

 private:
  ImageResponseSerializerPtr serializer_;
};

// Serializes the request's body as an image on `queue` (the main queue when none). Without a
// serializer, one with scale 1, no inflation and the standard empty-body rules is made.
halyard::DataRequest& responseAsImage(
    halyard::DataRequest& request, platform::DispatchQueuePtr queue,
    std::function<void(const halyard::DataResponse<ImagePtr>&)> completionHandler,
    ImageResponseSerializerPtr serializer = nullptr);

// The request's image as a publisher of one response on `queue` (the main queue when none),
// serialized with a new serializer of the given settings. Nothing touches the request until a
// subscriber asks for a value.
halyard::DataResponsePublisher<ImagePtr> imagePublisher(
    const halyard::DataRequestPtr& request, platform::DispatchQueuePtr queue = nullptr,
    double imageScale = 1.0, bool inflateResponseImage = true,
    halyard::EmptyResponseCodes emptyResponseCodes =
        halyard::ResponseSerializer::standardEmptyResponseCodes(),
    halyard::EmptyRequestMethods emptyRequestMethods =
        halyard::ResponseSerializer::standardEmptyRequestMethods());

// The request's image as an awaitable task. With `automaticallyCancelling`, cancelling a task
// that awaits the response cancels the request.
halyard::DataTask<ImagePtr> imageTask(
    const halyard::DataRequestPtr& request, double imageScale = 1.0,
    bool inflateResponseImage = true, bool automaticallyCancelling = false,
    halyard::EmptyResponseCodes emptyResponseCodes =
        halyard::ResponseSerializer::standardEmptyResponseCodes(),
    halyard::EmptyRequestMethods emptyRequestMethods =
        halyard::ResponseSerializer::standardEmptyRequestMethods());

}  // namespace imagecache
