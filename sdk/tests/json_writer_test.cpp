#include <gtest/gtest.h>

#include "sdk/src/json/writer.hpp"

namespace quillet::sdk::json {
namespace {

TEST(JsonWriter, StringObjectIsCompactAndOrdered) {
  EXPECT_EQ(string_object({{"x", "A"}, {"y", "B"}}), R"({"x":"A","y":"B"})");
  EXPECT_EQ(string_object({}), "{}");
}

TEST(JsonWriter, EscapesWhatJsonRequires) {
  struct Case {
    std::string_view in;
    const char* out;
  };
  const Case cases[] = {
      {"plain", R"("plain")"},
      {"q\"b\\", R"("q\"b\\")"},
      {"\n\r\t\b\f", R"("\n\r\t\b\f")"},
      {std::string_view("\x00\x1f", 2), R"("\u0000\u001f")"},
      {"\x7f\xc3\xa9/", "\"\x7f\xc3\xa9/\""},
  };
  for (const Case& c : cases) {
    std::string out;
    append_string(out, c.in);
    EXPECT_EQ(out, c.out);
  }
}

}  // namespace
}  // namespace quillet::sdk::json
