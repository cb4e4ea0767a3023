#include "platform/memory.h"

// Any C library header defines __GLIBC__ when the library is glibc.
#include <stdlib.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace platform {

namespace {

// Larger blocks are still mapped. 32 MiB is the most glibc accepts on 64-bit
// systems (it refuses more), and previews are a few megabytes.
constexpr int kLargestHeapBlock = 32 << 20;
// The heap keeps this much free memory at its top before returning it.
constexpr int kKeptFreeMemory = 128 << 20;

}  // namespace

void ReuseLargeAllocations() {
#ifdef __GLIBC__
  ::mallopt(M_MMAP_THRESHOLD, kLargestHeapBlock);
  ::mallopt(M_TRIM_THRESHOLD, kKeptFreeMemory);
#endif
}

}  // namespace platform
