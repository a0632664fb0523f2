// A transfer's phase moves only where the move table leads: every phase is reached through the
// events themselves, each pair of phase and event either lands where the row says or is refused
// with the transfer left where it was, and entering the end lets go of what the transfer held.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "platform/net/session/transfer.h"

namespace {

using platform::net_detail::Phase;
using platform::net_detail::Transfer;
using platform::net_detail::TransferEvent;
using platform::net_detail::tryMove;
using E = TransferEvent;

// The events that bring a new transfer to `phase`.
bool driveTo(Transfer& transfer, Phase phase) {
  switch (phase) {
    case Phase::moving:
      return true;
    case Phase::awaitingBodyStream:
      return tryMove(transfer, E::bodyStreamNeeded);
    case Phase::awaitingRedirect:
      return tryMove(transfer, E::redirectRaised);
    case Phase::awaitingRedirectEnded:
      return tryMove(transfer, E::redirectRaised) && tryMove(transfer, E::transferEnded);
    case Phase::refusingRedirect:
      return tryMove(transfer, E::redirectRefused);
    case Phase::awaitingDisposition:
      return tryMove(transfer, E::responseRaised);
    case Phase::awaitingDispositionEnded:
      return tryMove(transfer, E::responseRaised) && tryMove(transfer, E::transferEnded);
    case Phase::endingAfterHeldBody:
      return tryMove(transfer, E::transferEnded);
    case Phase::ended:
      return tryMove(transfer, E::end);
  }
  return false;
}

TEST(TransferStateTest, EveryPhaseAndEventLandsWhereTheTableSaysOrIsRefused) {
  constexpr auto M = Phase::moving, S = Phase::awaitingBodyStream, R = Phase::awaitingRedirect,
                 RE = Phase::awaitingRedirectEnded, F = Phase::refusingRedirect,
                 D = Phase::awaitingDisposition, DE = Phase::awaitingDispositionEnded,
                 H = Phase::endingAfterHeldBody, X = Phase::ended;
  constexpr std::optional<Phase> no;  // refused
  const TransferEvent events[] = {E::bodyStreamNeeded,    E::bodyStreamSettled,
                                  E::redirectRaised,      E::redirectRefused,
                                  E::challengeRaised,     E::transferEnded,
                                  E::redirectAnswered,    E::responseRaised,
                                  E::dispositionAnswered, E::end};
  // One row per phase: where each event above takes a transfer from it.
  struct Row {
    Phase from;
    std::optional<Phase> to[std::size(events)];
  } rows[] = {
      //   stream settled redirect refused challenge ended answered response disposed end
      {M, {S, no, R, F, R, H, no, D, no, X}},
      {S, {no, M, no, no, no, no, no, no, no, X}},
      {R, {no, no, R, F, R, RE, M, no, no, X}},
      {RE, {no, no, no, no, no, no, M, no, no, X}},
      {F, {no, no, no, no, no, no, no, no, no, X}},
      {D, {no, no, no, no, no, DE, no, no, M, X}},
      {DE, {no, no, no, no, no, no, no, no, H, X}},
      {H, {no, no, no, no, no, no, no, no, no, X}},
      // The end is final: nothing leaves it, and an end told again changes nothing.
      {X, {no, no, no, no, no, no, no, no, no, X}},
  };
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < std::size(events); ++i) {
      const TransferEvent event = events[i];
      SCOPED_TRACE(::testing::Message() << "from " << int(row.from) << " on " << int(event));
      auto transfer = std::make_unique<Transfer>();
      ASSERT_TRUE(driveTo(*transfer, row.from));
      ASSERT_EQ(transfer->phase, row.from);
#ifndef NDEBUG
      const std::size_t movesBefore = transfer->moves.count;
#endif
      const int line = __LINE__ + 1;
      EXPECT_EQ(tryMove(*transfer, event), row.to[i].has_value());
      EXPECT_EQ(transfer->phase, row.to[i].value_or(row.from));
#ifndef NDEBUG
      // A move is traced with where it was made; a refused one leaves no trace.
      if (row.to[i]) {
        const auto* last = transfer->moves.last();
        ASSERT_NE(last, nullptr);
        EXPECT_EQ(last->from, row.from);
        EXPECT_EQ(last->event, event);
        EXPECT_EQ(last->to, *row.to[i]);
        EXPECT_EQ(int(last->line), line);
      } else {
        EXPECT_EQ(transfer->moves.count, movesBefore);
      }
#else
      (void)line;
#endif
    }
  }
}

// Entering the end closes and removes the download's file, which was nobody else's; one handed
// on stays, and an answer awaited meanwhile changes neither.
TEST(TransferStateTest, EnteringTheEndLetsGoOfTheDownloadFile) {
  struct Row {
    const char* name;
    Phase before;
    bool keepFile;
    bool remains;
  } rows[] = {
      {"moving, the file its own", Phase::moving, false, false},
      {"awaiting a redirect, the file its own", Phase::awaitingRedirect, false, false},
      {"awaiting a redirect after its transfer ended", Phase::awaitingRedirectEnded, false, false},
      {"handing on a held body", Phase::endingAfterHeldBody, false, false},
      {"moving, the file handed on", Phase::moving, true, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string path = ::testing::TempDir() + "transfer-state-XXXXXX";
    const int fd = ::mkstemp(path.data());
    ASSERT_GE(fd, 0);
    auto transfer = std::make_unique<Transfer>();
    transfer->download.active = true;
    transfer->download.fd = fd;
    transfer->download.path = path;
    transfer->download.keepFile = row.keepFile;
    ASSERT_TRUE(driveTo(*transfer, row.before));
    EXPECT_EQ(::access(path.c_str(), F_OK), 0) << "gone before the end";
    ASSERT_TRUE(tryMove(*transfer, E::end));
    EXPECT_EQ(transfer->download.fd, -1);
    EXPECT_EQ(::access(path.c_str(), F_OK) == 0, row.remains);
    ::unlink(path.c_str());
  }
}

}  // namespace
