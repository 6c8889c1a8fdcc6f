// Timing of the whole station against a running archive, one study per run:
// the retrieval (double-click on the search result until the tiled study is
// drawn), the peak memory once the study is on screen, the update of the
// labelled images and the closer look at one image. Drives the real windows
// offscreen, as the operator would: main window, search window, viewer,
// toolbar.
//
//   brevant-bench-station <archive.env> <accession-number> <images> [--detail] [--no-update]
//   [--kept] [--tls <certdir>]
//   brevant-bench-station --extract-codestream <dicom-file> <out.j2k>
//
// The study is retrieved twice: first by the freshly started station, then
// again after the update, as every retrieval after the first of a session.
// With --no-update the images are neither labelled nor sent back between
// the two (a study too large to send back on every run). With --kept the
// archive keeps its first copy of an instance: the update must report that
// it kept its copies, and the read-back must find each unchanged. With
// --tls every association runs over TLS, the station presenting
// <certdir>/station.crt and trusting <certdir>/trusted.crt (tools/certs.sh).
// Prints "key value" lines; the keys of the first retrieval carry the
// prefix "first_":
//   retrieve_ms     double-click to tiles drawn (association closed, all images, one paint)
//   move_ms         of which the double-click handler (the C-MOVE, blocking) took
//   deliver_ms      then until the association-closed handler had run
//   paint_ms        then the forced paint of the viewer (when the event loop
//                   already painted the tiles while waiting, that first paint
//                   is in deliver_ms and this one draws the cached pictures)
//   peak_kib        VmHWM of this process with the study on screen
//   retrieve_cpu_ms CPU time of this process (all threads) during the retrieval
//   retrieve_faults minor page faults of this process during the retrieval
//   archive_cpu_ms  CPU time of the archive process during the retrieval
//   received_syntax the transfer syntax UID image 1 arrived in
//   update_ms       "Update Study" until its message (between the two retrievals):
//                   the stores on one association, the read-back of the new
//                   labels beside them
//   check_ms        that read-back alone: the same images checked again right
//                   after the update (station::ArchiveCheck)
//   store_ms        the update's stores alone: every image labelled anew and
//                   sent by station::StudyUpdate with the read-back left out
//   peak_after_update_kib
//   closer_ms       after the second retrieval, tile 1 shown alone until drawn
//   closer_sop_uid  the SOP Instance UID of that image
//   peak_session_kib VmHWM after the closer look
// With --detail, afterwards (not part of the figures above):
//   [first_]thread_cpu_ms <name> <ms>  CPU time during the retrieval per thread
//                       (main, decoder = pooled threads, other = network and dispatch)
//   decode_ms <n> <ms>  decoding image n again for display, alone on this thread
//   send_ms <n> <ms>    storing image n on the archive on an association of its own
// Exits 1 when a step does not end as the station promises.
//
// --extract-codestream writes the JPEG 2000 codestream of a single-frame
// object (its pixel data fragments joined) for a stand-alone decoder.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "common/AppDir.h"
#include "common/Memory.h"
#include "dicom/dcmtk/DcmtkImage.h"
#include "dicom/dcmtk/DcmtkRender.h"
#include "dicom/dcmtk/DcmtkToolkit.h"
#include "main/ArchiveCheck.h"
#include "main/StudyUpdate.h"
#include "main/ViewLabels.h"
#include "main/frmMain.h"
#include "search/frmSearch.h"
#include "settings/modINI.h"
#include "support/ArchiveEnv.h"
#include "support/EventLoop.h"
#include "support/SearchOpener.h"

namespace {

constexpr int kDeadlineMs = 120000;

struct Usage {
  long long cpuMs = 0;
  long long faults = 0;
};

Usage selfUsage() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto ms = [](const timeval& t) { return t.tv_sec * 1000LL + t.tv_usec / 1000; };
  return {ms(usage.ru_utime) + ms(usage.ru_stime), usage.ru_minflt};
}

