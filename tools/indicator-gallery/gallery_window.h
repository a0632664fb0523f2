#pragma once

#include <QWidget>

#include <memory>

#include "widgets/activity-indicators/random_source.h"

namespace gallery {

// All ten busy figures, each in its cell above its kind's name, white on the application's
// black.
class GalleryWindow : public QWidget {
 public:
  // The arcs figure draws from `random`.
  explicit GalleryWindow(std::shared_ptr<widgets::RandomSource> random);
};

}  // namespace gallery
