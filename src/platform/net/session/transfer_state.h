#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <source_location>

namespace platform::net_detail {

// Where a transfer is: moving, waiting for one of the delegate's answers, draining a head that
// leads elsewhere, or ending. The answers come one at a time (a body stream before the request
// goes out, a redirect's or a challenge's answer after a head, the disposition after the final
// head), so one phase names them all.
enum class Phase {
  moving,              // nobody's answer is awaited
  awaitingBodyStream,  // the delegate is to hand over the upload's body stream
  awaitingRedirect,    // the delegate decides on a redirect, or answers a challenge
  // The same, after the transfer that brought the redirect or the challenge has ended: the
  // answer then starts the next request (or the end) itself, with nothing left to drain.
  awaitingRedirectEnded,
  // The head was a redirect past the limit: its body is drained for nobody, and the task then
  // fails with too many redirects.
  refusingRedirect,
  // The head led to another request (a redirect followed, a challenge answered by sending the
  // request again): its body is drained for nobody, and the next request goes out once the
  // transfer has ended. A head that starts meanwhile takes the choice back.
  followingRedirect,
  // A 401 of libcurl's own handshake (NTLM, Negotiate), which goes on within the one transfer:
  // its body is nobody's, and only the 401 the transfer ends with is judged.
  inOwnHandshake,
  awaitingDisposition,  // the delegate decides on the response; the start of the body is held
  // The same, after the whole response arrived (or came from the cache): an allow ends the
  // task once the held body is handed on.
  awaitingDispositionEnded,
  // The transfer ended in libcurl and the task may receive; what is left is handing on the
  // body held for the disposition, and then the end.
  endingAfterHeldBody,
  // The task was cancelled (by its caller, the delegate's answer or a refused challenge) and
  // its end is being reported; nothing of the transfer moves any more.
  cancelled,
  ended,  // completed, its end reported
};

// Where the transfer's easy handle is: with libcurl's multi handle (moving bytes), off it, or
// off it until the connection is tried again for want of connectivity.
enum class Link { detached, attached, awaitingConnectivity };

// Whether the task lets the transfer move: a suspended transfer holds its bytes.
enum class Activity { running, suspended };

// The rest of the transfer's life, each a sub-state of its own beside the phase (see `Life`).
//
// How far the current request's response head is read. A status line opens a head only where
// libcurl reads one: at the start of a request's answer, after a 1xx head, or after a 401/407
// it answers itself. Elsewhere a line starting "HTTP/" is a (malformed) field, or a trailer
// that makes the answer unusable.
enum class Head : std::uint8_t { awaiting, reading, read };
// Whether the current request's response was put to the task.
enum class Delivery : std::uint8_t { pending, delivered };
// Whether the delegate heard that the task waits for connectivity: it hears it once.
enum class WaitNotice : std::uint8_t { untold, told };
// Whether the upload's body can still be sent: libcurl wanted a stream rewound that was read.
enum class BodySupply : std::uint8_t { available, exhausted };
// Whether the request chosen to follow keeps the body of the one before (a 303, or a POST's
// 301 or 302, turns it into a GET without one).
enum class NextBody : std::uint8_t { kept, dropped };
// Whether the task's current request is its original one, or one that replaced it (a
// redirect, a replay).
enum class Hop : std::uint8_t { original, replaced };
// The client certificate of the transfer's TLS handshakes: not asked for, asked for, sent.
enum class ClientCertificate : std::uint8_t { unasked, asked, sent };
// A download task's file: none (the task is no download), the transfer's own (removed at the
// end), or handed on (to the delegate, or in resume data), which the end leaves in place.
enum class Download : std::uint8_t { none, ownFile, fileHandedOn };

// What makes a transfer move. Each names what happened, so a trace of moves reads as the
// transfer's story and the tables below, not the caller, say where the transfer goes.
enum class TransferEvent {
  bodyStreamNeeded,     // the upload's body is to come from a stream the delegate gives
  bodyStreamSettled,    // the stream came, or will not
  redirectRaised,       // a redirect is put to the delegate
  redirectRefused,      // a redirect went past the limit
  challengeRaised,      // an HTTP challenge is put to the delegate
  transferEnded,        // the transfer in libcurl ended with something of it still to come
  redirectAnswered,     // the delegate answered the redirect or the challenge
  responseRaised,       // the response is put to the delegate for its disposition
  dispositionAnswered,  // the delegate answered it
  end,                  // the transfer completed and its end is reported
  // Heads that lead elsewhere, and the cancel.
  nextChosen,          // the next request is known: a redirect followed, a challenge replayed
  nextLoaded,          // the next request went out on a fresh handle
  ownHandshakeGoesOn,  // a 401 that libcurl's own handshake answers by itself
  ownHandshakeEnded,   // the transfer ended within that handshake; its last 401 is judged
  headStarted,         // a new head began within the transfer
  cancel,              // the task is cancelled
  // The handle's place (`Link`).
  attach,             // the handle went to libcurl
  detach,             // the handle left libcurl
  connectivityLost,   // the connection failed and is to be tried again later
  connectivityRetry,  // the time to try again came
  // The task's own word (`Run`).
  suspend,
  resume,
  // The rest of the life (`Life`).
  headOpened,         // a status line opened a head
  headInterim,        // a head ended that another one follows (1xx, a 401/407 libcurl answers)
  headFinal,          // the final head ended
  responseDelivered,  // the response went to the task
  waitingTold,        // the delegate heard that the task waits for connectivity
  bodyExhausted,      // libcurl wanted the upload's body again, and it is gone
  nextKeepsBody,      // the request chosen to follow sends the body again
  nextDropsBody,      // the request chosen to follow goes without the body
  certificateAsked,   // a handshake asked for the client's certificate
  certificateSent,    // one was given to it
  downloadStarted,    // the task is a download: its body goes into a file of its own
  fileHandedOn,       // the download's file went to the delegate, or into resume data
};

// One row of a move table: where `event` takes the state at `from`.
template <class State>
struct Move {
  State from;
  TransferEvent event;
  State to;
};

// Where `event` takes `from` in `table`; none when the table refuses the move.
template <class State, std::size_t N>
constexpr std::optional<State> lookUp(const Move<State> (&table)[N], State from,
                                      TransferEvent event) {
  for (const auto& move : table) {
    if (move.from == from && move.event == event) return move.to;
  }
  return std::nullopt;
}

// Every move of a transfer's phase. From moving to one awaited answer and back, and from
// anywhere to the end, which is final; an end reported again changes nothing. Any other pair
// is refused.
inline constexpr Move<Phase> kTransferMoves[] = {
    {Phase::moving, TransferEvent::bodyStreamNeeded, Phase::awaitingBodyStream},
    {Phase::awaitingBodyStream, TransferEvent::bodyStreamSettled, Phase::moving},
    {Phase::moving, TransferEvent::redirectRaised, Phase::awaitingRedirect},
    {Phase::moving, TransferEvent::challengeRaised, Phase::awaitingRedirect},
    {Phase::moving, TransferEvent::redirectRefused, Phase::refusingRedirect},
    // A head that comes while an answer is awaited (libcurl's own authentication sends the
    // request again within one transfer) leaves the wait as it is, or refuses a redirect too
    // many.
    {Phase::awaitingRedirect, TransferEvent::redirectRaised, Phase::awaitingRedirect},
    {Phase::awaitingRedirect, TransferEvent::challengeRaised, Phase::awaitingRedirect},
    {Phase::awaitingRedirect, TransferEvent::redirectRefused, Phase::refusingRedirect},
    {Phase::awaitingRedirect, TransferEvent::transferEnded, Phase::awaitingRedirectEnded},
    {Phase::awaitingRedirect, TransferEvent::redirectAnswered, Phase::moving},
    {Phase::awaitingRedirectEnded, TransferEvent::redirectAnswered, Phase::moving},
    // The next request: chosen at a head (or by the delegate's answer), loaded once the
    // transfer that brought it has ended. Without a delegate to ask any more, a redirect that
    // comes while an answer is awaited is followed as it is.
    {Phase::moving, TransferEvent::nextChosen, Phase::followingRedirect},
    {Phase::awaitingRedirect, TransferEvent::nextChosen, Phase::followingRedirect},
    {Phase::followingRedirect, TransferEvent::nextLoaded, Phase::moving},
    {Phase::followingRedirect, TransferEvent::headStarted, Phase::moving},
    {Phase::moving, TransferEvent::ownHandshakeGoesOn, Phase::inOwnHandshake},
    {Phase::inOwnHandshake, TransferEvent::headStarted, Phase::moving},
    {Phase::inOwnHandshake, TransferEvent::ownHandshakeEnded, Phase::moving},
    {Phase::moving, TransferEvent::responseRaised, Phase::awaitingDisposition},
    {Phase::awaitingDisposition, TransferEvent::dispositionAnswered, Phase::moving},
    {Phase::awaitingDisposition, TransferEvent::transferEnded, Phase::awaitingDispositionEnded},
    {Phase::awaitingDispositionEnded, TransferEvent::dispositionAnswered,
     Phase::endingAfterHeldBody},
    {Phase::moving, TransferEvent::transferEnded, Phase::endingAfterHeldBody},
    // A cancel is taken wherever the transfer is short of its end, once.
    {Phase::moving, TransferEvent::cancel, Phase::cancelled},
    {Phase::awaitingBodyStream, TransferEvent::cancel, Phase::cancelled},
    {Phase::awaitingRedirect, TransferEvent::cancel, Phase::cancelled},
    {Phase::awaitingRedirectEnded, TransferEvent::cancel, Phase::cancelled},
    {Phase::refusingRedirect, TransferEvent::cancel, Phase::cancelled},
    {Phase::followingRedirect, TransferEvent::cancel, Phase::cancelled},
    {Phase::inOwnHandshake, TransferEvent::cancel, Phase::cancelled},
    {Phase::awaitingDisposition, TransferEvent::cancel, Phase::cancelled},
    {Phase::awaitingDispositionEnded, TransferEvent::cancel, Phase::cancelled},
    {Phase::endingAfterHeldBody, TransferEvent::cancel, Phase::cancelled},
    {Phase::moving, TransferEvent::end, Phase::ended},
    {Phase::awaitingBodyStream, TransferEvent::end, Phase::ended},
    {Phase::awaitingRedirect, TransferEvent::end, Phase::ended},
    {Phase::awaitingRedirectEnded, TransferEvent::end, Phase::ended},
    {Phase::refusingRedirect, TransferEvent::end, Phase::ended},
    {Phase::followingRedirect, TransferEvent::end, Phase::ended},
    {Phase::inOwnHandshake, TransferEvent::end, Phase::ended},
    {Phase::awaitingDisposition, TransferEvent::end, Phase::ended},
    {Phase::awaitingDispositionEnded, TransferEvent::end, Phase::ended},
    {Phase::endingAfterHeldBody, TransferEvent::end, Phase::ended},
    {Phase::cancelled, TransferEvent::end, Phase::ended},
    {Phase::ended, TransferEvent::end, Phase::ended},
};

// Every move of the handle's place. A cancelled or ended transfer only lets go of it.
inline constexpr Move<Link> kLinkMoves[] = {
    {Link::detached, TransferEvent::attach, Link::attached},
    {Link::attached, TransferEvent::detach, Link::detached},
    {Link::detached, TransferEvent::connectivityLost, Link::awaitingConnectivity},
    {Link::awaitingConnectivity, TransferEvent::connectivityRetry, Link::detached},
};

// Every move of the task's word. Told again, either word changes nothing; neither is taken
// once the transfer is cancelled or ended.
inline constexpr Move<Activity> kActivityMoves[] = {
    {Activity::running, TransferEvent::suspend, Activity::suspended},
    {Activity::suspended, TransferEvent::suspend, Activity::suspended},
    {Activity::suspended, TransferEvent::resume, Activity::running},
    {Activity::running, TransferEvent::resume, Activity::running},
};

// Every move of the rest of the life, one table per sub-state. A table moves its sub-state only
// on the events it names; an event one of them names but does not take from where the
// sub-state is is refused whole. `nextLoaded` (the next request goes out) and
// `connectivityRetry` (the connection is tried again) start a head afresh.
inline constexpr Move<Head> kHeadMoves[] = {
    {Head::awaiting, TransferEvent::headOpened, Head::reading},
    {Head::reading, TransferEvent::headInterim, Head::awaiting},
    {Head::reading, TransferEvent::headFinal, Head::read},
    {Head::awaiting, TransferEvent::nextLoaded, Head::awaiting},
    {Head::reading, TransferEvent::nextLoaded, Head::awaiting},
    {Head::read, TransferEvent::nextLoaded, Head::awaiting},
    {Head::awaiting, TransferEvent::connectivityRetry, Head::awaiting},
    {Head::reading, TransferEvent::connectivityRetry, Head::awaiting},
    {Head::read, TransferEvent::connectivityRetry, Head::awaiting},
};
// A final head that follows within the one transfer (after libcurl's own handshake) is
// delivered again; the next request's is yet to be.
inline constexpr Move<Delivery> kDeliveryMoves[] = {
    {Delivery::pending, TransferEvent::responseDelivered, Delivery::delivered},
    {Delivery::delivered, TransferEvent::responseDelivered, Delivery::delivered},
    {Delivery::pending, TransferEvent::nextLoaded, Delivery::pending},
    {Delivery::delivered, TransferEvent::nextLoaded, Delivery::pending},
};
inline constexpr Move<WaitNotice> kWaitNoticeMoves[] = {
    {WaitNotice::untold, TransferEvent::waitingTold, WaitNotice::told},
};
inline constexpr Move<BodySupply> kBodySupplyMoves[] = {
    {BodySupply::available, TransferEvent::bodyExhausted, BodySupply::exhausted},
    {BodySupply::exhausted, TransferEvent::bodyExhausted, BodySupply::exhausted},
};
// Each redirect decides afresh; the choice is spent once the next request goes out.
inline constexpr Move<NextBody> kNextBodyMoves[] = {
    {NextBody::kept, TransferEvent::nextKeepsBody, NextBody::kept},
    {NextBody::dropped, TransferEvent::nextKeepsBody, NextBody::kept},
    {NextBody::kept, TransferEvent::nextDropsBody, NextBody::dropped},
    {NextBody::dropped, TransferEvent::nextDropsBody, NextBody::dropped},
    {NextBody::kept, TransferEvent::nextLoaded, NextBody::kept},
    {NextBody::dropped, TransferEvent::nextLoaded, NextBody::kept},
};
inline constexpr Move<Hop> kHopMoves[] = {
    {Hop::original, TransferEvent::nextLoaded, Hop::replaced},
    {Hop::replaced, TransferEvent::nextLoaded, Hop::replaced},
};
// Every handshake of the transfer may ask again; a certificate once sent stays the story.
inline constexpr Move<ClientCertificate> kClientCertificateMoves[] = {
    {ClientCertificate::unasked, TransferEvent::certificateAsked, ClientCertificate::asked},
    {ClientCertificate::asked, TransferEvent::certificateAsked, ClientCertificate::asked},
    {ClientCertificate::sent, TransferEvent::certificateAsked, ClientCertificate::sent},
    {ClientCertificate::asked, TransferEvent::certificateSent, ClientCertificate::sent},
    {ClientCertificate::sent, TransferEvent::certificateSent, ClientCertificate::sent},
};
inline constexpr Move<Download> kDownloadMoves[] = {
    {Download::none, TransferEvent::downloadStarted, Download::ownFile},
    {Download::ownFile, TransferEvent::fileHandedOn, Download::fileHandedOn},
    {Download::fileHandedOn, TransferEvent::fileHandedOn, Download::fileHandedOn},
};

// The rest of a transfer's life: the sub-states beside its phase, the handle's place and the
// task's word, each changed only by its table above.
struct Life {
  Head head = Head::awaiting;
  Delivery delivery = Delivery::pending;
  WaitNotice waitNotice = WaitNotice::untold;
  BodySupply bodySupply = BodySupply::available;
  NextBody nextBody = NextBody::kept;
  Hop hop = Hop::original;
  ClientCertificate clientCertificate = ClientCertificate::unasked;
  Download download = Download::none;

