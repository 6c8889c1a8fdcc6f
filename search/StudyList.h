#pragma once

#include <QString>
#include <QStringList>
#include <map>
#include <optional>
#include <vector>

namespace search {

// What became of a study of the list since the search.
enum class StudyOutcome { Opened, Updated, NotApplied, Failed };

// The rows of the last search, in the order the search window shows them:
// the list an operator works through study after study. It outlives the
// search window; a new search replaces it. Without widgets.
class StudyList {
 public:
  struct Row {
    QString studyInstanceUID;
    QStringList cells;  // the ten cells of the result grid, column 1 first
  };

  // A new search: these rows, no study current, nothing handled yet.
  void replace(std::vector<Row> rows);
  // The same rows in another order (the grid was sorted).
  void reorder(const QStringList& studyInstanceUIDs);

  int count() const { return static_cast<int>(rows_.size()); }
  const std::vector<Row>& rows() const { return rows_; }
  // The 0-based index of a study, none when it is not in the list.
  std::optional<int> indexOf(const QString& studyInstanceUID) const;

  // The study on display, when it is one of the list.
  void setCurrent(const QString& studyInstanceUID);
  std::optional<int> current() const { return current_; }
  // The study after, or before, the current one; none at the list's end.
  std::optional<QString> next() const { return neighbour(+1); }
  std::optional<QString> previous() const { return neighbour(-1); }

  // What happened to a study; relabelled counts the images an update
  // confirmed. A study not in the list is ignored.
  void record(const QString& studyInstanceUID, StudyOutcome outcome, int relabelled = 0);
  // "opened", "updated, 3 relabelled", "not applied", "failed"; empty for
  // a study not handled since the search.
  QString status(const QString& studyInstanceUID) const;

 private:
  std::optional<QString> neighbour(int step) const;

  std::vector<Row> rows_;
  std::optional<int> current_;
  std::map<QString, QString> status_;
};

}  // namespace search
