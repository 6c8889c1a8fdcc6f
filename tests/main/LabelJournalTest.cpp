// The journal of labels not yet sent: what it gives back after a crash,
// a power cut in the middle of a record, or damage to a record.

#include <QTemporaryDir>
#include <QtTest>

#include "main/LabelJournal.h"
#include "support/Files.h"

namespace {

using Entry = station::LabelJournal::Entry;

Entry label(const QString& instance, const QString& after, const QString& study = "1.2.9") {
  return {study, "1.2.9.1", instance, "P\t42", "L CC", after};
}

QString pendingText(const station::LabelJournal& journal) {
  QStringList texts;
  for (const Entry& e : journal.pending()) {
    texts << e.instance + ":" + e.before + ">" + e.after + ":" + e.patientID;
  }
  return texts.join(' ');
}

}  // namespace

class LabelJournalTest : public QObject {
  Q_OBJECT
 private:
  QTemporaryDir dir_;

 private slots:
  // Cut at every byte of its last record, the journal gives back the
  // records before it, whole, and never a part of the last.
  void tornAtEveryByteOfTheLastRecord() {
    const QString path = dir_.filePath("torn.journal");
    station::LabelJournal journal(path);
    QVERIFY(journal.labelled(label("1.2.1", "R MLO")));
    QVERIFY(journal.labelled(label("1.2.2", "L MLO")));
    const qint64 lastStart = QFileInfo(path).size();
    QVERIFY(journal.labelled(label("1.2.3", "R CC\nwith a line break")));
    const QByteArray whole = files::read(path);
    const QString before = "1.2.1:L CC>R MLO:P\t42 1.2.2:L CC>L MLO:P\t42";
    for (qint64 cut = lastStart; cut < whole.size(); ++cut) {
      QVERIFY(files::write(path, whole.left(cut)));
      QCOMPARE(pendingText(journal), before);
    }
    QByteArray damaged = whole;
    damaged[int(lastStart) - 5] = damaged[int(lastStart) - 5] == 'a' ? 'b' : 'a';
    QVERIFY(files::write(path, damaged));
    QCOMPARE(pendingText(journal), QString("1.2.1:L CC>R MLO:P\t42 1.2.3:L CC>R CC\nwith a line "
                                           "break:P\t42"));
  }

  // The latest label of an instance stands; a confirmation of an older one
  // keeps it; once nothing is pending the file is gone.
  void settledAndDiscarded() {
    const QString path = dir_.filePath("settled.journal");
    station::LabelJournal journal(path);
    QVERIFY(journal.labelled(label("1.2.1", "R MLO")));
    QVERIFY(journal.labelled(label("1.2.2", "L MLO")));
    QVERIFY(journal.labelled(label("1.2.1", "R CC")));
    QVERIFY(journal.settled("1.2.1", "R MLO"));  // confirmed while R CC was given
    QCOMPARE(pendingText(journal), QString("1.2.1:L CC>R CC:P\t42 1.2.2:L CC>L MLO:P\t42"));
    QVERIFY(journal.settled("1.2.1", "R CC"));
    QVERIFY(journal.labelled(label("1.3.1", "L CC", "1.3")));
    QVERIFY(journal.discarded("1.2.9"));
    QCOMPARE(pendingText(journal), QString("1.3.1:L CC>L CC:P\t42"));
    QVERIFY(journal.settled("1.3.1", QString()));
    QVERIFY(!QFile::exists(path));
  }
};

QTEST_GUILESS_MAIN(LabelJournalTest)
#include "LabelJournalTest.moc"
