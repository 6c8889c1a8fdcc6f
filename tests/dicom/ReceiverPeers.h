#pragma once

// What the receiver tests share: the study they send, DCMTK's storescu and
// echoscu, an association of our own that sends whatever it is given, and a
// receiver on a free loopback port whose reports are recorded in order.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <utility>
#include <vector>

#include "SampleStudy.h"
#include "dicom/dcmtk/DcmtkReceiver.h"
#include "support/DcmBytes.h"

namespace receivertest {

using dicom::dcmtk::ReceiverLimits;
using dicom::dcmtk::Timeouts;

constexpr const char* kStationAE = "STATION";
constexpr const char* kStudy = "1.2.826.0.1.3680043.8.498.77";
// The archive the study is moved from; our own association calls as it
// unless told otherwise.
constexpr const char* kArchiveAE = "ARCHIVE";
dicom::Peer archive();

dicom::StationIdentity as(const QString& aeTitle, int port);
// Every step of the network bounded by the same number of seconds.
Timeouts within(int seconds);
int freePort();

// Runs storescu or echoscu at the port (bounded): exit code 0, and output.
std::pair<bool, QString> runTool(const QString& program, const QString& calledAE, int port,
                                 const QStringList& extra = {});

// A C-STORE-RQ's command set for the instance (a data set follows), as it
// travels.
QByteArray storeCommand(const QString& sopInstanceUID);

// An association of our own to the receiver (mammograms in explicit little
// endian unless told), released or aborted at the end. It sends whatever it
// is given.
struct RawAssociation {
  T_ASC_Network* network = nullptr;
  T_ASC_Association* assoc = nullptr;
  OFCondition cond;

  explicit RawAssociation(int port,
                          const char* transferSyntax = UID_LittleEndianExplicitTransferSyntax,
                          const char* callingAE = kArchiveAE);
  ~RawAssociation();
  RawAssociation(const RawAssociation&) = delete;
  RawAssociation& operator=(const RawAssociation&) = delete;

  bool pdv(DUL_DATAPDV type, const char* data, qsizetype size, bool last);
  // storeCommand() (DCMTK sends none without a data set of its own); false
  // when it could not be sent.
  bool command(const QString& sopInstanceUID);
  // The command, then the bytes as its data set in PDVs of the receiver's
  // size: the response's status and error comment (-1: none).
  std::pair<int, QString> store(const QString& sopInstanceUID, const QByteArray& bytes);
  // The rejection's result, source and reason, or {} when not rejected.
  T_ASC_RejectParameters rejection() const;
};

// A receiver expecting kStudy from kArchiveAE, on a free port, and what it
// reported: "image:<SOP Instance UID>", "closed", and each refusal as
// "refused:<AE title>@<address>:<description>".
class ReceiverUnderTest {
 public:
  ReceiverUnderTest(Timeouts timeouts, ReceiverLimits limits = {});

  dicom::dcmtk::DcmtkReceiver& receiver() { return *receiver_; }
  int port() const { return port_; }
  const QStringList& events() const { return events_; }
  // The images and ends of associations alone, and the refusals alone.
  QStringList deliveries() const;
  QStringList refusals() const;

 private:
  std::unique_ptr<dicom::dcmtk::DcmtkReceiver> receiver_;
  int port_ = 0;
  QObject context_;
  QStringList events_;
};

// The sample study the tests send: four small images of kStudy, implicit
// little endian, written into the folder.
std::vector<samples::WrittenImage> writeSampleStudy(const QString& folder);

// An image's data set in explicit little endian, with these values (none:
// the attribute removed) and, from 0 on, that many bytes of pixel data.
QByteArray encoded(const samples::WrittenImage& image,
                   const std::vector<std::pair<DcmTagKey, const char*>>& changes = {},
                   int pixelBytes = -1);

// The receiver still takes a study from storescu (on this port, or its
// own): its images in order, then the end. Empty when it does, what went
// wrong otherwise.
QString stillReceives(ReceiverUnderTest& under, const std::vector<samples::WrittenImage>& study,
                      int port = 0);

}  // namespace receivertest

// Fails the test function unless the receiver still takes the study.
#define VERIFY_STILL_RECEIVES(...)                                       \
  do {                                                                   \
    const QString receiving_ = receivertest::stillReceives(__VA_ARGS__); \
    QVERIFY2(receiving_.isEmpty(), qPrintable(receiving_));              \
  } while (false)
