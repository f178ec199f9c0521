#include "ui/page_style.h"

#include <QApplication>
#include <QLineEdit>
#include <QPalette>
#include <QWidget>

namespace tarnwick::ui {
namespace {

const QColor kText(0, 0, 255);

void colour(QWidget* widget, const QColor& background, const QColor& editBackground) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, background);
  palette.setColor(QPalette::WindowText, kText);
  palette.setColor(QPalette::Base, editBackground);
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
}

}  // namespace

void stylePage(QWidget* page, const QColor& editBackground) {
  colour(page, QColor(196, 255, 225), editBackground);
}

void styleWindow(QWidget* window) {
  colour(window, QColor(236, 255, 245), QColor(249, 249, 249));
}

bool readNumberBox(QLineEdit* box, int& value, const DesktopHooks& desktop) {
  bool ok = false;
  value = box->text().trimmed().toInt(&ok, 10);
  if (ok) return true;
  value = 0;
  if (desktop.beep) {
    desktop.beep();
  } else {
    QApplication::beep();
  }
  box->setFocus();
  return false;
}

}  // namespace tarnwick::ui
