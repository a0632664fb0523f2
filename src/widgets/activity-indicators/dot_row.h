#pragma once

namespace widgets {

// The row figures lay N dots across the width W with gaps of `inset` between them, so that the
// row spans the width exactly. The diameter is 0 or less when the gaps alone fill the width;
// such dots are not drawn.
double dotRowDiameter(int count, int inset, double width);
// The horizontal distance from the centre of the box to the centre of dot `index`.
double dotRowOffset(int index, int count, int inset, double width);

}  // namespace widgets
