#pragma once

// The receiver's door: accepts connections on the listening socket and
// holds them, without a thread each, until their whole association request
// has arrived. A silent or trickling peer is dropped after the request
// limit and blocks nobody; when too many wait, the oldest makes room.

#include <QThread>
#include <atomic>
#include <cstddef>
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

  // How a waiting connection is looked at when it is not plain TCP (TLS:
  // its handshake first, then the decrypted request). Called on the
  // acceptor's thread.
  class Gate {
   public:
    virtual ~Gate() = default;
    // A connection was accepted.
    virtual void opened(sockets::Socket socket) = 0;
    // As requestState(); called when the socket is readable.
    virtual int state(sockets::Socket socket, std::uint32_t requestBytes) = 0;
    // The connection is closed while still waiting.
    virtual void closed(sockets::Socket socket) = 0;
  };

  // Without a gate, connections are plain TCP.
  Acceptor(sockets::Socket listener, Limits limits, Ready ready, Gate* gate = nullptr);
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
  // The same for the first bytes of a connection, however they were read.
  static int requestComplete(const unsigned char* bytes, std::size_t size,
                             std::uint32_t requestBytes);

 private:
  struct Waiting;
  void run();
  int stateOf(sockets::Socket socket);
  void drop(sockets::Socket socket);

  sockets::Socket listener_;
  Limits limits_;
  Ready ready_;
  Gate* gate_;
  std::atomic<bool> stopping_{false};
  std::unique_ptr<QThread> thread_;
};

}  // namespace dicom::dcmtk
