#include "platform/net/session/session_loop.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "platform/net/session/curl_callbacks.h"
#include "platform/net/session/transfer.h"
#include "platform/net/url_error.h"

namespace platform::net_detail {

namespace {

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
  auto* loop = transfer->loop;
  try {
    loop->onHeaderLine(*transfer, std::string_view(data, size * count));
  } catch (const std::bad_alloc&) {
    return failForWantOfMemory(*transfer, transfer->loop->currentURL(*transfer));
  }
  if (transfer->limitError) return 0;
  if (transfer->lastActivityUptime > 0) loop->timers_.touch(*transfer);
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
    return failForWantOfMemory(*transfer, transfer->loop->currentURL(*transfer));
  }
}

size_t writeBody(Transfer* transfer, char* data, size_t size, size_t count) {
  auto* loop = transfer->loop;
  if (awaitsRedirect(transfer->phase)) return CURL_WRITEFUNC_PAUSE;
  // The body of a redirect that is followed (or refused), or of libcurl's own handshake, is
  // nobody's.
  if (drainsBody(transfer->phase)) return size * count;
  if (!transfer->response.delivered) loop->deliverResponse(*transfer);
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
  auto* loop = transfer->loop;
  if (length == 0) return 0;
  // Counted before anything is kept: a small compressed answer may decode to gigabytes.
  const std::int64_t maximum = loop->bodyBound(*transfer);
  transfer->bodyReceived += static_cast<std::int64_t>(length);
  if (maximum > 0 && transfer->bodyReceived > maximum) {
    transfer->limitError =
        makeError(URLError(URLError::Code::dataLengthExceedsMaximum, loop->currentURL(*transfer),
                           "the body passed " + std::to_string(maximum) + " bytes"));
    return 0;
  }
  if (transfer->download.active) return loop->downloads_.write(*transfer, data, length);
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
  loop->timers_.touch(*transfer);
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
  transfer->upload.exhausted = true;
  return CURL_SEEKFUNC_FAIL;
}

int progressCallback(void* context, curl_off_t, curl_off_t downloaded, curl_off_t,
                     curl_off_t uploaded) {
  auto* transfer = static_cast<Transfer*>(context);
  if (transfer->lastActivityUptime == 0 || downloaded != transfer->lastDownloaded ||
      uploaded != transfer->lastUploaded) {
    transfer->loop->timers_.touch(*transfer);
  }
  if (uploaded != transfer->lastUploaded) transfer->loop->reportSent(*transfer, uploaded);
  transfer->lastDownloaded = downloaded;
  transfer->lastUploaded = uploaded;
  return 0;
}

void SessionLoop::onHeaderLine(Transfer& transfer, std::string_view raw) {
  std::string_view line = raw;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.remove_suffix(1);
  if (transfer.response.awaitingHead && line.starts_with("HTTP/")) {
    transfer.response.awaitingHead = false;
    transfer.response.inHead = true;
    transfer.redirect.auth.headStarted();
    // A head that starts takes back what an earlier one of this transfer led to.
    if (transfer.phase == Phase::followingRedirect || transfer.phase == Phase::inOwnHandshake) {
      moveTo(transfer, TransferEvent::headStarted);
    }
    transfer.response.lines.clear();
    transfer.response.start = Date::now();
    auto space = line.find(' ');
    transfer.response.version = line.substr(0, space);
    transfer.response.status = 0;
    if (space != std::string_view::npos) {
      // As atoi reads it: blanks, a sign, digits; anything else ends the number.
      transfer.response.status = std::atoi(std::string(line.substr(space + 1)).c_str());
    }
    return;
  }
  if (!transfer.response.inHead) {
    // Trailers after the body, kept by nobody; one posing as a status line is a broken answer.
    if (line.starts_with("HTTP/") && !transfer.limitError) {
      transfer.limitError =
          makeError(URLError(URLError::Code::badServerResponse, currentURL(transfer),
                             "a status line among the trailer fields"));
    }
    return;
  }
  if (!line.empty()) {
    transfer.response.lines.emplace_back(line);
    return;
  }
  // The end of a head.
  transfer.response.inHead = false;
  if (transfer.cookieJar) transfer.cookieJar->headEnded(transfer.easy, transfer.response.lines);
  int status = transfer.response.status;
  // libcurl reads another head after an interim one, and after a 401 or 407 where it runs a
  // handshake of its own (NTLM, Negotiate) within the one transfer.
  transfer.response.awaitingHead = status < 200 || status == 401 || status == 407;
  if (status >= 100 && status < 200) return;
  char* effective = nullptr;
  curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &effective);
  auto responseURL = effective ? parseEffectiveURL(effective) : std::nullopt;
  if (!responseURL) responseURL = currentURL(transfer);
  // Only this thread changes the current request: reading it needs no lock.
  const auto& currentRequest = transfer.shared->currentRequest;
  if (responseURL) {
    URLSessionTaskTransactionMetrics metrics;
    if (currentRequest) metrics.request = *currentRequest;
    metrics.response = std::make_shared<const HTTPURLResponse>(HTTPURLResponse::fromHeaderLines(
        std::move(*responseURL), status, transfer.response.version, transfer.response.lines, true));
    metrics.responseStartDate = transfer.response.start;
    metrics.resourceFetchType = URLSessionTaskTransactionMetrics::ResourceFetchType::networkLoad;
    transfer.transactions.push_back(std::move(metrics));
  }
  if (redirects_.considerRedirect(transfer, status)) return;
  if (redirects_.considerAuthentication(transfer, status)) return;
  if (!transfer.transactions.empty()) {
    const auto& current = currentRequest ? currentRequest : transfer.task->originalRequest();
    if (current) {
      transfer.cache.onResponse(*current, !transfer.redirect.requestReplaced,
                                transfer.transactions.back().response);
    }
  }
  // Every byte of the body that went out is told before the answer.
  curl_off_t uploaded = 0;
  curl_easy_getinfo(transfer.easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
  if (uploaded > transfer.upload.reportedSent) reportSent(transfer, uploaded);
  transfer.response.delivered = false;
  deliverResponse(transfer);
}

}  // namespace platform::net_detail
