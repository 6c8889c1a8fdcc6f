#include "frmSettings.h"

#include <QCheckBox>
#include <QFocusEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "ConnectionTest.h"
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

frmSettings::frmSettings(ConnectionSettingsRecord& settings, dicom::Toolkit& toolkit,
                         QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      settings_(settings),
      toolkit_(toolkit) {
  setWindowTitle("Settings");
  setAttribute(Qt::WA_DeleteOnClose, false);
  setFont(common::tahoma(8.25));
  setFixedSize(px(4440), px(7860));

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

  buildTlsFrame();

  cmdApply = makeButton(this, "Apply", twipsRect(765, 7380, 1140, 375));
  cmdOK = makeButton(this, "OK", twipsRect(1980, 7380, 1140, 375));
  cmdCancel = makeButton(this, "Cancel", twipsRect(3195, 7380, 1140, 375));

  QWidget* order[] = {txtLocAET,         txtLocPort,       txtAET,        txtIP,   txtPort,  chkTls,
                      txtTlsCertificate, txtTlsPrivateKey, txtTlsTrusted, cmdTest, cmdApply, cmdOK,
                      cmdCancel};
  for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

  for (QLineEdit* box : {txtAET, txtIP, txtPort, txtLocAET, txtLocPort, txtTlsCertificate,
                         txtTlsPrivateKey, txtTlsTrusted}) {
    connect(box, &QLineEdit::textChanged, this, [this] { cmdApply->setEnabled(true); });
  }
  connect(chkTls, &QCheckBox::toggled, this, [this] { cmdApply->setEnabled(true); });
  connect(cmdTest, &QPushButton::clicked, this, &frmSettings::cmdTest_Click);
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

// DICOM over TLS, below the five connection settings, and the connection
// test with its result.
void frmSettings::buildTlsFrame() {
  Frame3 = new QGroupBox("TLS", this);
  Frame3->setGeometry(twipsRect(135, 3240, 4155, 2310));
  chkTls = new QCheckBox("DICOM over TLS on every association", Frame3);
  chkTls->setGeometry(twipsRect(180, 255, 3840, 255));
  makeLabel(Frame3, "Certificate (PEM):", twipsRect(180, 585, 3000, 195));
  txtTlsCertificate = makeBox(Frame3, twipsRect(180, 795, 3840, 285));
  makeLabel(Frame3, "Private key (PEM):", twipsRect(180, 1140, 3000, 195));
  txtTlsPrivateKey = makeBox(Frame3, twipsRect(180, 1350, 3840, 285));
  makeLabel(Frame3, "Trusted certificates (PEM):", twipsRect(180, 1695, 3000, 195));
  txtTlsTrusted = makeBox(Frame3, twipsRect(180, 1905, 3840, 285));

  cmdTest = makeButton(this, "Test Connection", twipsRect(135, 5640, 1770, 375));
  lblTest = makeLabel(this, QString(), twipsRect(135, 6090, 4155, 1200));
  lblTest->setWordWrap(true);
  lblTest->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lblTest->setTextInteractionFlags(Qt::TextSelectableByMouse);
}

void frmSettings::Form_Load() {
  txtAET->setText(settings_.RemoteAET);
  txtIP->setText(settings_.RemoteIP);
  txtPort->setText(settings_.RemotePort);
  txtLocAET->setText(settings_.LocAET);
  txtLocPort->setText(settings_.LocPort);
  chkTls->setChecked(settings_.station().tls.enabled);
  txtTlsCertificate->setText(settings_.TlsCertificate);
  txtTlsPrivateKey->setText(settings_.TlsPrivateKey);
  txtTlsTrusted->setText(settings_.TlsTrustedCertificates);
  cmdApply->setEnabled(false);
}

ConnectionSettingsRecord frmSettings::typedSettings() const {
  ConnectionSettingsRecord typed = settings_;
  typed.RemoteAET = txtAET->text();
  typed.RemoteIP = txtIP->text();
  typed.RemotePort = txtPort->text();
  typed.LocAET = txtLocAET->text();
  typed.LocPort = txtLocPort->text();
  // A value other than 0 or 1 that the file held stays as it was while
  // the box says the same.
  if (chkTls->isChecked() != settings_.station().tls.enabled) {
    typed.TlsEnabled = chkTls->isChecked() ? QStringLiteral("1") : QStringLiteral("0");
  }
  typed.TlsCertificate = txtTlsCertificate->text();
  typed.TlsPrivateKey = txtTlsPrivateKey->text();
  typed.TlsTrustedCertificates = txtTlsTrusted->text();
  return typed;
}

void frmSettings::cmdTest_Click() {
  cmdTest->setEnabled(false);
  lblTest->setText("Testing the connection ...");
  // The calls run off this thread; the dialog keeps drawing meanwhile.
  const modMain::ConnectionReport report = modMain::TestConnection(toolkit_, typedSettings());
  lblTest->setText(report.text);
  cmdTest->setEnabled(true);
}

void frmSettings::cmdApply_Click() {
  cmdApply->setEnabled(false);
  settings_ = typedSettings();
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
