#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <functional>

#include "common/Ui.h"
#include "modMain.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;

namespace dicom {
class Toolkit;
}

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

// The dialog in which the operator edits the five connection settings and,
// below them, the TLS settings, and tests the settings as typed.
class frmSettings : public QDialog {
  Q_OBJECT
 public:
  // Shows and applies the station's connection settings; the connection
  // test calls the archive through the toolkit.
  frmSettings(ConnectionSettingsRecord& settings, dicom::Toolkit& toolkit,
              QWidget* parent = nullptr);

  // How a message box is shown; tests replace it to record the message.
  common::MessageBoxHook showMessage;

  settings::CaretEndLineEdit* txtLocAET;
  settings::CaretEndLineEdit* txtLocPort;
  settings::CaretEndLineEdit* txtAET;
  settings::CaretEndLineEdit* txtIP;
  settings::CaretEndLineEdit* txtPort;
  QCheckBox* chkTls;
  settings::CaretEndLineEdit* txtTlsCertificate;
  settings::CaretEndLineEdit* txtTlsPrivateKey;
  settings::CaretEndLineEdit* txtTlsTrusted;
  QPushButton* cmdTest;
  QLabel* lblTest;  // the connection test's result
  QPushButton* cmdApply;
  QPushButton* cmdOK;
  QPushButton* cmdCancel;
  QGroupBox* Frame1;
  QGroupBox* Frame2;
  QGroupBox* Frame3;  // TLS
  QWidget* Picture1;
  QWidget* Picture2;
  QLabel* lblSettings[5];

  // Tests the settings as typed (nothing is saved) and shows the result.
  void cmdTest_Click();
  void cmdApply_Click();
  void cmdOK_Click();
  void cmdCancel_Click();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Form_Load();
  void buildTlsFrame();
  ConnectionSettingsRecord typedSettings() const;

  ConnectionSettingsRecord& settings_;
  dicom::Toolkit& toolkit_;
};
