#include "shell/run_output.h"

#include <cerrno>

#include "shell/conversion_log.h"

namespace tarnwick::shell {

RunOutput::RunOutput(const std::string& workFolder, bool keepReport)
    : results_(workFolder), errors_(workFolder), report_(workFolder), keepReport_(keepReport) {}

void RunOutput::addRecord(const FileRecord& record) {
  if (!keepReport_) return;
  report_.append(reportLine(record));
  totals_.add(record);
}

// A stream that fails says nothing of the spool; only a failed read does.
bool RunOutput::noteRead(bool read) const {
  if (!read && readError_ == 0) readError_ = errno != 0 ? errno : EIO;
  return read;
}

int RunOutput::appendToLog(const std::string& logPath, bool createParents) const {
  const int status = appendLog(
      logPath,
      [this](const std::function<bool(std::string_view)>& piece) { return results_.read(piece); },
      createParents);
  if (status == kLogTextUnreadable) noteRead(false);
  return status;
}

bool RunOutput::writeReport(std::ostream& out, const BatchJob& job, int64_t milliseconds) const {
  errno = 0;
  const bool read = report_.read([&out](std::string_view lines) {
    out.write(lines.data(), std::streamsize(lines.size()));
    return bool(out);
  });
  if (!noteRead(read || !out) || !out) return false;
  out << summaryLine(job, totals_, milliseconds) << std::flush;
  return bool(out);
}

bool RunOutput::writeResults(std::ostream& out) const {
  bool carriageReturn = false;  // the last piece ended in one
  std::string text;
  errno = 0;
  const bool read = results_.read([&](std::string_view lines) {
    text.clear();
    for (const char c : lines) {
      if (carriageReturn && c != '\n') text += '\r';
      carriageReturn = c == '\r';
      if (!carriageReturn) text += c;
    }
    out << text;
    return bool(out);
  });
  if (carriageReturn) out << '\r';
  out << std::flush;
  return noteRead(read || !out) && bool(out);
}

bool RunOutput::writeErrors(std::ostream& out) const {
  errno = 0;
  const bool read = errors_.read([&out](std::string_view lines) {
    out.write(lines.data(), std::streamsize(lines.size()));
    return bool(out);
  });
  out << std::flush;
  return noteRead(read || !out) && bool(out);
}

}  // namespace tarnwick::shell
