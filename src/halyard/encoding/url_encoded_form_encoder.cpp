#include "halyard/encoding/url_encoded_form_encoder.h"

#include <algorithm>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>

#include "halyard/core/value_text.h"
#include "halyard/encoding/query_value_characters.h"
#include "platform/foundation/utf8.h"
#include "platform/time/text_case.h"
#include "platform/time/time_zone.h"

namespace halyard {

namespace {

using platform::CodingKey;
using platform::CodingPath;

// ---- The tree a value writes itself into -----------------------------------------------------

struct Component;
struct Pair;
using Array = std::vector<Component>;

// Pairs keep their first-insertion place; writing a key again replaces its value there. The
// index finds a key's place at once, so an object of many keys is built in linear time.
struct Object {
  std::vector<Pair> pairs;
  std::unordered_map<std::string, std::size_t> index;

  Component* find(const std::string& key);
  void set(const std::string& key, Component value);
};

struct Component {
  std::variant<std::string, Array, Object> value = Object{};
};
struct Pair {
  std::string key;
  Component value;
};

Component* Object::find(const std::string& key) {
  auto found = index.find(key);
  return found == index.end() ? nullptr : &pairs[found->second].value;
}

void Object::set(const std::string& key, Component value) {
  auto [place, added] = index.try_emplace(key, pairs.size());
  if (added) {
    pairs.push_back(Pair{key, std::move(value)});
  } else {
    pairs[place->second].value = std::move(value);
  }
}

std::string render(const Component& component) {
  if (const auto* text = std::get_if<std::string>(&component.value)) {
    std::string out = "string(\"";
    out += *text;
    return out + "\")";
  }
  std::string out;
  if (const auto* array = std::get_if<Array>(&component.value)) {
    out = "array([";
    for (std::size_t i = 0; i < array->size(); ++i) {
      if (i > 0) out += ", ";
      out += render((*array)[i]);
    }
  } else {
    const auto& pairs = std::get<Object>(component.value).pairs;
    out = "object([";
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      if (i > 0) out += ", ";
      out += "\"" + pairs[i].key + "\": " + render(pairs[i].value);
    }
  }
  return out + "])";
}

// Stores `value` at `path` below `target`, making the lists and objects on the way. Whether a
// step is a list index depends only on whether its key carries an integer.
void setValueAtPath(Component& target, Component value, std::span<const CodingKey> path) {
  if (path.empty()) {
    target = std::move(value);
    return;
  }
  const CodingKey& key = path.front();
  Component child;
  if (path.size() == 1) {
    child = std::move(value);
  } else {
    if (key.intValue) {
      auto* array = std::get_if<Array>(&target.value);
      const auto n = static_cast<std::size_t>(*key.intValue);
      if (array && *key.intValue >= 0 && array->size() > n) {
        child = std::move((*array)[n]);
      } else {
        child.value = Array{};
      }
    } else {
      child.value = Object{};
      if (auto* object = std::get_if<Object>(&target.value)) {
        if (auto* found = object->find(key.stringValue)) child = std::move(*found);
      }
    }
    setValueAtPath(child, std::move(value), path.subspan(1));
  }
  if (key.intValue) {
    auto* array = std::get_if<Array>(&target.value);
    if (!array) {
      target.value = Array{std::move(child)};
      return;
    }
    const auto n = static_cast<std::size_t>(*key.intValue);
    if (*key.intValue >= 0 && n < array->size()) {
      (*array)[n] = std::move(child);
    } else {
      array->push_back(std::move(child));
    }
    return;
  }
  if (!std::holds_alternative<Object>(target.value)) target.value = Object{};
  std::get<Object>(target.value).set(key.stringValue, std::move(child));
}

// ---- Writing dates -------------------------------------------------------------------------

// A date formatter must not serve two threads at once: every formatter the form encoder uses,
// the shared ISO 8601 one and those of `formatted` encodings, runs under this lock.
std::mutex& dateFormattingLock() {
  static std::mutex lock;
  return lock;
}

platform::DateFormatter& iso8601Formatter() {
  static platform::DateFormatter* formatter = [] {
    auto* made = new platform::DateFormatter();  // lives for the rest of the process
    made->setLocale(platform::Locale("en_US_POSIX"));
    made->setTimeZone(platform::TimeZone::gmt());
    made->setDateFormat("yyyy-MM-dd'T'HH:mm:ssXXXXX");
    return made;
  }();
  return *formatter;
}

// ---- The first stage: encoder and containers -------------------------------------------------

struct Options {
  URLEncodedFormEncoder::BoolEncoding boolEncoding;
  URLEncodedFormEncoder::DataEncoding dataEncoding;
  URLEncodedFormEncoder::DateEncoding dateEncoding;
  URLEncodedFormEncoder::NilEncoding nilEncoding;
};

struct Context {
  Component component;
};

// Forms nest a few levels; a value nested deeper than this is refused with an error before its
// writing recurses far enough to exhaust the stack.
constexpr std::size_t kMaximumDepth = 256;

CodingPath appending(const CodingPath& path, CodingKey key) {
  if (path.size() >= kMaximumDepth) {
    throw platform::EncodingError(
        "nested value",
        {path, "The value nests deeper than " + std::to_string(kMaximumDepth) + " levels.",
         nullptr});
  }
  CodingPath result = path;
  result.push_back(std::move(key));
  return result;
}

// A list position as a key: its text is the number itself, not "Index N".
CodingKey indexKey(int index) {
  return CodingKey{std::to_string(index), index};
}

class FormEncoder final : public platform::Encoder {
 public:
  FormEncoder(CodingPath path, std::shared_ptr<Context> context, const Options& options)
      : path_(std::move(path)), context_(std::move(context)), options_(options) {}
  const CodingPath& codingPath() const override { return path_; }
  std::unique_ptr<platform::KeyedEncodingContainer> container() override;
  std::unique_ptr<platform::UnkeyedEncodingContainer> unkeyedContainer() override;
  std::unique_ptr<platform::SingleValueEncodingContainer> singleValueContainer() override;

