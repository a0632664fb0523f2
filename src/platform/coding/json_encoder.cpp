#include "platform/coding/json_encoder.h"

#include <algorithm>
#include <cmath>
#include <variant>

#include "platform/coding/json_text.h"
#include "platform/foundation/string_encoding.h"

namespace platform {

namespace {

// The document under construction. Nodes are shared so that a container can keep writing
// into its node after the parent has grown.
struct Node;
using NodePtr = std::shared_ptr<Node>;
struct Unset {};
struct Null {};
using Members = std::vector<std::pair<std::string, NodePtr>>;
using Elements = std::vector<NodePtr>;
struct Node {
  std::variant<Unset, Null, bool, std::int64_t, std::uint64_t, double, std::string, Elements,
               Members>
      value;
};

CodingPath appending(const CodingPath& path, CodingKey key) {
  CodingPath result = path;
  result.push_back(std::move(key));
  return result;
}

bool isUpper(char c) {
  return c >= 'A' && c <= 'Z';
}
bool isLowerOrDigit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// "userName" → "user_name", "myURLString" → "my_url_string"; leading and trailing underscores
// stay as they are.
std::string camelToSnake(std::string_view key) {
  auto first = key.find_first_not_of('_');
  if (first == std::string_view::npos) return std::string(key);
  auto last = key.find_last_not_of('_');
  std::string result(key.substr(0, first));
  std::string_view body = key.substr(first, last - first + 1);
  for (std::size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (isUpper(c) && i > 0) {
      bool afterLower = isLowerOrDigit(body[i - 1]);
      bool endOfAcronym =
          isUpper(body[i - 1]) && i + 1 < body.size() && isLowerOrDigit(body[i + 1]);
      if (afterLower || endOfAcronym) result.push_back('_');
    }
    result.push_back(isUpper(c) ? static_cast<char>(c - 'A' + 'a') : c);
  }
  result += key.substr(last + 1);
  return result;
}

class Context {
 public:
  explicit Context(const JSONEncoder& options) : options_(options) {}

  std::string key(std::string_view key) const {
    if (options_.keyEncodingStrategy == JSONEncoder::KeyEncodingStrategy::convertToSnakeCase) {
      return camelToSnake(key);
    }
    return std::string(key);
  }

  void setString(Node& node, std::string_view text, const CodingPath& path) const {
    if (!StringEncoding(StringEncoding::utf8).decode(text)) {
      throw EncodingError("String",
                          {path, "Unable to encode a string that is not valid UTF-8.", nullptr});
    }
    node.value = std::string(text);
  }

  void setDouble(Node& node, double value, const CodingPath& path) const {
    if (std::isfinite(value)) {
      node.value = value;
      return;
    }
    if (options_.nonConformingFloatEncodingStrategy ==
        JSONEncoder::NonConformingFloatEncodingStrategy::convertToString) {
      node.value = std::isnan(value) ? options_.nan
                   : value > 0       ? options_.positiveInfinity
                                     : options_.negativeInfinity;
      return;
    }
    throw EncodingError(std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf"),
                        {path,
                         std::string("Unable to encode Double.") +
                             (std::isnan(value) ? "nan" : "infinity") + " directly in JSON.",
                         nullptr});
  }

  const JSONEncoder& options() const { return options_; }

 private:
  const JSONEncoder& options_;
};

// Makes `node` a container of the wanted kind; a node that already holds something else is a
// programming error reported as an EncodingError (not a crash).
template <class Kind>
Kind& become(Node& node, const CodingPath& path, const char* what) {
  if (std::holds_alternative<Unset>(node.value)) node.value = Kind{};
  if (auto* kind = std::get_if<Kind>(&node.value)) return *kind;
  throw EncodingError(
      what, {path, std::string("A value was already encoded here; cannot make it ") + what + ".",
             nullptr});
}

void setValue(Node& node, auto value, const CodingPath& path) {
  if (!std::holds_alternative<Unset>(node.value)) {
    throw EncodingError("Value",
                        {path, "A single value was already encoded in this container.", nullptr});
  }
  node.value = std::move(value);
}

class JSONValueEncoder;
NodePtr memberNode(Members& members, std::string name);

class JSONKeyedContainer final : public KeyedEncodingContainer {
 public:
  JSONKeyedContainer(const Context& context, NodePtr node, CodingPath path)
      : context_(context), node_(std::move(node)), path_(std::move(path)) {
    become<Members>(*node_, path_, "a dictionary");
  }

  const CodingPath& codingPath() const override { return path_; }
  void encodeNil(std::string_view key) override { slot(key)->value = Null{}; }
  void encodeBool(bool value, std::string_view key) override { slot(key)->value = value; }
  void encodeSigned(std::int64_t value, std::string_view key) override { slot(key)->value = value; }
  void encodeUnsigned(std::uint64_t value, std::string_view key) override {
    slot(key)->value = value;
  }
  void encodeDouble(double value, std::string_view key) override {
    context_.setDouble(*slot(key), value, keyPath(key));
  }
  void encodeString(std::string_view value, std::string_view key) override {
    context_.setString(*slot(key), value, keyPath(key));
  }
  std::unique_ptr<Encoder> encoderForKey(std::string_view key) override;
  std::unique_ptr<KeyedEncodingContainer> nestedContainer(std::string_view key) override {
    return std::make_unique<JSONKeyedContainer>(context_, slot(key), keyPath(key));
  }
  std::unique_ptr<UnkeyedEncodingContainer> nestedUnkeyedContainer(std::string_view key) override;

