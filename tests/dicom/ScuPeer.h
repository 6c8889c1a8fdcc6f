#pragma once

// Loopback peers for the client tests: a small recording SCP on DCMTK that
// answers find, move and store with chosen statuses and keeps what reached
// it, and a port that nobody listens on.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmnet/assoc.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace scutest {

struct PeerBehaviour {
  // Associations whose called AE title differs are rejected (called AE
  // title not recognised).
  std::string aeTitle = "PEER";
  // Transfer syntaxes accepted for storage, in order of preference.
  std::vector<std::string> storageSyntaxes;  // empty: explicit and implicit little endian
  // Find: every match goes out as a pending response, then the final status.
  std::vector<std::shared_ptr<DcmDataset>> findMatches;
  std::uint16_t findStatus = 0x0000;
  std::uint16_t storeStatus = 0x0000;
  std::string storeErrorComment;  // sent in the status detail when not empty
  // Move: one final response with these counts (no sub-operations are made).
  std::uint16_t moveStatus = 0x0000;
  int moveCompleted = 0, moveFailed = 0, moveWarning = 0;
  std::string moveFailedUIDs;  // Failed SOP Instance UID List of the final response
  // Receives the request and then never answers it.
  bool silent = false;
  // Never answers a release request (the association stays until aborted).
  bool ignoreRelease = false;
};

// What reached the peer, the last of each kind.
struct PeerRecord {
  int associations = 0;
  std::string callingAE, calledAE;
  std::shared_ptr<DcmDataset> findIdentifier;
  std::string findSOPClass;
  std::shared_ptr<DcmDataset> moveIdentifier;
  std::shared_ptr<DcmDataset> stored;
  std::string storedSyntax, storedSOPClass, storedSOPInstance;
  bool released = false;  // the last association ended with a release (not an abort)
};

class RecordingPeer {
 public:
  explicit RecordingPeer(PeerBehaviour behaviour);
  ~RecordingPeer();
  RecordingPeer(const RecordingPeer&) = delete;
  RecordingPeer& operator=(const RecordingPeer&) = delete;

  int port() const { return port_; }
  PeerRecord record() const;
  // Waits (bounded) until an association has ended on the peer's side.
  bool waitForEnd(int associations, int milliseconds) const;

 private:
  void run();
  void serve(T_ASC_Association* association);

  PeerBehaviour behaviour_;
  int port_ = 0;
  T_ASC_Network* network_ = nullptr;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  PeerRecord record_;
  int ended_ = 0;
  std::thread thread_;
};

// A loopback port that nothing listens on.
int closedPort();

}  // namespace scutest