// CPU time (user + system) in ms of a process or thread from its stat file; -1 when unreadable.
long long statCpuMs(const QString& statPath, QString* name = nullptr) {
  QFile file(statPath);
  if (!file.open(QIODevice::ReadOnly)) return -1;
  const QByteArray text = file.readAll();
  const int open = text.indexOf('('), close = text.lastIndexOf(')');
  if (open < 0 || close < open) return -1;
  if (name) *name = QString::fromUtf8(text.mid(open + 1, close - open - 1));
  // Fields after the name: state is field 3, utime 14, stime 15.
  const QList<QByteArray> fields = text.mid(close + 2).split(' ');
  if (fields.size() < 13) return -1;
  const long long ticks = fields[11].toLongLong() + fields[12].toLongLong();
  return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

// CPU time per thread of this process, keyed by thread id.
std::map<QString, std::pair<QString, long long>> threadCpu() {
  std::map<QString, std::pair<QString, long long>> threads;
  const QDir tasks("/proc/self/task");
  for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    QString name;
    const long long ms = statCpuMs(tasks.filePath(tid + "/stat"), &name);
    if (ms >= 0) threads[tid] = {name, ms};
  }
  return threads;
}

using bench::fail;
using bench::print;
using bench::statusKib;

// Runs the event loop until done() holds; fails after the deadline.
void waitFor(const std::function<bool()>& done, const QString& what) {
  bench::waitFor(done, what, kDeadlineMs);
}

// Writes the JPEG 2000 codestream of a single-frame object: its pixel data
// fragments joined, without the padding after the end-of-codestream marker.
int extractCodestream(const char* in, const char* out) {
  DcmFileFormat file;
  if (file.loadFile(in).bad()) fail(QString("cannot read %1").arg(in));
  DcmDataset& dataset = *file.getDataset();
  DcmElement* element = nullptr;
  if (dataset.findAndGetElement(DCM_PixelData, element).bad()) fail("no pixel data");
  auto* pixelData = dynamic_cast<DcmPixelData*>(element);
  DcmPixelSequence* fragments = nullptr;
  if (pixelData == nullptr ||
      pixelData->getEncapsulatedRepresentation(dataset.getOriginalXfer(), nullptr, fragments)
          .bad() ||
      fragments == nullptr) {
    fail("the pixel data is not encapsulated");
  }
  std::vector<Uint8> codestream;
  // Item 0 is the offset table.
  for (unsigned long i = 1; i < fragments->card(); ++i) {
    DcmPixelItem* item = nullptr;
    Uint8* bytes = nullptr;
    if (fragments->getItem(item, i).bad() || item->getUint8Array(bytes).bad()) {
      fail(QString("cannot read fragment %1").arg(i));
    }
    if (bytes != nullptr) codestream.insert(codestream.end(), bytes, bytes + item->getLength());
  }
  for (std::size_t end = codestream.size(); end >= 2; --end) {
    if (codestream[end - 2] == 0xFF && codestream[end - 1] == 0xD9) {
      codestream.resize(end);
      break;
    }
  }
  std::ofstream stream(out, std::ios::binary);
  stream.write(reinterpret_cast<const char*>(codestream.data()),
               static_cast<std::streamsize>(codestream.size()));
  if (!stream.flush()) fail(QString("cannot write %1").arg(out));
  return 0;
}

// From a label key to the tile drawn again with its marker, the label
// written to the journal and synced first: 200 labels, each a change, across
// the tiles. Prints the median and the 95th percentile in microseconds.
void timeLabels(frmMain& window) {
  const int tiles = window.dcmViewer->images().count();
  std::vector<qint64> times;
  QElapsedTimer timer;
  for (int i = 0; i < 200; ++i) {
    const int position = 1 + i % tiles;
    const QPoint centre = window.dcmViewer->tileRect(position).center();
    window.dcmViewer_MouseClick(1, 0, centre.x(), centre.y());
    QCoreApplication::processEvents();
    timer.start();
    window.cmdOrientation_Click((i / tiles + position) % 4);  // what keys 1-4 do
    window.dcmViewer->repaint();
    times.push_back(timer.nsecsElapsed() / 1000);
  }
  std::sort(times.begin(), times.end());
  print("label_median_us", times[times.size() / 2]);
  print("label_p95_us", times[times.size() * 95 / 100]);
}

