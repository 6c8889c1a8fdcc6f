// The error log: where each field of a record stands, and how refusals
// from one sender are kept from flooding it.

#include <QTemporaryDir>
#include <QtTest>

#include "common/AppDir.h"
#include "log/RefusalLog.h"
#include "log/modError.h"
#include "support/Files.h"

class ErrorLogTest : public QObject {
  Q_OBJECT
 private:
  QTemporaryDir dir_;
  static QStringList lines() {
    QStringList all = QString::fromUtf8(files::read(modError::LogPath())).split("\r\n");
    all.removeLast();  // after the last line end
    return all;
  }

 private slots:
  void init() {
    common::setAppDirectoryForTesting(dir_.path());
    QDir(dir_.filePath("Logs")).removeRecursively();
  }
  void cleanupTestCase() { common::setAppDirectoryForTesting(QString()); }

  // Time, number, description, procedure: in this order, " - " between,
  // one CR LF at the end; the folder is made on first use.
  void fieldsInTheirPlaces() {
    const QString before = modError::TimeStamp();
    QVERIFY(modError::LogError(-42752, "The store failed", "Send"));
    const QString after = modError::TimeStamp();
    const QStringList written = lines();
    QCOMPARE(written.size(), 1);
    const QString& line = written.front();
    const QString time = line.left(line.indexOf(" - -42752 - "));
    QVERIFY2(time == before || time == after, qPrintable(line));
    QCOMPARE(line.mid(time.size()), QString(" - -42752 - The store failed - Send"));
  }

  // The first refusal from a sender is written whole; the rest of its
  // minute becomes one line when the minute is over; each sender on its own.
  void repeatedRefusalsSummed() {
    using namespace std::chrono_literals;
    modError::RefusalLog log("Receive");
    const auto t0 = modError::RefusalLog::Clock::now();
    log.record("\"EVIL\" at 10.0.0.5", 0x0124, "refused 1", t0);
    for (int i = 2; i <= 6; ++i) log.record("\"EVIL\" at 10.0.0.5", 0x0124, "refused", t0 + 1s);
    log.record("\"OTHER\" at 10.0.0.6", 0xC000, "refused elsewhere", t0 + 2s);
    log.flush(t0 + 30s);
    QCOMPARE(lines().size(), 2);
    log.flush(t0 + 61s);
    QVERIFY(log.pending());  // the other sender's minute is not over
    log.flush(t0 + 63s);
    QVERIFY(!log.pending());
    log.record("\"EVIL\" at 10.0.0.5", 0x0124, "refused again", t0 + 70s);
    const QStringList written = lines();
    QCOMPARE(written.size(), 4);
    QVERIFY(written[0].endsWith(" - 292 - refused 1 - Receive"));
    QVERIFY(written[1].endsWith(" - 49152 - refused elsewhere - Receive"));
    QVERIFY2(written[2].contains(" - 292 - The station refused 5 more object(s) from \"EVIL\" at "
                                 "10.0.0.5 in the 60 s after"),
             qPrintable(written[2]));
    QVERIFY(written[3].endsWith(" - 292 - refused again - Receive"));
  }
};

QTEST_GUILESS_MAIN(ErrorLogTest)
#include "ErrorLogTest.moc"
