#include "DcmtkSockets.h"

#include <dcmtk/dcmnet/dcmtrans.h>

#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace dicom::dcmtk::sockets {

#ifdef _WIN32
using PollFd = WSAPOLLFD;
namespace {
int pollSockets(PollFd* fds, std::size_t count, int milliseconds) {
  return WSAPoll(fds, static_cast<ULONG>(count), milliseconds);
}
}  // namespace

Socket acceptConnection(Socket listener) {
  const Socket socket = ::accept(listener, nullptr, nullptr);
  if (socket != DCMNET_INVALID_SOCKET) setBlocking(socket, false);
  return socket;
}

void setBlocking(Socket socket, bool blocking) {
  u_long mode = blocking ? 0 : 1;
  ioctlsocket(socket, FIONBIO, &mode);
}

void closeSocket(Socket socket) {
  closesocket(socket);
}

long peek(Socket socket, void* buffer, std::size_t size) {
  const int got = ::recv(socket, static_cast<char*>(buffer), static_cast<int>(size), MSG_PEEK);
  return got < 0 ? -1 : got;
}
#else
using PollFd = pollfd;
namespace {
int pollSockets(PollFd* fds, std::size_t count, int milliseconds) {
  int n;
  do {
    n = ::poll(fds, static_cast<nfds_t>(count), milliseconds);
  } while (n < 0 && errno == EINTR);
  return n;
}
}  // namespace

Socket acceptConnection(Socket listener) {
  const Socket socket = ::accept(listener, nullptr, nullptr);
  if (socket < 0) return DCMNET_INVALID_SOCKET;
  ::fcntl(socket, F_SETFD, FD_CLOEXEC);
  setBlocking(socket, false);
  return socket;
}

void setBlocking(Socket socket, bool blocking) {
  const int flags = ::fcntl(socket, F_GETFL);
  ::fcntl(socket, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

void closeSocket(Socket socket) {
  ::close(socket);
}

long peek(Socket socket, void* buffer, std::size_t size) {
  const ssize_t got = ::recv(socket, buffer, size, MSG_PEEK);
  return got < 0 ? -1 : static_cast<long>(got);
}
#endif

void sendAtOnce(Socket socket) {
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

void acknowledgeAtOnce([[maybe_unused]] Socket socket) {
#ifdef TCP_QUICKACK
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
}

namespace {

#ifdef MSG_MORE
// The message control header of a P-DATA-TF PDU's head as DCMTK writes it,
// apart from the PDV's data: the PDU's and its one PDV's headers, 12 bytes.
// -1 for anything else.
int dataHeadControl(const void* buffer, size_t bytes) {
  if (bytes != 12) return -1;
  const auto* b = static_cast<const unsigned char*>(buffer);
  const auto bigEndian = [b](int at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
           (std::uint32_t{b[at + 2]} << 8) | std::uint32_t{b[at + 3]};
  };
  if (b[0] != 0x04 || bigEndian(2) != bigEndian(6) + 4) return -1;
  return b[11];
}
#endif

class PromptConnection : public DcmTCPConnection {
 public:
  explicit PromptConnection(Socket socket) : DcmTCPConnection(socket) { sendAtOnce(socket); }
  ssize_t read(void* buffer, size_t bytes) override {
    acknowledgeAtOnce(getSocket());
    return DcmTCPConnection::read(buffer, bytes);
  }
#ifdef MSG_MORE
  // DCMTK writes a P-DATA-TF PDU in two writes, its head and then its data.
  // Sent at once, each write left as a segment of its own: a 12-byte one for
  // every head, and a data set's PDUs no larger than the peer's maximum
  // (16 KB for Orthanc). Until the last fragment of a message the kernel is
  // told that more follows, and fills whole segments; the last fragment
  // goes out at once.
  ssize_t write(void* buffer, size_t bytes) override {
    int flags = MSG_NOSIGNAL;
    if (const int control = dataHeadControl(buffer, bytes); control >= 0) {
      flags |= MSG_MORE;  // its data follows
      lastFragment_ = (control & 0x02) != 0;
      dataNext_ = true;
    } else if (dataNext_) {
      if (!lastFragment_) flags |= MSG_MORE;  // the next PDU follows
      dataNext_ = false;
    }
    return ::send(getSocket(), buffer, bytes, flags);
  }

 private:
  bool dataNext_ = false;
  bool lastFragment_ = true;
#endif
};

class PromptLayer : public DcmTransportLayer {
 public:
  DcmTransportConnection* createConnection(DcmNativeSocketType socket, OFBool secure) override {
    return secure ? nullptr : new PromptConnection(socket);
  }
};

}  // namespace

std::unique_ptr<DcmTransportLayer> promptLayer() {
  return std::make_unique<PromptLayer>();
}

bool waitReadable(std::vector<Watched>& sockets, int milliseconds) {
  std::vector<PollFd> fds(sockets.size());
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    fds[i].fd = sockets[i].socket;
    fds[i].events = POLLIN;
  }
  if (pollSockets(fds.data(), fds.size(), milliseconds) < 0) return false;
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    sockets[i].readable = (fds[i].revents & POLLIN) != 0;
    sockets[i].failed = (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
  }
  return true;
}

QString peerAddress(Socket socket) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0) return QString();
  char text[INET6_ADDRSTRLEN] = {};
  const void* raw =
      address.ss_family == AF_INET6
          ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr)
          : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&address)->sin_addr);
  if (::inet_ntop(address.ss_family, raw, text, sizeof text) == nullptr) return QString();
  return QString::fromLatin1(text);
}

}  // namespace dicom::dcmtk::sockets
