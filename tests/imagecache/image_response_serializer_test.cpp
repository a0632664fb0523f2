#include "imagecache/image_response_serializer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "imagecache/halyard_image_error.h"
#include "imagecache/support/test_images.h"
#include "platform/foundation/log.h"
#include "platform/graphics/image_decoding.h"

namespace imagecache {
namespace {

using halyard::HalyardError;
using Reason = HalyardError::ResponseSerializationFailureReason;
using ValidationReason = HalyardError::ResponseValidationFailureReason;

const std::vector<std::string> kInitialTypes = {"application/octet-stream",
                                                "image/bmp",
                                                "image/gif",
                                                "image/ico",
                                                "image/jp2",
                                                "image/jpeg",
                                                "image/jpg",
                                                "image/png",
                                                "image/tiff",
                                                "image/x-bmp",
                                                "image/x-icon",
                                                "image/x-ms-bmp",
                                                "image/x-win-bitmap",
                                                "image/x-xbitmap",
                                                "image/webp",
                                                "image/heic",
                                                "image/heif",
                                                "image/avif"};

platform::URLRequest requestFor(const std::string& address, const std::string& method = "GET") {
  platform::URLRequest request(*platform::URL::fromString(address));
  request.httpMethod = method;
  return request;
}

platform::HTTPURLResponsePtr responseWith(int status, const std::string& contentType) {
  platform::HTTPHeaderFields fields;
  if (!contentType.empty()) fields.set("Content-Type", contentType);
  return std::make_shared<const platform::HTTPURLResponse>(
      *platform::URL::fromString("http://127.0.0.1/picture"), status, "HTTP/1.1", fields);
}

// What a serialization threw, as one printable word per kind, so that table rows can say it.
std::string outcomeOf(const std::function<ImagePtr()>& serialize, ImagePtr* image = nullptr) {
  try {
    ImagePtr result = serialize();
    if (image) *image = result;
    if (!result) return "no image";
    return result->isNull() ? "empty image" : "image";
  } catch (const HalyardImageError& error) {
    return error.isDecodingFailure() ? "imageSerializationFailed" : error.debugDescription();
  } catch (const HalyardError& error) {
    if (const auto* failed = error.as<HalyardError::ResponseSerializationFailed>()) {
      if (std::holds_alternative<Reason::InputDataNilOrZeroLength>(failed->reason.storage)) {
        return "inputDataNilOrZeroLength";
      }
    }
    if (const auto* failed = error.as<HalyardError::ResponseValidationFailed>()) {
      if (std::holds_alternative<ValidationReason::UnacceptableContentType>(
              failed->reason.storage)) {
        return "unacceptableContentType";
      }
      if (std::holds_alternative<ValidationReason::MissingContentType>(failed->reason.storage)) {
        return "missingContentType";
      }
    }
    return error.debugDescription();
  }
}

// ---- Errors -----------------------------------------------------------------------------------

TEST(HalyardImageErrorTest, DescriptionsAndQueriesPerCase) {
  const HalyardError underlying = HalyardError::explicitlyCancelled();
  struct Row {
    HalyardImageError error;
    std::string description;
    bool underlying, cancellation, decoding;
  };
  const std::vector<Row> rows = {
      {HalyardImageError::halyardError(underlying),
       "Request failed due to an underlying Halyard error: Request explicitly cancelled.", true,
       false, false},
      {HalyardImageError::requestCancelled(), "The request was explicitly cancelled.", false, true,
       false},
      {HalyardImageError::imageSerializationFailed(),
       "Response data could not be serialized into an image.", false, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    EXPECT_EQ(row.error.errorDescription(), row.description);
    EXPECT_EQ(row.error.localizedDescription(), row.description);
    EXPECT_STREQ(row.error.what(), row.description.c_str());
    EXPECT_EQ(row.error.isUnderlyingError(), row.underlying);
    EXPECT_EQ(row.error.isCancellation(), row.cancellation);
    EXPECT_EQ(row.error.isDecodingFailure(), row.decoding);
    EXPECT_EQ(row.error.underlyingError().has_value(), row.underlying);
  }
  // The prefix is followed by the client error's own text, whatever case it is.
  const HalyardError task = HalyardError::sessionInvalidated();
  EXPECT_EQ(HalyardImageError::halyardError(task).errorDescription(),
            "Request failed due to an underlying Halyard error: " + task.errorDescription());
}

// ---- The acceptable set -----------------------------------------------------------------------

TEST(AcceptableContentTypesTest, StartsWithTheEighteenTypesInOrderAndAddsEachOnce) {
  const std::vector<std::string> before = ImageResponseSerializer::acceptableContentTypes();
  ASSERT_GE(before.size(), kInitialTypes.size());
  EXPECT_EQ(std::vector<std::string>(before.begin(), before.begin() + kInitialTypes.size()),
            kInitialTypes);
  EXPECT_EQ(std::count(before.begin(), before.end(), "image/jxl"), 0);

  ImageResponseSerializer::addAcceptableContentTypes(
      {"image/x-once", "image/png", "image/x-once", "image/X-Once"});
  const std::vector<std::string> after = ImageResponseSerializer::acceptableContentTypes();
  EXPECT_EQ(std::count(after.begin(), after.end(), "image/x-once"), 1);
  EXPECT_EQ(std::count(after.begin(), after.end(), "image/png"), 1);
  EXPECT_EQ(std::count(after.begin(), after.end(), "image/X-Once"), 1);
  EXPECT_EQ(after.size(), before.size() + 2);
}

TEST(AcceptableContentTypesTest, AdditionsFromAnotherThreadWhileChecksRun) {
  constexpr int kTypes = 2000;
  ImageResponseSerializer serializer;
  std::vector<platform::HTTPURLResponsePtr> responses;
  for (int i = 0; i < kTypes; ++i) {
    responses.push_back(responseWith(200, "image/x-thread-" + std::to_string(i)));
  }
  std::atomic<bool> started = false;
  std::atomic<bool> done = false;
  std::thread adder([&] {
    started = true;
    for (int i = 0; i < kTypes; ++i) {
      ImageResponseSerializer::addAcceptableContentTypes({"image/x-thread-" + std::to_string(i)});
    }
    done = true;
  });
  while (!started)
    std::this_thread::yield();
  // Checks run for as long as additions come; each one either accepts or refuses cleanly.
  for (int i = 0; !done; i = (i + 1) % kTypes) {
    try {
      serializer.checkContentType(std::nullopt, responses[static_cast<std::size_t>(i)]);
    } catch (const HalyardError& error) {
      EXPECT_EQ(error.receivedContentType(), "image/x-thread-" + std::to_string(i));
    }
  }
  adder.join();
  for (const auto& response : responses) {
    EXPECT_NO_THROW(serializer.checkContentType(std::nullopt, response));
  }
}

// ---- The serializer ---------------------------------------------------------------------------

TEST(ImageResponseSerializerTest, EmptyBodiesAndContentChecks) {
  const std::string jpeg = imagetest::makeJPEG(8, 4);
  ImageResponseSerializer::addAcceptableContentTypes({"image/x-tovarine-test"});
  struct Row {
    const char* name;
    std::optional<platform::URLRequest> request;
    platform::HTTPURLResponsePtr response;
    std::optional<std::string> body;
    std::string outcome;
  };
  const std::vector<Row> rows = {
      {"204 without body to a GET", requestFor("http://h/a"), responseWith(204, ""), std::nullopt,
       "empty image"},
      {"205 with a zero-length body", requestFor("http://h/a"), responseWith(205, ""),
       std::string(), "empty image"},
      {"200 without body to a GET", requestFor("http://h/a"), responseWith(200, "image/jpeg"),
       std::nullopt, "inputDataNilOrZeroLength"},
      {"200 without body to a HEAD", requestFor("http://h/a", "HEAD"),
       responseWith(200, "image/jpeg"), std::nullopt, "empty image"},
      {"image/png that is no image", requestFor("http://h/a"), responseWith(200, "image/png"),
       "<html>not a picture</html>", "imageSerializationFailed"},
      {"the same body as text/html", requestFor("http://h/a"), responseWith(200, "text/html"),
       "<html>not a picture</html>", "unacceptableContentType"},
      {"no content type", requestFor("http://h/a"), responseWith(200, ""), jpeg,
       "missingContentType"},
      {"no response at all", requestFor("http://h/a"), nullptr, jpeg, "missingContentType"},
      {"a JPEG served as jpeg", requestFor("http://h/a"), responseWith(200, "image/jpeg"), jpeg,
       "image"},
      {"a type added later", requestFor("http://h/a"), responseWith(200, "image/x-tovarine-test"),
       jpeg, "image"},
      {"a file URL skips the check", platform::URLRequest(platform::URL::fileURLWithPath("/tmp/p")),
       responseWith(200, "text/html"), jpeg, "image"},
      {"a file URL without any response",
       platform::URLRequest(platform::URL::fileURLWithPath("/p")), nullptr, jpeg, "image"},
  };
  ImageResponseSerializer serializer;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::optional<platform::Bytes> body;
    if (row.body) body = imagetest::bytesOf(*row.body);
    platform::LogCapture capture;
    const std::string outcome = outcomeOf(
        [&] { return serializer.serializeResponseData(row.request, row.response, body, nullptr); });
    EXPECT_EQ(outcome, row.outcome);
    EXPECT_EQ(capture.contains("DudodivevIdizi: Returning empty image from serializer!"),
              row.outcome == "empty image");
  }
}

TEST(ImageResponseSerializerTest, MatchingIsCaseSensitive) {
  ImageResponseSerializer::addAcceptableContentTypes({"image/X-Tovarine-Case"});
  ImageResponseSerializer serializer;
  // The response reports its type lower-cased; only the exact text is a member.
  EXPECT_EQ(outcomeOf([&] {
              return serializer.serializeResponseData(
                  requestFor("http://h/a"), responseWith(200, "image/x-tovarine-case"),
                  imagetest::bytesOf(imagetest::makeJPEG(2, 2)), nullptr);
            }),
            "unacceptableContentType");
}

TEST(ImageResponseSerializerTest, AnIncomingErrorIsThrownUnchanged) {
  ImageResponseSerializer serializer;
  const platform::ErrorPtr error =
      std::make_shared<const HalyardImageError>(HalyardImageError::requestCancelled());
  try {
    serializer.serializeResponseData(requestFor("http://h/a"), responseWith(200, "image/jpeg"),
                                     imagetest::bytesOf(imagetest::makeJPEG(2, 2)), error);
    FAIL() << "no throw";
  } catch (...) {
    EXPECT_EQ(halyard::currentError(), error);
  }
}

TEST(ImageResponseSerializerTest, ErrorsCarryTheSetInOrderAndTheResponseType) {
  ImageResponseSerializer serializer;
  try {
    serializer.checkContentType(requestFor("http://h/a"), responseWith(200, "text/html"));
    FAIL() << "no throw";
  } catch (const HalyardError& error) {
    const std::vector<std::string> types =
        error.allowedContentTypes().value_or(std::vector<std::string>{});
    ASSERT_GE(types.size(), kInitialTypes.size());
    EXPECT_EQ(std::vector<std::string>(types.begin(), types.begin() + kInitialTypes.size()),
              kInitialTypes);
    EXPECT_EQ(error.receivedContentType(), "text/html");
  }
}

TEST(ImageResponseSerializerTest, DecodesAtPixelSizeWhateverTheScale) {
  struct Row {
    const char* name;
    std::string bytes;
    int width, height;
  };
  const std::vector<Row> rows = {
      {"PNG 100 by 50", imagetest::makePNG(100, 50), 100, 50},
      {"JPEG 33 by 7", imagetest::makeJPEG(33, 7), 33, 7},
  };
  const ImageResponseSerializer serializer(3.0, false);
  EXPECT_EQ(serializer.imageScale(), 3.0);
  EXPECT_FALSE(serializer.inflateResponseImage());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const ImagePtr image = serializer.decodeImage(imagetest::bytesOf(row.bytes));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), row.width);
    EXPECT_EQ(image->height(), row.height);
  }
  EXPECT_EQ(outcomeOf([&] { return serializer.decodeImage({}); }), "inputDataNilOrZeroLength");
}

TEST(ImageResponseSerializerTest, ASmallFileClaimingAHugePictureFailsBeforeAnyPixelStorage) {
  const std::string bomb = imagetest::makePNGHeaderClaiming(100'000, 100'000);
  EXPECT_LT(bomb.size(), 1024u);
  const ImageResponseSerializer serializer;
  const std::uint64_t allocationsBefore = platform::imageDecodingPixelAllocations();
  EXPECT_EQ(outcomeOf([&] {
              return serializer.serializeResponseData(std::nullopt, responseWith(200, "image/png"),
                                                      imagetest::bytesOf(bomb), nullptr);
            }),
            "imageSerializationFailed");
  EXPECT_EQ(platform::imageDecodingPixelAllocations(), allocationsBefore);
}

}  // namespace
}  // namespace imagecache
