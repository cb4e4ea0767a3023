#include "platform/memory.h"

namespace platform {

// The Windows heap keeps freed large blocks for reuse by itself.
void ReuseLargeAllocations() {}

}  // namespace platform
