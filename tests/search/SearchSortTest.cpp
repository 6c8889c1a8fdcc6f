// Sorting the result rows by a clicked column header.

#include <QHeaderView>
#include <QtTest>

#include "SearchFixture.h"

using searchtest::Fixture;
using searchtest::study;

class SearchSortTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<Fixture> f;

  // Four studies whose patient IDs and names sort differently.
  std::vector<dicom::DataSet> fourStudies() {
    return {study("1.1", "P3", "Baker^Ann", "20240103"), study("1.2", "P1", "Dunn^Eve", "20240101"),
            study("1.3", "P4", "Adams^Joy", "20240101"),
            study("1.4", "P2", "Clark^Sue", "20240102")};
  }

  QStringList ids() const { return f->column(3); }

  // Which study each row belongs to: patient ID and UID kept together.
  void expectRowsIntact() {
    const std::map<QString, QString> uidOf = {
        {"P3", "1.1"}, {"P1", "1.2"}, {"P4", "1.3"}, {"P2", "1.4"}};
    for (int row = 1; row <= f->window->grid1->rowCount(); ++row) {
      QCOMPARE(f->window->grid1->cellText(row, 1), uidOf.at(f->window->grid1->cellText(row, 3)));
    }
  }

  void clickHeader(int column) {
    QHeaderView* header = f->window->grid1->horizontalHeader();
    const int x = header->sectionViewportPosition(column - 1) + header->sectionSize(column - 1) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
  }

 private slots:
  void init() {
    f = std::make_unique<Fixture>();
    f->searchListing(fourStudies());
    QCOMPARE(ids(), (QStringList{"P3", "P1", "P4", "P2"}));
  }
  void cleanup() { f.reset(); }

  void alternatesOnRepeatedClicks() {
    f->window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->window.get()));
    clickHeader(3);
    QCOMPARE(ids(), (QStringList{"P1", "P2", "P3", "P4"}));
    QCOMPARE(f->window->grid1->columnTag(3), QString("DESC"));
    clickHeader(3);
    QCOMPARE(ids(), (QStringList{"P4", "P3", "P2", "P1"}));
    QCOMPARE(f->window->grid1->columnTag(3), QString(""));
    clickHeader(3);
    QCOMPARE(ids(), (QStringList{"P1", "P2", "P3", "P4"}));
    expectRowsIntact();
    QVERIFY(QApplication::overrideCursor() == nullptr);
  }

  void eachColumnKeepsItsOwnDirection() {
    f->window->grid1_ColumnHeaderClick(4);  // Name ascending
    QCOMPARE(f->column(4), (QStringList{"Adams Joy", "Baker Ann", "Clark Sue", "Dunn Eve"}));
    f->window->grid1_ColumnHeaderClick(3);  // Patient ID ascending
    QCOMPARE(ids(), (QStringList{"P1", "P2", "P3", "P4"}));
    f->window->grid1_ColumnHeaderClick(4);  // Name descending
    QCOMPARE(f->column(4), (QStringList{"Dunn Eve", "Clark Sue", "Baker Ann", "Adams Joy"}));
    expectRowsIntact();
  }

  void sortIsStableByTheClickedColumnAlone() {
    f->window->grid1_ColumnHeaderClick(3);  // P1 P2 P3 P4
    f->window->grid1_ColumnHeaderClick(2);  // by study date; equal dates keep their order
    QCOMPARE(ids(), (QStringList{"P1", "P4", "P2", "P3"}));
    f->window->grid1_ColumnHeaderClick(2);  // descending; equal dates still keep their order
    QCOMPARE(ids(), (QStringList{"P3", "P2", "P1", "P4"}));
    expectRowsIntact();
  }

  void plainTextComparison() {
    f->searchListing(
        {study("2.1", "p10", "a^a"), study("2.2", "P9", "b^b"), study("2.3", "P10", "c^c")});
    f->window->grid1_ColumnHeaderClick(3);
    QCOMPARE(ids(), (QStringList{"P10", "P9", "p10"}));
  }

  void directionSurvivesANewSearch() {
    f->window->grid1_ColumnHeaderClick(3);  // ascending, next is descending
    f->searchListing(fourStudies());
    QCOMPARE(ids(), (QStringList{"P3", "P1", "P4", "P2"}));
    f->window->grid1_ColumnHeaderClick(3);
    QCOMPARE(ids(), (QStringList{"P4", "P3", "P2", "P1"}));
  }

  void noDataRowStaysAlone() {
    f->searchListing({});
    f->window->grid1_ColumnHeaderClick(2);
    f->window->grid1_ColumnHeaderClick(5);
    QCOMPARE(f->window->grid1->rowCount(), 1);
    QCOMPARE(f->window->grid1->cellText(1, 2), QString("No data"));
  }

  void retrievalAfterSortingTakesThatRowsStudy() {
    f->window->grid1_ColumnHeaderClick(4);  // Adams (1.3) first
    f->window->grid1_RowDoubleClick(1, 4);
    QCOMPARE(f->toolkit.script.queries.back().kind, fake::QueryCall::Move);
    QCOMPARE(f->toolkit.script.queries.back().studyUID, QString("1.3"));
  }

  void sortKeysHoldOneKey() {
    f->window->grid1_ColumnHeaderClick(4);
    f->window->grid1_ColumnHeaderClick(3);
    const auto& keys = f->window->grid1->sortKeys();
    QCOMPARE(keys.count(), 1);
    QCOMPARE(keys.position(3), 1);
    QCOMPARE(keys.position(4), 0);
  }
};

QTEST_MAIN(SearchSortTest)
#include "SearchSortTest.moc"
