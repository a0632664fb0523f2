#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/foundation/input_stream.h"
#include "platform/foundation/mime_types.h"
#include "platform/foundation/output_stream.h"

namespace platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes readAll(InputStream& stream, std::size_t piece) {
  Bytes out;
  std::vector<std::uint8_t> buffer(piece);
  while (stream.hasBytesAvailable()) {
    const auto count = stream.read(buffer.data(), buffer.size());
    if (count <= 0) break;
    out.insert(out.end(), buffer.begin(), buffer.begin() + count);
  }
  return out;
}

class StreamsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = "/tmp/streams-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }
  std::string path(const std::string& name) const { return directory_ + "/" + name; }

  std::string directory_;
};

TEST_F(StreamsTest, DataStreamReadsInPiecesOnceAndOnlyWhenOpen) {
  auto stream = InputStream::withData({1, 2, 3, 4, 5});
  std::uint8_t byte = 0;
  EXPECT_EQ(stream->read(&byte, 1), -1);  // not open
  EXPECT_EQ(stream->streamStatus(), StreamStatus::error);

  stream = InputStream::withData({1, 2, 3, 4, 5});
  EXPECT_TRUE(stream->hasBytesAvailable());
  stream->open();
  EXPECT_EQ(readAll(*stream, 2), (Bytes{1, 2, 3, 4, 5}));
  EXPECT_FALSE(stream->hasBytesAvailable());
  EXPECT_EQ(stream->streamStatus(), StreamStatus::atEnd);
  EXPECT_EQ(stream->read(&byte, 1), 0);
  // A stream is opened once: it cannot be rewound by opening it again.
  stream->close();
  stream->open();
  EXPECT_EQ(stream->streamStatus(), StreamStatus::closed);
}

TEST_F(StreamsTest, FileStreamReadsTheFileAndReportsAMissingOne) {
  std::ofstream(path("in"), std::ios::binary) << std::string(5000, 'q');
  auto stream = InputStream::withFileAtPath(path("in"));
  stream->open();
  EXPECT_EQ(readAll(*stream, 1024), Bytes(5000, 'q'));
  stream->close();

  auto missing = InputStream::withFileAtPath(path("missing"));
  missing->open();
  EXPECT_EQ(missing->streamStatus(), StreamStatus::error);
  ASSERT_NE(missing->streamError(), nullptr);
  EXPECT_EQ(dynamic_cast<const StreamError&>(*missing->streamError()).code(), ENOENT);
  std::uint8_t byte = 0;
  EXPECT_EQ(missing->read(&byte, 1), -1);
}

TEST_F(StreamsTest, FileOutputIsPrivateNeverOverwritesAndRefusesLinks) {
  auto out = OutputStream::toFileAtPath(path("body"), false);
  out->open();
  const Bytes bytes = {'a', 'b', 'c'};
  EXPECT_EQ(out->write(bytes.data(), bytes.size()), 3);
  out->close();
  EXPECT_EQ(out->streamStatus(), StreamStatus::closed);
  struct stat info {};
  ASSERT_EQ(stat(path("body").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  auto again = OutputStream::toFileAtPath(path("body"), false);
  again->open();
  EXPECT_EQ(again->streamStatus(), StreamStatus::error);
  EXPECT_EQ(again->write(bytes.data(), 1), -1);

  // A link planted where the body goes leads nowhere, not even to a new file.
  ASSERT_EQ(symlink(path("target").c_str(), path("link").c_str()), 0);
  auto linked = OutputStream::toFileAtPath(path("link"), false);
  linked->open();
  EXPECT_EQ(linked->streamStatus(), StreamStatus::error);
  EXPECT_FALSE(std::filesystem::exists(path("target")));

  auto appending = OutputStream::toFileAtPath(path("body"), true);
  appending->open();
  EXPECT_EQ(appending->write(bytes.data(), 2), 2);
  appending->close();
  std::stringstream text;
  text << std::ifstream(path("body")).rdbuf();
  EXPECT_EQ(text.str(), "abcab");
}

TEST_F(StreamsTest, AFullDiskFailsTheWrite) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  auto out = OutputStream::toFileAtPath("/dev/full", true);
  out->open();
  const Bytes bytes(100, 'x');
  EXPECT_EQ(out->write(bytes.data(), bytes.size()), -1);
  EXPECT_EQ(out->streamStatus(), StreamStatus::error);
  EXPECT_EQ(dynamic_cast<const StreamError&>(*out->streamError()).code(), ENOSPC);
  EXPECT_FALSE(out->hasSpaceAvailable());
}

TEST_F(StreamsTest, MemoryOutputGathersEverything) {
  auto out = OutputStream::toMemory();
  out->open();
  const Bytes bytes = {9, 8, 7};
  out->write(bytes.data(), 3);
  out->write(bytes.data(), 1);
  EXPECT_EQ(out->writtenData(), (Bytes{9, 8, 7, 9}));
}

TEST(MimeTypes, FirstLineWinsExtensionsAreCaseBlindAndCommentsIgnored) {
  const auto table = MimeTypes::fromText(
      "# comment line\n"
      "image/jpeg jpeg jpg JPE\n"
      "image/pjpeg jpg\n"
      "text/plain txt # trailing comment\n"
      "notatype xyz\n");
  EXPECT_EQ(table.preferredTypeForExtension("JPG"), "image/jpeg");
  EXPECT_EQ(table.preferredTypeForExtension("jpe"), "image/jpeg");
  EXPECT_EQ(table.preferredTypeForExtension("txt"), "text/plain");
  EXPECT_EQ(table.preferredTypeForExtension("trailing"), std::nullopt);
  EXPECT_EQ(table.preferredTypeForExtension("xyz"), std::nullopt);
  EXPECT_EQ(table.preferredTypeForExtension(""), std::nullopt);
  EXPECT_EQ(MimeTypes::fromFile("/nonexistent/mime.types").preferredTypeForExtension("txt"),
            std::nullopt);
}

TEST(MimeTypes, SystemTableKnowsCommonTypes) {
  if (access("/etc/mime.types", R_OK) != 0) GTEST_SKIP() << "no /etc/mime.types";
  EXPECT_EQ(MimeTypes::system().preferredTypeForExtension("png"), "image/png");
  EXPECT_EQ(MimeTypes::system().preferredTypeForExtension("JSON"), "application/json");
}

}  // namespace
}  // namespace platform
