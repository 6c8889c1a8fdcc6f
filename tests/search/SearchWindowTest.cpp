// The search window itself: its state when opened, the criteria fields'
// entry behaviour (sex codes, composed name, select on focus, wildcard
// collapse with its change events) and the grid's layout on resizing.

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
    const QList<QWidget*> controls = {
        f->window->txtPatID, f->window->dtpStudyDate, f->window->cboSex,       f->window->dtpBirth,
        f->window->txtName2, f->window->txtName1,     f->window->txtStudyDesc, f->window->cmdSearch,
        f->window->grid1,    f->window->txtAccNum};
    for (QWidget* w = QApplication::focusWidget(); w; w = w->parentWidget()) {
      if (controls.contains(w)) return w->objectName();
    }
    return "(none)";
  }

 private slots:
  void init() { f = std::make_unique<Fixture>(); }
  void cleanup() { f.reset(); }

  void loadState() {
    auto& w = *f->window;
    QCOMPARE(w.windowTitle(), QString("Brevant: Search"));
    QVERIFY(!(w.windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(w.windowFlags() & Qt::WindowCloseButtonHint);
    QVERIFY(!w.windowIcon().isNull());

    const QStringList captions = {
        "Patienten - ID:", "Studydate:",        "Sex:", "Date of birth:", "Name:",
        "Surname:",        "Study Description:"};
    for (int i = 0; i < 7; ++i)
      QCOMPARE(w.lblSearch[static_cast<std::size_t>(i)]->text(), captions[i]);
    QCOMPARE(w.lblAcc->text(), QString("Accession Number"));
    QCOMPARE(w.cmdSearch->text(), QString("Search"));
    QVERIFY(w.cmdSearch->isDefault());

    for (QLineEdit* box :
         {w.txtPatID, w.txtName1, w.txtName2, w.txtStudyDesc, w.txtAccNum, w.txtPatName}) {
      QVERIFY(box->text().isEmpty());
    }
    QVERIFY(w.txtPatName->isHidden());

    for (search::DatePicker* picker : {w.dtpStudyDate, w.dtpBirth}) {
      QVERIFY(!picker->value().has_value());
      QVERIFY(!picker->checkBox()->isChecked());
      QCOMPARE(picker->shownDate(), QDate::currentDate());
    }

    QCOMPARE(w.cboSex->count(), 3);
    QCOMPARE(w.cboSex->itemText(0), QString("O"));
    QCOMPARE(w.cboSex->itemText(1), QString("M"));
    QCOMPARE(w.cboSex->itemText(2), QString("F"));
    QCOMPARE(w.cboSex->currentText(), QString(""));

    // The outer width and the place at the top-left of the screen.
    QCOMPARE(w.frameGeometry().width(), 867);
    QCOMPARE(w.pos(), QGuiApplication::primaryScreen()->availableGeometry().topLeft());
  }

  void gridColumns() {
    auto& grid = *f->window->grid1;
    QCOMPARE(grid.columnCount(), 10);
    QCOMPARE(grid.rowCount(), 0);
    const QStringList headers = {
        "ID",   "Study Date",        "Patient ID",       "Name",    "Sex", "Date of Brith",
        "Time", "Study Description", "Accession Number", "Modality"};
    const QList<int> widths = {-1, 110, 150, 200, 35, 100, 100, 160, 200, 100};
    for (int c = 1; c <= 10; ++c) {
      QCOMPARE(grid.columnKey(c), QString("COLUMN%1").arg(c));
      QCOMPARE(grid.horizontalHeaderItem(c - 1)->text(), headers[c - 1]);
      QCOMPARE(grid.columnTag(c), QString(""));
      QCOMPARE(grid.isColumnHidden(c - 1), c == 1);
      if (widths[c - 1] > 0) QCOMPARE(grid.columnWidth(c - 1), widths[c - 1]);
    }
    QVERIFY(!grid.isSortingEnabled());
  }

  void tabOrder() {
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
  }

  void sexKeys() {
    QComboBox* box = f->window->cboSex;
    QLineEdit* edit = box->lineEdit();
    QTest::keyClick(box, 'm');
    QCOMPARE(box->currentText(), QString("M"));
    QCOMPARE(edit->cursorPosition(), 1);
    QTest::keyClick(box, 'x');
    QCOMPARE(box->currentText(), QString("M"));
    QTest::keyClick(box, '7');
    QCOMPARE(box->currentText(), QString("M"));
    QTest::keyClick(box, 'f');
    QCOMPARE(box->currentText(), QString("F"));
    QTest::keyClick(box, 'O', Qt::ShiftModifier);
    QCOMPARE(box->currentText(), QString("O"));
    QCOMPARE(edit->cursorPosition(), 1);
    QTest::keyClick(box, Qt::Key_Backspace);
    QCOMPARE(box->currentText(), QString(""));
    // A letter typed into the line itself gets the same treatment.
    QTest::keyClick(edit, 'o');
    QCOMPARE(box->currentText(), QString("O"));
    QTest::keyClicks(edit, "mf");
    QCOMPARE(box->currentText(), QString("F"));
    // Backspace with the caret at the start still removes the code.
    edit->setCursorPosition(0);
    QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(box->currentText(), QString(""));
    QCOMPARE(box->count(), 3);
  }

  void enterInACriteriaFieldSearches() {
    showActive();
    f->window->txtPatID->setFocus();
    QTest::keyClicks(f->window->txtPatID, "P1");
    QTest::keyClick(f->window->txtPatID, Qt::Key_Return);
    QCOMPARE(f->toolkit.script.queries.size(), std::size_t(1));
    QCOMPARE(f->toolkit.script.queries[0].identifier.patientID(), QString("P1"));
  }

  void composedName() {
    auto& w = *f->window;
    QTest::keyClicks(w.txtName2, "Smith");
    QCOMPARE(w.txtPatName->text(), QString("Smith"));
    QTest::keyClicks(w.txtName1, "Anna");
    QCOMPARE(w.txtPatName->text(), QString("Smith^Anna"));
    w.txtName2->clear();
    QCOMPARE(w.txtPatName->text(), QString("*^Anna"));
    w.txtName1->clear();
    QCOMPARE(w.txtPatName->text(), QString(""));
    w.txtName2->setText("van Dyk");
    QCOMPARE(w.txtPatName->text(), QString("van Dyk"));
    w.txtName1->setText("  ");
    QCOMPARE(w.txtPatName->text(), QString("van Dyk^  "));
  }

  void replaceRepeatedRaisesChangeEvents() {
    auto& w = *f->window;
    w.txtName2->setText("**");
    QSignalSpy changes(w.txtName2, &QLineEdit::textChanged);
    w.ReplaceRepeated(*w.txtName2, "**", "*");
    QCOMPARE(w.txtName2->text(), QString("*"));
    QCOMPARE(w.txtPatName->text(), QString("*"));
    QCOMPARE(changes.count(), 1);

    w.txtName2->setText("*****");
    changes.clear();
    w.ReplaceRepeated(*w.txtName2, "**", "*");
    QCOMPARE(w.txtName2->text(), QString("*"));
    QCOMPARE(changes.count(), 3);  // five, three, two, one

    changes.clear();
    w.ReplaceRepeated(*w.txtName2, "%%", "%");
    QCOMPARE(changes.count(), 0);
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
    // Choosing a date by hand ticks the box.
    picker->dateEdit()->setDate(QDate(1960, 3, 5));
    QCOMPARE(picker->value(), std::optional<QDate>(QDate(1960, 3, 5)));
    picker->setValue(std::nullopt);
    QVERIFY(!picker->value());
    QCOMPARE(picker->shownDate(), QDate(1960, 3, 5));
  }

  void gridFollowsTheWindowSize() {
    showActive();
    auto& w = *f->window;
    auto* grid = w.grid1;
    // Shown, the window keeps its outer width, frame included.
    QCOMPARE(w.frameGeometry().width(), 867);
    const QSize frame = w.frameGeometry().size() - w.size();
    w.resize(QSize(800, 600) - frame);
    QTRY_COMPARE_WITH_TIMEOUT(w.frameGeometry().size(), QSize(800, 600), 2000);
    const int width = grid->width();
    const int height = grid->height();
    QCOMPARE(width, (800 * 15 - 250) / 15);
    QCOMPARE(height, 600 - 220);

    w.resize(QSize(900, 600) - frame);
    QTRY_COMPARE_WITH_TIMEOUT(grid->width(), width + 100, 2000);
    QCOMPARE(grid->height(), height);

    // Lower than the criteria area: the grid keeps its last height.
    w.resize(QSize(900, 150) - frame);
    QTRY_COMPARE_WITH_TIMEOUT(w.frameGeometry().height(), 150, 2000);
    QCOMPARE(grid->height(), height);
    QCOMPARE(grid->width(), width + 100);
    QCOMPARE(grid->pos(), QPoint(6, 183));
  }

  void closingEndsTheWindowAndANewOneStartsAfresh() {
    showActive();
    f->window->txtPatID->setText("P1");
    f->searchListing({searchtest::study("1.1", "P1", "A^B")});
    f->window->grid1_ColumnHeaderClick(3);
    QVERIFY(f->window->close());
    QVERIFY(!f->window->isVisible());

    f->window = std::make_unique<search::frmSearch>(f->toolkit, f->host);
    QCOMPARE(f->window->txtPatID->text(), QString(""));
    QCOMPARE(f->window->grid1->rowCount(), 0);
    QCOMPARE(f->window->grid1->columnTag(3), QString(""));
  }
};

QTEST_MAIN(SearchWindowTest)
#include "SearchWindowTest.moc"
