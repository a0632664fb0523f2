#include "app/bundle/strings_table.h"

#include <fmt/format.h>

#include <cstdint>
#include <optional>

#include "platform/foundation/string_encoding.h"
#include "platform/foundation/utf8.h"

namespace app {
namespace {

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {
    if (text_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
  }

  std::expected<std::map<std::string, std::string>, std::string> read() {
    std::map<std::string, std::string> table;
    for (;;) {
      if (auto error = skipSpaceAndComments()) return std::unexpected(*error);
      if (atEnd()) return table;
      auto key = readToken();
      if (!key) return std::unexpected(error_);
      if (auto error = skipSpaceAndComments()) return std::unexpected(*error);
      if (!consume('=')) return std::unexpected(fail("'=' expected after a key"));
      if (auto error = skipSpaceAndComments()) return std::unexpected(*error);
      auto value = readToken();
      if (!value) return std::unexpected(error_);
      if (auto error = skipSpaceAndComments()) return std::unexpected(*error);
      if (!consume(';')) return std::unexpected(fail("';' expected after a value"));
      table.insert_or_assign(std::move(*key), std::move(*value));
    }
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek(std::size_t ahead = 0) const {
    return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
  }
  bool consume(char c) {
    if (peek() != c || atEnd()) return false;
    ++pos_;
    return true;
  }
  int line() const {
    int n = 1;
    for (std::size_t i = 0; i < pos_ && i < text_.size(); ++i)
      n += text_[i] == '\n';
    return n;
  }
  std::string fail(std::string_view what) {
    error_ = fmt::format("line {}: {}", line(), what);
    return error_;
  }

  std::optional<std::string> skipSpaceAndComments() {
    while (!atEnd()) {
      const char c = peek();
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        ++pos_;
      } else if (c == '/' && peek(1) == '/') {
        while (!atEnd() && peek() != '\n')
          ++pos_;
      } else if (c == '/' && peek(1) == '*') {
        const auto end = text_.find("*/", pos_ + 2);
        if (end == std::string_view::npos) return fail("unterminated comment");
        pos_ = end + 2;
      } else {
        break;
      }
    }
    return std::nullopt;
  }

  static bool isBareCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || c == '+' || c == '/' || c == ':' || c == '.' || c == '-';
  }

  std::optional<std::string> readToken() {
    if (peek() == '"') {
      auto text = readQuoted();
      // Interface texts are UTF-8 without NUL: anything else would show as garbage or cut a
      // text short wherever it is handed on as a C string.
      if (text && !platform::StringEncoding(platform::StringEncoding::utf8).decode(*text)) {
        fail("a quoted text is not valid UTF-8");
        return std::nullopt;
      }
      if (text && text->find('\0') != std::string::npos) {
        fail("a quoted text holds U+0000");
        return std::nullopt;
      }
      return text;
    }
    std::string word;
    while (!atEnd() && isBareCharacter(peek()))
      word += text_[pos_++];
    if (word.empty()) {
      fail(atEnd() ? "text ends where a key or value belongs" : "a quoted text or word expected");
      return std::nullopt;
    }
    return word;
  }

  std::optional<std::uint32_t> readHex4() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = peek();
      int d;
      if (c >= '0' && c <= '9') {
        d = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        d = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        d = c - 'A' + 10;
      } else {
        fail("four hexadecimal digits expected after \\u");
        return std::nullopt;
      }
      v = v * 16 + static_cast<std::uint32_t>(d);
      ++pos_;
    }
    return v;
  }

  std::optional<std::string> readQuoted() {
    ++pos_;  // the opening quote
    std::string out;
    for (;;) {
      if (atEnd()) {
        fail("unterminated quoted text");
        return std::nullopt;
      }
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (atEnd()) {
        fail("unterminated escape");
        return std::nullopt;
      }
      const char e = text_[pos_++];
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        case 'r':
          out += '\r';
          break;
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '\'':
          out += '\'';
          break;
        case 'u':
        case 'U': {
          auto unit = readHex4();
          if (!unit) return std::nullopt;
          std::uint32_t cp = *unit;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (peek() != '\\' || (peek(1) != 'u' && peek(1) != 'U')) {
              fail("lone surrogate in \\u escape");
              return std::nullopt;
            }
            pos_ += 2;
            auto low = readHex4();
            if (!low) return std::nullopt;
            if (*low < 0xDC00 || *low > 0xDFFF) {
              fail("lone surrogate in \\u escape");
              return std::nullopt;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            fail("lone surrogate in \\u escape");
            return std::nullopt;
          }
          platform::utf8::append(out, static_cast<char32_t>(cp));
          break;
        }
        default:
          fail(fmt::format("unknown escape \\{}", e));
          return std::nullopt;
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string error_;
};

}  // namespace

std::expected<std::map<std::string, std::string>, std::string> parseStringsTable(
    std::string_view text) {
  return Reader(text).read();
}

}  // namespace app
