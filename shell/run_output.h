#pragma once
// What a command-line run has to say: its results text, its standard-error
// text and its machine-readable report. Gathered as the files end, in work
// files once they outgrow memory, and written out when the run is over.

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/text_spool.h"
#include "records/batch_job.h"
#include "shell/batch.h"
#include "shell/json_report.h"

namespace tarnwick::shell {

class RunOutput final : public FolderRunSink {
 public:
  // `workFolder`: where the texts go once they outgrow memory; they stay
  // readable after it is removed. `keepReport`: whether the records become
  // report lines (otherwise they are dropped).
  RunOutput(const std::string& workFolder, bool keepReport);

  void addResults(std::string_view lines) override { results_.append(lines); }
  void addErrors(std::string_view lines) override { errors_.append(lines); }
  void addRecord(const FileRecord& record) override;

  // Each returns false when the text kept could not be read back (see
  // readError()) or, for a stream, when the stream failed.

  // Appends the results text to the log as one entry (conversion_log.h): 0,
  // a LogStatus.
  int appendToLog(const std::string& logPath, bool createParents) const;
  // The report lines, then the summary for `job` and `milliseconds`.
  bool writeReport(std::ostream& out, const BatchJob& job, int64_t milliseconds) const;
  // The results text with each "\r\n" written as "\n".
  bool writeResults(std::ostream& out) const;
  bool writeErrors(std::ostream& out) const;

  // The errno of the first text that could not be read back, 0 when none.
  int readError() const { return readError_; }

 private:
  bool noteRead(bool read) const;

  platform::TextSpool results_;
  platform::TextSpool errors_;
  platform::TextSpool report_;
  ReportTotals totals_;
  bool keepReport_;
  mutable int readError_ = 0;
};

}  // namespace tarnwick::shell