 private:
  CodingPath path_;
  std::shared_ptr<Context> context_;
  const Options& options_;
};

class SingleValueContainer final : public platform::SingleValueEncodingContainer {
 public:
  SingleValueContainer(CodingPath path, std::shared_ptr<Context> context, const Options& options)
      : path_(std::move(path)), context_(std::move(context)), options_(options) {}

  const CodingPath& codingPath() const override { return path_; }

  void encodeNil() override {
    if (auto text = options_.nilEncoding.encoding()) store(*text, *text);
  }
  void encodeBool(bool value) override {
    const bool numeric = options_.boolEncoding == URLEncodedFormEncoder::BoolEncoding::numeric;
    store(numeric ? (value ? "1" : "0") : (value ? "true" : "false"), value ? "true" : "false");
  }
  void encodeSigned(std::int64_t value) override {
    const std::string text = std::to_string(value);
    store(text, text);
  }
  void encodeUnsigned(std::uint64_t value) override {
    const std::string text = std::to_string(value);
    store(text, text);
  }
  void encodeDouble(double value) override {
    const std::string text = shortestDecimal(value);
    store(text, text);
  }
  void encodeString(std::string_view value) override { store(value, value); }

  void encodeDate(platform::Date value) override {
    using Kind = URLEncodedFormEncoder::DateEncoding::Kind;
    const auto& encoding = options_.dateEncoding;
    std::string text;
    switch (encoding.kind()) {
      case Kind::deferredToDate:
        deferred("Date", [&](platform::SingleValueEncodingContainer& fresh) {
          fresh.platform::SingleValueEncodingContainer::encodeDate(value);
        });
        return;
      case Kind::secondsSince1970:
        text = shortestDecimal(value.timeIntervalSince1970());
        break;
      case Kind::millisecondsSince1970:
        text = shortestDecimal(value.timeIntervalSince1970() * 1000.0);
        break;
      case Kind::iso8601: {
        std::lock_guard lock(dateFormattingLock());
        text = iso8601Formatter().string(value);
        break;
      }
      case Kind::formatted: {
        std::lock_guard lock(dateFormattingLock());
        text = encoding.formatter()->string(value);
        break;
      }
      case Kind::custom:
        text = encoding.function()(value);
        break;
    }
    store(text, text);
  }

