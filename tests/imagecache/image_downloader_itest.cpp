#include "imagecache/image_downloader.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <thread>

#include "halyard/core/http_header_views.h"
#include "imagecache/support/downloader_fixture.h"
#include "platform/concurrency/wait_for.h"
#include "platform/graphics/image_decoding.h"
#include "platform/graphics/support/format_encoding.h"
#include "platform/graphics/support/image_encoding.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session.h"

namespace imagetest {
namespace {

using halyard::HalyardError;
using Policy = platform::URLRequest::CachePolicy;
using Order = ImageDownloader::DownloadPrioritization;

// A convertible whose URL request cannot be built.
class Unbuildable : public halyard::URLRequestConvertible {
 public:
  platform::URLRequest toURLRequest() const override {
    throw std::runtime_error("no request for you");
  }
};

// Counts the decodes it is asked for, to show that the subclass is the one used.
class CountingSerializer : public imagecache::ImageResponseSerializer {
 public:
  ImagePtr decodeImage(const platform::Bytes& data) const override {
    ++decodes;
    return ImageResponseSerializer::decodeImage(data);
  }
  mutable std::atomic<int> decodes = 0;
};

using ImageDownloaderTest = DownloaderTest;

// ---- Sharing, withdrawing, the cache and the queue ---------------------------------------------

TEST_F(ImageDownloaderTest, TwoDownloadsInFlightShareOneRequestAndEachGetsItsFilter) {
  server.serve("/a", jpeg, "image/jpeg");
  server.hold("/a");
  auto downloader = makeDownloader();
  auto first = std::make_shared<TestFilter>("first", 1);
  auto second = std::make_shared<TestFilter>("second", 2);
  auto r1 = downloader->download(convertibleFor(server.url("/a")), {}, "1", nullptr, first, nullptr,
                                 platform::DispatchQueue::main(), recorder.completion("first"));
  auto r2 =
      downloader->download(convertibleFor(server.url("/a")), {}, "2", nullptr, second, nullptr,
                           platform::DispatchQueue::main(), recorder.completion("second"));
  ASSERT_TRUE(r1 && r2);
  EXPECT_EQ(r1->request(), r2->request());
  ASSERT_TRUE(waitUntil([&] { return server.waiting("/a") == 1; }));
  server.release("/a");
  ASSERT_TRUE(waitUntil([&] { return recorder.has("first") && recorder.has("second"); }));
  EXPECT_EQ(recorder.order(), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(recorder.width("first"), 39);
  EXPECT_EQ(recorder.width("second"), 38);
  EXPECT_EQ(server.hits("/a"), 1);
}

TEST_F(ImageDownloaderTest, AJoinersKeySerializerAndProgressAreIgnored) {
  server.serve("/a", jpeg, "image/jpeg");
  server.hold("/a");
  auto downloader = makeDownloader();
  auto joinerSerializer = std::make_shared<CountingSerializer>();
  std::atomic<int> joinerProgress = 0;
  downloader->download(convertibleFor(server.url("/a")), std::string("first-key"), "1", nullptr,
                       nullptr, nullptr, platform::DispatchQueue::main(),
                       recorder.completion("first"));
  downloader->download(
      convertibleFor(server.url("/a")), std::string("joiner-key"), "2", joinerSerializer, nullptr,
      [&](const halyard::ProgressPtr&) { ++joinerProgress; }, platform::DispatchQueue::main(),
      recorder.completion("joiner"));
  server.release("/a");
  ASSERT_TRUE(waitUntil([&] { return recorder.has("first") && recorder.has("joiner"); }));
  EXPECT_TRUE(cache->imageWithIdentifier("first-key"));
  EXPECT_FALSE(cache->imageWithIdentifier("joiner-key"));
  EXPECT_EQ(joinerSerializer->decodes, 0);
  EXPECT_EQ(joinerProgress, 0);
}

TEST_F(ImageDownloaderTest, WithdrawingOneOfTwoCancelsOnlyThatCaller) {
  server.serve("/a", jpeg, "image/jpeg");
  server.hold("/a");
  auto downloader = makeDownloader();
  auto r1 =
      downloader->download(convertibleFor(server.url("/a")), {}, "1", nullptr, nullptr, nullptr,
                           platform::DispatchQueue::main(), recorder.completion("withdrawn"));
  downloader->download(convertibleFor(server.url("/a")), {}, "2", nullptr, nullptr, nullptr,
                       platform::DispatchQueue::main(), recorder.completion("kept"));
  downloader->cancelRequest(*r1);
  EXPECT_FALSE(recorder.has("withdrawn"));  // never inside the call
  // At once: the server still holds the answer.
  ASSERT_TRUE(waitUntil([&] { return recorder.has("withdrawn"); }));
  EXPECT_TRUE(recorder.cancelled("withdrawn"));
  EXPECT_FALSE(recorder.has("kept"));
  server.release("/a");
  ASSERT_TRUE(waitUntil([&] { return recorder.has("kept"); }));
  EXPECT_EQ(recorder.width("kept"), 40);
  EXPECT_EQ(recorder.count("withdrawn"), 1);
}

TEST_F(ImageDownloaderTest, WithdrawingTheOnlyReceiptCancelsTheRequestAndFreesTheSlot) {
  server.serve("/a", jpeg, "image/jpeg");
  server.serve("/fence", jpeg, "image/jpeg");
  server.hold("/a");
  auto downloader = makeDownloader(1);
  auto receipt =
      downloader->download(convertibleFor(server.url("/a")), {}, "1", nullptr, nullptr, nullptr,
                           platform::DispatchQueue::main(), recorder.completion("only"));
  ASSERT_TRUE(waitUntil([&] { return server.waiting("/a") == 1; }));
  downloader->cancelRequest(*receipt);
  ASSERT_TRUE(waitUntil([&] { return downloader->activeRequestCount() == 0; }));
  const auto requestError = receipt->request()->error();
  EXPECT_TRUE(requestError && requestError->isExplicitlyCancelled());
  // With the one slot free again, a later download runs; its completion comes after anything
  // scheduled before it.
  downloader->download(convertibleFor(server.url("/fence")), {}, "f", nullptr, nullptr, nullptr,
                       platform::DispatchQueue::main(), recorder.completion("fence"));
  ASSERT_TRUE(waitUntil([&] { return recorder.has("fence"); }));
  EXPECT_EQ(recorder.count("only"), 1);
  EXPECT_TRUE(recorder.cancelled("only"));
}

TEST_F(ImageDownloaderTest, ACacheHitGivesNoReceiptAndALaterCompletionWithoutResponse) {
  server.serve("/a", jpeg, "image/jpeg");
  auto downloader = makeDownloader();
  downloader->download(convertibleFor(server.url("/a")), {}, "1", nullptr, nullptr, nullptr,
                       platform::DispatchQueue::main(), recorder.completion("fetch"));
  ASSERT_TRUE(waitUntil([&] { return recorder.has("fetch"); }));
  const auto receipt =
      downloader->download(convertibleFor(server.url("/a")), {}, "2", nullptr, nullptr, nullptr,
                           platform::DispatchQueue::main(), recorder.completion("hit"));
  EXPECT_FALSE(receipt);
  EXPECT_FALSE(recorder.has("hit"));
  ASSERT_TRUE(waitUntil([&] { return recorder.has("hit"); }));
  const ImageDownloadResponse hit = recorder.response("hit");
  ASSERT_TRUE(hit.result);
  EXPECT_EQ(*hit.result, *recorder.response("fetch").result);
  ASSERT_TRUE(hit.request);
  EXPECT_EQ(hit.request->url->absoluteString(), server.url("/a"));
  EXPECT_FALSE(hit.response);
  EXPECT_FALSE(hit.data);
  EXPECT_FALSE(hit.metrics);
  EXPECT_EQ(hit.serializationDuration, 0);
  EXPECT_EQ(server.hits("/a"), 1);
}

TEST_F(ImageDownloaderTest, ReloadIgnoringLocalDataAlwaysDownloadsAndStillCaches) {
  server.serve("/a", jpeg, "image/jpeg");
  auto downloader = makeDownloader();
  for (const char* tag : {"1", "2"}) {
    auto receipt = downloader->download(
        convertibleFor(server.url("/a"), Policy::reloadIgnoringLocalCacheData), {}, tag, nullptr,
        nullptr, nullptr, platform::DispatchQueue::main(), recorder.completion(tag));
    EXPECT_TRUE(receipt) << tag;
    ASSERT_TRUE(waitUntil([&] { return recorder.has(tag); }));
  }
  EXPECT_EQ(server.hits("/a"), 2);
  EXPECT_TRUE(cache->imageWithIdentifier(server.url("/a")));
}

TEST_F(ImageDownloaderTest, SixDownloadsRunAsFourPlusTwoInPriorityOrder) {
  struct Row {
    Order order;
    const char* startsFirst;
    const char* waitsLonger;
  };
  for (const Row& row : {Row{Order::fifo, "/5", "/6"}, Row{Order::lifo, "/6", "/5"}}) {
    SCOPED_TRACE(row.startsFirst);
    ImageServer local;
    for (int i = 1; i <= 6; ++i) {
      local.serve("/" + std::to_string(i), jpeg, "image/jpeg");
      local.hold("/" + std::to_string(i));
    }
    auto downloader = makeDownloader(4, row.order);
    Recorder done;
    for (int i = 1; i <= 6; ++i) {
      downloader->download(convertibleFor(local.url("/" + std::to_string(i))), {},
                           std::to_string(i), nullptr, nullptr, nullptr,
                           platform::DispatchQueue::main(), done.completion(std::to_string(i)));
    }
    ASSERT_TRUE(waitUntil([&] { return local.inFlight() == 4; }));
    EXPECT_EQ(downloader->activeRequestCount(), 4);
    EXPECT_EQ(downloader->queuedRequestCount(), 2u);
    local.release("/1");
    ASSERT_TRUE(waitUntil([&] { return local.hits(row.startsFirst) == 1; }));
    EXPECT_EQ(local.hits(row.waitsLonger), 0);
    EXPECT_EQ(downloader->activeRequestCount(), 4);
    local.releaseAll();
    ASSERT_TRUE(waitUntil([&] { return done.order().size() == 6; }));
    EXPECT_EQ(local.maxInFlight(), 4);
    // The slot is freed after the completions are scheduled.
    EXPECT_TRUE(waitUntil([&] { return downloader->activeRequestCount() == 0; }));
  }
}

// Slow hosts keep their slots until the slow-transfer rule ends their downloads; meanwhile they
// hold back only their own images. Each row holds every host's answers but the last host's.
TEST_F(ImageDownloaderTest, SlowHostsHoldBackOnlyTheirOwnImages) {
  struct Row {
    const char* name;
    int slowHosts;
    int imagesPerSlowHost;
    int slots;
    int queued;  // waiting while the slow hosts hold
  };
  for (const Row& row :
       {Row{"fourSlowHostsFourSlots", 4, 1, 4, 0}, Row{"fourSlowHostsOneSlotEach", 4, 2, 1, 4},
        Row{"oneSlowHostFillingItsSlots", 1, 5, 4, 1}}) {
    SCOPED_TRACE(row.name);
    std::vector<std::unique_ptr<ImageServer>> slow;
    auto downloader = makeDownloader(row.slots);
    Recorder done;
    for (int h = 0; h < row.slowHosts; ++h) {
      slow.push_back(std::make_unique<ImageServer>());
      for (int i = 0; i < row.imagesPerSlowHost; ++i) {
        const std::string path = "/" + std::to_string(i);
        slow.back()->serve(path, jpeg, "image/jpeg");
        slow.back()->hold(path);
        downloader->download(convertibleFor(slow.back()->url(path)), {},
                             platform::UUID().uuidString(), nullptr, nullptr, nullptr,
                             platform::DispatchQueue::main(), done.completion("slow"));
      }
    }
    ImageServer fast;
    fast.serve("/fast", jpeg, "image/jpeg");
    downloader->download(convertibleFor(fast.url("/fast")), {}, "fast", nullptr, nullptr, nullptr,
                         platform::DispatchQueue::main(), done.completion("fast"));
    ASSERT_TRUE(waitUntil([&] { return done.has("fast"); }));
    EXPECT_EQ(done.width("fast"), 40);
    EXPECT_EQ(done.count("slow"), 0);
    EXPECT_EQ(downloader->queuedRequestCount(), static_cast<std::size_t>(row.queued));
    for (const auto& server : slow)
      server->releaseAll();
    ASSERT_TRUE(
        waitUntil([&] { return done.count("slow") == row.slowHosts * row.imagesPerSlowHost; }));
    for (const auto& server : slow)
      EXPECT_LE(server->maxInFlight(), row.slots);
    EXPECT_TRUE(waitUntil([&] { return downloader->activeRequestCount() == 0; }));
  }
}

TEST_F(ImageDownloaderTest, OneFilterIdentifierRunsOnce) {
  server.serve("/a", jpeg, "image/jpeg");
  server.hold("/a");
  auto downloader = makeDownloader();
  auto one = std::make_shared<TestFilter>("same", 3);
  auto other = std::make_shared<TestFilter>("same", 3);
  for (const auto& [tag, filter] :
       {std::pair{"1", one}, std::pair{"2", other}, std::pair{"3", one}}) {
    downloader->download(convertibleFor(server.url("/a")), {}, tag, nullptr, filter, nullptr,
                         platform::DispatchQueue::main(), recorder.completion(tag));
  }
  server.release("/a");
  ASSERT_TRUE(waitUntil([&] { return recorder.order().size() == 3; }));
  EXPECT_EQ(one->runs() + other->runs(), 1);
  for (const char* tag : {"1", "2", "3"})
    EXPECT_EQ(recorder.width(tag), 37) << tag;
}

TEST_F(ImageDownloaderTest, TwoUnbuildableConvertiblesShareOneRequest) {
  // Until the session's root queue is let go, the first request cannot even fail, so it is
  // still in flight when the second download comes. A held download keeps the only slot, so
  // both wait in the queue, which they must leave when they fail there.
  auto rootQueue = platform::DispatchQueue::serial("org.tovarine.test.root");
  Gate rootHeld;
  rootQueue->async([&] { rootHeld.wait(); });
  auto session = halyard::Session::initWithConfiguration(
      configurationWithoutURLCache(), std::make_shared<halyard::SessionDelegate>(), rootQueue,
      /*startRequestsImmediately=*/false);
  server.serve("/busy", jpeg, "image/jpeg");
  server.hold("/busy");
  auto downloader = ImageDownloader::initWithSession(session, Order::fifo, 1, nullptr);
  downloader->download(convertibleFor(server.url("/busy")), {}, "busy", nullptr, nullptr, nullptr,
                       platform::DispatchQueue::main(), recorder.completion("busy"));
  auto r1 =
      downloader->download(std::make_shared<const Unbuildable>(), {}, "1", nullptr, nullptr,
                           nullptr, platform::DispatchQueue::main(), recorder.completion("1"));
  auto r2 =
      downloader->download(std::make_shared<const Unbuildable>(), {}, "2", nullptr, nullptr,
                           nullptr, platform::DispatchQueue::main(), recorder.completion("2"));
  ASSERT_TRUE(r1 && r2);
  EXPECT_EQ(r1->request(), r2->request());
  rootHeld.open();
  ASSERT_TRUE(waitUntil([&] { return recorder.has("1") && recorder.has("2"); }));
  for (const char* tag : {"1", "2"}) {
    const auto response = recorder.response(tag);
    ASSERT_FALSE(response.result) << tag;
    ASSERT_TRUE(response.result.error().underlyingError()) << tag;
    EXPECT_TRUE(response.result.error().underlyingError()->isCreateURLRequestFailed()) << tag;
  }
  ASSERT_TRUE(waitUntil([&] { return downloader->queuedRequestCount() == 0; }));
  server.release("/busy");
  ASSERT_TRUE(waitUntil([&] { return recorder.has("busy"); }));
  EXPECT_TRUE(waitUntil([&] { return downloader->activeRequestCount() == 0; }));
}

TEST_F(ImageDownloaderTest, DownloadAllGivesReceiptsForWhatWasNotCachedInOrder) {
  for (const char* path : {"/x", "/y", "/z"})
    server.serve(path, jpeg, "image/jpeg");
  auto downloader = makeDownloader();
  downloader->download(convertibleFor(server.url("/y")), {}, "warm", nullptr, nullptr, nullptr,
                       platform::DispatchQueue::main(), recorder.completion("warm"));
  ASSERT_TRUE(waitUntil([&] { return recorder.has("warm"); }));
  const auto receipts = downloader->downloadAll(
      {convertibleFor(server.url("/x")), convertibleFor(server.url("/y")),
       convertibleFor(server.url("/z"))},
      nullptr, nullptr, platform::DispatchQueue::main(), recorder.completion("all"));
  ASSERT_EQ(receipts.size(), 2u);
  EXPECT_EQ(receipts[0].request()->convertible()->toURLRequest().url->absoluteString(),
            server.url("/x"));
  EXPECT_EQ(receipts[1].request()->convertible()->toURLRequest().url->absoluteString(),
            server.url("/z"));
  EXPECT_NE(receipts[0].receiptID(), receipts[1].receiptID());
  ASSERT_TRUE(waitUntil([&] { return recorder.count("all") == 3; }));
}

// ---- Outcomes callers see -----------------------------------------------------------------------

// The client error inside a failure, or none.
std::optional<HalyardError> underlying(const ImageDownloadResponse& response) {
  if (response.result) return std::nullopt;
  return response.result.error().underlyingError();
}

bool carriesImageSerializationFailure(const HalyardError& error) {
  const auto* failed = error.as<HalyardError::ResponseSerializationFailed>();
  if (!failed) return false;
  const auto* custom =
      std::get_if<HalyardError::ResponseSerializationFailureReason::CustomSerializationFailed>(
          &failed->reason.storage);
  const auto* image =
      custom ? dynamic_cast<const HalyardImageError*>(custom->error.get()) : nullptr;
  return image && image->isDecodingFailure();
}

TEST_F(ImageDownloaderTest, FailuresReachCallersAsTheClientsErrors) {
  server.serve("/missing", "gone", "text/plain", 404);
  server.serve("/html", "<p>hello</p>", "text/html");
  server.serve("/broken", "certainly not a picture", "image/png");
  int closedPort = 0;
  {
    ImageServer closed;
    closedPort = std::stoi(closed.url("").substr(std::string("http://127.0.0.1:").size()));
  }
  struct Row {
    std::string address;
    std::function<bool(const HalyardError&)> expected;
  };
  const std::vector<Row> rows = {
      {server.url("/missing"), [](const HalyardError& e) { return e.rejectedStatusCode() == 404; }},
      {server.url("/html"),
       [](const HalyardError& e) { return e.receivedContentType() == "text/html"; }},
      {server.url("/broken"), carriesImageSerializationFailure},
      {"http://127.0.0.1:" + std::to_string(closedPort) + "/a",
       [](const HalyardError& e) { return e.isSessionTaskFailed(); }},
  };
  auto downloader = makeDownloader();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.address);
    downloader->download(convertibleFor(row.address), {}, row.address, nullptr, nullptr, nullptr,
                         platform::DispatchQueue::main(), recorder.completion(row.address));
    ASSERT_TRUE(waitUntil([&] { return recorder.has(row.address); }));
    const auto error = underlying(recorder.response(row.address));
    ASSERT_TRUE(error);
    EXPECT_TRUE(row.expected(*error)) << error->debugDescription();
  }
}

TEST_F(ImageDownloaderTest, AnImageIsCachedBeforeItsCompletionAndADownloadFromThereHitsTheCache) {
  server.serve("/a", jpeg, "image/jpeg");
  auto downloader = makeDownloader();
  bool cachedAtCompletion = false;
  std::optional<std::optional<imagecache::RequestReceipt>> secondReceipt;
  downloader->download(convertibleFor(server.url("/a")), {}, "1", nullptr, nullptr, nullptr,
                       platform::DispatchQueue::main(), [&](const ImageDownloadResponse& response) {
                         cachedAtCompletion =
                             cache->imageForRequest(*response.request, std::nullopt) != nullptr;
                         secondReceipt = downloader->download(
                             convertibleFor(server.url("/a")), {}, "2", nullptr, nullptr, nullptr,
                             platform::DispatchQueue::main(), recorder.completion("again"));
                       });
  ASSERT_TRUE(waitUntil([&] { return recorder.has("again"); }));
  EXPECT_TRUE(cachedAtCompletion);
  ASSERT_TRUE(secondReceipt);
  EXPECT_FALSE(*secondReceipt);
  EXPECT_EQ(server.hits("/a"), 1);
}

TEST_F(ImageDownloaderTest, ASubclassesDecoderIsUsedByTheDownloaderAndByResponseAsImage) {
  server.serve("/a", jpeg, "image/jpeg");
  server.serve("/b", jpeg, "image/jpeg");
  server.serve("/c", jpeg, "image/jpeg");
  auto byDefault = std::make_shared<CountingSerializer>();
  auto perCall = std::make_shared<CountingSerializer>();
  auto direct = std::make_shared<CountingSerializer>();
  auto downloader = makeDownloader();
  downloader->setImageResponseSerializer(byDefault);
  EXPECT_EQ(downloader->imageResponseSerializer(), byDefault);
  downloader->download(convertibleFor(server.url("/a")), {}, "a", nullptr, nullptr, nullptr,
                       platform::DispatchQueue::main(), recorder.completion("a"));
  downloader->download(convertibleFor(server.url("/b")), {}, "b", perCall, nullptr, nullptr,
                       platform::DispatchQueue::main(), recorder.completion("b"));
  std::optional<halyard::DataResponse<ImagePtr>> plain;
  auto session = halyard::Session::initWithConfiguration();
  auto request = session->makeDataRequest(halyard::URLConvertible(server.url("/c")));
  imagecache::responseAsImage(
      *request, nullptr, [&](const halyard::DataResponse<ImagePtr>& r) { plain = r; }, direct);
  ASSERT_TRUE(
      waitUntil([&] { return recorder.has("a") && recorder.has("b") && plain.has_value(); }));
  EXPECT_EQ(byDefault->decodes, 1);
  EXPECT_EQ(perCall->decodes, 1);
  EXPECT_EQ(direct->decodes, 1);
  ASSERT_TRUE(plain->result);
  EXPECT_EQ((*plain->result)->width(), 40);
}

TEST_F(ImageDownloaderTest, EachFormatArrivesDecodedOnTheMainQueueAndSitsInTheCache) {
  const graphics_test::Picture picture = graphics_test::tiledPicture(24, 16, 4, true);
  graphics_test::GifSpec gif{12, 10, {{255, 0, 0, 255}, {0, 0, 255, 255}}, {}};
  gif.frames.push_back({0, 0, 12, 10, false, {}, std::vector<std::uint8_t>(120, 1), -1});
  struct Row {
    std::string path, type;
    graphics_test::Bytes body;
    int width, height;
  };
  const std::vector<Row> rows = {
      {"/p.png", "image/png", graphics_test::encodePng(picture), 24, 16},
      {"/p.jpg", "image/jpeg", graphics_test::encodeJpeg(picture), 24, 16},
      {"/p.gif", "image/gif", graphics_test::encodeGif(gif), 12, 10},
      {"/p.webp", "image/webp", graphics_test::encodeWebp(picture, true, true), 24, 16},
      {"/p.avif", "image/avif",
       graphics_test::encodeHeif(picture, false, graphics_test::HeifCodec::av1), 24, 16},
  };
  auto downloader = makeDownloader();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    server.serve(row.path, std::string(row.body.begin(), row.body.end()), row.type);
    bool onMain = false;
    std::optional<ImageDownloadResponse> received;
    downloader->download(convertibleFor(server.url(row.path)), {}, row.path, nullptr, nullptr,
                         nullptr, platform::DispatchQueue::main(),
                         [&](const ImageDownloadResponse& response) {
                           onMain = platform::DispatchQueue::main()->isCurrent();
                           received = response;
                         });
    ASSERT_TRUE(waitUntil([&] { return received.has_value(); }));
    EXPECT_TRUE(onMain);
    ASSERT_TRUE(received->result && *received->result);
    EXPECT_EQ((*received->result)->width(), row.width);
    EXPECT_EQ((*received->result)->height(), row.height);
    EXPECT_EQ(cache->imageForRequest(*received->request, std::nullopt), *received->result);
  }
}

