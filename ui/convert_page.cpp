#include "ui/convert_page.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/paths.h"
#include "ui/page_style.h"

namespace tarnwick::ui {
namespace {

constexpr char kWelcome[] = "It's a GOOD idea to backup your fax files, and NEVER delete them";
int gAbandonedRuns = 0;

QString qs(const std::string& text) {
  return QString::fromStdString(text);
}

std::string text(const QLineEdit* box) {
  return box->text().toStdString();
}

}  // namespace

ConvertPage::ConvertPage(const WindowContext& context, const shell::MainSettings& stored,
                         QWidget* parent)
    : QWidget(parent), context_(context) {
  buildControls();
  source_->setText(qs(stored.FaxDir));
  save_->setText(qs(stored.SaveDir));
  backup_->setText(qs(stored.BakDir));
  setIdle(true);
  connect(&autoTimer_, &QTimer::timeout, this, &ConvertPage::autoRun);
}

ConvertPage::~ConvertPage() {
  for (auto& thread : threads_) {
    if (!thread->isRunning()) continue;
    // Left to finish on its own: destroying a running thread would abort.
    thread->requestStop();
    thread->logAtExit();
    disconnect(thread.get(), nullptr, this, nullptr);
    (void)thread.release();
    ++gAbandonedRuns;
  }
}

int ConvertPage::abandonedRuns() {
  return gAbandonedRuns;
}

void ConvertPage::buildControls() {
  stylePage(this, QColor(252, 252, 252));
  auto* group = new QGroupBox("Convert Fax to TIFF", this);
  auto* grid = new QGridLayout;
  const auto addRow = [&](int row, const char* label, const char* name, QLineEdit*& box,
                          QPushButton** picker) {
    grid->addWidget(new QLabel(label, group), row, 0);
    box = new QLineEdit(group);
    box->setObjectName(name);
    grid->addWidget(box, row, 1);
    if (!picker) return;
    *picker = new QPushButton("...", group);
    (*picker)->setObjectName(QString(name) + "Pick");
    (*picker)->setFixedWidth(32);
    grid->addWidget(*picker, row, 2);
  };
  addRow(0, "filter", "filter", filter_, nullptr);
  filter_->setText("*.*");
  filter_->setMaximumWidth(120);
  addRow(1, "Source", "source", source_, &pickSource_);
  addRow(2, "Destniation", "save", save_, &pickSave_);
  addRow(3, "Move to", "backup", backup_, &pickBackup_);

  go_ = new QPushButton("&Go", group);
  go_->setObjectName("go");
  cancel_ = new QPushButton("&Cancel", group);
  cancel_->setObjectName("cancel");
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(go_);
  buttons->addWidget(cancel_);

  list_ = new QTreeWidget(group);
  list_->setObjectName("list");
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setHeaderLabels({"Source Fax Files", "Destination Tif Files", "Results"});
  for (int column = 0; column < 3; ++column) list_->resizeColumnToContents(column);
  list_->header()->setStretchLastSection(true);

  progress_ = new QProgressBar(group);
  progress_->setObjectName("progress");
  progress_->setRange(0, 1);
  progress_->setValue(0);
  status_ = new QLabel(kWelcome, group);
  status_->setObjectName("status");

  auto* box = new QVBoxLayout(group);
  box->addLayout(grid);
  box->addLayout(buttons);
  box->addWidget(list_, 1);
  box->addWidget(progress_);
  box->addWidget(status_);
  auto* page = new QVBoxLayout(this);
  page->addWidget(group);

  connect(go_, &QPushButton::clicked, this, &ConvertPage::go);
  connect(cancel_, &QPushButton::clicked, this, &ConvertPage::cancel);
  connect(pickSource_, &QPushButton::clicked, this, &ConvertPage::pickSource);
  connect(pickSave_, &QPushButton::clicked, this, [this] { pickFolder(save_); });
  connect(pickBackup_, &QPushButton::clicked, this, [this] { pickFolder(backup_); });
  connect(list_, &QTreeWidget::itemDoubleClicked, this, &ConvertPage::openRow);
}

shell::MainSettings ConvertPage::mainSettings() const {
  return {text(source_), text(save_), text(backup_)};
}

void ConvertPage::keyPressEvent(QKeyEvent* event) {
  // Enter and Esc belong to no button here and must not reach the window.
  const int key = event->key();
  if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

void ConvertPage::tell(QMessageBox::Icon icon, const QString& caption, const QString& message) {
  if (context_.desktop.message) {
    context_.desktop.message(icon, caption, message);
    return;
  }
  QMessageBox box(icon, caption, message, QMessageBox::Ok, this);
  box.exec();
}

void ConvertPage::go() {
  startRun(false);
}

void ConvertPage::autoRun() {
  startRun(true);
}

void ConvertPage::armTimer(int minutes, bool enabled) {
  if (!enabled) {
    autoTimer_.stop();
    return;
  }
  autoTimer_.start(std::max(1, minutes) * 60000);
}

void ConvertPage::startRun(bool fromTimer) {
  if (running_) {
    if (!fromTimer)
      tell(QMessageBox::Warning, "Warning", "Please wait while running conversion stops");
    return;
  }
  const std::string sourceText = text(source_);
  if (shell::parseSourceText(sourceText, switches_.fileMode).folder.empty()) {
    if (!fromTimer)
      tell(QMessageBox::Warning, "Warning",
           "Select Source Dir,\nwhere your fax files to be converted should be");
    return;
  }
  if (save_->text().isEmpty()) {
    if (!fromTimer)
      tell(QMessageBox::Warning, "Warning",
           "Select Save Dir,\nwhere your converted tif files should be");
    return;
  }
  BatchJob job;
  job.filter = text(filter_);
  job.keepDateTime = switches_.keepDateTime;
  job.keepExtension = switches_.keepExtension;
  job.keepHierarchy = switches_.keepHierarchy;
  job.includeSubfolders = switches_.includeSubfolders;
  job.save = text(save_);
  job.backupFolder = text(backup_);
  job.skipExisting = fromTimer ? 1 : 0;
  shell::WorkerSetup setup;
  setup.sourceText = sourceText;
  setup.fileMode = switches_.fileMode;
  setup.includeSubfolders = switches_.includeSubfolders;
  setup.logPath = context_.logPath;
  setup.workPrefix =
      platform::joinPath(context_.workFolder, "run" + std::to_string(workSlot_) + "-");
  setup.convert = context_.convert;

  currentRun_ = ++lastRun_;
  auto thread = std::make_unique<ConversionThread>(currentRun_, job, setup, context_.options);
  connect(thread.get(), &ConversionThread::reported, this, &ConvertPage::onReport,
          Qt::QueuedConnection);
  connect(thread.get(), &QThread::finished, this, &ConvertPage::reapThreads, Qt::QueuedConnection);
  running_ = true;
  list_->clear();
  progress_->setValue(0);
  setIdle(false);
  thread->start();
  threads_.push_back(std::move(thread));
}

void ConvertPage::onReport(quint64 runId, const shell::WorkerReport& report) {
  // A run that was given up on reports into the void.
  if (runId != currentRun_) return;
  switch (report.event) {
    case shell::WorkerReport::kListed:
      progress_->setRange(0, std::max(1, report.count));
      progress_->setValue(0);
      break;
    case shell::WorkerReport::kError:
      tell(QMessageBox::Critical, "Error", qs(report.text));
      break;
    case shell::WorkerReport::kFileStarted: {
      status_->setText(qs(report.text));
      auto* row = new QTreeWidgetItem(list_, {qs(report.source), QString(), QString()});
      list_->scrollToItem(row);
      break;
    }
    case shell::WorkerReport::kFileDone:
      if (QTreeWidgetItem* row = list_->topLevelItem(report.index)) {
        row->setText(1, qs(report.destination));
        row->setText(2, qs(report.text));
      }
      progress_->setValue(std::min(progress_->maximum(), progress_->value() + 1));
      break;
    case shell::WorkerReport::kFinished:
      status_->setText(qs(report.text));
      finishRun();
      break;
  }
}

void ConvertPage::finishRun() {
  running_ = false;
  currentRun_ = 0;
  setIdle(true);
  for (int column = 0; column < 2; ++column) list_->resizeColumnToContents(column);
}

void ConvertPage::setIdle(bool idle) {
  for (QWidget* w : {static_cast<QWidget*>(go_), static_cast<QWidget*>(pickSource_),
                     static_cast<QWidget*>(pickSave_), static_cast<QWidget*>(pickBackup_),
                     static_cast<QWidget*>(source_), static_cast<QWidget*>(save_),
                     static_cast<QWidget*>(backup_)})
    w->setEnabled(idle);
  cancel_->setEnabled(!idle);
  if (idle) {
    list_->unsetCursor();
  } else {
    list_->setCursor(Qt::BusyCursor);
  }
}

void ConvertPage::cancel() {
  if (!running_) return;
  const quint64 run = currentRun_;
  for (auto& thread : threads_)
    if (thread->runId() == run) thread->requestStop();
  cancel_->setEnabled(false);
  // The run ends after the file it is on; one that takes longer than the
  // grace period counts as stopped anyway and its later reports are dropped.
  QTimer::singleShot(context_.stopGraceMs, this, [this, run] {
    if (!running_ || currentRun_ != run) return;
    ++workSlot_;
    status_->setText("Cancelled");
    finishRun();
  });
}

void ConvertPage::reapThreads() {
  std::erase_if(threads_,
                [](const std::unique_ptr<ConversionThread>& t) { return t->isFinished(); });
}

bool ConvertPage::stopAll(int ms) {
  const QDeadlineTimer deadline(ms);
  bool allEnded = true;
  for (auto& thread : threads_) thread->requestStop();
  for (auto& thread : threads_) allEnded = thread->wait(deadline) && allEnded;
  return allEnded;
}

void ConvertPage::pickSource() {
  if (!switches_.fileMode) {
    pickFolder(source_);
    return;
  }
  QString pattern = filter_->text().trimmed();
  if (pattern.isEmpty() || pattern == "*.*") pattern = "*";
  const QStringList files = QFileDialog::getOpenFileNames(
      this, "Select fax files", QString(), QString("Fax files (%1);;All files (*)").arg(pattern));
  if (files.isEmpty()) return;
  std::vector<std::string> paths;
  for (const QString& file : files) paths.push_back(file.toStdString());
  source_->setText(qs(shell::sourceTextForFiles(paths)));
}

void ConvertPage::pickFolder(QLineEdit* box) {
  const QString folder = QFileDialog::getExistingDirectory(this, "Select a folder", box->text());
  if (!folder.isEmpty()) box->setText(folder);
}

void ConvertPage::openRow(QTreeWidgetItem* item) {
  const QString destination = item ? item->text(1) : QString();
  if (destination.isEmpty()) return;
  // In split mode the row names the base; the first page file stands for it.
  QString file = destination;
  if (!QFileInfo::exists(file)) file = qs(platform::pageFileName(destination.toStdString(), 1));
  const QUrl url = QUrl::fromLocalFile(file);
  if (context_.desktop.openUrl) {
    context_.desktop.openUrl(url);
  } else {
    QDesktopServices::openUrl(url);
  }
}

}  // namespace tarnwick::ui
