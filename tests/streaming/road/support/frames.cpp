#include "streaming/road/support/frames.h"

#include <turbojpeg.h>

#include <cstdlib>

#include "platform/coding/value.h"
#include "platform/dispatch/main_queue.h"

namespace streaming::road {

namespace {

std::shared_ptr<platform::SampleBuffer> sampleOf(int width, int height,
                                                 std::shared_ptr<std::vector<std::uint8_t>> pixels,
                                                 double timestamp) {
  auto buffer = std::make_shared<platform::PixelBuffer>(
      static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
      static_cast<std::size_t>(width) * 4, platform::PixelFormat::bgra32, pixels->data(), pixels);
  std::vector<platform::SampleAttachments> attachments{
      {{platform::kStreamFrameInfoStatus, std::int64_t(platform::FrameStatus::complete)}}};
  return std::make_shared<platform::SampleBuffer>(std::move(buffer), std::move(attachments),
                                                  timestamp);
}

void put(std::uint8_t* p, std::uint32_t rgb) {
  p[0] = static_cast<std::uint8_t>(rgb);
  p[1] = static_cast<std::uint8_t>(rgb >> 8);
  p[2] = static_cast<std::uint8_t>(rgb >> 16);
  p[3] = 0;  // X leaves the fourth byte undefined; it must not matter
}

}  // namespace

std::shared_ptr<platform::SampleBuffer> solidSample(int width, int height, std::uint32_t rgb,
                                                    double timestamp) {
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(std::size_t(width) * height * 4);
  for (std::size_t i = 0; i < pixels->size(); i += 4)
    put(pixels->data() + i, rgb);
  return sampleOf(width, height, std::move(pixels), timestamp);
}

std::shared_ptr<platform::SampleBuffer> splitSample(int width, int height, std::uint32_t left,
                                                    std::uint32_t right) {
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(std::size_t(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      put(pixels->data() + (std::size_t(y) * width + x) * 4, x < width / 2 ? left : right);
    }
  }
  return sampleOf(width, height, std::move(pixels), 0);
}

std::uint32_t samplePixel(const platform::SampleBuffer& sample, int x, int y) {
  const auto& buffer = *sample.imageBuffer();
  const std::uint8_t* p = buffer.baseAddress() + std::size_t(y) * buffer.bytesPerRow() + x * 4;
  return std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}

std::uint32_t DecodedImage::at(int x, int y) const {
  const std::uint8_t* p = rgb.data() + (std::size_t(y) * width + x) * 3;
  return std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
}

std::optional<DecodedImage> decodeJpeg(std::span<const std::uint8_t> jpeg) {
  tjhandle handle = tjInitDecompress();
  if (!handle) return std::nullopt;
  DecodedImage image;
  int subsampling = 0, colorspace = 0;
  auto* data = const_cast<unsigned char*>(jpeg.data());
  const auto size = static_cast<unsigned long>(jpeg.size());
  bool ok = tjDecompressHeader3(handle, data, size, &image.width, &image.height, &subsampling,
                                &colorspace) == 0;
  if (ok) {
    image.rgb.resize(std::size_t(image.width) * image.height * 3);
    ok = tjDecompress2(handle, data, size, image.rgb.data(), image.width, 0, image.height, TJPF_RGB,
                       0) == 0;
  }
  tjDestroy(handle);
  if (!ok) return std::nullopt;
  return image;
}

std::shared_ptr<const MagicPacket> tabletDescription(int width, int height) {
  using platform::Value;
  return MagicPacket::make(Value::Dictionary{
      {"name", Value("Tablet")},
      {"screenSize", Value(Value::Dictionary{{"Width", Value(width)}, {"Height", Value(height)}})},
      {"ppi", Value(132)}});
}

bool near(std::uint32_t a, std::uint32_t b, int tolerance) {
  for (int shift = 0; shift <= 16; shift += 8) {
    const int ca = static_cast<int>((a >> shift) & 0xFF);
    const int cb = static_cast<int>((b >> shift) & 0xFF);
    if (std::abs(ca - cb) > tolerance) return false;
  }
  return true;
}

bool waitForFramesToSettle(const StartingScreenViewModel& model, double seconds) {
  return platform::runMainUntil(
      [&] {
        const FrameStatistics s = model.frameStatistics();
        return s.captured == s.sent + s.dropped + s.stale + s.unencodable + s.unsent;
      },
      seconds);
}

}  // namespace streaming::road
