#include "DcmtkSockets.h"

#include <dcmtk/dcmnet/dcmtrans.h>

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

class PromptConnection : public DcmTCPConnection {
 public:
  explicit PromptConnection(Socket socket) : DcmTCPConnection(socket) { sendAtOnce(socket); }
  ssize_t read(void* buffer, size_t bytes) override {
    acknowledgeAtOnce(getSocket());
    return DcmTCPConnection::read(buffer, bytes);
  }
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
