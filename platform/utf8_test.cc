#include "platform/utf8.h"

#include <gtest/gtest.h>

namespace tamsel {
namespace {

TEST(Utf8, Validity) {
  for (const char* good : {"", "plain", "\xC3\xA9", "\xE2\x80\x94", "\xF0\x9F\x98\x80",
                           "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBD"}) {
    EXPECT_TRUE(isValidUtf8(good)) << good;
  }
  for (const char* bad : {"\xFF", "\x80", "\xC0\xAF", "\xC3", "\xE0\x80\x80", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "a\xE2\x80"}) {
    EXPECT_FALSE(isValidUtf8(bad)) << bad;
  }
  EXPECT_TRUE(isValidUtf8(std::string("a\0b", 3)));
}

TEST(Utf8, LossyDecodingReplacesEachMaximalBadSubpart) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(decodeUtf8Lossy("ok\xC3\xA9"), "ok\xC3\xA9");
  EXPECT_EQ(decodeUtf8Lossy("a\xFF"
                            "b"),
            "a" + r + "b");
  EXPECT_EQ(decodeUtf8Lossy("\xE2\x80x"), r + "x");       // truncated sequence: one
  EXPECT_EQ(decodeUtf8Lossy("\xC0\xAF"), r + r);          // overlong lead: each byte
  EXPECT_EQ(decodeUtf8Lossy("\xED\xA0\x80"), r + r + r);  // surrogate
  EXPECT_EQ(decodeUtf8Lossy("\xF0\x9F\x98"), r);          // cut four-byte form
}

}  // namespace
}  // namespace tamsel
