#include "DcmtkStudyGuard.h"

#include <algorithm>

namespace dicom::dcmtk {

StudyGuard::StudyGuard(Limits limits) : limits_(limits) {}

void StudyGuard::expect(const std::string& studyUID, const std::string& archiveAE) {
  std::lock_guard lock(mutex_);
  generation_ += 1;
  retrievals_.clear();
  if (studyUID.empty()) return;
  Retrieval retrieval;
  retrieval.studyUID = studyUID;
  retrieval.archiveAE = archiveAE;
  retrievals_.push_back(std::move(retrieval));
}

void StudyGuard::end(const std::string& studyUID) {
  std::lock_guard lock(mutex_);
  for (Retrieval& retrieval : retrievals_) {
    if (retrieval.studyUID != studyUID || retrieval.ended) continue;
    retrieval.ended = true;
    retrieval.endedAt = Clock::now();
  }
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
  const Retrieval* retrieval = current();
  return retrieval != nullptr && !retrieval->ended && callingAE == retrieval->archiveAE;
}

StudyGuard::Verdict StudyGuard::admit(const Opening& opening,
                                      const std::string& sopInstanceUID) const {
  std::lock_guard lock(mutex_);
  if (probe_.running) {
    if (probe_.instances.count(sopInstanceUID) != 0) {
      return {Mode::Probe, 0, {}, opening.callingAE == probe_.archiveAE};
    }
    return {Mode::Refuse, 0x0124, "the station is checking labels and did not ask for it"};
  }
  if (opening.generation != generation_.load()) {
    return {Mode::Refuse, 0x0124,
            "it arrived on an association opened before the current retrieval"};
  }
  const Retrieval* retrieval = current();
  if (retrieval == nullptr) return {Mode::Refuse, 0x0124, "no retrieval is running"};
  const QString closed = closedFor(*retrieval, opening);
  if (!closed.isEmpty()) return {Mode::Refuse, 0x0124, closed};
  if (retrieval->instances.count(sopInstanceUID) != 0) {
    return {Mode::Refuse, 0x0111, "the retrieval received this instance already"};
  }
  return {Mode::Keep, 0, {}, opening.callingAE == retrieval->archiveAE};
}

QString StudyGuard::foreignStudy(const std::string& studyUID) const {
  std::lock_guard lock(mutex_);
  if (studyUID.empty()) return "it has no Study Instance UID";
  const bool expected = std::any_of(retrievals_.begin(), retrievals_.end(),
                                    [&](const Retrieval& r) { return r.studyUID == studyUID; });
  if (expected) return QString();
  return QString("it belongs to study %1, not to the study being retrieved")
      .arg(QString::fromStdString(studyUID));
}

StudyGuard::Verdict StudyGuard::commit(const Opening& opening, const std::string& studyUID,
                                       const std::string& sopInstanceUID, std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  auto retrieval = std::find_if(retrievals_.begin(), retrievals_.end(),
                                [&](const Retrieval& r) { return r.studyUID == studyUID; });
  if (opening.generation != generation_.load() || retrieval == retrievals_.end()) {
    return {Mode::Refuse, 0x0124, "a new retrieval began while it arrived"};
  }
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
  return {Mode::Keep, 0, {}};
}

void StudyGuard::withdraw(const std::string& studyUID, const std::string& sopInstanceUID,
                          std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  for (Retrieval& retrieval : retrievals_) {
    if (retrieval.studyUID != studyUID || retrieval.instances.erase(sopInstanceUID) == 0) continue;
    retrieval.bytes -= std::min(retrieval.bytes, bytes);
  }
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

const StudyGuard::Retrieval* StudyGuard::current() const {
  return retrievals_.empty() ? nullptr : &retrievals_.front();
}

QString sizeText(std::uint64_t bytes) {
  if (bytes >= (1u << 20)) return QString("%1 MiB").arg(bytes >> 20);
  return QString("%1 bytes").arg(bytes);
}

}  // namespace dicom::dcmtk
