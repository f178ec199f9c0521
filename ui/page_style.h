#pragma once
// What the three pages share: their colours and the reading of number boxes.

#include <QColor>

#include "ui/window_context.h"

class QLineEdit;
class QWidget;

namespace tarnwick::ui {

// Blue text on the pages' green, edit boxes on `editBackground`.
void stylePage(QWidget* page, const QColor& editBackground);
// The main window's own colours.
void styleWindow(QWidget* window);

// Reads a number box as a signed decimal integer into `value`. Text that is
// not one gives 0, a beep and the focus on the box, and false: the caller
// then reads none of the controls after it.
bool readNumberBox(QLineEdit* box, int& value, const DesktopHooks& desktop);

}  // namespace tarnwick::ui
