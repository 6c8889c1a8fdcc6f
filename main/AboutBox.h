#pragma once

#include <QDialog>

// The station's About box: its version and the commit it was built from,
// which a support call asks for, and the folder of Settings.ini and Logs.
// F1 in the main window opens it; Enter or Escape closes it.
class AboutBox : public QDialog {
  Q_OBJECT
 public:
  explicit AboutBox(QWidget* parent = nullptr);
};
