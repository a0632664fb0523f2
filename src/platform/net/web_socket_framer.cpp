#include "platform/net/web_socket_framer.h"

#include <sys/random.h>
#include <wslay/wslay.h>

#include <cstring>

#include "platform/foundation/string_encoding.h"

namespace platform::net_detail {

struct WslayGlue {
  static WebSocketFramer& framer(void* data) { return *static_cast<WebSocketFramer*>(data); }

  static ssize_t recv(wslay_event_context_ptr context, std::uint8_t* buffer, std::size_t size, int,
                      void* data) {
    auto& self = framer(data);
    // One call of wslay's reads on while bytes come: the backlog is checked per read.
    if (self.outputBacklogged()) {
      wslay_event_set_error(context, WSLAY_ERR_WOULDBLOCK);
      return -1;
    }
    const std::ptrdiff_t n = self.transport_.read(buffer, size);
    if (n > 0) {
      self.window_.insert(self.window_.end(), buffer, buffer + n);
      self.keepWindowFrom(self.lastFrame_ ? self.frameEndPosition_ : self.frameStartPosition_);
      return n;
    }
    if (n == WebSocketFramer::ended) self.peerEnded_ = true;
    if (n == WebSocketFramer::failed) self.transportFailed_ = true;
    wslay_event_set_error(context, n == WebSocketFramer::wouldBlock ? WSLAY_ERR_WOULDBLOCK
                                                                    : WSLAY_ERR_CALLBACK_FAILURE);
    return -1;
  }

  static ssize_t send(wslay_event_context_ptr context, const std::uint8_t* bytes, std::size_t size,
                      int, void* data) {
    auto& self = framer(data);
    const std::ptrdiff_t n = self.transport_.write(bytes, size);
    if (n > 0) return n;
    if (n != WebSocketFramer::wouldBlock) self.transportFailed_ = true;
    wslay_event_set_error(context, n == WebSocketFramer::wouldBlock ? WSLAY_ERR_WOULDBLOCK
                                                                    : WSLAY_ERR_CALLBACK_FAILURE);
    return -1;
  }

  static int genmask(wslay_event_context_ptr, std::uint8_t* buffer, std::size_t size, void*) {
    std::size_t got = 0;
    while (got < size) {
      const ssize_t n = getrandom(buffer + got, size - got, 0);
      if (n > 0) got += static_cast<std::size_t>(n);
    }
    return 0;
  }

  static void frameStart(wslay_event_context_ptr, const wslay_event_on_frame_recv_start_arg* arg,
                         void* data) {
    auto& self = framer(data);
    self.lastFrame_ =
        WebSocketFramer::FrameStart{arg->fin != 0, arg->rsv, arg->opcode, arg->payload_length};
    self.lastEnded_.reset();
    if (arg->opcode == WSLAY_CONNECTION_CLOSE) self.closePayload_.clear();
    // Server frames are unmasked and their lengths minimal, so the header's size follows.
    const std::uint64_t length = arg->payload_length;
    const std::uint64_t header = 2 + (length < 126 ? 0 : length < 65536 ? 2 : 8);
    self.frameEndPosition_ = self.frameStartPosition_ + header + length;
    self.keepWindowFrom(self.frameEndPosition_);
    if (arg->opcode == WSLAY_TEXT_FRAME || arg->opcode == WSLAY_BINARY_FRAME) {
      self.messageLength_ = arg->payload_length;
      self.messageCost_ = 0;
    } else if (arg->opcode == WSLAY_CONTINUATION_FRAME) {
      self.messageLength_ += arg->payload_length;
    }
    if ((arg->opcode & 0x08) == 0 && !self.failure_) {
      // wslay keeps each fragment in a chunk of its own: a message of tiny fragments costs
      // many times its length. Past the bound reading stops before this fragment's chunk is
      // followed by another.
      self.messageCost_ += arg->payload_length;
      if (arg->opcode == WSLAY_CONTINUATION_FRAME) {
        self.messageCost_ += WebSocketFramer::kFragmentCost;
      }
      if (self.messageCost_ > WebSocketFramer::kCostPerBoundByte * self.maximumMessageSize_) {
        wslay_event_shutdown_read(self.context_);
        self.fail(1009, URLError::Code::dataLengthExceedsMaximum,
                  "a message from the server exceeds the maximum of " +
                      std::to_string(self.maximumMessageSize_) + " bytes",
                  true);
      }
    }
  }

