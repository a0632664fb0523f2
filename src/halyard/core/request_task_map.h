#pragma once

#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "halyard/core/request.h"

namespace halyard {

// The session's map from URL-loading tasks to their requests, with whether each task's
// completion and metrics have arrived. Lives on the session's root queue.
class RequestTaskMap {
 public:
  struct Events {
    bool completed = false;
    bool metricsGathered = false;
    bool operator==(const Events&) const = default;
  };

  // Associates `request` with a new task whose events have not arrived.
  void setTask(const URLSessionTaskPtr& task, const RequestPtr& request);
  // Forgets the task; a task that is not mapped stops the program.
  void removeTask(const URLSessionTaskPtr& task);

  RequestPtr requestForTask(const URLSessionTaskPtr& task) const;
  std::optional<Events> eventsForTask(const URLSessionTaskPtr& task) const;
  void setEvents(const URLSessionTaskPtr& task, Events events);
  std::vector<RequestPtr> requests() const;
  bool empty() const { return tasksToRequests_.empty(); }
  std::size_t size() const { return tasksToRequests_.size(); }

 private:
  // A task's request and events share one entry, so neither is ever there without the other.
  struct TaskEntry {
    RequestPtr request;
    Events events;
  };
  std::unordered_map<URLSessionTaskPtr, TaskEntry> tasksToRequests_;
};

}  // namespace halyard