TEST_F(ImageDownloaderTest, ASmallPNGClaimingAHugePictureFailsAtOnce) {
  server.serve("/bomb.png", makePNGHeaderClaiming(100'000, 100'000), "image/png");
  auto downloader = makeDownloader();
  const std::uint64_t allocationsBefore = platform::imageDecodingPixelAllocations();
  downloader->download(convertibleFor(server.url("/bomb.png")), {}, "bomb", nullptr, nullptr,
                       nullptr, platform::DispatchQueue::main(), recorder.completion("bomb"));
  ASSERT_TRUE(waitUntil([&] { return recorder.has("bomb"); }));
  const auto error = underlying(recorder.response("bomb"));
  ASSERT_TRUE(error);
  EXPECT_TRUE(carriesImageSerializationFailure(*error)) << error->debugDescription();
  EXPECT_EQ(platform::imageDecodingPixelAllocations(), allocationsBefore);
}

// What awaiting an image task gives: the width, or the failure's kind.
platform::Task<std::string> awaitImage(halyard::DataTask<ImagePtr> task) {
  try {
    const ImagePtr image = co_await task.value();
    co_return image->isNull() ? std::string("empty") : std::to_string(image->width());
  } catch (const HalyardError& error) {
    co_return error.receivedContentType() ? "content type" : "other failure";
  }
}

