#include "halyard/core/input_stream_bridge.h"

namespace halyard {

std::shared_ptr<InputStreamBridge> InputStreamBridge::make(platform::BoundOutputStreamPtr output,
                                                           std::int64_t bufferSize,
                                                           platform::DispatchQueuePtr queue) {
  std::shared_ptr<InputStreamBridge> bridge(
      new InputStreamBridge(std::move(output), bufferSize, std::move(queue)));
  std::weak_ptr<InputStreamBridge> weak = bridge;
  bridge->output_->setSpaceAvailableHandler([weak, queue = bridge->queue_] {
    queue->async([weak] {
      if (auto self = weak.lock()) self->roomAgain();
    });
  });
  return bridge;
}

void InputStreamBridge::write(const platform::Bytes& chunk,
                              const std::shared_ptr<platform::URLSessionDataTask>& task) {
  queue_->dispatchPrecondition();
  if (ended_ || chunk.empty()) return;
  if (task) task_ = task;
  pending_.push_back(chunk);
  waiting_ += std::int64_t(chunk.size());
  flush();
  updateHold();
}

void InputStreamBridge::finish() {
  queue_->dispatchPrecondition();
  finishing_ = true;
  flush();
  if (ended_) return;
  if (pending_.empty()) {
    end();
  } else {
    keepAlive_ = shared_from_this();
  }
  updateHold();
}

void InputStreamBridge::abandon() {
  queue_->dispatchPrecondition();
  pending_.clear();
  waiting_ = 0;
  end();
}

void InputStreamBridge::flush() {
  while (!ended_ && !pending_.empty()) {
    const platform::Bytes& front = pending_.front();
    const auto written = output_->write(front.data() + frontOffset_, front.size() - frontOffset_);
    if (written < 0) {
      // The reader is gone: later bytes go to the handlers only.
      pending_.clear();
      waiting_ = 0;
      end();
      return;
    }
    if (written == 0) return;
    frontOffset_ += std::size_t(written);
    waiting_ -= written;
    if (frontOffset_ == front.size()) {
      pending_.pop_front();
      frontOffset_ = 0;
    }
  }
}

void InputStreamBridge::roomAgain() {
  queue_->dispatchPrecondition();
  flush();
  if (finishing_ && pending_.empty()) end();
  updateHold();
}

void InputStreamBridge::updateHold() {
  const bool wantHold = !ended_ && !finishing_ && waiting_ > bufferSize_;
  if (wantHold && !heldTask_) {
    heldTask_ = task_.lock();
    if (heldTask_) heldTask_->holdReceiving();
  } else if (!wantHold && heldTask_) {
    heldTask_->releaseReceiving();
    heldTask_.reset();
  }
}

void InputStreamBridge::end() {
  if (ended_) return;
  ended_ = true;
  output_->setSpaceAvailableHandler(nullptr);
  output_->close();
  updateHold();
  keepAlive_.reset();
}

}  // namespace halyard
