#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "halyard/core/request_interceptor.h"
#include "platform/foundation/error.h"
#include "platform/net/url_request.h"

namespace halyard {

// An adapter that compresses a request's body into the zlib format (a two-byte header, a raw
// DEFLATE stream and the Adler-32 checksum of the original body) and marks the request with
// "Content-Encoding: deflate".
class DeflateRequestCompressor : public RequestInterceptor {
 public:
  // What to do with a request that already carries a "Content-Encoding".
  enum class DuplicateHeaderBehavior { error, replace, skip };

  // The request already says how its body is encoded.
  class DuplicateHeaderError : public platform::Error {
   public:
    std::string localizedDescription() const override;
  };

  // zlib could not compress the body.
  class CompressionError : public platform::Error {
   public:
    CompressionError(int code, std::string message) : code_(code), message_(std::move(message)) {}
    int code() const { return code_; }
    std::string localizedDescription() const override;

   private:
    int code_;
    std::string message_;
  };

  explicit DeflateRequestCompressor(
      DuplicateHeaderBehavior duplicateHeaderBehavior = DuplicateHeaderBehavior::error,
      std::function<bool(const platform::Bytes&)> shouldCompressBodyData = nullptr);

  DuplicateHeaderBehavior duplicateHeaderBehavior() const { return duplicateHeaderBehavior_; }
  const std::function<bool(const platform::Bytes&)>& shouldCompressBodyData() const {
    return shouldCompressBodyData_;
  }

  // Answers before it returns, on the calling thread.
  void compressRequestBody(const platform::URLRequest& urlRequest,
                           const std::shared_ptr<Session>& session,
                           AdaptCompletion completion) const;
  void adaptForSession(const platform::URLRequest& urlRequest,
                       const std::shared_ptr<Session>& session,
                       AdaptCompletion completion) override;

  // 0x78 0x5E, the raw DEFLATE stream of `data`, its Adler-32 (most significant byte first).
  // Throws `CompressionError`.
  static platform::Bytes deflate(const platform::Bytes& data);
  // zlib's Adler-32 of all of `data` from the start value 1 (any length).
  static std::uint32_t adler32(const platform::Bytes& data);

 private:
  DuplicateHeaderBehavior duplicateHeaderBehavior_;
  std::function<bool(const platform::Bytes&)> shouldCompressBodyData_;
};

}  // namespace halyard
