#include "frmSearch.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateEdit>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <exception>

#include "common/Twips.h"
#include "dicom/core/BlockingCall.h"
#include "dicom/core/DicomError.h"
#include "dicom/core/Query.h"
#include "dicom/core/Toolkit.h"
#include "log/modError.h"
#include "search/StudyQuery.h"

namespace search {
namespace {

using common::px;
using common::tahoma;

const char* const kProcedureLabel = "cmdSearch_Click";
const char* const kTooWideText = "Please provide more specific search criteria.";
const char* const kTooWideCaption = "Tavrin";
const char* const kErrorText = "There was an error.\r\nRead the log file for more information.";
const char* const kErrorCaption = "Brevant";

// The window's own icon: a magnifying glass over a film sheet.
QIcon searchIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(40, 40, 40), 1));
  painter.setBrush(QColor(70, 70, 80));
  painter.drawRect(2, 2, 20, 24);
  painter.setBrush(QColor(220, 220, 220));
  painter.drawEllipse(QRectF(6, 8, 10, 14));
  painter.setPen(QPen(QColor(20, 60, 140), 3));
  painter.setBrush(QColor(200, 220, 255, 140));
  painter.drawEllipse(QRectF(12, 10, 12, 12));
  painter.drawLine(QPointF(22, 21), QPointF(29, 28));
  return QIcon(pixmap);
}

// Switches the grid's drawing on again however the fill ends.
class RedrawOff {
 public:
  explicit RedrawOff(ResultGrid& grid) : grid_(grid) { grid_.setRedraw(false); }
  ~RedrawOff() { grid_.setRedraw(true); }
  RedrawOff(const RedrawOff&) = delete;
  RedrawOff& operator=(const RedrawOff&) = delete;

 private:
  ResultGrid& grid_;
};

}  // namespace

