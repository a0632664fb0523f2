#include "halyard/encoding/multipart_form_data.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "halyard/encoding/multipart_upload.h"

namespace {

using halyard::HalyardError;
using halyard::MultipartFormData;
using halyard::MultipartUpload;
using halyard::Uploadable;
using platform::Bytes;
using platform::URL;
using Reason = HalyardError::MultipartEncodingFailureReason;

const std::string kBoundary = "halyard.boundary.0123456789abcdef";

std::string text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

Bytes bytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

std::string readFile(const std::string& path) {
  std::stringstream contents;
  contents << std::ifstream(path, std::ios::binary).rdbuf();
  return contents.str();
}

// The reason a multipart failure carries, for `std::get_if`.
const Reason::Storage* reasonOf(const HalyardError& error) {
  const auto* failed = error.as<HalyardError::MultipartEncodingFailed>();
  return failed ? &failed->reason.storage : nullptr;
}

template <class Case>
const Case* caseOf(const std::optional<HalyardError>& error) {
  if (!error) return nullptr;
  const auto* reason = reasonOf(*error);
  return reason ? std::get_if<Case>(reason) : nullptr;
}

// The multipart failure `body` throws, if any.
template <class F>
std::optional<HalyardError> thrownBy(F&& body) {
  try {
    body();
  } catch (const HalyardError& error) {
    return error;
  }
  return std::nullopt;
}

std::optional<HalyardError::UnexpectedInputStreamLength> unexpectedLength(
    const std::optional<HalyardError>& error) {
  const auto* readFailed = caseOf<Reason::InputStreamReadFailed>(error);
  if (!readFailed) return std::nullopt;
  const auto* length =
      dynamic_cast<const HalyardError::UnexpectedInputStreamLength*>(readFailed->error.get());
  if (!length) return std::nullopt;
  return *length;
}

// A form whose body file is a sink that is full after a few bytes.
class FullDiskForm : public MultipartFormData {
 public:
  using MultipartFormData::MultipartFormData;

 protected:
  platform::OutputStreamPtr makeOutputStream(const URL&) override {
    return platform::OutputStream::toFileAtPath("/dev/full", true);
  }
};

class MultipartFormDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = "/tmp/multipart-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  URL file(const std::string& name, const std::string& contents) {
    const std::string path = directory_ + "/" + name;
    std::ofstream(path, std::ios::binary) << contents;
    return URL::fileURLWithPath(path, false);
  }

  std::string directory_;
};

TEST_F(MultipartFormDataTest, OneDataPartEncodesByteForByte) {
  MultipartFormData form(nullptr, kBoundary);
  form.appendData(bytes("x"), "a");
  EXPECT_EQ(text(form.encodeAll()), "--" + kBoundary +
                                        "\r\n"
                                        "Content-Disposition: form-data; name=\"a\"\r\n"
                                        "\r\n"
                                        "x\r\n"
                                        "--" +
                                        kBoundary + "--\r\n");
  EXPECT_EQ(form.totalBodyLength(), 1u);
}

