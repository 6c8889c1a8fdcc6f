#pragma once

namespace common {

// Sets the C allocator up for a process that receives, decodes and holds
// images of tens of megabytes each, and from then on asks for huge pages
// behind every large block the process allocates (operator new included,
// where the platform allows). Call it first thing in main, before any
// thread starts. Does nothing where the platform offers no such settings.
void tuneAllocatorForLargeImages();

// Large blocks freed once the allocator is tuned are kept for the next image
// of about their size; this gives back those that no image has taken for a
// minute. Call it now and then from an idle moment.
void releaseIdleBlocks();

// True where freed large blocks are kept for reuse (glibc on Linux, outside
// sanitizer builds), once the allocator is tuned.
bool keepsLargeBlocks();

}  // namespace common
