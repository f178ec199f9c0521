#pragma once
// The folder walk that turns a source folder into the job's list of files.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "records/batch_job.h"
#include "records/conversion_options.h"

namespace tarnwick::shell {

// Appends the pages of the fxs part file `partPath` to `combinedPath`.
// `startNew` empties (or creates) the combined file first; otherwise the
// pages are added after the ones already there. 0 on success, negative when
// the part could not be read or the combined file not written.
using FxsPartMerger =
    std::function<int(const std::string& partPath, const std::string& combinedPath, bool startNew)>;

enum FileListStatus : int {
  kSourceUnreadable = -1,  // the top folder could not be listed; nothing was added
};

// Appends to job.fileList every file of `folder` (a path under job.source, or
// job.source itself) whose name matches job.filter, in name order, depth
// first into subfolders when `recurse` is set. Entries are relative to
// job.source ("sub/b.g3"). Files whose type is never a fax are left out, and
// so is anything that is not a regular file: links to folders are neither
// entered nor listed, and FIFOs, sockets and devices are skipped.
//
// The filter selects subfolders too: with a filter other than "*.*" only the
// subfolders whose names match it are entered.
//
// With page-output mode 2 (options.ConvertFlag) and a merger, fxs part files
// (".fxd", ".fxr", ".fxs", e.g. "ab12001.FXS") are not listed: each is merged
// into its combined file beside it ("ab12fxx.fxm"), the first part met
// starting it anew and later parts appending; once all are in, the combined
// file takes the times of part "001". It is listed once, in place of its
// parts, so the run that merges a fax also converts it instead of leaving it
// for a later run. A part that cannot be merged is listed itself, so its
// failure shows in the report.
//
// Whatever cannot be used is recorded in job.walkProblems, in walk order: a
// folder that cannot be listed (the walk goes on without it), an entry that
// cannot be examined, a part that cannot be merged.
//
// With job.shardCount above 1, part files are merged only into the combined
// files of share job.shardIndex (inShard), so processes over other shares
// never write the same combined file; the combined files of other shares are
// listed unmerged, once, for keepShard to drop.
//
// Returns the number of entries added, or kSourceUnreadable.
int buildFileList(BatchJob& job, const std::string& folder, bool recurse,
                  const ConversionOptions& options, const FxsPartMerger& merger = {});

// Drops from job.fileList the entries outside share job.shardIndex of
// job.shardCount, keeping the order of the rest.
void keepShard(BatchJob& job);

// FNV-1a, 64 bits, over the bytes of `text`: a hash that never changes
// between versions, machines or runs.
uint64_t fnv1a64(std::string_view text);

// Whether the entry `rel` (relative to the source folder, as listed) falls in
// share `index` of `count`: fnv1a64(rel) % count == index. A count of 0 or 1
// takes every entry.
bool inShard(std::string_view rel, uint32_t index, uint32_t count);

}  // namespace tarnwick::shell
