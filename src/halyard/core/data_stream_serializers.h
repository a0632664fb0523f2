#pragma once

#include <concepts>
#include <span>
#include <string>

#include "halyard/core/halyard_error.h"
#include "halyard/core/response_serializer.h"
#include "platform/foundation/utf8.h"

namespace halyard {

// Turns one chunk of a streamed body into a value; may throw.
template <class S>
concept DataStreamSerializer = requires(const S& serializer, const platform::Bytes& chunk) {
  typename S::SerializedObject;
  { serializer.serializeChunk(chunk) } -> std::convertible_to<typename S::SerializedObject>;
};

// Each chunk decoded on its own: a chunk must hold whole values.
template <class T, class Decoder = platform::JSONDecoder>
requires DataDecoder<Decoder, T>
struct DecodableStreamSerializer {
  using SerializedObject = T;

  DecodableStreamSerializer(Decoder decoder, DataPreprocessorPtr dataPreprocessor)
      : decoder(std::move(decoder)), dataPreprocessor(std::move(dataPreprocessor)) {}

  // A preprocessor's failure passes unchanged; a decoder's becomes decodingFailed.
  T serializeChunk(const platform::Bytes& chunk) const {
    const platform::Bytes prepared = dataPreprocessor->prepareData(chunk);
    try {
      return decoder.template decode<T>(std::span<const std::uint8_t>(prepared));
    } catch (...) {
      throw HalyardError::responseSerializationFailed(
          HalyardError::ResponseSerializationFailureReason::DecodingFailed{currentError()});
    }
  }

  Decoder decoder;
  DataPreprocessorPtr dataPreprocessor;
};

struct PassthroughStreamSerializer {
  using SerializedObject = platform::Bytes;
  platform::Bytes serializeChunk(const platform::Bytes& chunk) const { return chunk; }
};

// Each chunk decoded as UTF-8 on its own: a character split between two chunks becomes
// replacement characters in both.
struct StringStreamSerializer {
  using SerializedObject = std::string;
  std::string serializeChunk(const platform::Bytes& chunk) const {
    return platform::utf8::decodeLossy(chunk);
  }
};

}  // namespace halyard
