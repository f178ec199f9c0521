#include "ui/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>

#include "ui/convert_page.h"
#include "ui/icons.h"
#include "ui/options_page.h"
#include "ui/page_style.h"
#include "ui/settings_page.h"

#ifndef TARNWICK_VERSION
#define TARNWICK_VERSION "unknown"
#endif
#ifndef TARNWICK_LICENCE
#define TARNWICK_LICENCE "unknown"
#endif

namespace tarnwick::ui {

MainWindow::MainWindow(const WindowContext& context, QWidget* parent)
    : QWidget(parent), context_(context) {
  setWindowTitle("Tarnwick");
  setWindowIcon(programIcon());
  styleWindow(this);

  shell::ProfileFile stored;
  if (stored.load(context_.settingsPath) != 0)
    std::fprintf(stderr, "tarnwick: cannot read %s\n", context_.settingsPath.c_str());
  tabs_ = new QTabWidget(this);
  // Built in this order, each reading its section.
  convert_ = new ConvertPage(context_, shell::readMainSettings(stored), tabs_);
  options_ = new OptionsPage(context_, shell::readOptionsSettings(stored), tabs_);
  settings_ = new SettingsPage(
      context_, shell::readDecodeSettings(stored, shell::decodeSettingsOf(context_.options->get())),
      tabs_);
  tabs_->addTab(convert_, tabIcon(0), "Convert");
  tabs_->addTab(options_, tabIcon(1), "Options");
  tabs_->addTab(settings_, tabIcon(2), "Settings");

  auto* help = new QPushButton("&Help", this);
  help->setObjectName("help");
  auto* about = new QPushButton("&About", this);
  about->setObjectName("about");
  auto* side = new QVBoxLayout;
  side->addSpacing(12);
  side->addWidget(help);
  side->addWidget(about);
  side->addStretch();
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(tabs_, 1);
  layout->addLayout(side);

  connect(help, &QPushButton::clicked, this, &MainWindow::showHelp);
  connect(about, &QPushButton::clicked, this, &MainWindow::showAbout);
  connect(options_, &OptionsPage::armTimer, convert_, &ConvertPage::armTimer);
  connect(tabs_, &QTabWidget::currentChanged, this, &MainWindow::tabChanged);
  buildTray();

  applyPages();
  const shell::OptionsSettings restored = shell::readOptionsSettings(stored);
  if (restored.Cyclely == 1) convert_->armTimer(restored.CycleMinutes, true);
  resize(900, 520);
}

void MainWindow::buildTray() {
  auto* menu = new QMenu(this);
  open_ = menu->addAction("&Open...", this, &MainWindow::showFromTray);
  menu->addAction("&About...", this, &MainWindow::showAbout);
  menu->addAction("E&xit", this, &QWidget::close);
  menu->setDefaultAction(open_);
  tray_ = new QSystemTrayIcon(programIcon(), this);
  tray_->setToolTip("Tarnwick\nConvert ALL fax documents to tif");
  tray_->setContextMenu(menu);
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    // Many Linux trays report a single click only; it opens the window too.
    if (why == QSystemTrayIcon::DoubleClick || why == QSystemTrayIcon::Trigger) showFromTray();
  });
  if (QSystemTrayIcon::isSystemTrayAvailable()) tray_->show();
}

void MainWindow::showFromTray() {
  if (isMinimized()) {
    showNormal();
  } else {
    show();
  }
  raise();
  activateWindow();
}

void MainWindow::tabChanged(int index) {
  if (index == 0) applyPages();
}

void MainWindow::applyPages() {
  options_->apply();
  settings_->apply();
  convert_->setSwitches(options_->switches());
}

void MainWindow::showAbout() {
  const QString title = "About Tarnwick";
  QString text = QString(
                     "<p><b>Tarnwick</b> %1</p><p>Converts fax files into bi-level TIFF files with "
                     "CCITT T.6 (Group 4) compression.</p><p>Licence: %2</p>")
                     .arg(TARNWICK_VERSION, TARNWICK_LICENCE);
  if (!context_.helpPath.empty())
    text += QString("<p><a href=\"%1\">Read the manual</a></p>")
                .arg(QUrl::fromLocalFile(QString::fromStdString(context_.helpPath)).toString());
  if (context_.desktop.about) {
    context_.desktop.about(title, text);
  } else {
    QMessageBox::about(this, title, text);
  }
}

void MainWindow::showHelp() {
  const QString path = QString::fromStdString(context_.helpPath);
  if (path.isEmpty() || !QFileInfo::exists(path)) {
    const QString text = "The manual (README.md) was not found.";
    if (context_.desktop.message) {
      context_.desktop.message(QMessageBox::Warning, "Help", text);
    } else {
      QMessageBox::warning(this, "Help", text);
    }
    return;
  }
  const QUrl url = QUrl::fromLocalFile(path);
  if (context_.desktop.openUrl) {
    context_.desktop.openUrl(url);
  } else {
    QDesktopServices::openUrl(url);
  }
}

void MainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // Minimised, the window lives on as the tray icon when the desktop has one.
  if (event->type() == QEvent::WindowStateChange && isMinimized() && tray_->isVisible())
    QTimer::singleShot(0, this, &QWidget::hide);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    close();
    return;
  }
  QWidget::keyPressEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // A run still going is asked to stop; it logs what it did. One that takes
  // longer than the grace period is left to the process's end.
  if (!convert_->stopAll(context_.stopGraceMs))
    std::fprintf(stderr, "tarnwick: a conversion was still running at exit\n");
  saveSettings();
  tray_->hide();
  event->accept();
  emit closed();
}

void MainWindow::saveSettings() {
  if (saved_) return;
  saved_ = true;
  shell::ProfileFile file;
  if (file.load(context_.settingsPath) != 0) {
    std::fprintf(stderr, "tarnwick: settings not saved: cannot read %s\n",
                 context_.settingsPath.c_str());
    return;
  }
  shell::writeMainSettings(file, convert_->mainSettings());
  shell::writeOptionsSettings(file, options_->valuesToSave());
  shell::writeDecodeSettings(file, settings_->valuesToSave());
  if (file.save(context_.settingsPath) != 0)
    std::fprintf(stderr, "tarnwick: cannot write the settings file %s\n",
                 context_.settingsPath.c_str());
}

}  // namespace tarnwick::ui