  void encodeBytes(const std::vector<std::uint8_t>& value) override {
    using Kind = URLEncodedFormEncoder::DataEncoding::Kind;
    const auto& encoding = options_.dataEncoding;
    std::string text;
    switch (encoding.kind()) {
      case Kind::deferredToData:
        deferred("Data", [&](platform::SingleValueEncodingContainer& fresh) {
          fresh.platform::SingleValueEncodingContainer::encodeBytes(value);
        });
        return;
      case Kind::base64:
        text = base64(value);
        break;
      case Kind::custom:
        text = encoding.function()(value);
        break;
    }
    store(text, text);
  }

  void encodeDynamicValue(const platform::Value& value) override;

  // For values that write themselves: one such value per container, like any other.
  platform::Encoder& encoder() override {
    claim("Value");
    if (!nested_) nested_ = std::make_unique<FormEncoder>(path_, context_, options_);
    return *nested_;
  }

 private:
  void claim(std::string_view valueDescription) {
    if (!canEncodeNewValue_) {
      throw platform::EncodingError(
          std::string(valueDescription),
          {path_,
           "Attempt to encode value through single value container when previously value "
           "already encoded.",
           nullptr});
    }
    canEncodeNewValue_ = false;
  }

  void store(std::string_view text, std::string_view valueDescription) {
    claim(valueDescription);
    Component leaf;
    leaf.value = std::string(text);
    setValueAtPath(context_->component, std::move(leaf), path_);
  }

  // Lets a date or byte buffer write its own default form through a fresh encoder here.
  template <class Write>
  void deferred(std::string_view valueDescription, Write write) {
    claim(valueDescription);
    SingleValueContainer fresh(path_, context_, options_);
    write(fresh);
  }

  CodingPath path_;
  std::shared_ptr<Context> context_;
  const Options& options_;
  bool canEncodeNewValue_ = true;
  std::unique_ptr<FormEncoder> nested_;
};

class KeyedContainer final : public platform::KeyedEncodingContainer {
 public:
  KeyedContainer(CodingPath path, std::shared_ptr<Context> context, const Options& options)
      : path_(std::move(path)), context_(std::move(context)), options_(options) {}

  const CodingPath& codingPath() const override { return path_; }
  void encodeNil(std::string_view key) override {
    if (auto text = options_.nilEncoding.encoding()) single(key).encodeString(*text);
  }
  // Absence is written exactly as nil.
  void encodeAbsent(std::string_view key) override { encodeNil(key); }
  void encodeBool(bool value, std::string_view key) override { single(key).encodeBool(value); }
  void encodeSigned(std::int64_t value, std::string_view key) override {
    single(key).encodeSigned(value);
  }
  void encodeUnsigned(std::uint64_t value, std::string_view key) override {
    single(key).encodeUnsigned(value);
  }
  void encodeDouble(double value, std::string_view key) override {
    single(key).encodeDouble(value);
  }
  void encodeString(std::string_view value, std::string_view key) override {
    single(key).encodeString(value);
  }
  std::unique_ptr<platform::Encoder> encoderForKey(std::string_view key) override {
    return std::make_unique<FormEncoder>(nested(key), context_, options_);
  }
  std::unique_ptr<platform::KeyedEncodingContainer> nestedContainer(std::string_view key) override {
    return std::make_unique<KeyedContainer>(nested(key), context_, options_);
  }
  std::unique_ptr<platform::UnkeyedEncodingContainer> nestedUnkeyedContainer(
      std::string_view key) override;

 private:
  CodingPath nested(std::string_view key) const {
    return appending(path_, CodingKey::key(std::string(key)));
  }
  SingleValueContainer single(std::string_view key) {
    return SingleValueContainer(nested(key), context_, options_);
  }

  CodingPath path_;
  std::shared_ptr<Context> context_;
  const Options& options_;
};

class UnkeyedContainer final : public platform::UnkeyedEncodingContainer {
 public:
  UnkeyedContainer(CodingPath path, std::shared_ptr<Context> context, const Options& options)
      : path_(std::move(path)), context_(std::move(context)), options_(options) {}

