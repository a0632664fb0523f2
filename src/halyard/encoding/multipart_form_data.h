#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "halyard/core/halyard_error.h"
#include "halyard/core/http_headers.h"
#include "halyard/core/upload_request.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/input_stream.h"
#include "platform/foundation/output_stream.h"
#include "platform/net/url.h"
#include "platform/net/url_request.h"

namespace halyard {

// A multipart/form-data body built from an ordered list of parts: bytes in memory, files and
// streams. Adding a part only records its stream and length; the body is produced later, in
// memory (`encodeAll`) or into a file (`writeEncoded`), once: encoding consumes the parts'
// streams. A part that cannot be added (an unreadable file, say) is skipped and its failure,
// the first one only, is raised by the encoding.
//
// Not thread-safe: one thread at a time (the multipart upload keeps it behind a lock).
class MultipartFormData {
 public:
  // One part: its headers, where its bytes come from and how many there are.
  class BodyPart {
   public:
    BodyPart(HTTPHeaders headers, platform::InputStreamPtr bodyStream,
             std::uint64_t bodyContentLength)
        : headers(std::move(headers)),
          bodyStream(std::move(bodyStream)),
          bodyContentLength(bodyContentLength) {}
    HTTPHeaders headers;
    platform::InputStreamPtr bodyStream;
    std::uint64_t bodyContentLength;
    bool hasInitialBoundary = false;
    bool hasFinalBoundary = false;
  };

  static constexpr std::uint64_t defaultEncodingMemoryThreshold = multipartEncodingMemoryThreshold;
  // The piece size in which part streams are read.
  static constexpr std::size_t streamBufferSize = 1024;

  explicit MultipartFormData(
      platform::FileManagerPtr fileManager = platform::FileManager::defaultManager(),
      std::optional<std::string> boundary = std::nullopt);
  virtual ~MultipartFormData() = default;
  MultipartFormData(const MultipartFormData&) = delete;
  MultipartFormData& operator=(const MultipartFormData&) = delete;

  // "halyard.boundary." followed by 16 lower-case hexadecimal digits drawn from the system's
  // secure random source.
  static std::string makeRandomBoundary();
  // The media type the platform's type table gives the extension, or
  // "application/octet-stream".
  static std::string mimeTypeForPathExtension(const std::string& pathExtension);
  // "Content-Disposition: form-data; name="…"" (with "; filename="…"" when given), then
  // "Content-Type" when given. Quotes and line breaks inside the name and file name are
  // percent-escaped (%22, %0D, %0A): they would otherwise end the quoted text or the header.
  static HTTPHeaders makeContentHeaders(const std::string& name,
                                        const std::optional<std::string>& fileName = std::nullopt,
                                        const std::optional<std::string>& mimeType = std::nullopt);

  // "multipart/form-data; boundary=" + boundary, unless replaced.
  virtual const std::string& contentType();
  virtual void setContentType(std::string contentType);
  const std::string& boundary() const { return boundary_; }
  const platform::FileManagerPtr& fileManager() const { return fileManager_; }
  const std::vector<std::shared_ptr<BodyPart>>& bodyParts() const { return bodyParts_; }
  const std::optional<HalyardError>& bodyPartError() const { return bodyPartError_; }
  // The sum of the parts' lengths (at most the largest 64-bit count).
  virtual std::uint64_t totalBodyLength() const;

  virtual void appendData(const platform::Bytes& data, const std::string& name,
                          const std::optional<std::string>& fileName = std::nullopt,
                          const std::optional<std::string>& mimeType = std::nullopt);
  // The file name is the URL's last path component and the type follows its extension.
  virtual void appendFile(const platform::URL& fileURL, const std::string& name);
  virtual void appendFileNamed(const platform::URL& fileURL, const std::string& name,
                               const std::string& fileName, const std::string& mimeType);
  virtual void appendStreamNamed(const platform::InputStreamPtr& stream, std::uint64_t length,
                                 const std::string& name, const std::string& fileName,
                                 const std::string& mimeType);
  virtual void appendBodyPart(const platform::InputStreamPtr& stream, std::uint64_t length,
                              const HTTPHeaders& headers);

  // The whole body; throws `HalyardError`. A part whose stream gives another number of bytes
  // than announced fails the encoding (`UnexpectedInputStreamLength`).
  virtual platform::Bytes encodeAll();
  // The whole body into a new file (never an existing one); throws `HalyardError`. A part
  // whose stream ends early, and a write that cannot be completed (a full disk), fail it.
  virtual void writeEncoded(const platform::URL& fileURL);
  virtual platform::Bytes encodeBodyPart(BodyPart& part);
  // Keeps the first failure only.
  virtual void recordBodyPartError(HalyardError::MultipartEncodingFailureReason::Storage reason);

 protected:
  // The stream `writeEncoded` writes into; none when it cannot be made.
  virtual platform::OutputStreamPtr makeOutputStream(const platform::URL& fileURL);

 private:
  void markBoundaries();
  platform::Bytes openingBoundary(const BodyPart& part) const;
  platform::Bytes closingBoundary() const;
  static platform::Bytes encodeHeaders(const BodyPart& part);
  platform::Bytes encodeBodyStream(BodyPart& part);
  void writeBodyPart(BodyPart& part, platform::OutputStream& output);
  void writeBodyStream(BodyPart& part, platform::OutputStream& output);
  static void writeBytes(const platform::Bytes& bytes, platform::OutputStream& output);

  std::optional<std::string> contentType_;
  const std::string boundary_;
  const platform::FileManagerPtr fileManager_;
  std::vector<std::shared_ptr<BodyPart>> bodyParts_;
  std::optional<HalyardError> bodyPartError_;
};

}  // namespace halyard
