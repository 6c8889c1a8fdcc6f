// The study update loop over the DICOM interface, without a window: what is
// sent, in which order, and which markers survive a failure.

#include <QtTest>

#include "dicom/ImageCollection.h"
#include "main/StudyUpdate.h"
#include "settings/modMain.h"
#include "support/FakeDicom.h"

class StudyUpdateTest : public QObject {
  Q_OBJECT
 private:
  fake::Toolkit toolkit_;
  dicom::ImageCollection images_;
  QStringList states_;
  int eventPasses_ = 0;

  station::StudyUpdate makeUpdate() {
    return station::StudyUpdate(images_, {[this](bool visible, const QString& text) {
                                            states_ << QString("%1:%2").arg(visible).arg(text);
                                          },
                                          [this] { ++eventPasses_; }});
  }
  void addImages(int n) {
    for (int i = 1; i <= n; ++i)
      images_.append(toolkit_.makeImage(QString("1.2.%1").arg(i), "L CC"));
  }

 private slots:
  void init() {
    images_.empty();
    toolkit_.script = {};
    states_.clear();
    eventPasses_ = 0;
    ConnectionSettings = {"ARCHIVE", "127.0.0.1", "4242", "BREVANT", "11112"};
  }

  void sendsMarkedImagesInPositionOrderAndClearsTheirMarkers() {
    addImages(4);
    images_.item(1)->setText("CHANGED");
    images_.item(3)->setText("CHANGED");
    QCOMPARE(makeUpdate().run(), 2);
    QCOMPARE(toolkit_.script.sends.size(), std::size_t(2));
    QCOMPARE(toolkit_.script.sends[0].sopInstanceUID, QString("1.2.1"));
    QCOMPARE(toolkit_.script.sends[1].sopInstanceUID, QString("1.2.3"));
    const fake::SendCall& call = toolkit_.script.sends[0];
    QCOMPARE(call.address, QString("127.0.0.1"));
    QCOMPARE(call.port, 4242);
    QCOMPARE(call.callingAE, QString("BREVANT"));
    QCOMPARE(call.calledAE, QString("ARCHIVE"));
    QCOMPARE(states_, QStringList({"1:Sending Images ...", "1:Sending Images (1) ...",
                                   "1:Sending Images (3) ...", "0:"}));
    QCOMPARE(eventPasses_, 2);
    QCOMPARE(images_.markedCount(), 0);
  }

  void nothingMarkedSendsNothingAndStillSucceeds() {
    addImages(2);
    QCOMPARE(makeUpdate().run(), 0);
    QVERIFY(toolkit_.script.sends.empty());
    QCOMPARE(states_, QStringList({"1:Sending Images ...", "0:"}));
  }

  void aFailedStoreKeepsThatMarkerAndAllLaterOnes() {
    addImages(3);
    for (int i = 1; i <= 3; ++i) images_.item(i)->setText("CHANGED");
    toolkit_.script.onSend = [](const fake::SendCall& call) {
      if (call.sopInstanceUID == "1.2.2") throw dicom::DicomError(0xA700, "Out of resources");
    };
    try {
      makeUpdate().run();
      QFAIL("the failure must reach the caller");
    } catch (const dicom::DicomError& error) {
      QCOMPARE(error.number(), 0xA700);
    }
    QVERIFY(images_.item(1)->text().isEmpty());
    QCOMPARE(images_.item(2)->text(), QString("CHANGED"));
    QCOMPARE(images_.item(3)->text(), QString("CHANGED"));
    QCOMPARE(states_.last(), QString("1:Sending Images (2) ..."));
  }

  void aPortThatIsNoNumberFailsBeforeTheFirstSend() {
    addImages(1);
    images_.item(1)->setText("CHANGED");
    ConnectionSettings.RemotePort = "abc";
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, makeUpdate().run());
    QVERIFY(toolkit_.script.sends.empty());
    QCOMPARE(images_.item(1)->text(), QString("CHANGED"));
  }

  void eventsThatEmptyTheViewerMidwayEndInAFailureNotAWrongImage() {
    addImages(2);
    images_.item(1)->setText("CHANGED");
    images_.item(2)->setText("CHANGED");
    station::StudyUpdate update(images_, {[](bool, const QString&) {},
                                          [this] {
                                            if (!toolkit_.script.sends.empty()) images_.empty();
                                          }});
    QVERIFY_THROWS_EXCEPTION(dicom::DicomError, update.run());
    QCOMPARE(toolkit_.script.sends.size(), std::size_t(1));
  }
};

QTEST_GUILESS_MAIN(StudyUpdateTest)
#include "StudyUpdateTest.moc"
