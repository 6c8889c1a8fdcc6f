#include "ResultGrid.h"

#include <QHeaderView>
#include <algorithm>
#include <stdexcept>

namespace search {

int ResultGrid::SortKeys::position(int column) const {
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    if (keys_[i].column == column) return static_cast<int>(i) + 1;
  }
  return 0;
}

ResultGrid::SortKeys::Key& ResultGrid::SortKeys::at(int position) {
  if (position < 1 || position > count()) {
    throw std::out_of_range("There is no sort key at this position.");
  }
  return keys_[static_cast<std::size_t>(position - 1)];
}

void ResultGrid::SortKeys::setKey(int position, int column) {
  if (position == count() + 1) {
    keys_.push_back(Key{column, Direction::Ascending, SortType::Text});
    return;
  }
  at(position).column = column;
}

void ResultGrid::SortKeys::setDirection(int position, Direction direction) {
  at(position).direction = direction;
}

void ResultGrid::SortKeys::setComparison(int position, SortType type) {
  at(position).type = type;
}

ResultGrid::ResultGrid(QWidget* parent) : QTableWidget(parent) {
  // Display options: whole rows selected, one at a time, read-only cells,
  // grid lines, a clickable header, and no row header.
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setShowGrid(true);
  horizontalHeader()->setSectionsClickable(true);
  verticalHeader()->setVisible(false);
  setWordWrap(false);
  setSortingEnabled(false);
  horizontalHeader()->setDefaultSectionSize(kDefaultColumnWidth);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  horizontalHeader()->setHighlightSections(false);

  connect(horizontalHeader(), &QHeaderView::sectionClicked, this,
          [this](int logical) { emit columnHeaderClick(logical + 1); });
  connect(this, &QTableWidget::cellDoubleClicked, this,
          [this](int row, int column) { emit rowDoubleClick(row + 1, column + 1); });
}

void ResultGrid::setRedraw(bool on) {
  redrawOff_ = !on;
  setUpdatesEnabled(on);
  if (on && geometriesDue_) updateGeometries();
}

void ResultGrid::updateGeometries() {
  geometriesDue_ = redrawOff_;
  if (!geometriesDue_) QTableWidget::updateGeometries();
}

void ResultGrid::checkColumn(int column) const {
  if (column < 1 || column > static_cast<int>(columns_.size())) {
    throw std::out_of_range("There is no such column.");
  }
}

int ResultGrid::addColumn(const QString& key, const QString& header, Qt::Alignment alignment,
                          int width, bool shown) {
  const int index = columnCount();
  setColumnCount(index + 1);
  auto* item = new QTableWidgetItem(header);
  item->setTextAlignment(alignment | Qt::AlignVCenter);
  setHorizontalHeaderItem(index, item);
  setColumnWidth(index, width < 0 ? kDefaultColumnWidth : width);
  setColumnHidden(index, !shown);
  columns_.push_back(Column{key, QString(""), alignment, SortType::Text});
  return index + 1;
}

int ResultGrid::columnByKey(const QString& key) const {
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    if (columns_[i].key == key) return static_cast<int>(i) + 1;
  }
  return 0;
}

QString ResultGrid::columnKey(int column) const {
  checkColumn(column);
  return columns_[static_cast<std::size_t>(column - 1)].key;
}

QString ResultGrid::columnTag(int column) const {
  checkColumn(column);
  return columns_[static_cast<std::size_t>(column - 1)].tag;
}

void ResultGrid::setColumnTag(int column, const QString& tag) {
  checkColumn(column);
  columns_[static_cast<std::size_t>(column - 1)].tag = tag;
}

ResultGrid::SortType ResultGrid::columnSortType(int column) const {
  checkColumn(column);
  return columns_[static_cast<std::size_t>(column - 1)].sortType;
}

void ResultGrid::sort() {
  const auto& keys = sortKeys_.keys();
  for (const auto& key : keys) checkColumn(key.column);
  const int rows = rowCount();
  const int columns = columnCount();
  if (rows < 2 || keys.empty()) return;

  // Take every row out whole, order the rows, and put them back.
  std::vector<std::vector<QTableWidgetItem*>> table(static_cast<std::size_t>(rows));
  for (int r = 0; r < rows; ++r) {
    auto& row = table[static_cast<std::size_t>(r)];
    row.reserve(static_cast<std::size_t>(columns));
    for (int c = 0; c < columns; ++c) row.push_back(takeItem(r, c));
  }
  auto text = [](const std::vector<QTableWidgetItem*>& row, int column) {
    const QTableWidgetItem* item = row[static_cast<std::size_t>(column - 1)];
    return item ? item->text() : QString();
  };
  std::stable_sort(table.begin(), table.end(), [&](const auto& a, const auto& b) {
    for (const auto& key : keys) {
      const int order = QString::compare(text(a, key.column), text(b, key.column));
      if (order == 0) continue;
      return key.direction == Direction::Descending ? order > 0 : order < 0;
    }
    return false;
  });
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      setItem(r, c, table[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)]);
    }
  }
}

QString ResultGrid::cellText(int row, int column) const {
  if (row < 1 || row > rowCount() || column < 1 || column > columnCount()) return QString("");
  const QTableWidgetItem* cell = item(row - 1, column - 1);
  return cell ? cell->text() : QString("");
}

void ResultGrid::clearRows() {
  clearContents();
  setRowCount(0);
}

int ResultGrid::addRow() {
  const int row = rowCount();
  insertRow(row);
  return row + 1;
}

void ResultGrid::setCell(int row, int column, const QString& value, std::optional<int> alignment) {
  checkColumn(column);
  if (row < 1 || row > rowCount()) throw std::out_of_range("There is no such row.");
  const Qt::Alignment horizontal = alignment && *alignment == kCentred
                                       ? Qt::AlignHCenter
                                       : columns_[static_cast<std::size_t>(column - 1)].alignment;
  if (QTableWidgetItem* cell = item(row - 1, column - 1)) {
    cell->setText(value);
    cell->setTextAlignment(horizontal | Qt::AlignVCenter);
    return;
  }
  // A new cell is complete before it joins the table, which then tells its
  // view once instead of for every property.
  auto* cell = new QTableWidgetItem(value);
  cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  cell->setTextAlignment(horizontal | Qt::AlignVCenter);
  setItem(row - 1, column - 1, cell);
}

}  // namespace search
