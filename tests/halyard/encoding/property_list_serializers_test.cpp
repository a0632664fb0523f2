#include <gtest/gtest.h>

#include <plist/plist.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "halyard/core/data_stream_serializers.h"
#include "halyard/core/response_serializer.h"
#include "halyard/core/web_socket_request.h"
#include "platform/coding/property_list_decoder.h"

namespace {

using halyard::HalyardError;
using platform::Bytes;
using platform::PropertyListDecoder;

struct Release {
  std::string name;
  std::int64_t build = 0;
  static Release decode(platform::Decoder& decoder) {
    auto c = decoder.container();
    return {c->decode<std::string>("name"), c->decode<std::int64_t>("build")};
  }
  bool operator==(const Release&) const = default;
};

// {"name": name, "build": build} in libplist's binary or XML form.
Bytes releaseList(const plist_t build, bool binary) {
  std::unique_ptr<void, void (*)(void*)> root(plist_new_dict(), plist_free);
  plist_dict_set_item(root.get(), "name", plist_new_string("Harbour"));
  plist_dict_set_item(root.get(), "build", build);
  char* out = nullptr;
  std::uint32_t length = 0;
  if (binary) {
    plist_to_bin(root.get(), &out, &length);
  } else {
    plist_to_xml(root.get(), &out, &length);
  }
  Bytes bytes(out, out + length);
  std::free(out);
  return bytes;
}

// The three decodable forms, each over the property-list decoder; they answer the value or
// rethrow what they threw.
Release viaResponse(const Bytes& body) {
  platform::URLRequest request(*platform::URL::fromString("http://127.0.0.1/r"));
  auto response =
      std::make_shared<platform::HTTPURLResponse>(*platform::URL::fromString("http://127.0.0.1/r"),
                                                  200, "HTTP/1.1", platform::HTTPHeaderFields());
  return halyard::DecodableResponseSerializer<Release, PropertyListDecoder>().serializeResponseData(
      request, response, body, nullptr);
}
Release viaStream(const Bytes& chunk) {
  return halyard::DecodableStreamSerializer<Release, PropertyListDecoder>(
             PropertyListDecoder(), std::make_shared<halyard::PassthroughPreprocessor>())
      .serializeChunk(chunk);
}
Release viaWebSocket(const Bytes& message) {
  return halyard::DecodableWebSocketMessageDecoder<Release, PropertyListDecoder>(
             PropertyListDecoder())
      .decode(halyard::WebSocketRequest::Message(message));
}

TEST(PropertyListSerializers, EveryDecodableFormReadsPropertyLists) {
  struct Form {
    const char* name;
    Release (*decode)(const Bytes&);
    bool webSocket;  // fails with the web socket's own error rather than the serializers'
  };
  const Form forms[] = {{"response", viaResponse, false},
                        {"stream", viaStream, false},
                        {"web socket", viaWebSocket, true}};
  for (const Form& form : forms) {
    for (bool binary : {true, false}) {
      SCOPED_TRACE(std::string(form.name) + (binary ? " binary" : " XML"));
      EXPECT_EQ(form.decode(releaseList(plist_new_uint(42), binary)), (Release{"Harbour", 42}));
      // A wrong type fails as a decoding failure carrying the decoder's error.
      platform::ErrorPtr underlying;
      try {
        form.decode(releaseList(plist_new_string("42"), binary));
        ADD_FAILURE() << "decoded";
      } catch (const HalyardError& error) {
        ASSERT_FALSE(form.webSocket);
        ASSERT_TRUE(error.isResponseSerializationFailed());
        underlying = error.wrappedError();
      } catch (const halyard::WebSocketRequest::DecodingError& error) {
        ASSERT_TRUE(form.webSocket);
        underlying = error.decoding;
      }
      const auto* decoding = dynamic_cast<const platform::DecodingError*>(underlying.get());
      ASSERT_NE(decoding, nullptr);
      EXPECT_EQ(decoding->kind(), platform::DecodingError::Kind::typeMismatch);
      EXPECT_EQ(platform::describeCodingPath(decoding->context().codingPath), "build");
    }
  }
}

}  // namespace