TEST_F(ImageDownloaderTest, APublisherAndATaskOfARequestsImage) {
  server.serve("/a", jpeg, "image/jpeg");
  server.serve("/html", "<p>no</p>", "text/html");
  server.route("/nothing",
               [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
  struct Row {
    const char* path;
    std::string expected;
  };
  auto session = halyard::Session::initWithConfiguration();
  for (const Row& row : {Row{"/a", "40"}, Row{"/html", "content type"}, Row{"/nothing", "empty"}}) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(
        platform::waitFor(
            awaitImage(imagecache::imageTask(session->makeDataRequest(server.url(row.path)))), 20),
        row.expected);
    std::optional<std::string> published;
    auto cancellable =
        imagecache::imagePublisher(session->makeDataRequest(server.url(row.path)))
            .result()
            .sink([](platform::Completion<platform::Never>) {},
                  [&](std::expected<ImagePtr, HalyardError> result) {
                    if (!result) {
                      published = result.error().receivedContentType() ? "content type" : "other";
                    } else {
                      published =
                          (*result)->isNull() ? "empty" : std::to_string((*result)->width());
                    }
                  });
    ASSERT_TRUE(waitUntil([&] { return published.has_value(); }));
    EXPECT_EQ(*published, row.expected);
  }
}

// ---- Credentials and progress -------------------------------------------------------------------

TEST_F(ImageDownloaderTest, BasicAuthenticationIsAnsweredWithTheDownloadersCredential) {
  const std::string expected = std::string("Basic cGFpbnRlcjpzM2NyZXQ=");
  server.route("/private", [&](const httplib::Request& request, httplib::Response& response) {
    if (request.get_header_value("Authorization") != expected) {
      response.status = 401;
      response.set_header("WWW-Authenticate", "Basic realm=\"pictures\"");
      response.set_content("who are you", "text/plain");
      return;
    }
    response.set_content(jpeg, "image/jpeg");
  });
  auto downloader = makeDownloader();
  downloader->addCredentialForUser("painter", "s3cret",
                                   platform::URLCredential::Persistence::forSession);
  ASSERT_TRUE(downloader->credential());
  downloader->download(convertibleFor(server.url("/private")), {}, "1", nullptr, nullptr, nullptr,
                       platform::DispatchQueue::main(), recorder.completion("private"));
  ASSERT_TRUE(waitUntil([&] { return recorder.has("private"); }));
  EXPECT_EQ(recorder.width("private"), 40);
  EXPECT_EQ(server.lastAuthorization(), expected);
}

TEST_F(ImageDownloaderTest, AChunkedImageReportsProgressOnTheProgressQueue) {
  const std::string big = makeJPEG(400, 300);
  server.route("/chunked", [&](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider(
        "image/jpeg", [&big](std::size_t offset, httplib::DataSink& sink) {
          if (offset >= big.size()) {
            sink.done();
            return true;
          }
          return sink.write(big.data() + offset, std::min<std::size_t>(1024, big.size() - offset));
        });
  });
  auto progressQueue = platform::DispatchQueue::serial("org.tovarine.test.progress");
  std::atomic<int> reports = 0;
  std::atomic<int> offQueue = 0;
  std::atomic<std::int64_t> lastCompleted = 0;
  auto downloader = makeDownloader();
  downloader->download(
      convertibleFor(server.url("/chunked")), {}, "1", nullptr, nullptr,
      [&](const halyard::ProgressPtr& progress) {
        ++reports;
        if (!progressQueue->isCurrent()) ++offQueue;
        lastCompleted = progress->completedUnitCount();
      },
      progressQueue, recorder.completion("chunked"));
  ASSERT_TRUE(waitUntil([&] { return recorder.has("chunked"); }));
  progressQueue->sync([] {});
  EXPECT_EQ(recorder.width("chunked"), 400);
  EXPECT_GT(reports, 0);
  EXPECT_EQ(offQueue, 0);
  EXPECT_EQ(lastCompleted, static_cast<std::int64_t>(big.size()));
}

// ---- Faults that must not come back -------------------------------------------------------------

bool endedAtTheBound(const ImageDownloadResponse& response) {
  const auto error = underlying(response);
  if (!error || !error->isSessionTaskFailed()) return false;
  const auto* urlError = dynamic_cast<const platform::URLError*>(error->wrappedError().get());
  return urlError && urlError->code() == platform::URLError::Code::dataLengthExceedsMaximum;
}

TEST_F(ImageDownloaderTest, BodiesBeyondTheBoundAreRefused) {
  constexpr std::size_t kDeclared = 100u * 1024 * 1024;
  std::atomic<std::size_t> declaredSent = 0;
  server.route("/declared", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(
        kDeclared, "image/jpeg",
        [&](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          static const std::string block(64 * 1024, 'x');
          const std::size_t size = std::min(length, block.size());
          declaredSent = offset + size;
          return sink.write(block.data(), size);
        });
  });
  server.route("/endless", [](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider("image/jpeg", [](std::size_t, httplib::DataSink& sink) {
      static const std::string block(256 * 1024, 'y');
      return sink.write(block.data(), block.size());
    });
  });
  auto downloader = makeDownloader();
  for (const char* path : {"/declared", "/endless"}) {
    SCOPED_TRACE(path);
    downloader->download(convertibleFor(server.url(path)), {}, path, nullptr, nullptr, nullptr,
                         platform::DispatchQueue::main(), recorder.completion(path));
    ASSERT_TRUE(waitUntil([&] { return recorder.has(path); }, 60));
    EXPECT_TRUE(endedAtTheBound(recorder.response(path)));
    const auto data = recorder.response(path).data;
    EXPECT_LE(data ? data->size() : 0u,
              static_cast<std::size_t>(ImageDownloader::kDefaultMaximumBodyBytes));
  }
  // Refused at the head: far less than the declared length was ever asked for.
  EXPECT_LT(declaredSent.load(), kDeclared / 2);
}

