// The reader of what peers send, on bytes as they come off the network:
// command sets and data sets beyond the limits are refused before DCMTK's
// parser sees them, and the commands the station takes part in come out
// with every field where DCMTK's own structure has it.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcostrmb.h>
#include <dcmtk/dcmdata/dctk.h>

#include <QtTest>
#include <functional>
#include <vector>

#include "dicom/dcmtk/DcmtkDimse.h"
#include "support/RawBytes.h"

using dicom::dcmtk::MessageLimits;
using dicom::dcmtk::parseCommand;
using dicom::dcmtk::ScannedDataSet;

namespace {

// A data set as it crosses the network in a transfer syntax.
std::vector<char> encode(DcmDataset& set, E_TransferSyntax xfer) {
  std::vector<char> bytes(1u << 20);
  DcmOutputBufferStream out(bytes.data(), bytes.size());
  set.transferInit();
  set.write(out, xfer, EET_ExplicitLength, nullptr);
  set.transferEnd();
  offile_off_t length = 0;
  void* data = nullptr;
  out.flushBuffer(data, length);
  bytes.resize(static_cast<std::size_t>(length));
  return bytes;
}

// Feeds bytes in PDV-sized pieces; the parsed set, or null with the problem.
std::unique_ptr<DcmDataset> parse(const std::vector<char>& bytes, E_TransferSyntax xfer, int depth,
                                  std::uint64_t limit, QString& problem) {
  ScannedDataSet parser(xfer, depth, limit);
  const std::size_t piece = 16 * 1024;
  for (std::size_t at = 0; at < bytes.size() || at == 0; at += piece) {
    const std::size_t n = std::min(piece, bytes.size() - at);
    const bool last = at + n >= bytes.size();
    if (!parser.feed(bytes.data() + at, n, last)) break;
    if (last) break;
  }
  problem = parser.problem();
  return parser.take();
}

}  // namespace

