// UTF-16 paths inside the program, native paths at the system boundary.
#pragma once

#include <string>

namespace platform {

#ifdef _WIN32
using NativeChar = wchar_t;
constexpr char16_t kPathSeparator = u'\\';
#else
using NativeChar = char;
constexpr char16_t kPathSeparator = u'/';
#endif
using NativePath = std::basic_string<NativeChar>;

// UTF-16 <-> UTF-8. Unpaired surrogates become U+FFFD on the way to UTF-8;
// invalid UTF-8 bytes become U+FFFD on the way to UTF-16.
std::string Utf16ToUtf8(const std::u16string& text);
std::u16string Utf8ToUtf16(const std::string& text);

// The native form of a UTF-16 path: UTF-16 itself on Windows, UTF-8 bytes
// on POSIX.
NativePath ToNativePath(const std::u16string& path);
std::u16string FromNativePath(const NativePath& path);

// 8-bit text naming a path in diagnostics (UTF-8).
std::string PathForDisplay(const std::u16string& path);

}  // namespace platform
