// Whole-file identification and preview extraction over arbitrary bytes, in
// both metadata modes. Every complete Exif segment written must pass the
// strict reader, whatever the file's directories hold.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/exif_copy.h"
#include "engine/extract.h"
#include "tests/fixtures/exif_reader.h"

namespace {

constexpr const char* kSoftware = "Rawlift v1.00";

engine::ExtractedPreview ExtractWith(const engine::ByteSource& source, engine::MetadataMode mode,
                                     int32_t cover = 0) {
  engine::ExtractOptions options;
  options.software = kSoftware;
  options.metadata = mode;
  options.use.cover = cover;
  return engine::ExtractEmbeddedPreviewFrom(source, "fuzz", platform::NativePath(), options);
}

// A returned preview is a JPEG that starts with SOI and is fully readable;
// no JPEG comes with a reason and bytes always come without one.
void CheckOutcome(const engine::ExtractedPreview& got) {
  if (got.extracted()) {
    const uint8_t* buffer = got.bytes.get();
    const size_t length = got.length;
    if (length < 2 || buffer[0] != 0xFF || buffer[1] != 0xD8) std::abort();
    volatile uint8_t sink = 0;
    for (size_t i = 0; i < length; i += 4096) sink ^= buffer[i];
    sink ^= buffer[length - 1];
    (void)sink;
  } else if (got.reason == engine::NoPreviewReason::kNone || got.bytes) {
    std::abort();
  }
}

// The list of embedded images agrees with extraction: the chosen image is in
// the list and in the file, and its stored bytes are what extraction returned
// after SOI (behind a synthesized segment); a refused file is refused with the
// same reason. A choice by size refuses exactly the files extraction refuses,
// and gives one of the listed complete JPEGs.
void CheckImageList(const engine::ByteSource& source, const uint8_t* data, size_t size,
                    const engine::ExtractedPreview& extracted) {
  engine::Identification id;
  if (!engine::IdentifyImages(source, "fuzz", platform::NativePath(), &id)) return;
  if (!extracted.extracted()) {
    if (id.reason != extracted.reason || id.extraction_choice != -1) std::abort();
  } else {
    if (id.reason != engine::NoPreviewReason::kNone || id.extraction_choice < 0 ||
        static_cast<size_t>(id.extraction_choice) >= id.images.size())
      std::abort();
    const engine::EmbeddedImage& chosen = id.images[id.extraction_choice];
    if (!chosen.complete || chosen.offset > size || chosen.length > size - chosen.offset)
      std::abort();
    const size_t room =
        extracted.exif_synthesized ? extracted.length - static_cast<size_t>(chosen.length) : 0;
    if (extracted.length != chosen.length + room ||
        std::memcmp(extracted.bytes.get() + room + 2, data + chosen.offset + 2,
                    static_cast<size_t>(chosen.length) - 2) != 0)
      std::abort();
  }
  for (int32_t cover : {1, 256, 65535}) {
    const engine::ExtractedPreview by_size =
        ExtractWith(source, engine::MetadataMode::kCompact, cover);
    if (by_size.reason == engine::NoPreviewReason::kOutOfMemory) continue;
    if (by_size.extracted() != extracted.extracted()) std::abort();
    if (!extracted.extracted() && by_size.reason != extracted.reason) std::abort();
    CheckOutcome(by_size);
  }
}

void CheckStrictly(const uint8_t* segment, size_t size) {
  fixtures::ExifStructure read;
  std::string error;
  if (!fixtures::ReadExifSegment(segment, size, &read, &error)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  engine::MemorySource source(data, size);
  const engine::ExtractedPreview compact = ExtractWith(source, engine::MetadataMode::kCompact);
  CheckOutcome(compact);
  CheckImageList(source, data, size, compact);
  const engine::ExtractedPreview complete = ExtractWith(source, engine::MetadataMode::kComplete);
  CheckOutcome(complete);

  // The modes differ only in the segment inserted after SOI: the same
  // outcome, and the same stored bytes after it.
  if (complete.reason != compact.reason) std::abort();
  if (complete.extracted()) {
    if (complete.exif_synthesized != compact.exif_synthesized) std::abort();
    const bool same = complete.length == compact.length &&
                      std::memcmp(complete.bytes.get(), compact.bytes.get(), compact.length) == 0;
    if (!same) {
      if (!complete.exif_synthesized || complete.length < 4) std::abort();
      const uint8_t* jpeg = complete.bytes.get();
      const size_t segment = 2 + (static_cast<size_t>(jpeg[4]) << 8 | jpeg[5]);
      if (2 + segment > complete.length ||
          complete.length - segment != compact.length - engine::kExifSegmentSize ||
          std::memcmp(jpeg + 2 + segment, compact.bytes.get() + 2 + engine::kExifSegmentSize,
                      compact.length - 2 - engine::kExifSegmentSize) != 0)
        std::abort();
      CheckStrictly(jpeg + 2, segment);
    }
  }

  // The builder on its own, over whatever directories identification
  // recorded, even for files that give no preview.
  engine::ParseState state;
  engine::IdentifySource(source, "fuzz", platform::NativePath(), &state);
  const std::vector<uint8_t> segment = engine::BuildCompleteExifSegment(
      source, state.found.metadata_directories, 1, 640, 480, kSoftware);
  if (!segment.empty()) CheckStrictly(segment.data(), segment.size());
  return 0;
}
