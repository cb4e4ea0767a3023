// UTF-16 paths inside the program, native paths at the system boundary.
#pragma once

#include <string>

namespace platform {

#ifdef _WIN32
using NativeChar = wchar_t;
constexpr char16_t kPathSeparator = u'\\';
// Windows takes either separator between the parts of a path.
inline bool IsPathSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}
#else
using NativeChar = char;
constexpr char16_t kPathSeparator = u'/';
inline bool IsPathSeparator(char16_t c) {
  return c == u'/';
}
#endif
using NativePath = std::basic_string<NativeChar>;

// UTF-16 <-> UTF-8 for text. Unpaired surrogates become U+FFFD on the way to
// UTF-8; invalid UTF-8 bytes become U+FFFD on the way to UTF-16.
std::string Utf16ToUtf8(const std::u16string& text);
std::u16string Utf8ToUtf16(const std::string& text);

// UTF-16 <-> bytes for names, without loss. A POSIX name is any bytes but
// '/' and NUL, in whatever encoding its creator used (a Latin-1 "caf\xe9").
// Valid UTF-8 is decoded as usual; every byte that is not part of a valid
// UTF-8 sequence (always 0x80..0xFF) becomes the lone low surrogate
// U+DC00 + byte, which valid UTF-8 never yields, and is turned back into
// that byte on the way back. So bytes -> UTF-16 -> bytes gives the same
// bytes for every name. Lone surrogates outside U+DC80..U+DCFF have no byte
// and become U+FFFD.
std::u16string Utf8ToUtf16KeepingBytes(const std::string& bytes);
std::string Utf16ToUtf8KeepingBytes(const std::u16string& text);

// UTF-16 <-> 8-bit text for Windows names, without loss. A Windows name is
// any UTF-16 units, lone surrogates included; each lone surrogate is written
// as the three bytes UTF-8 would give it were it a character (ED A0..BF xx)
// and read back from them. Everything else is plain UTF-8; invalid bytes
// become U+FFFD.
std::string Utf16ToUtf8KeepingSurrogates(const std::u16string& text);
std::u16string Utf8ToUtf16KeepingSurrogates(const std::string& text);

// The native form of a UTF-16 path: UTF-16 itself on Windows, the name's
// bytes on POSIX (UTF-8, with the kept bytes above put back).
NativePath ToNativePath(const std::u16string& path);
std::u16string FromNativePath(const NativePath& path);

// A path in diagnostics and reports: always valid UTF-8, with U+FFFD for
// each byte of a name that is not UTF-8 (the path itself keeps them).
std::string PathForDisplay(const std::u16string& path);

}  // namespace platform
