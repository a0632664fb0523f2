#include "platform/tether/tl_channel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/tether/tl_error.h"
#include "platform/tether/tl_usb_hub.h"

namespace platform {

namespace {

TLReactor& reactor() {
  return TLReactor::shared();
}

constexpr std::size_t kReadChunk = 64 * 1024;
// Reads per readiness event before giving other channels a turn.
constexpr int kMaxReadsPerEvent = 16;

}  // namespace

bool TLChannelDelegate::shouldAcceptFrame(const std::shared_ptr<TLChannel>&, std::uint32_t,
                                          std::uint32_t, std::uint32_t) {
  return true;
}

void TLChannelDelegate::didEnd(const std::shared_ptr<TLChannel>&, std::error_code) {}

std::shared_ptr<TLChannel> TLChannel::make(std::shared_ptr<TLProtocol> protocol,
                                           std::weak_ptr<TLChannelDelegate> delegate) {
  if (!protocol) protocol = TLProtocol::sharedProtocol();
  return std::shared_ptr<TLChannel>(new TLChannel(std::move(protocol), std::move(delegate)));
}

TLChannel::TLChannel(std::shared_ptr<TLProtocol> protocol,
                     std::weak_ptr<TLChannelDelegate> delegate)
    : protocol_(std::move(protocol)), delegate_(std::move(delegate)) {}

TLChannel::~TLChannel() {
  // Only reachable once the reactor has let go, i.e. the socket was never registered or the
  // channel already ended; this covers a socket handed over after the channel was dropped.
  if (fd_ >= 0) ::close(fd_);
}

std::shared_ptr<TLChannelDelegate> TLChannel::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void TLChannel::setDelegate(std::weak_ptr<TLChannelDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::any TLChannel::userInfo() const {
  std::lock_guard lock(mutex_);
  return userInfo_;
}

void TLChannel::setUserInfo(std::any userInfo) {
  std::any previous;
  std::lock_guard lock(mutex_);
  previous = std::exchange(userInfo_, std::move(userInfo));
}

void TLChannel::setConnectTimeout(double seconds) {
  std::lock_guard lock(mutex_);
  connectTimeout_ = seconds;
}

bool TLChannel::isConnected() const {
  std::lock_guard lock(mutex_);
  return state_ == State::connected && !closeRequested_;
}

std::shared_ptr<TLReactor::Source> TLChannel::asSource() {
  return std::shared_ptr<TLReactor::Source>(shared_from_this(),
                                            static_cast<TLReactor::Source*>(this));
}

bool TLChannel::closeRequested() const {
  std::lock_guard lock(mutex_);
  return closeRequested_;
}

void TLChannel::deliverLater(SendCallback callback, std::error_code error) {
  if (!callback) return;
  reactor().post([callback = std::move(callback), error] { callback(error); });
}

bool TLChannel::beginConnecting(ConnectCallback& callback,
                                AddressConnectCallback& addressCallback) {
  std::error_code refusal;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::ended || closeRequested_) {
      refusal = posixError(ECANCELED);
    } else if (state_ != State::idle) {
      refusal = posixError(EISCONN);
    } else {
      // Stored with the state change, so a close racing this call always finds them.
      state_ = State::connecting;
      connectCallback_ = std::move(callback);
      addressCallback_ = std::move(addressCallback);
      return true;
    }
  }
  if (callback) deliverLater(std::move(callback), refusal);
  if (addressCallback) {
    reactor().post([addressCallback = std::move(addressCallback), refusal] {
      addressCallback(refusal, std::nullopt);
    });
  }
  return false;
}

void TLChannel::connectToPort(std::uint16_t port, const std::shared_ptr<TLUSBHub>& hub,
                              std::uint32_t deviceID, ConnectCallback callback) {
  AddressConnectCallback none;
  if (!beginConnecting(callback, none)) return;
  auto self = shared_from_this();
  if (!hub) {
    reactor().post([self] { self->finishUSBConnect(-1, TLErrorCode::hubUnavailable); });
    return;
  }
  hub->connectToDevice(deviceID, port, [self](int fd, std::error_code error) {
    reactor().post([self, fd, error] { self->finishUSBConnect(fd, error); });
  });
}

void TLChannel::connectToPort(std::uint16_t port, std::uint32_t ipv4Address,
                              AddressConnectCallback callback) {
  ConnectCallback none;
  if (!beginConnecting(none, callback)) return;
  auto self = shared_from_this();
  reactor().post([self, port, ipv4Address] { self->startTCPConnect(port, ipv4Address); });
}

void TLChannel::adoptConnectedSocket(int fd) {
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::idle || closeRequested_) {
      ::close(fd);
      return;
    }
    state_ = State::connected;
  }
  auto self = shared_from_this();
  reactor().post([self, fd] { self->attachSocket(fd); });
}

