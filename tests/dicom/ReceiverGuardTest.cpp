// What the receiver takes while the station retrieves a study, against
// senders of our own on loopback: the retrieval's end and its grace, a
// second copy of an instance, the retrieval's byte cap, the slots kept for
// the archive, the progress the move watches, and the next study fetched
// ahead beside the one on screen.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <list>

#include "ReceiverPeers.h"
#include "dicom/dcmtk/DcmtkToolkit.h"

using namespace receivertest;

namespace {

const char* const kPlain = UID_LittleEndianExplicitTransferSyntax;
const char* const kAhead = "1.2.826.0.1.3680043.8.498.78";
const char* const kForeign = "1.2.826.0.1.3";

}  // namespace

class ReceiverGuardTest : public QObject {
  Q_OBJECT

 private:
  dicom::dcmtk::DcmtkToolkit toolkit_;  // registers the decoders
  QTemporaryDir dir_;
  std::vector<samples::WrittenImage> study_;  // four small images, implicit little endian

  QByteArray image(int i) const { return encoded(study_[i]); }
  QString uid(int i) const { return study_[i].sopInstanceUID; }
  QString received(int i) const { return "image:" + uid(i); }

 private slots:
  void initTestCase() { study_ = writeSampleStudy(dir_.filePath("study")); }

  // Once the move has ended, an association already open delivers for the
  // grace and is refused after it; one opened after the end is refused at
  // once, whatever it sends. Each refusal is reported.
  void retrievalEnds() {
    ReceiverLimits limits;
    limits.graceSeconds = 3;
    ReceiverUnderTest under(within(10), limits);
    RawAssociation open(under.port());
    QVERIFY(open.cond.good());
    under.receiver().endRetrieval(kStudy);
    QCOMPARE(open.store(uid(0), image(0)).first, 0);
    {
      RawAssociation late(under.port(), kPlain, "ANYONE");
      const auto [status, comment] = late.store(uid(1), image(1));
      QCOMPARE(status, 0x0124);
      QVERIFY2(comment.contains("after the retrieval had ended"), qPrintable(comment));
    }
    QTest::qWait(3500);
    const auto [status, comment] = open.store(uid(2), image(2));
    QCOMPARE(status, 0x0124);
    QVERIFY2(comment.contains("ended more than 3 s before"), qPrintable(comment));
    QTRY_COMPARE(under.refusals().size(), 2);
    QVERIFY(under.refusals()[0].startsWith("refused:ANYONE@127.0.0.1:"));
    QVERIFY(under.refusals()[1].startsWith("refused:ARCHIVE@127.0.0.1:"));
    QCOMPARE(under.deliveries(), QStringList{received(0)});
  }

  // A second copy of an instance the retrieval has taken never becomes a
  // second image: it is refused, on the same association or another; the
  // next retrieval takes it again.
  void secondCopyOfAnInstance() {
    ReceiverUnderTest under(within(10));
    {
      RawAssociation raw(under.port());
      QCOMPARE(raw.store(uid(0), image(0)).first, 0);
      const auto [status, comment] = raw.store(uid(0), image(0));
      QCOMPARE(status, 0x0111);
      QVERIFY2(comment.contains("received this instance already"), qPrintable(comment));
    }
    QCOMPARE(RawAssociation(under.port(), kPlain, "OTHER").store(uid(0), image(0)).first, 0x0111);
    QTRY_COMPARE(under.refusals().size(), 2);
    QCOMPARE(under.deliveries(), (QStringList{received(0), "closed"}));
    under.receiver().expectStudy(kStudy, archive());
    QCOMPARE(RawAssociation(under.port()).store(uid(0), image(0)).first, 0);
    QTRY_COMPARE(under.deliveries(), (QStringList{received(0), "closed", received(0), "closed"}));
  }

  // The store that takes the retrieval past its byte cap is refused with
  // 0xA700 and its reason; a new retrieval counts from zero.
  void retrievalByteCap() {
    ReceiverLimits limits;
    const qsizetype size = image(0).size();  // each image's data set is as large
    limits.retrievalBytes = static_cast<std::uint64_t>(size * 5 / 2);
    ReceiverUnderTest under(within(10), limits);
    {
      RawAssociation raw(under.port());
      QCOMPARE(raw.store(uid(0), image(0)).first, 0);
      QCOMPARE(raw.store(uid(1), image(1)).first, 0);
      const auto [status, comment] = raw.store(uid(2), image(2));
      QCOMPARE(status, 0xA700);
      QVERIFY2(comment.contains("the retrieval would exceed"), qPrintable(comment));
    }
    QTRY_COMPARE(under.deliveries(), (QStringList{received(0), received(1), "closed"}));
    QCOMPARE(under.refusals().size(), 1);
    QVERIFY2(under.refusals()[0].contains(QString("(status 0xa700): the retrieval would exceed %1 "
                                                  "bytes")
                                              .arg(limits.retrievalBytes)),
             qPrintable(under.refusals()[0]));
    under.receiver().expectStudy(kStudy, archive());
    RawAssociation again(under.port());
    QCOMPARE(again.store(uid(2), image(2)).first, 0);
    QCOMPARE(again.store(uid(3), image(3)).first, 0);
  }

