#pragma once

namespace common {

// Sets the C allocator up for a process that receives, decodes and holds
// images of tens of megabytes each, and from then on asks for huge pages
// behind every large block the process allocates (operator new included,
// where the platform allows). Call it first thing in main, before any
// thread starts. Does nothing where the platform offers no such settings.
void tuneAllocatorForLargeImages();

}  // namespace common
