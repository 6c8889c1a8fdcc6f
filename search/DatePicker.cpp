#include "DatePicker.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QResizeEvent>

namespace search {

DatePicker::DatePicker(QWidget* parent)
    : QWidget(parent), check_(new QCheckBox(this)), edit_(new QDateEdit(this)) {
  edit_->setDisplayFormat("dd.MM.yyyy");
  edit_->setCalendarPopup(true);
  edit_->setDate(QDate::currentDate());
  check_->setChecked(false);
  setFocusProxy(check_);
  connect(check_, &QCheckBox::toggled, this, [this] { emit valueChanged(); });
  connect(edit_, &QDateEdit::dateChanged, this, [this] {
    if (settingValue_) return;
    if (!check_->isChecked()) {
      check_->setChecked(true);
    } else {
      emit valueChanged();
    }
  });
}

std::optional<QDate> DatePicker::value() const {
  if (!check_->isChecked()) return std::nullopt;
  return edit_->date();
}

void DatePicker::setValue(const std::optional<QDate>& value) {
  settingValue_ = true;
  if (value) edit_->setDate(*value);
  settingValue_ = false;
  check_->setChecked(value.has_value());
}

QDate DatePicker::shownDate() const {
  return edit_->date();
}

void DatePicker::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int h = event->size().height();
  const int boxWidth = check_->sizeHint().width();
  check_->setGeometry(2, 0, boxWidth, h);
  edit_->setGeometry(boxWidth + 2, 0, std::max(0, event->size().width() - boxWidth - 2), h);
}

}  // namespace search
