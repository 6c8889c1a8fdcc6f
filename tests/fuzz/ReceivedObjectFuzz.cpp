// Mutates what peers send and takes it through what the station does with
// it: a crash or a sanitizer report is the finding; every outcome the
// station can report is fine.
//
// - received objects: the intake (scan, parse, checks), fed in PDV-sized
//   pieces, then the render path;
// - command sets, as the receiver and the client read them: scanned, parsed
//   and turned into DCMTK's message by the DIMSE reader;
// - C-FIND response identifiers, as the client reads them: scanned and
//   parsed by the same reader's data-set path, then read into a match.
//
//   ReceivedObjectFuzz [--runs N] [--seed S] [--keep FILE]
//
// --keep writes each input to FILE (its kind and transfer syntax UID on the
// first line) before it runs, so that the one a crash stopped at is there.
//
// Seeds: small images from the sample generator in every transfer syntax
// the station receives; the command sets of C-ECHO, C-STORE, C-FIND,
// C-MOVE and C-CANCEL; study matches in explicit and implicit VR; and
// hostile shapes of each (deep nesting, lying lengths, a multi-frame header
// that lies about its size).

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/oflog/oflog.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "SampleStudy.h"
#include "dicom/dcmtk/DcmtkDimse.h"
#include "dicom/dcmtk/DcmtkIntake.h"
#include "dicom/dcmtk/DcmtkRender.h"
#include "dicom/dcmtk/DcmtkText.h"
#include "support/DcmBytes.h"
#include "support/Files.h"
#include "support/RawBytes.h"

