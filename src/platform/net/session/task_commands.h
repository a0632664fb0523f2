#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/date.h"
#include "platform/net/session/detail/once_handler.h"
#include "platform/net/url_session.h"
#include "platform/net/web_socket_connection.h"

namespace platform::net_detail {

struct TaskShared;
struct TaskSource;

// What a task asks of the engine that runs it, and all it may ask: each command is carried out
// on the engine's I/O thread, in the order given. False when the session has stopped (or, for
// `resume`, is gone), and the command was not taken.
class TaskCommands {
 public:
  virtual ~TaskCommands() = default;

  // The session is looked up by the caller's thread, so a session dropped right after resuming
  // a task lives until the task ends.
  virtual bool resume(std::shared_ptr<URLSessionTask> task) = 0;
  virtual bool suspend(std::uint64_t identifier) = 0;
  virtual bool cancel(std::shared_ptr<URLSessionTask> task, int closeCode,
                      std::optional<Bytes> closeReason) = 0;
  virtual bool cancelProducingResumeData(
      std::shared_ptr<URLSessionTask> task,
      std::shared_ptr<OnceHandler<std::optional<Bytes>>> handler) = 0;
  // A data task's receive holds changed.
  virtual bool receiveHoldChanged(std::uint64_t identifier) = 0;
  // The task went away: it no longer counts among the engine's tasks.
  virtual void taskGone(TaskShared& shared) = 0;
  // How a web socket's connection reaches the I/O thread and the delegate queue.
  virtual WebSocketConnection::SessionHooks webSocketHooks() = 0;
};

// What the engine reads of a task that the task keeps to itself; nothing else of the task's
// own is open to it.
struct TaskInternals {
  static const std::shared_ptr<TaskShared>& shared(const URLSessionTask& task) {
    return task.shared_;
  }
  static const TaskSource* source(const URLSessionTask& task) { return task.source_.get(); }
  static Date createdAt(const URLSessionTask& task) { return task.createdAt_; }
  static const std::shared_ptr<WebSocketConnection>& connection(
      const URLSessionWebSocketTask& task) {
    return task.connection_;
  }
};

}  // namespace platform::net_detail
