#pragma once

// A loopback peer for the client and search tests: a small recording SCP on
// DCMTK that answers find, move and store with chosen statuses and keeps
// what reached it; and a port that nobody listens on.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace scutest {

// The peer is called "PEER"; associations called by another AE title are
// rejected (not recognised). It takes stored objects in explicit or
// implicit little endian only.
struct PeerBehaviour {
  std::uint16_t status = 0x0000;  // the final status of every find, store and move
  // Find: every match goes out as a pending response, then the final status.
  std::vector<std::shared_ptr<DcmDataset>> findMatches;
  std::string storeErrorComment;  // sent in a store's status detail when not empty
  // Move: one final response with these counts (no sub-operations are made).
  int moveCompleted = 0, moveFailed = 0, moveWarning = 0;
  std::string moveFailedUIDs;  // Failed SOP Instance UID List of the final response
  bool silent = false;         // takes each request and never answers it
  bool abort = false;          // takes each request and aborts the association
  bool ignoreRelease = false;  // never answers a release request
  bool deaf = false;           // accepts the association and never reads from it again
  // Find, move: this many more pendings, one a second, before the final response; a find's
  // repeat its first match, a move's completed count rises with each up to risingUpTo.
  int pacedPendings = 0;
  int risingUpTo = 0;
  // Hostile answers, written byte by byte: the first response's command set
  // carries a sequence nested this deep (find, move, store); the find's
  // first match nests a sequence this deep, or carries a value of this many
  // bytes.
  int deepCommand = 0;
  int deepMatch = 0;
  std::size_t hugeMatch = 0;
};

// What reached the peer, the last of each kind.
struct PeerRecord {
  int associations = 0;
  std::string callingAE, calledAE;
  std::shared_ptr<DcmDataset> findIdentifier, moveIdentifier, stored;
  bool released = false;   // the last association ended with a release (not an abort)
  bool cancelled = false;  // a C-CANCEL-RQ arrived
};

class RecordingPeer {
 public:
  explicit RecordingPeer(PeerBehaviour behaviour);
  ~RecordingPeer();

  int port() const { return port_; }
  PeerRecord record() const;
  // Waits (bounded) until that many associations have ended on the peer's side.
  bool waitForEnd(int associations, int milliseconds) const;

 private:
  void run();
  bool stopsWithin(int seconds);  // true as soon as the peer stops, false after the wait
  void serve(T_ASC_Association* association);
  void answer(T_ASC_Association* association, T_ASC_PresentationContextID presID,
              T_DIMSE_Message& message);
  bool answerHostile(T_ASC_Association* association, T_ASC_PresentationContextID presID,
                     const T_DIMSE_Message& message);

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
