#pragma once

#include <any>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>

#include "platform/tether/tl_address.h"
#include "platform/tether/tl_protocol.h"
#include "platform/tether/tl_reactor.h"
#include "platform/tether/tl_wire_format.h"

namespace platform {

class TLChannel;
class TLUSBHub;

// What a channel tells its owner. Every call arrives on the reactor thread (TLReactor), one at a
// time, and may call back into the channel (send, close).
class TLChannelDelegate {
 public:
  virtual ~TLChannelDelegate() = default;
  // Asked as soon as a frame's header has arrived. A refused frame's payload streams past
  // without being buffered.
  virtual bool shouldAcceptFrame(const std::shared_ptr<TLChannel>& channel, std::uint32_t type,
                                 std::uint32_t tag, std::uint32_t payloadSize);
  // `payload` is null when the frame has none; a frame read from the wire always has one,
  // possibly empty.
  virtual void didReceiveFrame(const std::shared_ptr<TLChannel>& channel, std::uint32_t type,
                               std::uint32_t tag, const TLData* payload) = 0;
  // The channel ended: closed by us (no error), closed by the peer between frames (no error),
  // or broken (the error). Called exactly once for every channel that got connected.
  virtual void didEnd(const std::shared_ptr<TLChannel>& channel, std::error_code error);
};

// A framed, bidirectional connection to a peer: over the USB multiplexer, over TCP, or over a
// socket handed in. Thread-safe; all I/O and every callback run on the reactor thread.
class TLChannel : public std::enable_shared_from_this<TLChannel>,
                  private TLReactor::Source,
                  private TLFrameSink {
 public:
  using ConnectCallback = std::function<void(std::error_code)>;
  using AddressConnectCallback =
      std::function<void(std::error_code, std::optional<TLAddress> peer)>;
  using SendCallback = std::function<void(std::error_code)>;

  static constexpr double kDefaultConnectTimeout = 5.0;

  // A channel of `protocol` (the shared protocol when null), not yet connected.
  static std::shared_ptr<TLChannel> make(std::shared_ptr<TLProtocol> protocol = nullptr,
                                         std::weak_ptr<TLChannelDelegate> delegate = {});
  ~TLChannel() override;

  const std::shared_ptr<TLProtocol>& protocol() const { return protocol_; }
  std::shared_ptr<TLChannelDelegate> delegate() const;
  void setDelegate(std::weak_ptr<TLChannelDelegate> delegate);
  // Anything the owner wants kept with the channel.
  std::any userInfo() const;
  void setUserInfo(std::any userInfo);

  // Connects to `port` on a device of the USB hub. The callback gets no error on success.
  void connectToPort(std::uint16_t port, const std::shared_ptr<TLUSBHub>& hub,
                     std::uint32_t deviceID, ConnectCallback callback);
  // Connects over TCP to an IPv4 address (host byte order) without blocking; an attempt that
  // takes longer than the connect time-out fails with ETIMEDOUT.
  void connectToPort(std::uint16_t port, std::uint32_t ipv4Address,
                     AddressConnectCallback callback);
  void setConnectTimeout(double seconds);
  // Takes over a connected stream socket (an accepted connection, a tunnel, one end of a
  // socket pair); the channel owns it from now on.
  void adoptConnectedSocket(int fd);

  bool isConnected() const;

  // Queues one frame. Frames go out whole and in the order they were queued, whatever thread
  // queues them. The callback runs exactly once: no error once the frame is written, ECANCELED
  // when the channel closed first, ENOTCONN when it was not connected, EMSGSIZE for a payload
  // over the limit, or the write error.
  void sendFrame(std::uint32_t type, std::uint32_t tag, std::optional<TLData> payload,
                 SendCallback callback = {});

  // Ends the channel: queued sends fail with ECANCELED, a pending connect with ECANCELED, and a
  // connected channel reports `didEnd` without an error. Idempotent; safe from any thread and
  // from inside the channel's own callbacks.
  void close();

 private:
  enum class State { idle, connecting, connected, ended };
  struct PendingFrame {
    std::array<std::uint8_t, kTLFrameHeaderSize> header;
    TLData payload;
    std::size_t written = 0;
    SendCallback callback;
  };

  TLChannel(std::shared_ptr<TLProtocol> protocol, std::weak_ptr<TLChannelDelegate> delegate);

  // Reactor thread only.
  void handleEvents(std::uint32_t events) override;
  TLFrameDisposition frameHeaderReceived(const TLFrameHeader& header) override;
  bool frameReceived(const TLFrameHeader& header, TLData payload) override;
  void startTCPConnect(std::uint16_t port, std::uint32_t ipv4Address);
  void finishTCPConnect(std::error_code error);
  void finishUSBConnect(int fd, std::error_code error);
  bool beginConnecting(ConnectCallback& callback, AddressConnectCallback& addressCallback);
  void attachSocket(int fd);
  void readAvailable();
  void flushSends();
  void updateInterest();
  void end(std::error_code error, std::error_code frontSendError = {});
  bool closeRequested() const;
  std::shared_ptr<TLReactor::Source> asSource();
  void deliverLater(SendCallback callback, std::error_code error);

  const std::shared_ptr<TLProtocol> protocol_;

  mutable std::mutex mutex_;
  State state_ = State::idle;
  bool closeRequested_ = false;
  bool flushPosted_ = false;
  std::weak_ptr<TLChannelDelegate> delegate_;
  std::any userInfo_;
  std::deque<PendingFrame> sendQueue_;
  double connectTimeout_ = kDefaultConnectTimeout;

  // Owned by the reactor thread (set before the socket is registered).
  int fd_ = -1;
  TLReactor::Token token_ = 0;
  TLReactor::Token timer_ = 0;
  bool wantWrite_ = false;
  std::uint32_t peerAddress_ = 0;
  std::uint16_t peerPort_ = 0;
  AddressConnectCallback addressCallback_;
  ConnectCallback connectCallback_;
  TLFrameDecoder decoder_;
};

}  // namespace platform
