// A day's list worked as an operator would, against a running archive, over
// a link of limited rate between the station and the archive: one search
// finds the studies, the first is double-clicked, and each study, once its
// tiles are drawn, is looked at for a fixed time, relabelled (one image),
// updated, and left with "Next Study". Drives the real windows offscreen.
//
//   brevant-bench-list <archive.env> <patient-id> <studies> <images>
//                      [--no-ahead] [--mbit N] [--look-ms N] [--relabel N]
//
// --mbit puts two relays of our own on loopback between the station and the
// archive, sharing one link of N Mbit/s in each direction (default 100; 0:
// no relays, the station talks to the archive directly): the station's calls
// go to the archive through one, the archive's sub-operations reach the
// station through the other, on the port the archive knows the station by.
// --no-ahead switches the fetch ahead off (the station as it was without it).
// Prints "key value" lines:
//   wait_ms <n> <ms>   "Next Study" pressed for study n (2..) until its tiles
//                      are drawn (all images, status panel gone, one paint)
//   first_ms <ms>      the double-click on the first row until its tiles are drawn
//   update_ms <n> <ms> the update of study n
//   list_ms <ms>       the double-click until the last study is updated and looked at
//   base_kib           VmRSS with the windows shown, before the first retrieval
//   peak_kib           VmHWM at the end
// Exits 1 when a step does not end as the station promises.

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>

#include "Relay.h"
#include "common/AppDir.h"
#include "common/Memory.h"
#include "dicom/dcmtk/DcmtkToolkit.h"
#include "main/ViewLabels.h"
#include "main/frmMain.h"
#include "search/frmSearch.h"
#include "settings/modINI.h"
#include "support/ArchiveEnv.h"
#include "support/EventLoop.h"
#include "support/SearchOpener.h"

