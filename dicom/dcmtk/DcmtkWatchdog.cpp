#include "DcmtkWatchdog.h"

#include <dcmtk/dcmnet/dul.h>

#include "DcmtkThread.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace dicom::dcmtk {
namespace {

// A member pointer named through a derived class is the sanctioned way to
// the transport connection's protected socket.
struct SocketOf : DcmTransportConnection {
  static DcmNativeSocketType get(DcmTransportConnection& connection) {
    return (connection.*(&SocketOf::getSocket))();
  }
};

}  // namespace

DcmNativeSocketType associationSocket(T_ASC_Association* association) {
  DcmTransportConnection* connection =
      association ? DUL_getTransportConnection(association->DULassociation) : nullptr;
  return connection ? SocketOf::get(*connection) : DCMNET_INVALID_SOCKET;
}

void shutdownSocket(DcmNativeSocketType socket) {
  if (socket == DCMNET_INVALID_SOCKET) return;
#ifdef _WIN32
  ::shutdown(socket, SD_BOTH);
#else
  ::shutdown(socket, SHUT_RDWR);
#endif
}

Watchdog::Watchdog(DcmNativeSocketType socket, int idleSeconds,
                   std::function<std::uint64_t()> counter, std::function<bool()> stop)
    : socket_(socket), idle_(idleSeconds), counter_(std::move(counter)), stop_(std::move(stop)) {
  lastProgress_.store(Clock::now().time_since_epoch().count());
  if (counter_) lastCount_ = counter_();
  thread_ = startThread([this] { run(); });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_->wait();
}

void Watchdog::progress() {
  lastProgress_.store(Clock::now().time_since_epoch().count());
}

void Watchdog::setDeadline(Clock::time_point deadline) {
  deadline_.store(deadline.time_since_epoch().count());
}

void Watchdog::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, std::chrono::milliseconds(100));
    if (stopping_) return;
    if (counter_) {
      const std::uint64_t count = counter_();
      if (count != lastCount_) {
        lastCount_ = count;
        progress();
      }
    }
    const auto now = Clock::now();
    const auto last = Clock::time_point(Clock::duration(lastProgress_.load()));
    const auto deadline = Clock::time_point(Clock::duration(deadline_.load()));
    Expired reason = Expired::No;
    if (now - last >= idle_) reason = Expired::Idle;
    if (deadline != Clock::time_point{} && now >= deadline) reason = Expired::Deadline;
    if (stop_ && stop_()) reason = Expired::Stopped;
    if (reason != Expired::No) {
      expired_.store(reason);
      shutdownSocket(socket_);
      return;
    }
  }
}

}  // namespace dicom::dcmtk
