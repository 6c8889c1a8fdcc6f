#pragma once

#include <QDialog>
#include <QMessageBox>
#include <array>
#include <functional>
#include <memory>

#include "common/Ui.h"
#include "dicom/core/DataSet.h"
#include "search/DatePicker.h"
#include "search/ResultGrid.h"
#include "search/StationHost.h"
#include "search/StudyList.h"
#include "settings/modMain.h"

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

namespace dicom {
class Query;
class Toolkit;
}  // namespace dicom

namespace search {

// The study search window: criteria at the top, the result grid below. A
// double-click on a result row retrieves that study to the station and
// closes the window. The main window makes a new one for every opening and
// runs it with exec(); closing ends that run, and the window is not reused.
class frmSearch : public QDialog {
  Q_OBJECT
 public:
  // list is the station's list of studies: the rows of the last search,
  // shown again, with what happened to each, when the window opens.
  frmSearch(dicom::Toolkit& toolkit, const ConnectionSettingsRecord& settings, StationHost& host,
            StudyList& list, QWidget* parent = nullptr);
  ~frmSearch() override;

  // How a message box is shown; tests replace it to record the messages.
  common::MessageBoxHook showMessage;

  // The controls, named as the window's code addresses them.
  QFrame* fraSearch;
  QWidget* picSearch;
  std::array<QLabel*, 7> lblSearch;
  QLabel* lblAcc;
  QLineEdit* txtPatID;
  DatePicker* dtpStudyDate;
  QComboBox* cboSex;
  DatePicker* dtpBirth;
  QLineEdit* txtName2;
  QLineEdit* txtName1;
  QLineEdit* txtStudyDesc;
  QLineEdit* txtAccNum;
  QPushButton* cmdSearch;
  QLineEdit* txtPatName;
  ResultGrid* grid1;

  // Event handlers, callable directly.
  void cmdSearch_Click();
  void grid1_RowDoubleClick(int row, int column);
  void grid1_ColumnHeaderClick(int column);
  void BuildPatName();
  void ReplaceRepeated(QLineEdit& box, const QString& find, const QString& replacement);

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Form_Load();
  void Form_Resize();
  bool cboSex_KeyPress(QKeyEvent* event);
  void selectOnFocus(QLineEdit* box);
  // context, when given, says which command failed ("The retrieval").
  void reportFailure(const std::exception& error, const QString& context = QString());
  void refuseTooWide();
  void buildControls();
  void fillGrid();
  void addResultRow(int row, const QStringList& values, const QString& status);
  void showList();
  void buildCriteria();
  void wireControls();

  dicom::Toolkit& toolkit_;
  const ConnectionSettingsRecord& settings_;
  StationHost& host_;
  StudyList& list_;
  dicom::MatchCollection matches_;
  bool filling_ = false;
  bool outerWidthSet_ = false;
};

}  // namespace search
