#pragma once
// The Convert page: source, destination and backup folders, Go and Cancel,
// the list of the run's files, progress and status. Runs go on a
// ConversionThread; the page only shows what the run reports.

#include <QTimer>
#include <QWidget>
#include <memory>
#include <vector>

#include "shell/settings_file.h"
#include "ui/conversion_thread.h"
#include "ui/window_context.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace tarnwick::ui {

// The Options page values a run uses, handed over when the Convert tab is selected.
struct RunSwitches {
  bool fileMode = false;
  bool includeSubfolders = false;
  bool keepHierarchy = false;
  bool keepDateTime = false;
  bool keepExtension = true;
};

class ConvertPage : public QWidget {
  Q_OBJECT

 public:
  ConvertPage(const WindowContext& context, const shell::MainSettings& stored, QWidget* parent);
  ~ConvertPage() override;

  void setSwitches(const RunSwitches& switches) { switches_ = switches; }
  const RunSwitches& switches() const { return switches_; }
  shell::MainSettings mainSettings() const;
  bool running() const { return running_; }
  const QTimer& autoTimer() const { return autoTimer_; }

  // Asks every run still going to stop and waits up to `ms` for them in all.
  // True when none is left running.
  bool stopAll(int ms);
  // Runs that were still going when their page was destroyed: the process
  // must end without waiting for them.
  static int abandonedRuns();

 public slots:
  void go();
  void cancel();
  // The auto-conversion timer's tick: a run that skips existing outputs.
  void autoRun();
  // Starts the auto-conversion timer with a period of `minutes` (at least
  // 1), or stops it.
  void armTimer(int minutes, bool enabled);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void buildControls();
  void startRun(bool fromTimer);
  void onReport(quint64 runId, const shell::WorkerReport& report);
  void finishRun();
  void setIdle(bool idle);
  void reapThreads();
  void pickSource();
  void pickFolder(QLineEdit* box);
  void openRow(QTreeWidgetItem* item);
  void tell(QMessageBox::Icon icon, const QString& caption, const QString& text);

  const WindowContext context_;
  RunSwitches switches_;
  bool running_ = false;
  quint64 currentRun_ = 0;
  quint64 lastRun_ = 0;
  int workSlot_ = 0;  // a run left behind keeps its work files; the next takes new ones
  std::vector<std::unique_ptr<ConversionThread>> threads_;
  QTimer autoTimer_;

  QLineEdit* filter_ = nullptr;
  QLineEdit* source_ = nullptr;
  QLineEdit* save_ = nullptr;
  QLineEdit* backup_ = nullptr;
  QPushButton* pickSource_ = nullptr;
  QPushButton* pickSave_ = nullptr;
  QPushButton* pickBackup_ = nullptr;
  QPushButton* go_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QTreeWidget* list_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* status_ = nullptr;
};

}  // namespace tarnwick::ui
