#pragma once

// The storage service of the station on DCMTK.

#include <QSize>
#include <cstdint>
#include <memory>
#include <mutex>

#include "DcmtkReceiverLimits.h"
#include "DcmtkStudyGuard.h"
#include "DcmtkToolkit.h"
#include "dicom/core/StorageReceiver.h"

namespace dicom::dcmtk {

// Receives C-STORE (and answers C-ECHO) on a port of its own, in named
// parts, each on threads of one kind (DcmtkThread.h):
//
// - the acceptor (DcmtkAcceptor) holds new connections until their whole
//   association request has arrived; the receiver then reads the request
//   and either gives the association a thread of its own or, with every
//   slot taken, rejects it at once (transient, local limit exceeded). Up to
//   ReceiverLimits::associations are served at once, and
//   archiveAssociations more for the archive while a retrieval or read-back
//   from it runs;
// - each association (DcmtkServedAssociation) is negotiated and served,
//   watched: nothing progressing for the message timeout, or an object not
//   complete within objectSeconds, ends it. Every data set is looked at
//   before DCMTK parses it and checked before it is acknowledged; the study
//   guard (DcmtkStudyGuard) says what is taken;
// - the ordered delivery (DcmtkDelivery) decodes accepted objects for
//   display while the next ones arrive and hands the results to the
//   user-interface thread strictly in the order the objects arrived.
//
// Objects stay in memory; nothing is written to disk.
class DcmtkReceiver : public StorageReceiver {
 public:
  explicit DcmtkReceiver(Timeouts timeouts, ReceiverLimits limits = {});
  ~DcmtkReceiver() override;

  void listen(const StationIdentity& station) override;
  void stop() override;
  std::int32_t port() const override;
  void expectStudy(const QString& studyInstanceUID, const Peer& archive) override;
  void endRetrieval(const QString& studyInstanceUID) override;
  std::uint64_t bytesReceived() const override;
  void beginProbe(const QStringList& sopInstanceUIDs, const std::vector<Tag>& attributes,
                  const Peer& archive) override;
  std::map<QString, std::vector<DataSet>> endProbe() override;
  void setDisplayTarget(const QSize& size) override;

 private:
  class Session;

  QSize displayTarget() const;

  Timeouts timeouts_;
  ReceiverLimits limits_;
  StudyGuard guard_;
  mutable std::mutex targetMutex_;
  QSize displayTarget_{1024, 1024};
  std::unique_ptr<Session> session_;
};

}  // namespace dicom::dcmtk
