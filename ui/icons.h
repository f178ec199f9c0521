#pragma once
// The program's icons, drawn at start so no image files need installing.

#include <QIcon>

namespace tarnwick::ui {

// A fax page with a folded corner.
QIcon programIcon();
// The tabs' icons: 0 Convert, 1 Options, 2 Settings.
QIcon tabIcon(int tab);

}  // namespace tarnwick::ui
