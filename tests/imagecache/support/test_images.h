#pragma once

// Pictures the tests encode themselves, so no binary fixture is needed.

#include <png.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/graphics/image.h"

namespace imagetest {

// A JPEG of one colour (blue, green, red).
inline std::string makeJPEG(int width, int height, std::uint8_t blue = 40, std::uint8_t green = 120,
                            std::uint8_t red = 200) {
  auto canvas = platform::MutableImage::make(width, height);
  if (!canvas) return {};
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = canvas->mutableRow(y);
    for (int x = 0; x < width; ++x) {
      row[4 * x] = blue;
      row[4 * x + 1] = green;
      row[4 * x + 2] = red;
      row[4 * x + 3] = 255;
    }
  }
  const auto bytes = canvas->image().jpegData(0.9);
  if (!bytes) return {};
  return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

// A PNG with alpha whose pixels are a gradient.
inline std::string makePNG(int width, int height) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
      p[0] = static_cast<std::uint8_t>(x);
      p[1] = static_cast<std::uint8_t>(y);
      p[2] = 90;
      p[3] = static_cast<std::uint8_t>(128 + (x + y) % 128);
    }
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr)) return {};
  std::string out(size, '\0');
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, nullptr)) {
    return {};
  }
  out.resize(size);
  return out;
}

// A PNG whose header declares `width` by `height` pixels of RGBA, followed by a few bytes of
// pixel data: a small file that claims to be a huge picture.
inline std::string makePNGHeaderClaiming(std::uint32_t width, std::uint32_t height) {
  auto crc32 = [](const std::string& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : data) {
      crc ^= byte;
      for (int bit = 0; bit < 8; ++bit)
        crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
  };
  auto be32 = [](std::uint32_t value) {
    return std::string{static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                       static_cast<char>(value >> 8), static_cast<char>(value)};
  };
  auto chunk = [&](const std::string& type, const std::string& data) {
    return be32(static_cast<std::uint32_t>(data.size())) + type + data + be32(crc32(type + data));
  };
  std::string header = be32(width) + be32(height) + std::string("\x08\x06\x00\x00\x00", 5);
  // A zlib stream of one stored block of zeros: the first row's filter byte and some pixels.
  std::string idat =
      std::string("\x78\x01\x01\x00\x02\xff\xfd", 7) + std::string(512, '\0') + be32(0x02000001u);
  return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", idat) +
         chunk("IEND", "");
}

inline std::vector<std::uint8_t> bytesOf(const std::string& text) {
  return {text.begin(), text.end()};
}

}  // namespace imagetest
