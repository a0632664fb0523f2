#include "platform/foundation/atomic_file_write.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class AtomicFileWriteTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(folder_.create("atomic-file-write")); }

  fs::path folder() const { return folder_.path(); }

  std::size_t entries(const fs::path& where) const {
    return std::distance(fs::directory_iterator(where), fs::directory_iterator());
  }

  static mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
  }

  testsupport::TemporaryDirectory folder_;
};

TEST_F(AtomicFileWriteTest, WritesAndReplacesWithTheModeGiven) {
  const fs::path target = folder() / "settings.json";
  struct Row {
    std::string bytes;
    mode_t mode;
  };
  const Row rows[] = {{"first", 0600}, {std::string("re\0placed", 9), 0644}, {"", 0640}};
  for (const Row& row : rows) {
    ASSERT_TRUE(writeFileAtomically(target, row.bytes, row.mode).has_value()) << row.mode;
    EXPECT_EQ(testsupport::readFile(target.string()), row.bytes);
    EXPECT_EQ(modeOf(target), row.mode);
    EXPECT_EQ(entries(folder()), 1u) << "a temporary file was left behind";
  }
}

TEST_F(AtomicFileWriteTest, ContentComesPieceByPiece) {
  const std::vector<std::string> pieces = {"one ", "two ", "three"};
  std::size_t next = 0;
  auto source = [&]() -> std::expected<std::span<const std::uint8_t>, std::string> {
    if (next == pieces.size()) return {};
    const std::string& piece = pieces[next++];
    return std::span(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size());
  };
  ASSERT_TRUE(writeFileAtomically(folder() / "whole", source, 0644).has_value());
  EXPECT_EQ(testsupport::readFile((folder() / "whole").string()), "one two three");
}

TEST_F(AtomicFileWriteTest, FailuresNameThePlaceAndLeaveTheOldFileAlone) {
  const fs::path target = folder() / "kept";
  ASSERT_TRUE(writeFileAtomically(target, "old", 0644).has_value());
  std::ofstream(folder() / "plain-file") << "in the way";
  fs::create_directories(folder() / "occupied" / "inside");
  auto failingSource =
      [calls = 0]() mutable -> std::expected<std::span<const std::uint8_t>, std::string> {
    static const std::uint8_t part[] = {'n', 'e', 'w'};
    if (calls++ == 0) return std::span<const std::uint8_t>(part);
    return std::unexpected(std::string("the source went away"));
  };
  struct Row {
    const char* what;
    fs::path path;
    std::string error;  // a part of the error text
  };
  const Row rows[] = {
      {"missing folder", folder() / "missing" / "a",
       "The folder " + (folder() / "missing").string()},
      {"a file for a folder", folder() / "plain-file" / "a",
       "The folder " + (folder() / "plain-file").string() + " is not writable"},
      {"a folder in the way", folder() / "occupied",
       (folder() / "occupied").string() + " could not be saved"},
      {"no file name", folder() / "", "names no file"},
  };
  for (const Row& row : rows) {
    auto written = writeFileAtomically(row.path, "new", 0644);
    ASSERT_FALSE(written.has_value()) << row.what;
    EXPECT_NE(written.error().find(row.error), std::string::npos)
        << row.what << ": " << written.error();
  }
  auto failed = writeFileAtomically(target, failingSource, 0644);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error(), "the source went away");
  EXPECT_EQ(testsupport::readFile(target.string()), "old");
  // Only what the test made: no temporary file of any failed write is left.
  EXPECT_EQ(entries(folder()), 3u);
  EXPECT_EQ(entries(folder() / "occupied"), 1u);
}

}  // namespace
}  // namespace platform
