#pragma once

#include <QDate>
#include <QWidget>
#include <optional>

class QCheckBox;
class QDateEdit;

namespace search {

// A date field with a tick box: the value is the shown date while the box
// is ticked, and no value while it is cleared. The shown date stays when
// the box is cleared. Changing the date by hand ticks the box.
class DatePicker : public QWidget {
  Q_OBJECT
 public:
  explicit DatePicker(QWidget* parent = nullptr);

  std::optional<QDate> value() const;
  // A date shows it and ticks the box; no value clears the box only.
  void setValue(const std::optional<QDate>& value);
  QDate shownDate() const;

  QCheckBox* checkBox() const { return check_; }
  QDateEdit* dateEdit() const { return edit_; }

 signals:
  void valueChanged();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  QCheckBox* check_;
  QDateEdit* edit_;
  bool settingValue_ = false;
};

}  // namespace search
