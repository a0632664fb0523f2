#include "platform/net/session/session_loop.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "platform/net/session/curl_callbacks.h"
#include "platform/net/session/downloads.h"
#include "platform/net/session/head_reader.h"
#include "platform/net/session/transfer.h"
#include "platform/net/session/transfer_setup.h"
#include "platform/net/url_error.h"

namespace platform::net_detail {

namespace {

// The engine whose parts a transfer's callbacks reach; its loop batches the deliveries.
TransferEngine& engineOf(const Transfer& transfer) { return *transfer.loop; }

// What a transfer could not keep for want of memory ends that transfer, never the process: an
// exception must not unwind through libcurl, and the I/O thread serves every other transfer.
size_t failForWantOfMemory(Transfer& transfer, std::optional<URL> url) {
  if (!transfer.limitError) {
    transfer.limitError =
        makeError(URLError(URLError::Code::dataLengthExceedsMaximum, std::move(url),
                           "the response could not be kept: out of memory"));
  }
  return 0;
}

}  // namespace

size_t headerCallback(char* data, size_t size, size_t count, void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  TransferEngine& engine = engineOf(*transfer);
  try {
    engine.heads().onHeaderLine(*transfer, std::string_view(data, size * count));
  } catch (const std::bad_alloc&) {
    return failForWantOfMemory(*transfer, engine.currentURL(*transfer));
  }
  if (transfer->limitError) return 0;
  if (transfer->lastActivityUptime > 0) engine.timers().touch(*transfer);
  return size * count;
}

// How far the delegate may fall behind a data task's body before the transfer waits for it. A
// delivery costs more than its bytes (the queued call, its closure, the buffer's own block), so
// each is counted at `kDeliveryCost` besides them: a body in pieces of a byte each must not make
// the bound two orders of magnitude larger in memory than it is in bytes.
constexpr std::int64_t kMaxUndeliveredBytes = 4 << 20;
constexpr std::int64_t kDeliveryCost = 256;
// The pieces libcurl hands over in one turn join one delivery up to this size: a stream of
// small chunks crosses to the delegate queue once per turn, not once per chunk, and a large
// piece is not copied again to join another.
constexpr std::size_t kCoalescedChunkBytes = 16 << 10;
// How much of a body is taken while the delegate decides on its response; beyond it the
// connection waits.
constexpr std::size_t kMaxHeldBodyBytes = 64 << 10;

size_t writeCallback(char* data, size_t size, size_t count, void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  try {
    return writeBody(transfer, data, size, count);
  } catch (const std::bad_alloc&) {
    return failForWantOfMemory(*transfer, engineOf(*transfer).currentURL(*transfer));
  }
}

size_t writeBody(Transfer* transfer, char* data, size_t size, size_t count) {
  if (awaitsRedirect(transfer->phase)) return CURL_WRITEFUNC_PAUSE;
  // The body of a redirect that is followed (or refused), or of libcurl's own handshake, is
  // nobody's.
  if (drainsBody(transfer->phase)) return size * count;
  if (transfer->life.delivery == Delivery::pending) engineOf(*transfer).deliverResponse(*transfer);
  if (transfer->activity == Activity::suspended || transfer->shared->receiveHolds.load() > 0) {
    return CURL_WRITEFUNC_PAUSE;
  }
  const size_t length = size * count;
  if (awaitsDisposition(transfer->phase)) {
    if (transfer->response.heldBody.size() + length > kMaxHeldBodyBytes)
      return CURL_WRITEFUNC_PAUSE;
    transfer->response.heldBody.insert(transfer->response.heldBody.end(),
                                       reinterpret_cast<const std::uint8_t*>(data),
                                       reinterpret_cast<const std::uint8_t*>(data) + length);
    return length;
  }
  // A held body goes first (it normally went on when the task was allowed to receive).
  if (!transfer->response.heldBody.empty()) {
    const size_t held = transfer->response.heldBody.size();
    const size_t result = receiveBody(
        transfer, reinterpret_cast<const char*>(transfer->response.heldBody.data()), held);
    if (result != held) return result;
    transfer->response.heldBody.clear();
  }
  return receiveBody(transfer, data, length);
}

// Takes a piece of the body for the task, once it may receive: all of it, none (the transfer
// fails), or `CURL_WRITEFUNC_PAUSE` (the delegate is behind).
size_t receiveBody(Transfer* transfer, const char* data, size_t length) {
  auto* loop = transfer->loop;  // for the turn's deliveries
  TransferEngine& engine = *loop;
  if (length == 0) return 0;
  // Counted before anything is kept: a small compressed answer may decode to gigabytes.
  const std::int64_t maximum = engine.bodyBound(*transfer);
  transfer->bodyReceived += static_cast<std::int64_t>(length);
  if (maximum > 0 && transfer->bodyReceived > maximum) {
    transfer->limitError =
        makeError(URLError(URLError::Code::dataLengthExceedsMaximum, engine.currentURL(*transfer),
                           "the body passed " + std::to_string(maximum) + " bytes"));
    return 0;
  }
  if (isDownload(*transfer)) return engine.downloads().write(*transfer, data, length);
  // A delegate that falls behind pushes the server back instead of the body piling up on its
  // queue. The bytes are left with libcurl, which hands them over again once released.
  const auto& shared = transfer->shared;
  if (shared->undeliveredBytes.load() > kMaxUndeliveredBytes) {
    // The hold is counted before its flag goes up (see the loop's header): a delegate that
    // takes the flag always finds the hold to lift.
    if (!shared->deliveryHold.load()) {
      shared->receiveHolds.fetch_add(1);
      shared->deliveryHold.store(true);
    }
    // The delegate may have caught up in between; then whoever clears the flag lifts the hold.
    if (shared->undeliveredBytes.load() > kMaxUndeliveredBytes / 2 ||
        !shared->deliveryHold.exchange(false)) {
      return CURL_WRITEFUNC_PAUSE;
    }
    shared->receiveHolds.fetch_sub(1);
  }
  {
    std::lock_guard lock(transfer->shared->mutex);
    transfer->shared->bytesReceived += static_cast<std::int64_t>(length);
  }
  transfer->cache.collect(data, length);
  engine.timers().touch(*transfer);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  // Nothing else of this task was delivered since the open piece was queued (a new response
  // closes it), so joining it keeps the delegate's order.
  if (Bytes* open = loop->openChunk(*transfer);
      open && open->size() + length <= kCoalescedChunkBytes) {
    open->insert(open->end(), bytes, bytes + length);
    shared->undeliveredBytes.fetch_add(std::int64_t(length));
    return length;
  }
  auto chunk = std::make_shared<Bytes>(bytes, bytes + length);
  Bytes* queued = chunk.get();
  // Counted before the call is queued: the delegate queue takes it off again.
  shared->undeliveredBytes.fetch_add(std::int64_t(length) + kDeliveryCost);
  auto task = std::static_pointer_cast<URLSessionDataTask>(transfer->task);
  const bool delivered = loop->deliver(
      [task, chunk = std::move(chunk), shared](URLSessionDelegate& delegate,
                                               const std::shared_ptr<URLSession>& session) {
        const std::int64_t cost = std::int64_t(chunk->size()) + kDeliveryCost;
        delegate.didReceiveOwnedData(session, task, std::move(*chunk));
        const auto left = shared->undeliveredBytes.fetch_sub(cost) - cost;
        if (left <= kMaxUndeliveredBytes / 2 && shared->deliveryHold.exchange(false)) {
          task->releaseReceiving();
        }
      },
      transfer->keepAlive);
  if (delivered) {
    loop->openChunk(*transfer, queued);
  } else {
    // Nobody takes the body (no delegate): it must not count against the bound, or a body past
    // it would hold the transfer for good.
    shared->undeliveredBytes.fetch_sub(std::int64_t(length) + kDeliveryCost);
  }
  return length;
}

void sendBodyThroughReads(Transfer& transfer, CURL* easy) {
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
  if (transfer.upload.length >= 0) {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(transfer.upload.length));
  } else {
    transfer.headers = curl_slist_append(transfer.headers, "Transfer-Encoding: chunked");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);
  }
  curl_easy_setopt(easy, CURLOPT_READFUNCTION, &readCallback);
  curl_easy_setopt(easy, CURLOPT_READDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &seekCallback);
  curl_easy_setopt(easy, CURLOPT_SEEKDATA, &transfer);
}