void TLChannel::startTCPConnect(std::uint16_t port, std::uint32_t ipv4Address) {
  double timeout;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::connecting) return;
    if (closeRequested_) {
      // The close that was requested meanwhile ends the attempt.
      return;
    }
    timeout = connectTimeout_;
  }
  peerAddress_ = ipv4Address;
  peerPort_ = port;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    end(posixError(errno));
    return;
  }
  fd_ = fd;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(ipv4Address);
  const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int connectErrno = result == 0 ? 0 : errno;
  if (result != 0 && connectErrno != EINPROGRESS) {
    end(posixError(connectErrno));
    return;
  }
  token_ = reactor().add(fd, result == 0 ? EPOLLIN | EPOLLRDHUP : EPOLLOUT, asSource());
  if (token_ == 0) {
    end(posixError(errno));
    return;
  }
  if (result == 0) {
    finishTCPConnect({});
    return;
  }
  auto self = shared_from_this();
  timer_ = reactor().schedule(timeout, [self] {
    self->timer_ = 0;
    bool connecting;
    {
      std::lock_guard lock(self->mutex_);
      connecting = self->state_ == State::connecting;
    }
    if (connecting) self->end(posixError(ETIMEDOUT));
  });
}

void TLChannel::finishTCPConnect(std::error_code error) {
  if (error) {
    end(error);
    return;
  }
  AddressConnectCallback callback;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::connecting) return;
    if (closeRequested_) {
      // Leave it to the pending close, which reports the cancellation.
      return;
    }
    state_ = State::connected;
    callback = std::move(addressCallback_);
  }
  if (timer_ != 0) {
    reactor().cancel(timer_);
    timer_ = 0;
  }
  // Pings measure the round trip; small frames must not wait for Nagle.
  const int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::optional<TLAddress> peer = TLAddress(peerAddress_, peerPort_);
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
      address.sin_family == AF_INET) {
    peer = TLAddress(ntohl(address.sin_addr.s_addr), ntohs(address.sin_port));
  }
  updateInterest();
  // The owner learns of the connection before the first frame is read.
  if (callback) callback({}, peer);
  flushSends();
}

void TLChannel::finishUSBConnect(int fd, std::error_code error) {
  ConnectCallback callback;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::connecting || closeRequested_) {
      if (fd >= 0) ::close(fd);
      return;
    }
    if (!error && fd < 0) error = TLErrorCode::hubUnavailable;
    if (!error) {
      state_ = State::connected;
      callback = std::move(connectCallback_);
    }
  }
  if (error) {
    if (fd >= 0) ::close(fd);
    end(error);
    return;
  }
  if (callback) callback({});
  attachSocket(fd);
}

void TLChannel::attachSocket(int fd) {
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::connected) {
      // Ended before the socket could be registered (a close raced the hand-over).
      ::close(fd);
      return;
    }
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  fd_ = fd;
  token_ = reactor().add(fd, EPOLLIN | EPOLLRDHUP, asSource());
  if (token_ == 0) {
    end(posixError(errno));
    return;
  }
  flushSends();
}

void TLChannel::handleEvents(std::uint32_t events) {
  State state;
  {
    std::lock_guard lock(mutex_);
    state = state_;
  }
  if (state == State::connecting) {
    int socketError = 0;
    socklen_t length = sizeof socketError;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &socketError, &length) != 0) socketError = errno;
    if (socketError == 0 && (events & (EPOLLERR | EPOLLHUP))) socketError = ECONNRESET;
    finishTCPConnect(socketError ? posixError(socketError) : std::error_code{});
    return;
  }
  if (state != State::connected || fd_ < 0) return;
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) readAvailable();
  if ((events & EPOLLOUT) && fd_ >= 0) flushSends();
}

void TLChannel::readAvailable() {
  std::array<std::uint8_t, kReadChunk> buffer;
  for (int i = 0; i < kMaxReadsPerEvent; ++i) {
    if (closeRequested()) return;
    const ssize_t count = ::read(fd_, buffer.data(), buffer.size());
    if (count > 0) {
      switch (decoder_.feed(std::span(buffer.data(), static_cast<std::size_t>(count)), *this)) {
        case TLFrameDecoder::Status::failed:
          end(decoder_.error());
          return;
        case TLFrameDecoder::Status::stopped:
          return;
        case TLFrameDecoder::Status::more:
          continue;
      }
    }
    if (count == 0) {
      end(decoder_.atFrameBoundary() ? std::error_code{}
                                     : std::error_code(TLErrorCode::truncatedFrame));
      return;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    end(posixError(errno));
    return;
  }
}

TLFrameDisposition TLChannel::frameHeaderReceived(const TLFrameHeader& header) {
  auto delegate = this->delegate();
  if (!delegate) return TLFrameDisposition::skip;
  const bool accepted =
      delegate->shouldAcceptFrame(shared_from_this(), header.type, header.tag, header.payloadSize);
  if (closeRequested()) return TLFrameDisposition::stop;
  return accepted ? TLFrameDisposition::accept : TLFrameDisposition::skip;
}

bool TLChannel::frameReceived(const TLFrameHeader& header, TLData payload) {
  if (auto delegate = this->delegate()) {
    delegate->didReceiveFrame(shared_from_this(), header.type, header.tag, &payload);
  }
  return !closeRequested();
}

void TLChannel::sendFrame(std::uint32_t type, std::uint32_t tag, std::optional<TLData> payload,
                          SendCallback callback) {
  if (payload && payload->size() > kTLMaxPayloadSize) {
    deliverLater(std::move(callback), posixError(EMSGSIZE));
    return;
  }
  const auto size = static_cast<std::uint32_t>(payload ? payload->size() : 0);
  PendingFrame frame{encodeFrameHeader({kTLProtocolVersion, type, tag, size}),
                     payload ? std::move(*payload) : TLData(), 0, std::move(callback)};
  std::error_code refusal;
  bool postFlush = false;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::idle || state_ == State::ended) {
      refusal = posixError(ENOTCONN);
    } else if (closeRequested_) {
      refusal = posixError(ECANCELED);
    } else {
      sendQueue_.push_back(std::move(frame));
      if (state_ == State::connected && !flushPosted_) {
        flushPosted_ = true;
        postFlush = true;
      }
    }
  }
  if (refusal) {
    deliverLater(std::move(frame.callback), refusal);
    return;
  }
  if (postFlush) {
    auto self = shared_from_this();
    reactor().post([self] { self->flushSends(); });
  }
}