  static void frameChunk(wslay_event_context_ptr, const wslay_event_on_frame_recv_chunk_arg* arg,
                         void* data) {
    auto& self = framer(data);
    // A control frame holds 125 bytes at most (wslay refuses longer ones before this).
    if (self.lastFrame_ && self.lastFrame_->opcode == WSLAY_CONNECTION_CLOSE &&
        self.closePayload_.size() + arg->data_length <= 125) {
      self.closePayload_.insert(self.closePayload_.end(), arg->data, arg->data + arg->data_length);
    }
  }

  static void frameEnd(wslay_event_context_ptr, void* data) {
    auto& self = framer(data);
    if (self.lastFrame_) {
      const int opcode = self.lastFrame_->opcode;
      if (opcode == WSLAY_TEXT_FRAME || opcode == WSLAY_BINARY_FRAME) {
        self.inFragmentedMessage_ = !self.lastFrame_->fin;
      } else if (opcode == WSLAY_CONTINUATION_FRAME && self.lastFrame_->fin) {
        self.inFragmentedMessage_ = false;
      }
    }
    self.lastEnded_ = self.lastFrame_;
    self.lastFrame_.reset();
    self.frameStartPosition_ = self.frameEndPosition_;
  }

  static void message(wslay_event_context_ptr, const wslay_event_on_msg_recv_arg* arg, void* data) {
    auto& self = framer(data);
    if (self.failure_) return;
    const std::uint8_t* bytes = arg->msg;
    switch (arg->opcode) {
      case WSLAY_TEXT_FRAME:
        self.handler_.onMessage(WebSocketFramer::Message(
            std::string(reinterpret_cast<const char*>(bytes), arg->msg_length)));
        break;
      case WSLAY_BINARY_FRAME:
        self.handler_.onMessage(
            WebSocketFramer::Message(std::vector<std::uint8_t>(bytes, bytes + arg->msg_length)));
        break;
      case WSLAY_PONG:
        self.handler_.onPong(std::vector<std::uint8_t>(bytes, bytes + arg->msg_length));
        break;
      case WSLAY_CONNECTION_CLOSE: {
        if (arg->msg_length == 1) {
          self.fail(1002, URLError::Code::badServerResponse,
                    "the server sent a close frame with a one-byte payload", true);
          return;
        }
        std::optional<std::vector<std::uint8_t>> reason;
        if (arg->msg_length > 2) reason.emplace(bytes + 2, bytes + arg->msg_length);
        // wslay checks a reason only when the whole frame came in one read.
        if (reason && !StringEncoding(StringEncoding::utf8).decode(*reason)) {
          self.fail(1007, URLError::Code::badServerResponse,
                    "the server sent a close reason that is not UTF-8", true);
          return;
        }
        self.handler_.onClose(arg->msg_length >= 2 ? arg->status_code : 1005, std::move(reason));
        break;
      }
      default:
        break;  // pings are answered by wslay
    }
  }
};

WebSocketFramer::WebSocketFramer(Transport& transport, Handler& handler,
                                 std::uint64_t maximumMessageSize)
    : transport_(transport), handler_(handler), maximumMessageSize_(maximumMessageSize) {
  wslay_event_callbacks callbacks{
      &WslayGlue::recv,       &WslayGlue::send,     &WslayGlue::genmask, &WslayGlue::frameStart,
      &WslayGlue::frameChunk, &WslayGlue::frameEnd, &WslayGlue::message};
  wslay_event_context_client_init(&context_, &callbacks, this);
  wslay_event_config_set_max_recv_msg_length(context_, maximumMessageSize);
}

WebSocketFramer::~WebSocketFramer() {
  if (closer_) wslay_event_context_free(closer_);
  wslay_event_context_free(context_);
}

bool WebSocketFramer::queueMessage(const Message& message, std::uint64_t identifier) {
  if (closer_ || wslay_event_get_close_sent(context_) || !wslay_event_get_write_enabled(context_)) {
    return false;
  }
  outgoing_.emplace_back(message, identifier);
  return true;
}

bool WebSocketFramer::queuePing(const std::vector<std::uint8_t>& payload) {
  if (closer_) return false;
  wslay_event_msg msg{WSLAY_PING, payload.data(), payload.size()};
  return wslay_event_queue_msg(context_, &msg) == 0;
}

bool WebSocketFramer::queueClose(int code, const std::vector<std::uint8_t>& reason) {
  if (closer_) return false;
  return wslay_event_queue_close(context_, static_cast<std::uint16_t>(code),
                                 code == 0 || reason.empty() ? nullptr : reason.data(),
                                 code == 0 ? 0 : reason.size()) == 0;
}

bool WebSocketFramer::wantWrite() const {
  if (transportFailed_) return false;
  if (closer_) return wslay_event_want_write(closer_) != 0;
  return wslay_event_want_write(context_) != 0 ||
         (!inFlight_ && !outgoing_.empty() && wslay_event_get_write_enabled(context_));
}

bool WebSocketFramer::closeReceived() const {
  return (wslay_event_get_close_received(context_) != 0 || laterCodeReceived_) && !failure_;
}

void WebSocketFramer::pump() {
  // What arrived first is reported first; a pong or close echo goes out in the same turn.
  receive();
  send();
}

void WebSocketFramer::receive() {
  if (peerEnded_ || transportFailed_) return;
  const bool outputPending = wslay_event_want_write(context_) != 0;
  if (failure_ || closer_ || !wslay_event_get_read_enabled(context_)) {
    // Only the end of the stream is of interest now.
    drain_.resize(16 * 1024);
    while (true) {
      const std::ptrdiff_t n = transport_.read(drain_.data(), drain_.size());
      if (n > 0) continue;
      if (n == ended) peerEnded_ = true;
      if (n == failed) transportFailed_ = true;
      return;
    }
  }
  // Pongs and closes wslay owes the peer wait in its queue: while the peer does not read them,
  // neither do we, so that TCP pushes back on a flood of pings.
  if (outputBacklogged()) return;
  const int result = wslay_event_recv(context_);
  if (!failure_ && !closer_ && !wslay_event_get_read_enabled(context_) &&
      !wslay_event_get_close_received(context_) && acceptLaterRegisteredClose()) {
    return;
  }
  if (result < 0 && !peerEnded_ && !transportFailed_ && !failure_) {
    // wslay rejected a frame header and queued a close without status.
    fail(1002, URLError::Code::badServerResponse, refusedHeader(), !outputPending);
    if (outputPending) wslay_event_shutdown_write(context_);
  }
}

void WebSocketFramer::send() {
  if (transportFailed_) return;
  if (closer_) {
    wslay_event_send(closer_);
    return;
  }
  while (true) {
    if (!inFlight_ && !outgoing_.empty() && wslay_event_get_write_enabled(context_) &&
        !wslay_event_get_close_sent(context_)) {
      auto& [message, identifier] = outgoing_.front();
      wslay_event_msg msg{};
      if (message.isText()) {
        msg.opcode = WSLAY_TEXT_FRAME;
        msg.msg = reinterpret_cast<const std::uint8_t*>(message.text().data());
        msg.msg_length = message.text().size();
      } else {
        msg.opcode = WSLAY_BINARY_FRAME;
        msg.msg = message.data().data();
        msg.msg_length = message.data().size();
      }
      if (wslay_event_queue_msg(context_, &msg) != 0) break;
      inFlight_ = identifier;
      outgoing_.pop_front();
    }
    if (wslay_event_want_write(context_) && wslay_event_send(context_) < 0) break;
    if (inFlight_ && !transportFailed_ && !wslay_event_want_write(context_) &&
        wslay_event_get_queued_msg_count(context_) == 0) {
      const std::uint64_t identifier = *inFlight_;
      inFlight_.reset();
      handler_.onSent(identifier);
      continue;
    }
    break;
  }
  // wslay shut reading after a frame it refused and queued its own close: the code it sent
  // says which rule was broken.
  if (!failure_ && !wslay_event_get_read_enabled(context_) &&
      !wslay_event_get_close_received(context_) && wslay_event_get_close_sent(context_) &&
      !peerEnded_) {
    const int code = wslay_event_get_status_code_sent(context_);
    if (code == 1002 || code == 1007 || code == 1009) {
      failure_ = Failure{code,
                         code == 1009 ? URLError::Code::dataLengthExceedsMaximum
                                      : URLError::Code::badServerResponse,
                         ruleBroken()};
    }
  }
}

bool WebSocketFramer::acceptLaterRegisteredClose() {
  if (closePayload_.size() < 2) return false;
  const int code = closePayload_[0] << 8 | closePayload_[1];
  if (code < 1012 || code > 1014) return false;
  std::optional<std::vector<std::uint8_t>> reason;
  if (closePayload_.size() > 2) reason.emplace(closePayload_.begin() + 2, closePayload_.end());
  if (reason && !StringEncoding(StringEncoding::utf8).decode(*reason)) return false;
  laterCodeReceived_ = true;
  if (!wslay_event_get_close_sent(context_)) {
    // wslay queued a protocol error instead of the echo: the echo goes out on its own.
    wslay_event_shutdown_write(context_);
    wslay_event_callbacks callbacks{&WslayGlue::recv, &WslayGlue::send, &WslayGlue::genmask,
                                    nullptr,          nullptr,          nullptr,
                                    nullptr};
    wslay_event_context_client_init(&closer_, &callbacks, this);
    wslay_event_queue_close(closer_, static_cast<std::uint16_t>(code), nullptr, 0);
  }
  handler_.onClose(code, std::move(reason));
  return true;
}

bool WebSocketFramer::outputBacklogged() const {
  return wslay_event_get_queued_msg_count(context_) > kMaximumQueuedFrames ||
         wslay_event_get_queued_msg_length(context_) > kMaximumQueuedBytes;
}

std::string WebSocketFramer::ruleBroken() const {
  const int code = wslay_event_get_status_code_sent(context_);
  if (code == 1009) {
    return "a message from the server exceeds the maximum of " +
           std::to_string(maximumMessageSize_) + " bytes";
  }
  const auto isClose = [](const std::optional<FrameStart>& frame) {
    return frame && frame->opcode == WSLAY_CONNECTION_CLOSE;
  };
  if (code == 1007) {
    return isClose(lastFrame_) || isClose(lastEnded_)
               ? "the server sent a close reason that is not UTF-8"
               : "the server sent text that is not UTF-8";
  }
  if (isClose(lastEnded_)) {
    return "the server sent a close frame with an invalid close code";
  }
  return refusedHeader();
}

void WebSocketFramer::keepWindowFrom(std::uint64_t position) {
  if (position <= windowStart_) return;
  const std::uint64_t drop = std::min<std::uint64_t>(position - windowStart_, window_.size());
  window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(drop));
  windowStart_ += drop;
}

