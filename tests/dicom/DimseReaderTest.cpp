// The reader of what peers send, on bytes as they come off the network:
// command sets and data sets beyond the limits are refused before DCMTK's
// parser sees them, and the commands the station takes part in come out
// with every field where DCMTK's own structure has it.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dctk.h>

#include <QtTest>
#include <vector>

#include "dicom/dcmtk/DcmtkDimse.h"
#include "support/DcmBytes.h"
#include "support/RawBytes.h"

using dicom::dcmtk::MessageLimits;
using dicom::dcmtk::parseCommand;
using dicom::dcmtk::ScannedDataSet;

namespace {

// Feeds bytes in PDV-sized pieces; the parsed set, or null with the problem.
std::unique_ptr<DcmDataset> parse(const QByteArray& bytes, E_TransferSyntax xfer, int depth,
                                  std::uint64_t limit, QString& problem) {
  ScannedDataSet parser(xfer, depth, limit);
  const std::size_t piece = 16 * 1024, size = std::size_t(bytes.size());
  for (std::size_t at = 0; at < size || at == 0; at += piece) {
    const std::size_t n = std::min(piece, size - at);
    if (!parser.feed(bytes.data() + at, n, at + n >= size)) break;
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
    QTest::addColumn<QString>("command");  // "Keyword=value;..."
    QTest::addColumn<QString>("expected");
    QTest::newRow("move response with its counts")
        << "CommandField=0x8021;MessageIDBeingRespondedTo=7;CommandDataSetType=0x0101;"
           "Status=0xFF00;NumberOfRemainingSuboperations=3;NumberOfCompletedSuboperations=1;"
           "NumberOfFailedSuboperations=2;NumberOfWarningSuboperations=4;ErrorComment=busy"
        << "move-rsp id 7 status ff00 remaining 3 completed 1 failed 2 warning 4 no data";
    QTest::newRow("store request, UIDs padded")
        << "CommandField=0x0001;MessageID=9;CommandDataSetType=0;Priority=0;"
           "AffectedSOPClassUID=1.2.840.10008.5.1.4.1.1.1.2;AffectedSOPInstanceUID=1.2.3.4;"
           "MoveOriginatorApplicationEntityTitle=ARCHIVE "
        << "store-rq id 9 class 1.2.840.10008.5.1.4.1.1.1.2 instance 1.2.3.4 originator ARCHIVE "
           "data";
    QTest::newRow("find response without its message ID")
        << "CommandField=0x8020;CommandDataSetType=0x0101;Status=0"
        << "refused: no valid Message ID Being Responded To";
    QTest::newRow("UID longer than a UID")
        << "CommandField=0x0030;MessageID=1;CommandDataSetType=0x0101;AffectedSOPClassUID=" +
               QString(70, '1')
        << "refused: no valid Affected SOP Class UID";
    QTest::newRow("a command the station takes no part in")
        << "CommandField=0x0110;CommandDataSetType=0x0101"  // N-GET-RQ
        << "refused: 0x0110 is not one the station takes part in";
  }
  void commands() {
    QFETCH(QString, command);
    QFETCH(QString, expected);
    DcmDataset built;
    dcmbytes::put(built, command);
    QString problem;
    const MessageLimits limits;
    auto set = parse(dcmbytes::encoded(built, EXS_LittleEndianImplicit), EXS_LittleEndianImplicit,
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
    const QByteArray deep = QByteArray::fromStdString(rawbytes::nested(depth, false));
    auto set = parse(deep, EXS_LittleEndianImplicit,  // implicit little endian
                     command ? limits.commandDepth : limits.dataSetDepth,
                     command ? limits.commandBytes : limits.dataSetBytes, found);
    QVERIFY2(problem.isEmpty() ? found.isEmpty() : found.contains(problem), qPrintable(found));
    QCOMPARE(set != nullptr, problem.isEmpty());
  }
};

QTEST_GUILESS_MAIN(DimseReaderTest)
#include "DimseReaderTest.moc"
