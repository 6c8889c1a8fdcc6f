#pragma once

// A TCP relay of our own on loopback, put between an archive and the
// station: what arrives on its port is passed on to a target port, both
// ways, at the rate of a link it may share with other relays, so that a
// benchmark decides how fast an archive's data reaches the station. It runs
// on a thread of its own.

#include <QByteArray>
#include <QThread>
#include <cstdint>
#include <memory>
#include <mutex>

namespace relay {

// A link of limited rate that several relays share, as one network link
// between two hosts: its bytes per second in each direction are shared by
// every connection that crosses it that way.
class Link {
 public:
  enum Direction { Up = 0, Down = 1 };
  explicit Link(std::uint64_t bytesPerSecond) : rate_(bytesPerSecond) {}
  // How many of want bytes may cross now.
  qint64 take(Direction direction, qint64 want);

 private:
  std::mutex mutex_;
  std::uint64_t rate_;
  double tokens_[2] = {0, 0};
  std::int64_t refilled_[2] = {0, 0};  // milliseconds of a steady clock
};

class Relay {
 public:
  // Listens on listenPort (0: any free one) of 127.0.0.1 and passes each
  // connection on to targetPort there. With a link, what the connecting
  // side sends crosses it in the direction given, the answers the other way.
  Relay(quint16 listenPort, quint16 targetPort, Link* link = nullptr,
        Link::Direction sent = Link::Up);
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  quint16 port() const { return port_; }

  struct Worker;

 private:
  Link* link_ = nullptr;
  Link::Direction sent_ = Link::Up;
  quint16 port_ = 0;
  QThread thread_;
  Worker* worker_ = nullptr;
};

}  // namespace relay
