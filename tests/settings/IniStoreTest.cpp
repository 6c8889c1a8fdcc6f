// The settings file: how keys read back, and what a save of the connection
// settings does to the file that is there.

#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QtTest>

#include "common/AppDir.h"
#include "settings/modINI.h"
#include "settings/modMain.h"
#include "support/Files.h"

namespace {

const ConnectionSettingsRecord kSaved{"NEW", "10.1.1.1", QString("104"), "BREVANT",
                                      QString("11112")};

}  // namespace

class IniStoreTest : public QObject {
  Q_OBJECT
 private:
  QTemporaryDir dir_;
  QString path() const { return dir_.filePath("Settings.ini"); }
  QString read(const QString& key, int bufferSize = 256) const {
    return modINI::ReadIniString("SETTINGS", key, "default", path(), std::int16_t(bufferSize));
  }

 private slots:
  void init() {
    QFile::remove(path());
    ::chmod(qPrintable(dir_.path()), 0700);
    common::setAppDirectoryForTesting(dir_.path());
  }
  void cleanupTestCase() { common::setAppDirectoryForTesting(QString()); }

  void valuesReadBackAsWritten() {
    for (const QString value :
         {"  PACS  ", "a=b=c", ";x#y", "\"quoted\"", "\"half", "Statiön", ""}) {
      QVERIFY(modINI::WriteIniString("SETTINGS", "LocAET", value, path()));
      QCOMPARE(read("LocAET"), value);
    }
  }

  void readingRules() {
    QCOMPARE(read("RemotePort"), QString("default"));  // no file
    QVERIFY(files::write(path(), "[OTHER]\nRemotePort=104\n"));
    QCOMPARE(read("RemotePort"), QString("default"));  // the key of another section
    QVERIFY(files::write(path(),
                         "[settings]\r\n  remoteport = 11112  \r\nRemoteIP=\r\nLocAET=ABCD\r\n"));
    QCOMPARE(read("RemotePort"), QString("11112"));  // names without regard to case
    QCOMPARE(read("RemoteIP"), QString(""));         // present but empty: not the default
    QCOMPARE(read("LocAET", 4), QString("ABC"));     // cut to the buffer less its NUL
  }

