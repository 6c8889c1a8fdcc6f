#include "Ui.h"

#include <QWidget>

namespace common {

QFont tahoma(double points, bool bold) {
  QFont font("Tahoma");
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF(points);
  font.setBold(bold);
  return font;
}

QColor fromBgr(std::uint32_t bgr) {
  return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                static_cast<int>((bgr >> 16) & 0xFF));
}

MessageBoxHook modalMessageBox(QWidget* owner) {
  return [owner](QMessageBox::Icon icon, const QString& title, const QString& text) {
    QMessageBox box(icon, title, text, QMessageBox::Ok, owner);
    box.exec();
  };
}

}  // namespace common
