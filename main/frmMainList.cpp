// The main window's list: the studies of the last search worked one after
// another, and the keyboard that works them without the mouse.

#include <QShortcut>

#include "frmMain.h"

void frmMain::buildKeys() {
  const std::pair<QKeySequence, std::function<void()>> keys[] = {
      {QKeySequence(Qt::Key_PageDown), [this] { Toolbar1_ButtonClick("next"); }},
      {QKeySequence(Qt::Key_PageUp), [this] { Toolbar1_ButtonClick("previous"); }},
      {QKeySequence(Qt::CTRL | Qt::Key_U),
       [this] {
         if (toolbarButton("update")->isEnabled()) Toolbar1_ButtonClick("update");
       }},
      {QKeySequence(Qt::Key_Left), [this] { moveSelection(-1, 0); }},
      {QKeySequence(Qt::Key_Right), [this] { moveSelection(1, 0); }},
      {QKeySequence(Qt::Key_Up), [this] { moveSelection(0, -1); }},
      {QKeySequence(Qt::Key_Down), [this] { moveSelection(0, 1); }},
  };
  for (const auto& [sequence, action] : keys) {
    auto* shortcut = new QShortcut(sequence, this);
    connect(shortcut, &QShortcut::activated, this, action);
  }
}

void frmMain::openNeighbour(int step) {
  const std::optional<QString> study = step > 0 ? list_.next() : list_.previous();
  if (!study) return;
  if (!confirmDiscard(step > 0 ? "Opening the next study" : "Opening the previous study")) return;
  retrieveStudy(*study);
}

void frmMain::updateListButtons() {
  toolbarButton("next")->setEnabled(list_.next().has_value());
  toolbarButton("previous")->setEnabled(list_.previous().has_value());
}

void frmMain::moveSelection(int dx, int dy) {
  const int count = dcmViewer->images().count();
  if (count == 0 || dcmViewer->fullViewPosition() > 0) return;
  const int grid = dcmViewer->gridSize();
  int position = 1;
  if (SelectedImage) {
    for (int i = 1; i <= count; ++i) {
      if (dcmViewer->images().item(i) == SelectedImage) position = i + dx + dy * grid;
    }
  }
  if (position < 1 || position > count) return;
  selectImage(position);
}