  const CodingPath& codingPath() const override { return path_; }
  int count() const override { return count_; }
  void encodeNil() override {
    if (auto text = options_.nilEncoding.encoding()) next().encodeString(*text);
  }
  void encodeBool(bool value) override { next().encodeBool(value); }
  void encodeSigned(std::int64_t value) override { next().encodeSigned(value); }
  void encodeUnsigned(std::uint64_t value) override { next().encodeUnsigned(value); }
  void encodeDouble(double value) override { next().encodeDouble(value); }
  void encodeString(std::string_view value) override { next().encodeString(value); }
  std::unique_ptr<platform::Encoder> encoderForNextElement() override {
    return std::make_unique<FormEncoder>(advance(), context_, options_);
  }
  std::unique_ptr<platform::KeyedEncodingContainer> nestedContainer() override {
    return std::make_unique<KeyedContainer>(advance(), context_, options_);
  }
  std::unique_ptr<platform::UnkeyedEncodingContainer> nestedUnkeyedContainer() override {
    return std::make_unique<UnkeyedContainer>(advance(), context_, options_);
  }

 private:
  CodingPath advance() { return appending(path_, indexKey(count_++)); }
  SingleValueContainer next() { return SingleValueContainer(advance(), context_, options_); }

  CodingPath path_;
  std::shared_ptr<Context> context_;
  const Options& options_;
  int count_ = 0;
};

std::unique_ptr<platform::UnkeyedEncodingContainer> KeyedContainer::nestedUnkeyedContainer(
    std::string_view key) {
  return std::make_unique<UnkeyedContainer>(nested(key), context_, options_);
}

std::unique_ptr<platform::KeyedEncodingContainer> FormEncoder::container() {
  return std::make_unique<KeyedContainer>(path_, context_, options_);
}
std::unique_ptr<platform::UnkeyedEncodingContainer> FormEncoder::unkeyedContainer() {
  return std::make_unique<UnkeyedContainer>(path_, context_, options_);
}
std::unique_ptr<platform::SingleValueEncodingContainer> FormEncoder::singleValueContainer() {
  return std::make_unique<SingleValueContainer>(path_, context_, options_);
}

void SingleValueContainer::encodeDynamicValue(const platform::Value& value) {
  struct Visitor {
    SingleValueContainer& self;
    void operator()(const platform::Value::Null&) const { self.encodeNil(); }
    void operator()(bool b) const { self.encodeBool(b); }
    void operator()(std::int64_t i) const { self.encodeSigned(i); }
    void operator()(std::uint64_t u) const { self.encodeUnsigned(u); }
    void operator()(double d) const { self.encodeDouble(d); }
    void operator()(const std::string& s) const { self.encodeString(s); }
    void operator()(const platform::Value::Bytes& b) const { self.encodeBytes(b); }
    void operator()(const platform::Value::Array& array) const {
      auto container = self.encoder().unkeyedContainer();
      for (const auto& element : array)
        container->encoderForNextElement()->singleValueContainer()->encodeDynamicValue(element);
    }
    void operator()(const platform::Value::Dictionary& dictionary) const {
      auto container = self.encoder().container();
      for (const auto& [key, element] : dictionary)
        container->encoderForKey(key)->singleValueContainer()->encodeDynamicValue(element);
    }
  };
  std::visit(Visitor{*this}, value.storage());
}

// ---- The second stage: flattening and escaping -----------------------------------------------

class Serializer {
 public:
  Serializer(const URLEncodedFormEncoder& encoder, platform::URLCharacterSet allowed)
      : encoder_(encoder), allowed_(allowed.adding(" ")) {}

  std::string serializeRoot(const Object& root) const {
    std::vector<std::string> segments;
    for (const auto& pair : root.pairs)
      segments.push_back(serializeComponent(pair.value, pair.key));
    return joined(std::move(segments));
  }

