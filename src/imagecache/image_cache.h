#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/net/url_request.h"

namespace imagecache {

// What a downloader expects of any store of decoded images kept under text identifiers.
template <class Image>
class ImageCache {
 public:
  using ImagePtr = std::shared_ptr<const Image>;

  virtual ~ImageCache() = default;

  virtual void addWithIdentifier(ImagePtr image, const std::string& identifier) = 0;
  // Whether an image was stored under the identifier.
  virtual bool removeWithIdentifier(const std::string& identifier) = 0;
  // Whether anything was stored at all.
  virtual bool removeAllImages() = 0;
  virtual ImagePtr imageWithIdentifier(const std::string& identifier) = 0;
};

// A cache that can also be addressed by the request an image was downloaded for, with an
// optional identifier (a filter's, typically) telling variants of one address apart.
template <class Image>
class ImageRequestCache : public ImageCache<Image> {
 public:
  using typename ImageCache<Image>::ImagePtr;

  virtual void addForRequest(ImagePtr image, const platform::URLRequest& request,
                             const std::optional<std::string>& identifier) = 0;
  virtual bool removeForRequest(const platform::URLRequest& request,
                                const std::optional<std::string>& identifier) = 0;
  virtual ImagePtr imageForRequest(const platform::URLRequest& request,
                                   const std::optional<std::string>& identifier) = 0;
};

}  // namespace imagecache
