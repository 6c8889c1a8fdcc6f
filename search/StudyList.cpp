#include "StudyList.h"

#include <algorithm>

namespace search {

void StudyList::replace(std::vector<Row> rows) {
  rows_ = std::move(rows);
  current_.reset();
  status_.clear();
}

void StudyList::reorder(const QStringList& studyInstanceUIDs) {
  const std::optional<QString> shown =
      current_ ? std::optional<QString>(rows_[std::size_t(*current_)].studyInstanceUID)
               : std::nullopt;
  std::stable_sort(rows_.begin(), rows_.end(), [&](const Row& a, const Row& b) {
    return studyInstanceUIDs.indexOf(a.studyInstanceUID) <
           studyInstanceUIDs.indexOf(b.studyInstanceUID);
  });
  current_ = shown ? indexOf(*shown) : std::nullopt;
}

std::optional<int> StudyList::indexOf(const QString& studyInstanceUID) const {
  const auto it = std::find_if(rows_.begin(), rows_.end(), [&](const Row& row) {
    return row.studyInstanceUID == studyInstanceUID;
  });
  if (it == rows_.end()) return std::nullopt;
  return static_cast<int>(it - rows_.begin());
}

void StudyList::setCurrent(const QString& studyInstanceUID) {
  current_ = indexOf(studyInstanceUID);
}

std::optional<QString> StudyList::neighbour(int step) const {
  if (!current_) return std::nullopt;
  const int index = *current_ + step;
  if (index < 0 || index >= count()) return std::nullopt;
  return rows_[std::size_t(index)].studyInstanceUID;
}

void StudyList::record(const QString& studyInstanceUID, StudyOutcome outcome, int relabelled) {
  if (!indexOf(studyInstanceUID)) return;
  switch (outcome) {
    case StudyOutcome::Opened:
      // Opening again does not hide what an update did.
      status_.try_emplace(studyInstanceUID, "opened");
      break;
    case StudyOutcome::Updated:
      status_[studyInstanceUID] = QString("updated, %1 relabelled").arg(relabelled);
      break;
    case StudyOutcome::NotApplied:
      status_[studyInstanceUID] = "not applied";
      break;
    case StudyOutcome::Failed:
      status_[studyInstanceUID] = "failed";
      break;
  }
}

QString StudyList::status(const QString& studyInstanceUID) const {
  const auto it = status_.find(studyInstanceUID);
  return it == status_.end() ? QString() : it->second;
}

}  // namespace search
