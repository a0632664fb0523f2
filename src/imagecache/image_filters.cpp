#include "imagecache/image_filters.h"

#include <cxxabi.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <typeinfo>

#include "platform/foundation/log.h"

namespace imagecache {

namespace {

// Drops the namespaces and enclosing classes of the outermost name, leaving template arguments
// whole: the last "::" that sits outside any angle brackets or parentheses.
std::string unqualified(std::string name) {
  int depth = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '<' || c == '(') {
      ++depth;
    } else if (c == '>' || c == ')') {
      --depth;
    } else if (depth == 0 && c == ':' && i + 1 < name.size() && name[i + 1] == ':') {
      start = i + 2;
      ++i;
    }
  }
  return name.substr(start);
}

std::string typeName(const ImageFilter& filter) {
  const std::type_info& type = typeid(filter);
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled != nullptr ? demangled : type.name();
  std::free(demangled);
  return unqualified(std::move(name));
}

// The value rounded to a whole number, halves away from zero, as a signed 64-bit integer. A
// value with no such integer stops the program: an identifier made up for it could name another
// filter's images.
std::int64_t wholeNumber(double value, const ImageFilter& filter, const char* what) {
  const double rounded = std::round(value);
  // -2^63 is representable; 2^63 is the first value past the range.
  constexpr double kLowest = -9223372036854775808.0;
  constexpr double kPastHighest = 9223372036854775808.0;
  if (!(rounded >= kLowest && rounded < kPastHighest)) {
    platform::fatal(typeName(filter) + " has a " + what + " of " + std::to_string(value) +
                    ", which no filter identifier can describe");
  }
  return static_cast<std::int64_t>(rounded);
}

}  // namespace

std::string defaultIdentifier(const ImageFilter& filter) {
  return typeName(filter);
}

std::string ImageFilter::identifier() const {
  const auto* sizable = dynamic_cast<const Sizable*>(this);
  const auto* roundable = dynamic_cast<const Roundable*>(this);
  if (sizable && roundable) {
    // The radius part without its type name, so a filter that is both names its type once.
    return sizeIdentifier(*this, *sizable) +
           radiusIdentifier(*this, *roundable).substr(typeName(*this).size());
  }
  if (sizable) return sizeIdentifier(*this, *sizable);
  if (roundable) return radiusIdentifier(*this, *roundable);
  return defaultIdentifier(*this);
}

std::string sizeIdentifier(const ImageFilter& filter, const Sizable& sizable) {
  const std::int64_t width = wholeNumber(sizable.targetSize().width, filter, "target width");
  const std::int64_t height = wholeNumber(sizable.targetSize().height, filter, "target height");
  return typeName(filter) + "-size:(" + std::to_string(width) + "x" + std::to_string(height) + ")";
}

std::string radiusIdentifier(const ImageFilter& filter, const Roundable& roundable) {
  const std::int64_t radius = wholeNumber(roundable.cornerRadius(), filter, "corner radius");
  return typeName(filter) + "-radius:(" + std::to_string(radius) + ")";
}

std::string joinedIdentifier(const CompositeImageFilter& composite) {
  std::string joined;
  bool first = true;
  for (const ImageFilterPtr& member : composite.filters()) {
    if (!first) joined += '_';
    joined += member->identifier();
    first = false;
  }
  return joined;
}

FilterImagePtr applyFilters(const std::vector<ImageFilterPtr>& filters, FilterImagePtr image) {
  for (const ImageFilterPtr& member : filters)
    image = member->filter()(std::move(image));
  return image;
}

ImageFilterFunction CompositeImageFilter::filter() const {
  return [this](FilterImagePtr image) { return applyFilters(filters(), std::move(image)); };
}

std::string CompositeImageFilter::identifier() const {
  return joinedIdentifier(*this);
}

ImageFilterFunction DynamicCompositeImageFilter::filter() const {
  return [members = filters_](FilterImagePtr image) {
    return applyFilters(members, std::move(image));
  };
}

}  // namespace imagecache
