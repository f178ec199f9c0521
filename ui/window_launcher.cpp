#include "ui/window_launcher.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>

#include "platform/work_folder.h"
#include "ui/convert_page.h"
#include "ui/main_window.h"

#ifndef TARNWICK_SOURCE_README
#define TARNWICK_SOURCE_README ""
#endif

namespace tarnwick::ui {
namespace {

// The installed manual beside the program, else the one of the source tree
// it was built from.
std::string findManual() {
  const QString installed =
      QDir(QCoreApplication::applicationDirPath()).filePath("../share/doc/tarnwick/README.md");
  for (const QString& path : {installed, QString(TARNWICK_SOURCE_README)})
    if (!path.isEmpty() && QFileInfo::exists(path))
      return QFileInfo(path).canonicalFilePath().toStdString();
  return {};
}

}  // namespace

int runWindow(BatchJob&, ConversionOptions& options) {
  int argc = 1;
  char name[] = "tarnwick";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  // Hidden in the tray, or behind a message box, the window is still open.
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setApplicationName("Tarnwick");

  const platform::WorkFolder work;
  if (!work.ok()) {
    std::fprintf(stderr, "tarnwick: cannot create a work folder (check TMPDIR)\n");
    return 1;
  }
  WindowContext context;
  context.options = std::make_shared<shell::SharedOptions>(options);
  context.settingsPath = platform::settingsFilePath();
  context.logPath = platform::defaultLogFilePath();
  context.workFolder = work.path();
  context.helpPath = findManual();
  {
    MainWindow window(context);
    QObject::connect(&window, &MainWindow::closed, &app, &QCoreApplication::quit);
    window.show();
    app.exec();
  }
  if (ConvertPage::abandonedRuns() > 0) {
    // A run is still inside a file: ending now, without the destructors it
    // may still be using, is the only safe way out.
    platform::removeTree(work.path());
    std::fflush(nullptr);
    std::_Exit(0);
  }
  return 0;
}

}  // namespace tarnwick::ui
