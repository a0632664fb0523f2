#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/net/http_url_response.h"
#include "platform/net/url_request.h"

namespace platform {

// Timings of one request-response exchange of a task: one per response head (each redirect
// hop has its own); the final exchange carries the detailed phases. A phase that did not
// happen (a reused connection has no connect) is absent.
struct URLSessionTaskTransactionMetrics {
  enum class ResourceFetchType { unknown, networkLoad, localCache };

  URLRequest request;
  URLResponsePtr response;
  std::optional<Date> fetchStartDate;
  std::optional<Date> domainLookupStartDate;
  std::optional<Date> domainLookupEndDate;
  std::optional<Date> connectStartDate;
  std::optional<Date> connectEndDate;
  std::optional<Date> secureConnectionStartDate;
  std::optional<Date> secureConnectionEndDate;
  std::optional<Date> requestStartDate;
  std::optional<Date> requestEndDate;
  std::optional<Date> responseStartDate;
  std::optional<Date> responseEndDate;
  std::optional<std::string> networkProtocolName;  // "http/1.1", "h2"
  bool isReusedConnection = false;
  ResourceFetchType resourceFetchType = ResourceFetchType::unknown;
  std::int64_t countOfRequestBodyBytesSent = 0;
  std::int64_t countOfResponseBodyBytesReceived = 0;
  std::optional<std::string> remoteAddress;
  std::optional<int> remotePort;
};

// What a task's transfer took. Delivered exactly once per task, just before its completion.
struct URLSessionTaskMetrics {
  struct Interval {
    Date start;
    double duration = 0;  // seconds
    Date end() const { return start + duration; }
    bool operator==(const Interval&) const = default;
  };

  Interval taskInterval;  // from the task's creation to its completion
  int redirectCount = 0;
  std::vector<URLSessionTaskTransactionMetrics> transactionMetrics;
};

}  // namespace platform
