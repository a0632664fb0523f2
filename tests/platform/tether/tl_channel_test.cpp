#include "platform/tether/tl_channel.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <thread>

#include "platform/tether/support/channel_test_support.h"
#include "platform/tether/tl_error.h"
#include "platform/tether/tl_protocol.h"

namespace platform {
namespace {

using fakes::LoopbackListener;
using fakes::RecordingDelegate;
using fakes::SocketPair;
using fakes::waitUntil;

TLData pattern(std::size_t size, std::uint8_t seed) {
  TLData data(size);
  for (std::size_t i = 0; i < size; ++i)
    data[i] = static_cast<std::uint8_t>(seed + i * 31);
  return data;
}

// Counts completions per send, so a callback run twice or never is caught.
struct Completions {
  std::mutex mutex;
  std::map<int, std::vector<std::error_code>> results;
  TLChannel::SendCallback make(int id) {
    return [this, id](std::error_code error) {
      std::lock_guard lock(mutex);
      results[id].push_back(error);
    };
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    std::size_t n = 0;
    for (auto& [id, list] : results)
      n += list.size();
    return n;
  }
};

TEST(TLProtocol, TagsAreUniqueAndNeverZeroAcrossThreads) {
  auto protocol = TLProtocol::sharedProtocol();
  EXPECT_EQ(protocol, TLProtocol::sharedProtocol());
  std::mutex mutex;
  std::set<std::uint32_t> seen;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      TLProtocol own;  // the counter is shared by every protocol object
      std::vector<std::uint32_t> local;
      for (int i = 0; i < 2000; ++i)
        local.push_back(i % 2 ? own.newTag() : protocol->newTag());
      std::lock_guard lock(mutex);
      seen.insert(local.begin(), local.end());
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(seen.size(), 8000u);
  EXPECT_EQ(seen.count(0), 0u);
}

TEST(TLChannel, FramesFromManyThreadsArriveWholeAndInOrder) {
  SocketPair pair;
  auto receiver = std::make_shared<RecordingDelegate>();
  auto sender = TLChannel::make();
  auto peer = TLChannel::make(nullptr, receiver);
  sender->adoptConnectedSocket(pair.releaseFirst());
  peer->adoptConnectedSocket(pair.releaseSecond());
  EXPECT_TRUE(sender->isConnected());

  constexpr int kThreads = 4;
  constexpr int kFrames = 150;
  Completions completions;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kFrames; ++i) {
        const auto size = static_cast<std::size_t>((i * 997) % 40000);
        sender->sendFrame(static_cast<std::uint32_t>(t), static_cast<std::uint32_t>(i),
                          pattern(size, static_cast<std::uint8_t>(t * 16 + i)),
                          completions.make(t * 1000 + i));
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  ASSERT_TRUE(waitUntil([&] { return receiver->frameCount() == kThreads * kFrames; }));
  ASSERT_TRUE(waitUntil([&] { return completions.count() == kThreads * kFrames; }));

  std::map<std::uint32_t, std::uint32_t> nextTag;
  for (const auto& frame : receiver->frames()) {
    ASSERT_LT(frame.type, static_cast<std::uint32_t>(kThreads));
    EXPECT_EQ(frame.tag, nextTag[frame.type]++) << "frames of one sender out of order";
    const auto i = static_cast<int>(frame.tag);
    ASSERT_TRUE(frame.payload);
    EXPECT_EQ(*frame.payload, pattern(static_cast<std::size_t>((i * 997) % 40000),
                                      static_cast<std::uint8_t>(frame.type * 16 + frame.tag)));
  }
  for (auto& [id, list] : completions.results) {
    ASSERT_EQ(list.size(), 1u);
    EXPECT_FALSE(list[0]);
  }
  sender->close();
  ASSERT_TRUE(waitUntil([&] { return receiver->endCount() == 1; }));
  EXPECT_FALSE(receiver->endError());
}

TEST(TLChannel, CloseCancelsQueuedSendsAndEndsExactlyOnce) {
  SocketPair pair;  // the second end is never read, so sends back up
  auto delegate = std::make_shared<RecordingDelegate>();
  auto channel = TLChannel::make(nullptr, delegate);
  channel->adoptConnectedSocket(pair.releaseFirst());
  Completions completions;
  constexpr int kFrames = 40;
  for (int i = 0; i < kFrames; ++i) {
    channel->sendFrame(101, 0, TLData(1 << 20, 7), completions.make(i));
  }
  channel->close();
  channel->close();
  ASSERT_TRUE(waitUntil([&] { return completions.count() == kFrames; }));
  ASSERT_TRUE(waitUntil([&] { return delegate->endCount() == 1; }));
  EXPECT_FALSE(delegate->endError());
  int cancelled = 0;
  for (auto& [id, list] : completions.results) {
    ASSERT_EQ(list.size(), 1u) << "send " << id;
    if (list[0]) {
      EXPECT_TRUE(isPOSIXError(list[0], ECANCELED)) << list[0].message();
      ++cancelled;
    }
  }
  EXPECT_GT(cancelled, 0);

  // After the end: sends fail at once, close stays harmless.
  channel->sendFrame(102, 1, std::nullopt, completions.make(1000));
  channel->close();
  ASSERT_TRUE(waitUntil([&] { return completions.count() == kFrames + 1; }));
  EXPECT_TRUE(isPOSIXError(completions.results[1000].at(0), ENOTCONN));
  EXPECT_FALSE(channel->isConnected());
  EXPECT_EQ(delegate->endCount(), 1);
}

TEST(TLChannel, RefusesSendsItCannotMake) {
  Completions completions;
  auto idle = TLChannel::make();
  idle->sendFrame(102, 1, std::nullopt, completions.make(1));

  SocketPair pair;
  auto channel = TLChannel::make();
  channel->adoptConnectedSocket(pair.releaseFirst());
  channel->sendFrame(101, 0, TLData(kTLMaxPayloadSize + 1), completions.make(2));
  ASSERT_TRUE(waitUntil([&] { return completions.count() == 2; }));
  EXPECT_TRUE(isPOSIXError(completions.results[1].at(0), ENOTCONN));
  EXPECT_TRUE(isPOSIXError(completions.results[2].at(0), EMSGSIZE));
  EXPECT_TRUE(channel->isConnected());
  channel->close();
}

TEST(TLChannel, RefusedFramesAreSkippedAndTheStreamGoesOn) {
  SocketPair pair;
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->refuseType(104);
  auto channel = TLChannel::make(nullptr, delegate);
  channel->adoptConnectedSocket(pair.releaseFirst());
  std::thread writer([fd = pair.second] {
    fakes::writeAll(fd, encodeWireFrame(104, 1, TLData(5u << 20, 1)));
    fakes::writeAll(fd, encodeWireFrame(105, 2, TLData{'o', 'k'}));
  });
  ASSERT_TRUE(waitUntil([&] { return delegate->frameCount() == 1; }));
  writer.join();
  const auto frames = delegate->frames();
  EXPECT_EQ(frames[0].type, 105u);
  EXPECT_EQ(*frames[0].payload, (TLData{'o', 'k'}));
  EXPECT_EQ(delegate->announcedTypes(), (std::vector<std::uint32_t>{104, 105}));
  channel->close();
}

TEST(TLChannel, CloseFromInsideCallbacksStopsDeliveryAndEndsCleanly) {
  for (bool closeInAccept : {false, true}) {
    SocketPair pair;
    auto delegate = std::make_shared<RecordingDelegate>();
    if (closeInAccept) {
      delegate->refuseType(104, /*closeOnRefusal=*/true);
    } else {
      delegate->closeOnType(104);
    }
    auto channel = TLChannel::make(nullptr, delegate);
    channel->adoptConnectedSocket(pair.releaseFirst());
    TLData stream;
    for (auto type : {100u, 104u, 105u, 105u}) {
      const auto frame = encodeWireFrame(type, 0, TLData{1, 2, 3});
      stream.insert(stream.end(), frame.begin(), frame.end());
    }
    fakes::writeAll(pair.second, stream);
    ASSERT_TRUE(waitUntil([&] { return delegate->endCount() == 1; }));
    EXPECT_FALSE(delegate->endError());
    const auto frames = delegate->frames();
    ASSERT_EQ(frames.size(), closeInAccept ? 1u : 2u);
    EXPECT_EQ(frames[0].type, 100u);
    // The peer sees the end of the stream.
    char byte;
    EXPECT_EQ(::recv(pair.second, &byte, 1, 0), 0);
    EXPECT_EQ(delegate->endCount(), 1);
  }
}

TEST(TLChannel, HowThePeerEndsDecidesTheError) {
  struct Case {
    const char* name;
    TLData bytes;
    std::error_code expected;
  };
  const auto whole = encodeWireFrame(100, 0, TLData{'{', '}'});
  const std::vector<Case> cases = {
      {"clean end after a whole frame", whole, {}},
      {"end inside a payload", TLData(whole.begin(), whole.end() - 1), TLErrorCode::truncatedFrame},
      {"end inside a header", TLData(whole.begin(), whole.begin() + 9),
       TLErrorCode::truncatedFrame},
      {"wrong version",
       [] {
         auto h = encodeFrameHeader({7, 100, 0, 0});
         return TLData(h.begin(), h.end());
       }(),
       TLErrorCode::badProtocolVersion},
      {"oversized announcement",
       [] {
         auto h = encodeFrameHeader({1, 101, 0, 0xffffffffu});
         return TLData(h.begin(), h.end());
       }(),
       TLErrorCode::payloadTooLarge},
  };
  for (const auto& c : cases) {
    SocketPair pair;
    auto delegate = std::make_shared<RecordingDelegate>();
    auto channel = TLChannel::make(nullptr, delegate);
    channel->adoptConnectedSocket(pair.releaseFirst());
    fakes::writeAll(pair.second, c.bytes);
    ::shutdown(pair.second, SHUT_WR);
    ASSERT_TRUE(waitUntil([&] { return delegate->endCount() == 1; })) << c.name;
    EXPECT_EQ(delegate->endError(), c.expected) << c.name;
    EXPECT_FALSE(channel->isConnected()) << c.name;
  }
}

TEST(TLChannel, EmptyPayloadsArrivePresentAndAChannelWithoutDelegateDropsFrames) {
  SocketPair pair;
  auto delegate = std::make_shared<RecordingDelegate>();
  auto channel = TLChannel::make(nullptr, delegate);
  channel->adoptConnectedSocket(pair.releaseFirst());
  fakes::writeAll(pair.second, encodeWireFrame(103, 42, {}));
  ASSERT_TRUE(waitUntil([&] { return delegate->frameCount() == 1; }));
  const auto frame = delegate->frames()[0];
  EXPECT_EQ(frame.tag, 42u);
  ASSERT_TRUE(frame.payload.has_value());
  EXPECT_TRUE(frame.payload->empty());

  channel->setDelegate({});
  fakes::writeAll(pair.second, encodeWireFrame(105, 1, TLData(1000, 3)));
  channel->setDelegate(delegate);
  fakes::writeAll(pair.second, encodeWireFrame(100, 2, {}));
  ASSERT_TRUE(waitUntil([&] { return delegate->frameCount() >= 2; }));
  EXPECT_EQ(delegate->frames().back().type, 100u);
  channel->close();
}

TEST(TLChannelTCP, ConnectsReportsThePeerAndExchangesFrames) {
  LoopbackListener listener;
  auto delegate = std::make_shared<RecordingDelegate>();
  auto channel = TLChannel::make(nullptr, delegate);
  std::atomic<int> calls{0};
  std::error_code result = std::make_error_code(std::errc::io_error);
  std::optional<TLAddress> peer;
  channel->connectToPort(listener.port, kTLLoopbackIPv4,
                         [&](std::error_code error, std::optional<TLAddress> address) {
                           result = error;
                           peer = address;
                           ++calls;
                         });
  const int accepted = listener.acceptOne();
  ASSERT_GE(accepted, 0);
  ASSERT_TRUE(waitUntil([&] { return calls.load() == 1; }));
  EXPECT_FALSE(result);
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->description(), "127.0.0.1:" + std::to_string(listener.port));
  EXPECT_TRUE(channel->isConnected());

