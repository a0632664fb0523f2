#include <gtest/gtest.h>

#include <QImage>
#include <QProcess>
#include <QString>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "indicator-gallery/gallery_layout.h"
#include "indicator-gallery/gallery_options.h"

namespace gallery {
namespace {

const char* const kCellNames[] = {"default",     "arcs",         "rotatingDots", "flickeringDots",
                                  "scalingDots", "opacityDots",  "equalizer",    "growingArc",
                                  "gradient",    "growingCircle"};

// A folder of the test's own, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tovarine-gallery-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

struct GalleryRun {
  int exitCode;
  std::string errors;
};

GalleryRun runGallery(const QStringList& arguments) {
  QProcess process;
  process.start(INDICATOR_GALLERY_PROGRAM, arguments);
  if (!process.waitForFinished(60000)) return GalleryRun{-1, "did not finish"};
  return GalleryRun{process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                    process.readAllStandardError().toStdString()};
}

int litPixels(const QImage& image, CellRect cell) {
  int lit = 0;
  for (int y = cell.y; y < cell.y + cell.height; ++y) {
    for (int x = cell.x; x < cell.x + cell.width; ++x) {
      if (QColor(image.pixel(x, y)).value() > 40) ++lit;
    }
  }
  return lit;
}

int changedPixels(const QImage& a, const QImage& b, CellRect cell) {
  int changed = 0;
  for (int y = cell.y; y < cell.y + cell.height; ++y) {
    for (int x = cell.x; x < cell.x + cell.width; ++x) {
      if (a.pixel(x, y) != b.pixel(x, y)) ++changed;
    }
  }
  return changed;
}

TEST(IndicatorGallery, EveryFigureDrawsAndMoves) {
  TempFolder folder;
  const QString out = QString::fromStdString(folder.path().string());
  const GalleryRun run = runGallery({"--out", out, "--at", "0.3,0.5,0.9", "--seed", "5"});
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  QImage pictures[3];
  const double times[] = {0.3, 0.5, 0.9};
  for (int i = 0; i < 3; ++i) {
    const auto path = folder.path() / pictureName(times[i]);
    ASSERT_TRUE(pictures[i].load(QString::fromStdString(path.string()))) << path;
    ASSERT_EQ(pictures[i].size(), QSize(kWindowWidth, kWindowHeight));
  }
  for (int cell = 0; cell < kCellCount; ++cell) {
    SCOPED_TRACE(kCellNames[cell]);
    EXPECT_GT(litPixels(pictures[1], figureRect(cell)), 30);
    EXPECT_GT(changedPixels(pictures[0], pictures[2], figureRect(cell)), 30);
    // The kind's name is written under its figure.
    EXPECT_GT(litPixels(pictures[1], labelRect(cell)), 10);
  }
  // Nothing is painted between the cells.
  EXPECT_EQ(litPixels(pictures[1], CellRect{0, 0, kWindowWidth, kMargin}), 0);
}

TEST(IndicatorGallery, TheSameSeedPaintsTheSamePictures) {
  TempFolder a, b;
  for (const TempFolder* folder : {&a, &b}) {
    const GalleryRun run = runGallery(
        {"--out", QString::fromStdString(folder->path().string()), "--at", "0.7", "--seed", "9"});
    ASSERT_EQ(run.exitCode, 0) << run.errors;
  }
  const QImage first(QString::fromStdString((a.path() / "gallery-0.7.png").string()));
  const QImage second(QString::fromStdString((b.path() / "gallery-0.7.png").string()));
  ASSERT_FALSE(first.isNull());
  EXPECT_EQ(first, second);
}

TEST(IndicatorGallery, BadArgumentsAreRefusedClearly) {
  struct Row {
    QStringList arguments;
    const char* error;
  };
  for (const Row& row : std::initializer_list<Row>{
           {{"--out"}, "--out needs a value"},
           {{"--out", "/tmp/x", "--at", "0.5,,1"}, "--at: \"\" is not a time"},
           {{"--out", "/tmp/x", "--at", "-1"}, "--at: \"-1\" is not a time"},
           {{"--out", "/tmp/x", "--at", "nan"}, "is not a time"},
           {{"--at", "1"}, "--at needs --out"},
           {{"--seed", "x1"}, "--seed: \"x1\" is not a whole number"},
           {{"--size", "3"}, "unknown option --size"},
       }) {
    const GalleryRun run = runGallery(row.arguments);
    EXPECT_EQ(run.exitCode, 2) << row.arguments.join(' ').toStdString();
    EXPECT_NE(run.errors.find(row.error), std::string::npos) << run.errors;
  }
}

TEST(IndicatorGalleryOptions, TimesSeedsAndNames) {
  struct Row {
    std::vector<std::string> arguments;
    std::vector<double> times;
    std::optional<std::uint64_t> seed;
  };
  for (const Row& row : std::initializer_list<Row>{
           {{"--out", "d"}, {0, 0.25, 0.5, 1, 1.5}, std::nullopt},
           {{"--out", "d", "--at", "2", "--seed", "18446744073709551615"}, {2}, UINT64_MAX},
           {{"--at", "0.3,0.9", "--out", "d", "--seed", "0"}, {0.3, 0.9}, 0},
       }) {
    const auto parsed = parseArguments(row.arguments);
    ASSERT_TRUE(parsed.has_value()) << parsed.error();
    EXPECT_EQ(parsed->options.out, "d");
    EXPECT_EQ(parsed->options.times, row.times);
    EXPECT_EQ(parsed->options.seed, row.seed);
  }
  EXPECT_FALSE(parseArguments(std::vector<std::string>{"--seed", "-3"}).has_value());
  EXPECT_FALSE(parseArguments(std::vector<std::string>{"--seed", "18446744073709551616"}));
  EXPECT_EQ(pictureName(0), "gallery-0.png");
  EXPECT_EQ(pictureName(0.25), "gallery-0.25.png");
  EXPECT_EQ(pictureName(1.5), "gallery-1.5.png");
  EXPECT_EQ(pictureName(1), "gallery-1.png");
}

}  // namespace
}  // namespace gallery
