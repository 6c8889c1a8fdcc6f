#pragma once

#include <cstddef>

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

// Makes this many bytes of the heap the process's own ahead of the first
// study, so that its pixel data does not wait for the kernel to zero-fill
// new pages (each first touch of a page is a page fault, costly on a
// virtual machine): they are allocated, touched and freed again, and the
// first study's blocks are then carved from them. Stops early, giving back
// what it holds, as soon as an image's large block is asked for. Blocks the
// calling thread for up to a few hundred milliseconds: call it from a
// thread of its own after start-up. releaseIdleBlocks() gives the memory
// back when no study has taken it within a minute. Does nothing where large
// blocks are not kept.
void prepareMemory(std::size_t bytes);
// What the station prepares: about half of a four-view study of full-field
// mammograms (4 x 27 MB), so that a smaller study, or a compressed one, does
// not leave much of it unused (it would show in the process's peak).
inline constexpr std::size_t kPreparedBytes = 64u * 1024 * 1024;

// True where freed large blocks are kept for reuse (glibc on Linux, outside
// sanitizer builds), once the allocator is tuned.
bool keepsLargeBlocks();

}  // namespace common