std::string WebSocketFramer::refusedHeader() const {
  if (frameStartPosition_ < windowStart_ ||
      frameStartPosition_ - windowStart_ + 2 > window_.size()) {
    return "the server broke the framing rules";
  }
  const std::uint8_t first = window_[frameStartPosition_ - windowStart_];
  const std::uint8_t second = window_[frameStartPosition_ - windowStart_ + 1];
  const int opcode = first & 0x0F;
  const bool control = (opcode & 0x08) != 0;
  if ((second & 0x80) != 0) return "the server sent a masked frame";
  if ((first & 0x70) != 0) return "the server set reserved bits of a frame";
  if ((opcode >= 3 && opcode <= 7) || opcode >= 11) {
    return "the server used the reserved opcode " + std::to_string(opcode);
  }
  if (control && (first & 0x80) == 0) return "the server sent a fragmented control frame";
  if (control && (second & 0x7F) > 125) {
    return "the server sent a control frame longer than 125 bytes";
  }
  if (opcode == WSLAY_CONTINUATION_FRAME && !inFragmentedMessage_) {
    return "the server sent a continuation frame with no message started";
  }
  if (opcode != WSLAY_CONTINUATION_FRAME && !control && inFragmentedMessage_) {
    return "the server started a message inside a fragmented message";
  }
  if ((second & 0x7F) >= 126) {
    return "the server wrote a frame length not in its shortest form or above 2^63";
  }
  return "the server broke the framing rules";
}

void WebSocketFramer::fail(int closeCode, URLError::Code error, std::string detail,
                           bool replaceClose) {
  failure_ = Failure{closeCode, error, std::move(detail)};
  if (!replaceClose || closer_) return;
  // wslay's own queued close would say the wrong thing: a second context makes ours.
  wslay_event_shutdown_write(context_);
  wslay_event_callbacks callbacks{
      &WslayGlue::recv, &WslayGlue::send, &WslayGlue::genmask, nullptr, nullptr, nullptr, nullptr};
  wslay_event_context_client_init(&closer_, &callbacks, this);
  wslay_event_queue_close(closer_, static_cast<std::uint16_t>(closeCode), nullptr, 0);
}

}  // namespace platform::net_detail