 private:
  CodingPath keyPath(std::string_view key) const {
    return appending(path_, CodingKey::key(std::string(key)));
  }
  // The member for `key`, emptied: encoding a key twice keeps its place and the later value.
  NodePtr slot(std::string_view key) {
    auto& members = become<Members>(*node_, path_, "a dictionary");
    auto node = memberNode(members, context_.key(key));
    node->value = Unset{};
    return node;
  }

  const Context& context_;
  NodePtr node_;
  CodingPath path_;
};

NodePtr memberNode(Members& members, std::string name) {
  for (auto& [existing, node] : members) {
    if (existing == name) return node;
  }
  auto node = std::make_shared<Node>();
  members.emplace_back(std::move(name), node);
  return node;
}

class JSONUnkeyedContainer final : public UnkeyedEncodingContainer {
 public:
  JSONUnkeyedContainer(const Context& context, NodePtr node, CodingPath path)
      : context_(context), node_(std::move(node)), path_(std::move(path)) {
    become<Elements>(*node_, path_, "an array");
  }

  const CodingPath& codingPath() const override { return path_; }
  int count() const override { return static_cast<int>(std::get<Elements>(node_->value).size()); }
  void encodeNil() override { append()->value = Null{}; }
  void encodeBool(bool value) override { append()->value = value; }
  void encodeSigned(std::int64_t value) override { append()->value = value; }
  void encodeUnsigned(std::uint64_t value) override { append()->value = value; }
  void encodeDouble(double value) override {
    auto path = nextPath();
    auto node = std::make_shared<Node>();
    context_.setDouble(*node, value, path);
    elements().push_back(std::move(node));
  }
  void encodeString(std::string_view value) override {
    auto path = nextPath();
    auto node = std::make_shared<Node>();
    context_.setString(*node, value, path);
    elements().push_back(std::move(node));
  }
  std::unique_ptr<Encoder> encoderForNextElement() override;
  std::unique_ptr<KeyedEncodingContainer> nestedContainer() override {
    auto path = nextPath();
    return std::make_unique<JSONKeyedContainer>(context_, append(), std::move(path));
  }
  std::unique_ptr<UnkeyedEncodingContainer> nestedUnkeyedContainer() override {
    auto path = nextPath();
    return std::make_unique<JSONUnkeyedContainer>(context_, append(), std::move(path));
  }

 private:
  Elements& elements() { return std::get<Elements>(node_->value); }
  CodingPath nextPath() const { return appending(path_, CodingKey::index(count())); }
  NodePtr append() {
    auto node = std::make_shared<Node>();
    elements().push_back(node);
    return node;
  }

  const Context& context_;
  NodePtr node_;
  CodingPath path_;
};

class JSONValueEncoder final : public Encoder {
 public:
  JSONValueEncoder(const Context& context, NodePtr node, CodingPath path)
      : context_(context), node_(std::move(node)), path_(std::move(path)) {}

  const CodingPath& codingPath() const override { return path_; }
  std::unique_ptr<KeyedEncodingContainer> container() override {
    return std::make_unique<JSONKeyedContainer>(context_, node_, path_);
  }
  std::unique_ptr<UnkeyedEncodingContainer> unkeyedContainer() override {
    return std::make_unique<JSONUnkeyedContainer>(context_, node_, path_);
  }
  std::unique_ptr<SingleValueEncodingContainer> singleValueContainer() override;

  const Context& context() const { return context_; }
  const NodePtr& node() const { return node_; }

 private:
  const Context& context_;
  NodePtr node_;
  CodingPath path_;
};

class JSONSingleValueContainer final : public SingleValueEncodingContainer {
 public:
  explicit JSONSingleValueContainer(JSONValueEncoder& encoder) : encoder_(encoder) {}

  const CodingPath& codingPath() const override { return encoder_.codingPath(); }
  void encodeNil() override { setValue(node(), Null{}, codingPath()); }
  void encodeBool(bool value) override { setValue(node(), value, codingPath()); }
  void encodeSigned(std::int64_t value) override { setValue(node(), value, codingPath()); }
  void encodeUnsigned(std::uint64_t value) override { setValue(node(), value, codingPath()); }
  void encodeDouble(double value) override {
    Node scratch;
    encoder_.context().setDouble(scratch, value, codingPath());
    setValue(node(), std::move(scratch.value), codingPath());
  }
  void encodeString(std::string_view value) override {
    Node scratch;
    encoder_.context().setString(scratch, value, codingPath());
    setValue(node(), std::move(scratch.value), codingPath());
  }
  void encodeDynamicValue(const Value& value) override { write(encoder_, value); }
  Encoder& encoder() override { return encoder_; }

