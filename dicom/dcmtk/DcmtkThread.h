#pragma once

// The receiver's one kind of thread: a QThread with a large, explicit
// stack. DCMTK's parser and decoders recurse on the calling thread's stack;
// the receiver's scans refuse deep nesting before they see it, and the
// stack is the second line.

#include <QThread>
#include <functional>
#include <memory>

namespace dicom::dcmtk {

constexpr unsigned kThreadStackBytes = 64u * 1024 * 1024;

// Starts body on a thread of its own; the caller waits for it (wait())
// before the thread object goes.
inline std::unique_ptr<QThread> startThread(std::function<void()> body) {
  std::unique_ptr<QThread> thread(QThread::create(std::move(body)));
  thread->setStackSize(kThreadStackBytes);
  thread->start();
  return thread;
}

}  // namespace dicom::dcmtk