  fakes::writeAll(accepted, encodeWireFrame(105, 3, TLData{'x'}));
  ASSERT_TRUE(waitUntil([&] { return delegate->frameCount() == 1; }));
  channel->sendFrame(102, 77, std::nullopt);
  std::array<std::uint8_t, 16> header{};
  ASSERT_EQ(::recv(accepted, header.data(), header.size(), MSG_WAITALL), 16);
  const auto decoded = decodeFrameHeader(header);
  EXPECT_EQ(decoded.type, 102u);
  EXPECT_EQ(decoded.tag, 77u);
  EXPECT_EQ(decoded.payloadSize, 0u);

  // A second connect on the same channel is refused.
  std::error_code second;
  channel->connectToPort(listener.port, kTLLoopbackIPv4,
                         [&](std::error_code error, std::optional<TLAddress>) {
                           second = error;
                           ++calls;
                         });
  ASSERT_TRUE(waitUntil([&] { return calls.load() == 2; }));
  EXPECT_TRUE(isPOSIXError(second, EISCONN));

  ::close(accepted);
  ASSERT_TRUE(waitUntil([&] { return delegate->endCount() == 1; }));
  EXPECT_FALSE(delegate->endError());
}

TEST(TLChannelTCP, RefusedConnectionReportsECONNREFUSEDWithoutEnding) {
  LoopbackListener reserved(/*listen=*/false);  // bound, so nobody else listens there
  auto delegate = std::make_shared<RecordingDelegate>();
  auto channel = TLChannel::make(nullptr, delegate);
  std::atomic<int> calls{0};
  std::error_code result;
  channel->connectToPort(reserved.port, kTLLoopbackIPv4,
                         [&](std::error_code error, std::optional<TLAddress> address) {
                           result = error;
                           EXPECT_FALSE(address);
                           ++calls;
                         });
  ASSERT_TRUE(waitUntil([&] { return calls.load() == 1; }));
  EXPECT_TRUE(isPOSIXError(result, ECONNREFUSED)) << result.message();
  EXPECT_EQ(delegate->endCount(), 0);
}

// A listener whose accept queue is full drops further connection requests, so a connect to it
// neither succeeds nor fails by itself.
struct UnresponsiveListener {
  LoopbackListener listener{true, 0};
  std::vector<int> fillers;
  UnresponsiveListener() {
    for (int i = 0; i < 16; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(listener.port);
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
      fillers.push_back(fd);
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 200) == 0) return;  // this one hangs: the queue is full
    }
  }
  ~UnresponsiveListener() {
    for (int fd : fillers)
      ::close(fd);
  }
};

TEST(TLChannelTCP, ConnectTimesOutWithETIMEDOUTAndCloseCancelsAnAttempt) {
  UnresponsiveListener unresponsive;
  auto channel = TLChannel::make();
  channel->setConnectTimeout(0.3);
  std::atomic<int> calls{0};
  std::error_code result;
  channel->connectToPort(unresponsive.listener.port, kTLLoopbackIPv4,
                         [&](std::error_code error, std::optional<TLAddress>) {
                           result = error;
                           ++calls;
                         });
  ASSERT_TRUE(waitUntil([&] { return calls.load() == 1; }, 10.0));
  EXPECT_TRUE(isPOSIXError(result, ETIMEDOUT)) << result.message();

  auto cancelled = TLChannel::make();
  std::error_code cancelResult;
  cancelled->connectToPort(unresponsive.listener.port, kTLLoopbackIPv4,
                           [&](std::error_code error, std::optional<TLAddress>) {
                             cancelResult = error;
                             ++calls;
                           });
  cancelled->close();
  ASSERT_TRUE(waitUntil([&] { return calls.load() == 2; }));
  EXPECT_TRUE(isPOSIXError(cancelResult, ECANCELED)) << cancelResult.message();
}

}  // namespace
}  // namespace platform
