#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <source_location>

namespace platform::net_detail {

// Where a transfer is: moving, waiting for one of the delegate's answers, or ended. The answers
// come one at a time (a body stream before the request goes out, a redirect's or a challenge's
// answer after a head, the disposition after the final head), so one phase names them all.
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
  awaitingDisposition,  // the delegate decides on the response; the start of the body is held
  // The same, after the whole response arrived (or came from the cache): an allow ends the
  // task once the held body is handed on.
  awaitingDispositionEnded,
  // The transfer ended in libcurl and the task may receive; what is left is handing on the
  // body held for the disposition, and then the end.
  endingAfterHeldBody,
  ended,  // completed, its end reported
};

// What makes a transfer move. Each names what happened, so a trace of moves reads as the
// transfer's story and the table below, not the caller, says where the transfer goes.
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
};

// Every move a transfer may make. From moving to one awaited answer and back, and from
// anywhere to the end, which is final; an end reported again changes nothing. Any other pair
// is refused.
struct TransferMove {
  Phase from;
  TransferEvent event;
  Phase to;
};
inline constexpr TransferMove kTransferMoves[] = {
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
    {Phase::moving, TransferEvent::responseRaised, Phase::awaitingDisposition},
    {Phase::awaitingDisposition, TransferEvent::dispositionAnswered, Phase::moving},
    {Phase::awaitingDisposition, TransferEvent::transferEnded, Phase::awaitingDispositionEnded},
    {Phase::awaitingDispositionEnded, TransferEvent::dispositionAnswered,
     Phase::endingAfterHeldBody},
    {Phase::moving, TransferEvent::transferEnded, Phase::endingAfterHeldBody},
    {Phase::moving, TransferEvent::end, Phase::ended},
    {Phase::awaitingBodyStream, TransferEvent::end, Phase::ended},
    {Phase::awaitingRedirect, TransferEvent::end, Phase::ended},
    {Phase::awaitingRedirectEnded, TransferEvent::end, Phase::ended},
    {Phase::refusingRedirect, TransferEvent::end, Phase::ended},
    {Phase::awaitingDisposition, TransferEvent::end, Phase::ended},
    {Phase::awaitingDispositionEnded, TransferEvent::end, Phase::ended},
    {Phase::endingAfterHeldBody, TransferEvent::end, Phase::ended},
    {Phase::ended, TransferEvent::end, Phase::ended},
};

// A redirect's or a challenge's answer is awaited, whether or not its transfer has ended.
constexpr bool awaitsRedirect(Phase phase) {
  return phase == Phase::awaitingRedirect || phase == Phase::awaitingRedirectEnded;
}

// The response's disposition is awaited, whether or not its transfer has ended.
constexpr bool awaitsDisposition(Phase phase) {
  return phase == Phase::awaitingDisposition || phase == Phase::awaitingDispositionEnded;
}

// Where `event` takes a transfer at `from`; none when the table refuses the move.
constexpr std::optional<Phase> nextPhase(Phase from, TransferEvent event) {
  for (const auto& move : kTransferMoves) {
    if (move.from == from && move.event == event) return move.to;
  }
  return std::nullopt;
}

// The last moves of a transfer, kept in builds with assertions: where a move the table refuses
// came from, and what led there.
struct MoveTrace {
  struct Entry {
    Phase from;
    TransferEvent event;
    Phase to;
    const char* file;
    std::uint_least32_t line;
  };
  static constexpr std::size_t kKept = 16;
  std::array<Entry, kKept> entries{};
  std::size_t count = 0;  // moves made; the last `kKept` of them are kept

  void add(Phase from, TransferEvent event, Phase to, const std::source_location& where) {
    entries[count % kKept] = Entry{from, event, to, where.file_name(), where.line()};
    ++count;
  }
  // The `back`-th move before the last one (0: the last), if still kept.
  const Entry* last(std::size_t back = 0) const {
    if (back >= count || back >= kKept) return nullptr;
    return &entries[(count - 1 - back) % kKept];
  }
};

}  // namespace platform::net_detail