size_t readCallback(char* buffer, size_t size, size_t count, void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  const size_t capacity = size * count;
  if (transfer->upload.kind == TaskSource::Body::file) {
    while (true) {
      const ssize_t got = ::read(transfer->upload.fd, buffer, capacity);
      if (got >= 0) {
        transfer->upload.offset += got;
        return static_cast<size_t>(got);
      }
      if (errno == EINTR) continue;
      transfer->upload.error = makeError(StreamError(errno, "reading the body file"));
      return CURL_READFUNC_ABORT;
    }
  }
  if (!transfer->upload.stream) return 0;
  const std::ptrdiff_t got =
      transfer->upload.stream->read(reinterpret_cast<std::uint8_t*>(buffer), capacity);
  if (got < 0) {
    transfer->upload.error = transfer->upload.stream->streamError();
    if (!transfer->upload.error) {
      transfer->upload.error = makeError(StreamError(EIO, "reading the body stream"));
    }
    return CURL_READFUNC_ABORT;
  }
  transfer->upload.offset += got;
  return static_cast<size_t>(got);
}

// libcurl rewinds the body before it sends the request again (a redirect that keeps the body,
// a replay after authentication, a connection that died before the answer). A file can be
// read again; a stream only while nothing of it has been read.
int seekCallback(void* context, curl_off_t offset, int origin) {
  auto* transfer = static_cast<Transfer*>(context);
  if (origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
  if (transfer->upload.kind == TaskSource::Body::file) {
    if (::lseek(transfer->upload.fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
      return CURL_SEEKFUNC_FAIL;
    }
    transfer->upload.offset = offset;
    return CURL_SEEKFUNC_OK;
  }
  if (offset == transfer->upload.offset) return CURL_SEEKFUNC_OK;
  moveTo(*transfer, TransferEvent::bodyExhausted);
  return CURL_SEEKFUNC_FAIL;
}

int progressCallback(void* context, curl_off_t, curl_off_t downloaded, curl_off_t,
                     curl_off_t uploaded) {
  auto* transfer = static_cast<Transfer*>(context);
  if (transfer->lastActivityUptime == 0 || downloaded != transfer->lastDownloaded ||
      uploaded != transfer->lastUploaded) {
    engineOf(*transfer).timers().touch(*transfer);
  }
  if (uploaded != transfer->lastUploaded) engineOf(*transfer).setup().reportSent(*transfer, uploaded);
  transfer->lastDownloaded = downloaded;
  transfer->lastUploaded = uploaded;
  return 0;
}

}  // namespace platform::net_detail
