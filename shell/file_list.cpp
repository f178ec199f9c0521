#include "shell/file_list.h"

#include <cerrno>
#include <map>
#include <set>
#include <string_view>

#include "engine/fax_type_detect.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace tarnwick::shell {
namespace {

using platform::equalsIgnoreCase;
using platform::joinPath;

// A part file ends in its three-character part number and its extension.
constexpr size_t kPartSuffixLength = 7;  // "001.FXS"
constexpr uint8_t kMergeFxsParts = 2;

constexpr std::string_view kCombinedSuffix = "fxx.fxm";

bool isCombinedName(std::string_view rel) {
  return rel.size() >= kCombinedSuffix.size() &&
         rel.substr(rel.size() - kCombinedSuffix.size()) == kCombinedSuffix;
}

struct Walk {
  BatchJob& job;
  const ConversionOptions& options;
  const FxsPartMerger& merger;
  std::set<std::string> startedCombined;  // full paths of combined files begun in this walk
  // The combined files already in the list: only they can be met twice, once
  // for each of their parts, so other entries are not kept here as well.
  std::set<std::string> listed;
  // Combined file -> its part "001", whose times it takes once every part is in.
  std::map<std::string, std::string> timesFrom;
  int added = 0;

  bool mine(const std::string& rel) const { return inShard(rel, job.shardIndex, job.shardCount); }

  void list(const std::string& rel) {
    if (isCombinedName(rel) && !listed.insert(rel).second) return;
    job.fileList.push_back(rel);
    ++added;
  }
};

bool isFxsPart(std::string_view name) {
  if (name.size() < kPartSuffixLength) return false;
  const std::string_view ext = name.substr(name.size() - 4);
  return equalsIgnoreCase(ext, ".fxd") || equalsIgnoreCase(ext, ".fxr") ||
         equalsIgnoreCase(ext, ".fxs");
}

std::string relativeTo(const std::string& relFolder, const std::string& name) {
  return relFolder.empty() ? name : relFolder + platform::kSeparator + name;
}

// Merges one part into its combined file; a part that fails is listed on its
// own so that the run reports it instead of dropping its pages silently.
void mergePart(Walk& walk, const std::string& folder, const std::string& relFolder,
               const std::string& name) {
  const std::string stem = name.substr(0, name.size() - kPartSuffixLength);
  const std::string combinedName = stem + std::string(kCombinedSuffix);
  // Another share's process merges it; listed so that its destination is
  // known to every share.
  if (!walk.mine(relativeTo(relFolder, combinedName))) {
    walk.list(relativeTo(relFolder, combinedName));
    return;
  }
  const std::string partPath = joinPath(folder, name);
  const std::string combinedPath = joinPath(folder, combinedName);
  const bool startNew = walk.startedCombined.count(combinedPath) == 0;
  if (const int merged = walk.merger(partPath, combinedPath, startNew); merged != 0) {
    walk.job.walkProblems.push_back(
        {WalkProblem::kPartNotMerged, partPath, combinedPath, merged < 0 ? merged : -1});
    walk.list(relativeTo(relFolder, name));
    return;
  }
  walk.startedCombined.insert(combinedPath);
  const std::string_view number = std::string_view(name).substr(name.size() - kPartSuffixLength, 3);
  if (number == "001") walk.timesFrom[combinedPath] = partPath;
  walk.list(relativeTo(relFolder, combinedName));
}

int walkFolder(Walk& walk, const std::string& folder, const std::string& relFolder, bool recurse) {
  std::vector<platform::FolderEntry> entries;
  if (platform::listFolder(folder, entries) != 0) {
    const int error = errno;
    walk.job.walkProblems.push_back({WalkProblem::kFolderUnreadable, folder, {}, error});
    return kSourceUnreadable;
  }
  const bool mergeParts = walk.options.ConvertFlag == kMergeFxsParts && walk.merger;
  for (const platform::FolderEntry& entry : entries) {
    if (!platform::matchesFilter(entry.name, walk.job.filter)) continue;
    const std::string path = joinPath(folder, entry.name);
    if (entry.error != 0) {
      walk.job.walkProblems.push_back({WalkProblem::kEntryUnreadable, path, {}, entry.error});
      continue;
    }
    if (entry.isFolder) {
      if (recurse) walkFolder(walk, path, relativeTo(relFolder, entry.name), recurse);
      continue;
    }
    if (!entry.isFile) continue;
    if (detectFaxType(path) == FAX_TYPE_EXCLUDED) continue;
    if (mergeParts && isFxsPart(entry.name)) {
      mergePart(walk, folder, relFolder, entry.name);
      continue;
    }
    walk.list(relativeTo(relFolder, entry.name));
  }
  return 0;
}

// The part of `folder` below job.source ("" for the source itself).
std::string folderBelowSource(const std::string& source, const std::string& folder) {
  std::string base = source;
  while (base.size() > 1 && base.back() == platform::kSeparator) base.pop_back();
  if (folder.size() <= base.size() || folder.compare(0, base.size(), base) != 0) return "";
  if (base.back() != platform::kSeparator && folder[base.size()] != platform::kSeparator) return "";
  size_t start = base.size();
  while (start < folder.size() && folder[start] == platform::kSeparator) ++start;
  std::string rel = folder.substr(start);
  while (!rel.empty() && rel.back() == platform::kSeparator) rel.pop_back();
  return rel;
}

}  // namespace

uint64_t fnv1a64(std::string_view text) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

bool inShard(std::string_view rel, uint32_t index, uint32_t count) {
  return count <= 1 || fnv1a64(rel) % count == index;
}

void keepShard(BatchJob& job) {
  job.fileList.keepIf(
      [&](std::string_view rel) { return inShard(rel, job.shardIndex, job.shardCount); });
}

int buildFileList(BatchJob& job, const std::string& folder, bool recurse,
                  const ConversionOptions& options, const FxsPartMerger& merger) {
  Walk walk{job, options, merger, {}, {}, {}, 0};
  for (const std::string& rel : job.fileList)
    if (isCombinedName(rel)) walk.listed.insert(rel);
  const int status = walkFolder(walk, folder, folderBelowSource(job.source, folder), recurse);
  // After the last append, which would otherwise leave its own time behind.
  for (const auto& [combined, part] : walk.timesFrom) platform::copyFileTimes(part, combined);
  return status < 0 ? status : walk.added;
}

}  // namespace tarnwick::shell
