#pragma once

#include <cstdint>
#include <vector>

namespace streaming::fakes {

// A small grey JPEG of the given size, as the application would send one.
std::vector<std::uint8_t> makeJpeg(int width, int height);

}  // namespace streaming::fakes
