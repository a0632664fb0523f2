#include <libheif/heif.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/graphics/heif_av1_decoder.h"
#include "platform/graphics/image_decoding_formats.h"

namespace platform::decoding {

namespace {

struct ContextDeleter {
  void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleDeleter {
  void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageDeleter {
  void operator()(heif_image* image) const { heif_image_release(image); }
};
struct OptionsDeleter {
  void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};

// ---- What libheif does not tell before it allocates
//
// libheif 1.15 sizes a grid's or an overlay's canvas from the derived item's own descriptor,
// not from the size property the handle reports, and spends time on every item and every tile
// before a caller can see how many there are. Both are read here from the file's boxes, each
// read checked against the bytes at hand, so that the limits hold before libheif allocates.

std::uint32_t big(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i)
    value = value << 8 | bytes[at + i];
  return value;
}

struct Box {
  std::array<char, 4> type{};
  std::span<const std::uint8_t> body;  // after the header
};

// The boxes of `bytes` in order; none past the first one that does not fit.
std::vector<Box> boxesOf(std::span<const std::uint8_t> bytes) {
  std::vector<Box> boxes;
  std::size_t at = 0;
  while (bytes.size() - at >= 8) {
    std::uint64_t size = big(bytes, at, 4);
    std::size_t head = 8;
    if (size == 1) {
      if (bytes.size() - at < 16) break;
      size = std::uint64_t{big(bytes, at + 8, 4)} << 32 | big(bytes, at + 12, 4);
      head = 16;
    } else if (size == 0) {
      size = bytes.size() - at;
    }
    if (size < head || size > bytes.size() - at) break;
    Box box;
    std::memcpy(box.type.data(), bytes.data() + at + 4, 4);
    box.body = bytes.subspan(at + head, static_cast<std::size_t>(size) - head);
    boxes.push_back(box);
    at += static_cast<std::size_t>(size);
  }
  return boxes;
}

std::optional<Box> find(const std::vector<Box>& boxes, const char* type) {
  for (const Box& box : boxes)
    if (std::memcmp(box.type.data(), type, 4) == 0) return box;
  return std::nullopt;
}

// Reads fields one after another; a read past the end leaves the reader failed and answers 0.
class Fields {
 public:
  explicit Fields(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t read(std::size_t width) {
    if (width > 8 || bytes_.size() - at_ < width) {
      failed_ = true;
      at_ = bytes_.size();
      return 0;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
      value = value << 8 | bytes_[at_ + i];
    at_ += width;
    return value;
  }
  bool failed() const { return failed_; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
  bool failed_ = false;
};

// The size a derived picture (a grid or an overlay) is drawn on, and how many pictures it is
// drawn from.
struct Derivation {
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  std::uint64_t inputs = 0;
};

struct Layout {
  std::uint64_t items = 0;
  // Every derived picture: libheif draws the primary one and, for its transparency, another.
  std::vector<Derivation> derived;
  // The primary picture's, when it is derived.
  std::optional<Derivation> primary;
};

// The data of each item of `wanted` as its location says, within the file or the metadata's own
// data box; items whose data lies nowhere are left out.
std::unordered_map<std::uint64_t, std::span<const std::uint8_t>> itemData(
    std::span<const std::uint8_t> file, const Box& locations, const std::optional<Box>& itemDataBox,
    const std::unordered_set<std::uint64_t>& wanted) {
  std::unordered_map<std::uint64_t, std::span<const std::uint8_t>> found;
  Fields f(locations.body);
  const std::uint64_t version = f.read(1);
  f.read(3);
  const std::uint64_t sizes = f.read(1);
  const std::uint64_t more = f.read(1);
  const std::size_t offsetSize = sizes >> 4;
  const std::size_t lengthSize = sizes & 15;
  const std::size_t baseSize = more >> 4;
  const std::size_t indexSize = version >= 1 ? more & 15 : 0;
  const std::uint64_t count = f.read(version < 2 ? 2 : 4);
  for (std::uint64_t i = 0; i < count && !f.failed(); ++i) {
    const std::uint64_t id = f.read(version < 2 ? 2 : 4);
    const std::uint64_t method = version >= 1 ? f.read(2) & 15 : 0;
    f.read(2);
    const std::uint64_t base = f.read(baseSize);
    const std::uint64_t extents = f.read(2);
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    // Extents of no bytes at all are read once: their count alone costs nothing to state.
    const bool empty = indexSize + offsetSize + lengthSize == 0;
    for (std::uint64_t e = 0;
         e < (empty ? std::min<std::uint64_t>(extents, 1) : extents) && !f.failed(); ++e) {
      f.read(indexSize);
      const std::uint64_t extentOffset = f.read(offsetSize);
      const std::uint64_t extentLength = f.read(lengthSize);
      if (e == 0) {
        offset = extentOffset;
        length = extentLength;
      }
    }
    if (f.failed() || !wanted.contains(id) || method > 1) continue;
    std::span<const std::uint8_t> within = file;
    if (method == 1) {
      if (!itemDataBox) continue;
      within = itemDataBox->body;
    }
    if (base > within.size() || offset > within.size() - base) continue;
    const std::span<const std::uint8_t> rest = within.subspan(base + offset);
    found.insert_or_assign(id, length == 0 || length > rest.size() ? rest : rest.first(length));
  }
  return found;
}

// The item count and every grid's and overlay's canvas and inputs. Nothing when the metadata,
// or a derived picture's descriptor, cannot be read; libheif would refuse such a file too.
std::optional<Layout> readLayout(std::span<const std::uint8_t> file) {
  const std::optional<Box> meta = find(boxesOf(file), "meta");
  if (!meta || meta->body.size() < 4) return std::nullopt;
  const std::vector<Box> inside = boxesOf(meta->body.subspan(4));
  const std::optional<Box> primaryBox = find(inside, "pitm");
  const std::optional<Box> infoBox = find(inside, "iinf");
  if (!primaryBox || !infoBox) return std::nullopt;
  Fields pitm(primaryBox->body);
  const std::size_t primaryBytes = pitm.read(1) == 0 ? 2 : 4;
  pitm.read(3);
  const std::uint64_t primary = pitm.read(primaryBytes);
  Fields iinf(infoBox->body);
  const std::size_t countBytes = iinf.read(1) == 0 ? 2 : 4;
  iinf.read(3);
  Layout layout;
  layout.items = iinf.read(countBytes);
  if (pitm.failed() || iinf.failed()) return std::nullopt;
  // Item types are four letters; a grid or an overlay is drawn from other pictures.
  std::unordered_map<std::uint64_t, bool> derivedItems;  // to whether it is a grid
  for (const Box& entry :
       boxesOf(infoBox->body.subspan(std::min(4 + countBytes, infoBox->body.size())))) {
    Fields infe(entry.body);
    const std::uint64_t version = infe.read(1);
    infe.read(3);
    if (version < 2) continue;
    const std::uint64_t id = infe.read(version == 2 ? 2 : 4);
    infe.read(2);
    const std::uint64_t type = infe.read(4);
    if (infe.failed()) continue;
    if (type == 0x67726964u || type == 0x696f766cu)  // "grid", "iovl"
      derivedItems.insert_or_assign(id, type == 0x67726964u);
  }
  if (derivedItems.empty()) return layout;

  const std::optional<Box> locations = find(inside, "iloc");
  if (!locations) return std::nullopt;
  std::unordered_set<std::uint64_t> wanted;
  for (const auto& [id, grid] : derivedItems)
    wanted.insert(id);
  const auto data = itemData(file, *locations, find(inside, "idat"), wanted);
  // The pictures drawn are the derived item's references, whatever a grid declares.
  std::unordered_map<std::uint64_t, std::uint64_t> references;
  if (const std::optional<Box> iref = find(inside, "iref"); iref) {
    Fields head(iref->body);
    const std::size_t idBytes = head.read(1) == 0 ? 2 : 4;
    for (const Box& reference :
         boxesOf(iref->body.subspan(std::min<std::size_t>(4, iref->body.size())))) {
      Fields r(reference.body);
      const std::uint64_t from = r.read(idBytes);
      const std::uint64_t count = r.read(2);
      if (!r.failed() && std::memcmp(reference.type.data(), "dimg", 4) == 0)
        references[from] = std::max(references[from], count);
    }
  }
  for (const auto& [id, grid] : derivedItems) {
    const auto found = data.find(id);
    if (found == data.end()) return std::nullopt;
    Fields descriptor(found->second);
    descriptor.read(1);
    const std::size_t sizeBytes = (descriptor.read(1) & 1) != 0 ? 4 : 2;
    Derivation derived;
    if (grid) {
      const std::uint64_t rows = descriptor.read(1) + 1;
      derived.inputs = rows * (descriptor.read(1) + 1);
    } else {
      descriptor.read(8);  // the canvas's fill colour
    }
    derived.width = descriptor.read(sizeBytes);
    derived.height = descriptor.read(sizeBytes);
    if (descriptor.failed()) return std::nullopt;
    if (const auto drawn = references.find(id); drawn != references.end())
      derived.inputs = std::max(derived.inputs, drawn->second);
    layout.derived.push_back(derived);
    if (id == primary) layout.primary = derived;
  }
  return layout;
}

}  // namespace

ImageDecodingResult decodeHeif(std::span<const std::uint8_t> bytes,
                               const ImageDecodingLimits& limits) {
  const std::optional<Layout> layout = readLayout(bytes);
  if (!layout) return std::unexpected(ImageDecodingFailure::corrupt);
  if (layout->items > static_cast<std::uint64_t>(std::max(limits.maxHeifItems, 1)))
    return std::unexpected(ImageDecodingFailure::exceedsLimits);
  for (const Derivation& derived : layout->derived) {
    if (derived.inputs > static_cast<std::uint64_t>(std::max(limits.maxHeifGridTiles, 1)))
      return std::unexpected(ImageDecodingFailure::exceedsLimits);
    if (std::optional<ImageDecodingFailure> refusal =
            checkGeometry(derived.width, derived.height, limits)) {
      return std::unexpected(*refusal);
    }
  }
  std::unique_ptr<heif_context, ContextDeleter> context(heif_context_alloc());
  if (!context) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  // Tiles are decoded on this thread, where the AV1 frame bound set here applies.
  heif_context_set_max_decoding_threads(context.get(), 0);
  useBoundedAv1Decoder(limits.maxPixels);
  heif_context_set_maximum_image_size_limit(
      context.get(),
      std::clamp(std::max(limits.maxWidth, limits.maxHeight), 1, kMaxImageDimension));
  // libheif refuses a stored size past the limit given above as it reads the file.
  const heif_error read = heif_context_read_from_memory_without_copy(context.get(), bytes.data(),
                                                                     bytes.size(), nullptr);
  if (read.code == heif_error_Memory_allocation_error ||
      read.subcode == heif_suberror_Security_limit_exceeded) {
    return std::unexpected(ImageDecodingFailure::exceedsLimits);
  }
  if (read.code != heif_error_Ok) return std::unexpected(ImageDecodingFailure::corrupt);
  // The primary image is the file's picture; thumbnails, depth maps and further images are not.
  heif_image_handle* primary = nullptr;
  if (heif_context_get_primary_image_handle(context.get(), &primary).code != heif_error_Ok)
    return std::unexpected(ImageDecodingFailure::corrupt);
  std::unique_ptr<heif_image_handle, HandleDeleter> handle(primary);
  const int stored = std::max(heif_image_handle_get_ispe_width(primary), 0);
  const int storedHeight = std::max(heif_image_handle_get_ispe_height(primary), 0);
  const int width = std::max(heif_image_handle_get_width(primary), 0);
  const int height = std::max(heif_image_handle_get_height(primary), 0);
  // A derived picture's canvas is as large as its descriptor says, and must be as large as its
  // size property says.
  if (layout->primary && (layout->primary->width != static_cast<std::uint64_t>(stored) ||
                          layout->primary->height != static_cast<std::uint64_t>(storedHeight))) {
    return std::unexpected(ImageDecodingFailure::corrupt);
  }
  // Rotation and cropping come after decoding, so the stored size is what the decoder fills.
  for (const auto& [w, h] : {std::pair{stored, storedHeight}, std::pair{width, height}}) {
    if (std::optional<ImageDecodingFailure> refusal =
            checkGeometry(static_cast<std::uint64_t>(w), static_cast<std::uint64_t>(h), limits)) {
      return std::unexpected(*refusal);
    }
  }
  // The decoded planes (one or two bytes a sample, alpha a plane of its own) and their
  // conversion to four bytes a pixel are held together.
  const int bits = std::max(heif_image_handle_get_luma_bits_per_pixel(primary), 8);
  const bool hasAlpha = heif_image_handle_has_alpha_channel(primary) != 0;
  const std::uint64_t planeBytes = (hasAlpha ? 4 : 3) * (bits > 8 ? 2 : 1);
  if ((planeBytes + 4) * static_cast<std::uint64_t>(stored) *
          static_cast<std::uint64_t>(storedHeight) >
      workingMemoryBound(limits)) {
    return std::unexpected(ImageDecodingFailure::exceedsLimits);
  }

  std::unique_ptr<heif_decoding_options, OptionsDeleter> options(heif_decoding_options_alloc());
  if (!options) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  options->convert_hdr_to_8bit = 1;
  heif_image* decoded = nullptr;
  const heif_error error = heif_decode_image(primary, &decoded, heif_colorspace_RGB,
                                             heif_chroma_interleaved_RGBA, options.get());
  std::unique_ptr<heif_image, ImageDeleter> image(decoded);
  if (error.code != heif_error_Ok || !image) {
    return std::unexpected(error.code == heif_error_Memory_allocation_error
                               ? ImageDecodingFailure::exceedsLimits
                               : ImageDecodingFailure::corrupt);
  }
  int stride = 0;
  const std::uint8_t* plane =
      heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  if (!plane || heif_image_get_width(image.get(), heif_channel_interleaved) != width ||
      heif_image_get_height(image.get(), heif_channel_interleaved) != height ||
      stride < width * 4) {
    return std::unexpected(ImageDecodingFailure::corrupt);
  }
  const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  std::uint8_t* pixels = allocateBuffer(count * 4);
  if (!pixels) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* from = plane + static_cast<std::size_t>(stride) * y;
    std::uint8_t* to = pixels + static_cast<std::size_t>(width) * 4 * y;
    for (int x = 0; x < width; ++x, from += 4, to += 4) {
      to[0] = from[2];
      to[1] = from[1];
      to[2] = from[0];
      to[3] = from[3];
    }
  }
  image.reset();
  bool transparent = false;
  if (heif_image_handle_is_premultiplied_alpha(primary)) {
    for (std::size_t i = 0; i < count && !transparent; ++i)
      transparent = pixels[i * 4 + 3] != 255;
  } else {
    transparent = premultiply(pixels, count);
  }
  return adoptPixels(
      pixels, width, height,
      transparent ? ImagePixelFormat::premultipliedBGRA : ImagePixelFormat::opaqueBGRX);
}

}  // namespace platform::decoding
