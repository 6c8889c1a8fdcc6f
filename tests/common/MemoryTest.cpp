// The allocator set-up the station makes at start-up: large blocks, the
// operator new ones that the DICOM toolkit fills with pixel data included,
// get the huge page advice; small ones and deallocation stay plain.

#include <QFile>
#include <QtTest>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "common/Memory.h"

namespace {

// True when the kernel offers transparent huge pages at least on request.
bool hugePagesOffered() {
  QFile file("/sys/kernel/mm/transparent_hugepage/enabled");
  if (!file.open(QIODevice::ReadOnly)) return false;
  const QByteArray modes = file.readAll();
  return modes.contains("[always]") || modes.contains("[madvise]");
}

// The smaps entry of the mapping holding address: its "THPeligible" value,
// -1 when not found.
int thpEligible(const void* address) {
  QFile file("/proc/self/smaps");
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return -1;
  const auto target = reinterpret_cast<std::uintptr_t>(address);
  bool inside = false;
  // /proc files report no size; read them whole.
  const QList<QByteArray> lines = file.readAll().split('\n');
  for (const QByteArray& line : lines) {
    const int dash = line.indexOf('-');
    const int space = line.indexOf(' ');
    if (dash > 0 && space > dash) {  // "start-end perms offset dev inode path"
      bool ok1 = false, ok2 = false;
      const auto begin = line.left(dash).toULongLong(&ok1, 16);
      const auto end = line.mid(dash + 1, space - dash - 1).toULongLong(&ok2, 16);
      inside = ok1 && ok2 && begin <= target && target < end;
    } else if (inside && line.startsWith("THPeligible:")) {
      return line.mid(12).trimmed().toInt();
    }
  }
  return -1;
}

}  // namespace

class MemoryTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { common::tuneAllocatorForLargeImages(); }

  void largeBlocksAskForHugePages() {
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("sanitizer builds keep the sanitizer's allocator");
#endif
    if (!hugePagesOffered()) QSKIP("this kernel offers no transparent huge pages");
    constexpr std::size_t size = 24u * 1024 * 1024;
    // The way the DICOM toolkit allocates a value field.
    std::unique_ptr<unsigned char[]> pixels(new (std::nothrow) unsigned char[size]);
    QVERIFY(pixels != nullptr);
    std::memset(pixels.get(), 0x5A, size);
    // A 2 MiB page well inside the block.
    const auto middle = (reinterpret_cast<std::uintptr_t>(pixels.get()) + size / 2) &
                        ~std::uintptr_t{2 * 1024 * 1024 - 1};
    QCOMPARE(thpEligible(reinterpret_cast<const void*>(middle)), 1);
    QCOMPARE(pixels[size - 1], static_cast<unsigned char>(0x5A));

    void* block = common::allocate(size);
    QVERIFY(block != nullptr);
    QCOMPARE(thpEligible(static_cast<char*>(block) + size / 2), 1);
    std::free(block);
  }

  void everyFormOfNewStillWorks() {
    // Small, zero-sized, array, nothrow, over-aligned: all allocate, all
    // release through the matching delete.
    for (int round = 0; round < 1000; ++round) {
      auto* one = new int(round);
      auto* none = new char[0];
      auto* some = new (std::nothrow) double[round % 50 + 1];
      struct alignas(64) Wide {
        char bytes[64];
      };
      auto* wide = new Wide;
      QVERIFY(one != nullptr && none != nullptr && some != nullptr);
      QCOMPARE(reinterpret_cast<std::uintptr_t>(wide) % 64, std::uintptr_t{0});
      QCOMPARE(*one, round);
      delete wide;
      delete[] some;
      delete[] none;
      delete one;
    }
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer aborts instead, by design
    // A request no allocator can serve ends in bad_alloc, or in nullptr for
    // the nothrow form.
    volatile std::size_t unservable = std::size_t{1} << 62;
    QVERIFY(::operator new(unservable, std::nothrow) == nullptr);
    QVERIFY(::operator new[](unservable, std::nothrow) == nullptr);
    QVERIFY_THROWS_EXCEPTION(std::bad_alloc, (void)::operator new(unservable));
#endif
  }
};

QTEST_GUILESS_MAIN(MemoryTest)
#include "MemoryTest.moc"
