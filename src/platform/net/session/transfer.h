#pragma once

#include <curl/curl.h>
#include <unistd.h>

#include <cassert>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <vector>

#include "platform/net/curl_easy_pool.h"
#include "platform/net/http_auth_challenge.h"
#include "platform/net/http_cookie_storage.h"
#include "platform/net/session/detail/transfer_memory.h"
#include "platform/net/session/download_file.h"
#include "platform/net/session/task_shared.h"
#include "platform/net/session/task_source.h"
#include "platform/net/session/transfer_state.h"
#include "platform/net/tls_challenge.h"
#include "platform/net/url_session.h"
#include "platform/net/url_session_cache.h"
#include "platform/net/web_socket_connection.h"

namespace platform::net_detail {

class SessionLoop;
class TlsChallenges;
struct DispositionAnswer;

// The request body of an upload read through callbacks (a file or a stream), or the bytes of
// one sent from memory.
struct UploadBody {
  TaskSource::Body kind = TaskSource::Body::none;
  Bytes data;  // sent from memory: an upload's data, or the request's own body
  int fd = -1;
  InputStreamPtr stream;
  std::int64_t offset = 0;   // bytes handed to libcurl from the body
  std::int64_t length = -1;  // -1: not known
  ErrorPtr error;            // reading the body failed
  std::int64_t reportedSent = 0;
};

// The response head being read (how far is the life's `Head`), and the delegate's disposition
// awaited with the start of the body held meanwhile.
struct ResponseHead {
  int status = 0;
  std::string version;
  std::vector<std::string> lines;
  Date start;

  // The handler's side of the awaited disposition, which may hold the task's end prepared.
  std::shared_ptr<DispositionAnswer> answer;
  // The start of the body, taken while the disposition was awaited and handed on once the
  // task may receive: a small answer needs no pause of the connection meanwhile.
  Bytes heldBody;
  // The transfer failed after `heldBody`; the failure follows the body, as it would have.
  std::optional<CURLcode> failureAfterHeldBody;
};

// Redirects, followed here rather than by libcurl so the delegate decides each one, and HTTP
// authentication: a 401 waits for its challenge's answer as a redirect waits for the delegate
// (the `awaitingRedirect` phase), and a replay goes out as `next`.
struct RedirectState {
  int count = 0;
  // Following a redirect: to load once its body is drained, with or without the body of the
  // request before (the life's `NextBody`).
  std::optional<URLRequest> next;
  HTTPAuthentication auth;
};

// TLS authentication of the connection being made.
struct TLSState {
  std::shared_ptr<ChallengeWait> challengeWait;    // while a handshake waits for an answer
  std::optional<URLError::Code> handshakeFailure;  // why the handshake was refused
};

// One transfer, owned by the I/O thread from the task's first resume (or cancel) to its end.
struct Transfer final {
  // Every block is sizeof(Transfer): nothing derives from it.
  static void* operator new(std::size_t size) { return TransferMemory::take(size); }
  static void operator delete(void* block) { TransferMemory::give(block); }

  // The loop that runs it: its libcurl callbacks reach the engine's parts, and the turn's
  // deliveries, through it.
  SessionLoop* loop = nullptr;
  TlsChallenges* tlsChallenges = nullptr;  // the loop's, for the handshakes' callbacks
  std::shared_ptr<URLSessionTask> task;
  std::shared_ptr<TaskShared> shared;
  std::shared_ptr<URLSession> keepAlive;  // set while the transfer may still call the delegate
  CURL* easy = nullptr;  // never one that read a response before this request (see CurlEasyPool)
  curl_slist* headers = nullptr;
  std::optional<std::string> acceptEncoding;  // as the request states it
  char errorBuffer[CURL_ERROR_SIZE] = {};
  // The transfer's state, changed only by `moveTo` (see transfer_state.h).
  Phase phase = Phase::moving;
  Link link = Link::detached;
  Activity activity = Activity::running;
  Life life;
#ifndef NDEBUG
  MoveTrace moves;
#endif

  UploadBody upload;
  DownloadFile download;
  std::int64_t bodyReceived = 0;  // decoded body bytes, for the configuration's bound
  ErrorPtr limitError;            // the body passed the configuration's bound
  // The cookie storage whose share the transfer is attached to; none when it handles no cookies.
  HTTPCookieStorage* cookieJar = nullptr;
  ResponseHead response;
  RedirectState redirect;
  TLSState tls;