TEST_F(ImageDownloaderTest, AWithdrawnQueuedRequestLeavesTheQueueAndIsNeverCounted) {
  server.serve("/running", jpeg, "image/jpeg");
  server.serve("/queued", jpeg, "image/jpeg");
  server.serve("/later", jpeg, "image/jpeg");
  server.hold("/running");
  auto downloader = makeDownloader(1);
  downloader->download(convertibleFor(server.url("/running")), {}, "r", nullptr, nullptr, nullptr,
                       platform::DispatchQueue::main(), recorder.completion("running"));
  auto queued =
      downloader->download(convertibleFor(server.url("/queued")), {}, "q", nullptr, nullptr,
                           nullptr, platform::DispatchQueue::main(), recorder.completion("queued"));
  EXPECT_EQ(downloader->queuedRequestCount(), 1u);
  downloader->cancelRequest(*queued);
  EXPECT_EQ(downloader->queuedRequestCount(), 0u);
  EXPECT_EQ(downloader->activeRequestCount(), 1);
  ASSERT_TRUE(waitUntil([&] { return recorder.has("queued"); }));
  EXPECT_TRUE(recorder.cancelled("queued"));
  // The withdrawn request's own completion must neither free the running one's slot nor start
  // anything.
  EXPECT_EQ(downloader->activeRequestCount(), 1);
  server.release("/running");
  ASSERT_TRUE(waitUntil([&] { return recorder.has("running"); }));
  ASSERT_TRUE(waitUntil([&] { return downloader->activeRequestCount() == 0; }));
  downloader->download(convertibleFor(server.url("/later")), {}, "l", nullptr, nullptr, nullptr,
                       platform::DispatchQueue::main(), recorder.completion("later"));
  EXPECT_EQ(downloader->activeRequestCount(), 1);
  ASSERT_TRUE(waitUntil([&] { return recorder.has("later"); }));
  ASSERT_TRUE(waitUntil([&] { return downloader->activeRequestCount() == 0; }));
  EXPECT_EQ(recorder.count("queued"), 1);
}

