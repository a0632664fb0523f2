#include "halyard/encoding/deflate_request_compressor.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

#include "halyard/core/http_header_views.h"

namespace halyard {

std::string DeflateRequestCompressor::DuplicateHeaderError::localizedDescription() const {
  return "The request already has a Content-Encoding header.";
}

std::string DeflateRequestCompressor::CompressionError::localizedDescription() const {
  return "The request body could not be compressed: " + message_ + " (zlib " +
         std::to_string(code_) + ").";
}

DeflateRequestCompressor::DeflateRequestCompressor(
    DuplicateHeaderBehavior duplicateHeaderBehavior,
    std::function<bool(const platform::Bytes&)> shouldCompressBodyData)
    : duplicateHeaderBehavior_(duplicateHeaderBehavior),
      shouldCompressBodyData_(shouldCompressBodyData
                                  ? std::move(shouldCompressBodyData)
                                  : [](const platform::Bytes&) { return true; }) {}

void DeflateRequestCompressor::compressRequestBody(const platform::URLRequest& urlRequest,
                                                   const std::shared_ptr<Session>&,
                                                   AdaptCompletion completion) const {
  if (!urlRequest.httpBody) {
    completion(urlRequest);
    return;
  }
  const platform::Bytes& body = *urlRequest.httpBody;
  if (!shouldCompressBodyData_(body)) {
    completion(urlRequest);
    return;
  }
  HTTPHeaders headers = httpHeaders(urlRequest);
  if (headers.valueForName("Content-Encoding")) {
    switch (duplicateHeaderBehavior_) {
      case DuplicateHeaderBehavior::error:
        completion(std::unexpected(platform::makeError(DuplicateHeaderError())));
        return;
      case DuplicateHeaderBehavior::skip:
        completion(urlRequest);
        return;
      case DuplicateHeaderBehavior::replace:
        break;
    }
  }
  platform::Bytes compressed;
  try {
    compressed = deflate(body);
  } catch (const CompressionError& error) {
    completion(std::unexpected(platform::makeError(error)));
    return;
  }
  platform::URLRequest adapted = urlRequest;
  adapted.httpBody = std::move(compressed);
  headers.replaceOrAppend("Content-Encoding", "deflate");
  setHTTPHeaders(adapted, headers);
  completion(std::move(adapted));
}

void DeflateRequestCompressor::adaptForSession(const platform::URLRequest& urlRequest,
                                               const std::shared_ptr<Session>& session,
                                               AdaptCompletion completion) {
  compressRequestBody(urlRequest, session, std::move(completion));
}

platform::Bytes DeflateRequestCompressor::deflate(const platform::Bytes& data) {
  z_stream stream{};
  // Negative window bits: a raw DEFLATE stream; the zlib header and checksum are added here.
  int status = deflateInit2(&stream, 5, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  if (status != Z_OK) throw CompressionError(status, "the compressor could not be set up");

  platform::Bytes out = {0x78, 0x5E};
  const std::size_t start = out.size();
  out.resize(start + deflateBound(&stream, 0) + 64);
  std::size_t produced = start;
  std::size_t consumed = 0;
  constexpr std::size_t kChunk = std::numeric_limits<uInt>::max();
  do {
    const std::size_t pieceIn = std::min(kChunk, data.size() - consumed);
    stream.next_in = const_cast<Bytef*>(data.data() + consumed);
    stream.avail_in = static_cast<uInt>(pieceIn);
    const int flush = consumed + pieceIn == data.size() ? Z_FINISH : Z_NO_FLUSH;
    do {
      if (out.size() - produced < 65536)
        out.resize(out.size() + std::max<std::size_t>(65536, out.size() / 2));
      const std::size_t room = std::min(kChunk, out.size() - produced);
      stream.next_out = out.data() + produced;
      stream.avail_out = static_cast<uInt>(room);
      status = ::deflate(&stream, flush);
      produced += room - stream.avail_out;
      if (status == Z_STREAM_ERROR) {
        deflateEnd(&stream);
        throw CompressionError(status, "the compressor failed");
      }
    } while (stream.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
    consumed += pieceIn;
  } while (consumed < data.size());
  deflateEnd(&stream);
  out.resize(produced);

  const std::uint32_t checksum = adler32(data);
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(checksum >> shift));
  }
  return out;
}

std::uint32_t DeflateRequestCompressor::adler32(const platform::Bytes& data) {
  return static_cast<std::uint32_t>(::adler32_z(1, data.data(), data.size()));
}

}  // namespace halyard
