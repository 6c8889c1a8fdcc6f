// Timing of the study search: how long the search window takes from the
// press of "Search" until the grid lists every match, against a running
// archive. Also writes the small studies the benchmark seeds.
//
//   brevant-bench-search seed <folder> <count> <id-prefix>
//   brevant-bench-search grid <archive.env> <patient-id-pattern> <expected-rows> <repeats>
//
// grid prints one line per run ("grid_ms <milliseconds>") and a last line
// "grid_median_ms <milliseconds>".

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "SampleStudy.h"
#include "common/AppDir.h"
#include "dicom/dcmtk/DcmtkToolkit.h"
#include "dicom/widgets/Viewer.h"
#include "search/StationHost.h"
#include "search/frmSearch.h"
#include "settings/modMain.h"
#include "support/ArchiveEnv.h"

namespace {

class BenchHost : public search::StationHost {
 public:
  bool confirmDiscardChanges() override { return true; }
  void beginRetrieval(const QString&) override {}
};

int seed(const QString& folder, int count, const QString& prefix) {
  for (int i = 1; i <= count; ++i) {
    samples::StudySpec study;
    study.patientName = QString("Bench^Patient%1").arg(i);
    study.patientID = QString("%1%2").arg(prefix).arg(i, 4, 10, QChar('0'));
    study.accessionNumber = QString("BA%1").arg(i);
    study.studyDate = QString("2024%1").arg(101 + i % 28, 4, 10, QChar('0'));
    study.rows = 64;
    study.columns = 64;
    study.images = 1;
    study.seed = static_cast<unsigned>(i);
    samples::writeStudy(study, folder);
  }
  return 0;
}

int grid(const QString& envFile, const QString& pattern, int expected, int repeats) {
  const auto env = bench::readEnv(envFile);
  if (env.empty()) {
    std::fprintf(stderr, "cannot read %s\n", qPrintable(envFile));
    return 2;
  }
  QTemporaryDir logs;
  common::setAppDirectoryForTesting(logs.path());
  ConnectionSettingsRecord settings;
  settings.RemoteAET = env.at("ARCHIVE_AET");
  settings.RemoteIP = env.at("ARCHIVE_HOST");
  settings.RemotePort = env.at("ARCHIVE_DICOM_PORT");
  settings.LocAET = env.at("STATION_AET");
  settings.LocPort = env.at("STATION_PORT");

  dicom::dcmtk::DcmtkToolkit toolkit;
  BenchHost host;
  std::vector<qint64> times;
  for (int run = 0; run < repeats; ++run) {
    // A fresh window each time, as the station opens one per search.
    search::StudyList list;
    search::frmSearch window(toolkit, settings, host, list);
    QString message;
    window.showMessage = [&](QMessageBox::Icon, const QString&, const QString& text) {
      message = text;
    };
    window.show();
    QCoreApplication::processEvents();
    window.txtPatID->setText(pattern);

    QElapsedTimer timer;
    timer.start();
    window.cmdSearch_Click();
    QCoreApplication::processEvents();  // the repaint of the filled grid
    const qint64 ms = timer.elapsed();
    if (!message.isEmpty() || window.grid1->rowCount() != expected) {
      std::fprintf(stderr, "search listed %d rows (expected %d); message: %s\n",
                   window.grid1->rowCount(), expected, qPrintable(message));
      return 1;
    }
    std::printf("grid_ms %lld\n", static_cast<long long>(ms));
    times.push_back(ms);
  }
  std::sort(times.begin(), times.end());
  std::printf("grid_median_ms %lld\n", static_cast<long long>(times[times.size() / 2]));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const QStringList args = app.arguments();
  try {
    if (args.size() == 5 && args[1] == "seed") return seed(args[2], args[3].toInt(), args[4]);
    if (args.size() == 6 && args[1] == "grid") {
      return grid(args[2], args[3], args[4].toInt(), std::max(1, args[5].toInt()));
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  std::fprintf(stderr,
               "usage: %s seed <folder> <count> <id-prefix>\n"
               "       %s grid <archive.env> <patient-id-pattern> <expected-rows> <repeats>\n",
               argv[0], argv[0]);
  return 2;
}
