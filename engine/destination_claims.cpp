#include "engine/destination_claims.h"

#include <sys/stat.h>

#include <filesystem>

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

// The path resolved through every link and "..", as far as it exists.
std::string resolvedKey(const std::string& path) {
  std::error_code error;
  fs::path absolute = fs::absolute(path, error);
  if (error) absolute = path;
  fs::path resolved = fs::weakly_canonical(absolute, error);
  if (error) resolved = absolute.lexically_normal();
  return resolved.string();
}

// The directory entry a rename at `path` replaces: its folder resolved, its
// own name kept, so a link at the path is not followed.
std::string entryKey(const std::string& path) {
  const fs::path given(path);
  const fs::path name = given.filename();
  if (name.empty() || name == "." || name == "..") return resolvedKey(path);
  const fs::path folder = given.parent_path();
  return (fs::path(resolvedKey(folder.empty() ? "." : folder.string())) / name).string();
}

}  // namespace

void DestinationClaims::addSource(const std::string& path) {
  const std::lock_guard lock(mutex_);
  sourceKeys_.insert(entryKey(path));
  sourceKeys_.insert(resolvedKey(path));
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) sourceIds_.insert({st.st_dev, st.st_ino});
  if (::stat(path.c_str(), &st) == 0) sourceIds_.insert({st.st_dev, st.st_ino});
}

bool DestinationClaims::claim(const std::string& destination, const std::string& source) {
  const std::lock_guard lock(mutex_);
  return owners_.try_emplace(entryKey(destination), source).first->second == source;
}

// A write at the path may replace the entry (a rename) or go through a link
// there (an append), so both must stay clear of every source.
bool DestinationClaims::isSource(const std::string& key, const std::string& path) const {
  if (sourceKeys_.count(key) != 0 || sourceKeys_.count(resolvedKey(path)) != 0) return true;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && sourceIds_.count({st.st_dev, st.st_ino}) != 0) return true;
  return ::stat(path.c_str(), &st) == 0 && sourceIds_.count({st.st_dev, st.st_ino}) != 0;
}

ClaimCheck DestinationClaims::check(const std::string& path, const std::string& source) {
  const std::lock_guard lock(mutex_);
  const std::string key = entryKey(path);
  if (isSource(key, path)) return {kClaimIsSource, {}};
  const auto [owner, added] = owners_.try_emplace(key, source);
  if (owner->second != source) return {kClaimTakenByOther, owner->second};
  return {kClaimFree, {}};
}

}  // namespace tarnwick
