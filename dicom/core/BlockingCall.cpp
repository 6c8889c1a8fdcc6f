#include "BlockingCall.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QCursor>
#include <QEventLoop>
#include <QGuiApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <exception>
#include <memory>

#include "DicomError.h"

namespace dicom {
namespace {

// True on a thread whose Qt events must go on while it waits.
bool hasEventLoop() {
  return QCoreApplication::instance() != nullptr &&
         QThread::currentThread()->eventDispatcher() != nullptr;
}

// Calls waiting in an event loop on this thread; they nest when a handler
// runs during another's wait (a timer's, say).
thread_local int waitingCalls = 0;

// The wait in the caller's event loop, with the busy pointer where there
// are windows to show it on.
void waitFor(QEventLoop& loop) {
  auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
  if (gui != nullptr) QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
  ++waitingCalls;
  loop.exec(QEventLoop::ExcludeUserInputEvents);
  --waitingCalls;
  if (gui != nullptr) QGuiApplication::restoreOverrideCursor();
}

}  // namespace

bool callWaiting() {
  return waitingCalls > 0;
}

void whenCallsEnd(QObject* context, std::function<void()> later) {
  // Looked at again every tenth of a second: a wait ends inside the
  // handler that made it, which must go on first.
  QTimer::singleShot(waitingCalls > 0 ? 100 : 0, context,
                     [guard = QPointer<QObject>(context), later = std::move(later)] {
                       if (guard.isNull()) return;
                       if (waitingCalls > 0) {
                         whenCallsEnd(guard.data(), later);
                       } else {
                         later();
                       }
                     });
}

void runOffThread(const std::function<void()>& work, std::size_t stackBytes) {
  std::exception_ptr failure;
  std::unique_ptr<QThread> thread(QThread::create([&work, &failure] {
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
  }));
  thread->setStackSize(static_cast<uint>(stackBytes));
  std::unique_ptr<QEventLoop> loop;
  if (hasEventLoop()) {
    loop = std::make_unique<QEventLoop>();
    // Queued: an end that comes before exec() still ends the wait.
    QObject::connect(thread.get(), &QThread::finished, loop.get(), &QEventLoop::quit,
                     Qt::QueuedConnection);
  }
  thread->start();
  if (!thread->isRunning() && !thread->isFinished()) {
    throw DicomError(OwnError::Internal,
                     QStringLiteral("No thread could be started for the call (%1 MB of stack).")
                         .arg(stackBytes >> 20));
  }
  if (loop) waitFor(*loop);
  thread->wait();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace dicom
