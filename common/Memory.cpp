#include "Memory.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>  // brings in the C library's version macros
#include <new>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#if defined(__linux__)
#include <sys/mman.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define BREVANT_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BREVANT_SANITIZED 1
#endif
#endif

// Large blocks on huge pages: Linux with transparent huge pages offered
// on request ("madvise"). Sanitizer builds keep their own allocator.
#if defined(__linux__) && defined(MADV_HUGEPAGE) && !defined(BREVANT_SANITIZED)
#define BREVANT_HUGE_PAGE_BLOCKS 1
#endif

namespace common {
namespace {

#ifdef BREVANT_HUGE_PAGE_BLOCKS
// Blocks this large are a received image's pixel data or a decoded copy of
// it; they are filled once, right after they are allocated.
constexpr std::size_t kLargeBlock = 4u * 1024 * 1024;
constexpr std::uintptr_t kHugePage = 2u * 1024 * 1024;

std::atomic<bool> hugePageBlocks{false};

// Asks the kernel to back the block's whole 2 MiB pages with huge pages.
// A pixel buffer filled from the network then costs one page fault per
// 2 MiB instead of one per 4 KiB; on a virtual machine each fault is
// expensive, and 4 KiB faults took as long as the whole transfer from the
// archive. Where the kernel offers no huge pages the advice is ignored.
void adviseHugePages(void* block, std::size_t size) noexcept {
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = (start + size) & ~(kHugePage - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}
#endif

}  // namespace

void tuneAllocatorForLargeImages() {
#ifdef __GLIBC__
  // By default glibc serves every block above 128 KiB (raised gradually up
  // to 32 MiB as such blocks are freed) with a fresh mmap and gives it back
  // with munmap. A mammogram's pixel data and its decoding buffers are
  // 10-30 MiB each, so every received image paid for its memory twice: the
  // kernel zero-fills each new page on first touch (page faults took about a
  // third of a retrieval's CPU time) and unmaps it again when the buffer is
  // freed. Serving blocks up to 32 MiB from the heap, and keeping up to
  // 512 MiB of freed heap memory instead of trimming it, lets the next image
  // reuse the pages of the previous one. The price: up to 512 MiB of freed
  // memory may stay with the process, ready for the next study.
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
  // Every received association runs on a thread of its own, and glibc gives
  // a new thread whichever arena is free: the next study's pixel data then
  // went to another arena than the one the previous study's memory was freed
  // to, and the process grew by an image or more (peak 1.7 x the pixel
  // bytes instead of 1.45 x) and paid the page faults again. One arena for
  // the whole process lets every study reuse the memory of the one before;
  // the few threads that allocate at all rarely meet in it.
  mallopt(M_ARENA_MAX, 1);
#endif
#ifdef BREVANT_HUGE_PAGE_BLOCKS
  hugePageBlocks.store(true, std::memory_order_relaxed);
#endif
}

#ifdef BREVANT_HUGE_PAGE_BLOCKS
namespace {

// malloc, with the huge page advice for large blocks once the allocator is
// tuned. The block is released with free().
void* allocate(std::size_t size) noexcept {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr && size >= kLargeBlock && hugePageBlocks.load(std::memory_order_relaxed)) {
    adviseHugePages(block, size);
  }
  return block;
}

}  // namespace
#endif

}  // namespace common

#ifdef BREVANT_HUGE_PAGE_BLOCKS
// The process's operator new, so that the blocks the DICOM toolkit
// allocates for pixel data get the huge page advice too. Every block still
// comes from malloc, so the standard operator delete (free) releases it.
namespace {

void* allocateOrThrow(std::size_t size) {
  for (;;) {
    if (void* block = common::allocate(size)) return block;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

}  // namespace

void* operator new(std::size_t size) {
  return allocateOrThrow(size);
}

void* operator new[](std::size_t size) {
  return allocateOrThrow(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocateOrThrow(size);
  } catch (...) {
    return nullptr;
  }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocateOrThrow(size);
  } catch (...) {
    return nullptr;
  }
}

void operator delete(void* block) noexcept {
  std::free(block);
}

void operator delete[](void* block) noexcept {
  std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}
#endif
