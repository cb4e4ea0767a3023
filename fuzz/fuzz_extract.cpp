// Whole-file identification and preview extraction over arbitrary bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/extract.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  engine::MemorySource source(data, size);
  engine::ExtractOptions options;
  options.software = "Rawlift v1.00";
  const engine::ExtractedPreview got =
      engine::ExtractEmbeddedPreviewFrom(source, "fuzz", platform::NativePath(), options);
  if (got.extracted()) {
    // A returned preview is a JPEG that starts with SOI and is fully readable.
    const uint8_t* buffer = got.bytes.get();
    const size_t length = got.length;
    if (length < 2 || buffer[0] != 0xFF || buffer[1] != 0xD8) std::abort();
    volatile uint8_t sink = 0;
    for (size_t i = 0; i < length; i += 4096) sink ^= buffer[i];
    sink ^= buffer[length - 1];
    (void)sink;
  } else if (got.reason == engine::NoPreviewReason::kNone || got.bytes) {
    std::abort();  // no JPEG and no reason, or bytes with a reason
  }
  return 0;
}
