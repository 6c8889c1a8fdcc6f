#pragma once

// The receiver's door: accepts connections on the listening socket and
// holds them, without a thread each, until their whole association request
// has arrived. A silent or trickling peer is dropped after the request
// limit and blocks nobody; when too many wait, the oldest makes room.

#include <QThread>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "DcmtkSockets.h"

namespace dicom::dcmtk {

class Acceptor {
 public:
  struct Limits {
    int waiting = 64;                        // connections still sending their request
    int requestSeconds = 10;                 // the time each has to send it whole
    std::uint32_t requestBytes = 64 * 1024;  // a larger request is refused unread
  };
  // Takes a connection whose whole association request is waiting on it
  // (blocking again), on the acceptor's thread; it owns the socket from then.
  using Ready = std::function<void(sockets::Socket)>;

  Acceptor(sockets::Socket listener, Limits limits, Ready ready);
  ~Acceptor();
  Acceptor(const Acceptor&) = delete;
  Acceptor& operator=(const Acceptor&) = delete;

  void start();
  // Returns when the thread has ended; the connections still waiting are
  // closed. The listening socket stays open (its owner closes it).
  void stop();

  // 1 when the socket holds a whole association request, 0 while it does
  // not yet, -1 for a connection that sends anything else, sends one larger
  // than requestBytes, or has closed.
  static int requestState(sockets::Socket socket, std::uint32_t requestBytes);

 private:
  struct Waiting;
  void run();

  sockets::Socket listener_;
  Limits limits_;
  Ready ready_;
  std::atomic<bool> stopping_{false};
  std::unique_ptr<QThread> thread_;
};

}  // namespace dicom::dcmtk
