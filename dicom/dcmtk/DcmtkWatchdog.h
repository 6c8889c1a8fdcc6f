#pragma once

// Ends a stalled association from a thread of its own: when nothing has
// progressed for the idle limit, or a deadline has passed, it shuts the
// association's socket down, which ends whatever DCMTK is blocked in on it.
// Both the outgoing calls and the receiver's associations use it; a trickle
// of bytes that completes nothing is no progress.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dcmtrans.h>

#include <QThread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace dicom::dcmtk {

// The socket of an association; DCMTK keeps it protected in the transport
// connection. An invalid socket when there is none.
DcmNativeSocketType associationSocket(T_ASC_Association* association);

// Shuts a socket down in both directions, waking any thread blocked on it.
void shutdownSocket(DcmNativeSocketType socket);

class Watchdog {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Expired { No, Idle, Deadline, Stopped };

  // counter, when given, is read every tenth of a second: a change counts
  // as progress (bytes arriving elsewhere for the same call). stop, when
  // given, is asked as often: true ends the association at once.
  Watchdog(DcmNativeSocketType socket, int idleSeconds, std::function<std::uint64_t()> counter = {},
           std::function<bool()> stop = {});
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // Progress: the idle limit starts again.
  void progress();
  // A point in time by which the current work must be done; none when
  // time_point{} (the default).
  void setDeadline(Clock::time_point deadline);
  Expired expired() const { return expired_.load(); }

 private:
  void run();

  DcmNativeSocketType socket_;
  std::chrono::seconds idle_;
  std::function<std::uint64_t()> counter_;
  std::function<bool()> stop_;
  std::uint64_t lastCount_ = 0;
  std::atomic<Clock::rep> lastProgress_{0};
  std::atomic<Clock::rep> deadline_{0};
  std::atomic<Expired> expired_{Expired::No};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::unique_ptr<QThread> thread_;
};

}  // namespace dicom::dcmtk
