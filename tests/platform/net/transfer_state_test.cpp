// A transfer's state moves only where the move tables lead: every phase and sub-state is reached
// through the events themselves, each pair of state and event either lands where the row says or
// is refused with the transfer left where it was, and entering the end lets go of what the
// transfer held.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/session/transfer.h"

namespace {

using platform::net_detail::Activity;
using platform::net_detail::BodySupply;
using platform::net_detail::ClientCertificate;
using platform::net_detail::Delivery;
using platform::net_detail::Download;
using platform::net_detail::Head;
using platform::net_detail::Hop;
using platform::net_detail::Life;
using platform::net_detail::Link;
using platform::net_detail::NextBody;
using platform::net_detail::Phase;
using platform::net_detail::Transfer;
using platform::net_detail::TransferEvent;
using platform::net_detail::tryMove;
using platform::net_detail::WaitNotice;
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
    case Phase::followingRedirect:
      return tryMove(transfer, E::nextChosen);
    case Phase::inOwnHandshake:
      return tryMove(transfer, E::ownHandshakeGoesOn);
    case Phase::cancelled:
      return tryMove(transfer, E::cancel);
    case Phase::ended:
      return tryMove(transfer, E::end);
  }
  return false;
}

TEST(TransferStateTest, EveryPhaseAndEventLandsWhereTheTableSaysOrIsRefused) {
  constexpr auto M = Phase::moving, S = Phase::awaitingBodyStream, R = Phase::awaitingRedirect,
                 RE = Phase::awaitingRedirectEnded, F = Phase::refusingRedirect,
                 N = Phase::followingRedirect, O = Phase::inOwnHandshake,
                 D = Phase::awaitingDisposition, DE = Phase::awaitingDispositionEnded,
                 H = Phase::endingAfterHeldBody, C = Phase::cancelled, X = Phase::ended;
  constexpr std::optional<Phase> no;  // refused
  const TransferEvent events[] = {E::bodyStreamNeeded,    E::bodyStreamSettled,
                                  E::redirectRaised,      E::redirectRefused,
                                  E::challengeRaised,     E::transferEnded,
                                  E::redirectAnswered,    E::responseRaised,
                                  E::dispositionAnswered, E::end,
                                  E::nextChosen,          E::nextLoaded,
                                  E::ownHandshakeGoesOn,  E::ownHandshakeEnded,
                                  E::headStarted,         E::cancel};
  // One row per phase: where each event above takes a transfer from it.
  struct Row {
    Phase from;
    std::optional<Phase> to[std::size(events)];
  } rows[] = {
      // stream settled redirect refused challenge ended answered response disposed end
      //   next loaded own own-ended head cancel
      {M, {S, no, R, F, R, H, no, D, no, X, N, no, O, no, no, C}},
      {S, {no, M, no, no, no, no, no, no, no, X, no, no, no, no, no, C}},
      {R, {no, no, R, F, R, RE, M, no, no, X, N, no, no, no, no, C}},
      {RE, {no, no, no, no, no, no, M, no, no, X, no, no, no, no, no, C}},
      {F, {no, no, no, no, no, no, no, no, no, X, no, no, no, no, no, C}},
      // A head that starts takes back the request a former head led to.
      {N, {no, no, no, no, no, no, no, no, no, X, no, M, no, no, M, C}},
      {O, {no, no, no, no, no, no, no, no, no, X, no, no, no, M, M, C}},
      {D, {no, no, no, no, no, DE, no, no, M, X, no, no, no, no, no, C}},
      {DE, {no, no, no, no, no, no, no, no, H, X, no, no, no, no, no, C}},
      {H, {no, no, no, no, no, no, no, no, no, X, no, no, no, no, no, C}},
      // A cancel is taken once; the end is final, and an end told again changes nothing.
      {C, {no, no, no, no, no, no, no, no, no, X, no, no, no, no, no, no}},
      {X, {no, no, no, no, no, no, no, no, no, X, no, no, no, no, no, no}},
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
      // A move of the phase leaves the sub-states where they were.
      EXPECT_EQ(transfer->link, Link::detached);
      EXPECT_EQ(transfer->activity, Activity::running);
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

// The handle's place and the task's word move by their own tables, beside the phase, which they
// never change; a cancelled or ended transfer only lets go of its handle.
TEST(TransferStateTest, TheHandlesPlaceAndTheTasksWordMoveOnlyWhereTheirTablesSay) {
  constexpr auto L0 = Link::detached, LA = Link::attached, LW = Link::awaitingConnectivity;
  constexpr auto Go = Activity::running, Held = Activity::suspended;
  struct Row {
    Phase phase;
    Link link;
    Activity activity;
    TransferEvent event;
    bool taken;
    Link linkAfter;
    Activity activityAfter;
  } rows[] = {
      {Phase::moving, L0, Go, E::attach, true, LA, Go},
      {Phase::moving, LA, Go, E::attach, false, LA, Go},
      {Phase::moving, LA, Go, E::detach, true, L0, Go},
      {Phase::moving, L0, Go, E::detach, false, L0, Go},
      {Phase::moving, L0, Go, E::connectivityLost, true, LW, Go},
      {Phase::moving, LA, Go, E::connectivityLost, false, LA, Go},
      {Phase::moving, LW, Go, E::attach, false, LW, Go},
      {Phase::moving, LW, Go, E::connectivityRetry, true, L0, Go},
      {Phase::moving, L0, Go, E::connectivityRetry, false, L0, Go},
      {Phase::moving, LA, Go, E::suspend, true, LA, Held},
      {Phase::moving, LA, Held, E::suspend, true, LA, Held},
      {Phase::moving, LA, Held, E::resume, true, LA, Go},
      {Phase::moving, L0, Go, E::resume, true, L0, Go},
      {Phase::awaitingDisposition, LA, Go, E::suspend, true, LA, Held},
      {Phase::cancelled, LA, Go, E::detach, true, L0, Go},
      {Phase::cancelled, L0, Go, E::attach, false, L0, Go},
      {Phase::cancelled, L0, Go, E::connectivityLost, false, L0, Go},
      {Phase::cancelled, LA, Go, E::suspend, false, LA, Go},
      {Phase::cancelled, LA, Held, E::resume, false, LA, Held},
      {Phase::ended, L0, Go, E::attach, false, L0, Go},
      {Phase::ended, L0, Held, E::resume, false, L0, Held},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message()
                 << "phase " << int(row.phase) << ", link " << int(row.link) << ", activity "
                 << int(row.activity) << " on " << int(row.event));
    auto transfer = std::make_unique<Transfer>();
    // The sub-states are reached first (only a live transfer takes them), then the phase.
    if (row.link == LA) {
      ASSERT_TRUE(tryMove(*transfer, E::attach));
    }
    if (row.link == LW) {
      ASSERT_TRUE(tryMove(*transfer, E::connectivityLost));
    }
    if (row.activity == Held) {
      ASSERT_TRUE(tryMove(*transfer, E::suspend));
    }
    if (row.phase == Phase::ended) {
      ASSERT_TRUE(tryMove(*transfer, E::end));
    } else {
      ASSERT_TRUE(driveTo(*transfer, row.phase));
    }
    EXPECT_EQ(tryMove(*transfer, row.event), row.taken);
    EXPECT_EQ(transfer->phase, row.phase);
    EXPECT_EQ(transfer->link, row.linkAfter);
    EXPECT_EQ(transfer->activity, row.activityAfter);
#ifndef NDEBUG
    if (row.taken) {
      const auto* last = transfer->moves.last();
      ASSERT_NE(last, nullptr);
      EXPECT_EQ(last->event, row.event);
      EXPECT_EQ(last->link, row.linkAfter);
      EXPECT_EQ(last->activity, row.activityAfter);
    }
#endif
  }
}

// The rest of the life moves by its own tables: each row reaches a state through the events
// before it, then gives one event, which lands where the row says or is refused with the
// transfer left as it was. One event may move several sub-states at once (the next request
// starts a head afresh); a sub-state that refuses it keeps the others from moving too.
TEST(TransferStateTest, TheRestOfTheLifeMovesOnlyWhereItsTablesSay) {
  const Life fresh;
  auto with = [](Life life, auto change) {
    change(life);
    return life;
  };
  const Life reading = with(fresh, [](Life& l) { l.head = Head::reading; });
  const Life read = with(fresh, [](Life& l) { l.head = Head::read; });
  const Life delivered = with(read, [](Life& l) { l.delivery = Delivery::delivered; });
  const Life dropping = with(fresh, [](Life& l) { l.nextBody = NextBody::dropped; });
  const Life asked = with(fresh, [](Life& l) { l.clientCertificate = ClientCertificate::asked; });
  const Life sent = with(fresh, [](Life& l) { l.clientCertificate = ClientCertificate::sent; });
  const Life ownFile = with(fresh, [](Life& l) { l.download = Download::ownFile; });
  const Life handedOn = with(fresh, [](Life& l) { l.download = Download::fileHandedOn; });
  struct Row {
    const char* name;
    std::vector<TransferEvent> before;
    TransferEvent event;
    std::optional<Life> after;  // none: refused
  } rows[] = {
      {"a status line opens a head", {}, E::headOpened, reading},
      {"an interim head awaits the next", {E::headOpened}, E::headInterim, fresh},
      {"the final head is read", {E::headOpened}, E::headFinal, read},
      {"no head opens while one is read", {E::headOpened}, E::headOpened, std::nullopt},
      {"no head opens after the final one", {E::headOpened, E::headFinal}, E::headOpened,
       std::nullopt},
      {"no head ends that did not open", {}, E::headFinal, std::nullopt},
      {"nor an interim one", {}, E::headInterim, std::nullopt},
      {"the response is delivered", {E::headOpened, E::headFinal}, E::responseDelivered,
       delivered},
      {"and again, for a final head within the transfer",
       {E::headOpened, E::headFinal, E::responseDelivered}, E::responseDelivered, delivered},
      {"the next request starts a head afresh, undelivered, and replaces the original",
       {E::headOpened, E::headFinal, E::responseDelivered, E::nextDropsBody, E::nextChosen},
       E::nextLoaded, with(fresh, [](Life& l) { l.hop = Hop::replaced; })},
      {"a retried connection awaits its head afresh", {E::connectivityLost, E::headOpened},
       E::connectivityRetry, fresh},
      {"the wait for connectivity is told", {}, E::waitingTold,
       with(fresh, [](Life& l) { l.waitNotice = WaitNotice::told; })},
      {"and told once", {E::waitingTold}, E::waitingTold, std::nullopt},
      {"the body runs out", {}, E::bodyExhausted,
       with(fresh, [](Life& l) { l.bodySupply = BodySupply::exhausted; })},
      {"a redirect drops the body", {}, E::nextDropsBody, dropping},
      {"the next one keeps it again", {E::nextDropsBody}, E::nextKeepsBody, fresh},
      {"a handshake asks for a certificate", {}, E::certificateAsked, asked},
      {"one is sent", {E::certificateAsked}, E::certificateSent, sent},
      {"a later handshake asking again leaves it sent",
       {E::certificateAsked, E::certificateSent}, E::certificateAsked, sent},
      {"none is sent unasked", {}, E::certificateSent, std::nullopt},
      {"a download gets its file", {}, E::downloadStarted, ownFile},
      {"a download starts once", {E::downloadStarted}, E::downloadStarted, std::nullopt},
      {"its file is handed on", {E::downloadStarted}, E::fileHandedOn, handedOn},
      {"a task that is no download hands on no file", {}, E::fileHandedOn, std::nullopt},
      // Where the phase refuses an event that moves the life too, nothing moves.
      {"a next request nobody chose is not loaded", {E::headOpened}, E::nextLoaded,
       std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto transfer = std::make_unique<Transfer>();
    for (const TransferEvent event : row.before) ASSERT_TRUE(tryMove(*transfer, event));
    const Life before = transfer->life;
    const Phase phase = transfer->phase;
    EXPECT_EQ(tryMove(*transfer, row.event), row.after.has_value());
    EXPECT_TRUE(transfer->life == row.after.value_or(before));
    if (!row.after) {
      EXPECT_EQ(transfer->phase, phase);
    }
#ifndef NDEBUG
    if (row.after) {
      EXPECT_TRUE(transfer->moves.last()->life == *row.after);
    }
#endif
  }
}

// Leaving the choice of a next request, for its load or for a head that started since, drops
// the request chosen; the end drops it too.
TEST(TransferStateTest, TheChosenNextRequestGoesWithTheChoice) {
  for (const TransferEvent event : {E::nextLoaded, E::headStarted, E::cancel, E::end}) {
    SCOPED_TRACE(int(event));
    auto transfer = std::make_unique<Transfer>();
    transfer->redirect.next = platform::URLRequest();
    ASSERT_TRUE(tryMove(*transfer, E::nextChosen));
    ASSERT_TRUE(transfer->redirect.next.has_value());
    ASSERT_TRUE(tryMove(*transfer, event));
    EXPECT_FALSE(transfer->redirect.next.has_value());
  }
}

// Entering the end closes and removes the download's file, which was nobody else's; one handed
// on stays, and an answer awaited meanwhile changes neither.
TEST(TransferStateTest, EnteringTheEndLetsGoOfTheDownloadFile) {
  struct Row {
    const char* name;
    Phase before;
    bool handedOn;
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
    ASSERT_TRUE(tryMove(*transfer, E::downloadStarted));
    transfer->download.fd = fd;
    transfer->download.path = path;
    if (row.handedOn) {
      ASSERT_TRUE(tryMove(*transfer, E::fileHandedOn));
    }
    ASSERT_TRUE(driveTo(*transfer, row.before));
    EXPECT_EQ(::access(path.c_str(), F_OK), 0) << "gone before the end";
    ASSERT_TRUE(tryMove(*transfer, E::end));
    EXPECT_EQ(transfer->download.fd, -1);
    EXPECT_EQ(::access(path.c_str(), F_OK) == 0, row.remains);
    ::unlink(path.c_str());
  }
}

}  // namespace
