// Metadata of headerless raw files from their companion JPEG.
//
// Some early NIKON, CASIO and PENTAX cameras wrote the sensor data as a bare
// file and the shot's Exif data into a JPEG beside it. The companion's name
// follows from the raw file's: DSCN0123.NEF goes with 0123DSCN.JPG. Only the
// companion's Exif block is read; it is never taken as the preview.
#include "engine/sidecar.h"

#include <cstdio>
#include <new>

#include "engine/input.h"
#include "engine/parsers.h"

namespace engine {
namespace {

using platform::NativeChar;
using platform::NativePath;

constexpr size_t kBaseNameLength = 8;   // "DSCN0123"
constexpr size_t kExtensionLength = 4;  // ".NEF", with the dot
// The TIFF header of an Exif JPEG: FF D8, FF E1, length, "Exif" and two NULs.
constexpr int64_t kExifTiffBase = 12;

bool IsAsciiUpper(NativeChar c) {
  return c >= 'A' && c <= 'Z';
}
bool IsAsciiDigit(NativeChar c) {
  return c >= '0' && c <= '9';
}
NativeChar AsciiLower(NativeChar c) {
  return IsAsciiUpper(c) ? static_cast<NativeChar>(c - 'A' + 'a') : c;
}

bool IsJpegExtension(const NativePath& path, size_t dot) {
  static const char kJpg[] = ".jpg";
  for (size_t i = 0; i < kExtensionLength; ++i)
    if (AsciiLower(path[dot + i]) != static_cast<NativeChar>(kJpg[i])) return false;
  return true;
}

// Switches the state's input to the companion file and back, whatever way the
// parse ends (an allocation failure abandons it with ParseAbort).
class CompanionInput {
 public:
  CompanionInput(ParseState& s, const ByteSource& companion)
      : s_(s), original_(s.input.Source()), position_(s.input.Tell()), file_size_(s.file_size) {
    s_.input.Attach(&companion);
    // Bounds inside the companion's parse are those of the companion.
    const int64_t size = s_.input.Size();
    s_.file_size = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(size);
  }
  ~CompanionInput() {
    s_.input.Attach(original_);
    s_.input.Seek(position_);
    s_.file_size = file_size_;
  }
  CompanionInput(const CompanionInput&) = delete;
  CompanionInput& operator=(const CompanionInput&) = delete;

 private:
  ParseState& s_;
  const ByteSource* original_;
  int64_t position_;
  int32_t file_size_;
};

}  // namespace

NativePath SidecarCompanionPath(const NativePath& path) {
  size_t base = path.rfind(static_cast<NativeChar>('/'));
  if (base == NativePath::npos) base = path.rfind(static_cast<NativeChar>('\\'));
  base = base == NativePath::npos ? 0 : base + 1;
  const size_t dot = path.rfind(static_cast<NativeChar>('.'));
  if (dot == NativePath::npos || dot < base) return NativePath();
  if (path.size() - dot != kExtensionLength || dot - base != kBaseNameLength) return NativePath();

  NativePath companion = path;
  if (!IsJpegExtension(path, dot)) {
    static const char kUpper[] = ".JPG";
    static const char kLower[] = ".jpg";
    const char* extension = IsAsciiUpper(path[dot + 1]) ? kUpper : kLower;
    for (size_t i = 0; i < kExtensionLength; ++i)
      companion[dot + i] = static_cast<NativeChar>(extension[i]);
    // The shot number and the prefix change places: DSCN0123 -> 0123DSCN.
    const size_t half = kBaseNameLength / 2;
    for (size_t i = 0; i < half; ++i) {
      companion[base + i] = path[base + half + i];
      companion[base + half + i] = path[base + i];
    }
  } else {
    // A JPEG input: the next shot's number, counting up with carry through
    // the digits before the dot, never past the start of the base name.
    for (size_t i = dot; i > base && IsAsciiDigit(companion[i - 1]); --i) {
      NativeChar& digit = companion[i - 1];
      if (digit != '9') {
        ++digit;
        break;
      }
      digit = '0';
    }
  }
  return companion;
}

void read_sidecar_metadata(ParseState& s) {
  // A memory input has no folder to look in: no lookup, only the message.
  NativePath companion;
  if (!s.input_path.empty()) {
    try {
      companion = SidecarCompanionPath(s.input_path);
    } catch (const std::bad_alloc&) {
      CheckAllocation(s, nullptr, "read_sidecar_metadata()");
    }
    if (companion.empty()) return;  // the name has no companion
  }

  if (!companion.empty() && companion != s.input_path) {
    FileSource source(companion);
    if (source.IsOpen()) {
      CompanionInput switched(s, source);
      const size_t images_before = s.found.images_met.size();
      const bool past_end_before = s.found.needed_past_end;
      ParseTiff(s, kExifTiffBase);
      // Those directories and images lie in the companion, not in the file
      // extracted from.
      s.found.metadata_directories = MetadataDirectories();
      s.found.images_met.resize(images_before);
      s.found.needed_past_end = past_end_before;
      WithdrawPreviewClaim(s);
      // The companion is an ordinary JPEG; what its rules said about being
      // raw is not about this file.
      s.raw.raw_count = 1;
      s.found.not_raw_reason = NoPreviewReason::kNone;
    }
  }

  if (s.shot.timestamp == 0 && s.diagnostics) {
    const std::string name = companion.empty()
                                 ? (s.input_name.empty() ? std::string("(input)") : s.input_name)
                                 : platform::PathForDisplay(platform::FromNativePath(companion));
    s.diagnostics("Failed to read metadata from " + name + "\n");
  }
}

}  // namespace engine