TEST_F(ImageDownloaderTest, AStaleReceiptWithdrawsNobody) {
  server.serve("/a", jpeg, "image/jpeg");
  server.hold("/a");
  auto downloader = makeDownloader();
  auto old =
      downloader->download(convertibleFor(server.url("/a")), {}, "same", nullptr, nullptr, nullptr,
                           platform::DispatchQueue::main(), recorder.completion("old"));
  downloader->cancelRequest(*old);
  auto fresh =
      downloader->download(convertibleFor(server.url("/a")), {}, "same", nullptr, nullptr, nullptr,
                           platform::DispatchQueue::main(), recorder.completion("fresh"));
  ASSERT_TRUE(fresh);
  EXPECT_NE(fresh->request(), old->request());
  downloader->cancelRequest(*old);
  server.releaseAll();
  ASSERT_TRUE(waitUntil([&] { return recorder.has("old") && recorder.has("fresh"); }));
  EXPECT_TRUE(recorder.cancelled("old"));
  EXPECT_EQ(recorder.width("fresh"), 40);
  EXPECT_FALSE(fresh->request()->isCancelled());
}

TEST_F(ImageDownloaderTest, AFailingFilterFailsOnlyItsOwnCallers) {
  server.serve("/a", jpeg, "image/jpeg");
  server.hold("/a");
  auto downloader = makeDownloader(1);
  auto throwing = std::make_shared<TestFilter>("throws", 0, TestFilter::Mode::throwing);
  auto nothing = std::make_shared<TestFilter>("nothing", 0, TestFilter::Mode::nothing);
  auto fine = std::make_shared<TestFilter>("fine", 5);
  const std::vector<std::pair<std::string, imagecache::ImageFilterPtr>> callers = {
      {"throws", throwing}, {"fine", fine}, {"nothing", nothing}, {"plain", nullptr}};
  for (const auto& [tag, filter] : callers) {
    downloader->download(convertibleFor(server.url("/a")), {}, tag, nullptr, filter, nullptr,
                         platform::DispatchQueue::main(), recorder.completion(tag));
  }
  server.release("/a");
  ASSERT_TRUE(waitUntil([&] { return recorder.order().size() == 4; }));
  for (const char* tag : {"throws", "nothing"}) {
    SCOPED_TRACE(tag);
    const auto error = underlying(recorder.response(tag));
    ASSERT_TRUE(error);
    const auto* failed = error->as<HalyardError::ResponseSerializationFailed>();
    ASSERT_TRUE(failed);
    const auto* custom =
        std::get_if<HalyardError::ResponseSerializationFailureReason::CustomSerializationFailed>(
            &failed->reason.storage);
    ASSERT_TRUE(custom && custom->error);
    EXPECT_FALSE(cache->imageForRequest(*recorder.response(tag).request, std::string(tag)));
  }
  EXPECT_NE(underlying(recorder.response("throws"))
                ->wrappedError()
                ->localizedDescription()
                .find("filter throws broke"),
            std::string::npos);
  EXPECT_EQ(recorder.width("fine"), 35);
  EXPECT_EQ(recorder.width("plain"), 40);
  EXPECT_TRUE(cache->imageForRequest(*recorder.response("fine").request, std::string("fine")));
  // The slot is free again for the next download.
  ASSERT_TRUE(waitUntil([&] { return downloader->activeRequestCount() == 0; }));
}

