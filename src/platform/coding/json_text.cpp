#include "platform/coding/json_text.h"

#include <fmt/format.h>

#include <unordered_map>
#include <vector>

#include "platform/foundation/quoting_style.h"

namespace platform::json_detail {

namespace {

using Json = nlohmann::ordered_json;

// Builds the tree as the library's own parser does, but keeps each open object's names in a hash
// index: the insertion-ordered object looks a name up by scanning, which made an object of many
// keys cost time quadratic in their number. A repeated name keeps its first place and takes the
// last value, as before.
class TreeBuilder : public nlohmann::json_sax<Json> {
 public:
  explicit TreeBuilder(int maximumDepth) : maximumDepth_(maximumDepth) {}

  Json take() { return std::move(root_); }

  bool null() override { return put(Json(nullptr)); }
  bool boolean(bool value) override { return put(Json(value)); }
  bool number_integer(number_integer_t value) override { return put(Json(value)); }
  bool number_unsigned(number_unsigned_t value) override { return put(Json(value)); }
  bool number_float(number_float_t value, const string_t&) override { return put(Json(value)); }
  bool string(string_t& value) override { return put(Json(std::move(value))); }
  bool binary(binary_t& value) override { return put(Json::binary(std::move(value))); }

  bool start_object(std::size_t) override { return open(Json::object()); }
  bool key(string_t& name) override {
    checkDepth();
    Frame& frame = stack_.back();
    auto& members = static_cast<Members&>(frame.node->get_ref<Json::object_t&>());
    if (auto known = frame.index.find(name); known != frame.index.end()) {
      frame.slot = &members[known->second].second;
    } else {
      frame.index.emplace(name, members.size());
      members.emplace_back(std::move(name), Json());
      frame.slot = &members.back().second;
    }
    return true;
  }
  bool end_object() override {
    stack_.pop_back();
    return true;
  }
  bool start_array(std::size_t) override { return open(Json::array()); }
  bool end_array() override {
    stack_.pop_back();
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    throw SyntaxError(e.what());
  }

 private:
  using Members = std::vector<std::pair<const std::string, Json>>;
  struct Frame {
    Json* node;
    Json* slot = nullptr;  // where an object's next value goes
    std::unordered_map<std::string, std::size_t> index;
  };

  // Where the next value goes: the root, an array's end, or the slot an object's key made.
  Json* place(Json value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Frame& frame = stack_.back();
    if (frame.node->is_array()) {
      auto& items = frame.node->get_ref<Json::array_t&>();
      items.push_back(std::move(value));
      return &items.back();
    }
    *frame.slot = std::move(value);
    return frame.slot;
  }
  // A value or a name inside more containers than the bound allows fails the text, as does a
  // container opened there.
  void checkDepth() const {
    if (static_cast<int>(stack_.size()) > maximumDepth_) {
      throw SyntaxError("the text nests deeper than " + std::to_string(maximumDepth_) + " levels");
    }
  }
  bool put(Json value) {
    checkDepth();
    place(std::move(value));
    return true;
  }
  bool open(Json container) {
    checkDepth();
    // An open container's place never moves: its parent takes nothing more until it closes.
    stack_.push_back(Frame{place(std::move(container)), nullptr, {}});
    return true;
  }

  const int maximumDepth_;
  Json root_;
  std::vector<Frame> stack_;
};

}  // namespace

Json parse(std::span<const std::uint8_t> data, int maximumDepth) {
  if (data.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
    data = data.subspan(3);
  }
  TreeBuilder builder(maximumDepth);
  try {
    Json::sax_parse(data.begin(), data.end(), &builder, nlohmann::detail::input_format_t::json,
                    true, false);
  } catch (const nlohmann::ordered_json::exception& e) {
    throw SyntaxError(e.what());
  }
  return builder.take();
}

Value valueOf(const Json& json) {
  switch (json.type()) {
    case Json::value_t::boolean:
      return Value(json.get<bool>());
    case Json::value_t::number_integer:
      return Value(json.get<std::int64_t>());
    case Json::value_t::number_unsigned: {
      auto u = json.get<std::uint64_t>();
      if (u <= static_cast<std::uint64_t>(INT64_MAX)) return Value(static_cast<std::int64_t>(u));
      return Value(u);
    }
    case Json::value_t::number_float:
      return Value(json.get<double>());
    case Json::value_t::string:
      return Value(json.get<std::string>());
    case Json::value_t::array: {
      Value::Array array;
      array.reserve(json.size());
      for (const auto& element : json)
        array.push_back(valueOf(element));
      return Value(std::move(array));
    }
    case Json::value_t::object: {
      Value::Dictionary dictionary;
      for (const auto& [key, element] : json.items()) {
        dictionary.insert_or_assign(key, valueOf(element));
      }
      return Value(std::move(dictionary));
    }
    default:  // null, and the binary values JSON text never holds
      return Value();
  }
}

void appendString(std::string& out, std::string_view text, bool escapeSlashes) {
  appendQuoted(out, text,
               {.controls = QuotingStyle::Controls::json, .escapeSlashes = escapeSlashes});
}

std::string formatDouble(double value) {
  if (value == 0) return std::signbit(value) ? "-0" : "0";
  return fmt::format("{}", value);
}

void appendNewlineAndIndent(std::string& out, int depth) {
  out.push_back('\n');
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

}  // namespace platform::json_detail
