#pragma once
// What the window needs from outside: the shared conversion options, its
// files, and the few calls that reach the desktop, so tests can stand in for
// message boxes, the beep and the default viewer.

#include <QMessageBox>
#include <QString>
#include <QUrl>
#include <functional>
#include <memory>
#include <string>

#include "shell/batch.h"
#include "shell/conversion_worker.h"

namespace tarnwick::ui {

struct DesktopHooks {
  // A message box; empty: a modal QMessageBox over the window.
  std::function<void(QMessageBox::Icon icon, const QString& caption, const QString& text)> message;
  // The About box as rich text; empty: QMessageBox::about.
  std::function<void(const QString& title, const QString& text)> about;
  // Empty: QApplication::beep.
  std::function<void()> beep;
  // Opens a file with the desktop's default viewer; empty: QDesktopServices.
  std::function<bool(const QUrl& url)> openUrl;
};

struct WindowContext {
  std::shared_ptr<shell::SharedOptions> options;
  std::string settingsPath;      // the settings file
  std::string logPath;           // the conversion log
  std::string workFolder;        // private folder for the runs' work files
  std::string helpPath;          // the README the Help button opens; empty: none found
  int stopGraceMs = 5000;        // how long Cancel waits before a run counts as stopped
  shell::FileConverter convert;  // empty: convertOne
  DesktopHooks desktop;
};

}  // namespace tarnwick::ui
