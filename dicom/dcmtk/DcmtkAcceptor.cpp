#include "DcmtkAcceptor.h"

#include <chrono>
#include <deque>
#include <vector>

#include "DcmtkThread.h"

namespace dicom::dcmtk {

using namespace sockets;
using Clock = std::chrono::steady_clock;

struct Acceptor::Waiting {
  Socket socket;
  Clock::time_point since;
};

namespace {

// A tenth of a second at most between looks, so that stop() and expired
// requests are seen without a wake-up of their own.
constexpr int kLookMilliseconds = 100;

}  // namespace

Acceptor::Acceptor(Socket listener, Limits limits, Ready ready)
    : listener_(listener), limits_(limits), ready_(std::move(ready)) {}

Acceptor::~Acceptor() {
  stop();
}

void Acceptor::start() {
  stopping_ = false;
  thread_ = startThread([this] { run(); });
}

void Acceptor::stop() {
  stopping_ = true;
  if (thread_) thread_->wait();
  thread_.reset();
}

int Acceptor::requestState(Socket socket, std::uint32_t requestBytes) {
  unsigned char header[6];
  const long got = peek(socket, header, sizeof header);
  if (got == 0) return -1;
  if (got < static_cast<long>(sizeof header)) return 0;
  if (header[0] != 0x01) return -1;  // not an A-ASSOCIATE-RQ
  const std::uint32_t length = (std::uint32_t{header[2]} << 24) | (std::uint32_t{header[3]} << 16) |
                               (std::uint32_t{header[4]} << 8) | header[5];
  if (length > requestBytes) return -1;
  std::vector<char> whole(sizeof header + length);
  return peek(socket, whole.data(), whole.size()) == static_cast<long>(whole.size()) ? 1 : 0;
}

void Acceptor::run() {
  std::deque<Waiting> waiting;
  std::vector<Watched> watched;
  const auto patience = std::chrono::seconds(std::max(1, limits_.requestSeconds));
  while (!stopping_) {
    watched.assign(1, Watched{listener_});
    for (const Waiting& w : waiting) watched.push_back(Watched{w.socket});
    if (!waitReadable(watched, kLookMilliseconds)) continue;
    const auto now = Clock::now();
    std::deque<Waiting> still;
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      const Waiting& w = waiting[i];
      const int state = watched[i + 1].failed     ? -1
                        : watched[i + 1].readable ? requestState(w.socket, limits_.requestBytes)
                                                  : 0;
      if (state > 0) {
        setBlocking(w.socket, true);
        ready_(w.socket);
      } else if (state < 0 || now - w.since >= patience) {
        closeSocket(w.socket);  // something else, or no request in time
      } else {
        still.push_back(w);
      }
    }
    waiting.swap(still);
    if (!watched[0].readable) continue;
    for (Socket socket; (socket = acceptConnection(listener_)) != DCMNET_INVALID_SOCKET;) {
      if (static_cast<int>(waiting.size()) >= std::max(1, limits_.waiting)) {
        // The oldest makes room: a crowd of silent peers never locks a
        // legitimate sender out.
        closeSocket(waiting.front().socket);
        waiting.pop_front();
      }
      waiting.push_back({socket, now});
    }
  }
  for (const Waiting& w : waiting) closeSocket(w.socket);
}

}  // namespace dicom::dcmtk