  bool operator==(const Life&) const = default;
};

// Whether `table` moves its sub-state on `event` at all.
template <class State, std::size_t N>
constexpr bool names(const Move<State> (&table)[N], TransferEvent event) {
  for (const auto& move : table) {
    if (move.event == event) return true;
  }
  return false;
}

// Where `event` takes `life`: none when a table that names the event refuses it, or when no
// table names it.
constexpr std::optional<Life> nextLife(Life life, TransferEvent event) {
  bool named = false, refused = false;
  auto step = [&](const auto& table, auto& state) {
    if (refused || !names(table, event)) return;
    named = true;
    if (const auto to = lookUp(table, state, event)) {
      state = *to;
    } else {
      refused = true;
    }
  };
  step(kHeadMoves, life.head);
  step(kDeliveryMoves, life.delivery);
  step(kWaitNoticeMoves, life.waitNotice);
  step(kBodySupplyMoves, life.bodySupply);
  step(kNextBodyMoves, life.nextBody);
  step(kHopMoves, life.hop);
  step(kClientCertificateMoves, life.clientCertificate);
  step(kDownloadMoves, life.download);
  if (!named || refused) return std::nullopt;
  return life;
}

// A redirect's or a challenge's answer is awaited, whether or not its transfer has ended.
constexpr bool awaitsRedirect(Phase phase) {
  return phase == Phase::awaitingRedirect || phase == Phase::awaitingRedirectEnded;
}

// The response's disposition is awaited, whether or not its transfer has ended.
constexpr bool awaitsDisposition(Phase phase) {
  return phase == Phase::awaitingDisposition || phase == Phase::awaitingDispositionEnded;
}

// The body arriving now is nobody's: the head led elsewhere, or is one step of libcurl's own
// handshake.
constexpr bool drainsBody(Phase phase) {
  return phase == Phase::followingRedirect || phase == Phase::refusingRedirect ||
         phase == Phase::inOwnHandshake;
}

// The transfer is on its way out: cancelled, or its end reported.
constexpr bool isOver(Phase phase) {
  return phase == Phase::cancelled || phase == Phase::ended;
}

// Where `event` takes a transfer's phase at `from`; none when the table refuses the move.
constexpr std::optional<Phase> nextPhase(Phase from, TransferEvent event) {
  return lookUp(kTransferMoves, from, event);
}

// Where `event` takes the handle's place at `from`, for a transfer at `phase`.
constexpr std::optional<Link> nextLink(Phase phase, Link from, TransferEvent event) {
  if (isOver(phase) && event != TransferEvent::detach) return std::nullopt;
  return lookUp(kLinkMoves, from, event);
}

// Where `event` takes the task's word at `from`, for a transfer at `phase`.
constexpr std::optional<Activity> nextActivity(Phase phase, Activity from, TransferEvent event) {
  if (isOver(phase)) return std::nullopt;
  return lookUp(kActivityMoves, from, event);
}

// The events that move the phase, the handle's place, the task's word, and the rest of the
// life; one event may move several of them (the next request going out starts a head afresh).
constexpr bool movesPhase(TransferEvent event) { return names(kTransferMoves, event); }
constexpr bool movesLink(TransferEvent event) { return names(kLinkMoves, event); }
constexpr bool movesActivity(TransferEvent event) { return names(kActivityMoves, event); }
constexpr bool movesLife(TransferEvent event) {
  return names(kHeadMoves, event) || names(kDeliveryMoves, event) ||
         names(kWaitNoticeMoves, event) || names(kBodySupplyMoves, event) ||
         names(kNextBodyMoves, event) || names(kHopMoves, event) ||
         names(kClientCertificateMoves, event) || names(kDownloadMoves, event);
}

// The life's sub-states as digits, in `Life`'s order, for a trace.
inline std::array<char, 9> lifeText(const Life& life) {
  const int digits[] = {int(life.head),       int(life.delivery), int(life.waitNotice),
                        int(life.bodySupply), int(life.nextBody), int(life.hop),
                        int(life.clientCertificate), int(life.download)};
  std::array<char, 9> text{};
  for (std::size_t i = 0; i < std::size(digits); ++i) text[i] = char('0' + digits[i]);
  return text;
}

// The last moves of a transfer, kept in builds with assertions: where a move the table refuses
// came from, and what led there.
struct MoveTrace {
  struct Entry {
    Phase from;
    TransferEvent event;
    Phase to;
    Link link;  // the sub-states after the move
    Activity activity;
    Life life;
    const char* file;
    std::uint_least32_t line;
  };
  static constexpr std::size_t kKept = 16;
  std::array<Entry, kKept> entries{};
  std::size_t count = 0;  // moves made; the last `kKept` of them are kept

  void add(Phase from, TransferEvent event, Phase to, Link link, Activity activity, Life life,
           const std::source_location& where) {
    entries[count % kKept] =
        Entry{from, event, to, link, activity, life, where.file_name(), where.line()};
    ++count;
  }
  // The `back`-th move before the last one (0: the last), if still kept.
  const Entry* last(std::size_t back = 0) const {
    if (back >= count || back >= kKept) return nullptr;
    return &entries[(count - 1 - back) % kKept];
  }
};

}  // namespace platform::net_detail
