#include "platform/json_string.h"

#include <gtest/gtest.h>

namespace tamsel {
namespace {

std::string json(std::string_view text) {
  std::string out = "prefix:";
  EXPECT_TRUE(appendJsonString(out, text)) << text;
  return out.substr(7);
}

TEST(JsonString, EscapesAsThePlatformSerializer) {
  EXPECT_EQ(json(""), "\"\"");
  EXPECT_EQ(json("say \"hi\"\nto /tmp\\x"), R"("say \"hi\"\nto \/tmp\\x")");
  EXPECT_EQ(json("\b\f\r\t"), R"("\b\f\r\t")");
  EXPECT_EQ(json(std::string_view("\0\x01\x1f\x7f", 4)), "\"\\u0000\\u0001\\u001f\x7f\"");
  EXPECT_EQ(json("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xE2\x80\xA8"),
            "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xE2\x80\xA8\"");
}

// Every byte that needs care, at every offset of a long plain text (the text is scanned a word
// at a time, so a special byte must be found wherever it falls in a word).
TEST(JsonString, SpecialBytesAreFoundAtEveryOffset) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"\"", "\\\""}, {"\\", "\\\\"},      {"/", "\\/"},
      {"\n", "\\n"},  {"\x01", "\\u0001"}, {"\x1f", "\\u001f"},
      {" ", " "},     {"\x7f", "\x7f"},    {"\xC3\xA9", "\xC3\xA9"}};
  for (const auto& [in, expected] : cases) {
    for (std::size_t at = 0; at <= 24; ++at) {
      const std::string text = std::string(at, 'a') + std::string(in) + std::string(24 - at, 'b');
      EXPECT_EQ(json(text), "\"" + std::string(at, 'a') + std::string(expected) +
                                std::string(24 - at, 'b') + "\"")
          << "at " << at;
    }
  }
}

TEST(JsonString, TextThatIsNotUtf8IsRefusedAndLeavesNoTrace) {
  for (const std::string_view bad :
       {std::string_view("end\xE2\x82"), std::string_view("aaaaaaaaaaaaa\xFF"
                                                          "bbbbbbbbbbbbb")}) {
    std::string out = "kept";
    EXPECT_FALSE(appendJsonString(out, bad));
    EXPECT_EQ(out, "kept");
  }
}

}  // namespace
}  // namespace tamsel
