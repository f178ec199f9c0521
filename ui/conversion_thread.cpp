#include "ui/conversion_thread.h"

#include "shell/conversion_log.h"

namespace tarnwick::ui {

ConversionThread::ConversionThread(quint64 runId, const BatchJob& job, shell::WorkerSetup setup,
                                   std::shared_ptr<const shell::SharedOptions> options)
    : runId_(runId), job_(job), setup_(std::move(setup)), options_(std::move(options)) {
  qRegisterMetaType<shell::WorkerReport>();
}

ConversionThread::~ConversionThread() {
  // Whoever destroys the thread has waited for it; this is the last guard.
  requestStop();
  wait();
}

void ConversionThread::run() {
  shell::WorkerSetup setup = setup_;
  setup.logPath.clear();
  shell::conversionWorker(job_, setup, *options_, stop_, [this](const shell::WorkerReport& report) {
    if (report.event == shell::WorkerReport::kFileDone) {
      const std::lock_guard lock(logMutex_);
      textSoFar_ += job_.resultsText.substr(std::min(copied_, job_.resultsText.size()));
      copied_ = job_.resultsText.size();
    } else if (report.event == shell::WorkerReport::kFinished) {
      const std::lock_guard lock(logMutex_);
      if (!logged_) (void)shell::appendLog(setup_.logPath, job_.resultsText, true);
      logged_ = true;
    }
    emit reported(runId_, report);
  });
}

void ConversionThread::logAtExit() {
  const std::lock_guard lock(logMutex_);
  if (logged_) return;
  logged_ = true;
  (void)shell::appendLog(setup_.logPath,
                         textSoFar_ + "Stopped : the program ended while a file was converted\r\n",
                         true);
}

}  // namespace tarnwick::ui
