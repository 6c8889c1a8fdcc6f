#include "Memory.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>  // brings in the C library's version macros
#include <mutex>
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

// Freed large blocks kept for the next image (glibc tells a block's size).
#if defined(BREVANT_HUGE_PAGE_BLOCKS) && defined(__GLIBC__)
#define BREVANT_BLOCK_CACHE 1
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

#ifdef BREVANT_BLOCK_CACHE
// Large blocks freed since the allocator was tuned, kept for the next block
// of about their size: the next study's pixel data goes into the pages of
// the study before, already the process's, instead of into new ones at the
// heap's top while small blocks split the old ones up (the process grew by
// an image from one retrieval to the next). A block is handed out again
// only for a request it covers with at most a quarter to spare; what no
// request takes for a while is freed (releaseIdleBlocks).
class BlockCache {
 public:
  void* take(std::size_t size) noexcept {
    std::lock_guard lock(mutex_);
    std::size_t best = count_;
    for (std::size_t i = 0; i < count_; ++i) {
      const std::size_t spare = entries_[i].size - size;
      if (entries_[i].size >= size && spare <= size / 4 &&
          (best == count_ || entries_[i].size < entries_[best].size)) {
        best = i;
      }
    }
    if (best == count_) return nullptr;
    void* block = entries_[best].block;
    bytes_ -= entries_[best].size;
    entries_[best] = entries_[--count_];
    return block;
  }

  // False when the block is not kept: the caller frees it.
  bool keep(void* block, std::size_t size) noexcept {
    if (size > kMostBytes / 4) return false;
    std::lock_guard lock(mutex_);
    while (count_ == entries_.size() || bytes_ + size > kMostBytes) freeOldest();
    entries_[count_++] = {block, size, std::chrono::steady_clock::now()};
    bytes_ += size;
    return true;
  }

  void releaseIdle(std::chrono::steady_clock::duration idle) noexcept {
    std::lock_guard lock(mutex_);
    const auto since = std::chrono::steady_clock::now() - idle;
    while (count_ > 0 && oldest().freed <= since) freeOldest();
  }

 private:
  struct Entry {
    void* block = nullptr;
    std::size_t size = 0;
    std::chrono::steady_clock::time_point freed{};
  };
  static constexpr std::size_t kMostBytes = 256u * 1024 * 1024;

  Entry& oldest() noexcept {
    std::size_t first = 0;
    for (std::size_t i = 1; i < count_; ++i) {
      if (entries_[i].freed < entries_[first].freed) first = i;
    }
    return entries_[first];
  }
  void freeOldest() noexcept {
    Entry& entry = oldest();
    std::free(entry.block);
    bytes_ -= entry.size;
    entry = entries_[--count_];
  }

  std::mutex mutex_;
  std::array<Entry, 8> entries_{};
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
};

constinit BlockCache blockCache;

// An image's large block has been asked for since the memory was prepared.
std::atomic<bool> largeBlockAsked{false};
// When prepareMemory() finished, while no image has taken what it prepared;
// 0 otherwise.
std::atomic<std::chrono::steady_clock::rep> preparedAt{0};
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
#ifdef BREVANT_BLOCK_CACHE
  if (size >= kLargeBlock && hugePageBlocks.load(std::memory_order_relaxed)) {
    largeBlockAsked.store(true, std::memory_order_relaxed);
    if (void* block = blockCache.take(size)) return block;
  }
#endif
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr && size >= kLargeBlock && hugePageBlocks.load(std::memory_order_relaxed)) {
    adviseHugePages(block, size);
  }
  return block;
}

// free, or into the cache for the next large block.
void release(void* block) noexcept {
#ifdef BREVANT_BLOCK_CACHE
  if (block != nullptr && hugePageBlocks.load(std::memory_order_relaxed)) {
    const std::size_t size = malloc_usable_size(block);
    if (size >= kLargeBlock && blockCache.keep(block, size)) return;
  }
#endif
  std::free(block);
}

}  // namespace
#endif

bool keepsLargeBlocks() {
#ifdef BREVANT_BLOCK_CACHE
  return hugePageBlocks.load(std::memory_order_relaxed);
#else
  return false;
#endif
}

void prepareMemory([[maybe_unused]] std::size_t bytes) {
#ifdef BREVANT_BLOCK_CACHE
  if (!hugePageBlocks.load(std::memory_order_relaxed)) return;
  // Pieces below the allocator's mmap threshold come from the heap one
  // after the other; freed, they become one free stretch at its top.
  constexpr std::size_t kPiece = 8u * 1024 * 1024;
  constexpr std::size_t kPage = 4096;
  std::array<char*, 32> pieces{};
  std::size_t count = 0;
  largeBlockAsked.store(false, std::memory_order_relaxed);
  while (count < pieces.size() && count * kPiece < bytes &&
         !largeBlockAsked.load(std::memory_order_relaxed)) {
    auto* piece = static_cast<char*>(std::malloc(kPiece));
    if (piece == nullptr) break;
    pieces[count++] = piece;
    adviseHugePages(piece, kPiece);
    for (std::size_t at = 0; at < kPiece; at += kPage) static_cast<volatile char*>(piece)[at] = 0;
  }
  while (count > 0) std::free(pieces[--count]);
  if (!largeBlockAsked.load(std::memory_order_relaxed)) {
    preparedAt.store(std::chrono::steady_clock::now().time_since_epoch().count());
  }
#endif
}

void releaseIdleBlocks() {
#ifdef BREVANT_BLOCK_CACHE
  blockCache.releaseIdle(std::chrono::seconds(60));
  // Memory prepared for a first study: taken by it, or given back when the
  // study has not come within a minute.
  using Clock = std::chrono::steady_clock;
  const auto prepared = preparedAt.load();
  if (prepared == 0) return;
  const bool taken = largeBlockAsked.load(std::memory_order_relaxed);
  if (!taken &&
      Clock::now() - Clock::time_point(Clock::duration(prepared)) < std::chrono::minutes(1)) {
    return;
  }
  preparedAt.store(0);
  if (!taken) malloc_trim(0);
#endif
}

}  // namespace common

#ifdef BREVANT_HUGE_PAGE_BLOCKS
// The process's operator new, so that the blocks the DICOM toolkit
// allocates for pixel data get the huge page advice too. Every block still
// comes from malloc; operator delete frees it, or keeps a large one for the
// next.
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
  common::release(block);
}

void operator delete[](void* block) noexcept {
  common::release(block);
}

void operator delete(void* block, std::size_t) noexcept {
  common::release(block);
}

void operator delete[](void* block, std::size_t) noexcept {
  common::release(block);
}
#endif
