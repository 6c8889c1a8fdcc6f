// Mutates received objects and sends them through what the receiver does
// with every object a peer sends: the intake (scan, parse, checks), fed in
// PDV-sized pieces, then the render path. A crash or a sanitizer report is
// the finding; every outcome the station can report is fine.
//
//   ReceivedObjectFuzz [--runs N] [--seed S] [--keep FILE]
//
// --keep writes each input to FILE (its transfer syntax UID on the first
// line) before it runs, so that the one a crash stopped at is there.
//
// Seeds: small images from the sample generator in every transfer syntax
// the station receives, and hostile shapes (deep nesting, lying lengths, a
// multi-frame header that lies about its size).

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/oflog/oflog.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "SampleStudy.h"
#include "dicom/dcmtk/DcmtkIntake.h"
#include "dicom/dcmtk/DcmtkRender.h"

namespace {

struct Seed {
  std::vector<std::uint8_t> bytes;  // the data set, as it travels
  E_TransferSyntax xfer;
  std::string sopInstanceUID;
};

std::uint16_t u16(const QByteArray& b, int at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(b[at]) |
                                    (static_cast<std::uint8_t>(b[at + 1]) << 8));
}
std::uint32_t u32(const QByteArray& b, int at) {
  return u16(b, at) | (std::uint32_t{u16(b, at + 2)} << 16);
}

// The data set of a Part 10 file: what follows the file meta group.
Seed fromFile(const QString& path, E_TransferSyntax xfer, const std::string& uid) {
  QFile file(path);
  file.open(QIODevice::ReadOnly);
  const QByteArray b = file.readAll();
  const int start = 132 + 12 + static_cast<int>(u32(b, 132 + 8));
  return {std::vector<std::uint8_t>(b.begin() + start, b.end()), xfer, uid};
}

void put(std::vector<std::uint8_t>& out, std::initializer_list<std::uint32_t> words16,
         std::uint32_t length) {
  for (std::uint32_t w : words16) {
    out.push_back(static_cast<std::uint8_t>(w));
    out.push_back(static_cast<std::uint8_t>(w >> 8));
  }
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
}

// Explicit little endian shapes no real image has.
std::vector<Seed> hostileSeeds(const Seed& plain) {
  std::vector<Seed> seeds;
  Seed deep = plain;
  deep.bytes.resize(0);
  for (int i = 0; i < 200; ++i) {
    put(deep.bytes, {0x0040, 0xA730, 'S' | ('Q' << 8), 0}, 0xFFFFFFFF);
    put(deep.bytes, {0xFFFE, 0xE000}, 0xFFFFFFFF);
  }
  seeds.push_back(deep);
  Seed huge = plain;  // a Pixel Data that declares almost 4 GB
  put(huge.bytes, {0x7FE0, 0x0010, 'O' | ('W' << 8), 0}, 0xFFFFFFF0);
  seeds.push_back(huge);
  return seeds;
}

void mutate(std::vector<std::uint8_t>& b, std::mt19937& rng) {
  static const std::uint32_t kInteresting[] = {0,      1,      0x7F,       0x80,       0xFF,
                                               0x7FFF, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFE};
  const int count = 1 + static_cast<int>(rng() % 8);
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

void run(const Seed& seed, const std::vector<std::uint8_t>& bytes, std::mt19937& rng) {
  using dicom::dcmtk::ObjectIntake;
  ObjectIntake intake(seed.xfer, ObjectIntake::Mode::Keep, {},
                      [](const std::string&) { return QString(); });
  std::size_t at = 0;
  do {
    std::size_t n = std::min<std::size_t>(bytes.size() - at, 2 + 2 * (rng() % 4096));
    intake.feed(bytes.data() + at, n, at + n == bytes.size());
    at += n;
  } while (at < bytes.size());
  intake.finish(seed.sopInstanceUID);
  if (intake.mode() == ObjectIntake::Mode::Keep && intake.hasPixelData()) {
    try {
      dicom::dcmtk::renderForDisplay(*intake.dataset(), QSize(200, 200));
    } catch (const std::exception&) {
      // A picture that cannot be decoded is an outcome, not a finding.
    }
  }
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

  std::mt19937 rng(seedValue);
  for (long i = 0; i < runs; ++i) {
    const Seed& seed = seeds[rng() % seeds.size()];
    std::vector<std::uint8_t> bytes = seed.bytes;
    mutate(bytes, rng);
    if (!keep.isEmpty()) {
      QFile file(keep);
      file.open(QIODevice::WriteOnly);
      file.write(QByteArray(DcmXfer(seed.xfer).getXferID()) + '\n');
      file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    }
    if (!bytes.empty()) run(seed, bytes, rng);
    if ((i + 1) % 5000 == 0) std::printf("%ld inputs\n", i + 1);
  }
  std::printf("%ld inputs ran clean (seed %u)\n", runs, seedValue);
  return 0;
}
