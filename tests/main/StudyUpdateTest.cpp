// The study update without a window: which images are sent, in which order,
// which markers are left for the next update, and what the audit trail
// records of each. A marker is cleared only once the store was confirmed
// and the archive shows the new label.

#include <QTemporaryDir>
#include <QtTest>

#include "common/AppDir.h"
#include "log/AuditTrail.h"
#include "main/StudyUpdate.h"
#include "main/ViewLabels.h"
#include "support/FakeDicom.h"

namespace {

// The audit trail's records as "instance outcome", in order.
QStringList audited() {
  QFile file(modAudit::AuditTrail::path());
  if (!file.open(QIODevice::ReadOnly)) return {};
  QStringList lines = QString::fromUtf8(file.readAll()).split("\r\n", Qt::SkipEmptyParts);
  if (lines.isEmpty() || lines.takeFirst() != modAudit::AuditTrail::header()) return {"no header"};
  QStringList records;
  for (const QString& line : lines) {
    const QStringList f = line.mid(1, line.size() - 2).split("\",\"");
    records << f.value(10).section('.', -1) + " " + f.value(13) + " " + f.value(11) + ">" +
                   f.value(12);
  }
  return records;
}

// The archive's side of the read-back. Each image is read back as it is
// added, as the station reads it back beside the next stores: what the
// archive holds at that moment is what comes back.
class ReadBack : public station::StudyUpdate::ReadBack {
 public:
  std::function<QStringList(const dicom::ImagePtr&)> readNow;  // the copies the archive returns
  std::function<void()> onLabels;                              // may throw: no check possible
  void expect(const std::vector<dicom::ImagePtr>& images) override { expected = images; }
  void add(const dicom::ImagePtr& image) override {
    QVERIFY2(std::count(expected.begin(), expected.end(), image) == 1,
             "an image read back was not expected");
    held[image->attribute(dicom::tags::SOPInstanceUID).value()] = readNow(image);
  }
  std::map<QString, QStringList> labels() override {
    onLabels();
    return held;
  }
  std::vector<dicom::ImagePtr> expected;
  std::map<QString, QStringList> held;
};

// The status panel's texts as "S" (Sending Images ...), the position named,
// "-" (hidden).
QString shown(const QStringList& texts) {
  QStringList out;
  for (const QString& text : texts) {
    if (text == "Sending Images ...") {
      out << "S";
    } else if (text.startsWith("Sending Images (")) {
      out << text.section('(', 1).section(')', 0, 0);
    } else {
      out << (text.isEmpty() ? "-" : text);
    }
  }
  return out.join(' ');
}

}  // namespace

class StudyUpdateTest : public QObject {
  Q_OBJECT
 private:
  QTemporaryDir dir_;  // Logs/Audit.log

 private slots:
  void init() {
    common::setAppDirectoryForTesting(dir_.path());
    QDir(dir_.filePath("Logs")).removeRecursively();
  }
  void cleanupTestCase() { common::setAppDirectoryForTesting(QString()); }

