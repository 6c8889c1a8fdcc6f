#include "ReceiverPeers.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

namespace receivertest {

dicom::Peer archive() {
  return {kArchiveAE, "127.0.0.1", dicom::Port("104")};
}

dicom::StationIdentity as(const QString& aeTitle, int port) {
  return {aeTitle, dicom::Port(QString::number(port))};
}

Timeouts within(int seconds) {
  Timeouts timeouts;
  timeouts.connectSeconds = timeouts.associationSeconds = timeouts.messageSeconds = seconds;
  return timeouts;
}

int freePort() {
  QTcpServer server;
  server.listen(QHostAddress::AnyIPv4, 0);
  return server.serverPort();
}

std::pair<bool, QString> runTool(const QString& program, const QString& calledAE, int port,
                                 const QStringList& extra) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(program, QStringList{"-to", "5", "-ta", "5", "-td", "10", "-v", "-aet", "TESTSCU",
                                     "-aec", calledAE, "127.0.0.1", QString::number(port)} +
                             extra);
  const bool finished = process.waitForFinished(60000);
  if (!finished) process.kill();
  process.waitForFinished(5000);
  return {finished && process.exitCode() == 0, QString::fromLocal8Bit(process.readAll())};
}

QByteArray storeCommand(const QString& sopInstanceUID) {
  DcmDataset command;
  command.putAndInsertString(DCM_AffectedSOPClassUID,
                             UID_DigitalMammographyXRayImageStorageForPresentation);
  command.putAndInsertUint16(DCM_CommandField, DIMSE_C_STORE_RQ);
  command.putAndInsertUint16(DCM_MessageID, 1);
  command.putAndInsertUint16(DCM_Priority, 0);
  command.putAndInsertUint16(DCM_CommandDataSetType, 0);  // a data set follows
  command.putAndInsertString(DCM_AffectedSOPInstanceUID, qPrintable(sopInstanceUID));
  return dcmbytes::encoded(command, EXS_LittleEndianImplicit, EGL_withGL);
}

RawAssociation::RawAssociation(int port, const char* transferSyntax, const char* callingAE) {
  ASC_initializeNetwork(NET_REQUESTOR, 0, 5, &network);
  T_ASC_Parameters* params = nullptr;
  ASC_createAssociationParameters(&params, ASC_DEFAULTMAXPDU);
  ASC_setAPTitles(params, callingAE, kStationAE, nullptr);
  ASC_setPresentationAddresses(params, "localhost", qPrintable(QString("127.0.0.1:%1").arg(port)));
  const char* syntax[] = {transferSyntax};
  ASC_addPresentationContext(params, 1, UID_DigitalMammographyXRayImageStorageForPresentation,
                             syntax, 1);
  ASC_addPresentationContext(params, 3, UID_VerificationSOPClass, syntax, 1);
  cond = ASC_requestAssociation(network, params, &assoc, nullptr, nullptr, DUL_NOBLOCK, 5);
  if (assoc == nullptr) ASC_destroyAssociationParameters(&params);
}

RawAssociation::~RawAssociation() {
  if (cond.good() && ASC_releaseAssociation(assoc).bad()) ASC_abortAssociation(assoc);
  if (assoc != nullptr) ASC_destroyAssociation(&assoc);
  ASC_dropNetwork(&network);
}

bool RawAssociation::pdv(DUL_DATAPDV type, const char* data, qsizetype size, bool last) {
  DUL_PDV pdv{static_cast<unsigned long>(size), 1, type, last, const_cast<char*>(data)};
  DUL_PDVLIST list{1, nullptr, 0, {}, &pdv};
  return DUL_WritePDVs(&assoc->DULassociation, &list).good();
}

bool RawAssociation::command(const QString& sopInstanceUID) {
  const QByteArray head = storeCommand(sopInstanceUID);
  return cond.good() && pdv(DUL_COMMANDPDV, head.data(), head.size(), true);
}

