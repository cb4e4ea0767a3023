#include "platform/path.h"

#include <cstdint>

namespace platform {

namespace {

// Where a byte that is not valid UTF-8 is kept in UTF-16: U+DC00 + byte.
// Such bytes are 0x80..0xFF (ASCII is always valid), so U+DC80..U+DCFF.
constexpr uint32_t kKeptByteBase = 0xDC00;
constexpr uint32_t kFirstKeptByte = kKeptByteBase + 0x80;
constexpr uint32_t kLastKeptByte = kKeptByteBase + 0xFF;
constexpr uint32_t kReplacement = 0xFFFD;

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (cp >> 18));
    *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// What happens to what UTF-8 cannot carry: lone surrogates one way,
// invalid bytes the other.
enum class Lossless {
  No,          // U+FFFD
  Bytes,       // invalid bytes <-> lone U+DC80..U+DCFF (POSIX names)
  Surrogates,  // lone surrogates <-> their three-byte form (Windows names)
};

std::string EncodeUtf8(const std::u16string& text, Lossless mode) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (mode == Lossless::Bytes && cp >= kFirstKeptByte && cp <= kLastKeptByte) {
        out += static_cast<char>(cp - kKeptByteBase);
        continue;
      }
      if (mode != Lossless::Surrogates) cp = kReplacement;
    }
    AppendUtf8(cp, &out);
  }
  return out;
}

// Each byte that does not start a valid sequence becomes U+FFFD, or with
// Lossless::Bytes U+DC00 + byte; decoding goes on with the next byte.
std::u16string DecodeUtf8(const std::string& text, Lossless mode) {
  std::u16string out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    uint32_t c = s[i];
    uint32_t cp = mode == Lossless::Bytes ? kKeptByteBase + c : kReplacement;
    size_t len = 1;
    if (c < 0x80) {
      cp = c;
    } else if (c >= 0xC2 && c <= 0xF4) {
      const size_t need = c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
      uint32_t v = c & (0x3F >> need);
      bool ok = true;
      for (size_t k = 1; k <= need; ++k) {
        if (i + k >= n || (s[i + k] & 0xC0) != 0x80) {
          ok = false;
          break;
        }
        v = (v << 6) | (s[i + k] & 0x3F);
      }
      const uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
      // Encoded surrogates are not valid UTF-8; refusing them also keeps a
      // decoded POSIX name from ever holding a lone surrogate that was not a
      // byte. Only a Windows name's own lone surrogates come back from them.
      const bool surrogate = v >= 0xD800 && v <= 0xDFFF;
      if (ok && v >= minimum[need] && v <= 0x10FFFF &&
          (!surrogate || mode == Lossless::Surrogates)) {
        cp = v;
        len = need + 1;
      }
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

}  // namespace

std::string Utf16ToUtf8(const std::u16string& text) {
  return EncodeUtf8(text, Lossless::No);
}

std::u16string Utf8ToUtf16(const std::string& text) {
  return DecodeUtf8(text, Lossless::No);
}

std::string Utf16ToUtf8KeepingBytes(const std::u16string& text) {
  return EncodeUtf8(text, Lossless::Bytes);
}

std::u16string Utf8ToUtf16KeepingBytes(const std::string& bytes) {
  return DecodeUtf8(bytes, Lossless::Bytes);
}

std::string Utf16ToUtf8KeepingSurrogates(const std::u16string& text) {
  return EncodeUtf8(text, Lossless::Surrogates);
}

std::u16string Utf8ToUtf16KeepingSurrogates(const std::string& text) {
  return DecodeUtf8(text, Lossless::Surrogates);
}

NativePath ToNativePath(const std::u16string& path) {
#ifdef _WIN32
  return NativePath(path.begin(), path.end());
#else
  return Utf16ToUtf8KeepingBytes(path);
#endif
}

std::u16string FromNativePath(const NativePath& path) {
#ifdef _WIN32
  return std::u16string(path.begin(), path.end());
#else
  return Utf8ToUtf16KeepingBytes(path);
#endif
}

std::string PathForDisplay(const std::u16string& path) {
  return Utf16ToUtf8(path);
}

}  // namespace platform
