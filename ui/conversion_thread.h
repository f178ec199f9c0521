#pragma once
// One window run on a thread of its own. Reports leave the thread as a
// signal; connected to an object of the window thread they arrive queued, so
// neither side ever waits for the other.

#include <QMetaType>
#include <QThread>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "records/batch_job.h"
#include "shell/conversion_worker.h"

Q_DECLARE_METATYPE(tarnwick::shell::WorkerReport)

namespace tarnwick::ui {

class ConversionThread : public QThread {
  Q_OBJECT

 public:
  // The thread owns its copy of the job; `options` is shared with the window.
  // The log entry is written by the thread, once.
  ConversionThread(quint64 runId, const BatchJob& job, shell::WorkerSetup setup,
                   std::shared_ptr<const shell::SharedOptions> options);
  ~ConversionThread() override;

  quint64 runId() const { return runId_; }
  // Asks the run to start no further file.
  void requestStop() { stop_ = true; }
  // For a run the program ends without: logs the files done so far and a
  // line saying the run was cut short, unless the run logged itself.
  void logAtExit();

 signals:
  void reported(quint64 runId, const tarnwick::shell::WorkerReport& report);

 protected:
  void run() override;

 private:
  const quint64 runId_;
  BatchJob job_;
  const shell::WorkerSetup setup_;
  const std::shared_ptr<const shell::SharedOptions> options_;
  std::atomic<bool> stop_{false};
  // The run's results text as of its last finished file, for logAtExit.
  std::mutex logMutex_;
  std::string textSoFar_;
  size_t copied_ = 0;
  bool logged_ = false;
};

}  // namespace tarnwick::ui
