// Whole-file identification and preview extraction over arbitrary bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/extract.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  engine::MemorySource source(data, size);
  uint8_t* buffer = nullptr;
  uint32_t length = 0;
  if (engine::ExtractEmbeddedPreviewFrom(source, "fuzz", platform::NativePath(), "Rawlift v1.00",
                                         &buffer, &length)) {
    // A returned preview is a JPEG that starts with SOI and is fully readable.
    if (length < 2 || buffer[0] != 0xFF || buffer[1] != 0xD8) std::abort();
    volatile uint8_t sink = 0;
    for (uint32_t i = 0; i < length; i += 4096) sink ^= buffer[i];
    sink ^= buffer[length - 1];
    (void)sink;
    std::free(buffer);
  }
  return 0;
}
