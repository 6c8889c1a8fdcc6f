#include "frmSettings.h"

#include <QFocusEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "common/Twips.h"
#include "modMain.h"

using common::px;
using common::twipsRect;

namespace settings {

void CaretEndLineEdit::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  deselect();
  setCursorPosition(static_cast<int>(text().length()));
}

}  // namespace settings

namespace {

QLabel* makeLabel(QWidget* parent, const QString& caption, QRect geometry) {
  auto* label = new QLabel(caption, parent);
  label->setGeometry(geometry);
  return label;
}

settings::CaretEndLineEdit* makeBox(QWidget* parent, QRect geometry) {
  auto* box = new settings::CaretEndLineEdit(parent);
  box->setGeometry(geometry);
  return box;
}

QPushButton* makeButton(QWidget* parent, const QString& caption, QRect geometry) {
  auto* button = new QPushButton(caption, parent);
  button->setGeometry(geometry);
  // Enter and Esc press no button in this dialog.
  button->setAutoDefault(false);
  button->setDefault(false);
  return button;
}

}  // namespace

frmSettings::frmSettings(ConnectionSettingsRecord& settings, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      settings_(settings) {
  setWindowTitle("Settings");
  setAttribute(Qt::WA_DeleteOnClose, false);
  setFont(common::tahoma(8.25));
  setFixedSize(px(4440), px(3765));

  Frame2 = new QGroupBox("Local", this);
  Frame2->setGeometry(twipsRect(135, 90, 4155, 1050));
  Picture2 = new QWidget(Frame2);
  Picture2->setGeometry(twipsRect(90, 270, 3930, 645));
  lblSettings[3] = makeLabel(Picture2, "AET:", twipsRect(90, 0, 345, 195));
  txtLocAET = makeBox(Picture2, twipsRect(90, 270, 2805, 285));
  lblSettings[4] = makeLabel(Picture2, "Port:", twipsRect(3015, 45, 360, 195));
  txtLocPort = makeBox(Picture2, twipsRect(3015, 270, 870, 285));

  Frame1 = new QGroupBox("Remote", this);
  Frame1->setGeometry(twipsRect(135, 1215, 4155, 1950));
  Picture1 = new QWidget(Frame1);
  Picture1->setGeometry(twipsRect(90, 225, 3975, 1590));
  lblSettings[2] = makeLabel(Picture1, "AET:", twipsRect(90, 90, 345, 195));
  txtAET = makeBox(Picture1, twipsRect(90, 360, 3840, 285));
  lblSettings[0] = makeLabel(Picture1, "IP-Adress:", twipsRect(90, 945, 765, 195));
  txtIP = makeBox(Picture1, twipsRect(90, 1215, 1905, 285));
  lblSettings[1] = makeLabel(Picture1, "Port:", twipsRect(2295, 945, 360, 195));
  txtPort = makeBox(Picture1, twipsRect(2295, 1215, 1590, 285));

  cmdApply = makeButton(this, "Apply", twipsRect(765, 3285, 1140, 375));
  cmdOK = makeButton(this, "OK", twipsRect(1980, 3285, 1140, 375));
  cmdCancel = makeButton(this, "Cancel", twipsRect(3195, 3285, 1140, 375));

  setTabOrder(txtLocAET, txtLocPort);
  setTabOrder(txtLocPort, txtAET);
  setTabOrder(txtAET, txtIP);
  setTabOrder(txtIP, txtPort);
  setTabOrder(txtPort, cmdApply);
  setTabOrder(cmdApply, cmdOK);
  setTabOrder(cmdOK, cmdCancel);

  for (QLineEdit* box : {txtAET, txtIP, txtPort, txtLocAET, txtLocPort}) {
    connect(box, &QLineEdit::textChanged, this, [this] { cmdApply->setEnabled(true); });
  }
  connect(cmdApply, &QPushButton::clicked, this, &frmSettings::cmdApply_Click);
  connect(cmdOK, &QPushButton::clicked, this, &frmSettings::cmdOK_Click);
  connect(cmdCancel, &QPushButton::clicked, this, &frmSettings::cmdCancel_Click);

  showMessage = common::modalMessageBox(this);

  Form_Load();

  if (const QScreen* screen = this->screen()) {
    const QRect available = screen->availableGeometry();
    move(available.center() - QPoint(width() / 2, height() / 2));
  }
  txtLocAET->setFocus(Qt::TabFocusReason);
}

void frmSettings::Form_Load() {
  txtAET->setText(settings_.RemoteAET);
  txtIP->setText(settings_.RemoteIP);
  txtPort->setText(settings_.RemotePort);
  txtLocAET->setText(settings_.LocAET);
  txtLocPort->setText(settings_.LocPort);
  cmdApply->setEnabled(false);
}

void frmSettings::cmdApply_Click() {
  cmdApply->setEnabled(false);
  settings_.RemoteAET = txtAET->text();
  settings_.RemoteIP = txtIP->text();
  settings_.RemotePort = txtPort->text();
  settings_.LocAET = txtLocAET->text();
  settings_.LocPort = txtLocPort->text();
  QString error;
  if (!modMain::SaveConnectionSettings(settings_, &error)) {
    // The values stay in effect for this run; the operator must know that
    // the next start will not have them.
    showMessage(QMessageBox::Warning, "Brevant",
                QString("The settings could not be saved to %1 (%2).\r\n"
                        "They apply until Brevant is closed.")
                    .arg(modMain::SettingsPath(), error));
  }
}

void frmSettings::cmdOK_Click() {
  cmdApply_Click();
  cmdCancel_Click();
}

void frmSettings::cmdCancel_Click() {
  done(QDialog::Rejected);
}

void frmSettings::keyPressEvent(QKeyEvent* event) {
  // Esc presses no button here and does not close the dialog.
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}
