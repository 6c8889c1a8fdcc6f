// brevant-samples: writes synthetic mammography studies into a folder, one
// sub-folder per study. With several studies, names, IDs, dates and
// descriptions vary deterministically with the seed, so that a demo archive
// looks like a day's worklist; values given on the command line win.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/oflog/oflog.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QTextStream>
#include <QTime>
#include <array>
#include <cstdio>
#include <exception>

#include "SampleStudy.h"

namespace {

struct Patient {
  const char* name;  // UTF-8
  const char* charset;
  const char* birthDate;
};

// A few non-ASCII names, each with the character set that can hold it.
constexpr std::array<Patient, 12> kPatients = {{
    {"Doe^Jane", "", "19600305"},
    {"Müller^Anna", "ISO_IR 100", "19580712"},
    {"Sørensen^Kirsten^M", "ISO_IR 192", "19670221"},
    {"Smith^Margaret", "", "19511130"},
    {"García^María José", "ISO_IR 100", "19690818"},
    {"Nowak^Zofia", "", "19620403"},
    {"Brontë^Émilie", "ISO_IR 192", "19701006"},
    {"Johnson^Patricia^L", "", "19550527"},
    {"Dvořák^Jana", "ISO_IR 192", "19640115"},
    {"O'Neil^Siobhan", "", "19590909"},
    {"Lefèvre^Hélène", "ISO_IR 100", "19730302"},
    {"Andersson^Karin", "", "19611224"},
}};

constexpr std::array<const char*, 4> kDescriptions = {
    "Mammography screening", "Bilateral screening mammogram", "Diagnostic mammography",
    "Mammo screening 2 views"};

int fail(const QString& message) {
  QTextStream(stderr) << "brevant-samples: " << message << '\n';
  return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  OFLog::configure(OFLogger::WARN_LOG_LEVEL);
  QCoreApplication::setApplicationName("brevant-samples");
  QCommandLineParser parser;
  parser.setApplicationDescription("Writes synthetic mammography studies (DICOM) into a folder.");
  parser.addHelpOption();
  const QCommandLineOption out("out", "Output folder (one sub-folder per study).", "DIR");
  const QCommandLineOption studies("studies", "Number of studies (default 1).", "N", "1");
  const QCommandLineOption rows("rows", "Rows (default 4096).", "R", "4096");
  const QCommandLineOption columns("columns", "Columns (default 3328).", "C", "3328");
  const QCommandLineOption bits("bits", "Bits stored, 8..16 (default 14).", "B", "14");
  const QCommandLineOption photometric("photometric", "MONOCHROME1 or MONOCHROME2.", "P",
                                       "MONOCHROME2");
  const QCommandLineOption syntax(
      "syntax",
      "explicit, implicit, deflated, jpeg-lossless, jpeg-ls, rle, jpeg2000-lossless or jpeg2000.",
      "S", "explicit");
  const QCommandLineOption fragment(
      "fragment-kb", "JPEG 2000: longest pixel data fragment in KiB, 0 for one (default 0).", "K",
      "0");
  const QCommandLineOption name("patient-name", "Patient name (all studies).", "NAME");
  const QCommandLineOption id("patient-id", "Patient ID (all studies).", "ID");
  const QCommandLineOption charset("charset", "\"\", \"ISO_IR 100\" or \"ISO_IR 192\".", "CS");
  const QCommandLineOption seed("seed", "Seed of names and pixels (default 1).", "N", "1");
  const QCommandLineOption images("images", "Images per study (default 4).", "N", "4");
  const QCommandLineOption noWindow("no-window", "Leave out Window Center/Width.");
  const QCommandLineOption tomo("tomo", "Tomosynthesis objects after the images (default 0).", "N",
                                "0");
  const QCommandLineOption frames("frames", "Frames per tomosynthesis object (default 50).", "N",
                                  "50");
  const QCommandLineOption header(
      "header-views",
      "What the headers say of the views: consistent, contradicting, absent or code-only.", "H",
      "consistent");
  const QCommandLineOption accession("accession", "Accession number (one study only).", "A");
  parser.addOptions({out, studies, rows, columns, bits, photometric, syntax, name, id, charset,
                     seed, images, noWindow, fragment, tomo, frames, header, accession});
  parser.process(app);

  if (!parser.isSet(out)) return fail("--out is required");
  bool ok = true;
  auto number = [&](const QCommandLineOption& option) {
    bool good = false;
    const int value = parser.value(option).toInt(&good);
    if (!good) ok = false;
    return value;
  };
  const int studyCount = number(studies);
  const unsigned firstSeed = static_cast<unsigned>(number(seed));
  samples::StudySpec base;
  base.rows = number(rows);
  base.columns = number(columns);
  base.bitsStored = number(bits);
  base.images = number(images);
  base.fragmentKiB = number(fragment);
  base.photometric = parser.value(photometric);
  base.withWindow = !parser.isSet(noWindow);
  base.tomoObjects = number(tomo);
  base.tomoFrames = number(frames);
  const QString headerViews = parser.value(header);
  if (headerViews == "contradicting") {
    base.headerViews = samples::HeaderViews::Contradicting;
  } else if (headerViews == "absent") {
    base.headerViews = samples::HeaderViews::Absent;
  } else if (headerViews == "code-only") {
    base.headerViews = samples::HeaderViews::CodeOnly;
  } else if (headerViews != "consistent") {
    return fail("unknown --header-views " + headerViews);
  }
  if (!ok || studyCount < 1 || base.fragmentKiB < 0) {
    return fail("numeric options need positive whole numbers");
  }
  if (!samples::parseSyntax(parser.value(syntax), base.syntax)) {
    return fail("unknown syntax " + parser.value(syntax));
  }

  const QDir folder(parser.value(out));
  try {
    for (int s = 0; s < studyCount; ++s) {
      samples::StudySpec spec = base;
      const unsigned k = firstSeed - 1 + static_cast<unsigned>(s);
      const Patient& patient = kPatients[k % kPatients.size()];
      spec.seed = firstSeed + static_cast<unsigned>(s);
      spec.patientName = QString::fromUtf8(patient.name);
      spec.specificCharacterSet = QString::fromLatin1(patient.charset);
      spec.birthDate = QString::fromLatin1(patient.birthDate);
      spec.patientID = QStringLiteral("P%1").arg(1000 + k * 37 % 9000, 4, 10, QChar('0'));
      spec.accessionNumber = QStringLiteral("A%1").arg(20240000 + k * 7 + 1);
      spec.studyDate = QDate(2024, 1, 15).addDays(static_cast<qint64>(k % 40)).toString("yyyyMMdd");
      spec.studyTime = QTime(8, 0).addSecs(static_cast<int>(k * 1237 % 32000)).toString("HHmmss");
      spec.studyDescription = QString::fromLatin1(kDescriptions[k % kDescriptions.size()]);
      if (parser.isSet(name)) spec.patientName = parser.value(name);
      if (parser.isSet(id)) spec.patientID = parser.value(id);
      if (parser.isSet(charset)) spec.specificCharacterSet = parser.value(charset);
      if (parser.isSet(accession)) spec.accessionNumber = parser.value(accession);

      const QString studyFolder =
          folder.filePath(QStringLiteral("study-%1").arg(spec.seed, 3, 10, QChar('0')));
      const auto written = samples::writeStudy(spec, studyFolder);
      QTextStream(stdout) << studyFolder << ": " << spec.patientName << " (" << spec.patientID
                          << ", " << written.size() << " images, " << spec.columns << 'x'
                          << spec.rows << ' ' << spec.bitsStored << "-bit " << spec.photometric
                          << ", " << samples::syntaxName(spec.syntax) << ")\n";
    }
  } catch (const std::exception& e) {
    return fail(QString::fromLocal8Bit(e.what()));
  }
  return 0;
}
