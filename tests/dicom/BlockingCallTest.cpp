// A blocking call made off the calling thread: the failure comes back as a
// direct call gives it, the work has the stack it was given, and a
// window's close waits for the call. (That the caller's timers go on while
// it waits is shown by the DICOM client's calls, in ScuErrorTest.)

#include <QCursor>
#include <QGuiApplication>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <thread>

#include "dicom/core/BlockingCall.h"
#include "dicom/core/DicomError.h"

namespace {

// Uses about frames * 4 KB of stack: every frame's page is read by the
// frame below it and again after it returned, so each stays alive.
int deepSum(int frames, const volatile char* above = nullptr) {
  volatile char page[4096];
  page[0] = static_cast<char>(frames & 1);
  page[4095] = above != nullptr ? 1 : 0;
  if (frames == 0) return 0;
  const int below = deepSum(frames - 1, page);
  return below + page[0] + page[4095];
}

constexpr std::size_t kStack = 64u << 20;

}  // namespace

class BlockingCallTest : public QObject {
  Q_OBJECT
 private slots:
  // While the caller waits the busy pointer shows, and what a window puts
  // off until the calls end (its close) runs only once the caller has gone
  // on with the result, never inside the wait.
  void closesWaitForTheCall() {
    QObject context;
    QStringList steps;
    QTimer::singleShot(50, [&] {
      const QCursor* cursor = QGuiApplication::overrideCursor();
      steps << (cursor != nullptr && cursor->shape() == Qt::WaitCursor ? "busy" : "idle");
      dicom::whenCallsEnd(&context, [&] { steps << "closed"; });
    });
    dicom::runOffThread([] { QThread::msleep(400); }, kStack);
    steps << "returned";
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    QTRY_COMPARE(steps, (QStringList{"busy", "returned", "closed"}));
  }

  // A failure is raised again as it was raised: the same type, number and
  // description; on a thread without an event loop, too.
  void failureComesBack() {
    const auto fail = [] {
      dicom::runOffThread([] { throw dicom::DicomError(0xA700, "the archive is full"); }, kStack);
    };
    for (bool onLoopThread : {true, false}) {
      std::optional<dicom::DicomError> caught;
      const auto attempt = [&] {
        try {
          fail();
        } catch (const dicom::DicomError& e) {
          caught = e;
        }
      };
      if (onLoopThread) {
        attempt();
      } else {
        std::thread(attempt).join();
      }
      QVERIFY(caught);
      QCOMPARE(caught->number(), 0xA700);
      QCOMPARE(caught->description(), QString("the archive is full"));
    }
  }

  // The work has the stack it was given: 24 MB of frames, three times what a
  // thread gets by default.
  void workHasItsStack() {
    QCOMPARE(dicom::callOffThread([] { return deepSum(6000); }, kStack), 3000 + 5999);
  }
};

QTEST_MAIN(BlockingCallTest)
#include "BlockingCallTest.moc"
