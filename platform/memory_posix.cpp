#include "platform/memory.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace platform {

namespace {

// Larger blocks are still mapped: nothing here allocates them, and a stray
// huge allocation should go back to the system when freed.
constexpr int kLargestHeapBlock = 64 << 20;
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
