#pragma once

#include <memory>

namespace halyard {

class Request;
class URLRequestConvertible;
class UploadRequest;
class DownloadRequest;

// How a session sets up a request's first attempt, one step per way a request kind gets its
// URL request. A request picks its step itself (`Request::performWith`), so the session needs
// no list of kinds.
class RequestPerformer {
 public:
  virtual ~RequestPerformer() = default;

  // A kind whose every task comes from the URL request `convertible` makes.
  virtual void performWithConvertible(const std::shared_ptr<Request>& request,
                                      const URLRequestConvertible& convertible) = 0;
  // An upload, whose body is made for each attempt.
  virtual void performUploadRequest(const std::shared_ptr<UploadRequest>& request) = 0;
  // A download: from a URL request, or straight from resume data.
  virtual void performDownloadRequest(const std::shared_ptr<DownloadRequest>& request) = 0;
};

}  // namespace halyard
