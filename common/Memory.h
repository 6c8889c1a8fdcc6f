#pragma once

namespace common {

// Sets the C allocator up for a process that receives, decodes and holds
// images of tens of megabytes each. Call it first thing in main, before any
// thread starts. Does nothing where the C library offers no such settings.
void tuneAllocatorForLargeImages();

}  // namespace common
