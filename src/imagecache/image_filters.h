#pragma once

// Named transformations of images. The downloader stores a filter's output under a key ending
// in the filter's identifier, so an identifier must describe the output exactly: two filters
// with one identifier are taken to make the same image.

#include <concepts>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imagecache/image_cost.h"
#include "platform/graphics/image.h"

namespace imagecache {

using FilterImagePtr = std::shared_ptr<const platform::Image>;
using ImageFilterFunction = std::function<FilterImagePtr(FilterImagePtr)>;

class ImageFilter;

// The unqualified name of the filter's dynamic type: "RoundedCorners" for
// `app::RoundedCorners`, "Box<app::Item>" for `app::Box<app::Item>`.
std::string defaultIdentifier(const ImageFilter& filter);

// A transformation of an image together with the name its output is cached under.
class ImageFilter {
 public:
  virtual ~ImageFilter() = default;

  virtual ImageFilterFunction filter() const = 0;
  // Unless a filter type says otherwise: `sizeIdentifier` for a `Sizable` filter,
  // `radiusIdentifier` for a `Roundable` one (both, joined, for one that is both), else the
  // dynamic type's unqualified name. A bare name would give every size one cache key.
  virtual std::string identifier() const;
};

using ImageFilterPtr = std::shared_ptr<const ImageFilter>;

// A filter that produces an image of a target size.
class Sizable {
 public:
  virtual ~Sizable() = default;
  virtual ImageSize targetSize() const = 0;
};

// A filter that rounds an image's corners.
class Roundable {
 public:
  virtual ~Roundable() = default;
  virtual double cornerRadius() const = 0;
};

// The type name, "-size:(", the width and height rounded to whole numbers (halves away from
// zero) joined by "x", then ")". A size whose rounded value is not a finite signed 64-bit
// integer has no identifier that could not alias another filter's: the program stops, naming
// the filter's type.
std::string sizeIdentifier(const ImageFilter& filter, const Sizable& sizable);
// The type name, "-radius:(", the rounded radius, ")"; non-representable radii stop the program
// as sizes do.
std::string radiusIdentifier(const ImageFilter& filter, const Roundable& roundable);

template <class Filter>
requires std::derived_from<Filter, ImageFilter> && std::derived_from<Filter, Sizable> std::string
sizeIdentifier(const Filter& filter) {
  return sizeIdentifier(static_cast<const ImageFilter&>(filter),
                        static_cast<const Sizable&>(filter));
}

template <class Filter>
requires std::derived_from<Filter, ImageFilter> && std::derived_from<Filter, Roundable> std::string
radiusIdentifier(const Filter& filter) {
  return radiusIdentifier(static_cast<const ImageFilter&>(filter),
                          static_cast<const Roundable&>(filter));
}

// A filter made of other filters applied in order.
class CompositeImageFilter : public ImageFilter {
 public:
  virtual std::vector<ImageFilterPtr> filters() const = 0;

  // Applies the members as they are when the function runs; the function refers to this
  // filter, which must outlive it.
  ImageFilterFunction filter() const override;
  // The members' identifiers joined by "_".
  std::string identifier() const override;
};

// The members' identifiers in order, joined by "_"; empty for no members.
std::string joinedIdentifier(const CompositeImageFilter& composite);

// Applies each member in order to the result of the one before; the input itself for no
// members.
FilterImagePtr applyFilters(const std::vector<ImageFilterPtr>& filters, FilterImagePtr image);

// A filter given by its identifier and a function.
class DynamicImageFilter final : public ImageFilter {
 public:
  DynamicImageFilter(std::string identifier, ImageFilterFunction filter)
      : identifier_(std::move(identifier)), filter_(std::move(filter)) {}

  ImageFilterFunction filter() const override { return filter_; }
  std::string identifier() const override { return identifier_; }

 private:
  std::string identifier_;
  ImageFilterFunction filter_;
};

// A composite of a list of filters. Its function applies the members the list held when the
// function was asked for, so later changes to the list leave it alone.
class DynamicCompositeImageFilter final : public CompositeImageFilter {
 public:
  explicit DynamicCompositeImageFilter(std::vector<ImageFilterPtr> filters)
      : filters_(std::move(filters)) {}

  std::vector<ImageFilterPtr> filters() const override { return filters_; }
  void setFilters(std::vector<ImageFilterPtr> filters) { filters_ = std::move(filters); }

  ImageFilterFunction filter() const override;

 private:
  std::vector<ImageFilterPtr> filters_;
};

}  // namespace imagecache
