#pragma once
// The main window: the Convert, Options and Settings tabs, Help and About,
// and the tray icon. It loads the settings file when the pages are built and
// saves it when the window closes.

#include <QWidget>

#include "ui/window_context.h"

class QAction;
class QSystemTrayIcon;
class QTabWidget;

namespace tarnwick::ui {

class ConvertPage;
class OptionsPage;
class SettingsPage;

class MainWindow : public QWidget {
  Q_OBJECT

 public:
  explicit MainWindow(const WindowContext& context, QWidget* parent = nullptr);

  ConvertPage* convertPage() const { return convert_; }
  OptionsPage* optionsPage() const { return options_; }
  SettingsPage* settingsPage() const { return settings_; }
  QTabWidget* tabs() const { return tabs_; }
  QAction* trayOpenAction() const { return open_; }

 signals:
  // The window has closed and saved its settings; the program may end.
  void closed();

 public slots:
  // Shows the window, restored and in front.
  void showFromTray();
  void showAbout();
  void showHelp();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void buildTray();
  void tabChanged(int index);
  // Applies the Options and Settings pages and hands the run switches to the Convert page.
  void applyPages();
  void saveSettings();

  const WindowContext context_;
  bool saved_ = false;
  QTabWidget* tabs_ = nullptr;
  ConvertPage* convert_ = nullptr;
  OptionsPage* options_ = nullptr;
  SettingsPage* settings_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  QAction* open_ = nullptr;
};

}  // namespace tarnwick::ui
