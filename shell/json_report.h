#pragma once
// The machine-readable report: JSON Lines, one object per file of the run in
// list order, then one summary object.
//
// A file's object:
//   {"source": "in/a.g3", "destinations": ["out/a.tif"], "family": "raw",
//    "pages": 2, "outcome": "converted", "coding": "t4_1d",
//    "bit_order": "msb_first", "width": 1728, "bytes_read": 51234,
//    "bytes_written": 40211, "milliseconds": 12}
// "family" is null for a file that was never looked at; "coding",
// "bit_order" and "width" appear for raw streams that were found to be
// faxes. A path that is not valid UTF-8 is written with each invalid byte
// as U+FFFD and comes again, byte for byte, as lower-case hex in a field of
// its own: "source_hex", and "destinations_hex" (an array beside
// "destinations", every entry given).
//
// The summary: {"summary": true, "source": ..., "save": ..., "shard": "K/N"
// or null, "files": N, "outcomes": {"converted": 3, ...}, "pages": ...,
// "bytes_read": ..., "bytes_written": ..., "milliseconds": ...}.

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <string_view>

#include "records/batch_job.h"

namespace tarnwick::shell {

// The fixed word of a file's outcome: converted, skipped, already_tiff,
// not_fax, error_fax, copy_failed, source_unreadable, destination_taken,
// write_failed, work_write_failed, no_space, folder_not_created, exception,
// part_missing, not_tried.
const char* outcomeWord(const FileRecord& record);

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates).
bool isValidUtf8(std::string_view text);

// What the summary adds up over the records of a run.
struct ReportTotals {
  uint64_t files = 0;
  std::map<std::string, int> outcomes;  // outcomeWord -> files
  int64_t pages = 0;
  uint64_t bytesRead = 0;
  uint64_t bytesWritten = 0;

  void add(const FileRecord& record);
};

// A file's object and the summary object, each as one line ending in "\n".
std::string reportLine(const FileRecord& record);
std::string summaryLine(const BatchJob& job, const ReportTotals& totals, int64_t milliseconds);

// Writes job.records and the summary (`milliseconds` for the whole run) to
// `out`. Returns whether `out` took everything.
bool writeJsonReport(std::ostream& out, const BatchJob& job, int64_t milliseconds);

}  // namespace tarnwick::shell
