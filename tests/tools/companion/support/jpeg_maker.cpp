#include "tools/companion/support/jpeg_maker.h"

#include <turbojpeg.h>

#include <memory>
#include <stdexcept>

namespace streaming::fakes {

std::vector<std::uint8_t> makeJpeg(int width, int height) {
  std::unique_ptr<void, decltype(&tjDestroy)> encoder(tjInitCompress(), &tjDestroy);
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 3, 0x80);
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  if (tjCompress2(encoder.get(), pixels.data(), width, 0, height, TJPF_RGB, &jpeg, &size,
                  TJSAMP_420, 60, 0) != 0) {
    throw std::runtime_error("cannot encode a test JPEG");
  }
  std::vector<std::uint8_t> bytes(jpeg, jpeg + size);
  tjFree(jpeg);
  return bytes;
}

}  // namespace streaming::fakes