class DimseReaderTest : public QObject {
  Q_OBJECT
 private slots:
  // A command set: what the reader makes of it, as the fields the station
  // reads, or the reason it is refused.
  void commands_data() {
    QTest::addColumn<std::function<void(DcmDataset&)>>("build");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char* tag, std::function<void(DcmDataset&)> build,
                        const char* expected) { QTest::newRow(tag) << build << QString(expected); };
    row(
        "move response with its counts",
        [](DcmDataset& d) {
          d.putAndInsertUint16(DCM_CommandField, 0x8021);
          d.putAndInsertUint16(DCM_MessageIDBeingRespondedTo, 7);
          d.putAndInsertUint16(DCM_CommandDataSetType, 0x0101);
          d.putAndInsertUint16(DCM_Status, 0xFF00);
          d.putAndInsertUint16(DCM_NumberOfRemainingSuboperations, 3);
          d.putAndInsertUint16(DCM_NumberOfCompletedSuboperations, 1);
          d.putAndInsertUint16(DCM_NumberOfFailedSuboperations, 2);
          d.putAndInsertUint16(DCM_NumberOfWarningSuboperations, 4);
          d.putAndInsertString(DCM_ErrorComment, "busy");
        },
        "move-rsp id 7 status ff00 remaining 3 completed 1 failed 2 warning 4 no data");
    row(
        "store request, UIDs padded",
        [](DcmDataset& d) {
          d.putAndInsertUint16(DCM_CommandField, 0x0001);
          d.putAndInsertUint16(DCM_MessageID, 9);
          d.putAndInsertUint16(DCM_CommandDataSetType, 0x0000);
          d.putAndInsertUint16(DCM_Priority, 0);
          d.putAndInsertString(DCM_AffectedSOPClassUID, "1.2.840.10008.5.1.4.1.1.1.2");
          d.putAndInsertString(DCM_AffectedSOPInstanceUID, "1.2.3.4");
          d.putAndInsertString(DCM_MoveOriginatorApplicationEntityTitle, "ARCHIVE ");
        },
        "store-rq id 9 class 1.2.840.10008.5.1.4.1.1.1.2 instance 1.2.3.4 originator ARCHIVE data");
    row(
        "find response without its message ID",
        [](DcmDataset& d) {
          d.putAndInsertUint16(DCM_CommandField, 0x8020);
          d.putAndInsertUint16(DCM_CommandDataSetType, 0x0101);
          d.putAndInsertUint16(DCM_Status, 0);
        },
        "refused: no valid Message ID Being Responded To");
    row(
        "UID longer than a UID",
        [](DcmDataset& d) {
          d.putAndInsertUint16(DCM_CommandField, 0x0030);
          d.putAndInsertUint16(DCM_MessageID, 1);
          d.putAndInsertUint16(DCM_CommandDataSetType, 0x0101);
          d.putAndInsertString(DCM_AffectedSOPClassUID, QByteArray(70, '1').constData());
        },
        "refused: no valid Affected SOP Class UID");
    row(
        "a command the station takes no part in",
        [](DcmDataset& d) {
          d.putAndInsertUint16(DCM_CommandField, 0x0110);  // N-GET-RQ
          d.putAndInsertUint16(DCM_CommandDataSetType, 0x0101);
        },
        "refused: 0x0110 is not one the station takes part in");
  }
  void commands() {
    QFETCH(std::function<void(DcmDataset&)>, build);
    QFETCH(QString, expected);
    DcmDataset command;
    build(command);
    QString problem;
    const MessageLimits limits;
    auto set = parse(encode(command, EXS_LittleEndianImplicit), EXS_LittleEndianImplicit,
                     limits.commandDepth, limits.commandBytes, problem);
    QVERIFY2(set, qPrintable(problem));
    T_DIMSE_Message m;
    if (!parseCommand(*set, m, problem)) {
      QVERIFY2(expected.startsWith("refused: ") && problem.contains(expected.mid(9)),
               qPrintable(problem));
      return;
    }
    QString got;
    if (m.CommandField == DIMSE_C_MOVE_RSP) {
      const T_DIMSE_C_MoveRSP& r = m.msg.CMoveRSP;
      got = QString("move-rsp id %1 status %2 remaining %3 completed %4 failed %5 warning %6 %7")
                .arg(r.MessageIDBeingRespondedTo)
                .arg(r.DimseStatus, 0, 16)
                .arg(r.NumberOfRemainingSubOperations)
                .arg(r.NumberOfCompletedSubOperations)
                .arg(r.NumberOfFailedSubOperations)
                .arg(r.NumberOfWarningSubOperations)
                .arg(r.DataSetType == DIMSE_DATASET_NULL ? "no data" : "data");
      QVERIFY(r.opts & O_MOVE_NUMBEROFWARNINGSUBOPERATIONS);
    } else if (m.CommandField == DIMSE_C_STORE_RQ) {
      const T_DIMSE_C_StoreRQ& r = m.msg.CStoreRQ;
      got = QString("store-rq id %1 class %2 instance %3 originator %4 %5")
                .arg(r.MessageID)
                .arg(r.AffectedSOPClassUID, r.AffectedSOPInstanceUID,
                     r.MoveOriginatorApplicationEntityTitle)
                .arg(r.DataSetType == DIMSE_DATASET_NULL ? "no data" : "data");
    }
    QCOMPARE(got, expected);
  }

  // Nesting and size are refused while the bytes arrive, at any depth a
  // peer sends; a find's match of ordinary depth still parses.
  void limits_data() {
    QTest::addColumn<int>("depth");
    QTest::addColumn<bool>("command");
    QTest::addColumn<QString>("problem");
    QTest::newRow("command set, one sequence") << 1 << true << "nested deeper than 0";
    QTest::newRow("command set, 100,000 deep") << 100000 << true << "nested deeper than 0";
    QTest::newRow("match, 10,000 deep") << 10000 << false << "nested deeper than 64";
    QTest::newRow("match, 3 deep") << 3 << false << "";
  }
  void limits() {
    QFETCH(int, depth);
    QFETCH(bool, command);
    QFETCH(QString, problem);
    const MessageLimits limits;
    QString found;
    const std::string deep = rawbytes::nested(depth, false);  // implicit little endian
    auto set = parse({deep.begin(), deep.end()}, EXS_LittleEndianImplicit,
                     command ? limits.commandDepth : limits.dataSetDepth,
                     command ? limits.commandBytes : limits.dataSetBytes, found);
    QVERIFY2(problem.isEmpty() ? found.isEmpty() : found.contains(problem), qPrintable(found));
    QCOMPARE(set != nullptr, problem.isEmpty());
  }
};

QTEST_GUILESS_MAIN(DimseReaderTest)
#include "DimseReaderTest.moc"
