#include "Relay.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <list>
#include <mutex>

namespace relay {

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
    tick->start(10);
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
      ++owner.connections_;
      // Unlimited, data is passed on as it comes; limited, at the ticks.
      for (QTcpSocket* s : {in, out}) {
        connect(s, &QTcpSocket::readyRead, this, [this] {
          if (owner.rate_.load() == 0) pump();
        });
        connect(s, &QTcpSocket::disconnected, this, [this] { pump(); });
      }
    }
  }

  // Passes on what each side sent, within the rate of this tick.
  void pump() {
    // Closing a socket below signals at once: no pump inside a pump.
    if (pumping) return;
    pumping = true;
    const std::uint64_t rate = owner.rate_.load();
    const qint64 allowance = rate == 0 ? (1 << 20) : std::max<qint64>(1, rate / 100);
    for (auto it = pairs.begin(); it != pairs.end();) {
      if (!owner.paused_) {
        pass(it->in, it->out, allowance);
        pass(it->out, it->in, allowance);
      }
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

  static void pass(QTcpSocket* from, QTcpSocket* to, qint64 allowance) {
    if (to->state() != QAbstractSocket::ConnectedState) return;
    const QByteArray bytes = from->read(allowance);
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

Relay::Relay(quint16 listenPort, quint16 targetPort) {
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
