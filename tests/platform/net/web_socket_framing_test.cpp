#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/net/web_socket_framer.h"
#include "platform/net/web_socket_handshake.h"
#include "support/web_socket_frames.h"

namespace platform::net_detail {
namespace {

using testing_support::hexBytes;
using testing_support::serverFrame;
using testing_support::takeFrame;
using Bytes = std::vector<std::uint8_t>;

// A connection in memory: reads hand out `input` `chunk` bytes per call, writes are kept.
struct MemoryPeer : WebSocketFramer::Transport, WebSocketFramer::Handler {
  Bytes input;
  std::size_t position = 0;
  std::size_t chunk = SIZE_MAX;
  bool endAfterInput = false;
  Bytes output;
  std::vector<std::string> events;

  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t size) override {
    if (position == input.size()) {
      return endAfterInput ? WebSocketFramer::ended : WebSocketFramer::wouldBlock;
    }
    const std::size_t n = std::min({size, chunk, input.size() - position});
    std::copy_n(input.begin() + position, n, buffer);
    position += n;
    return static_cast<std::ptrdiff_t>(n);
  }
  std::ptrdiff_t write(const std::uint8_t* bytes, std::size_t size) override {
    output.insert(output.end(), bytes, bytes + size);
    return static_cast<std::ptrdiff_t>(size);
  }
  void onMessage(WebSocketFramer::Message message) override {
    events.push_back(message.isText() ? "text:" + message.text()
                                      : "binary:" + std::to_string(message.data().size()));
  }
  void onPong(const Bytes& payload) override {
    events.push_back("pong:" + std::string(payload.begin(), payload.end()));
  }
  void onClose(int code, std::optional<Bytes> reason) override {
    events.push_back("close:" + std::to_string(code) +
                     (reason ? ":" + std::string(reason->begin(), reason->end()) : ""));
  }
  void onSent(std::uint64_t identifier) override {
    events.push_back("sent:" + std::to_string(identifier));
  }

  // What the client wrote, frame by frame: "opcode:payload" (a close as "8:code").
  std::vector<std::string> written() {
    std::vector<std::string> frames;
    Bytes rest = output;
    while (auto frame = takeFrame(rest)) {
      EXPECT_TRUE(frame->masked) << "client frames are masked";
      frames.push_back(std::to_string(frame->opcode) + ":" +
                       (frame->opcode == 8 ? std::to_string(frame->closeCode()) : frame->text()));
    }
    EXPECT_TRUE(rest.empty()) << "a partial frame was written";
    return frames;
  }
};

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts)
    out.insert(out.end(), part.begin(), part.end());
  return out;
}

struct Outcome {
  std::vector<std::string> events;
  std::vector<std::string> written;
  int failureCode = 0;
  std::string detail;  // of the failure
  bool operator==(const Outcome&) const = default;
  friend void PrintTo(const Outcome& o, std::ostream* out) {
    *out << "events:";
    for (const auto& e : o.events)
      *out << " [" << e << "]";
    *out << " written:";
    for (const auto& w : o.written)
      *out << " [" << w << "]";
    *out << " failure: " << o.failureCode << " " << o.detail;
  }
};

Outcome run(const Bytes& input, std::size_t chunk, std::uint64_t maximum = 1 << 20) {
  MemoryPeer peer;
  peer.input = input;
  peer.chunk = chunk;
  WebSocketFramer framer(peer, peer, maximum);
  // One byte per call can take as many pumps as there are bytes.
  for (std::size_t i = 0; i <= input.size() && peer.position < input.size(); ++i)
    framer.pump();
  framer.pump();
  if (!framer.failure()) return {peer.events, peer.written(), 0, ""};
  return {peer.events, peer.written(), framer.failure()->closeCode, framer.failure()->detail};
}

std::string repeated(std::size_t n) {
  return std::string(n, 'a');
}

struct ReceiveCase {
  const char* name;
  Bytes input;
  Outcome expected;  // its `detail`: words the failure's detail must contain
  std::uint64_t maximum = 1 << 20;
};

