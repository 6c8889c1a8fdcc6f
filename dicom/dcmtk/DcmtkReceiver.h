#pragma once

// The storage service of the station on DCMTK.

#include <cstdint>
#include <memory>

#include "DcmtkToolkit.h"
#include "dicom/core/StorageReceiver.h"

class DcmDataset;

namespace dicom::dcmtk {

// What one receiver accepts; the README lists them with what the operator
// sees when each is reached.
struct ReceiverLimits {
  int associations = 16;                      // served at once; one more is rejected at once
  int waiting = 64;                           // connections still sending their association request
  int objectSeconds = 600;                    // one object, from its command to its last byte
  int maxDepth = 64;                          // sequences nested in sequences
  std::uint64_t objectBytes = 2ull << 30;     // one data set
  std::uint64_t retrievalBytes = 4ull << 30;  // every object of one retrieval
};

// Receives C-STORE (and answers C-ECHO) on a port of its own.
//
// An acceptor thread holds new connections, without a thread each, until
// their whole association request has arrived (a silent or trickling peer
// is dropped after the association timeout and blocks nobody), then hands
// each to a thread of its own with a large, explicit stack. Up to
// ReceiverLimits::associations are served at once. Each association is
// watched: nothing progressing for the message timeout, or an object not
// complete within objectSeconds, ends it.
//
// Every data set is looked at before DCMTK parses it (nesting depth,
// declared lengths, sizes) and checked before it is acknowledged (study,
// pixel module); accepted objects are decoded for display by a small pool
// while the next one arrives, and a dispatcher hands the results to the
// user-interface thread strictly in the order the objects arrived. Objects
// stay in memory; nothing is written to disk.
class DcmtkReceiver : public StorageReceiver {
 public:
  explicit DcmtkReceiver(Timeouts timeouts, ReceiverLimits limits = {});
  ~DcmtkReceiver() override;

  void listen(const StationIdentity& station) override;
  void stop() override;
  std::int32_t port() const override;
  void expectStudy(const QString& studyInstanceUID) override;
  std::uint64_t bytesReceived() const override;
  void beginProbe(const QStringList& sopInstanceUIDs, const std::vector<Tag>& attributes) override;
  std::map<QString, std::vector<DataSet>> endProbe() override;
  void setDisplayTarget(const QSize& size) override;

  struct Shared;
  struct Session;

 private:
  Timeouts timeouts_;
  ReceiverLimits limits_;
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<Session> session_;
};

}  // namespace dicom::dcmtk
