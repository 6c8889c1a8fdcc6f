// The receiver's ordered delivery on its own: results reach the handler in
// the order they were given, however long each takes to make.

#include <QtTest>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

#include "dicom/dcmtk/DcmtkDelivery.h"

using dicom::dcmtk::Delivery;
using dicom::dcmtk::OrderedDelivery;

namespace {

Delivery named(const QString& name) {
  Delivery delivery;
  delivery.description = name;
  return delivery;
}

}  // namespace

class OrderedDeliveryTest : public QObject {
  Q_OBJECT

 private slots:
  // A result that is ready (a refusal, the end of an association, a quick
  // decode) waits for an earlier one still being decoded; a decode that
  // fails loses its own result alone.
  void handsOnInTheOrderGiven() {
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    QStringList seen;
    {
      OrderedDelivery delivery(2, [&](Delivery d) {
        std::lock_guard lock(mutex);
        seen << d.description;
      });
      delivery.submit([&] {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return release; });
        return named("slow image");
      });
      delivery.push(named("refusal"));
      delivery.submit([]() -> Delivery { throw std::runtime_error("undecodable"); });
      delivery.submit([] { return named("quick image"); });
      delivery.push(named("association closed"));
      QTest::qWait(100);
      {
        std::lock_guard lock(mutex);
        QCOMPARE(seen, QStringList{});
        release = true;
      }
      released.notify_all();
      delivery.close();
    }
    QCOMPARE(seen, (QStringList{"slow image", "refusal", "quick image", "association closed"}));
  }
};

QTEST_GUILESS_MAIN(OrderedDeliveryTest)
#include "OrderedDeliveryTest.moc"