TEST(WebSocketFramingTest, ReadsFramesAndEnforcesTheProtocol) {
  const std::vector<ReceiveCase> cases = {
      {"unmasked text", hexBytes("81 05 48 65 6c 6c 6f"), {{"text:Hello"}, {}, 0, ""}},
      {"fragmented text", hexBytes("01 03 48 65 6c 80 02 6c 6f"), {{"text:Hello"}, {}, 0, ""}},
      {"ping answered with its payload",
       hexBytes("89 05 48 65 6c 6c 6f"),
       {{}, {"10:Hello"}, 0, ""}},
      {"ping between fragments answered",
       hexBytes("01 01 48 89 01 50 80 01 69"),
       {{"text:Hi"}, {"10:P"}, 0, ""}},
      {"unsolicited pong reported, nothing sent", hexBytes("8a 01 50"), {{"pong:P"}, {}, 0, ""}},
      {"256 bytes", concat({hexBytes("82 7E 01 00"), Bytes(256, 1)}), {{"binary:256"}, {}, 0, ""}},
      {"64 KiB",
       concat({hexBytes("82 7F 00 00 00 00 00 01 00 00"), Bytes(65536, 2)}),
       {{"binary:65536"}, {}, 0, ""}},
      {"125 bytes", serverFrame(2, repeated(125)), {{"binary:125"}, {}, 0, ""}},
      {"126 bytes", serverFrame(2, repeated(126)), {{"binary:126"}, {}, 0, ""}},
      {"65535 bytes", serverFrame(2, repeated(65535)), {{"binary:65535"}, {}, 0, ""}},
      {"character split across fragments",
       hexBytes("01 01 e2 80 02 82 ac"),
       {{"text:\xe2\x82\xac"}, {}, 0, ""}},
      {"close 1000 bye", hexBytes("88 05 03 e8 62 79 65"), {{"close:1000:bye"}, {"8:1000"}, 0, ""}},
      {"close without status", hexBytes("88 00"), {{"close:1005"}, {"8:-1"}, 0, ""}},
      {"close 3000 echoed", hexBytes("88 02 0b b8"), {{"close:3000"}, {"8:3000"}, 0, ""}},
      {"close 4999 echoed", hexBytes("88 02 13 87"), {{"close:4999"}, {"8:4999"}, 0, ""}},
      // Protocol violations: each closes with its code and delivers nothing.
      {"masked server frame",
       hexBytes("81 85 37 fa 21 3d 7f 9f 4d 51 58"),
       {{}, {"8:1002"}, 1002, "masked"}},
      {"reserved bits", hexBytes("c1 01 41"), {{}, {"8:1002"}, 1002, "reserved bits"}},
      {"reserved data opcode", hexBytes("83 00"), {{}, {"8:1002"}, 1002, "reserved opcode 3"}},
      {"reserved control opcode", hexBytes("8b 00"), {{}, {"8:1002"}, 1002, "reserved opcode 11"}},
      {"continuation without start", hexBytes("80 01 41"), {{}, {"8:1002"}, 1002, "continuation"}},
      {"data frame inside a fragmented message",
       hexBytes("01 01 41 81 01 42"),
       {{}, {"8:1002"}, 1002, "inside a fragmented"}},
      {"control frame over 125 bytes",
       concat({hexBytes("89 7e 00 7e"), Bytes(126, 0)}),
       {{}, {"8:1002"}, 1002, "longer than 125"}},
      {"control frame without FIN",
       hexBytes("09 00"),
       {{}, {"8:1002"}, 1002, "fragmented control frame"}},
      {"length not in shortest form",
       hexBytes("82 7e 00 05 41 41 41 41 41"),
       {{}, {"8:1002"}, 1002, "shortest form"}},
      {"close with a one-byte payload", hexBytes("88 01 03"), {{}, {"8:1002"}, 1002, "one-byte"}},
      {"close 999", hexBytes("88 02 03 e7"), {{}, {"8:1002"}, 1002, "invalid close code"}},
      {"close 1004", hexBytes("88 02 03 ec"), {{}, {"8:1002"}, 1002, "close code"}},
      {"close 1005", hexBytes("88 02 03 ed"), {{}, {"8:1002"}, 1002, "close code"}},
      {"close 1006", hexBytes("88 02 03 ee"), {{}, {"8:1002"}, 1002, "close code"}},
      {"close 5000", hexBytes("88 02 13 88"), {{}, {"8:1002"}, 1002, "close code"}},
      {"text not UTF-8", hexBytes("81 02 c3 28"), {{}, {"8:1007"}, 1007, "UTF-8"}},
      {"first fragment not UTF-8", hexBytes("01 01 ff"), {{}, {"8:1007"}, 1007, "UTF-8"}},
      {"close reason not UTF-8",
       hexBytes("88 04 03 e8 c3 28"),
       {{}, {"8:1007"}, 1007, "close reason"}},
      {"declared 2^40 bytes",
       hexBytes("82 7f 00 00 01 00 00 00 00 00 41 41"),
       {{}, {"8:1009"}, 1009, "maximum"}},
      {"fragments summed over the maximum",
       hexBytes("02 03 41 41 41 80 03 41 41 41"),
       {{}, {"8:1009"}, 1009, "maximum"},
       5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome whole = run(c.input, SIZE_MAX, c.maximum);
    EXPECT_EQ(whole.events, c.expected.events);
    EXPECT_EQ(whole.written, c.expected.written);
    EXPECT_EQ(whole.failureCode, c.expected.failureCode);
    EXPECT_NE(whole.detail.find(c.expected.detail), std::string::npos) << whole.detail;
    EXPECT_EQ(run(c.input, 1, c.maximum), whole) << "fed one byte at a time";
  }
}

// A binary message of `total` bytes in fragments of `size` bytes (under 126, so each header is
// two bytes).
Bytes fragmented(std::size_t total, std::size_t size) {
  Bytes out;
  for (std::size_t sent = 0; sent < total; sent += size) {
    const std::size_t length = std::min(size, total - sent);
    const bool first = sent == 0, last = sent + length == total;
    out.push_back(static_cast<std::uint8_t>((last ? 0x80 : 0) | (first ? 0x02 : 0x00)));
    out.push_back(static_cast<std::uint8_t>(length));
    out.insert(out.end(), length, 0x41);
  }
  return out;
}

// What a fragment costs in keeping is charged, not more: a message under the bound in small
// fragments arrives, while a flood of one-byte fragments, whose keeping is many times its
// length, is still refused.
TEST(WebSocketFramingTest, SmallFragmentsOfALegalMessageArriveAndAFloodDoesNot) {
  struct Row {
    std::size_t total, size;
    int failureCode;  // 0: the message arrives whole
  };
  for (const Row row :
       {Row{700'000, 32, 0}, Row{400'000, 16, 0}, Row{1'000'000, 125, 0}, Row{40'000, 1, 1009}}) {
    SCOPED_TRACE(std::to_string(row.total) + " in " + std::to_string(row.size));
    const Outcome outcome = run(fragmented(row.total, row.size), SIZE_MAX, 1 << 20);
    EXPECT_EQ(outcome.failureCode, row.failureCode) << outcome.detail;
    if (row.failureCode == 0) {
      EXPECT_EQ(outcome.events, std::vector<std::string>{"binary:" + std::to_string(row.total)});
    }
  }
}

TEST(WebSocketFramingTest, FailsAtOnceOnAnInvalidFirstFragment) {
  MemoryPeer peer;
  peer.input = hexBytes("01 01 ff");  // the rest of the message never comes
  WebSocketFramer framer(peer, peer, 1 << 20);
  framer.pump();
  ASSERT_TRUE(framer.failure());
  EXPECT_EQ(framer.failure()->closeCode, 1007);
}

TEST(WebSocketFramingTest, WritesEachLengthInItsShortestFormMasked) {
  struct Case {
    std::size_t length;
    int headerLength;  // with the 4-byte mask
  };
  for (const Case c : {Case{0, 6}, Case{125, 6}, Case{126, 8}, Case{65535, 8}, Case{65536, 14},
                       Case{1 << 20, 14}}) {
    SCOPED_TRACE(c.length);
    MemoryPeer peer;
    WebSocketFramer framer(peer, peer, 1 << 20);
    Bytes payload(c.length);
    for (std::size_t i = 0; i < payload.size(); ++i)
      payload[i] = static_cast<std::uint8_t>(i * 7);
    ASSERT_TRUE(framer.queueMessage(WebSocketFramer::Message(payload), 9));
    framer.pump();
    EXPECT_EQ(peer.events, std::vector<std::string>{"sent:9"});
    auto frame = takeFrame(peer.output);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->fin && frame->masked);
    EXPECT_EQ(frame->opcode, 2);
    EXPECT_EQ(frame->headerLength, c.headerLength);
    EXPECT_EQ(frame->payload, payload);
    EXPECT_TRUE(peer.output.empty());
  }
}

TEST(WebSocketFramingTest, EveryFrameHasAFreshMask) {
  MemoryPeer peer;
  WebSocketFramer framer(peer, peer, 1 << 20);
  for (std::uint64_t i = 1; i <= 64; ++i)
    framer.queueMessage(WebSocketFramer::Message(std::string("m")), i);
  framer.pump();
  std::set<std::array<std::uint8_t, 4>> masks;
  std::vector<std::string> texts;
  while (auto frame = takeFrame(peer.output)) {
    masks.insert(frame->mask);
    texts.push_back(frame->text());
  }
  EXPECT_EQ(texts, std::vector<std::string>(64, "m"));
  EXPECT_EQ(masks.size(), 64u);
  EXPECT_EQ(peer.events.size(), 64u);
  EXPECT_EQ(peer.events.back(), "sent:64");
}

TEST(WebSocketFramingTest, AnswersTheHandshakeKeyAndReadsTheAnswerHead) {
  EXPECT_EQ(webSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_NE(makeWebSocketKey(), makeWebSocketKey());
  EXPECT_EQ(makeWebSocketKey().size(), 24u);

  const std::string head =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: WebSocket\r\nConnection: upgrade\r\n"
      "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\nSec-WebSocket-Protocol: chat\r\n\r\n"
      "\x81\x02hi";
  // Whole, and a byte at a time: the same head and the same first frame bytes.
  for (std::size_t chunk : {head.size(), std::size_t{1}}) {
    WebSocketAnswerReader reader;
    for (std::size_t i = 0; i < head.size(); i += chunk) {
      const std::string_view part = std::string_view(head).substr(i, chunk);
      reader.feed(std::span(reinterpret_cast<const std::uint8_t*>(part.data()), part.size()));
    }
    ASSERT_EQ(reader.state(), WebSocketAnswerReader::State::complete);
    EXPECT_EQ(reader.statusCode(), 101);
    EXPECT_EQ(reader.remainder(), hexBytes("81 02 68 69"));
    std::optional<std::string> protocol;
    EXPECT_EQ(checkWebSocketAnswer(reader, "dGhlIHNhbXBsZSBub25jZQ==", {"chat", "x"}, protocol),
              std::nullopt);
    EXPECT_EQ(protocol, "chat");
    EXPECT_TRUE(checkWebSocketAnswer(reader, "dGhlIHNhbXBsZSBub25jZQ==", {"x"}, protocol));
  }

  WebSocketAnswerReader large;
  const std::string filler = "X-Filler: " + std::string(1000, 'f') + "\r\n";
  large.feed(std::span(reinterpret_cast<const std::uint8_t*>("HTTP/1.1 101 OK\r\n"), 17));
  for (int i = 0; i < 70 && large.state() == WebSocketAnswerReader::State::incomplete; ++i)
    large.feed(std::span(reinterpret_cast<const std::uint8_t*>(filler.data()), filler.size()));
  EXPECT_EQ(large.state(), WebSocketAnswerReader::State::tooLarge);
}

TEST(WebSocketFramingTest, TheUpgradeReplacesTheCallersOwnFields) {
  std::string problem;
  auto request = makeWebSocketRequest(
      *URL::fromString("ws://example.test:8080/chat?room=1"),
      HTTPHeaderFields{{"Host", "evil"}, {"sec-websocket-key", "x"}, {"X-Token", "t"}}, "KEY",
      problem);
  ASSERT_TRUE(request);
  EXPECT_EQ(*request,
            "GET /chat?room=1 HTTP/1.1\r\nHost: example.test:8080\r\nUpgrade: websocket\r\n"
            "Connection: Upgrade\r\nSec-WebSocket-Key: KEY\r\nSec-WebSocket-Version: 13\r\n"
            "X-Token: t\r\n\r\n");
  EXPECT_FALSE(makeWebSocketRequest(*URL::fromString("wss://example.test/"),
                                    HTTPHeaderFields{{"X-Bad", "a\r\nb"}}, "KEY", problem));
  auto secure = makeWebSocketRequest(*URL::fromString("wss://example.test:443"), {}, "K", problem);
  ASSERT_TRUE(secure);
  EXPECT_TRUE(secure->starts_with("GET / HTTP/1.1\r\nHost: example.test\r\n"));
}

}  // namespace
}  // namespace platform::net_detail
