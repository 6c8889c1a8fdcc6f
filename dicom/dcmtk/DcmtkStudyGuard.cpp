#include "DcmtkStudyGuard.h"

#include <algorithm>

namespace dicom::dcmtk {
namespace {

const char* const kChecking = "the station is checking labels and did not ask for it";

}  // namespace

StudyGuard::StudyGuard(Limits limits) : limits_(limits) {}

StudyGuard::Retrieval StudyGuard::makeRetrieval(const std::string& studyUID,
                                                const std::string& archiveAE) {
  Retrieval retrieval;
  retrieval.studyUID = studyUID;
  retrieval.archiveAE = archiveAE;
  retrieval.since = generation_.load();
  return retrieval;
}

void StudyGuard::expect(const std::string& studyUID, const std::string& archiveAE) {
  std::lock_guard lock(mutex_);
  generation_ += 1;
  expectedSince_ = generation_.load();
  expected_.reset();
  ahead_.reset();
  if (!studyUID.empty()) expected_ = makeRetrieval(studyUID, archiveAE);
}

void StudyGuard::expectAhead(const std::string& studyUID, const std::string& archiveAE) {
  std::lock_guard lock(mutex_);
  generation_ += 1;
  ahead_.reset();
  if (!studyUID.empty()) ahead_ = makeRetrieval(studyUID, archiveAE);
}

bool StudyGuard::promoteAhead() {
  std::lock_guard lock(mutex_);
  if (!ahead_) return false;
  expected_ = std::move(ahead_);
  ahead_.reset();
  // Associations opened before it stay closed to it, as they were.
  expectedSince_ = expected_->since;
  return true;
}

void StudyGuard::end(const std::string& studyUID) {
  std::lock_guard lock(mutex_);
  Retrieval* retrieval = find(studyUID);
  if (retrieval == nullptr || retrieval->ended) return;
  retrieval->ended = true;
  retrieval->endedAt = Clock::now();
}

void StudyGuard::beginProbe(const QStringList& sopInstanceUIDs, const std::vector<Tag>& attributes,
                            const std::string& archiveAE) {
  std::lock_guard lock(mutex_);
  probe_ = Probe{true, archiveAE, {}, attributes, {}};
  for (const QString& uid : sopInstanceUIDs) probe_.instances.insert(uid.trimmed().toStdString());
}

std::map<QString, std::vector<DataSet>> StudyGuard::endProbe() {
  std::lock_guard lock(mutex_);
  std::map<QString, std::vector<DataSet>> copies;
  for (auto& [uid, sets] : probe_.copies) copies[QString::fromStdString(uid)] = std::move(sets);
  probe_ = Probe{};
  return copies;
}

StudyGuard::Opening StudyGuard::open(const std::string& callingAE) const {
  return {generation_.load(), Clock::now(), callingAE};
}

bool StudyGuard::keepsSlotFor(const std::string& callingAE) const {
  std::lock_guard lock(mutex_);
  if (callingAE.empty()) return false;
  if (probe_.running && callingAE == probe_.archiveAE) return true;
  for (const std::optional<Retrieval>* retrieval : {&expected_, &ahead_}) {
    if (*retrieval && !(*retrieval)->ended && callingAE == (*retrieval)->archiveAE) return true;
  }
  return false;
}

StudyGuard::Verdict StudyGuard::admit(const Opening& opening,
                                      const std::string& sopInstanceUID) const {
  std::lock_guard lock(mutex_);
  if (probe_.running && probe_.instances.count(sopInstanceUID) != 0) {
    return {Mode::Probe, 0, {}, opening.callingAE == probe_.archiveAE};
  }
  const std::vector<const Retrieval*> open = openTo(opening);
  if (open.empty()) {
    if (probe_.running) return {Mode::Refuse, 0x0124, kChecking};
    return {Mode::Refuse, 0x0124, refusalFor(opening)};
  }
  bool counts = false;
  for (const Retrieval* retrieval : open) {
    if (retrieval->instances.count(sopInstanceUID) != 0) {
      return {Mode::Refuse, 0x0111, "the retrieval received this instance already"};
    }
    counts = counts || opening.callingAE == retrieval->archiveAE;
  }
  return {Mode::Keep, 0, {}, counts};
}

QString StudyGuard::foreignStudy(const Opening& opening, const std::string& studyUID) const {
  std::lock_guard lock(mutex_);
  if (studyUID.empty()) return "it has no Study Instance UID";
  const Retrieval* retrieval = find(studyUID);
  if (retrieval == nullptr) {
    return QString("it belongs to study %1, not to the study being retrieved")
        .arg(QString::fromStdString(studyUID));
  }
  if (opening.generation < retrieval->since) {
    return "it arrived on an association opened before its retrieval began";
  }
  if (probe_.running && !isAhead(retrieval)) return kChecking;
  return closedFor(*retrieval, opening);
}

StudyGuard::Verdict StudyGuard::commit(const Opening& opening, const std::string& studyUID,
                                       const std::string& sopInstanceUID, std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  Retrieval* retrieval = find(studyUID);
  if (retrieval == nullptr || opening.generation < retrieval->since) {
    return {Mode::Refuse, 0x0124, "a new retrieval began while it arrived"};
  }
  if (probe_.running && !isAhead(retrieval)) return {Mode::Refuse, 0x0124, kChecking};
  const QString closed = closedFor(*retrieval, opening);
  if (!closed.isEmpty()) return {Mode::Refuse, 0x0124, closed};
  if (retrieval->instances.count(sopInstanceUID) != 0) {
    return {Mode::Refuse, 0x0111, "the retrieval received this instance already"};
  }
  if (retrieval->bytes + bytes > limits_.retrievalBytes) {
    return {Mode::Refuse, 0xA700,
            QString("the retrieval would exceed %1").arg(sizeText(limits_.retrievalBytes))};
  }
  retrieval->bytes += bytes;
  retrieval->instances.insert(sopInstanceUID);
  return {Mode::Keep, 0, {}, false, retrieval->since};
}

void StudyGuard::withdraw(const std::string& studyUID, const std::string& sopInstanceUID,
                          std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  Retrieval* retrieval = find(studyUID);
  if (retrieval == nullptr || retrieval->instances.erase(sopInstanceUID) == 0) return;
  retrieval->bytes -= std::min(retrieval->bytes, bytes);
}

void StudyGuard::addProgress(const std::string& studyUID, bool probe, std::uint64_t bytes) {
  if (probe) {
    progress_ += bytes;
    return;
  }
  std::lock_guard lock(mutex_);
  Retrieval* retrieval = find(studyUID);
  if (retrieval == nullptr) return;
  retrieval->progress += bytes;
  if (!isAhead(retrieval)) progress_ += bytes;
}

std::uint64_t StudyGuard::progressOf(const std::string& studyUID) const {
  std::lock_guard lock(mutex_);
  const Retrieval* retrieval = find(studyUID);
  return retrieval == nullptr ? 0 : retrieval->progress;
}

bool StudyGuard::holds(std::uint64_t retrieval) const {
  std::lock_guard lock(mutex_);
  return (expected_ && expected_->since == retrieval) || (ahead_ && ahead_->since == retrieval);
}

std::vector<Tag> StudyGuard::probeAttributes() const {
  std::lock_guard lock(mutex_);
  return probe_.attributes;
}

void StudyGuard::addProbeCopy(const std::string& sopInstanceUID, DataSet copy) {
  std::lock_guard lock(mutex_);
  if (probe_.running) probe_.copies[sopInstanceUID].push_back(std::move(copy));
}

QString StudyGuard::closedFor(const Retrieval& retrieval, const Opening& opening) const {
  if (!retrieval.ended) return QString();
  if (opening.at >= retrieval.endedAt) return "it arrived after the retrieval had ended";
  if (Clock::now() >= retrieval.endedAt + std::chrono::seconds(limits_.graceSeconds)) {
    return QString("the retrieval ended more than %1 s before").arg(limits_.graceSeconds);
  }
  return QString();
}

QString StudyGuard::refusalFor(const Opening& opening) const {
  if (opening.generation < expectedSince_) {
    return "it arrived on an association opened before the current retrieval";
  }
  const Retrieval* retrieval = expected_ ? &*expected_ : ahead_ ? &*ahead_ : nullptr;
  if (retrieval == nullptr) return "no retrieval is running";
  if (opening.generation < retrieval->since) {
    return "it arrived on an association opened before the current retrieval";
  }
  return closedFor(*retrieval, opening);
}

StudyGuard::Retrieval* StudyGuard::find(const std::string& studyUID) {
  if (expected_ && expected_->studyUID == studyUID) return &*expected_;
  if (ahead_ && ahead_->studyUID == studyUID) return &*ahead_;
  return nullptr;
}

const StudyGuard::Retrieval* StudyGuard::find(const std::string& studyUID) const {
  return const_cast<StudyGuard*>(this)->find(studyUID);
}

bool StudyGuard::isAhead(const Retrieval* retrieval) const {
  return ahead_ && retrieval == &*ahead_;
}

// During a read-back only the study fetched ahead goes on arriving.
std::vector<const StudyGuard::Retrieval*> StudyGuard::openTo(const Opening& opening) const {
  std::vector<const Retrieval*> open;
  for (const std::optional<Retrieval>* retrieval : {&expected_, &ahead_}) {
    if (probe_.running && retrieval == &expected_) continue;
    if (*retrieval && opening.generation >= (*retrieval)->since &&
        closedFor(**retrieval, opening).isEmpty()) {
      open.push_back(&**retrieval);
    }
  }
  return open;
}

QString sizeText(std::uint64_t bytes) {
  if (bytes >= (1u << 20)) return QString("%1 MiB").arg(bytes >> 20);
  return QString("%1 bytes").arg(bytes);
}

}  // namespace dicom::dcmtk