 private:
  Node& node() { return *encoder_.node(); }

  static void write(JSONValueEncoder& encoder, const Value& value) {
    struct Visitor {
      JSONValueEncoder& encoder;
      void operator()(const Value::Null&) const { encoder.singleValueContainer()->encodeNil(); }
      void operator()(bool b) const { encoder.singleValueContainer()->encodeBool(b); }
      void operator()(std::int64_t i) const { encoder.singleValueContainer()->encodeSigned(i); }
      void operator()(std::uint64_t u) const { encoder.singleValueContainer()->encodeUnsigned(u); }
      void operator()(double d) const { encoder.singleValueContainer()->encodeDouble(d); }
      void operator()(const std::string& s) const {
        encoder.singleValueContainer()->encodeString(s);
      }
      void operator()(const Value::Bytes&) const {
        throw EncodingError(
            "Bytes",
            {encoder.codingPath(), "Raw bytes have no JSON form; encode them as text.", nullptr});
      }
      void operator()(const Value::Array& array) const {
        auto container = encoder.unkeyedContainer();
        for (const auto& element : array) {
          auto sub = container->encoderForNextElement();
          write(static_cast<JSONValueEncoder&>(*sub), element);
        }
      }
      void operator()(const Value::Dictionary& dictionary) const {
        auto container = encoder.container();
        for (const auto& [key, element] : dictionary) {
          auto sub = container->encoderForKey(key);
          write(static_cast<JSONValueEncoder&>(*sub), element);
        }
      }
    };
    std::visit(Visitor{encoder}, value.storage());
  }

  JSONValueEncoder& encoder_;
};

std::unique_ptr<SingleValueEncodingContainer> JSONValueEncoder::singleValueContainer() {
  return std::make_unique<JSONSingleValueContainer>(*this);
}

std::unique_ptr<Encoder> JSONKeyedContainer::encoderForKey(std::string_view key) {
  return std::make_unique<JSONValueEncoder>(context_, slot(key), keyPath(key));
}

std::unique_ptr<UnkeyedEncodingContainer> JSONKeyedContainer::nestedUnkeyedContainer(
    std::string_view key) {
  return std::make_unique<JSONUnkeyedContainer>(context_, slot(key), keyPath(key));
}

std::unique_ptr<Encoder> JSONUnkeyedContainer::encoderForNextElement() {
  auto path = nextPath();
  return std::make_unique<JSONValueEncoder>(context_, append(), std::move(path));
}

void write(std::string& out, const Node& node, const JSONEncoder& options, int depth) {
  const bool pretty = options.outputFormatting & JSONEncoder::prettyPrinted;
  const bool escapeSlashes = !(options.outputFormatting & JSONEncoder::withoutEscapingSlashes);
  struct Visitor : json_detail::ScalarWriter {
    const JSONEncoder& options;
    int depth;
    bool pretty;
    using ScalarWriter::operator();
    // A value asked for but never written (an encoder for a key that encoded nothing) is an
    // empty object.
    void operator()(const Unset&) const { out += "{}"; }
    void operator()(const Null&) const { out += "null"; }
    void operator()(const Elements& elements) const {
      json_detail::appendArray(out, elements, pretty, depth, [&](const NodePtr& element, int d) {
        write(out, *element, options, d);
      });
    }
    void operator()(const Members& members) const {
      std::vector<const std::pair<std::string, NodePtr>*> order;
      order.reserve(members.size());
      for (const auto& member : members)
        order.push_back(&member);
      if (options.outputFormatting & JSONEncoder::sortedKeys) {
        std::stable_sort(order.begin(), order.end(),
                         [](auto* a, auto* b) { return a->first < b->first; });
      }
      json_detail::appendObject(
          out, order, pretty, escapeSlashes, depth,
          [](const auto* member) -> const std::string& { return member->first; },
          [&](const auto* member, int d) { write(out, *member->second, options, d); });
    }
  };
  std::visit(Visitor{{out, escapeSlashes}, options, depth, pretty}, node.value);
}

class EncodingSession final : public JSONEncoder::Session {
 public:
  explicit EncodingSession(const JSONEncoder& options)
      : options_(options),
        context_(options_),
        root_(std::make_shared<Node>()),
        encoder_(context_, root_, {}) {}

  Encoder& encoder() override { return encoder_; }
  std::vector<std::uint8_t> finish() override {
    if (std::holds_alternative<Unset>(root_->value)) {
      throw EncodingError("Value", {{}, "Top-level value did not encode any values.", nullptr});
    }
    std::string text;
    write(text, *root_, options_, 0);
    return std::vector<std::uint8_t>(text.begin(), text.end());
  }

 private:
  const JSONEncoder options_;
  Context context_;
  NodePtr root_;
  JSONValueEncoder encoder_;
};

}  // namespace

std::unique_ptr<JSONEncoder::Session> JSONEncoder::begin() const {
  return std::make_unique<EncodingSession>(*this);
}

}  // namespace platform
