#include "AboutBox.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QVBoxLayout>

#include "common/AppDir.h"
#include "common/Ui.h"
#include "common/Version.h"

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  setWindowTitle("About Brevant");
  setFont(common::tahoma(8.25));

  auto* name = new QLabel("Brevant", this);
  name->setFont(common::tahoma(12, true));
  auto* text = new QLabel(this);
  text->setText(QString("Version %1\nCommit %2\nQt %3\n\nSettings and logs: %4")
                    .arg(common::versionNumber(), common::buildCommit(), qVersion(),
                         QDir::toNativeSeparators(common::appDirectory())));
  // Selectable, so that the operator can copy it into a support request.
  text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(18, 14, 18, 14);
  layout->setSpacing(10);
  layout->addWidget(name);
  layout->addWidget(text);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}
