// Tuning of the process's memory allocator for work on large buffers.
#pragma once

namespace platform {

// Keeps blocks of up to 32 MiB in the allocator's heap once freed, so that a
// process handling one multi-megabyte preview after another reuses the same
// memory instead of asking the system for fresh zeroed pages each time (with
// glibc, blocks beyond a small threshold are otherwise mapped and unmapped
// per allocation). Call once, early, from a program's main thread; a library
// loaded into another process (the Explorer extension) must not. Does
// nothing where the allocator needs no such help.
void ReuseLargeAllocations();

}  // namespace platform
