#include "Relay.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <list>
#include <mutex>

namespace relay {

qint64 Link::take(Direction direction, qint64 want) {
  using namespace std::chrono;
  std::lock_guard<std::mutex> lock(mutex_);
  const std::int64_t now =
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  const double burst = double(rate_) / 20;  // at most 50 ms worth saved up
  if (refilled_[direction] != 0) {
    tokens_[direction] += double(rate_) * double(now - refilled_[direction]) / 1000.0;
  }
  tokens_[direction] = std::min(tokens_[direction], burst);
  refilled_[direction] = now;
  const qint64 allowed = std::min<qint64>(want, qint64(tokens_[direction]));
  tokens_[direction] -= double(allowed);
  return allowed;
}

// Lives on the relay's thread: the listening socket and the pairs it made.
struct Relay::Worker : QObject {
  struct Pair {
    QTcpSocket* in = nullptr;   // the connecting side
    QTcpSocket* out = nullptr;  // to the target
  };

  Worker(Relay& owner, quint16 targetPort) : owner(owner), target(targetPort) {}

  void start(quint16 listenPort) {
    server = new QTcpServer(this);
    server->listen(QHostAddress::LocalHost, listenPort);
    connect(server, &QTcpServer::newConnection, this, [this] { accept(); });
    auto* tick = new QTimer(this);
    connect(tick, &QTimer::timeout, this, [this] { pump(); });
    tick->start(5);
  }

  void accept() {
    while (QTcpSocket* in = server->nextPendingConnection()) {
      auto* out = new QTcpSocket(this);
      in->setParent(this);
      // Small buffers: a held or slowed relay holds the sender back.
      in->setReadBufferSize(64 * 1024);
      out->setReadBufferSize(64 * 1024);
      out->connectToHost(QHostAddress::LocalHost, target);
      pairs.push_back({in, out});
      // Without a link, data is passed on as it comes; with one, at the ticks.
      for (QTcpSocket* s : {in, out}) {
        connect(s, &QTcpSocket::readyRead, this, [this] {
          if (owner.link_ == nullptr) pump();
        });
        connect(s, &QTcpSocket::disconnected, this, [this] { pump(); });
      }
    }
  }

  // Passes on what each side sent, within what the link lets cross now.
  void pump() {
    // Closing a socket below signals at once: no pump inside a pump.
    if (pumping) return;
    pumping = true;
    const qint64 allowance = 1 << 20;
    const auto back = owner.sent_ == Link::Up ? Link::Down : Link::Up;
    for (auto it = pairs.begin(); it != pairs.end();) {
      pass(it->in, it->out, allowance, owner.link_, owner.sent_);
      pass(it->out, it->in, allowance, owner.link_, back);
      if (closed(*it)) {
        it->in->deleteLater();
        it->out->deleteLater();
        it = pairs.erase(it);
      } else {
        ++it;
      }
    }
    pumping = false;
  }

  static void pass(QTcpSocket* from, QTcpSocket* to, qint64 allowance, Link* link,
                   Link::Direction direction) {
    if (to->state() != QAbstractSocket::ConnectedState) return;
    qint64 want = std::min(allowance, from->bytesAvailable());
    if (link != nullptr && want > 0) want = link->take(direction, want);
    if (want <= 0) return;
    const QByteArray bytes = from->read(want);
    if (!bytes.isEmpty()) to->write(bytes);
  }

  // A side that has closed, with nothing left to pass on, closes the other.
  static bool closed(const Pair& p) {
    for (auto [a, b] : {std::pair{p.in, p.out}, std::pair{p.out, p.in}}) {
      if (a->state() == QAbstractSocket::UnconnectedState && a->bytesAvailable() == 0 &&
          (b->state() != QAbstractSocket::ConnectingState)) {
        b->disconnectFromHost();
        return b->state() == QAbstractSocket::UnconnectedState;
      }
    }
    return false;
  }

  Relay& owner;
  quint16 target;
  QTcpServer* server = nullptr;
  std::list<Pair> pairs;
  bool pumping = false;
};

Relay::Relay(quint16 listenPort, quint16 targetPort, Link* link, Link::Direction sent)
    : link_(link), sent_(sent) {
  worker_ = new Worker(*this, targetPort);
  worker_->moveToThread(&thread_);
  QObject::connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
  thread_.start();
  QMetaObject::invokeMethod(
      worker_,
      [this, listenPort] {
        worker_->start(listenPort);
        port_ = worker_->server->serverPort();
      },
      Qt::BlockingQueuedConnection);
}

Relay::~Relay() {
  thread_.quit();
  thread_.wait();
}

}  // namespace relay
