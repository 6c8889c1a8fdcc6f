// The allocator the station runs with: a freed large block goes to the next
// request it covers, never to one it is too small for, and memory prepared
// ahead takes the first image without a page fault. Sanitizer builds keep
// their own allocator and cannot see this one, so it is checked here.

#include <QtTest>
#include <cstdint>
#include <cstring>

#include "common/Memory.h"

#ifdef __linux__
#include <sys/resource.h>
#endif

class MemoryTest : public QObject {
  Q_OBJECT
 private slots:
  void largeBlocksGoToRequestsTheyCover() {
    common::tuneAllocatorForLargeImages();
    if (!common::keepsLargeBlocks()) QSKIP("freed blocks are not kept on this platform");
    constexpr std::size_t kMiB = 1024 * 1024;
    const auto at = [](const char* block) { return reinterpret_cast<std::uintptr_t>(block); };
    char* block = new char[8 * kMiB];
    std::memset(block, 1, 8 * kMiB);
    const std::uintptr_t first = at(block);
    delete[] block;
    block = new char[8 * kMiB];
    QCOMPARE(at(block), first);
    delete[] block;
    // Too small for the one, more than a quarter too large for the other.
    char* larger = new char[9 * kMiB];
    char* smaller = new char[6 * kMiB];
    QVERIFY(at(larger) != first && at(smaller) != first);
    std::memset(larger, 2, 9 * kMiB);
    std::memset(smaller, 3, 6 * kMiB);
    block = new char[7 * kMiB];
    QCOMPARE(at(block), first);
    delete[] block;
    delete[] larger;
    delete[] smaller;
    common::releaseIdleBlocks();
  }

  void preparedMemoryTakesTheFirstImage() {
    common::tuneAllocatorForLargeImages();
    if (!common::keepsLargeBlocks()) QSKIP("freed blocks are not kept on this platform");
    constexpr std::size_t kImage = 27u * 1024 * 1024;  // a full-field mammogram's pixels
    const auto faults = [] {
#ifdef __linux__
      rusage usage{};
      getrusage(RUSAGE_SELF, &usage);
      return usage.ru_minflt;
#else
      return 0L;  // not reached: large blocks are kept only on Linux
#endif
    };
    common::prepareMemory(2 * kImage);
    const long before = faults();
    char* image = new char[kImage];
    std::memset(image, 1, kImage);
    const long taken = faults() - before;  // fresh pages: 14 huge ones, or 6,912
    delete[] image;
    QVERIFY2(taken <= 2, qPrintable(QString::number(taken)));
  }
};

QTEST_APPLESS_MAIN(MemoryTest)
#include "MemoryTest.moc"
