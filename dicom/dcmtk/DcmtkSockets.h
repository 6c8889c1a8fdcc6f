#pragma once

// The few socket calls the receiver makes itself, on POSIX and on Winsock:
// everything else on the network goes through DCMTK.

#include <dcmtk/config/osconfig.h>

#ifdef _WIN32  // DCMTK's socket type names Winsock's invalid socket, without its header
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#endif

#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dntypes.h>

#include <QString>
#include <cstddef>
#include <memory>
#include <vector>

namespace dicom::dcmtk::sockets {

using Socket = DcmNativeSocketType;

// A socket to wait on, and what the wait found.
struct Watched {
  Socket socket = DCMNET_INVALID_SOCKET;
  bool readable = false;  // data, or a connection to accept, is waiting
  bool failed = false;    // closed by the peer, reset, or not a socket
};

// Waits until one of the sockets is readable or has failed, at most this
// many milliseconds; false when the wait itself failed.
bool waitReadable(std::vector<Watched>& sockets, int milliseconds);

// The next connection waiting on a listening socket, close-on-exec and not
// blocking; DCMNET_INVALID_SOCKET when none is waiting.
Socket acceptConnection(Socket listener);

void setBlocking(Socket socket, bool blocking);
void closeSocket(Socket socket);

// Copies up to size bytes that are waiting on the socket without taking
// them: the count, 0 when the peer has closed, -1 when nothing is waiting.
long peek(Socket socket, void* buffer, std::size_t size);

// The peer's numeric address ("127.0.0.1"), empty when it cannot be told.
QString peerAddress(Socket socket);

// Asks the kernel to acknowledge what arrives next at once rather than
// after a delay (Linux; nothing elsewhere). A sender with Nagle's algorithm
// on (DCMTK's default, and so most archives') holds a short segment back
// until the one before is acknowledged, and the kernel may delay that by up
// to 40 ms; it falls back to delaying by itself, so it is asked before
// every read.
void acknowledgeAtOnce(Socket socket);

// Turns Nagle's algorithm off for the socket: what the station sends goes
// out at once, without waiting for the peer to acknowledge what went
// before (a peer may delay that by up to 40 ms, and a store sends PDUs of
// the size the archive asks for, often smaller than a segment).
void sendAtOnce(Socket socket);

// Plain connections that send at once and acknowledge at once, for the
// station's associations in both directions: an association's messages are
// short exchanges (a response, then the next request), and each one held
// back waits for the peer's delayed acknowledgement.
std::unique_ptr<DcmTransportLayer> promptLayer();

}  // namespace dicom::dcmtk::sockets