frmSearch::frmSearch(dicom::Toolkit& toolkit, const ConnectionSettingsRecord& settings,
                     StationHost& host, StudyList& list, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      toolkit_(toolkit),
      settings_(settings),
      host_(host),
      list_(list) {
  showMessage = common::modalMessageBox(this);
  buildControls();
  Form_Load();
}

frmSearch::~frmSearch() = default;

void frmSearch::buildControls() {
  setWindowTitle("Brevant: Search");
  setWindowIcon(searchIcon());
  setFont(tahoma(9));
  setSizeGripEnabled(false);
  resize(px(11355), px(8370));

  fraSearch = new QFrame(this);
  fraSearch->setObjectName("fraSearch");
  fraSearch->setFrameShape(QFrame::Box);
  fraSearch->setFrameShadow(QFrame::Sunken);
  fraSearch->setFont(tahoma(8.25));
  fraSearch->setGeometry(px(90), px(45), px(8385), px(2580));

  picSearch = new QWidget(fraSearch);
  picSearch->setObjectName("picSearch");
  picSearch->setFont(tahoma(8.25));
  picSearch->setGeometry(px(135), px(225), px(8025), px(2265));
  buildCriteria();

  grid1 = new ResultGrid(this);
  grid1->setObjectName("grid1");
  grid1->setFont(tahoma(9));
  grid1->setGeometry(px(90), px(2745), px(11130), px(5550));
  wireControls();
}

void frmSearch::buildCriteria() {
  auto place = [](QWidget* widget, int left, int top, int width, int height) {
    widget->setGeometry(px(left), px(top), px(width), px(height));
  };
  auto label = [&](const QString& text, int left, int top, int width, int height) {
    auto* l = new QLabel(text, picSearch);
    place(l, left, top, width, height);
    return l;
  };
  auto textBox = [&](const char* name, int left, int top, int width, int height) {
    auto* box = new QLineEdit(picSearch);
    box->setObjectName(name);
    place(box, left, top, width, height);
    return box;
  };

  lblSearch[0] = label("Patienten - ID:", 180, 45, 1170, 210);
  txtPatID = textBox("txtPatID", 180, 315, 3030, 330);
  lblSearch[1] = label("Studydate:", 3465, 45, 870, 210);
  dtpStudyDate = new DatePicker(picSearch);
  dtpStudyDate->setObjectName("dtpStudyDate");
  place(dtpStudyDate, 3465, 315, 1635, 330);
  lblSearch[2] = label("Sex:", 5355, 45, 345, 210);
  cboSex = new QComboBox(picSearch);
  cboSex->setObjectName("cboSex");
  cboSex->setEditable(true);
  cboSex->setInsertPolicy(QComboBox::NoInsert);
  cboSex->setCompleter(nullptr);
  place(cboSex, 5355, 315, 645, 330);
  lblSearch[3] = label("Date of birth:", 6345, 45, 1080, 210);
  dtpBirth = new DatePicker(picSearch);
  dtpBirth->setObjectName("dtpBirth");
  place(dtpBirth, 6345, 315, 1635, 330);
  lblSearch[5] = label("Surname:", 180, 810, 765, 210);
  txtName2 = textBox("txtName2", 180, 1080, 3840, 330);
  lblSearch[4] = label("Name:", 4140, 810, 510, 210);
  txtName1 = textBox("txtName1", 4140, 1080, 3840, 330);
  lblSearch[6] = label("Study Description:", 180, 1530, 1485, 210);
  txtStudyDesc = textBox("txtStudyDesc", 180, 1800, 3840, 330);
  lblAcc = label("Accession Number", 4140, 1530, 1485, 210);
  txtAccNum = textBox("txtAccNum", 4140, 1800, 2490, 315);
  cmdSearch = new QPushButton("Search", picSearch);
  cmdSearch->setObjectName("cmdSearch");
  cmdSearch->setFont(tahoma(8.25));
  cmdSearch->setDefault(true);
  place(cmdSearch, 6750, 1755, 1230, 375);
  txtPatName = textBox("txtPatName", 1800, 0, 825, 270);
  txtPatName->hide();
}

void frmSearch::wireControls() {
  QWidget* order[] = {txtPatID,
                      dtpStudyDate->checkBox(),
                      dtpStudyDate->dateEdit(),
                      cboSex,
                      dtpBirth->checkBox(),
                      dtpBirth->dateEdit(),
                      txtName2,
                      txtName1,
                      txtStudyDesc,
                      cmdSearch,
                      grid1,
                      txtAccNum};
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  setTabOrder(txtAccNum, txtPatID);
  txtPatID->setFocus();

  cboSex->installEventFilter(this);
  cboSex->lineEdit()->installEventFilter(this);
  for (QLineEdit* box : {txtPatID, txtName2, txtName1, txtStudyDesc, txtAccNum}) {
    box->installEventFilter(this);
  }
  connect(txtName1, &QLineEdit::textChanged, this, [this] { BuildPatName(); });
  connect(txtName2, &QLineEdit::textChanged, this, [this] { BuildPatName(); });
  connect(cmdSearch, &QPushButton::clicked, this, [this] { cmdSearch_Click(); });
  connect(grid1, &ResultGrid::columnHeaderClick, this,
          [this](int column) { grid1_ColumnHeaderClick(column); });
  connect(grid1, &ResultGrid::rowDoubleClick, this,
          [this](int row, int column) { grid1_RowDoubleClick(row, column); });
}

void frmSearch::Form_Load() {
  const QDate today = QDate::currentDate();
  dtpStudyDate->setValue(today);
  dtpBirth->setValue(today);

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().topLeft());
  } else {
    move(0, 0);
  }
  resize(px(13000), height());

  cboSex->addItem("O");
  cboSex->addItem("M");
  cboSex->addItem("F");
  cboSex->setCurrentIndex(-1);
  cboSex->setEditText("");

  dtpBirth->setValue(std::nullopt);
  dtpStudyDate->setValue(std::nullopt);

  const Qt::Alignment left = Qt::AlignLeft;
  grid1->addColumn("COLUMN1", "ID", left, -1, false);
  grid1->addColumn("COLUMN2", "Study Date", left, 110);
  grid1->addColumn("COLUMN3", "Patient ID", left, 150);
  grid1->addColumn("COLUMN4", "Name", left, 200);
  grid1->addColumn("COLUMN5", "Sex", left, 35);
  grid1->addColumn("COLUMN6", "Date of Brith", left, 100);
  grid1->addColumn("COLUMN7", "Time", left, 100);
  grid1->addColumn("COLUMN8", "Study Description", left, 160);
  grid1->addColumn("COLUMN9", "Accession Number", left, 200);
  grid1->addColumn("COLUMN10", "Modality", left, 100);
  // What happened to each study since the search, as the list is worked.
  grid1->addColumn("COLUMN11", "Status", left, 160);
  showList();
}

void frmSearch::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // The outer width includes the frame, which is known once the window is shown.
  if (!outerWidthSet_) {
    outerWidthSet_ = true;
    const int frame = frameGeometry().width() - width();
    if (frame > 0) resize(px(13000) - frame, height());
  }
}

void frmSearch::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  Form_Resize();
}

