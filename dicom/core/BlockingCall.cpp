#include "BlockingCall.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
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

}  // namespace

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
  if (loop) loop->exec(QEventLoop::ExcludeUserInputEvents);
  thread->wait();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace dicom