void TLChannel::flushSends() {
  while (true) {
    PendingFrame* frame;
    {
      std::lock_guard lock(mutex_);
      flushPosted_ = false;
      if (state_ != State::connected || fd_ < 0) return;
      if (sendQueue_.empty()) {
        if (wantWrite_) {
          wantWrite_ = false;
          updateInterest();
        }
        return;
      }
      // Only this thread removes frames, and deque::push_back keeps references valid.
      frame = &sendQueue_.front();
    }
    iovec parts[2];
    int partCount = 0;
    std::size_t written = frame->written;
    if (written < kTLFrameHeaderSize) {
      parts[partCount++] = {frame->header.data() + written, kTLFrameHeaderSize - written};
      written = 0;
    } else {
      written -= kTLFrameHeaderSize;
    }
    if (written < frame->payload.size()) {
      parts[partCount++] = {frame->payload.data() + written, frame->payload.size() - written};
    }
    ssize_t count = 0;
    if (partCount > 0) {
      msghdr message{};
      message.msg_iov = parts;
      message.msg_iovlen = static_cast<std::size_t>(partCount);
      count = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
      if (count < 0 && errno == ENOTSOCK) count = ::writev(fd_, parts, partCount);
      if (count < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          if (!wantWrite_) {
            wantWrite_ = true;
            updateInterest();
          }
          return;
        }
        const auto error = posixError(errno);
        end(error, error);
        return;
      }
    }
    frame->written += static_cast<std::size_t>(count);
    if (frame->written < kTLFrameHeaderSize + frame->payload.size()) continue;
    SendCallback callback;
    {
      std::lock_guard lock(mutex_);
      callback = std::move(sendQueue_.front().callback);
      sendQueue_.pop_front();
    }
    if (callback) callback({});
  }
}

void TLChannel::updateInterest() {
  if (fd_ < 0 || token_ == 0) return;
  reactor().modify(token_, fd_, EPOLLIN | EPOLLRDHUP | (wantWrite_ ? EPOLLOUT : 0u));
}

void TLChannel::close() {
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::ended || closeRequested_) return;
    closeRequested_ = true;
  }
  auto self = shared_from_this();
  reactor().post([self] { self->end({}); });
}

void TLChannel::end(std::error_code error, std::error_code frontSendError) {
  auto self = shared_from_this();  // the reactor's reference goes below
  State previous;
  std::deque<PendingFrame> unsent;
  ConnectCallback connectCallback;
  AddressConnectCallback addressCallback;
  std::shared_ptr<TLChannelDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::ended) return;
    previous = state_;
    state_ = State::ended;
    closeRequested_ = true;
    unsent.swap(sendQueue_);
    connectCallback = std::move(connectCallback_);
    addressCallback = std::move(addressCallback_);
    delegate = delegate_.lock();
  }
  if (timer_ != 0) {
    reactor().cancel(timer_);
    timer_ = 0;
  }
  if (fd_ >= 0) {
    if (token_ != 0) reactor().remove(token_, fd_);
    ::close(fd_);
    fd_ = -1;
    token_ = 0;
  }
  if (previous == State::connecting) {
    const auto connectError = error ? error : posixError(ECANCELED);
    if (connectCallback) connectCallback(connectError);
    if (addressCallback) addressCallback(connectError, std::nullopt);
  }
  bool front = true;
  for (auto& frame : unsent) {
    const auto sendError = front && frontSendError ? frontSendError : posixError(ECANCELED);
    front = false;
    if (frame.callback) frame.callback(sendError);
  }
  if (previous == State::connected && delegate) delegate->didEnd(self, error);
}

}  // namespace platform
