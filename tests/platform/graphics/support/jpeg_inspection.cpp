#include "platform/graphics/support/jpeg_inspection.h"

#include <turbojpeg.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <jpeglib.h>

namespace graphics_test {

std::optional<Decoded> decodeWithTurbo(std::span<const std::uint8_t> jpeg) {
  tjhandle handle = tjInitDecompress();
  if (!handle) return std::nullopt;
  std::optional<Decoded> result;
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &width, &height, &subsampling,
                          &colorspace) == 0) {
    Decoded decoded{width, height, std::vector<std::uint8_t>(std::size_t(width) * height * 4)};
    if (tjDecompress2(handle, jpeg.data(), jpeg.size(), decoded.pixels.data(), width, width * 4,
                      height, TJPF_BGRX, TJFLAG_STOPONWARNING) == 0) {
      result = std::move(decoded);
    }
  }
  tjDestroy(handle);
  return result;
}

namespace {

struct LibjpegErrors {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  int warnings = 0;
};

void failDecode(j_common_ptr info) {
  std::longjmp(reinterpret_cast<LibjpegErrors*>(info->err)->jump, 1);
}

void countWarning(j_common_ptr info, int level) {
  if (level < 0) ++reinterpret_cast<LibjpegErrors*>(info->err)->warnings;
}

// Separate from the caller so that no C++ object lives in the frame the error jump leaves.
bool runLibjpegDecode(jpeg_decompress_struct* info, LibjpegErrors* errors,
                      std::span<const std::uint8_t> jpeg, Decoded* decoded) {
  if (setjmp(errors->jump)) return false;
  jpeg_mem_src(info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  if (jpeg_read_header(info, TRUE) != JPEG_HEADER_OK) return false;
  info->out_color_space = JCS_EXT_BGRX;
  jpeg_start_decompress(info);
  decoded->width = static_cast<int>(info->output_width);
  decoded->height = static_cast<int>(info->output_height);
  decoded->pixels.resize(std::size_t(decoded->width) * decoded->height * 4);
  while (info->output_scanline < info->output_height) {
    JSAMPROW row = decoded->pixels.data() + std::size_t(info->output_scanline) * decoded->width * 4;
    jpeg_read_scanlines(info, &row, 1);
  }
  jpeg_finish_decompress(info);
  return true;
}

}  // namespace

std::optional<Decoded> decodeWithLibjpeg(std::span<const std::uint8_t> jpeg, int* warnings) {
  jpeg_decompress_struct info{};
  LibjpegErrors errors{};
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = &failDecode;
  errors.base.emit_message = &countWarning;
  jpeg_create_decompress(&info);
  Decoded decoded;
  const bool ok = runLibjpegDecode(&info, &errors, jpeg, &decoded);
  jpeg_destroy_decompress(&info);
  if (warnings) *warnings = errors.warnings;
  if (!ok) return std::nullopt;
  return decoded;
}

int maxChannelDifference(const Decoded& a, const Decoded& b) {
  if (a.width != b.width || a.height != b.height) return 256;
  int worst = 0;
  for (std::size_t i = 0; i < a.pixels.size(); ++i) {
    if (i % 4 == 3) continue;
    worst = std::max(worst, std::abs(int(a.pixels[i]) - int(b.pixels[i])));
  }
  return worst;
}

double meanDifference(const Decoded& decoded, const platform::Image& original) {
  if (decoded.width != original.width() || decoded.height != original.height()) return 256;
  double sum = 0;
  for (int y = 0; y < original.height(); ++y) {
    const std::uint8_t* source = original.row(y);
    const std::uint8_t* target = decoded.pixels.data() + std::size_t(y) * decoded.width * 4;
    for (int x = 0; x < original.width() * 4; ++x) {
      if (x % 4 != 3) sum += std::abs(int(source[x]) - int(target[x]));
    }
  }
  return sum / (double(original.width()) * original.height() * 3);
}

Structure inspect(std::span<const std::uint8_t> jpeg) {
  Structure s;
  auto fail = [&](std::string why) {
    s.error = std::move(why);
    return s;
  };
  auto be16 = [&](std::size_t at) { return int(jpeg[at]) << 8 | jpeg[at + 1]; };
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return fail("no SOI");
  s.startOfImage = 1;
  std::size_t at = 2;
  for (;;) {
    if (at + 4 > jpeg.size()) return fail("headers cut short");
    if (jpeg[at] != 0xFF) return fail("garbage between segments");
    const int marker = jpeg[at + 1];
    const std::size_t length = std::size_t(be16(at + 2));
    if (length < 2 || at + 2 + length > jpeg.size()) return fail("bad segment length");
    if (marker == 0xD8) return fail("second SOI");
    if (marker == 0xDB) ++s.quantizationTables;
    if (marker == 0xC4) ++s.huffmanTables;
    if (marker == 0xC0) {
      ++s.baselineFrames;
      s.frameHeight = be16(at + 5);
      s.frameWidth = be16(at + 7);
    } else if (marker >= 0xC1 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
               marker != 0xCC) {
      ++s.otherFrames;
    }
    if (marker == 0xDD) {
      ++s.restartDefinitions;
      s.restartInterval = be16(at + 4);
    }
    at += 2 + length;
    if (marker == 0xDA) {
      ++s.scans;
      break;
    }
  }
  // Entropy-coded data: 0xFF is followed by a stuffed zero, a restart marker, or the end.
  while (at < jpeg.size()) {
    if (jpeg[at] != 0xFF) {
      ++at;
      continue;
    }
    if (at + 1 >= jpeg.size()) return fail("data ends inside a marker");
    const int next = jpeg[at + 1];
    if (next == 0x00) {
      at += 2;
    } else if (next >= 0xD0 && next <= 0xD7) {
      s.restartMarkers.push_back(next - 0xD0);
      at += 2;
    } else if (next == 0xD9) {
      s.endsWithEndOfImage = at + 2 == jpeg.size();
      if (!s.endsWithEndOfImage) return fail("bytes after EOI");
      return s;
    } else if (next == 0xDA) {
      ++s.scans;
      return fail("a second scan");
    } else {
      return fail("unexpected marker in the data");
    }
  }
  return fail("no EOI");
}

namespace {

std::uint32_t mix(std::uint32_t value) {
  value ^= value >> 16;
  value *= 0x7feb352d;
  value ^= value >> 15;
  value *= 0x846ca68b;
  value ^= value >> 16;
  return value;
}

platform::Image wrapOwned(std::shared_ptr<std::vector<std::uint8_t>> pixels, int width, int height,
                          std::size_t bytesPerRow) {
  const std::uint8_t* data = pixels->data();
  return *platform::Image::wrap(data, width, height, bytesPerRow, std::move(pixels));
}

}  // namespace

platform::Image makeScreenImage(int width, int height, unsigned seed) {
  const std::size_t stride = std::size_t(width) * 4;
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(stride * height);
  // Panels placed from the seed, each a flat colour; one of them carries "text".
  struct Panel {
    int x0, y0, x1, y1;
    std::uint8_t b, g, r;
    bool text;
  };
  Panel panels[4];
  for (int i = 0; i < 4; ++i) {
    const std::uint32_t h = mix(seed * 97 + i);
    const int x0 = int(h % unsigned(width));
    const int y0 = int((h >> 8) % unsigned(height));
    panels[i] = {x0,
                 y0,
                 std::min(width, x0 + 1 + width / 3),
                 std::min(height, y0 + 1 + height / 3),
                 std::uint8_t(h >> 3),
                 std::uint8_t(h >> 11),
                 std::uint8_t(h >> 19),
                 i == 0};
  }
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = pixels->data() + stride * y;
    for (int x = 0; x < width; ++x) {
      std::uint8_t b = std::uint8_t(width > 1 ? x * 255 / (width - 1) : 0);
      std::uint8_t g = std::uint8_t(height > 1 ? y * 255 / (height - 1) : 0);
      std::uint8_t r = std::uint8_t(128 + (seed * 31) % 64);
      for (const Panel& p : panels) {
        if (x < p.x0 || x >= p.x1 || y < p.y0 || y >= p.y1) continue;
        b = p.b, g = p.g, r = p.r;
        if (p.text &&
            (mix(std::uint32_t(x / 2) * 7919u + std::uint32_t(y / 3) * 104729u + seed) & 3) == 0) {
          b = g = r = 16;
        }
      }
      row[x * 4 + 0] = b;
      row[x * 4 + 1] = g;
      row[x * 4 + 2] = r;
      row[x * 4 + 3] = std::uint8_t(mix(std::uint32_t(x + y)));  // must be ignored
    }
  }
  return wrapOwned(std::move(pixels), width, height, stride);
}

platform::Image withRowPadding(const platform::Image& image, std::size_t padding) {
  const std::size_t stride = std::size_t(image.width()) * 4 + padding;
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(stride * image.height(), 0xAB);
  for (int y = 0; y < image.height(); ++y) {
    std::memcpy(pixels->data() + stride * y, image.row(y), std::size_t(image.width()) * 4);
  }
  return wrapOwned(std::move(pixels), image.width(), image.height(), stride);
}

platform::Image makeSolidImage(int width, int height, std::uint8_t blue, std::uint8_t green,
                               std::uint8_t red) {
  const std::size_t stride = std::size_t(width) * 4;
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(stride * height);
  for (std::size_t i = 0; i < pixels->size(); i += 4) {
    (*pixels)[i] = blue;
    (*pixels)[i + 1] = green;
    (*pixels)[i + 2] = red;
    (*pixels)[i + 3] = 0xFF;
  }
  return wrapOwned(std::move(pixels), width, height, stride);
}

}  // namespace graphics_test