// Every image labelled with the label after the one it has, so that no
// label sent is the one the archive holds already.
void labelAll(frmMain& window) {
  dicom::ImageCollection& images = window.dcmViewer->images();
  for (int position = 1; position <= images.count(); ++position) {
    const QPoint centre = window.dcmViewer->tileRect(position).center();
    window.dcmViewer_MouseClick(1, 0, centre.x(), centre.y());
    if (window.selectedImage() != images.item(position)) {
      fail(QString("a click on tile %1 did not select its image").arg(position));
    }
    int next = 0;
    for (int button = 0; button < 4; ++button) {
      if (window.cmdOrientation[button]->text() == station::labelOf(*images.item(position))) {
        next = (button + 1) % 4;
      }
    }
    window.cmdOrientation_Click(next);
  }
  if (images.markedCount() != images.count()) fail("not every image was labelled");
  QCoreApplication::processEvents();
}

// The read-back left out: every label sent counts as confirmed.
class NoReadBack : public station::StudyUpdate::ReadBack {
 public:
  void expect(const std::vector<dicom::ImagePtr>&) override {}
  void add(const dicom::ImagePtr& image) override {
    held_[image->attribute(dicom::tags::SOPInstanceUID).defaultValue()] << station::labelOf(*image);
  }
  std::map<QString, QStringList> labels() override { return held_; }

 private:
  std::map<QString, QStringList> held_;
};

// The update's figures: "Update Study" with every image labelled (stores and
// read-back); the read-back again on its own, right after; then every image
// labelled anew and sent by the update's stores alone. With kept, the
// archive keeps its first copy: the update must say so, and the read-back
// find one copy of each without the new label.
void updateFigures(frmMain& window, dicom::dcmtk::DcmtkToolkit& toolkit,
                   const ConnectionSettingsRecord& settings, QStringList& messages, bool kept) {
  dicom::ImageCollection& images = window.dcmViewer->images();
  labelAll(window);
  messages.clear();
  QElapsedTimer timer;
  timer.start();
  window.Toolbar1_ButtonClick("update");
  const qint64 updated = timer.elapsed();
  const QString expected = kept ? "kept its earlier copy" : "Update was successful.";
  if (messages.size() != 1 || !messages[0].contains(expected)) {
    fail("the update ended with: " + messages.join("; "));
  }
  if (images.markedCount() != (kept ? images.count() : 0)) fail("the update left images marked");

  std::vector<dicom::ImagePtr> sent;
  for (int position = 1; position <= images.count(); ++position) {
    sent.push_back(images.item(position));
  }
  station::ArchiveCheck check(window.dcmViewer->reception(), toolkit, settings);
  timer.restart();
  const std::map<QString, QStringList> held = check.labelsOf(sent);
  const qint64 checked = timer.elapsed();
  for (const dicom::ImagePtr& image : sent) {
    const auto it = held.find(image->attribute(dicom::tags::SOPInstanceUID).defaultValue());
    const QString label = station::labelOf(*image);
    if (it == held.end() || it->second.size() != 1 || (it->second.front() == label) == kept) {
      fail("the check did not find the label as the archive keeps it: " + label);
    }
  }

  labelAll(window);
  NoReadBack none;
  station::StudyUpdate stores(toolkit, images, settings,
                              {[](bool, const QString&) {},
                               [&window] {
                                 window.dcmViewer->update();
                                 QCoreApplication::processEvents();
                               },
                               &none, [](const dicom::Image&) { return QString(); }, nullptr});
  timer.restart();
  stores.run();
  const qint64 stored = timer.elapsed();
  print("update_ms", updated);
  print("check_ms", checked);
  print("store_ms", stored);
  print("peak_after_update_kib", statusKib("VmHWM"));
}

