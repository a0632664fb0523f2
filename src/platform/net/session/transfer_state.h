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

// The events that move the handle's place, and those that move the task's word; every other
// event moves the phase.
constexpr bool movesLink(TransferEvent event) {
  return event == TransferEvent::attach || event == TransferEvent::detach ||
         event == TransferEvent::connectivityLost || event == TransferEvent::connectivityRetry;
}
constexpr bool movesActivity(TransferEvent event) {
  return event == TransferEvent::suspend || event == TransferEvent::resume;
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
    const char* file;
    std::uint_least32_t line;
  };
  static constexpr std::size_t kKept = 16;
  std::array<Entry, kKept> entries{};
  std::size_t count = 0;  // moves made; the last `kKept` of them are kept

  void add(Phase from, TransferEvent event, Phase to, Link link, Activity activity,
           const std::source_location& where) {
    entries[count % kKept] =
        Entry{from, event, to, link, activity, where.file_name(), where.line()};
    ++count;
  }
  // The `back`-th move before the last one (0: the last), if still kept.
  const Entry* last(std::size_t back = 0) const {
    if (back >= count || back >= kKept) return nullptr;
    return &entries[(count - 1 - back) % kKept];
  }
};

}  // namespace platform::net_detail
