// Reading JSON text into a tree: the order of an object's names, repeated names, the depth
// bound, and objects of very many names, which must cost time linear in their number.

#include "platform/coding/json_text.h"

#include <gtest/gtest.h>

namespace {

using platform::json_detail::parse;
using platform::json_detail::SyntaxError;

std::span<const std::uint8_t> bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(JSONTextTest, TreesKeepOrderRepeatsAndTheDepthBound) {
  struct Row {
    const char* text;
    int depth;
    const char* written;  // the tree written back; empty for a syntax error
    const char* error;
  };
  const Row rows[] = {
      {R"({"z":1,"a":2,"m":3})", 8, R"({"z":1,"a":2,"m":3})", ""},
      {R"({"a":1,"b":2,"a":3})", 8, R"({"a":3,"b":2})", ""},
      {R"({"o":{"k":[1,{"x":null}]},"s":"t"})", 8, R"({"o":{"k":[1,{"x":null}]},"s":"t"})", ""},
      {R"([[1]])", 2, "[[1]]", ""},
      {R"([[[]]])", 2, "[[[]]]", ""},
      {R"([[[1]]])", 2, "", "the text nests deeper than 2 levels"},
      {R"([[1]])", 1, "", "the text nests deeper than 1 levels"},
      {R"({"a":{"b":1}})", 1, "", "the text nests deeper than 1 levels"},
      {R"([[]])", 1, "[[]]", ""},
      {"\xEF\xBB\xBF[true]", 1, "[true]", ""},
      {"7", 0, "7", ""},
      {R"({"a" 1})", 8, "",
       "[json.exception.parse_error.101] parse error at line 1, column 6: syntax error while "
       "parsing object separator - unexpected number literal; expected ':'"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    if (*row.error == '\0') {
      EXPECT_EQ(parse(bytes(row.text), row.depth).dump(), row.written);
    } else {
      try {
        parse(bytes(row.text), row.depth);
        ADD_FAILURE() << "parsed";
      } catch (const SyntaxError& e) {
        EXPECT_STREQ(e.what(), row.error);
      }
    }
  }
}

// 300,000 names (about 4 MB) read in one pass: looking each name up by scanning the names
// before it took minutes.
TEST(JSONTextTest, AnObjectOfManyNamesKeepsThemAllInOrder) {
  constexpr int kNames = 300000;
  std::string text = "{";
  for (int i = 0; i < kNames; ++i)
    text += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i);
  text += ",\"k7\":-1}";
  const auto tree = parse(bytes(text), 8);
  ASSERT_EQ(tree.size(), std::size_t{kNames});
  auto item = tree.items().begin();
  for (int i = 0; i < kNames; ++i, ++item) {
    ASSERT_EQ(item.key(), "k" + std::to_string(i));
    ASSERT_EQ(item.value().get<int>(), i == 7 ? -1 : i);
  }
}

}  // namespace
