// Draws each tab of the window offscreen after a real folder run over the
// sample faxes and saves them as PNG files: take_screenshots OUTPUT_FOLDER.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QThread>
#include <cstdio>
#include <filesystem>

#include "platform/paths.h"
#include "platform/work_folder.h"
#include "ui/convert_page.h"
#include "ui/main_window.h"

namespace fs = std::filesystem;
using namespace tarnwick;

namespace {

// A fixed folder under TMPDIR, so the list shows the same paths every time.
std::string makeDemoFolder() {
  const char* tmp = std::getenv("TMPDIR");
  const std::string root = platform::joinPath(tmp && *tmp ? tmp : "/tmp", "tarnwick-screenshots");
  platform::removeTree(root);
  const fs::path faxes = fs::path(root) / "faxes";
  fs::create_directories(faxes);
  // The samples' files and those of raw/, in one flat folder.
  for (const fs::path& folder : {fs::path(TARNWICK_SAMPLES), fs::path(TARNWICK_SAMPLES) / "raw"})
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
      if (entry.is_regular_file()) fs::copy_file(entry.path(), faxes / entry.path().filename());
  QFile notes(QString::fromStdString((faxes / "notes.dat").string()));
  if (!notes.open(QIODevice::WriteOnly) || notes.write("Call Ann back about the invoice.\n") < 0)
    return {};
  return root;
}

bool waitUntilIdle(const ui::ConvertPage& page) {
  QElapsedTimer clock;
  clock.start();
  while (page.running() && clock.elapsed() < 60000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QThread::msleep(10);
  }
  return !page.running();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: take_screenshots OUTPUT_FOLDER\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  QApplication::setStyle("Fusion");
  const std::string root = makeDemoFolder();
  const platform::WorkFolder work;
  if (root.empty() || !work.ok()) return 1;

  ui::WindowContext context;
  context.options = std::make_shared<shell::SharedOptions>();
  context.settingsPath = platform::joinPath(root, "tarnwick.ini");
  context.logPath = platform::joinPath(root, "log/qrvlog.txt");
  context.workFolder = work.path();
  ui::MainWindow window(context);
  window.findChild<QLineEdit*>("source")->setText(QString::fromStdString(root + "/faxes"));
  window.findChild<QLineEdit*>("save")->setText(QString::fromStdString(root + "/tif"));
  window.show();
  window.findChild<QPushButton*>("go")->click();
  if (!waitUntilIdle(*window.convertPage())) return 1;

  QDir().mkpath(argv[1]);
  const char* names[] = {"convert", "options", "settings"};
  for (int tab = 0; tab < 3; ++tab) {
    window.tabs()->setCurrentIndex(tab);
    QCoreApplication::processEvents();
    const QString file = QDir(argv[1]).filePath(QString("%1.png").arg(names[tab]));
    if (!window.grab().save(file)) {
      std::fprintf(stderr, "take_screenshots: cannot write %s\n", qPrintable(file));
      return 1;
    }
    std::printf("%s\n", qPrintable(file));
  }
  window.close();
  platform::removeTree(root);
  return 0;
}
