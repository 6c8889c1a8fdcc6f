#pragma once

// What the station's windows share: their font, their colour notation and
// how they show a message box.

#include <QColor>
#include <QFont>
#include <QMessageBox>
#include <cstdint>
#include <functional>

class QWidget;

namespace common {

// Tahoma at a point size, the font the windows are laid out for.
QFont tahoma(double points, bool bold = false);

// A colour written 0xBBGGRR (red in the lowest byte).
QColor fromBgr(std::uint32_t bgr);

// Shows a modal message box with an OK button: icon, caption, text. Each
// window holds one; tests replace it to record and answer.
using MessageBoxHook =
    std::function<void(QMessageBox::Icon icon, const QString& title, const QString& text)>;
MessageBoxHook modalMessageBox(QWidget* owner);

}  // namespace common
