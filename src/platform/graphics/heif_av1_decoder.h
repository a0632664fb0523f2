#pragma once

#include <cstdint>

namespace platform::decoding {

// Makes libheif decode AV1 through dav1d on one thread with one frame in flight, refusing frames
// of more than `maxFramePixels` for decodes on the calling thread until it is called again.
// libheif must decode on the calling thread (no tile threads of its own) for the bound to apply.
void useBoundedAv1Decoder(std::uint64_t maxFramePixels);

}  // namespace platform::decoding
