#pragma once

#include <QString>
#include <QTableWidget>
#include <optional>
#include <vector>

namespace search {

// The result table of the search window. Columns and rows are numbered from
// 1, as the window addresses them. Sorting is the grid's own (stable, by its
// sort keys); the table's built-in sorting stays off so that rows
// only move when the window asks for it.
class ResultGrid : public QTableWidget {
  Q_OBJECT
 public:
  // The comparison a column sorts with. Text compares the cell texts as they stand.
  enum class SortType { Text };
  enum class Direction { Ascending = 1, Descending = 2 };
  // The alignment value that centres a cell; any other value is the default.
  static constexpr int kCentred = 1;
  // Width of a column added without one of its own.
  static constexpr int kDefaultColumnWidth = 64;

  // The keys the grid sorts by, positions 1 to count.
  class SortKeys {
   public:
    void clear() { keys_.clear(); }
    // The 1-based position of the column among the keys, 0 when it is none.
    int position(int column) const;
    int count() const { return static_cast<int>(keys_.size()); }
    // Makes the column the key at a position; position count + 1 appends.
    void setKey(int position, int column);
    void setDirection(int position, Direction direction);
    void setComparison(int position, SortType type);

    struct Key {
      int column = 0;
      Direction direction = Direction::Ascending;
      SortType type = SortType::Text;
    };
    const std::vector<Key>& keys() const { return keys_; }

   private:
    Key& at(int position);
    std::vector<Key> keys_;
  };

  explicit ResultGrid(QWidget* parent = nullptr);

  // Adds a column at the end and returns its number. A width below 0 takes
  // the default width.
  int addColumn(const QString& key, const QString& header, Qt::Alignment alignment, int width = -1,
                bool shown = true);
  // The column number of a key, 0 when no column has it.
  int columnByKey(const QString& key) const;
  QString columnKey(int column) const;

  QString columnTag(int column) const;
  void setColumnTag(int column, const QString& tag);
  SortType columnSortType(int column) const;

  SortKeys& sortKeys() { return sortKeys_; }
  // Reorders all rows by its sort keys; every row keeps its cells,
  // the hidden ones too. Rows that compare equal keep their order.
  void sort();

  // The text of a cell; empty for a cell that holds nothing or lies outside the grid.
  QString cellText(int row, int column) const;
  void clearRows();
  // Adds an empty row at the end and returns its number.
  int addRow();
  // Sets a cell's text; with kCentred as alignment the text is centred,
  // otherwise it takes its column's alignment.
  void setCell(int row, int column, const QString& value, std::optional<int> alignment = {});
  // Drawing off while many rows are added, and on again. While it is off
  // the grid also leaves its headers and scroll bars as they are (working
  // them out again for every row added costs more than the row itself);
  // switched on, it brings them up to date once.
  void setRedraw(bool on);
  bool redraw() const { return !redrawOff_; }

 signals:
  // A click on a column header, 1-based.
  void columnHeaderClick(int column);
  // A double-click on a row: 1-based row and column.
  void rowDoubleClick(int row, int column);

 protected:
  void updateGeometries() override;

 private:
  struct Column {
    QString key;
    QString tag;
    Qt::Alignment alignment;
    SortType sortType = SortType::Text;
  };
  void checkColumn(int column) const;

  std::vector<Column> columns_;
  SortKeys sortKeys_;
  bool redrawOff_ = false;
  bool geometriesDue_ = false;
};

}  // namespace search
