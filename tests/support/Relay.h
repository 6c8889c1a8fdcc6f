#pragma once

// A TCP relay of our own on loopback, put between an archive and the
// station: what arrives on its port is passed on to a target port, both
// ways. It can hold what it passes on (pause) and limit the rate, so that
// a test or a benchmark decides when, and how fast, an archive's data
// reaches the station. It runs on a thread of its own.

#include <QByteArray>
#include <QThread>
#include <atomic>
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
  // While paused, nothing is passed on in either direction; connections
  // are still accepted and opened to the target.
  void pause() { paused_ = true; }
  void resume() { paused_ = false; }
  // Bytes per second in each direction of each connection; 0: no limit.
  void setRate(std::uint64_t bytesPerSecond) { rate_ = bytesPerSecond; }
  // Connections accepted so far.
  int connections() const { return connections_.load(); }

  struct Worker;

 private:
  std::atomic<bool> paused_{false};
  std::atomic<std::uint64_t> rate_{0};
  std::atomic<int> connections_{0};
  Link* link_ = nullptr;
  Link::Direction sent_ = Link::Up;
  quint16 port_ = 0;
  QThread thread_;
  Worker* worker_ = nullptr;
};

}  // namespace relay