TEST_F(MultipartFormDataTest, PartsJoinWithBoundariesAndFilesCarryNameAndType) {
  MultipartFormData form(nullptr, kBoundary);
  form.appendData(bytes("value"), "field");
  form.appendFile(file("notes.txt", "hello"), "upload");
  form.appendData(bytes("{}"), "meta", "meta.json", "application/json");
  const std::string expected =
      "--" + kBoundary +
      "\r\n"
      "Content-Disposition: form-data; name=\"field\"\r\n\r\n"
      "value\r\n--" +
      kBoundary +
      "\r\n"
      "Content-Disposition: form-data; name=\"upload\"; filename=\"notes.txt\"\r\n"
      "Content-Type: text/plain\r\n\r\n"
      "hello\r\n--" +
      kBoundary +
      "\r\n"
      "Content-Disposition: form-data; name=\"meta\"; filename=\"meta.json\"\r\n"
      "Content-Type: application/json\r\n\r\n"
      "{}\r\n--" +
      kBoundary + "--\r\n";
  EXPECT_EQ(text(form.encodeAll()), expected);
  EXPECT_EQ(form.totalBodyLength(), 5u + 5u + 2u);

  // Written to a file, the body is the same, in a new file only its owner can read.
  MultipartFormData again(nullptr, kBoundary);
  again.appendData(bytes("value"), "field");
  again.appendFile(file("notes2.txt", "hello"), "upload");
  again.appendData(bytes("{}"), "meta", "meta.json", "application/json");
  const std::string out = directory_ + "/body";
  again.writeEncoded(URL::fileURLWithPath(out, false));
  EXPECT_EQ(readFile(out),
            std::string(expected).replace(expected.find("notes.txt"), 9, "notes2.txt"));
  struct stat info {};
  ASSERT_EQ(stat(out.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(MultipartFormDataTest, AnEmptyFormIsEmptyButNamesItsBoundary) {
  MultipartFormData form(nullptr, kBoundary);
  EXPECT_TRUE(form.encodeAll().empty());
  EXPECT_EQ(form.contentType(), "multipart/form-data; boundary=" + kBoundary);
  form.setContentType("multipart/mixed; boundary=" + kBoundary);
  EXPECT_EQ(form.contentType(), "multipart/mixed; boundary=" + kBoundary);
}

TEST_F(MultipartFormDataTest, NamesCannotForgeHeaders) {
  const auto headers = MultipartFormData::makeContentHeaders(
      "a\"b\r\nX-Evil: 1", std::string("f\"\n.txt"), std::string("text/plain"));
  ASSERT_EQ(headers.size(), 2u);
  EXPECT_EQ(headers[0].name, "Content-Disposition");
  EXPECT_EQ(headers[0].value, "form-data; name=\"a%22b%0D%0AX-Evil: 1\"; filename=\"f%22%0A.txt\"");
  EXPECT_EQ(headers[1].value, "text/plain");

  MultipartFormData form(nullptr, kBoundary);
  form.appendData(bytes("x"), "evil\r\nContent-Type: text/html");
  const std::string body = text(form.encodeAll());
  EXPECT_EQ(body.find("\r\nContent-Type"), std::string::npos);
}

// A media type goes into the part head as given, so one with a line break or NUL is refused
// rather than written: the part is not added and encoding fails with the reason.
TEST_F(MultipartFormDataTest, MediaTypesThatWouldBreakThePartHeadAreRefused) {
  struct Row {
    const char* name;
    std::string mimeType;
    bool refused;
  };
  const Row rows[] = {
      {"plain", "text/plain", false},
      {"CR LF and a field", "text/plain\r\nX-Evil: 1", true},
      {"bare LF", "text/plain\nX-Evil: 1", true},
      {"bare CR", "text/plain\rX", true},
      {"NUL", std::string("text/plain\0x", 12), true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    MultipartFormData form(nullptr, kBoundary);
    form.appendData(bytes("x"), "a", std::string("a.txt"), row.mimeType);
    EXPECT_EQ(caseOf<Reason::BodyPartHeaderInvalid>(form.bodyPartError()) != nullptr, row.refused);
    EXPECT_EQ(form.bodyParts().size(), row.refused ? 0u : 1u);
    if (row.refused) {
      EXPECT_TRUE(caseOf<Reason::BodyPartHeaderInvalid>(thrownBy([&] { form.encodeAll(); })));
    } else {
      EXPECT_NE(text(form.encodeAll()).find("Content-Type: text/plain\r\n\r\n"), std::string::npos);
    }
  }
}

// "halyard.boundary." and 16 lower-case hexadecimal digits.
bool isBoundaryShaped(const std::string& boundary) {
  const std::string prefix = "halyard.boundary.";
  if (boundary.size() != prefix.size() + 16 || !boundary.starts_with(prefix)) return false;
  return boundary.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos;
}

TEST_F(MultipartFormDataTest, RandomBoundariesAreFreshAndShaped) {
  const std::string first = MultipartFormData::makeRandomBoundary();
  const std::string second = MultipartFormData::makeRandomBoundary();
  EXPECT_TRUE(isBoundaryShaped(first)) << first;
  EXPECT_TRUE(isBoundaryShaped(second)) << second;
  EXPECT_NE(first, second);
  MultipartFormData a, b;
  EXPECT_NE(a.boundary(), b.boundary());
  EXPECT_TRUE(isBoundaryShaped(a.boundary()));
}

TEST_F(MultipartFormDataTest, MediaTypesFollowTheExtension) {
  EXPECT_EQ(MultipartFormData::mimeTypeForPathExtension("PNG"), "image/png");
  EXPECT_EQ(MultipartFormData::mimeTypeForPathExtension("no-such-extension"),
            "application/octet-stream");
}

TEST_F(MultipartFormDataTest, FilesThatCannotBeAddedFailTheFirstEncodingWithTheFirstReason) {
  MultipartFormData form(nullptr, kBoundary);
  form.appendFile(file("README", "no extension"), "a");
  form.appendFileNamed(URL::fileURLWithPath(directory_, true), "b", "dir.bin", "x/y");
  form.appendData(bytes("fine"), "c");
  EXPECT_TRUE(caseOf<Reason::BodyPartFilenameInvalid>(form.bodyPartError()));
  EXPECT_EQ(form.bodyParts().size(), 1u);
  const auto error = thrownBy([&] { form.encodeAll(); });
  EXPECT_TRUE(caseOf<Reason::BodyPartFilenameInvalid>(error));
  EXPECT_TRUE(caseOf<Reason::BodyPartFilenameInvalid>(
      thrownBy([&] { form.writeEncoded(URL::fileURLWithPath(directory_ + "/out", false)); })));

  MultipartFormData directory(nullptr, kBoundary);
  directory.appendFileNamed(URL::fileURLWithPath(directory_, true), "b", "dir.bin", "x/y");
  EXPECT_TRUE(caseOf<Reason::BodyPartFileIsDirectory>(directory.bodyPartError()));

  MultipartFormData remote(nullptr, kBoundary);
  remote.appendFileNamed(*URL::fromString("https://example.com/a.txt"), "r", "a.txt", "text/plain");
  EXPECT_TRUE(caseOf<Reason::BodyPartURLInvalid>(remote.bodyPartError()));

  MultipartFormData missing(nullptr, kBoundary);
  missing.appendFile(URL::fileURLWithPath(directory_ + "/gone.txt", false), "m");
  EXPECT_TRUE(caseOf<Reason::BodyPartFileNotReachableWithError>(missing.bodyPartError()));
}

TEST_F(MultipartFormDataTest, AShortStreamFailsBothEncodings) {
  MultipartFormData inMemory(nullptr, kBoundary);
  inMemory.appendStreamNamed(platform::InputStream::withData(bytes("abc")), 10, "s", "s.bin",
                             "application/octet-stream");
  auto length = unexpectedLength(thrownBy([&] { inMemory.encodeAll(); }));
  ASSERT_TRUE(length);
  EXPECT_EQ(length->bytesExpected, 10u);
  EXPECT_EQ(length->bytesRead, 3u);

  // A body written to a file must not claim a length it does not have either.
  MultipartFormData toFile(nullptr, kBoundary);
  toFile.appendStreamNamed(platform::InputStream::withData(bytes("abc")), 10, "s", "s.bin",
                           "application/octet-stream");
  length = unexpectedLength(
      thrownBy([&] { toFile.writeEncoded(URL::fileURLWithPath(directory_ + "/short", false)); }));
  ASSERT_TRUE(length);
  EXPECT_EQ(length->bytesExpected, 10u);
  EXPECT_EQ(length->bytesRead, 3u);

  // A longer stream is cut at its announced length when written.
  MultipartFormData longer(nullptr, kBoundary);
  longer.appendStreamNamed(platform::InputStream::withData(bytes("abcdef")), 2, "s", "s.bin",
                           "x/y");
  longer.writeEncoded(URL::fileURLWithPath(directory_ + "/long", false));
  EXPECT_NE(readFile(directory_ + "/long").find("\r\n\r\nab\r\n--"), std::string::npos);
}

TEST_F(MultipartFormDataTest, WritingNeverOverwritesAndAFullDiskFails) {
  MultipartFormData form(nullptr, kBoundary);
  auto stream = platform::InputStream::withData(bytes("x"));
  form.appendStreamNamed(stream, 1, "a", "a.bin", "x/y");
  const URL existing = file("existing", "keep me");
  EXPECT_TRUE(caseOf<Reason::OutputStreamFileAlreadyExists>(
      thrownBy([&] { form.writeEncoded(existing); })));
  EXPECT_EQ(readFile(existing.path()), "keep me");
  // Nothing was read: the check comes before any stream is opened.
  EXPECT_EQ(stream->streamStatus(), platform::StreamStatus::notOpen);
  EXPECT_TRUE(caseOf<Reason::OutputStreamURLInvalid>(
      thrownBy([&] { form.writeEncoded(*URL::fromString("https://example.com/x")); })));

  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  FullDiskForm full(nullptr, kBoundary);
  full.appendData(Bytes(5000, 'z'), "big");
  const auto error =
      thrownBy([&] { full.writeEncoded(URL::fileURLWithPath(directory_ + "/full", false)); });
  ASSERT_TRUE(caseOf<Reason::OutputStreamWriteFailed>(error));
  const auto* cause = dynamic_cast<const platform::StreamError*>(
      caseOf<Reason::OutputStreamWriteFailed>(error)->error.get());
  ASSERT_NE(cause, nullptr);
  EXPECT_EQ(cause->code(), ENOSPC);
}

class MultipartUploadTest : public MultipartFormDataTest {
 protected:
  void SetUp() override {
    MultipartFormDataTest::SetUp();
    if (const char* old = std::getenv("TMPDIR")) oldTemporaryDirectory_ = old;
    setenv("TMPDIR", directory_.c_str(), 1);
  }
  void TearDown() override {
    if (oldTemporaryDirectory_) {
      setenv("TMPDIR", oldTemporaryDirectory_->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    MultipartFormDataTest::TearDown();
  }

  std::string bodyDirectory() const {
    return directory_ + "/org.tovarine.halyard.manager/multipart.form.data";
  }

  static halyard::URLRequestConvertiblePtr request() {
    platform::URLRequest urlRequest(*URL::fromString("http://127.0.0.1/upload"));
    urlRequest.httpMethod = "POST";
    urlRequest.setValueForHTTPHeaderField("text/plain", "content-type");
    urlRequest.setValueForHTTPHeaderField("yes", "X-Other");
    return halyard::makeURLRequestConvertible(urlRequest);
  }

  std::optional<std::string> oldTemporaryDirectory_;
};

TEST_F(MultipartUploadTest, TheRequestCarriesExactlyTheFormsContentType) {
  auto form = std::make_shared<MultipartFormData>(nullptr, kBoundary);
  MultipartUpload upload(100, request(), form);
  const auto urlRequest = upload.toURLRequest();
  const auto& fields = *urlRequest.allHTTPHeaderFields();
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields.fields()[0].first, "Content-Type");
  EXPECT_EQ(fields.fields()[0].second, "multipart/form-data; boundary=" + kBoundary);
}

TEST_F(MultipartUploadTest, TheThresholdDecidesBetweenMemoryAndAPrivateFile) {
  // Below the threshold by one byte: in memory.
  auto small = std::make_shared<MultipartFormData>(nullptr, kBoundary);
  small->appendData(Bytes(99, 's'), "s");
  const auto inMemory = MultipartUpload(100, request(), small).toUploadable();
  ASSERT_TRUE(std::holds_alternative<Uploadable::Data>(inMemory.storage));
  EXPECT_NE(text(std::get<Uploadable::Data>(inMemory.storage).data).find(std::string(99, 's')),
            std::string::npos);

  // At the threshold: a file to remove after use, in a directory only this user can enter.
  auto large = std::make_shared<MultipartFormData>(nullptr, kBoundary);
  large->appendData(Bytes(100, 'l'), "l");
  MultipartUpload upload(100, request(), large);
  const auto onDisk = upload.toUploadable();
  ASSERT_TRUE(std::holds_alternative<Uploadable::File>(onDisk.storage));
  const auto& file = std::get<Uploadable::File>(onDisk.storage);
  EXPECT_TRUE(file.shouldRemove);
  EXPECT_EQ(file.url.path().substr(0, file.url.path().find_last_of('/')), bodyDirectory());
  EXPECT_NE(readFile(file.url.path()).find(std::string(100, 'l')), std::string::npos);
  struct stat info {};
  ASSERT_EQ(stat(file.url.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  for (const std::string& path : {bodyDirectory(), directory_ + "/org.tovarine.halyard.manager"}) {
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << path;
  }
  // Asked again, the same body: the form is encoded once.
  const auto again = upload.toUploadable();
  EXPECT_EQ(std::get<Uploadable::File>(again.storage).url, file.url);

  // An empty form stays in memory, empty.
  auto empty = std::make_shared<MultipartFormData>(nullptr, kBoundary);
  const auto nothing = MultipartUpload(1, request(), empty).toUploadable();
  EXPECT_TRUE(std::get<Uploadable::Data>(nothing.storage).data.empty());
}

TEST_F(MultipartUploadTest, AFailureIsTheAnswerEveryTimeAndLeavesNoFile) {
  auto broken = std::make_shared<MultipartFormData>(nullptr, kBoundary);
  broken->appendFile(URL::fileURLWithPath(directory_ + "/missing.txt", false), "m");
  MultipartUpload upload(0, request(), broken);
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_TRUE(caseOf<Reason::BodyPartFileNotReachableWithError>(
        thrownBy([&] { upload.toUploadable(); })));
  }

  // A write that fails half way takes its partial file with it.
  auto shortStream = std::make_shared<MultipartFormData>(nullptr, kBoundary);
  shortStream->appendStreamNamed(platform::InputStream::withData(Bytes(10, 'x')), 20, "s", "s.bin",
                                 "x/y");
  MultipartUpload failing(0, request(), shortStream);
  EXPECT_TRUE(unexpectedLength(thrownBy([&] { failing.toUploadable(); })));
  EXPECT_TRUE(std::filesystem::is_empty(bodyDirectory()));
}

TEST_F(MultipartUploadTest, ADirectoryThatIsNotPrivateIsNotUsed) {
  std::filesystem::create_directories(bodyDirectory());
  chmod((directory_ + "/org.tovarine.halyard.manager").c_str(), 0700);
  chmod(bodyDirectory().c_str(), 0777);
  auto form = std::make_shared<MultipartFormData>(nullptr, kBoundary);
  form->appendData(Bytes(10, 'x'), "x");
  MultipartUpload upload(1, request(), form);
  try {
    upload.toUploadable();
    FAIL() << "a body file went into a directory others can enter";
  } catch (...) {
    const auto error = halyard::currentError();
    const auto* fileError = dynamic_cast<const platform::FileError*>(error.get());
    ASSERT_NE(fileError, nullptr) << error->debugDescription();
    EXPECT_EQ(fileError->path(), bodyDirectory());
  }
  EXPECT_TRUE(std::filesystem::is_empty(bodyDirectory()));
}

}  // namespace
