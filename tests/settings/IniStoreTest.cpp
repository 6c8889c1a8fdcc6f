// The settings file: INI semantics and the connection settings' load and save.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "common/AppDir.h"
#include "settings/modINI.h"
#include "settings/modMain.h"

namespace {

QByteArray readAll(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

void writeAll(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(bytes);
}

}  // namespace

class IniStoreTest : public QObject {
  Q_OBJECT
 private:
  QTemporaryDir dir_;
  QString path() const { return dir_.filePath("Settings.ini"); }

 private slots:
  void init() {
    QFile::remove(path());
    common::setAppDirectoryForTesting(dir_.path());
  }
  void cleanupTestCase() { common::setAppDirectoryForTesting(QString()); }

  void missingFileSectionOrKeyGiveTheDefault() {
    QCOMPARE(modINI::ReadIniString("SETTINGS", "RemotePort", "0", path(), 256), QString("0"));
    writeAll(path(), "[OTHER]\nRemotePort=104\n");
    QCOMPARE(modINI::ReadIniString("SETTINGS", "RemotePort", "0", path(), 256), QString("0"));
    writeAll(path(), "[SETTINGS]\nRemoteAET=PACS\n");
    QCOMPARE(modINI::ReadIniString("SETTINGS", "RemotePort", "0", path(), 256), QString("0"));
  }

  void presentButEmptyKeyIsEmptyNotTheDefault() {
    writeAll(path(), "[SETTINGS]\r\nRemotePort=\r\n");
    const QString value = modINI::ReadIniString("SETTINGS", "RemotePort", "0", path(), 256);
    QVERIFY(!value.isNull());
    QCOMPARE(value, QString(""));
  }

  void namesCompareWithoutCaseAndBlanksAroundKeys() {
    writeAll(path(), "[settings]\n  remoteport = 11112  \n");
    QCOMPARE(modINI::ReadIniString("SETTINGS", "RemotePort", "0", path(), 256), QString("11112"));
  }

  void valuesAreCutToTheBufferLessItsNul() {
    modINI::WriteIniString("SETTINGS", "RemoteIP", QString(300, 'x'), path());
    QCOMPARE(modINI::ReadIniString("SETTINGS", "RemoteIP", "", path(), 256).size(), 255);
    QCOMPARE(modINI::ReadIniString("SETTINGS", "RemoteIP", "", path(), 1), QString(""));
    QCOMPARE(modINI::ReadIniString("SETTINGS", "Missing", "default", path(), 4), QString("def"));
  }

  void valuesReadBackExactlyAsSaved_data() {
    QTest::addColumn<QString>("value");
    QTest::newRow("blanks around") << "  PACS  ";
    QTest::newRow("equals sign") << "a=b=c";
    QTest::newRow("comment characters") << "x;y#z";
    QTest::newRow("leading semicolon") << ";not a comment";
    QTest::newRow("quoted") << "\"quoted\"";
    QTest::newRow("one quote") << "\"half";
    QTest::newRow("unicode") << QString::fromUtf8("Stati\xC3\xB6n");
    QTest::newRow("empty") << "";
  }
  void valuesReadBackExactlyAsSaved() {
    QFETCH(QString, value);
    QVERIFY(modINI::WriteIniString("SETTINGS", "LocAET", value, path()));
    QCOMPARE(modINI::ReadIniString("SETTINGS", "LocAET", "default", path(), 256), value);
  }

  void aSaveChangesOnlyItsOwnKeys() {
    const QByteArray before =
        "; station configuration\r\n"
        "[NETWORK]\r\n"
        "Proxy=none\r\n"
        "\r\n"
        "[SETTINGS]\r\n"
        "# remote archive\r\n"
        "RemoteAET=OLD\r\n"
        "Extra=keep me\r\n"
        "\r\n"
        "[LAST]\r\n"
        "Key=1\r\n";
    writeAll(path(), before);
    ConnectionSettings = {"NEW", "10.1.1.1", "104", "BREVANT", "11112"};
    QVERIFY(modMain::SaveConnectionSettings());
    const QByteArray after = readAll(path());
    QCOMPARE(after, QByteArray("; station configuration\r\n"
                               "[NETWORK]\r\n"
                               "Proxy=none\r\n"
                               "\r\n"
                               "[SETTINGS]\r\n"
                               "# remote archive\r\n"
                               "RemoteAET=NEW\r\n"
                               "Extra=keep me\r\n"
                               "LocPort=11112\r\n"
                               "RemotePort=104\r\n"
                               "RemoteIP=10.1.1.1\r\n"
                               "LocAET=BREVANT\r\n"
                               "\r\n"
                               "[LAST]\r\n"
                               "Key=1\r\n"));
  }

  void aNewFileHoldsTheKeysInSaveOrderAndLoadsBack() {
    ConnectionSettings = {"PACS", "127.0.0.1", "4242", "BREVANT", "11112"};
    QVERIFY(modMain::SaveConnectionSettings());
    QStringList keys;
    for (const QByteArray& line : readAll(path()).split('\n')) {
      if (line.contains('=')) keys << QString(line.left(line.indexOf('=')));
    }
    QCOMPARE(keys, QStringList({"LocPort", "RemoteAET", "RemotePort", "RemoteIP", "LocAET"}));
    QVERIFY(readAll(path()).startsWith("[SETTINGS]"));

    ConnectionSettings = {};
    modMain::LoadConnectionSettings();
    QCOMPARE(ConnectionSettings.RemoteAET, QString("PACS"));
    QCOMPARE(ConnectionSettings.RemoteIP, QString("127.0.0.1"));
    QCOMPARE(ConnectionSettings.RemotePort, QString("4242"));
    QCOMPARE(ConnectionSettings.LocAET, QString("BREVANT"));
    QCOMPARE(ConnectionSettings.LocPort, QString("11112"));
  }

  void withoutAFileTheDefaultsLoad() {
    ConnectionSettings = {"x", "x", "x", "x", "x"};
    modMain::LoadConnectionSettings();
    QCOMPARE(ConnectionSettings.RemotePort, QString("0"));
    QCOMPARE(ConnectionSettings.LocPort, QString("0"));
    QCOMPARE(ConnectionSettings.RemoteAET, QString(""));
    QCOMPARE(ConnectionSettings.RemoteIP, QString(""));
    QCOMPARE(ConnectionSettings.LocAET, QString(""));
  }

  void aFailedSaveIsReportedAndLeavesNoHalfFile() {
    // A directory where the file should be: no write can succeed, even as root.
    QVERIFY(QDir(dir_.path()).mkdir("Settings.ini"));
    ConnectionSettings = {"PACS", "127.0.0.1", "4242", "BREVANT", "11112"};
    QString error;
    QVERIFY(!modMain::SaveConnectionSettings(&error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(ConnectionSettings.RemoteAET, QString("PACS"));
    QVERIFY(QDir(dir_.path()).rmdir("Settings.ini"));
    const QStringList leftovers = QDir(dir_.path()).entryList(QDir::Files);
    QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(", ")));
  }

  void portsConvertOnlyWhenTheyAreNumbers() {
    QCOMPARE(modMain::PortNumber("104", "RemotePort"), 104);
    QCOMPARE(modMain::PortNumber("-1", "RemotePort"), -1);
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, modMain::PortNumber("abc", "RemotePort"));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, modMain::PortNumber("", "RemotePort"));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, modMain::PortNumber("99999999999", "LocPort"));
  }
};

QTEST_GUILESS_MAIN(IniStoreTest)
#include "IniStoreTest.moc"
