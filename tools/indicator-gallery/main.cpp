// tovarine-indicator-gallery: every busy-indicator figure side by side, moving, so a person can
// judge them; or, with --out, pictures of them at fixed times for tests and reviews.

#include <QApplication>
#include <QDir>
#include <QImage>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "indicator-gallery/gallery_options.h"
#include "indicator-gallery/gallery_window.h"
#include "platform/foundation/process_info.h"

namespace {

int writePictures(const gallery::Options& options, std::shared_ptr<widgets::RandomSource> random) {
  QDir folder;
  if (!folder.mkpath(QString::fromStdString(options.out.string()))) {
    std::fprintf(stderr, "tovarine-indicator-gallery: cannot create %s\n",
                 options.out.string().c_str());
    return 1;
  }
  // A clock of our own: the figures appear at its start and are painted at exactly the
  // requested times, however long painting takes.
  const double start = 1000;
  auto now = std::make_shared<double>(start);
  platform::setUptimeSource([now] { return *now; });
  int status = 0;
  {
    gallery::GalleryWindow window(std::move(random));
    window.show();
    QCoreApplication::processEvents();
    for (double seconds : options.times) {
      *now = start + seconds;
      const QImage picture = window.grab().toImage();
      const auto path = options.out / gallery::pictureName(seconds);
      if (!picture.save(QString::fromStdString(path.string()), "PNG")) {
        std::fprintf(stderr, "tovarine-indicator-gallery: cannot write %s\n",
                     path.string().c_str());
        status = 1;
        break;
      }
      std::printf("%s\n", path.string().c_str());
    }
  }
  platform::setUptimeSource(nullptr);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const auto parsed = gallery::parseArguments(arguments);
  if (!parsed) {
    std::fprintf(stderr, "tovarine-indicator-gallery: %s\n%s", parsed.error().c_str(),
                 gallery::usageText().c_str());
    return 2;
  }
  if (parsed->helpRequested) {
    std::fputs(gallery::usageText().c_str(), stdout);
    return 0;
  }
  const gallery::Options& options = parsed->options;
  const bool offscreen = !options.out.empty();
  if (offscreen) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);

  std::shared_ptr<widgets::RandomSource> random = widgets::systemRandomSource();
  // Pictures are reproducible unless asked otherwise.
  if (options.seed || offscreen)
    random = std::make_shared<widgets::MersenneRandomSource>(options.seed.value_or(1));
  if (offscreen) return writePictures(options, random);

  gallery::GalleryWindow window(random);
  window.show();
  return QApplication::exec();
}
