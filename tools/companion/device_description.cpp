#include "companion/device_description.h"

#include <plist/plist.h>
#include <turbojpeg.h>

#include <memory>
#include <nlohmann/json.hpp>

namespace streaming::companion {

platform::TLData encodeScreenDescription(const std::string& name, std::int32_t width,
                                         std::int32_t height, std::int32_t ppi) {
  std::unique_ptr<void, decltype(&plist_free)> root(plist_new_dict(), &plist_free);
  plist_t screenSize = plist_new_dict();
  plist_dict_set_item(screenSize, "Width", plist_new_uint(static_cast<std::uint64_t>(width)));
  plist_dict_set_item(screenSize, "Height", plist_new_uint(static_cast<std::uint64_t>(height)));
  plist_dict_set_item(root.get(), "name", plist_new_string(name.c_str()));
  plist_dict_set_item(root.get(), "screenSize", screenSize);
  plist_dict_set_item(root.get(), "ppi", plist_new_uint(static_cast<std::uint64_t>(ppi)));
  char* bytes = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root.get(), &bytes, &length);
  platform::TLData data(bytes, bytes + length);
  plist_to_bin_free(bytes);
  return data;
}

platform::TLData encodeDeviceInfo(const std::string& name, std::int32_t width, std::int32_t height,
                                  std::int32_t ppi) {
  const nlohmann::ordered_json info = {
      {"name", name},         {"model", "Companion Simulator"},
      {"screenWidth", width}, {"screenHeight", height},
      {"ppi", ppi},
  };
  // Replacement keeps an odd byte in a name from making the description unsendable.
  const std::string text = info.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return platform::TLData(text.begin(), text.end());
}

ImageSize expectedImageSize(std::int32_t width, std::int32_t height) {
  const std::int32_t canvasHeight = height - 20;
  if (width >= 800 && canvasHeight >= 600) return {width, height};
  return {width, canvasHeight};
}

std::optional<ImageSize> jpegImageSize(std::span<const std::uint8_t> jpeg) {
  if (jpeg.empty() || jpeg.size() > 0xffffffffu) return std::nullopt;
  std::unique_ptr<void, decltype(&tjDestroy)> decoder(tjInitDecompress(), &tjDestroy);
  if (!decoder) return std::nullopt;
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(decoder.get(), jpeg.data(), static_cast<unsigned long>(jpeg.size()),
                          &width, &height, &subsampling, &colorspace) != 0 ||
      width <= 0 || height <= 0) {
    return std::nullopt;
  }
  return ImageSize{width, height};
}

}  // namespace streaming::companion
