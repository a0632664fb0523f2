#pragma once

#include <QColor>
#include <QRectF>
#include <string_view>

class QPainter;

namespace app {

// The few symbols the tour shows, drawn here rather than taken from an icon theme so that they
// look the same on every desktop: "square", "checkmark.square.fill", "chevron.left" and
// "chevron.right". Each is fitted into `box`, keeping its own proportions, and centred.
// Answers false, drawing nothing, for any other name.
bool drawSymbol(QPainter& painter, const QRectF& box, std::string_view name, const QColor& color);

bool isKnownSymbol(std::string_view name);

}  // namespace app