void frmSearch::Form_Resize() {
  const QRect outer = frameGeometry();
  const int width = outer.width() * common::kTwipsPerPixel - 250;
  const int height = outer.height() * common::kTwipsPerPixel - 3300;
  // A size that cannot be set (the window made very small) keeps the previous one.
  if (width >= 0) grid1->resize(px(width), grid1->height());
  if (height >= 0) grid1->resize(grid1->width(), px(height));
}

void frmSearch::keyPressEvent(QKeyEvent* event) {
  // The window closes by its close box, its system menu or the keyboard's
  // window-close, never by Escape: that would throw away criteria and rows.
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void frmSearch::closeEvent(QCloseEvent* event) {
  if (dicom::callWaiting()) {
    // The search is waiting for the archive: the window closes once it has
    // its answer and has shown it.
    event->ignore();
    dicom::whenCallsEnd(this, [this] { close(); });
    return;
  }
  QDialog::closeEvent(event);
}

bool frmSearch::eventFilter(QObject* watched, QEvent* event) {
  if ((watched == cboSex || watched == cboSex->lineEdit()) && event->type() == QEvent::KeyPress) {
    return cboSex_KeyPress(static_cast<QKeyEvent*>(event));
  }
  if (event->type() == QEvent::FocusIn) {
    for (QLineEdit* box : {txtPatID, txtName2, txtName1, txtStudyDesc, txtAccNum}) {
      if (watched == box) selectOnFocus(box);
    }
  }
  return QDialog::eventFilter(watched, event);
}

bool frmSearch::cboSex_KeyPress(QKeyEvent* event) {
  const QString text = event->text();
  const bool backspace = event->key() == Qt::Key_Backspace || text == QStringLiteral("\b");
  // Keys that produce no character, and control keys such as Enter, Tab and
  // Delete, act on the box as usual.
  if (!backspace && (text.isEmpty() || !text.at(0).isPrint())) return false;

  QLineEdit* edit = cboSex->lineEdit();
  if (!backspace) {
    const QChar c = text.at(0).toUpper();
    if (c == 'F' || c == 'M' || c == 'O') cboSex->setEditText(QString(c));
  }
  edit->setCursorPosition(1);
  // Backspace goes on to the box and removes the character before the caret.
  return !backspace;
}

void frmSearch::selectOnFocus(QLineEdit* box) {
  box->setCursorPosition(0);
  box->setSelection(0, static_cast<int>(box->text().size()));
  // A mouse click places the caret after the focus arrived; select again after it.
  QTimer::singleShot(0, box, [box] { box->setSelection(0, static_cast<int>(box->text().size())); });
}

void frmSearch::BuildPatName() {
  txtPatName->setText(composePatientName(txtName1->text(), txtName2->text()));
}

void frmSearch::ReplaceRepeated(QLineEdit& box, const QString& find, const QString& replacement) {
  for (;;) {
    QString text = box.text();
    if (!replaceOnce(text, find, replacement)) return;
    // An ordinary change of the box: its change event runs at once.
    box.setText(text);
  }
}

void frmSearch::refuseTooWide() {
  showMessage(QMessageBox::Critical, kTooWideCaption, kTooWideText);
}

void frmSearch::reportFailure(const std::exception& error, const QString& context) {
  const dicom::Failure failure = dicom::describe(error);
  const QString description =
      context.isEmpty() ? failure.description : context + ": " + failure.description;
  if (modError::LogError(failure.number, description, kProcedureLabel)) {
    showMessage(QMessageBox::Critical, kErrorCaption, kErrorText);
  } else {
    // There is no log to read: the message itself says what failed.
    showMessage(QMessageBox::Critical, kErrorCaption,
                QString("There was an error.\r\n%1 - %2\r\n(The error log could not be "
                        "written.)")
                    .arg(failure.number)
                    .arg(description));
  }
}

void frmSearch::cmdSearch_Click() {
  // Pending events run between rows: a second press then waits for this one.
  if (filling_) return;
  try {
    for (QLineEdit* box : {txtName1, txtName2, txtPatID, txtPatName, txtAccNum}) {
      ReplaceRepeated(*box, "**", "*");
      ReplaceRepeated(*box, "%%", "%");
    }
    if (isEmptyPattern(txtPatID->text())) txtPatID->setText("");
    if (isEmptyPattern(txtPatName->text())) txtPatName->setText("");

    Criteria criteria;
    criteria.patientID = txtPatID->text();
    criteria.patientName = txtPatName->text();
    criteria.sex = cboSex->currentText();
    criteria.birthDate = dtpBirth->value();
    criteria.studyDate = dtpStudyDate->value();
    criteria.studyDescription = txtStudyDesc->text();
    criteria.accessionNumber = txtAccNum->text();
    if (isTooWide(criteria)) {
      refuseTooWide();
      return;
    }

    std::unique_ptr<dicom::Query> query = modMain::NewArchiveQuery(toolkit_, settings_);
    dicom::DataSet identifier = query->newDataSet();

    cmdSearch->setFocus();
    fillIdentifier(identifier, criteria);
    matches_ = query->find(identifier, matchesToCollect(criteria.accessionNumber));

    if (exceedsLimit(matches_.count(), txtAccNum->text())) {
      matches_.empty();
      refuseTooWide();
      return;
    }

    fillGrid();
    const bool truncated = matches_.truncated();
    const int listed = matches_.count();
    matches_.empty();
    if (truncated) showMessage(QMessageBox::Information, kErrorCaption, ceilingMessage(listed));
  } catch (const std::exception& error) {
    reportFailure(error);
  }
}

void frmSearch::fillGrid() {
  grid1->clearRows();
  if (matches_.count() == 0) {
    grid1->addRow();
    grid1->setCell(1, 2, kNoDataText, ResultGrid::kCentred);
    list_.replace({});
    return;
  }
  filling_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{filling_};
  RedrawOff redrawOff(*grid1);
  std::vector<StudyList::Row> listed;
  std::int16_t row = 0;
  for (const dicom::DataSet& match : matches_) {
    QCoreApplication::processEvents();
    ++row;
    const auto values = rowValues(match);
    addResultRow(row, QStringList(values.begin(), values.end()), QString());
    listed.push_back({values[0], QStringList(values.begin(), values.end())});
  }
  // The rows are the station's list from now on, in the order shown.
  list_.replace(std::move(listed));
}

void frmSearch::addResultRow(int row, const QStringList& values, const QString& status) {
  grid1->addRow();
  for (int column = 1; column <= kColumnCount; ++column) {
    const QString& value = values[column - 1];
    if (isCentredColumn(column)) {
      grid1->setCell(row, column, value, ResultGrid::kCentred);
    } else {
      grid1->setCell(row, column, value);
    }
  }
  grid1->setCell(row, kStatusColumn, status);
}

void frmSearch::showList() {
  int row = 0;
  for (const StudyList::Row& listed : list_.rows()) {
    addResultRow(++row, listed.cells, list_.status(listed.studyInstanceUID));
  }
}

void frmSearch::grid1_ColumnHeaderClick(int column) {
  // Every step is tried; a failing one is skipped without a message.
  auto attempt = [](auto&& step) {
    try {
      step();
    } catch (...) {
    }
  };
  ResultGrid::SortKeys& keys = grid1->sortKeys();
  int position = 0;
  QString tag;
  attempt([&] { keys.clear(); });
  attempt([&] {
    position = keys.position(column);
    if (position == 0) {
      position = keys.count() + 1;
      keys.setKey(position, column);
    }
  });
  attempt([&] { tag = grid1->columnTag(column); });
  ResultGrid::Direction direction = ResultGrid::Direction::Ascending;
  if (tag.isEmpty()) {
    tag = "DESC";
  } else {
    tag = "";
    direction = ResultGrid::Direction::Descending;
  }
  attempt([&] { keys.setDirection(position, direction); });
  attempt([&] { grid1->setColumnTag(column, tag); });
  attempt([&] { keys.setComparison(position, grid1->columnSortType(column)); });
  QApplication::setOverrideCursor(Qt::WaitCursor);
  attempt([&] { grid1->sort(); });
  QApplication::restoreOverrideCursor();
  QStringList order;
  for (int row = 1; row <= grid1->rowCount(); ++row) order << grid1->cellText(row, 1);
  list_.reorder(order);
}

void frmSearch::grid1_RowDoubleClick(int row, int /*column*/) {
  try {
    if (grid1->cellText(1, 2).toUpper() == "NO DATA") return;
    // Images with labels not yet sent would be lost by the reception.
    if (!host_.confirmDiscardChanges()) return;

    host_.beginRetrieval(grid1->cellText(row, 1));
    accept();
  } catch (const std::exception& error) {
    list_.record(grid1->cellText(row, 1), StudyOutcome::Failed);
    // Logged under the search's label, as it always was; the description
    // tells the two apart.
    reportFailure(error, "The retrieval of the study failed");
  }
}

}  // namespace search
