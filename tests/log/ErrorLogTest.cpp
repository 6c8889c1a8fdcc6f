// The error log: one record per failure, in order, beside the executable.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "common/AppDir.h"
#include "log/modError.h"

class ErrorLogTest : public QObject {
  Q_OBJECT
 private:
  QTemporaryDir dir_;
  QByteArray content() const {
    QFile file(dir_.filePath("Logs/Error.log"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }

 private slots:
  void init() {
    QDir(dir_.path()).removeRecursively();
    QDir().mkpath(dir_.path());
    common::setAppDirectoryForTesting(dir_.path());
  }
  void cleanupTestCase() { common::setAppDirectoryForTesting(QString()); }

  void firstFailureCreatesTheFolderAndOneLine() {
    QVERIFY(!QDir(dir_.filePath("Logs")).exists());
    modError::LogError(-2147221504, "Association rejected", "cmdSearch_Click");
    const QByteArray log = content();
    QCOMPARE(log.count("\r\n"), 1);
    QVERIFY(log.endsWith(" - -2147221504 - Association rejected - cmdSearch_Click\r\n"));
  }

  void recordsAppendOldestFirst() {
    modError::LogError(1, "first", "Send");
    modError::LogError(2, "second", "Send");
    const QList<QByteArray> lines = content().split('\n');
    QCOMPARE(lines.size(), 3);  // two records and the empty rest after the last line end
    QVERIFY(lines[0].contains(" - 1 - first - Send\r"));
    QVERIFY(lines[1].contains(" - 2 - second - Send\r"));
  }

  void recordFieldsAndLineBreaksInTheDescription() {
    QCOMPARE(modError::FormatRecord("06.12.2026 10:00:00", 49152, "line one\r\nline two", "Send"),
             QString("06.12.2026 10:00:00 - 49152 - line one\r\nline two - Send"));
    modError::LogError(7, "a\r\nb", "Send");
    QVERIFY(content().contains(" - 7 - a\r\nb - Send\r\n"));
  }

  void timeStampIsTheLocalesShortDateAndLongTime() {
    const QString stamp = modError::TimeStamp();
    const QLocale locale = QLocale::system();
    QVERIFY(stamp.startsWith(locale.toString(QDate::currentDate(), QLocale::ShortFormat) + ' '));
  }

  void anUnwritableLogNeverThrows() {
    // A file where the folder should be: the folder cannot be made.
    QFile blocker(dir_.filePath("Logs"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    modError::LogError(5, "nowhere to go", "Send");  // must return normally
    QVERIFY(QFileInfo(dir_.filePath("Logs")).isFile());
  }
};

QTEST_GUILESS_MAIN(ErrorLogTest)
#include "ErrorLogTest.moc"