namespace {

struct Seed {
  enum class Kind { Object, Command, Identifier };
  std::vector<std::uint8_t> bytes;  // the data set, as it travels
  E_TransferSyntax xfer;
  std::string sopInstanceUID;  // objects
  Kind kind = Kind::Object;
};

const char* const kKindNames[] = {"object", "command", "identifier"};

// The data set of a Part 10 file: what follows the file meta group.
Seed fromFile(const QString& path, E_TransferSyntax xfer, const std::string& uid) {
  const QByteArray b = files::read(path);
  // The preamble, "DICM", and the meta group whose length its first element gives.
  const int start = 132 + 12 + static_cast<int>(qFromLittleEndian<quint32>(b.constData() + 140));
  return {std::vector<std::uint8_t>(b.begin() + start, b.end()), xfer, uid};
}

// The seed with sequences nested 200 deep after its elements, each closed
// at the end: in explicit VR with the SQ, in implicit VR by their undefined
// lengths.
Seed deepened(Seed seed) {
  const std::string nest = rawbytes::nested(200, seed.xfer != EXS_LittleEndianImplicit);
  seed.bytes.insert(seed.bytes.end(), nest.begin(), nest.end());
  return seed;
}

// Explicit little endian shapes no real image has.
std::vector<Seed> hostileSeeds(const Seed& plain) {
  std::vector<Seed> seeds;
  seeds.push_back(deepened({{}, plain.xfer, plain.sopInstanceUID}));
  Seed huge = plain;  // a Pixel Data that declares almost 4 GB
  const std::string pixels = rawbytes::header(0x7FE0, 0x0010, 0xFFFFFFF0, "OW");
  huge.bytes.insert(huge.bytes.end(), pixels.begin(), pixels.end());
  seeds.push_back(huge);
  return seeds;
}

std::vector<std::uint8_t> encode(DcmDataset& dataset, E_TransferSyntax xfer,
                                 E_GrpLenEncoding groupLength) {
  const QByteArray b = dcmbytes::encoded(dataset, xfer, groupLength);
  return {b.begin(), b.end()};
}

// The command sets the station reads, as peers send them (implicit VR
// little endian, with their group length), and one nested deep.
std::vector<Seed> commandSeeds() {
  const QString echo = UID_VerificationSOPClass,
                image = UID_DigitalMammographyXRayImageStorageForPresentation,
                find = UID_FINDStudyRootQueryRetrieveInformationModel,
                move = UID_MOVEStudyRootQueryRetrieveInformationModel;
  const QString instance = ";AffectedSOPInstanceUID=1.2.826.0.1.3680043.8.498.1.2.3";
  // C-ECHO-RQ, C-STORE-RQ, C-FIND-RSP, C-MOVE-RSP, C-STORE-RSP, C-CANCEL-RQ
  const QString commands[] = {
      "CommandField=0x0030;MessageID=1;CommandDataSetType=0x0101;AffectedSOPClassUID=" + echo,
      "CommandField=0x0001;MessageID=7;Priority=0;CommandDataSetType=0;"
      "MoveOriginatorApplicationEntityTitle=STATION;MoveOriginatorMessageID=3;"
      "AffectedSOPClassUID=" +
          image + instance,
      "CommandField=0x8020;MessageIDBeingRespondedTo=1;CommandDataSetType=0;Status=0xFF00;"
      "AffectedSOPClassUID=" +
          find,
      "CommandField=0x8021;MessageIDBeingRespondedTo=1;CommandDataSetType=0x0101;Status=0xFF00;"
      "NumberOfRemainingSuboperations=3;NumberOfCompletedSuboperations=1;"
      "NumberOfFailedSuboperations=0;NumberOfWarningSuboperations=0;AffectedSOPClassUID=" +
          move,
      "CommandField=0x8001;MessageIDBeingRespondedTo=7;CommandDataSetType=0x0101;Status=0xA700;"
      "ErrorComment=out of resources;AffectedSOPClassUID=" +
          image + instance,
      "CommandField=0x0FFF;MessageIDBeingRespondedTo=1;CommandDataSetType=0x0101",
  };
  std::vector<Seed> seeds;
  for (const QString& fields : commands) {
    DcmDataset set;
    dcmbytes::put(set, fields);
    seeds.push_back({encode(set, EXS_LittleEndianImplicit, EGL_recalcGL),
                     EXS_LittleEndianImplicit,
                     {},
                     Seed::Kind::Command});
  }
  seeds.push_back(deepened(seeds.front()));
  return seeds;
}

// Study matches as archives send them, in both syntaxes the station offers
// for identifiers, with text in Latin-1 and in UTF-8; and one nested deep.
std::vector<Seed> identifierSeeds() {
  std::vector<Seed> seeds;
  for (const char* charset : {"ISO_IR 100", "ISO_IR 192"}) {
    DcmDataset match;
    dcmbytes::put(match, QString::fromLatin1("SpecificCharacterSet=%1;StudyDate=20240115;"
                                             "StudyTime=093000;AccessionNumber=A0001;"
                                             "QueryRetrieveLevel=STUDY;ModalitiesInStudy=MG\\SR;"
                                             "PatientName=M\xFCller^Anna;PatientID=P0001;"
                                             "PatientBirthDate=19600305;"
                                             "StudyInstanceUID=1.2.826.0.1.3680043.8.498.77;"
                                             "NumberOfStudyRelatedInstances=4")
                             .arg(charset));
    DcmItem* item = nullptr;
    match.findOrCreateSequenceItem(DCM_ReferencedStudySequence, item, -2);
    if (item != nullptr) item->putAndInsertString(DCM_ReferencedSOPInstanceUID, "1.2.3.4");
    for (E_TransferSyntax xfer : {EXS_LittleEndianExplicit, EXS_LittleEndianImplicit}) {
      seeds.push_back({encode(match, xfer, EGL_withoutGL), xfer, {}, Seed::Kind::Identifier});
    }
  }
  seeds.push_back(deepened(seeds.front()));
  return seeds;
}

void mutate(std::vector<std::uint8_t>& b, std::mt19937& rng) {
  static const std::uint32_t kInteresting[] = {0,      1,      0x7F,       0x80,       0xFF,
                                               0x7FFF, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFE};
  // Fewer changes to a small input (a command set, a match), so that some of
  // its mutants still parse and reach what reads them.
  const int count = 1 + static_cast<int>(rng() % (b.size() < 1024 ? 3 : 8));
  for (int i = 0; i < count && !b.empty(); ++i) {
    const std::size_t at = rng() % b.size();
    switch (rng() % 6) {
      case 0:
        b[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        break;
      case 1:
        b[at] = static_cast<std::uint8_t>(rng());
        break;
      case 2: {  // a length or count that lies
        const std::uint32_t v = kInteresting[rng() % std::size(kInteresting)];
        for (int k = 0; k < 4 && at + k < b.size(); ++k)
          b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
        break;
      }
      case 3:
        b.erase(b.begin() + static_cast<long>(at),
                b.begin() + static_cast<long>(std::min(b.size(), at + 1 + rng() % 64)));
        break;
      case 4: {
        const std::size_t from = rng() % b.size();
        const std::size_t n = std::min<std::size_t>(b.size() - from, 1 + rng() % 256);
        std::vector<std::uint8_t> chunk(b.begin() + static_cast<long>(from),
                                        b.begin() + static_cast<long>(from + n));
        b.insert(b.begin() + static_cast<long>(at), chunk.begin(), chunk.end());
        break;
      }
      default:
        b.resize(at);
        break;
    }
  }
}

// The size of the next PDV: even, as peers send them, up to 8 KiB.
std::size_t pdvSize(std::size_t left, std::mt19937& rng) {
  return std::min<std::size_t>(left, 2 + 2 * (rng() % 4096));
}

bool runObject(const Seed& seed, const std::vector<std::uint8_t>& bytes, std::mt19937& rng) {
  using dicom::dcmtk::ObjectIntake;
  ObjectIntake intake(seed.xfer, ObjectIntake::Mode::Keep, {},
                      [](const std::string&) { return QString(); });
  std::size_t at = 0;
  do {
    const std::size_t n = pdvSize(bytes.size() - at, rng);
    intake.feed(bytes.data() + at, n, at + n == bytes.size());
    at += n;
  } while (at < bytes.size());
  intake.finish(seed.sopInstanceUID);
  if (intake.mode() != ObjectIntake::Mode::Keep) return false;
  if (intake.hasPixelData()) {
    try {
      dicom::dcmtk::renderForDisplay(*intake.dataset(), QSize(200, 200));
    } catch (const std::exception&) {
      // A picture that cannot be decoded is an outcome, not a finding.
    }
  }
  return true;
}

// A command set or an identifier through the DIMSE reader's parser, fed as
// its PDVs arrive; what it parses is then read as the station reads it.
bool runMessage(const Seed& seed, const std::vector<std::uint8_t>& bytes, std::mt19937& rng) {
  const dicom::dcmtk::MessageLimits limits;
  const bool command = seed.kind == Seed::Kind::Command;
  dicom::dcmtk::ScannedDataSet parser(seed.xfer,
                                      command ? limits.commandDepth : limits.dataSetDepth,
                                      command ? limits.commandBytes : limits.dataSetBytes);
  std::size_t at = 0;
  bool fine = true;
  do {
    const std::size_t n = pdvSize(bytes.size() - at, rng);
    fine = parser.feed(bytes.data() + at, n, at + n == bytes.size());
    at += n;
  } while (fine && at < bytes.size());
  std::unique_ptr<DcmDataset> set = parser.take();
  if (!set) return false;
  if (command) {
    T_DIMSE_Message message;
    QString problem;
    return dicom::dcmtk::parseCommand(*set, message, problem);
  }
  const dicom::DataSet match = dicom::dcmtk::toDataSet(*set);
  return !match.text(dicom::tags::StudyInstanceUID).isEmpty();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  long runs = 20000;
  unsigned seedValue = 1;
  QString keep;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--runs") runs = std::stol(argv[i + 1]);
    if (std::string(argv[i]) == "--seed")
      seedValue = static_cast<unsigned>(std::stoul(argv[i + 1]));
    if (std::string(argv[i]) == "--keep") keep = QString::fromLocal8Bit(argv[i + 1]);
  }
  OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
  DJDecoderRegistration::registerCodecs();
  DJLSDecoderRegistration::registerCodecs();
  DcmRLEDecoderRegistration::registerCodecs();

  QTemporaryDir folder;
  std::vector<Seed> seeds;
  for (samples::Syntax syntax :
       {samples::Syntax::ExplicitLittle, samples::Syntax::ImplicitLittle, samples::Syntax::Deflated,
        samples::Syntax::JpegLossless, samples::Syntax::JpegLs, samples::Syntax::Rle,
        samples::Syntax::Jpeg2000Lossless}) {
    samples::StudySpec spec;
    spec.rows = 80;
    spec.columns = 64;
    spec.images = 1;
    spec.syntax = syntax;
    spec.photometric = seeds.size() % 2 ? "MONOCHROME1" : "MONOCHROME2";
    const auto written = samples::writeStudy(spec, folder.filePath(samples::syntaxName(syntax)));
    const E_TransferSyntax xfer = DcmXfer(qPrintable(samples::transferSyntaxUID(syntax))).getXfer();
    seeds.push_back(fromFile(written[0].path, xfer, written[0].sopInstanceUID.toStdString()));
  }
  for (const Seed& hostile : hostileSeeds(seeds.front())) seeds.push_back(hostile);
  for (const Seed& command : commandSeeds()) seeds.push_back(command);
  for (const Seed& identifier : identifierSeeds()) seeds.push_back(identifier);

  // How many inputs of each kind ran, and how many of them the station took
  // whole (an object kept, a command understood, a match with its study).
  long ran[3] = {}, taken[3] = {};
  std::mt19937 rng(seedValue);
  for (long i = 0; i < runs; ++i) {
    const Seed& seed = seeds[rng() % seeds.size()];
    std::vector<std::uint8_t> bytes = seed.bytes;
    mutate(bytes, rng);
    if (!keep.isEmpty()) {
      QFile file(keep);
      file.open(QIODevice::WriteOnly);
      file.write(QByteArray(kKindNames[int(seed.kind)]) + ' ' + DcmXfer(seed.xfer).getXferID() +
                 '\n');
      file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    }
    if (!bytes.empty()) {
      const bool object = seed.kind == Seed::Kind::Object;
      ran[int(seed.kind)] += 1;
      taken[int(seed.kind)] +=
          (object ? runObject(seed, bytes, rng) : runMessage(seed, bytes, rng));
    }
    if ((i + 1) % 5000 == 0) {
      std::printf("%ld inputs\n", i + 1);
      std::fflush(stdout);  // a long run's progress shows in its log as it goes
    }
  }
  for (int kind = 0; kind < 3; ++kind) {
    std::printf("%s: %ld inputs, %ld taken whole\n", kKindNames[kind], ran[kind], taken[kind]);
  }
  std::printf("%ld inputs ran clean (seed %u)\n", runs, seedValue);
  return 0;
}