std::pair<int, QString> RawAssociation::store(const QString& sopInstanceUID,
                                              const QByteArray& bytes) {
  if (!command(sopInstanceUID)) return {-1, {}};
  qsizetype at = 0;
  do {
    const qsizetype n = std::min<qsizetype>(assoc->sendPDVLength, bytes.size() - at);
    if (!pdv(DUL_DATASETPDV, bytes.data() + at, n, at + n == bytes.size())) return {-1, {}};
    at += n;
  } while (at < bytes.size());
  T_DIMSE_Message response{};
  T_ASC_PresentationContextID context = 0;
  DcmDataset* detail = nullptr;
  cond = DIMSE_receiveCommand(assoc, DIMSE_NONBLOCKING, 30, &context, &response, &detail);
  std::unique_ptr<DcmDataset> owner(detail);
  OFString comment;
  if (detail != nullptr) detail->findAndGetOFString(DCM_ErrorComment, comment);
  return {cond.good() ? response.msg.CStoreRSP.DimseStatus : -1, comment.c_str()};
}

T_ASC_RejectParameters RawAssociation::rejection() const {
  T_ASC_RejectParameters reject{};
  if (cond == DUL_ASSOCIATIONREJECTED && assoc != nullptr) {
    ASC_getRejectParameters(assoc->params, &reject);
  }
  return reject;
}

ReceiverUnderTest::ReceiverUnderTest(Timeouts timeouts, ReceiverLimits limits)
    : receiver_(std::make_unique<dicom::dcmtk::DcmtkReceiver>(timeouts, limits)) {
  receiver_->listen(as(kStationAE, port_ = freePort()));
  receiver_->expectStudy(kStudy, archive());
  QObject::connect(receiver_.get(), &dicom::StorageReceiver::imageReceived, &context_,
                   [this](const dicom::ImagePtr& image) {
                     const bool drawn = !image->displayImage().isNull();
                     events_ << (drawn ? "image:" : "undrawn image:") +
                                    image->attribute(dicom::tags::SOPInstanceUID).value();
                   });
  QObject::connect(receiver_.get(), &dicom::StorageReceiver::associationClosed, &context_,
                   [this] { events_ << "closed"; });
  QObject::connect(
      receiver_.get(), &dicom::StorageReceiver::objectRefused, &context_,
      [this](qint32, const QString& description, const QString& aeTitle, const QString& address) {
        events_ << QString("refused:%1@%2:%3").arg(aeTitle, address, description);
      });
}

QStringList ReceiverUnderTest::deliveries() const {
  return events_.filter(QRegularExpression("^(?!refused:)"));
}

QStringList ReceiverUnderTest::refusals() const {
  return events_.filter(QRegularExpression("^refused:"));
}

std::vector<samples::WrittenImage> writeSampleStudy(const QString& folder) {
  samples::StudySpec sample;
  sample.rows = 256;
  sample.columns = 208;
  sample.syntax = samples::Syntax::ImplicitLittle;
  sample.studyInstanceUID = kStudy;
  return samples::writeStudy(sample, folder);
}

QByteArray encoded(const samples::WrittenImage& image,
                   const std::vector<std::pair<DcmTagKey, const char*>>& changes, int pixelBytes) {
  DcmFileFormat file;
  file.loadFile(image.path.toLocal8Bit().constData());
  DcmDataset& d = *file.getDataset();
  for (const auto& [key, value] : changes) {
    if (value == nullptr) delete d.remove(key);
    if (value != nullptr) d.putAndInsertString(key, value);
  }
  if (pixelBytes >= 0) {
    const std::vector<Uint16> pixels(static_cast<std::size_t>(pixelBytes / 2), 0x0101);
    d.putAndInsertUint16Array(DCM_PixelData, pixels.data(), pixels.size());
  }
  return dcmbytes::encoded(d, EXS_LittleEndianExplicit);
}

QString stillReceives(ReceiverUnderTest& under, const std::vector<samples::WrittenImage>& study,
                      int port) {
  const qsizetype before = under.deliveries().size();
  QStringList files, expected;
  for (const auto& image : study) {
    files << image.path;
    expected << "image:" + image.sopInstanceUID;
  }
  expected << "closed";
  const auto [ok, output] = runTool("storescu", kStationAE, port ? port : under.port(), files);
  if (!ok) return "storescu failed: " + output;
  QDeadlineTimer deadline(20000);
  while (under.deliveries().mid(before) != expected && !deadline.hasExpired()) QTest::qWait(50);
  if (under.deliveries().mid(before) == expected) return QString();
  return "received " + under.deliveries().mid(before).join(", ");
}

}  // namespace receivertest
