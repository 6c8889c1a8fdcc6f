#include "Memory.h"

#include <cstdlib>  // brings in the C library's version macros

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace common {

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
#endif
}

}  // namespace common