TEST_F(ImageDownloaderTest, AnEmptyAnswerIsDeliveredButNotCached) {
  server.route("/nothing",
               [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
  auto downloader = makeDownloader();
  for (const char* tag : {"1", "2"}) {
    const auto receipt =
        downloader->download(convertibleFor(server.url("/nothing")), {}, tag, nullptr, nullptr,
                             nullptr, platform::DispatchQueue::main(), recorder.completion(tag));
    EXPECT_TRUE(receipt) << tag;
    ASSERT_TRUE(waitUntil([&] { return recorder.has(tag); }));
    const auto response = recorder.response(tag);
    ASSERT_TRUE(response.result && *response.result) << tag;
    EXPECT_TRUE((*response.result)->isNull()) << tag;
  }
  EXPECT_EQ(server.hits("/nothing"), 2);
  EXPECT_EQ(cache->usedMemory(), 0u);
}

TEST_F(ImageDownloaderTest, ACacheKeyHoldsTheImageOfTheCallerThatGaveIt) {
  server.serve("/a", jpeg, "image/jpeg");
  server.hold("/a");
  auto downloader = makeDownloader();
  auto narrow = std::make_shared<TestFilter>("narrow", 10);
  downloader->download(convertibleFor(server.url("/a")), std::string("avatar"), "1", nullptr,
                       nullptr, nullptr, platform::DispatchQueue::main(),
                       recorder.completion("keyed"));
  downloader->download(convertibleFor(server.url("/a")), {}, "2", nullptr, narrow, nullptr,
                       platform::DispatchQueue::main(), recorder.completion("joiner"));
  server.release("/a");
  ASSERT_TRUE(waitUntil([&] { return recorder.has("keyed") && recorder.has("joiner"); }));
  const ImagePtr keyed = cache->imageWithIdentifier("avatar");
  ASSERT_TRUE(keyed);
  EXPECT_EQ(keyed->width(), 40);
  const ImagePtr joined =
      cache->imageForRequest(*recorder.response("joiner").request, std::string("narrow"));
  ASSERT_TRUE(joined);
  EXPECT_EQ(joined->width(), 30);
}

// A caller's filter that is Sizable and names no identifier: it crops the image to its target
// width, so two sizes make two different images.
class CropToWidth : public imagecache::ImageFilter, public imagecache::Sizable {
 public:
  explicit CropToWidth(double width) : width_(width) {}
  imagecache::ImageSize targetSize() const override { return {width_, 20}; }
  imagecache::ImageFilterFunction filter() const override {
    return [width = static_cast<int>(width_)](ImagePtr image) -> ImagePtr {
      auto cropped = platform::Image::wrap(image->pixels(), width, image->height(),
                                           image->bytesPerRow(), image, image->pixelFormat());
      return cropped ? std::make_shared<const platform::Image>(*cropped) : nullptr;
    };
  }

 private:
  double width_;
};

TEST_F(ImageDownloaderTest, TwoSizesOfOneURLAreCachedApart) {
  server.serve("/a", jpeg, "image/jpeg");
  auto downloader = makeDownloader();
  struct Row {
    const char* tag;
    double width;
    bool downloads;  // false: answered from the image cache
  };
  for (const Row& row : {Row{"narrow", 10, true}, Row{"wide", 30, true},
                         Row{"narrowAgain", 10, false}, Row{"wideAgain", 30, false}}) {
    SCOPED_TRACE(row.tag);
    const auto receipt =
        downloader->download(convertibleFor(server.url("/a")), {}, row.tag, nullptr,
                             std::make_shared<CropToWidth>(row.width), nullptr,
                             platform::DispatchQueue::main(), recorder.completion(row.tag));
    EXPECT_EQ(receipt.has_value(), row.downloads);
    ASSERT_TRUE(waitUntil([&] { return recorder.has(row.tag); }));
    EXPECT_EQ(recorder.width(row.tag), static_cast<int>(row.width));
  }
  EXPECT_EQ(server.hits("/a"), 2);
}

// ---- Lifetimes ----------------------------------------------------------------------------------

TEST_F(ImageDownloaderTest, ADownloaderLetGoMidFlightStillCompletesEveryCallerOnce) {
  std::weak_ptr<ImageDownloader> watch;
  {
    auto downloader = makeDownloader(2);
    watch = downloader;
    for (int i = 0; i < 5; ++i) {
      const std::string path = "/" + std::to_string(i);
      server.serve(path, jpeg, "image/jpeg");
      server.hold(path);
      downloader->download(convertibleFor(server.url(path)), {}, path, nullptr, nullptr, nullptr,
                           platform::DispatchQueue::main(), recorder.completion(path));
    }
  }
  server.releaseAll();
  ASSERT_TRUE(waitUntil([&] { return recorder.order().size() == 5; }));
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(recorder.count("/" + std::to_string(i)), 1);
  EXPECT_TRUE(waitUntil([&] { return watch.expired(); }));
}

TEST_F(ImageDownloaderTest, AProcessExitingMidDownloadOfTheSharedDownloaderExitsCleanly) {
  server.serve("/slow", jpeg, "image/jpeg");
  server.hold("/slow");
  EXPECT_EXIT(
      {
        ImageDownloader::shared()->download(convertibleFor(server.url("/slow")));
        waitUntil([&] { return server.waiting("/slow") > 0; });
        // The child's own caches folder; its fixture never tears down.
        std::error_code ignored;
        std::filesystem::remove_all(cacheHome(), ignored);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// ---- Stress
// ---------------------------------------------------------------------------------------

TEST_F(ImageDownloaderTest, ManyThreadsDownloadingAndWithdrawingGetEveryCompletionOnce) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 250;
  constexpr int kAddresses = 25;
  for (int i = 0; i < kAddresses; ++i)
    server.serve("/" + std::to_string(i), jpeg, "image/jpeg");
  auto downloader = makeDownloader(4, Order::fifo, /*withImageCache=*/false);

  struct Tally {
    std::mutex mutex;
    std::map<std::string, int> completions;
    std::set<std::string> withdrawn;
    std::vector<std::string> wrongOutcomes;
  } tally;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t) * 7919u + 1u);
      for (int i = 0; i < kPerThread; ++i) {
        const std::string id = std::to_string(t) + "-" + std::to_string(i);
        const std::string address = server.url("/" + std::to_string(random() % kAddresses));
        auto receipt = downloader->download(
            convertibleFor(address), {}, id, nullptr, nullptr, nullptr,
            platform::DispatchQueue::main(), [&tally, id](const ImageDownloadResponse& response) {
              std::lock_guard lock(tally.mutex);
              ++tally.completions[id];
              const bool image = response.result && *response.result;
              const bool cancelled = !response.result && response.result.error().isCancellation();
              if (!image && !(cancelled && tally.withdrawn.contains(id))) {
                tally.wrongOutcomes.push_back(id);
              }
            });
        if (random() % 5 == 0) {
          {
            std::lock_guard lock(tally.mutex);
            tally.withdrawn.insert(id);
          }
          if (receipt) downloader->cancelRequest(*receipt);
        }
        if (random() % 50 == 0) {
          imagecache::ImageResponseSerializer::addAcceptableContentTypes(
              {"image/x-stress-" + std::to_string(t)});
        }
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  ASSERT_TRUE(waitUntil(
      [&] {
        std::lock_guard lock(tally.mutex);
        return tally.completions.size() == kThreads * kPerThread;
      },
      120));
  ASSERT_TRUE(waitUntil([&] { return downloader->activeRequestCount() == 0; }));
  std::lock_guard lock(tally.mutex);
  for (const auto& [id, count] : tally.completions)
    EXPECT_EQ(count, 1) << id;
  EXPECT_TRUE(tally.wrongOutcomes.empty()) << tally.wrongOutcomes.front();
  EXPECT_LE(server.maxInFlight(), 4);
  EXPECT_EQ(downloader->queuedRequestCount(), 0u);
}

// ---- Over the URL cache
// --------------------------------------------------------------------------

TEST_F(ImageDownloaderTest, AFreshImageComesFromTheURLCacheOfANewDownloaderOverTheSameDirectory) {
  server.route("/fresh", [&](const httplib::Request&, httplib::Response& response) {
    response.set_header("Cache-Control", "max-age=3600");
    response.set_content(jpeg, "image/jpeg");
  });
  for (const char* tag : {"first", "second"}) {
    // Each downloader has its own URL cache object and image cache; only the folder is shared.
    auto downloader = ImageDownloader::initWithConfiguration();
    downloader->download(convertibleFor(server.url("/fresh")), {}, tag, nullptr, nullptr, nullptr,
                         platform::DispatchQueue::main(), recorder.completion(tag));
    ASSERT_TRUE(waitUntil([&] { return recorder.has(tag); }));
    EXPECT_EQ(recorder.width(tag), 40) << tag;
  }
  EXPECT_EQ(server.hits("/fresh"), 1);
}

// A file manager that knows no caches directory.
class NoCachesDirectory : public platform::FileManager {
 public:
  std::vector<std::string> pathsForDirectory(platform::SearchPathDirectory,
                                             platform::SearchPathDomainMask) const override {
    return {};
  }
};

TEST_F(ImageDownloaderTest, TheDefaultConfigurationAndURLCache) {
  const platform::URLSessionConfiguration configuration =
      ImageDownloader::defaultURLSessionConfiguration();
  ASSERT_TRUE(configuration.urlCache);
  const auto headers = halyard::httpHeaders(configuration);
  struct Row {
    const char* setting;
    std::string value;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"Accept-Encoding", headers.valueForName("Accept-Encoding").value_or(""),
       halyard::HTTPHeaders::defaultHeaders().valueForName("Accept-Encoding").value_or("?")},
      {"User-Agent", headers.valueForName("User-Agent").value_or(""),
       halyard::HTTPHeaders::defaultHeaders().valueForName("User-Agent").value_or("?")},
      {"set cookies", std::to_string(configuration.httpShouldSetCookies), "1"},
      {"cache policy", std::to_string(static_cast<unsigned>(configuration.requestCachePolicy)),
       "0"},
      {"request time-out", std::to_string(configuration.timeoutIntervalForRequest), "60.000000"},
      {"body bound", std::to_string(configuration.maximumBodyBytes), "67108864"},
      // A host trickling a byte a second gives its slot back within the minute.
      {"minimum rate", std::to_string(configuration.minimumBytesPerSecond), "1024"},
      {"low-speed seconds", std::to_string(configuration.lowSpeedSeconds), "30"},
      {"whole-transfer time-out", std::to_string(configuration.timeoutIntervalForResource),
       "120.000000"},
      {"memory capacity", std::to_string(configuration.urlCache->memoryCapacity()), "20971520"},
      {"disk capacity", std::to_string(configuration.urlCache->diskCapacity()), "157286400"},
      {"disk path", configuration.urlCache->directory().value_or("none"),
       cacheHome() + "/org.tovarine.imagecache.imagedownloader"},
      {"disk path without a caches directory",
       ImageDownloader::defaultURLCache(std::make_shared<NoCachesDirectory>())
           ->directory()
           .value_or("none"),
       "none"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(row.value, row.expected) << row.setting;
}

// Every download's request is a command posted to the session's I/O thread by the downloader,
// mostly right after the previous one ended and the loop went quiet: none of them may wait
// for the loop's timer to notice it.
TEST_F(ImageDownloaderTest, ManyDownloadsNeverWaitForTheIOThreadsTimer) {
  constexpr int kImages = 500;
  for (int i = 0; i < kImages; ++i)
    server.serve("/" + std::to_string(i), jpeg, "image/jpeg");
  auto downloader = makeDownloader(4, Order::fifo, /*withImageCache=*/false);
  const std::uint64_t lostBefore = platform::net_detail::lostWakeUps();
  for (int i = 0; i < kImages; ++i) {
    downloader->download(convertibleFor(server.url("/" + std::to_string(i))), {}, std::to_string(i),
                         nullptr, nullptr, nullptr, platform::DispatchQueue::main(),
                         recorder.completion(std::to_string(i)));
  }
  ASSERT_TRUE(waitUntil([&] { return recorder.order().size() == kImages; }, 120));
  int decoded = 0;
  for (int i = 0; i < kImages; ++i)
    decoded += recorder.width(std::to_string(i)) == 40 ? 1 : 0;
  EXPECT_EQ(decoded, kImages);
  EXPECT_EQ(platform::net_detail::lostWakeUps() - lostBefore, 0u);
}

}  // namespace
}  // namespace imagetest
