#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "halyard/core/data_request.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/input_stream.h"
#include "platform/net/url.h"

namespace halyard {

struct Uploadable;

// A multipart form is built by the encoding layer; the session's factories hand it on by name.
class MultipartFormData;
using MultipartFormDataPtr = std::shared_ptr<MultipartFormData>;
// Forms at least this long are encoded into a file rather than in memory.
inline constexpr std::uint64_t multipartEncodingMemoryThreshold = 10'000'000;

// What makes the body of an upload; may throw.
class UploadableConvertible {
 public:
  virtual ~UploadableConvertible() = default;
  virtual Uploadable toUploadable() const = 0;
};

// An upload description: the URL request and the body.
class UploadConvertible : public UploadableConvertible, public URLRequestConvertible {};

using UploadConvertiblePtr = std::shared_ptr<const UploadConvertible>;
using UploadableConvertiblePtr = std::shared_ptr<const UploadableConvertible>;

// What an upload sends: bytes, a file (removed when the request ends if `shouldRemove`), or a
// stream the URL-loading session pulls from.
struct Uploadable : UploadableConvertible {
  struct Data {
    platform::Bytes data;
  };
  struct File {
    platform::URL url;
    bool shouldRemove = false;
  };
  struct Stream {
    platform::InputStreamPtr stream;
  };
  using Storage = std::variant<Data, File, Stream>;

  Uploadable(Storage storage) : storage(std::move(storage)) {}  // NOLINT: each case converts
  static Uploadable data(platform::Bytes bytes) { return Uploadable(Data{std::move(bytes)}); }
  static Uploadable file(platform::URL url, bool shouldRemove) {
    return Uploadable(File{std::move(url), shouldRemove});
  }
  static Uploadable stream(platform::InputStreamPtr stream) {
    return Uploadable(Stream{std::move(stream)});
  }

  // An uploadable is its own body.
  Uploadable toUploadable() const override { return *this; }

  Storage storage;
};

// A data request whose body is an uploadable: made from the upload description just before
// each attempt's task (a multipart form, for instance, is encoded then). The response side is
// the data request's.
class UploadRequest : public DataRequest {
 public:
  using Uploadable = halyard::Uploadable;

  UploadRequest(RequestContext context, UploadConvertiblePtr upload,
                platform::FileManagerPtr fileManager);

  const UploadConvertiblePtr& upload() const { return upload_; }
  const platform::FileManagerPtr& fileManager() const { return fileManager_; }
  // The body of the current attempt; read and written on the underlying queue only.
  const std::shared_ptr<const Uploadable>& uploadable() const { return uploadable_; }
  void setUploadable(std::shared_ptr<const Uploadable> uploadable);

  // The session made the attempt's body.
  virtual void recordUploadable(const Uploadable& uploadable);
  // The session could not make it: the error is recorded and retry-or-complete decides.
  virtual void recordUploadableFailure(const HalyardError& error);
  // The stream of a stream body, the same object every time it is asked for.
  virtual platform::InputStreamPtr provideInputStream();

  void resetState() override;
  URLSessionTaskPtr makeTask(const platform::URLRequest& request,
                             const URLSessionPtr& session) override;
  void performWith(RequestPerformer& performer) override;
  // Removes every temporary body file an attempt made (`shouldRemove`), then finishes.
  void runFinishHandlersAndCleanUp() override;

 private:
  std::shared_ptr<UploadRequest> sharedUpload() {
    return std::static_pointer_cast<UploadRequest>(shared_from_this());
  }

  const UploadConvertiblePtr upload_;
  const platform::FileManagerPtr fileManager_;
  std::shared_ptr<const Uploadable> uploadable_;
  // Files to remove when the request ends: those of earlier attempts too, not just the last.
  std::vector<platform::URL> temporaryFiles_;
};

using UploadRequestPtr = std::shared_ptr<UploadRequest>;

}  // namespace halyard