  // Timing.
  double startUptime = 0;         // first resume, for the resource time-out
  double lastActivityUptime = 0;  // idle time-out; 0 until the transfer became active
  curl_off_t lastDownloaded = 0, lastUploaded = 0;
  double retryAtUptime = 0;  // awaiting connectivity: when to try again
  Date fetchStart;
  std::vector<URLSessionTaskTransactionMetrics> transactions;
  // A web socket's upgrade and frames, once its connection is asked for.
  std::shared_ptr<WebSocketConnection> webSocket;

  // The body piece this transfer queued for the delegate in the loop's current turn, which
  // the turn's later pieces join; valid while `openChunkTurn` is the loop's turn.
  Bytes* openChunk = nullptr;
  std::uint64_t openChunkTurn = 0;

  TransferCache cache;  // lookups in the session's URL cache and what goes back into it

  ~Transfer() {
    if (easy) curl_easy_cleanup(easy);
    if (headers) curl_slist_free_all(headers);
    if (upload.fd >= 0) ::close(upload.fd);
    if (upload.stream) upload.stream->close();
    download.release(life.download == Download::fileHandedOn);
  }
};

// The task is a download: its body goes into a file.
inline bool isDownload(const Transfer& transfer) {
  return transfer.life.download != Download::none;
}

// The one place a transfer's state changes: the move tables decide where `event` leads, and
// the state entered runs its entry actions. False when a table refuses the move; the transfer
// then stays where it is.
inline bool tryMove(Transfer& transfer, TransferEvent event,
                    const std::source_location& where = std::source_location::current()) {
  const Phase from = transfer.phase;
  // Every part of the state the event moves must take it; otherwise nothing moves.
  Phase phase = from;
  Link link = transfer.link;
  Activity activity = transfer.activity;
  Life life = transfer.life;
  bool named = false;
  if (movesPhase(event)) {
    const auto to = nextPhase(from, event);
    if (!to) return false;
    phase = *to;
    named = true;
  }
  if (movesLink(event)) {
    const auto to = nextLink(from, link, event);
    if (!to) return false;
    link = *to;
    named = true;
  }
  if (movesActivity(event)) {
    const auto to = nextActivity(from, activity, event);
    if (!to) return false;
    activity = *to;
    named = true;
  }
  if (movesLife(event)) {
    const auto to = nextLife(life, event);
    if (!to) return false;
    life = *to;
    named = true;
  }
  if (!named) return false;
  transfer.phase = phase;
  transfer.link = link;
  transfer.activity = activity;
  transfer.life = life;
  if (phase == Phase::ended && from != Phase::ended) {
    // Nothing of the transfer's own is left open once its end is reported.
    transfer.download.release(life.download == Download::fileHandedOn);
    if (transfer.upload.stream) transfer.upload.stream->close();
  }
  // The request chosen to follow is dropped with the choice (a head that started since).
  if (from == Phase::followingRedirect && phase != Phase::followingRedirect) {
    transfer.redirect.next.reset();
  }
#ifndef NDEBUG
  transfer.moves.add(from, event, transfer.phase, transfer.link, transfer.activity, transfer.life,
                     where);
#else
  (void)where;
#endif
  return true;
}

// `tryMove` for a move the caller knows the table allows; with assertions, a refused one stops
// the program with the transfer's last moves.
inline void moveTo(Transfer& transfer, TransferEvent event,
                   const std::source_location& where = std::source_location::current()) {
  [[maybe_unused]] const bool moved = tryMove(transfer, event, where);
#ifndef NDEBUG
  if (!moved) {
    std::fprintf(
        stderr,
        "a transfer refused event %d in phase %d (link %d, activity %d, life %s) at %s:%u; its "
        "last moves:\n",
        int(event), int(transfer.phase), int(transfer.link), int(transfer.activity),
        lifeText(transfer.life).data(), where.file_name(), unsigned(where.line()));
    for (std::size_t back = 0; const auto* entry = transfer.moves.last(back); ++back) {
      std::fprintf(stderr, "  %d --%d--> %d (link %d, activity %d, life %s) at %s:%u\n",
                   int(entry->from), int(entry->event), int(entry->to), int(entry->link),
                   int(entry->activity), lifeText(entry->life).data(), entry->file,
                   unsigned(entry->line));
    }
  }
#endif
  assert(moved && "a transfer moved where the table does not allow");
}

}  // namespace platform::net_detail
