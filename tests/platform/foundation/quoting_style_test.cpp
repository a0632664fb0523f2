#include "platform/foundation/quoting_style.h"

#include <gtest/gtest.h>

#include <string>

namespace platform {
namespace {

using namespace std::string_literals;
using Controls = QuotingStyle::Controls;

TEST(QuotingStyle, EachStyleEscapesItsOwnSet) {
  const QuotingStyle braced;
  const QuotingStyle display{.nulAsZero = true};
  const QuotingStyle network{.c1Controls = true};
  const QuotingStyle json{.controls = Controls::json};
  const QuotingStyle jsonSlashes{.controls = Controls::json, .escapeSlashes = true};
  struct Row {
    const char* what;
    QuotingStyle style;
    std::string text;
    std::string quoted;
  };
  const Row rows[] = {
      {"plain", braced, "caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"always escaped", braced, "a\"b\\c\nd\re\tf", R"("a\"b\\c\nd\re\tf")"},
      {"C0 and DEL", braced, "\x1B[2J\x7F\b", R"("\u{1B}[2J\u{7F}\u{8}")"},
      {"NUL braced", braced, "a\0b"s, R"("a\u{0}b")"},
      {"NUL as zero", display, "a\0b\x01"s, R"("a\0b\u{1}")"},
      {"C1 left as it is", braced, "\xC2\x85", "\"\xC2\x85\""},
      {"C1 escaped", network, "x\xC2\x85y\xC2\x9B", R"("x\u{85}y\u{9B}")"},
      {"C1 style keeps other characters", network, "\xC3\xA9\xE2\x82\xAC",
       "\"\xC3\xA9\xE2\x82\xAC\""},
      // An ill-formed byte never hides the control after it.
      {"ill-formed before a control", network, "\xC3\x1B", "\"\xC3\\u{1B}\""},
      {"ill-formed bytes kept", network, "\xFF\xED\xA0\x80", "\"\xFF\xED\xA0\x80\""},
      {"json short escapes", json, "\b\f\n", R"("\b\f\n")"},
      {"json controls", json, "\x01\x1F\x7F"s, "\"\\u0001\\u001f\x7F\""},
      {"json NUL", json, "\0"s, R"("\u0000")"},
      {"json slash kept", json, "a/b", R"("a/b")"},
      {"json slash escaped", jsonSlashes, "a/b", R"("a\/b")"},
      {"empty", braced, "", R"("")"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(quoted(row.text, row.style), row.quoted) << row.what;
  }
  std::string out = "key: ";
  appendQuoted(out, "v\n", json);
  EXPECT_EQ(out, R"(key: "v\n")");
}

}  // namespace
}  // namespace platform
