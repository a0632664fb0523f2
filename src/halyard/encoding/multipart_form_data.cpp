#include "halyard/encoding/multipart_form_data.h"

#include <fmt/format.h>
#include <sys/random.h>

#include <cerrno>
#include <filesystem>
#include <limits>

#include "platform/foundation/log.h"
#include "platform/foundation/mime_types.h"

namespace halyard {

namespace {

using Reason = HalyardError::MultipartEncodingFailureReason;

const std::string kCRLF = "\r\n";
constexpr std::string_view kHeadBreakers("\r\n\0", 3);

void append(platform::Bytes& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

// Text that goes between double quotes in a header: a quote would end it early and a line
// break would start a header of the sender's choosing.
std::string escapedQuotedText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '"':
        out += "%22";
        break;
      case '\r':
        out += "%0D";
        break;
      case '\n':
        out += "%0A";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::uint32_t secureRandom32() {
  std::uint64_t value = 0;
  auto* bytes = reinterpret_cast<char*>(&value);
  std::size_t filled = 0;
  while (filled < sizeof value) {
    const ssize_t got = getrandom(bytes + filled, sizeof value - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      platform::fatal("MultipartFormData: the system's secure random source failed");
    }
    filled += static_cast<std::size_t>(got);
  }
  return static_cast<std::uint32_t>(value);
}

HalyardError failure(Reason::Storage reason) {
  return HalyardError::multipartEncodingFailed(std::move(reason));
}

platform::ErrorPtr streamFailure(const platform::ErrorPtr& error, const char* what) {
  if (error) return error;
  return platform::makeError(platform::StreamError(EIO, what));
}

}  // namespace

MultipartFormData::MultipartFormData(platform::FileManagerPtr fileManager,
                                     std::optional<std::string> boundary)
    : boundary_(boundary ? std::move(*boundary) : makeRandomBoundary()),
      fileManager_(fileManager ? std::move(fileManager) : platform::FileManager::defaultManager()) {
}

std::string MultipartFormData::makeRandomBoundary() {
  const std::uint32_t first = secureRandom32();
  const std::uint32_t second = secureRandom32();
  return fmt::format("halyard.boundary.{:08x}{:08x}", first, second);
}

std::string MultipartFormData::mimeTypeForPathExtension(const std::string& pathExtension) {
  return platform::MimeTypes::system()
      .preferredTypeForExtension(pathExtension)
      .value_or("application/octet-stream");
}

HTTPHeaders MultipartFormData::makeContentHeaders(const std::string& name,
                                                  const std::optional<std::string>& fileName,
                                                  const std::optional<std::string>& mimeType) {
  std::string disposition = "form-data; name=\"" + escapedQuotedText(name) + "\"";
  if (fileName) disposition += "; filename=\"" + escapedQuotedText(*fileName) + "\"";
  HTTPHeaders headers{HTTPHeader{"Content-Disposition", disposition}};
  if (mimeType) headers.replaceOrAppend("Content-Type", *mimeType);
  return headers;
}

const std::string& MultipartFormData::contentType() {
  if (!contentType_) contentType_ = "multipart/form-data; boundary=" + boundary_;
  return *contentType_;
}

void MultipartFormData::setContentType(std::string contentType) {
  contentType_ = std::move(contentType);
}

std::uint64_t MultipartFormData::totalBodyLength() const {
  std::uint64_t total = 0;
  for (const auto& part : bodyParts_) {
    if (part->bodyContentLength > std::numeric_limits<std::uint64_t>::max() - total) {
      return std::numeric_limits<std::uint64_t>::max();
    }
    total += part->bodyContentLength;
  }
  return total;
}

void MultipartFormData::appendData(const platform::Bytes& data, const std::string& name,
                                   const std::optional<std::string>& fileName,
                                   const std::optional<std::string>& mimeType) {
  appendBodyPart(platform::InputStream::withData(data), data.size(),
                 makeContentHeaders(name, fileName, mimeType));
}

void MultipartFormData::appendFile(const platform::URL& fileURL, const std::string& name) {
  const std::string fileName = fileURL.lastPathComponent();
  const std::string pathExtension = fileURL.pathExtension();
  if (fileName.empty() || pathExtension.empty()) {
    recordBodyPartError(Reason::BodyPartFilenameInvalid{fileURL});
    return;
  }
  appendFileNamed(fileURL, name, fileName, mimeTypeForPathExtension(pathExtension));
}

void MultipartFormData::appendFileNamed(const platform::URL& fileURL, const std::string& name,
                                        const std::string& fileName, const std::string& mimeType) {
  if (!fileURL.isFileURL()) {
    recordBodyPartError(Reason::BodyPartURLInvalid{fileURL});
    return;
  }
  const std::string path = fileURL.path();
  try {
    if (!fileManager_->checkResourceIsReachable(path)) {
      recordBodyPartError(Reason::BodyPartFileNotReachable{fileURL});
      return;
    }
  } catch (...) {
    recordBodyPartError(Reason::BodyPartFileNotReachableWithError{fileURL, currentError()});
    return;
  }
  bool isDirectory = false;
  if (!fileManager_->fileExistsAtPath(path, &isDirectory) || isDirectory) {
    recordBodyPartError(Reason::BodyPartFileIsDirectory{fileURL});
    return;
  }
  platform::FileAttributes attributes;
  try {
    attributes = fileManager_->attributesOfItemAtPath(path);
    // The size of the file a link leads to is what the stream will give.
    if (attributes.type == platform::FileAttributes::Type::symbolicLink) {
      attributes = fileManager_->attributesOfItemAtPath(std::filesystem::canonical(path));
    }
  } catch (...) {
    recordBodyPartError(Reason::BodyPartFileSizeQueryFailedWithError{fileURL, currentError()});
    return;
  }
  // Only a regular file has a size that tells how many bytes reading it gives.
  if (attributes.type != platform::FileAttributes::Type::regular) {
    recordBodyPartError(Reason::BodyPartFileSizeNotAvailable{fileURL});
    return;
  }
  auto stream = platform::InputStream::withFileAtPath(path);
  if (!stream) {
    recordBodyPartError(Reason::BodyPartInputStreamCreationFailed{fileURL});
    return;
  }
  appendBodyPart(stream, attributes.size, makeContentHeaders(name, fileName, mimeType));
}

void MultipartFormData::appendStreamNamed(const platform::InputStreamPtr& stream,
                                          std::uint64_t length, const std::string& name,
                                          const std::string& fileName,
                                          const std::string& mimeType) {
  appendBodyPart(stream, length, makeContentHeaders(name, fileName, mimeType));
}

void MultipartFormData::appendBodyPart(const platform::InputStreamPtr& stream, std::uint64_t length,
                                       const HTTPHeaders& headers) {
  // Every field of the part head is checked here, whoever made it: a line break or NUL in a name
  // or value (a caller's media type, say) would write part-head lines of its own.
  for (const auto& header : headers) {
    if (header.name.find_first_of(kHeadBreakers) != std::string::npos ||
        header.value.find_first_of(kHeadBreakers) != std::string::npos) {
      recordBodyPartError(Reason::BodyPartHeaderInvalid{header.name});
      return;
    }
  }
  bodyParts_.push_back(std::make_shared<BodyPart>(headers, stream, length));
}

void MultipartFormData::recordBodyPartError(Reason::Storage reason) {
  if (!bodyPartError_) bodyPartError_ = failure(std::move(reason));
}

void MultipartFormData::markBoundaries() {
  if (bodyParts_.empty()) return;
  bodyParts_.front()->hasInitialBoundary = true;
  bodyParts_.back()->hasFinalBoundary = true;
}

platform::Bytes MultipartFormData::openingBoundary(const BodyPart& part) const {
  platform::Bytes out;
  if (!part.hasInitialBoundary) append(out, kCRLF);
  append(out, "--" + boundary_ + kCRLF);
  return out;
}

platform::Bytes MultipartFormData::closingBoundary() const {
  platform::Bytes out;
  append(out, kCRLF + "--" + boundary_ + "--" + kCRLF);
  return out;
}

platform::Bytes MultipartFormData::encodeHeaders(const BodyPart& part) {
  platform::Bytes out;
  for (const auto& header : part.headers) {
    append(out, header.name + ": " + header.value + kCRLF);
  }
  append(out, kCRLF);
  return out;
}

platform::Bytes MultipartFormData::encodeAll() {
  if (bodyPartError_) throw *bodyPartError_;
  markBoundaries();
  platform::Bytes encoded;
  for (const auto& part : bodyParts_) {
    const platform::Bytes bytes = encodeBodyPart(*part);
    encoded.insert(encoded.end(), bytes.begin(), bytes.end());
  }
  return encoded;
}

platform::Bytes MultipartFormData::encodeBodyPart(BodyPart& part) {
  platform::Bytes encoded = openingBoundary(part);
  const platform::Bytes headers = encodeHeaders(part);
  encoded.insert(encoded.end(), headers.begin(), headers.end());
  const platform::Bytes body = encodeBodyStream(part);
  encoded.insert(encoded.end(), body.begin(), body.end());
  if (part.hasFinalBoundary) {
    const platform::Bytes closing = closingBoundary();
    encoded.insert(encoded.end(), closing.begin(), closing.end());
  }
  return encoded;
}

platform::Bytes MultipartFormData::encodeBodyStream(BodyPart& part) {
  auto& stream = *part.bodyStream;
  stream.open();
  platform::Bytes body;
  while (stream.hasBytesAvailable()) {
    std::uint8_t buffer[streamBufferSize] = {};
    const auto count = stream.read(buffer, streamBufferSize);
    if (stream.streamStatus() == platform::StreamStatus::error || count < 0) {
      const auto error = streamFailure(stream.streamError(), "reading a body part");
      stream.close();
      throw failure(Reason::InputStreamReadFailed{error});
    }
    if (count == 0) break;
    body.insert(body.end(), buffer, buffer + count);
  }
  if (body.size() != part.bodyContentLength) {
    stream.close();
    throw failure(Reason::InputStreamReadFailed{platform::makeError(
        HalyardError::UnexpectedInputStreamLength(part.bodyContentLength, body.size()))});
  }
  stream.close();
  return body;
}

platform::OutputStreamPtr MultipartFormData::makeOutputStream(const platform::URL& fileURL) {
  return platform::OutputStream::toFileAtPath(fileURL.path(), false);
}

void MultipartFormData::writeEncoded(const platform::URL& fileURL) {
  if (bodyPartError_) throw *bodyPartError_;
  if (fileManager_->fileExistsAtPath(fileURL.path())) {
    throw failure(Reason::OutputStreamFileAlreadyExists{fileURL});
  }
  if (!fileURL.isFileURL()) throw failure(Reason::OutputStreamURLInvalid{fileURL});
  auto output = makeOutputStream(fileURL);
  if (!output) throw failure(Reason::OutputStreamCreationFailed{fileURL});
  output->open();
  markBoundaries();
  std::optional<HalyardError> error;
  try {
    if (output->streamStatus() == platform::StreamStatus::error) {
      throw failure(Reason::OutputStreamWriteFailed{
          streamFailure(output->streamError(), "opening the body file")});
    }
    for (const auto& part : bodyParts_) {
      writeBodyPart(*part, *output);
    }
  } catch (const HalyardError& thrown) {
    error = thrown;
  }
  output->close();
  // A failure to finish the file (delayed write errors show at closing) fails the body too.
  if (!error && output->streamStatus() == platform::StreamStatus::error) {
    error = failure(Reason::OutputStreamWriteFailed{
        streamFailure(output->streamError(), "closing the body file")});
  }
  if (error) throw *error;
}

void MultipartFormData::writeBodyPart(BodyPart& part, platform::OutputStream& output) {
  writeBytes(openingBoundary(part), output);
  writeBytes(encodeHeaders(part), output);
  writeBodyStream(part, output);
  if (part.hasFinalBoundary) writeBytes(closingBoundary(), output);
}

void MultipartFormData::writeBodyStream(BodyPart& part, platform::OutputStream& output) {
  auto& stream = *part.bodyStream;
  stream.open();
  std::uint64_t left = part.bodyContentLength;
  while (stream.hasBytesAvailable() && left > 0) {
    std::uint8_t buffer[streamBufferSize] = {};
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(streamBufferSize, left));
    const auto count = stream.read(buffer, wanted);
    if (stream.streamStatus() == platform::StreamStatus::error || count < 0) {
      const auto error = streamFailure(stream.streamError(), "reading a body part");
      stream.close();
      throw failure(Reason::InputStreamReadFailed{error});
    }
    if (count == 0) break;
    try {
      writeBytes(platform::Bytes(buffer, buffer + count), output);
    } catch (...) {
      stream.close();
      throw;
    }
    left -= static_cast<std::uint64_t>(count);
  }
  stream.close();
  // A part that ends early would leave a body shorter than announced and its boundaries out
  // of place.
  if (left > 0) {
    throw failure(
        Reason::InputStreamReadFailed{platform::makeError(HalyardError::UnexpectedInputStreamLength(
            part.bodyContentLength, part.bodyContentLength - left))});
  }
}

void MultipartFormData::writeBytes(const platform::Bytes& bytes, platform::OutputStream& output) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    // A sink that takes nothing more before everything is written has failed (a full disk).
    if (!output.hasSpaceAvailable()) {
      throw failure(Reason::OutputStreamWriteFailed{
          streamFailure(output.streamError(), "the body file takes no more bytes")});
    }
    const auto count = output.write(bytes.data() + written, bytes.size() - written);
    if (count <= 0 || output.streamStatus() == platform::StreamStatus::error) {
      throw failure(Reason::OutputStreamWriteFailed{
          streamFailure(output.streamError(), "writing the body file")});
    }
    written += static_cast<std::size_t>(count);
  }
}

}  // namespace halyard
