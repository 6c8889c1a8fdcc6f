#pragma once

// What the benchmarks that drive the station's windows share: a failure
// that ends the run, the event loop run until something holds, a figure
// printed as "key value", and the process's memory from /proc.

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <stdexcept>

namespace bench {

[[noreturn]] inline void fail(const QString& what) {
  throw std::runtime_error(what.toStdString());
}

// Runs the event loop until done() holds; fails after deadlineMs.
inline void waitFor(const std::function<bool()>& done, const QString& what, int deadlineMs) {
  QElapsedTimer clock;
  clock.start();
  // Wakes the loop every millisecond: a wait for more events may go on
  // after the awaited events were handled, and a coarser tick would add its
  // interval to the figures.
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  tick.start(1);
  while (!done()) {
    if (clock.elapsed() > deadlineMs) fail("timed out waiting for " + what);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

inline void print(const char* key, long long value) {
  std::printf("%s %lld\n", key, value);
  std::fflush(stdout);
}

// A value in kiB from /proc/self/status ("VmHWM", "VmRSS"), -1 when absent.
inline long long statusKib(const char* key) {
  QFile file("/proc/self/status");
  if (!file.open(QIODevice::ReadOnly)) return -1;
  const QByteArray prefix = QByteArray(key) + ':';
  for (const QByteArray& line : file.readAll().split('\n')) {
    if (line.startsWith(prefix)) {
      return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
  }
  return -1;
}

}  // namespace bench
