#pragma once

// What the station has asked the receiver to take, and what came of it.
// The user-interface thread changes it (a retrieval begins and ends, a
// read-back begins and ends); the association threads ask it about every
// association and every object. Free of the network: every rule of what is
// taken, refused or counted is here.

#include <QString>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "dicom/core/DataSet.h"

namespace dicom::dcmtk {

class StudyGuard {
 public:
  using Clock = std::chrono::steady_clock;
  struct Limits {
    std::uint64_t retrievalBytes = 4ull << 30;  // every object of one retrieval
    int graceSeconds = 5;  // after the move's end, for associations already open
  };
  enum class Mode { Keep, Probe, Refuse };
  struct Verdict {
    Mode mode = Mode::Refuse;
    std::uint16_t status = 0;  // the failure status when refused
    QString reason;
    bool counts = false;  // its bytes are progress of the retrieval or read-back
  };
  // An association as it opened: the retrieval it may deliver to, the time
  // it opened, the AE title it called from.
  struct Opening {
    std::uint64_t generation = 0;
    Clock::time_point at;
    std::string callingAE;
  };

  explicit StudyGuard(Limits limits);

  // --- the station's side -------------------------------------------------
  // A retrieval of this study (empty: none) from the archive with this AE
  // title begins: only its objects, on associations opened from now on.
  void expect(const std::string& studyUID, const std::string& archiveAE);
  // The retrieval's move has returned: associations already open deliver
  // for the grace, then everything is refused.
  void end(const std::string& studyUID);
  void beginProbe(const QStringList& sopInstanceUIDs, const std::vector<Tag>& attributes,
                  const std::string& archiveAE);
  std::map<QString, std::vector<DataSet>> endProbe();
  // Bytes of kept objects (or asked-back instances) from the archive.
  std::uint64_t progress() const { return progress_.load(); }
  std::uint64_t generation() const { return generation_.load(); }

  // --- the associations' side ---------------------------------------------
  Opening open(const std::string& callingAE) const;
  // True when an association from this AE title may take a slot kept for
  // the archive: a retrieval or read-back from it is running.
  bool keepsSlotFor(const std::string& callingAE) const;
  // The verdict at the command, before the data set arrives.
  Verdict admit(const Opening& opening, const std::string& sopInstanceUID) const;
  // Why an object of this study is not wanted; empty when it is.
  QString foreignStudy(const std::string& studyUID) const;
  // Takes a complete, checked object into the retrieval: a failure verdict
  // when it must be refused after all (its retrieval has ended, it passes
  // the retrieval's bytes, it arrived already).
  Verdict commit(const Opening& opening, const std::string& studyUID,
                 const std::string& sopInstanceUID, std::uint64_t bytes);
  // Takes back a committed object whose sender was never told it arrived.
  void withdraw(const std::string& studyUID, const std::string& sopInstanceUID,
                std::uint64_t bytes);
  void addProgress(std::uint64_t bytes) { progress_ += bytes; }
  // The attributes a probe asks for, and a copy read back.
  std::vector<Tag> probeAttributes() const;
  void addProbeCopy(const std::string& sopInstanceUID, DataSet copy);

 private:
  // One study being retrieved. (One at a time today; the state is kept per
  // study so that a study fetched ahead can join it.)
  struct Retrieval {
    std::string studyUID;
    std::string archiveAE;
    bool ended = false;
    Clock::time_point endedAt;
    std::uint64_t bytes = 0;
    std::set<std::string> instances;
  };
  struct Probe {
    bool running = false;
    std::string archiveAE;
    std::set<std::string> instances;
    std::vector<Tag> attributes;
    std::map<std::string, std::vector<DataSet>> copies;
  };

  // The reason the retrieval takes no more from this association; empty
  // when it does. Called with the lock held.
  QString closedFor(const Retrieval& retrieval, const Opening& opening) const;
  const Retrieval* current() const;

  Limits limits_;
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<std::uint64_t> progress_{0};
  mutable std::mutex mutex_;
  std::vector<Retrieval> retrievals_;
  Probe probe_;
};

// A byte count as the refusals name it: MiB from one on, bytes below.
QString sizeText(std::uint64_t bytes);

}  // namespace dicom::dcmtk
