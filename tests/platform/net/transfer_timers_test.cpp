// A transfer that waited for connectivity is tried again when its time comes: libcurl takes its
// handle back, and the transfer moves on with a fresh head, or libcurl refuses it, and the task
// fails at once instead of being left neither running nor ended.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/foundation/process_info.h"
#include "platform/net/session/task_commands.h"
#include "platform/net/session/transfer.h"
#include "platform/net/session/transfer_engine.h"
#include "platform/net/session/transfer_timers.h"
#include "support/recording_delegate.h"

namespace {

using namespace platform;
using namespace platform::net_detail;

// The loop as the timers see it, with libcurl taking or refusing handles as the row says.
class LoopStandIn final : public TransferEngine {
 public:
  explicit LoopStandIn(bool takesHandles) : takesHandles_(takesHandles) {}

  int finished = 0;
  ErrorPtr error;

  bool deliverCall(DelegateCall, std::shared_ptr<URLSession>) override { return false; }
  void flushDeliveries() override {}
  std::shared_ptr<URLSessionDelegate> delegate() const override { return nullptr; }
  std::shared_ptr<URLSession> sessionOf(const Transfer&) const override { return nullptr; }
  void finish(Transfer& transfer, ErrorPtr error) override {
    ++finished;
    this->error = std::move(error);
    detach(transfer);
    moveTo(transfer, TransferEvent::end);
  }
  void cancelLater(std::uint64_t) override {}
  std::function<void()> waker() override { return [] {}; }
  std::optional<URL> currentURL(const Transfer&) override { return std::nullopt; }
  std::optional<URLRequest> currentRequest(const Transfer&) override { return std::nullopt; }
  Transfer* find(std::uint64_t) override { return nullptr; }
  std::function<bool(Command)> poster() override {
    return [](Command) { return false; };
  }
  void deliverResponse(Transfer&) override {}
  void updatePause(Transfer&) override {}
  void loadNextRequest(Transfer&) override {}
  bool attach(Transfer& transfer) override {
    if (!takesHandles_) return false;
    moveTo(transfer, TransferEvent::attach);
    return true;
  }
  void detach(Transfer& transfer) override {
    if (transfer.link == Link::attached) moveTo(transfer, TransferEvent::detach);
  }
  ErrorPtr failureOf(Transfer&, const URLError& error) override { return makeError(error); }
  const URLSessionConfiguration& configuration() const override { return configuration_; }
  TransferTimers& timers() override { return timers_; }
  // The timers hand a transfer on to no other part, and keep nothing past the loop.
  Downloads& downloads() override { std::abort(); }
  Redirects& redirects() override { std::abort(); }
  ResponseDisposition& disposition() override { std::abort(); }
  TransferEnd& ending() override { std::abort(); }
  TransferSetup& setup() override { std::abort(); }
  HeadReader& heads() override { std::abort(); }
  CurlEasyPool& easyPool() override { std::abort(); }
  void countWebSocket() override {}
  SessionHub& sessionHub() override { std::abort(); }
  bool hasDelegate() const override { return false; }
  std::weak_ptr<TransferEngine> weakEngine() override { return {}; }
  bool runLater(Command, bool) override { return false; }
  Transfer& add(const std::shared_ptr<URLSessionTask>&, std::shared_ptr<URLSession>) override {
    std::abort();
  }
  void retire(std::uint64_t) override {}
  void taskGone(TaskShared&) override {}
  std::int64_t bodyBound(const Transfer&) const override { return 0; }

 private:
  const bool takesHandles_;
  URLSessionConfiguration configuration_ = URLSessionConfiguration::ephemeral();
  TransferTimers timers_{configuration_};
};

TEST(TransferTimersTest, AConnectionTriedAgainMovesOnOrFailsWhenLibcurlRefusesIt) {
  struct Row {
    const char* name;
    bool takesHandles;
    Phase phase;
    Link link;
    int finished;
  } rows[] = {
      {"libcurl takes the handle back", true, Phase::moving, Link::attached, 0},
      {"libcurl refuses it", false, Phase::ended, Link::detached, 1},
  };
  auto session = URLSession::make(URLSessionConfiguration::ephemeral());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    LoopStandIn engine(row.takesHandles);
    TransferTimers& timers = engine.timers();
    auto task = session->dataTask(*URL::fromString("http://127.0.0.1:9/"));
    TransferMap transfers;
    auto& transfer = *(transfers[task->taskIdentifier()] = std::make_unique<Transfer>());
    transfer.task = task;
    transfer.shared = TaskInternals::shared(*task);
    // The first connection read the start of a head, then failed for want of connectivity.
    ASSERT_TRUE(tryMove(transfer, TransferEvent::headOpened));
    ASSERT_TRUE(tryMove(transfer, TransferEvent::connectivityLost));
    transfer.startUptime = systemUptime();
    transfer.retryAtUptime = transfer.startUptime;
    timers.noteDeadline(transfer.retryAtUptime);

    timers.fire(transfers, engine);
    EXPECT_EQ(transfer.phase, row.phase);
    EXPECT_EQ(transfer.link, row.link);
    EXPECT_EQ(transfer.life.head, Head::awaiting);
    EXPECT_EQ(engine.finished, row.finished);
    if (row.finished) {
      const URLError* error = nettest::urlError(engine.error);
      ASSERT_NE(error, nullptr);
      EXPECT_EQ(error->code(), URLError::Code::unknown);
      EXPECT_NE(error->debugDescription().find("the transfer could not be started"),
                std::string::npos)
          << error->debugDescription();
    }
    // Nothing is left to try again, or to end a second time.
    timers.noteDeadline(0);
    timers.fire(transfers, engine);
    EXPECT_EQ(engine.finished, row.finished);
    EXPECT_EQ(transfer.link, row.link);
  }
  session->invalidateAndCancel();
}

}  // namespace
