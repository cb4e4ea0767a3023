#include "platform/path.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(Utf, RoundTripsAllPlanes) {
  const std::u16string text = u"a\u00e9\u4e2d\U0001F600z";
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
  EXPECT_EQ(Utf16ToUtf8(u"\u00e9"), "\xc3\xa9");
}

TEST(Utf, InvalidInputBecomesReplacement) {
  EXPECT_EQ(Utf8ToUtf16("\xff"
                        "a"),
            u"\ufffd"
            "a");
  EXPECT_EQ(Utf8ToUtf16("\xc3"), u"\ufffd");            // truncated sequence
  EXPECT_EQ(Utf8ToUtf16("\xc0\x80"), u"\ufffd\ufffd");  // overlong NUL
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xef\xbf\xbd");
}

// Names are any bytes on POSIX; each of these must come back byte for byte
// from UTF-16, or a file listed in a folder cannot be opened by its name.
TEST(NameBytes, EveryByteSequenceRoundTrips) {
  const std::string names[] = {
      "caf\xe9.NEF",               // Latin-1: a lone lead-range byte
      "\xc3\xa9\xe9.CR2",          // valid UTF-8 next to a Latin-1 byte
      "\x80\xbf",                  // continuation bytes with no lead
      "\xe2\x82",                  // a sequence cut short
      "\xc0\xaf",                  // overlong '/': must not become a separator
      "\xed\xa0\x80\xed\xb2\x80",  // encoded surrogates, which are not UTF-8
      "\xed\xb2\x80",              // the very text a kept 0x80 would look like, encoded
      "\xf0\x9f\x98\x80\xe9",      // a byte straight after an astral character
      "\xf5\xf8\xfe\xff",          // bytes that never start a sequence
      "\xf4\x90\x80\x80",          // beyond U+10FFFF
  };
  for (const std::string& name : names) {
    const std::u16string wide = Utf8ToUtf16KeepingBytes(name);
    EXPECT_EQ(Utf16ToUtf8KeepingBytes(wide), name);
    // Shown names stay valid UTF-8 with a replacement for each kept byte.
    const std::string shown = PathForDisplay(wide);
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(shown)), shown);
    EXPECT_EQ(shown.find('\xc0'), std::string::npos);
  }
  // Every single byte and every pair: no two inputs share a UTF-16 form.
  for (int a = 1; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      std::string name(1, static_cast<char>(a));
      if (b != 0) name += static_cast<char>(b);
      ASSERT_EQ(Utf16ToUtf8KeepingBytes(Utf8ToUtf16KeepingBytes(name)), name) << a << " " << b;
    }
  }
  EXPECT_EQ(Utf8ToUtf16KeepingBytes("caf\xe9"), u"caf\xdce9");
  EXPECT_EQ(PathForDisplay(u"caf\xdce9"), "caf\xef\xbf\xbd");
  // Valid UTF-8 decodes as it always did.
  EXPECT_EQ(Utf8ToUtf16KeepingBytes("\xc3\xa9\xe4\xb8\xad"), u"\u00e9\u4e2d");
}

TEST(NameBytes, SurrogatesThatAreNoByteBecomeReplacements) {
  // A lone high surrogate or a low one below U+DC80 (from a Windows name)
  // has no byte to stand for.
  EXPECT_EQ(Utf16ToUtf8KeepingBytes(std::u16string(1, char16_t(0xD800))), "\xef\xbf\xbd");
  EXPECT_EQ(Utf16ToUtf8KeepingBytes(std::u16string(1, char16_t(0xDC41))), "\xef\xbf\xbd");
  // A proper pair is one character, even when its low half is in the kept range.
  EXPECT_EQ(Utf16ToUtf8KeepingBytes(u"\U00010080"), "\xf0\x90\x82\x80");
}

#ifndef _WIN32
TEST(NameBytes, NativePathsKeepTheBytesOnPosix) {
  EXPECT_EQ(ToNativePath(FromNativePath("/photos/caf\xe9/\xff.NEF")), "/photos/caf\xe9/\xff.NEF");
}
#endif

// Windows names are any UTF-16 units; a lone surrogate passed through 8-bit
// text (the command line's arguments) must come back, or the argument names
// another file.
TEST(NameSurrogates, LoneSurrogatesRoundTripThroughEightBitText) {
  const std::u16string names[] = {
      std::u16string(u"a") + char16_t(0xD800) + u".NEF",    // lone high
      std::u16string(u"a") + char16_t(0xDC80) + u".NEF",    // lone low in the kept-byte range
      std::u16string(1, char16_t(0xDBFF)) + u"\U0001F600",  // lone high before a pair
      std::u16string(u"\u00e9\u4e2d") + char16_t(0xDFFF),   // after ordinary characters
  };
  for (const std::u16string& name : names) {
    const std::string text = Utf16ToUtf8KeepingSurrogates(name);
    EXPECT_EQ(Utf8ToUtf16KeepingSurrogates(text), name);
    // Shown, they are replacements.
    EXPECT_EQ(PathForDisplay(name).find("\xed"), std::string::npos);
  }
  EXPECT_EQ(Utf16ToUtf8KeepingSurrogates(std::u16string(1, char16_t(0xD800))), "\xed\xa0\x80");
  // Bytes that are no UTF-8 at all still become replacements here.
  EXPECT_EQ(Utf8ToUtf16KeepingSurrogates("caf\xe9"), u"caf\ufffd");
}
