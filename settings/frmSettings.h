#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <functional>

#include "common/Ui.h"
#include "modMain.h"

class QGroupBox;
class QLabel;
class QPushButton;

namespace settings {

// A text box that puts the caret after its last character, with nothing
// selected, whenever it receives the focus.
class CaretEndLineEdit : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;

 protected:
  void focusInEvent(QFocusEvent* event) override;
};

}  // namespace settings

// The dialog in which the operator edits the five connection settings.
class frmSettings : public QDialog {
  Q_OBJECT
 public:
  // Shows and applies the station's connection settings.
  explicit frmSettings(ConnectionSettingsRecord& settings, QWidget* parent = nullptr);

  // How a message box is shown; tests replace it to record the message.
  common::MessageBoxHook showMessage;

  settings::CaretEndLineEdit* txtLocAET;
  settings::CaretEndLineEdit* txtLocPort;
  settings::CaretEndLineEdit* txtAET;
  settings::CaretEndLineEdit* txtIP;
  settings::CaretEndLineEdit* txtPort;
  QPushButton* cmdApply;
  QPushButton* cmdOK;
  QPushButton* cmdCancel;
  QGroupBox* Frame1;
  QGroupBox* Frame2;
  QWidget* Picture1;
  QWidget* Picture2;
  QLabel* lblSettings[5];

  void cmdApply_Click();
  void cmdOK_Click();
  void cmdCancel_Click();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Form_Load();

  ConnectionSettingsRecord& settings_;
};
