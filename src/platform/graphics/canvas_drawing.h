#pragma once

#include "platform/graphics/image.h"

namespace platform {

// Where an image lands when it is scaled to a canvas's height with its aspect ratio kept and
// centred horizontally: its left edge (negative when it is wider than the canvas and cut at
// both sides) and its scaled width.
struct FittedPlacement {
  double x = 0;
  double width = 0;
};

FittedPlacement fittedPlacement(int sourceWidth, int sourceHeight, int canvasWidth,
                                int canvasHeight);

// Fills the canvas with black and draws `source` onto it as `fittedPlacement` describes, with
// bilinear filtering. The bars beside the picture are pure black; a column belongs to the
// picture when the picture covers its centre. Fails (drawing nothing useful) only when the
// scale is too extreme to be represented.
bool drawFittedToHeight(const Image& source, MutableImage& canvas);

}  // namespace platform
