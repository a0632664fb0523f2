#include "imagecache/auto_purging_image_cache.h"

#include <fmt/format.h>

#include <random>

namespace imagecache {

std::string makeImageCacheQueueLabel() {
  static thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<std::uint32_t> distribution;
  return fmt::format("org.tovarine.imagecache.autopurgingimagecache-{:08x}{:08x}",
                     distribution(generator), distribution(generator));
}

template class AutoPurgingImageCache<platform::Image>;

}  // namespace imagecache