  // With every usual slot held by slow senders, the archive's association
  // (by its AE title) is served while a retrieval from it runs, on a slot of
  // its own; any other sender is rejected at once (transient, the local
  // limit exceeded), not left waiting, and so is the archive once the
  // retrieval has ended. A slot given back is taken again.
  void archiveKeepsItsSlots() {
    ReceiverLimits limits;
    limits.associations = 3;
    limits.archiveAssociations = 1;
    ReceiverUnderTest under(within(30), limits);
    std::list<RawAssociation> slow;
    for (int i = 0; i < limits.associations; ++i) {
      QVERIFY(slow.emplace_back(under.port(), kPlain, "SLOW").cond.good());
    }
    const auto rejected = [&](const char* callingAE) {
      QElapsedTimer timer;
      timer.start();
      const T_ASC_RejectParameters r = RawAssociation(under.port(), kPlain, callingAE).rejection();
      return r.result == ASC_RESULT_REJECTEDTRANSIENT &&
             r.source == ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED &&
             r.reason == ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED && timer.elapsed() < 5000;
    };
    QVERIFY(rejected("OTHER"));
    {
      RawAssociation fromArchive(under.port());
      QVERIFY(fromArchive.cond.good());
      QCOMPARE(fromArchive.store(uid(0), image(0)).first, 0);
      QVERIFY(rejected(kArchiveAE));  // its one slot is taken
    }
    QTRY_COMPARE(under.deliveries(), (QStringList{received(0), "closed"}));
    bool taken = false;  // the slot, free again once the association's thread has ended
    QTRY_VERIFY((taken = taken || RawAssociation(under.port()).cond.good()));
    under.receiver().endRetrieval(kStudy);
    QVERIFY(rejected(kArchiveAE));
    slow.pop_back();
    taken = false;
    QTRY_VERIFY((taken = taken || RawAssociation(under.port(), kPlain, "OTHER").cond.good()));
  }

  // The progress a move watches rises with the bytes of objects the archive
  // sends for the retrieval, and with nothing else: not another sender's
  // objects, whole or trickling, not a refused object.
  void progressIsTheArchivesKeptBytes() {
    ReceiverUnderTest under(within(10));
    const dicom::dcmtk::DcmtkReceiver& receiver = under.receiver();
    {
      RawAssociation other(under.port(), kPlain, "OTHER");
      QCOMPARE(other.store(uid(0), image(0)).first, 0);  // taken, but not from the archive
      const QByteArray part = image(1).left(20000);
      QVERIFY(other.command(uid(1)) &&
              other.pdv(DUL_DATASETPDV, part.constData(), part.size(), false));
      QTest::qWait(200);
    }
    QCOMPARE(receiver.bytesReceived(), 0u);
    RawAssociation fromArchive(under.port());
    const QByteArray foreign = encoded(study_[2], {{DCM_StudyInstanceUID, "1.2.826.0.1.3"}});
    QCOMPARE(fromArchive.store(uid(2), foreign).first, 0x0124);
    QCOMPARE(fromArchive.store(uid(0), image(0)).first, 0x0111);
    QCOMPARE(receiver.bytesReceived(), 0u);
    QCOMPARE(fromArchive.store(uid(1), image(1)).first, 0);
    QCOMPARE(receiver.bytesReceived(), static_cast<std::uint64_t>(image(1).size()));
  }

  // With the next study fetched ahead, the receiver takes the study on
  // screen and that one, each reported with its study, each counted on its
  // own, and still refuses any other study; an association opened before
  // the fetch began delivers nothing of it. A read-back refuses the study
  // on screen but lets the one fetched ahead go on; once shown, the study
  // fetched ahead is the only one taken.
  void aStudyFetchedAhead() {
    ReceiverUnderTest under(within(10));
    dicom::dcmtk::DcmtkReceiver& receiver = under.receiver();
    QStringList studies;
    QObject context;
    connect(&receiver, &dicom::StorageReceiver::imageReceived, &context,
            [&](const dicom::ImagePtr&, const QString& study) { studies << study; });
    const auto of = [this](int i, const char* study) {
      return encoded(study_[std::size_t(i)], {{DCM_StudyInstanceUID, study}});
    };
    RawAssociation before(under.port());
    QVERIFY(before.cond.good());
    receiver.expectAhead(kAhead, archive());
    {
      RawAssociation raw(under.port());
      QCOMPARE(raw.store(uid(0), image(0)).first, 0);
      QCOMPARE(raw.store(uid(1), of(1, kAhead)).first, 0);
      const auto [status, comment] = raw.store(uid(3), of(3, kForeign));
      QCOMPARE(status, 0x0124);
      QVERIFY2(comment.contains(QString("belongs to study ") + kForeign), qPrintable(comment));
    }
    QCOMPARE(before.store(uid(2), of(2, kAhead)).first, 0x0124);
    QCOMPARE(receiver.bytesReceived(), static_cast<std::uint64_t>(image(0).size()));
    QCOMPARE(receiver.bytesReceived(kAhead), static_cast<std::uint64_t>(of(1, kAhead).size()));
    QTRY_COMPARE(studies, (QStringList{kStudy, kAhead}));

    receiver.beginProbe({uid(0)}, {dicom::tags::SeriesDescription}, archive());
    {
      RawAssociation raw(under.port());
      QCOMPARE(raw.store(uid(2), of(2, kAhead)).first, 0);
      QCOMPARE(raw.store(uid(3), image(3)).first, 0x0124);
    }
    receiver.endProbe();
    QTRY_COMPARE(studies.size(), 3);

    QVERIFY(receiver.promoteAhead());
    RawAssociation after(under.port());
    QCOMPARE(after.store(uid(3), image(3)).first, 0x0124);
    QCOMPARE(after.store(uid(3), of(3, kAhead)).first, 0);
    QTRY_COMPARE(studies, (QStringList{kStudy, kAhead, kAhead, kAhead}));
    QCOMPARE(under.deliveries().filter("image:"),
             (QStringList{received(0), received(1), received(2), received(3)}));
    QVERIFY(!receiver.promoteAhead());
  }
};

QTEST_GUILESS_MAIN(ReceiverGuardTest)
#include "ReceiverGuardTest.moc"
