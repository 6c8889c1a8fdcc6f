#pragma once

// Peers for the receiver tests: DCMTK's storescu and echoscu run as real
// senders, and a raw socket speaks just enough of the upper layer protocol
// to misbehave on purpose (abort mid-object, drop the connection, stay
// silent, send garbage).

#include <QByteArray>
#include <QDir>
#include <QHostAddress>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <cstdint>

namespace receivertest {

// A port nobody listens on right now.
inline int freePort() {
  QTcpServer server;
  server.listen(QHostAddress::AnyIPv4, 0);
  return server.serverPort();
}

struct ToolResult {
  int exitCode = -1;
  bool finished = false;
  QString output;
};

// Runs a DCMTK tool with bounded network timeouts; waits at most a minute.
// The QProcess event handling does not need the caller's event loop, but
// the receiver's queued signals pile up until the caller spins it.
inline ToolResult runTool(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(program, arguments);
  ToolResult result;
  if (!process.waitForStarted(10000)) {
    result.output = QString("%1 did not start").arg(program);
    return result;
  }
  result.finished = process.waitForFinished(60000);
  if (!result.finished) process.kill();
  process.waitForFinished(5000);
  result.exitCode = process.exitCode();
  result.output = QString::fromLocal8Bit(process.readAll());
  return result;
}

inline QStringList timeoutArguments() {
  return {"-to", "5", "-ta", "5", "-td", "10"};
}

inline ToolResult storescu(int port, const QString& calledAE, const QStringList& files,
                           const QStringList& extra = {}) {
  QStringList arguments = timeoutArguments();
  arguments << "-v"
            << "-nh"
            << "-aet"
            << "TESTSCU"
            << "-aec" << calledAE << extra << "127.0.0.1" << QString::number(port) << files;
  return runTool("storescu", arguments);
}

inline ToolResult echoscu(int port, const QString& calledAE) {
  QStringList arguments = timeoutArguments();
  arguments << "-v"
            << "-aet"
            << "TESTSCU"
            << "-aec" << calledAE << "127.0.0.1" << QString::number(port);
  return runTool("echoscu", arguments);
}

// --- upper layer PDUs by hand -------------------------------------------

inline QByteArray be16(int value) {
  QByteArray bytes(2, '\0');
  qToBigEndian<quint16>(static_cast<quint16>(value), bytes.data());
  return bytes;
}

inline QByteArray be32(quint32 value) {
  QByteArray bytes(4, '\0');
  qToBigEndian<quint32>(value, bytes.data());
  return bytes;
}

inline QByteArray item(int type, const QByteArray& body) {
  return QByteArray(1, static_cast<char>(type)) + QByteArray(1, '\0') + be16(body.size()) + body;
}

inline QByteArray pdu(int type, const QByteArray& body) {
  return QByteArray(1, static_cast<char>(type)) + QByteArray(1, '\0') +
         be32(static_cast<quint32>(body.size())) + body;
}

inline QByteArray aeField(const QString& title) {
  return title.toLatin1().leftJustified(16, ' ', true);
}

// A-ASSOCIATE-RQ with one presentation context (id 1).
inline QByteArray associateRequest(const QString& calledAE, const QString& callingAE,
                                   const QByteArray& sopClass, const QByteArray& syntax) {
  QByteArray body =
      be16(1) + QByteArray(2, '\0') + aeField(calledAE) + aeField(callingAE) + QByteArray(32, '\0');
  body += item(0x10, "1.2.840.10008.3.1.1.1");
  body += item(0x20, QByteArray("\x01\x00\x00\x00", 4) + item(0x30, sopClass) + item(0x40, syntax));
  body += item(0x50, item(0x51, be32(16384)) + item(0x52, "1.2.826.0.1.3680043.10.1"));
  return pdu(0x01, body);
}

// One P-DATA-TF holding one PDV on presentation context 1.
inline QByteArray dataPdu(const QByteArray& fragment, bool command, bool last) {
  const char control = static_cast<char>((command ? 1 : 0) | (last ? 2 : 0));
  QByteArray pdv = QByteArray(1, '\x01') + QByteArray(1, control) + fragment;
  return pdu(0x04, be32(static_cast<quint32>(pdv.size())) + pdv);
}

inline QByteArray abortPdu() {
  return pdu(0x07, QByteArray(4, '\0'));
}

inline QByteArray implicitElement(quint16 group, quint16 element, QByteArray value) {
  if (value.size() % 2) value.append('\0');
  QByteArray bytes(8, '\0');
  qToLittleEndian<quint16>(group, bytes.data());
  qToLittleEndian<quint16>(element, bytes.data() + 2);
  qToLittleEndian<quint32>(static_cast<quint32>(value.size()), bytes.data() + 4);
  return bytes + value;
}

inline QByteArray us(quint16 value) {
  QByteArray bytes(2, '\0');
  qToLittleEndian<quint16>(value, bytes.data());
  return bytes;
}

// The command set of a C-STORE-RQ in implicit VR little endian.
inline QByteArray storeCommand(const QByteArray& sopClass, const QByteArray& sopInstance) {
  QByteArray rest =
      implicitElement(0x0000, 0x0002, sopClass) + implicitElement(0x0000, 0x0100, us(0x0001)) +
      implicitElement(0x0000, 0x0110, us(1)) + implicitElement(0x0000, 0x0700, us(0)) +
      implicitElement(0x0000, 0x0800, us(0x0000)) + implicitElement(0x0000, 0x1000, sopInstance);
  QByteArray length(4, '\0');
  qToLittleEndian<quint32>(static_cast<quint32>(rest.size()), length.data());
  return implicitElement(0x0000, 0x0000, length) + rest;
}

// Reads one whole PDU (bounded); empty when none came.
inline QByteArray readPdu(QTcpSocket& socket, int milliseconds = 10000) {
  QByteArray data;
  while (data.size() < 6) {
    if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(milliseconds)) return {};
    data += socket.read(6 - data.size());
  }
  const quint32 length = qFromBigEndian<quint32>(data.constData() + 2);
  while (static_cast<quint32>(data.size()) < 6 + length) {
    if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(milliseconds)) return {};
    data += socket.read(6 + length - data.size());
  }
  return data;
}

}  // namespace receivertest
