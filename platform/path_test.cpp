#include "platform/path.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(Utf, RoundTripsAllPlanes) {
  const std::u16string text = u"a\u00e9\u4e2d\U0001F600z";
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
  EXPECT_EQ(Utf16ToUtf8(u"\u00e9"), "\xc3\xa9");
}

TEST(Utf, InvalidInputBecomesReplacement) {
  EXPECT_EQ(Utf8ToUtf16("\xff" "a"), u"\ufffd" "a");
  EXPECT_EQ(Utf8ToUtf16("\xc3"), u"\ufffd");           // truncated sequence
  EXPECT_EQ(Utf8ToUtf16("\xc0\x80"), u"\ufffd\ufffd");  // overlong NUL
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xef\xbf\xbd");
}