  // A save keeps other lines byte for byte, refuses (and leaves) a file it
  // cannot read, writes in place in a folder refusing new files. (A new
  // file: tlsSettings.)
  void saveOverAFile_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("fileMode");  // octal, for the file and its folder
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<bool>("saved");
    QTest::addColumn<QByteArray>("after");
    const QByteArray foreign =
        "; station configuration\r\n[NETWORK]\r\nName=Stati\xF6n\r\n\r\n[SETTINGS]\r\n"
        "# remote archive\r\nRemoteAET=OLD\r\nExtra=keep me\r\n\r\n[LAST]\r\nKey=1\r\n";
    QTest::newRow("8-bit line in another section")
        << foreign << 0666 << 0777 << true
        << QByteArray(foreign).replace("OLD\r\nExtra=keep me\r\n",
                                       "NEW\r\nExtra=keep me\r\nLocPort=11112\r\nRemotePort=104\r\n"
                                       "RemoteIP=10.1.1.1\r\nLocAET=BREVANT\r\n");
    QTest::newRow("last line without a line break")
        << QByteArray("[SETTINGS]\r\nRemoteAET=OLD\r\nExtra=keep me") << 0666 << 0777 << true
        << QByteArray(
               "[SETTINGS]\r\nRemoteAET=NEW\r\nExtra=keep me\r\nLocPort=11112\r\n"
               "RemotePort=104\r\nRemoteIP=10.1.1.1\r\nLocAET=BREVANT\r\n");
    QTest::newRow("last line of another section without a line break")
        << QByteArray("[OTHER]\nKey=\xF6") << 0666 << 0777 << true
        << QByteArray(
               "[OTHER]\nKey=\xF6\n\n[SETTINGS]\nLocPort=11112\nRemoteAET=NEW\n"
               "RemotePort=104\nRemoteIP=10.1.1.1\nLocAET=BREVANT\n");
    QTest::newRow("file that cannot be read") << foreign << 0222 << 0777 << false << foreign;
    QTest::newRow("folder that refuses new files")
        << QByteArray("[SETTINGS]\nRemoteAET=OLD\n") << 0666 << 0555 << true
        << QByteArray(
               "[SETTINGS]\nRemoteAET=NEW\nLocPort=11112\nRemotePort=104\n"
               "RemoteIP=10.1.1.1\nLocAET=BREVANT\n");
  }
  void saveOverAFile() {
    QFETCH(QByteArray, before);
    QFETCH(int, fileMode);
    QFETCH(int, folderMode);
    QFETCH(bool, saved);
    QFETCH(QByteArray, after);
#ifdef _WIN32
    // Windows has a read-only attribute where these cases need permission bits.
    if (folderMode != 0777 || fileMode != 0666) {
      QSKIP("Windows cannot make a file unreadable or a folder refuse new files by its mode");
    }
#endif
    QVERIFY(files::write(path(), before));
    QVERIFY(::chmod(qPrintable(path()), fileMode) == 0);
    QVERIFY(::chmod(qPrintable(dir_.path()), folderMode) == 0);
#ifndef _WIN32
    // Saved with an ordinary user's rights (nobody's), which root's would not
    // be: they ignore the permission bits these cases are about.
    const bool root = geteuid() == 0;
    if (root && seteuid(65534) != 0) QSKIP("root cannot take an ordinary user's rights here");
#endif
    QString error;
    const bool ok = modMain::SaveConnectionSettings(kSaved, &error);
#ifndef _WIN32
    QVERIFY(!root || seteuid(0) == 0);
#endif
    QVERIFY(::chmod(qPrintable(dir_.path()), 0700) == 0);
    QCOMPARE(ok, saved);
    QCOMPARE(error.isEmpty(), saved);
    QCOMPARE(files::read(path()), after);
    if (!saved) return;
    ConnectionSettingsRecord loaded;
    modMain::LoadConnectionSettings(loaded);
    QCOMPARE(loaded, kSaved);
  }

  // The TLS keys: written once set, after the five in their order in a new
  // file, read back; relative paths beside the executable; only "0" or
  // nothing is plain TCP.
  void tlsSettings() {
    ConnectionSettingsRecord record = kSaved;
    record.TlsEnabled = "1";
    record.TlsCertificate = "tls/station.crt";
    record.TlsPrivateKey = "/etc/brevant/station.key";
    QVERIFY(modMain::SaveConnectionSettings(record));
    QByteArray written(
        "[SETTINGS]\nLocPort=11112\nRemoteAET=NEW\nRemotePort=104\nRemoteIP=10.1.1.1\n"
        "LocAET=BREVANT\nTlsEnabled=1\nTlsCertificate=tls/station.crt\n"
        "TlsPrivateKey=/etc/brevant/station.key\n");
#ifdef _WIN32
    written.replace("\n", "\r\n");  // a new file has Windows' line ends
#endif
    QCOMPARE(files::read(path()), written);
    ConnectionSettingsRecord loaded;
    modMain::LoadConnectionSettings(loaded);
    QCOMPARE(loaded, record);
    const dicom::TlsSettings tls = loaded.station().tls;
    QVERIFY(tls.enabled);
    QCOMPARE(tls.certificate, common::appPath("tls/station.crt"));
    QCOMPARE(tls.privateKey, QString("/etc/brevant/station.key"));
    for (const auto& [value, enabled] :
         {std::pair<QString, bool>{"0", false}, {"", false}, {" 0 ", false}, {"yes", true}}) {
      loaded.TlsEnabled = value;
      QCOMPARE(loaded.station().tls.enabled, enabled);
    }
    record.TlsEnabled = "0";  // a key the file has is written back, even to its default
    QVERIFY(modMain::SaveConnectionSettings(record));
    QCOMPARE(read("TlsEnabled"), QString("0"));
  }
};

QTEST_GUILESS_MAIN(IniStoreTest)
#include "IniStoreTest.moc"
