#pragma once

// Web-socket framing over a byte transport, with wslay making and reading the frames. wslay
// 1.1.1 enforces most of RFC 6455 section 5 itself (masked server frames, reserved bits and
// opcodes, continuation rules, close codes, the message bound, UTF-8 of texts and close
// reasons, each answered with the right close code). This layer adds what it lacks:
// - a close frame whose payload is one byte is a protocol error (wslay takes it as a close
//   without status);
// - a close reason must be UTF-8 also when its frame arrived in several reads (wslay checks
//   it only when the whole frame came at once);
// - a malformed frame header (a control frame over 125 bytes or without FIN, a length not in
//   its shortest form or with the top bit set) makes wslay fail and queue a close without
//   status; the close that goes out carries 1002 instead;
// - wslay does not say which rule a frame broke: the first bytes of the frame it refused are
//   kept (frame boundaries follow from the lengths wslay reports) and named here;
// - wslay 1.1.1 refuses the close codes registered after RFC 6455 (1012 service restart,
//   1013 try again later, 1014 bad gateway) and would answer them with 1002: such a close is
//   taken here from the frame's payload, reported, and echoed;
// - one data message is handed to wslay at a time, so a send is known to be complete when
//   wslay has nothing left to write.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/url_error.h"
#include "platform/net/url_session.h"

struct wslay_event_context;

namespace platform::net_detail {

class WebSocketFramer {
 public:
  using Message = URLSessionWebSocketTask::Message;

  // What the socket's bytes go through. Both answer the bytes moved, `wouldBlock` (0) when
  // nothing can move now, `ended` when the peer closed the stream (reads only), `failed` on an
  // error.
  static constexpr std::ptrdiff_t wouldBlock = 0;
  static constexpr std::ptrdiff_t ended = -1;
  static constexpr std::ptrdiff_t failed = -2;
  class Transport {
   public:
    virtual ~Transport() = default;
    virtual std::ptrdiff_t read(std::uint8_t* buffer, std::size_t size) = 0;
    virtual std::ptrdiff_t write(const std::uint8_t* bytes, std::size_t size) = 0;
  };
  class Handler {
   public:
    virtual ~Handler() = default;
    virtual void onMessage(Message message) = 0;
    virtual void onPong(const std::vector<std::uint8_t>& payload) = 0;
    // A valid close frame from the peer: its code (1005 when it had none) and reason.
    virtual void onClose(int code, std::optional<std::vector<std::uint8_t>> reason) = 0;
    // All bytes of the data message queued with `identifier` are in the transport.
    virtual void onSent(std::uint64_t identifier) = 0;
  };

  // Why the peer's frames ended the socket.
  struct Failure {
    int closeCode;  // what our close frame says: 1002, 1007 or 1009
    URLError::Code error;
    std::string detail;
  };

  WebSocketFramer(Transport& transport, Handler& handler, std::uint64_t maximumMessageSize);
  ~WebSocketFramer();
  WebSocketFramer(const WebSocketFramer&) = delete;
  WebSocketFramer& operator=(const WebSocketFramer&) = delete;

  // Queues a data message; `onSent(identifier)` follows once it is written. False (nothing
  // queued) once a close was queued or sent.
  bool queueMessage(const Message& message, std::uint64_t identifier);
  bool queuePing(const std::vector<std::uint8_t>& payload);
  // `code` 0 sends a close without status (and without reason).
  bool queueClose(int code, const std::vector<std::uint8_t>& reason);

  // Moves bytes both ways until neither can move. Messages, pongs and the peer's close go to
  // the handler meanwhile. After a close or a failure reading goes on, dropping what comes,
  // until the peer ends the stream.
  void pump();

  bool wantWrite() const;
  // Frames owed to the peer (pongs among them) pass the bound: nothing more is read until the
  // peer takes some.
  bool outputBacklogged() const;
  bool closeReceived() const;
  bool peerEnded() const { return peerEnded_; }
  bool transportFailed() const { return transportFailed_; }
  const std::optional<Failure>& failure() const { return failure_; }

 private:
  friend struct WslayGlue;
  void receive();
  void send();
  void fail(int closeCode, URLError::Code error, std::string detail, bool replaceClose);
  std::string ruleBroken() const;
  // wslay refused the close frame just read: when its code is one registered after RFC 6455,
  // the close is accepted as any other. True when it was.
  bool acceptLaterRegisteredClose();

  // What a fragment costs in wslay's keeping besides its payload, counted against the message
  // bound: a chunk of its own, whose 24-byte head and the allocator's header and rounding come
  // to 32 to 56 bytes. The top of that is charged; more would refuse messages under the bound
  // sent in small fragments.
  static constexpr std::uint64_t kFragmentCost = 56;
  // A message's keeping may cost this many times the bound on its length (which wslay holds to
  // exactly), so that a message of the bound's length in ordinary fragments still arrives.
  static constexpr std::uint64_t kCostPerBoundByte = 2;
  static constexpr std::size_t kMaximumQueuedFrames = 1024;
  static constexpr std::size_t kMaximumQueuedBytes = 1024 * 1024;

  Transport& transport_;
  Handler& handler_;
  const std::uint64_t maximumMessageSize_;
  wslay_event_context* context_ = nullptr;
  // Sends our own close when wslay's queued one would say the wrong thing.
  wslay_event_context* closer_ = nullptr;
  std::deque<std::pair<Message, std::uint64_t>> outgoing_;
  std::optional<std::uint64_t> inFlight_;
  bool peerEnded_ = false;
  bool transportFailed_ = false;
  std::optional<Failure> failure_;
  // The payload of the close frame being (or last) read, and whether it was one wslay refused
  // for its code and this layer accepted.
  std::vector<std::uint8_t> closePayload_;
  bool laterCodeReceived_ = false;
  // The frame being read, for naming a broken rule.
  struct FrameStart {
    bool fin = false;
    int rsv = 0;
    int opcode = 0;
    std::uint64_t length = 0;
  };
  std::optional<FrameStart> lastFrame_;  // started and not yet ended
  std::optional<FrameStart> lastEnded_;  // ended, with no frame started since
  // The bytes of the frames wslay has not accepted yet, from `windowStart_` on, so that a
  // header it refuses can be named. Only what follows the frame being read is kept.
  std::vector<std::uint8_t> window_;
  std::uint64_t windowStart_ = 0;
  std::uint64_t frameStartPosition_ = 0;  // of the next (or current) frame
  std::uint64_t frameEndPosition_ = 0;    // of the current frame
  void keepWindowFrom(std::uint64_t position);
  std::string refusedHeader() const;
  bool inFragmentedMessage_ = false;
  std::uint64_t messageLength_ = 0;
  std::uint64_t messageCost_ = 0;  // payload and fragments' keeping, of the message being read
  std::vector<std::uint8_t> drain_;
};

}  // namespace platform::net_detail