 private:
  std::string serializeComponent(const Component& component, const std::string& key) const {
    if (const auto* text = std::get_if<std::string>(&component.value)) {
      return escape(encoder_.keyEncoding().encode(key)) + "=" + escape(*text);
    }
    std::vector<std::string> segments;
    if (const auto* array = std::get_if<Array>(&component.value)) {
      for (std::size_t i = 0; i < array->size(); ++i) {
        segments.push_back(serializeComponent(
            (*array)[i], encoder_.arrayEncoding().encode(key, static_cast<int>(i))));
      }
    } else {
      for (const auto& pair : std::get<Object>(component.value).pairs) {
        segments.push_back(
            serializeComponent(pair.value, key + encoder_.keyPathEncoding().encoding(pair.key)));
      }
    }
    return joined(std::move(segments));
  }

  // Sorted, when asked, by the finished pair texts at every level, so list elements too come
  // out in text order. A part that wrote nothing leaves no stray "&".
  std::string joined(std::vector<std::string> segments) const {
    std::erase(segments, std::string());
    if (encoder_.alphabetizeKeyValuePairs()) std::sort(segments.begin(), segments.end());
    std::string out;
    for (std::size_t i = 0; i < segments.size(); ++i) {
      if (i > 0) out += '&';
      out += segments[i];
    }
    return out;
  }

  // Every byte outside the allowed set is escaped, invalid UTF-8 included, so no value's "&",
  // "=" or "#" can ever reach the text raw.
  std::string escape(const std::string& text) const {
    const std::string escaped = platform::addingPercentEncoding(text, allowed_);
    const char* space =
        encoder_.spaceEncoding() == URLEncodedFormEncoder::SpaceEncoding::plusReplaced ? "+"
                                                                                       : "%20";
    std::string out;
    out.reserve(escaped.size());
    for (char c : escaped) {
      if (c == ' ') {
        out += space;
      } else {
        out.push_back(c);
      }
    }
    return out;
  }

  const URLEncodedFormEncoder& encoder_;
  platform::URLCharacterSet allowed_;
};

// ---- Key texts -------------------------------------------------------------------------------

struct CodePoint {
  char32_t value;
  std::size_t offset;  // of its first byte
};

// Code points with their byte offsets; a byte that starts no valid sequence stands for itself.
std::vector<CodePoint> codePoints(const std::string& text) {
  std::vector<CodePoint> out;
  for (std::size_t i = 0; i < text.size();) {
    const auto character = platform::utf8::sequenceAt(text, i);
    if (character.valid) {
      out.push_back({character.codePoint, i});
      i += character.length;
    } else {
      out.push_back({static_cast<unsigned char>(text[i]), i});
      ++i;
    }
  }
  return out;
}

}  // namespace

// ---- Option types ----------------------------------------------------------------------------

std::string URLEncodedFormEncoder::KeyEncoding::encode(const std::string& key) const {
  switch (kind_) {
    case Kind::custom:
      return function_(key);
    case Kind::useDefaultKeys:
      return key;
    case Kind::convertToSnakeCase:
      return splitCamelCase(key, "_");
    case Kind::convertToKebabCase:
      return splitCamelCase(key, "-");
    case Kind::capitalized: {
      if (key.empty()) return key;
      const auto points = codePoints(key);
      const std::size_t end = points.size() > 1 ? points[1].offset : key.size();
      return platform::uppercased(std::string_view(key).substr(0, end)) + key.substr(end);
    }
    case Kind::uppercased:
      return platform::uppercased(key);
    case Kind::lowercased:
      return platform::lowercased(key);
  }
  return key;
}

std::string URLEncodedFormEncoder::KeyEncoding::splitCamelCase(const std::string& key,
                                                               const std::string& separator) {
  if (key.empty()) return key;
  const auto points = codePoints(key);
  const std::size_t n = points.size();
  auto offset = [&](std::size_t index) { return index < n ? points[index].offset : key.size(); };
  auto find = [&](std::size_t from, bool upper) -> std::optional<std::size_t> {
    for (std::size_t i = from; i < n; ++i) {
      const bool match = upper ? platform::isUppercaseLetter(points[i].value)
                               : platform::isLowercaseLetter(points[i].value);
      if (match) return i;
    }
    return std::nullopt;
  };

  std::vector<std::pair<std::size_t, std::size_t>> words;  // code-point index ranges
  std::size_t wordStart = 0;
  std::size_t searchStart = 1;
  while (true) {
    const auto upper = find(searchStart, true);
    if (!upper) break;
    words.emplace_back(wordStart, *upper);
    const auto lower = find(*upper, false);
    if (!lower) {
      wordStart = *upper;
      break;
    }
    if (*lower == *upper + 1) {
      wordStart = *upper;
    } else {
      words.emplace_back(*upper, *lower - 1);
      wordStart = *lower - 1;
    }
    searchStart = *lower + 1;
  }
  words.emplace_back(wordStart, n);

  std::string out;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) out += separator;
    const auto [from, to] = words[i];
    out +=
        platform::lowercased(std::string_view(key).substr(offset(from), offset(to) - offset(from)));
  }
  return out;
}