int run(const QString& envFile, const QString& accession, int expected, bool detail, bool sendBack,
        bool kept, const QString& tlsDir) {
  const auto env = bench::readEnv(envFile);
  if (env.empty()) fail("cannot read " + envFile);

  QTemporaryDir appDir;
  appDir.setAutoRemove(qEnvironmentVariableIsEmpty("BENCH_KEEP"));
  common::setAppDirectoryForTesting(appDir.path());
  const QString ini = appDir.filePath("Settings.ini");
  modINI::WriteIniString("SETTINGS", "RemoteAET", env.at("ARCHIVE_AET"), ini);
  modINI::WriteIniString("SETTINGS", "RemoteIP", env.at("ARCHIVE_HOST"), ini);
  modINI::WriteIniString("SETTINGS", "RemotePort", env.at("ARCHIVE_DICOM_PORT"), ini);
  modINI::WriteIniString("SETTINGS", "LocAET", env.at("STATION_AET"), ini);
  modINI::WriteIniString("SETTINGS", "LocPort", env.at("STATION_PORT"), ini);
  if (!tlsDir.isEmpty()) {
    const QDir certs(tlsDir);
    modINI::WriteIniString("SETTINGS", "TlsEnabled", "1", ini);
    modINI::WriteIniString("SETTINGS", "TlsCertificate", certs.absoluteFilePath("station.crt"),
                           ini);
    modINI::WriteIniString("SETTINGS", "TlsPrivateKey", certs.absoluteFilePath("station.key"), ini);
    modINI::WriteIniString("SETTINGS", "TlsTrustedCertificates",
                           certs.absoluteFilePath("trusted.crt"), ini);
  }

  dicom::dcmtk::DcmtkToolkit toolkit;
  ConnectionSettingsRecord settings;
  modMain::LoadConnectionSettings(settings);
  QPointer<search::frmSearch> search;
  QStringList searchMessages;
  search::StudyList list;
  frmMain window(toolkit, settings, list,
                 bench::searchOpener(toolkit, settings, list, search, searchMessages));
  QStringList messages;
  window.showMessage = [&](QMessageBox::Icon, const QString&, const QString& text) {
    messages << text;
  };
  window.askYesNo = [](const QString&, const QString&) { return true; };
  window.show();
  waitFor([&] { return window.isVisible(); }, "the main window");
  QCoreApplication::processEvents();

  dicom::ImageCollection& images = window.dcmViewer->images();
  const QString archiveStat = "/proc/" + env.at("ARCHIVE_PID") + "/stat";

  // One retrieval: the search untimed, then double-click to the tiled study
  // drawn. Prints its figures with the prefix.
  auto retrieve = [&](const char* prefix) {
    window.Toolbar1_ButtonClick("search");
    if (!search) fail("the search window did not open");
    search->txtAccNum->setText(accession);
    search->cmdSearch_Click();
    QCoreApplication::processEvents();
    if (search->grid1->rowCount() != 1) {
      fail(QString("the search listed %1 rows for %2 (%3)")
               .arg(search->grid1->rowCount())
               .arg(accession, searchMessages.join("; ")));
    }

    const long long archiveBefore = statCpuMs(archiveStat);
    const auto threadsBefore = threadCpu();
    const Usage before = selfUsage();
    QElapsedTimer timer;
    timer.start();
    search->grid1_RowDoubleClick(1, 3);
    const qint64 moved = timer.elapsed();
    if (!searchMessages.isEmpty()) fail("the retrieval failed: " + searchMessages.join("; "));
    waitFor([&] { return !window.picState->isVisible() && images.count() == expected; },
            "the study on screen");
    const qint64 delivered = timer.elapsed();
    window.dcmViewer->repaint();
    const qint64 retrieved = timer.elapsed();
    const long long peak = statusKib("VmHWM");
    const Usage after = selfUsage();
    const long long archiveAfter = statCpuMs(archiveStat);
    const auto threadsAfter = threadCpu();
    for (int i = 1; i <= images.count(); ++i) {
      if (images.item(i)->displayImage().isNull()) fail(QString("image %1 was not decoded").arg(i));
    }
    const std::string p(prefix);
    print((p + "retrieve_ms").c_str(), retrieved);
    print((p + "move_ms").c_str(), moved);
    print((p + "deliver_ms").c_str(), delivered - moved);
    print((p + "paint_ms").c_str(), retrieved - delivered);
    print((p + "peak_kib").c_str(), peak);
    print((p + "retrieve_cpu_ms").c_str(), after.cpuMs - before.cpuMs);
    print((p + "retrieve_faults").c_str(), after.faults - before.faults);
    print((p + "archive_cpu_ms").c_str(), archiveBefore < 0 ? -1 : archiveAfter - archiveBefore);
    if (auto* first = dynamic_cast<dicom::dcmtk::DcmtkImage*>(images.item(1).get())) {
      std::printf("%sreceived_syntax %s\n", prefix,
                  DcmXfer(first->file().getDataset()->getOriginalXfer()).getXferID());
    }
    if (detail) {
      std::map<QString, long long> byRole;
      const QString mainTid = QString::number(getpid());
      for (const auto& [tid, entry] : threadsAfter) {
        const auto old = threadsBefore.find(tid);
        const long long spent =
            entry.second - (old == threadsBefore.end() ? 0 : old->second.second);
        const QString role = tid == mainTid                            ? "main"
                             : entry.first.contains("Thread (pooled)") ? "decoder"
                                                                       : "other";
        byRole[role] += spent;
      }
      for (const auto& [role, ms] : byRole) {
        std::printf("%sthread_cpu_ms %s %lld\n", prefix, qPrintable(role), ms);
      }
    }
  };

  // The first retrieval of a freshly started station, whose memory is all
  // new to it.
  retrieve("first_");

  QElapsedTimer timer;
  if (sendBack) {
    updateFigures(window, toolkit, settings, messages, kept);
    if (!kept) timeLabels(window);
  }

  // The next retrieval, as every one after the first in a working session:
  // the station has been running and replaces the study on screen.
  retrieve("");

  // The closer look: a double-click on tile 1 until the image is drawn alone.
  timer.start();
  window.dcmViewer->showFullView(1);
  window.dcmViewer->repaint();
  const qint64 closer = timer.elapsed();
  if (window.dcmViewer->fullViewPosition() != 1) fail("tile 1 was not shown alone");
  print("closer_ms", closer);
  std::printf("closer_sop_uid %s\n",
              qPrintable(images.item(1)->attribute(0x0008, 0x0018).defaultValue()));
  window.dcmViewer->showFullView(0);
  print("peak_session_kib", statusKib("VmHWM"));

  if (detail) {
    // Where the time goes: each image decoded again alone, and each image
    // stored on an association of its own, as the update does.
    for (int i = 1; i <= images.count(); ++i) {
      auto* image = dynamic_cast<dicom::dcmtk::DcmtkImage*>(images.item(i).get());
      if (image == nullptr) fail("not a DCMTK image");
      timer.restart();
      const QImage picture = dicom::dcmtk::renderForDisplay(*image->file().getDataset());
      std::printf("decode_ms %d %lld\n", i, static_cast<long long>(timer.elapsed()));
      if (picture.isNull()) fail(QString("image %1 did not decode again").arg(i));
    }
    for (int i = 1; i <= images.count(); ++i) {
      timer.restart();
      images.item(i)->send(settings.archive(), settings.station());
      std::printf("send_ms %d %lld\n", i, static_cast<long long>(timer.elapsed()));
    }
    std::fflush(stdout);
  }

  window.dcmViewer->reception().stopListening();
  common::setAppDirectoryForTesting(QString());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string_view(argv[1]) == "--extract-codestream") {
    try {
      return extractCodestream(argv[2], argv[3]);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "brevant-bench-station: %s\n", error.what());
      return 1;
    }
  }
  common::tuneAllocatorForLargeImages();  // as the station does at start-up
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  {
    // As the station does once its window shows, done before the first
    // retrieval: an operator's first search takes longer than this.
    QElapsedTimer preparing;
    preparing.start();
    std::thread([] { common::prepareMemory(common::kPreparedBytes); }).join();
    std::printf("prepare_ms %lld\n", static_cast<long long>(preparing.elapsed()));
  }
  const QStringList args = app.arguments();
  const bool detail = args.contains("--detail");
  const bool sendBack = !args.contains("--no-update");
  const bool kept = args.contains("--kept");
  QStringList positional = args;
  QString tlsDir;
  if (const qsizetype at = positional.indexOf("--tls"); at >= 0) {
    tlsDir = positional.value(at + 1);
    if (tlsDir.isEmpty()) {
      std::fprintf(stderr, "%s: --tls needs the folder of the certificates\n", argv[0]);
      return 2;
    }
    positional.remove(at, 2);
  }
  positional.removeAll("--detail");
  positional.removeAll("--no-update");
  positional.removeAll("--kept");
  if (positional.size() != 4) {
    std::fprintf(
        stderr,
        "usage: %s <archive.env> <accession-number> <images> [--detail] [--no-update] [--kept]\n"
        "          [--tls <certdir>]\n"
        "       %s --extract-codestream <dicom-file> <out.j2k>\n",
        argv[0], argv[0]);
    return 2;
  }
  try {
    return run(positional[1], positional[2], positional[3].toInt(), detail, sendBack, kept, tlsDir);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "brevant-bench-station: %s\n", error.what());
    return 1;
  }
}