  // What goes wrong (the row's name), the positions of three "L CC" images
  // marked "R MLO", the images sent in order, the positions still marked,
  // what the audit trail records, the status panel's texts in order (see
  // shown()). Every store of a run goes on the run's one session, which the
  // run ends; each image is read back once its store was confirmed.
  void markers_data() {
    QTest::addColumn<QString>("marked");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QString>("stillMarked");
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<QString>("panel");
    const auto row = [](const char* trouble, const char* marked, QStringList sent,
                        const char* stillMarked, QStringList records, const char* panel) {
      QTest::newRow(trouble) << QString(marked) << sent << QString(stillMarked) << records
                             << QString(panel);
    };
    const QString applied = " applied L CC>R MLO", failed = " failed L CC>R MLO";
    const QString lost = " not returned L CC>R MLO";
    const QString kept = " archive kept its earlier copy L CC>R MLO";
    row("nothing", "1 3", {"1.2.1", "1.2.3"}, "", {"1" + applied, "3" + applied}, "S 1 3 -");
    row("nothing marked", "", {}, "", {}, "S -");
    row("store 2 fails", "1 2 3", {"1.2.1"}, "2 3", {"1" + applied, "2" + failed}, "S 1 2");
    row("store 1 fails", "1 3", {}, "1 3", {"1" + failed}, "S 1");
    row("RemotePort abc", "1 2", {}, "1 2", {"1" + failed}, "S 1");
    row("viewer emptied after the first store", "1 2", {"1.2.1"}, "", {"1" + applied}, "S 1 2");
    row("archive keeps its copy", "1 3", {"1.2.1", "1.2.3"}, "1 3", {"1" + kept, "3" + kept},
        "S 1 3");
    row("archive keeps its copy, store 2 fails", "1 2 3", {"1.2.1"}, "1 2 3",
        {"1" + kept, "2" + failed}, "S 1 2");
    row("archive cannot be read back", "1 3", {"1.2.1", "1.2.3"}, "1 3", {"1" + lost, "3" + lost},
        "S 1 3");
    row("archive returns two copies", "1 3", {"1.2.1", "1.2.3"}, "1 3", {"1" + lost, "3" + lost},
        "S 1 3");
    row("nothing wrong but image 1 relabelled while 3 is sent", "1 3", {"1.2.1", "1.2.3"}, "1",
        {"1" + applied, "3" + applied}, "S 1 3 -");
    row("audit trail cannot be written", "1 3", {}, "1 3", {}, "");
  }
  void markers() {
    QFETCH(QString, marked);
    QFETCH(QStringList, sent);
    QFETCH(QString, stillMarked);
    QFETCH(QStringList, records);
    QFETCH(QString, panel);
    const QString trouble = QTest::currentDataTag();
    if (trouble.startsWith("audit")) QVERIFY(QDir().mkpath(modAudit::AuditTrail::path()));
    fake::Toolkit toolkit;
    dicom::ImageCollection images;
    std::map<QString, QStringList> held;  // what the archive holds: uid -> label
    for (int i = 1; i <= 3; ++i) {
      images.append(toolkit.makeImage(QString("1.2.%1").arg(i)));
      held[QString("1.2.%1").arg(i)] = QStringList{"L CC"};
    }
    for (const QString& position : marked.split(' ', Qt::SkipEmptyParts)) {
      station::applyLabel(*images.item(position.toInt()), "R MLO");
    }
    toolkit.script.onSend = [&](const fake::SendCall& call) {
      QVERIFY2(call.markedWhileSending, "a marker was cleared before its store was confirmed");
      QCOMPARE(QString("%1 %2 %3 %4")
                   .arg(call.archive.host, call.archive.port.text(), call.station.aeTitle,
                        call.archive.aeTitle),
               QString("10.0.0.9 4242 BREVANT ARCHIVE"));
      if (trouble.endsWith("store " + call.sopInstanceUID.right(1) + " fails")) {
        throw dicom::DicomError(0xA700, "refused");
      }
      if (!trouble.startsWith("archive keeps its copy")) {
        held[call.sopInstanceUID] = QStringList{call.label};
      }
    };
    bool clearedEarly = false;
    ReadBack readBack;
    readBack.readNow = [&](const dicom::ImagePtr& image) {
      const QString uid = image->attribute(dicom::tags::SOPInstanceUID).value();
      QStringList copies = held[uid];
      if (trouble == "archive returns two copies") copies << held[uid];
      return copies;
    };
    readBack.onLabels = [&] {
      if (trouble == "archive cannot be read back") throw dicom::DicomError(0xC000, "refused");
      for (const auto& image : readBack.expected) {
        const bool asked =
            readBack.held.count(image->attribute(dicom::tags::SOPInstanceUID).value());
        clearedEarly = clearedEarly || (asked && !image->changed());
      }
    };
    QStringList texts;
    const ConnectionSettingsRecord settings{
        "ARCHIVE", "10.0.0.9", QString(trouble.startsWith("RemotePort") ? "abc" : "4242"),
        "BREVANT", QString("11112")};
    station::StudyUpdate update(
        toolkit, images, settings,
        {[&](bool visible, const QString& text) { texts << (visible ? text : QString()); },
         [&] {
           if (trouble.startsWith("viewer") && !toolkit.script.sends.empty()) images.empty();
           if (trouble.contains("relabelled") && toolkit.script.sends.size() == 1) {
             station::applyLabel(*images.item(1), "L MLO");
           }
         },
         &readBack, [](const dicom::Image&) { return QString("L CC"); }, nullptr});
    const bool fails = !trouble.startsWith("nothing");
    try {
      QCOMPARE(update.run(), int(sent.size()));
      QVERIFY(!fails);
    } catch (const std::exception& error) {
      QVERIFY2(fails, error.what());
      // A failed store is what the operator is told, whatever the read-back found.
      if (trouble.endsWith("fails")) QCOMPARE(dicom::describe(error).number, 0xA700);
    }
    QCOMPARE(shown(texts), panel);
    const int sessions = trouble.startsWith("audit") ? 0 : 1;  // none without an audit trail
    QCOMPARE(toolkit.script.sessions, sessions);
    QCOMPARE(toolkit.script.ended, std::vector<int>(std::size_t(sessions), 1));
    for (const auto& call : toolkit.script.sends) QCOMPARE(call.session, 1);
    QVERIFY2(!clearedEarly, "a marker was cleared before the archive showed the label");
    QStringList uids, markers;
    for (const auto& call : toolkit.script.sends) uids << call.sopInstanceUID;
    QCOMPARE(uids, sent);
    for (int i = 1; i <= images.count(); ++i) {
      if (images.item(i)->changed()) markers << QString::number(i);
    }
    QCOMPARE(markers.join(' '), stillMarked);
    QCOMPARE(audited(), records);
    if (trouble.contains("relabelled")) {
      // The newer label goes out with the next update, and only it.
      toolkit.script.sends.clear();
      QCOMPARE(update.run(), 1);
      QCOMPARE(toolkit.script.sends.size(), std::size_t{1});
      QCOMPARE(toolkit.script.sends[0].label, QString("L MLO"));
      QVERIFY(!images.item(1)->changed());
    }
  }
};

QTEST_GUILESS_MAIN(StudyUpdateTest)
#include "StudyUpdateTest.moc"