URLEncodedFormEncoder::KeyPathEncoding URLEncodedFormEncoder::KeyPathEncoding::bracketed() {
  return {[](const std::string& subkey) { return "[" + subkey + "]"; }};
}
URLEncodedFormEncoder::KeyPathEncoding URLEncodedFormEncoder::KeyPathEncoding::dotted() {
  return {[](const std::string& subkey) { return "." + subkey; }};
}

URLEncodedFormEncoder::NilEncoding URLEncodedFormEncoder::NilEncoding::omitKey() {
  return {[]() -> std::optional<std::string> { return std::nullopt; }};
}
URLEncodedFormEncoder::NilEncoding URLEncodedFormEncoder::NilEncoding::emptyValue() {
  return {[]() -> std::optional<std::string> { return std::string(); }};
}
URLEncodedFormEncoder::NilEncoding URLEncodedFormEncoder::NilEncoding::nullLiteral() {
  return {[]() -> std::optional<std::string> { return std::string("null"); }};
}

std::string URLEncodedFormEncoder::Error::localizedDescription() const {
  return "The value could not be written as a form: it must encode a keyed object at the top "
         "level, but produced " +
         description_ + ".";
}
std::string URLEncodedFormEncoder::Error::debugDescription() const {
  return "invalidRootObject(\"" + description_ + "\")";
}

// ---- The encoder -----------------------------------------------------------------------------

URLEncodedFormEncoder::URLEncodedFormEncoder(
    bool alphabetizeKeyValuePairs, ArrayEncoding arrayEncoding, BoolEncoding boolEncoding,
    DataEncoding dataEncoding, DateEncoding dateEncoding, KeyEncoding keyEncoding,
    KeyPathEncoding keyPathEncoding, NilEncoding nilEncoding, SpaceEncoding spaceEncoding,
    std::optional<platform::URLCharacterSet> allowedCharacters)
    : alphabetizeKeyValuePairs_(alphabetizeKeyValuePairs),
      arrayEncoding_(std::move(arrayEncoding)),
      boolEncoding_(boolEncoding),
      dataEncoding_(std::move(dataEncoding)),
      dateEncoding_(std::move(dateEncoding)),
      keyEncoding_(std::move(keyEncoding)),
      keyPathEncoding_(std::move(keyPathEncoding)),
      nilEncoding_(std::move(nilEncoding)),
      spaceEncoding_(spaceEncoding),
      allowedCharacters_(allowedCharacters ? *allowedCharacters : queryValueAllowedCharacters()) {}

platform::URLCharacterSet URLEncodedFormEncoder::allowedCharacters() const {
  std::lock_guard lock(allowedCharactersLock_);
  return allowedCharacters_;
}

void URLEncodedFormEncoder::setAllowedCharacters(platform::URLCharacterSet characters) {
  std::lock_guard lock(allowedCharactersLock_);
  allowedCharacters_ = characters;
}

std::string URLEncodedFormEncoder::encodeWith(
    const std::function<void(platform::Encoder&)>& write) const {
  const Options options{boolEncoding_, dataEncoding_, dateEncoding_, nilEncoding_};
  auto context = std::make_shared<Context>();
  FormEncoder encoder({}, context, options);
  write(encoder);
  const auto* root = std::get_if<Object>(&context->component.value);
  if (!root) throw Error::invalidRootObject(render(context->component));
  return Serializer(*this, allowedCharacters()).serializeRoot(*root);
}

}  // namespace halyard