namespace {

constexpr int kDeadlineMs = 600000;

struct Options {
  QString envFile, patientID;
  int studies = 10, images = 4;
  bool ahead = true;
  int mbit = 100, lookMs = 3000, relabel = 1;
};

using bench::fail;
using bench::print;
using bench::statusKib;

// Runs the event loop until done() holds; fails after the deadline.
void waitFor(const std::function<bool()>& done, const QString& what) {
  bench::waitFor(done, what, kDeadlineMs);
}

// The operator looking: events go on, nothing is done.
void look(int ms) {
  QElapsedTimer clock;
  clock.start();
  waitFor([&] { return clock.elapsed() >= ms; }, "the look");
}

quint16 freePort() {
  QTcpServer server;
  if (!server.listen(QHostAddress::LocalHost)) fail("no free port");
  return server.serverPort();
}

// The station's settings, through the link when there is one.
struct Network {
  std::unique_ptr<relay::Link> link;
  std::unique_ptr<relay::Relay> toArchive, toStation;
};

Network wire(const Options& o, const std::map<QString, QString>& env, const QString& ini) {
  Network net;
  QString remotePort = env.at("ARCHIVE_DICOM_PORT"), localPort = env.at("STATION_PORT");
  if (o.mbit > 0) {
    net.link = std::make_unique<relay::Link>(std::uint64_t(o.mbit) * 1000000 / 8);
    net.toArchive = std::make_unique<relay::Relay>(0, quint16(remotePort.toInt()), net.link.get(),
                                                   relay::Link::Up);
    const quint16 station = freePort();
    net.toStation = std::make_unique<relay::Relay>(quint16(localPort.toInt()), station,
                                                   net.link.get(), relay::Link::Down);
    remotePort = QString::number(net.toArchive->port());
    localPort = QString::number(station);
  }
  modINI::WriteIniString("SETTINGS", "RemoteAET", env.at("ARCHIVE_AET"), ini);
  modINI::WriteIniString("SETTINGS", "RemoteIP", env.at("ARCHIVE_HOST"), ini);
  modINI::WriteIniString("SETTINGS", "RemotePort", remotePort, ini);
  modINI::WriteIniString("SETTINGS", "LocAET", env.at("STATION_AET"), ini);
  modINI::WriteIniString("SETTINGS", "LocPort", localPort, ini);
  return net;
}

// One study worked: looked at, relabelled, updated.
void work(frmMain& window, const Options& o, QStringList& messages, int n) {
  dicom::ImageCollection& images = window.dcmViewer->images();
  look(o.lookMs);
  const QStringList views{"L CC", "R CC", "L MLO", "R MLO"};
  for (int position = 1; position <= o.relabel && position <= images.count(); ++position) {
    const QPoint centre = window.dcmViewer->tileRect(position).center();
    window.dcmViewer_MouseClick(1, 0, centre.x(), centre.y());
    const int next = (views.indexOf(station::labelOf(*images.item(position))) + 1) % 4;
    window.cmdOrientation_Click(next);
  }
  messages.clear();
  QElapsedTimer timer;
  timer.start();
  window.Toolbar1_ButtonClick("update");
  std::printf("update_ms %d %lld\n", n, static_cast<long long>(timer.elapsed()));
  if (messages != QStringList{"Update was successful."}) {
    fail("the update ended with: " + messages.join("; "));
  }
  messages.clear();
}

int run(const Options& o) {
  const auto env = bench::readEnv(o.envFile);
  if (env.empty()) fail("cannot read " + o.envFile);
  QTemporaryDir appDir;
  common::setAppDirectoryForTesting(appDir.path());
  const Network net = wire(o, env, appDir.filePath("Settings.ini"));

  dicom::dcmtk::DcmtkToolkit toolkit;
  ConnectionSettingsRecord settings;
  modMain::LoadConnectionSettings(settings);
  QPointer<search::frmSearch> search;
  QStringList messages;
  search::StudyList list;
  frmMain window(toolkit, settings, list,
                 bench::searchOpener(toolkit, settings, list, search, messages));
  window.showMessage = [&](QMessageBox::Icon, const QString&, const QString& text) {
    messages << text;
  };
  window.askYesNo = [](const QString&, const QString&) { return true; };
  window.setFetchAhead(o.ahead);
  window.show();
  waitFor([&] { return window.isVisible(); }, "the main window");
  print("base_kib", statusKib("VmRSS"));

  window.Toolbar1_ButtonClick("search");
  if (!search) fail("the search window did not open");
  search->txtPatID->setText(o.patientID);
  search->cmdSearch_Click();
  if (search->grid1->rowCount() != o.studies) {
    fail(
        QString("the search listed %1 rows, not %2").arg(search->grid1->rowCount()).arg(o.studies));
  }
  dicom::ImageCollection& images = window.dcmViewer->images();
  // The study of the list's current row on screen, whole, and drawn.
  const auto shown = [&](int n) {
    waitFor(
        [&] {
          return list.current() == n - 1 && !window.picState->isVisible() &&
                 images.count() == o.images &&
                 images.item(1)->attribute(dicom::tags::StudyInstanceUID).value() ==
                     list.rows()[std::size_t(n - 1)].studyInstanceUID;
        },
        QString("study %1 on screen").arg(n));
    window.dcmViewer->repaint();
  };
  QElapsedTimer whole, timer;
  whole.start();
  search->grid1_RowDoubleClick(1, 3);
  if (!messages.isEmpty()) fail("the retrieval failed: " + messages.join("; "));
  shown(1);
  print("first_ms", whole.elapsed());
  for (int n = 1;; ++n) {
    work(window, o, messages, n);
    if (n == o.studies) break;
    timer.start();
    window.Toolbar1_ButtonClick("next");
    if (!messages.isEmpty()) fail("Next Study failed: " + messages.join("; "));
    shown(n + 1);
    std::printf("wait_ms %d %lld\n", n + 1, static_cast<long long>(timer.elapsed()));
  }
  print("list_ms", whole.elapsed());
  print("peak_kib", statusKib("VmHWM"));
  window.dcmViewer->reception().stopListening();
  common::setAppDirectoryForTesting(QString());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  common::tuneAllocatorForLargeImages();  // as the station does at start-up
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QStringList args = app.arguments();
  Options o;
  o.ahead = !args.removeAll("--no-ahead");
  const auto take = [&](const QString& name, int& value) {
    const int at = args.indexOf(name);
    if (at < 0 || at + 1 >= args.size()) return;
    value = args[at + 1].toInt();
    args.remove(at, 2);
  };
  take("--mbit", o.mbit);
  take("--look-ms", o.lookMs);
  take("--relabel", o.relabel);
  if (args.size() != 5) {
    std::fprintf(stderr,
                 "usage: %s <archive.env> <patient-id> <studies> <images> [--no-ahead] "
                 "[--mbit N] [--look-ms N] [--relabel N]\n",
                 argv[0]);
    return 2;
  }
  o.envFile = args[1];
  o.patientID = args[2];
  o.studies = args[3].toInt();
  o.images = args[4].toInt();
  try {
    return run(o);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "brevant-bench-list: %s\n", error.what());
    return 1;
  }
}
