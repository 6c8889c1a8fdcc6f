// The search window itself: its state when opened, the criteria fields'
// entry behaviour (sex codes, Enter, select on focus, the date pickers,
// wildcard collapse with its change events), the grid's layout on resizing, and
// sorting the rows by a clicked column header.

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include "SearchFixture.h"

using searchtest::Fixture;
using searchtest::study;

class SearchWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<Fixture> f;

  void showActive() {
    f->window->show();
    f->window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(f->window.get()));
  }

  // The named control that holds the focus.
  QString focusedControl() const {
    const auto& w = *f->window;
    const QList<QWidget*> controls = {w.txtPatID, w.dtpStudyDate, w.cboSex,       w.dtpBirth,
                                      w.txtName2, w.txtName1,     w.txtStudyDesc, w.cmdSearch,
                                      w.grid1,    w.txtAccNum};
    for (QWidget* widget = QApplication::focusWidget(); widget; widget = widget->parentWidget()) {
      if (controls.contains(widget)) return widget->objectName();
    }
    return "(none)";
  }

  // Four studies whose patient IDs, names and dates sort differently.
  std::vector<dicom::DataSet> fourStudies() {
    return {study("1.1", "P3", "Baker^Ann", "20240103"), study("1.2", "P1", "Dunn^Eve", "20240101"),
            study("1.3", "P4", "Adams^Joy", "20240101"),
            study("1.4", "P2", "Clark^Sue", "20240102")};
  }

  void clickHeader(int column) {
    QHeaderView* header = f->window->grid1->horizontalHeader();
    const int x = header->sectionViewportPosition(column - 1) + header->sectionSize(column - 1) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
  }

 private slots:
  void init() { f = std::make_unique<Fixture>(); }
  void cleanup() { f.reset(); }

  // The window as it opens, in one grouped look: frame, captions, empty
  // criteria, the sex codes, and the grid's ten columns.
  void layoutAtLoad() {
    auto& w = *f->window;
    QCOMPARE(w.windowTitle(), QString("Brevant: Search"));
    QCOMPARE(w.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                                Qt::WindowCloseButtonHint),
             Qt::WindowFlags(Qt::WindowCloseButtonHint));
    QVERIFY(!w.windowIcon().isNull());
    QStringList captions;
    for (QLabel* label : w.lblSearch) captions << label->text();
    captions << w.lblAcc->text() << w.cmdSearch->text();
    QCOMPARE(captions,
             (QStringList{"Patienten - ID:", "Studydate:", "Sex:", "Date of birth:", "Name:",
                          "Surname:", "Study Description:", "Accession Number", "Search"}));
    QVERIFY(w.cmdSearch->isDefault());
    for (QLineEdit* box :
         {w.txtPatID, w.txtName1, w.txtName2, w.txtStudyDesc, w.txtAccNum, w.txtPatName}) {
      QVERIFY(box->text().isEmpty());
    }
    QVERIFY(w.txtPatName->isHidden());
    for (search::DatePicker* picker : {w.dtpStudyDate, w.dtpBirth}) {
      QVERIFY(!picker->value().has_value());
      QCOMPARE(picker->shownDate(), QDate::currentDate());
    }
    QStringList sexCodes;
    for (int i = 0; i < w.cboSex->count(); ++i) sexCodes << w.cboSex->itemText(i);
    QCOMPARE(sexCodes, (QStringList{"O", "M", "F"}));
    QCOMPARE(w.cboSex->currentText(), QString(""));

    auto& grid = *w.grid1;
    QStringList columns;
    for (int c = 1; c <= grid.columnCount(); ++c) {
      QCOMPARE(grid.columnKey(c), QString("COLUMN%1").arg(c));
      columns << QString("%1 %2")
                     .arg(grid.horizontalHeaderItem(c - 1)->text())
                     .arg(grid.isColumnHidden(c - 1) ? 0 : grid.columnWidth(c - 1));
    }
    QCOMPARE(columns, (QStringList{"ID 0", "Study Date 110", "Patient ID 150", "Name 200", "Sex 35",
                                   "Date of Brith 100", "Time 100", "Study Description 160",
                                   "Accession Number 200", "Modality 100"}));
    QCOMPARE(grid.rowCount(), 0);
    QVERIFY(!grid.isSortingEnabled());

    QCOMPARE(w.frameGeometry().width(), 867);
    QCOMPARE(w.pos(), QGuiApplication::primaryScreen()->availableGeometry().topLeft());
  }

  void tabOrderAndClose() {
    showActive();
    QCOMPARE(focusedControl(), QString("txtPatID"));
    QStringList visited = {focusedControl()};
    for (int i = 0; i < 20 && visited.size() < 11; ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      if (focusedControl() != visited.last()) visited << focusedControl();
    }
    const QStringList expected = {"txtPatID", "dtpStudyDate", "cboSex",       "dtpBirth",
                                  "txtName2", "txtName1",     "txtStudyDesc", "cmdSearch",
                                  "grid1",    "txtAccNum",    "txtPatID"};
    QCOMPARE(visited, expected);
    QVERIFY(f->window->close());
    QVERIFY(!f->window->isVisible());
  }

  // Only O, M and F are taken, upper-cased, replacing the code; backspace clears it.
  void sexKeys() {
    QComboBox* box = f->window->cboSex;
    QLineEdit* edit = box->lineEdit();
    const auto type = [&](QWidget* target, auto key, Qt::KeyboardModifiers modifiers = {}) {
      QTest::keyClick(target, key, modifiers);
      return box->currentText();
    };
    QCOMPARE(type(box, 'm'), QString("M"));
    QCOMPARE(edit->cursorPosition(), 1);
    QCOMPARE(type(box, 'x'), QString("M"));
    QCOMPARE(type(box, '7'), QString("M"));
    QCOMPARE(type(box, 'f'), QString("F"));
    QCOMPARE(type(box, 'O', Qt::ShiftModifier), QString("O"));
    QCOMPARE(type(box, Qt::Key_Backspace), QString(""));
    QCOMPARE(type(edit, 'o'), QString("O"));  // typed into the line itself
    edit->setCursorPosition(0);
    QCOMPARE(type(edit, Qt::Key_Backspace), QString(""));
    QCOMPARE(box->count(), 3);
  }

  void enterInACriteriaFieldSearches() {
    showActive();
    f->window->txtPatID->setFocus();
    QTest::keyClicks(f->window->txtPatID, "P1");
    QTest::keyClick(f->window->txtPatID, Qt::Key_Return);
    QCOMPARE(f->toolkit.script.queries.size(), std::size_t(1));
    QCOMPARE(f->toolkit.script.queries[0].identifier.patientID(), QString("P1"));
    QCOMPARE(QApplication::focusWidget(), f->window->cmdSearch);
  }

  // Each pass of the collapse is one change of the field, seen by its handlers.
  void replaceRepeatedRaisesChangeEvents() {
    auto& w = *f->window;
    w.txtName2->setText("*****");
    QSignalSpy changes(w.txtName2, &QLineEdit::textChanged);
    w.ReplaceRepeated(*w.txtName2, "**", "*");
    QCOMPARE(w.txtName2->text(), QString("*"));
    QCOMPARE(w.txtPatName->text(), QString("*"));
    QCOMPARE(changes.count(), 3);  // five, three, two, one
    w.ReplaceRepeated(*w.txtName2, "%%", "%");
    QCOMPARE(changes.count(), 3);
  }

  void selectAllOnFocus() {
    showActive();
    auto& w = *f->window;
    w.txtAccNum->setText("A123");
    w.grid1->setFocus();
    QTest::keyClick(w.grid1, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), w.txtAccNum);
    QCOMPARE(w.txtAccNum->selectedText(), QString("A123"));
    // A mouse click that brings the focus selects everything too.
    w.txtName2->setText("Smith");
    QTest::mouseClick(w.txtName2, Qt::LeftButton, {}, QPoint(10, w.txtName2->height() / 2));
    QTRY_COMPARE_WITH_TIMEOUT(w.txtName2->selectedText(), QString("Smith"), 2000);
    QCOMPARE(QApplication::focusWidget(), w.txtName2);
  }

  void datePickerValue() {
    search::DatePicker* picker = f->window->dtpBirth;
    picker->checkBox()->setChecked(true);
    QCOMPARE(picker->value(), std::optional<QDate>(QDate::currentDate()));
    picker->checkBox()->setChecked(false);
    QVERIFY(!picker->value());
    picker->dateEdit()->setDate(QDate(1960, 3, 5));  // a date chosen by hand ticks the box
    QCOMPARE(picker->value(), std::optional<QDate>(QDate(1960, 3, 5)));
    picker->setValue(std::nullopt);
    QVERIFY(!picker->value());
    QCOMPARE(picker->shownDate(), QDate(1960, 3, 5));
  }

  // The grid keeps its margins to the window's right and bottom edges; a
  // window lower than the criteria area leaves its height as it was.
  void gridFollowsTheWindowSize() {
    showActive();
    auto& w = *f->window;
    auto* grid = w.grid1;
    const QSize frame = w.frameGeometry().size() - w.size();
    w.resize(QSize(800, 600) - frame);
    QTRY_COMPARE_WITH_TIMEOUT(w.frameGeometry().size(), QSize(800, 600), 2000);
    const QSize size = grid->size();
    QVERIFY(grid->geometry().right() < w.width() && grid->geometry().bottom() < w.height());
    w.resize(QSize(900, 700) - frame);
    QTRY_COMPARE_WITH_TIMEOUT(grid->size(), size + QSize(100, 100), 2000);
    w.resize(QSize(900, 150) - frame);
    QTRY_COMPARE_WITH_TIMEOUT(w.frameGeometry().height(), 150, 2000);
    QCOMPARE(grid->size(), size + QSize(100, 100));
  }

  // Header clicks ("s": a new search with the same four studies) and the
  // patient IDs after them. Each column alternates on its own, starting
  // ascending; rows that compare equal keep their order; a new search keeps
  // every column's direction.
  void headerClicks_data() {
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QStringList>("ids");
    QTest::newRow("none") << "" << QStringList{"P3", "P1", "P4", "P2"};
    QTest::newRow("id") << "3" << QStringList{"P1", "P2", "P3", "P4"};
    QTest::newRow("id twice") << "3 3" << QStringList{"P4", "P3", "P2", "P1"};
    QTest::newRow("id three times") << "3 3 3" << QStringList{"P1", "P2", "P3", "P4"};
    QTest::newRow("name") << "4" << QStringList{"P4", "P3", "P2", "P1"};
    QTest::newRow("name, id, name") << "4 3 4" << QStringList{"P1", "P2", "P3", "P4"};
    QTest::newRow("id, then date: stable") << "3 2" << QStringList{"P1", "P4", "P2", "P3"};
    QTest::newRow("date twice: stable") << "3 2 2" << QStringList{"P3", "P2", "P1", "P4"};
    QTest::newRow("second search") << "3 s" << QStringList{"P3", "P1", "P4", "P2"};
    QTest::newRow("second search, id") << "3 s 3" << QStringList{"P4", "P3", "P2", "P1"};
  }
  void headerClicks() {
    QFETCH(QString, steps);
    QFETCH(QStringList, ids);
    showActive();
    f->searchListing(fourStudies());
    for (const QString& step : steps.split(' ', Qt::SkipEmptyParts)) {
      if (step == "s") {
        f->searchListing(fourStudies());
      } else {
        clickHeader(step.toInt());
      }
    }
    QCOMPARE(f->column(3), ids);
    // Every row kept its cells, the hidden study UID too.
    const std::map<QString, QString> uidOf = {
        {"P3", "1.1"}, {"P1", "1.2"}, {"P4", "1.3"}, {"P2", "1.4"}};
    for (int row = 1; row <= 4; ++row) {
      QCOMPARE(f->window->grid1->cellText(row, 1), uidOf.at(f->window->grid1->cellText(row, 3)));
    }
    QVERIFY(QApplication::overrideCursor() == nullptr);
  }

  // Plain text comparison; the "No data" row stays alone.
  void sortsTextAsItStands() {
    showActive();
    f->searchListing(
        {study("2.1", "p10", "a^a"), study("2.2", "P9", "b^b"), study("2.3", "P10", "c^c")});
    clickHeader(3);
    QCOMPARE(f->column(3), (QStringList{"P10", "P9", "p10"}));
    f->searchListing({});
    clickHeader(2);
    clickHeader(5);
    QCOMPARE(f->column(2), QStringList{"No data"});
  }
};

QTEST_MAIN(SearchWindowTest)
#include "SearchWindowTest.moc"
