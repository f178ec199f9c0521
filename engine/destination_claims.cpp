#include "engine/destination_claims.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <string_view>

#include "records/length_prefix.h"

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
// own name kept, so a link at the path is not followed. With `last`, the
// folder resolved the call before is taken again when it is the same one.
std::string entryKey(const std::string& path, DestinationClaims::ResolvedFolder* last = nullptr) {
  const fs::path given(path);
  const fs::path name = given.filename();
  if (name.empty() || name == "." || name == "..") return resolvedKey(path);
  fs::path folder = given.parent_path();
  if (folder.empty()) folder = ".";
  if (!last) return (fs::path(resolvedKey(folder.string())) / name).string();
  if (last->folder != folder.native()) {
    last->resolved = resolvedKey(folder.string());
    last->folder = folder.native();
  }
  return (fs::path(last->resolved) / name).string();
}

// FNV-1a, then a final mix so that nearby inputs spread over all 64 bits.
uint64_t mixed(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  return h ^ (h >> 33);
}

uint64_t hashOf(std::string_view bytes) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (const char c : bytes) h = (h ^ uint8_t(c)) * 0x100000001b3ULL;
  return mixed(h);
}

uint64_t idHash(const struct stat& st) {
  return mixed(mixed(uint64_t(st.st_dev)) ^ uint64_t(st.st_ino));
}

bool contains(const std::vector<uint64_t>& sorted, uint64_t value) {
  return std::binary_search(sorted.begin(), sorted.end(), value);
}

// The key of a claim on the entry `entry`: never 0, which marks a free slot.
uint64_t claimKey(std::string_view entry) {
  return std::max<uint64_t>(1, hashOf(entry));
}

void sortUnique(std::vector<uint64_t>& values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
}

}  // namespace

uint32_t DestinationClaims::Owners::add(const std::string& source) {
  if (last_ != kNone && name(last_) == source) return last_;
  const size_t slash = source.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const auto [folder, added] =
      folderNumbers_.try_emplace(source.substr(0, nameStart), uint32_t(folders_.size()));
  if (added) folders_.push_back(folder->first);
  const size_t bytes = source.size() - nameStart;
  if (names_.size() + bytes + 2 * kLengthPrefixMostBytes >= kLongName) {
    if (longNames_.size() >= kLongName - 1) throw std::length_error("too many claim owners");
    last_ = kLongName | uint32_t(longNames_.size());
    longNames_.emplace_back(folder->second, source.substr(nameStart));
    return last_;
  }
  last_ = uint32_t(names_.size());
  uint8_t prefix[2 * kLengthPrefixMostBytes];
  size_t prefixBytes = putLengthPrefix(folder->second, prefix);
  prefixBytes += putLengthPrefix(bytes, prefix + prefixBytes);
  names_.append(reinterpret_cast<const char*>(prefix), prefixBytes);
  names_.append(source, nameStart);
  return last_;
}

std::string DestinationClaims::Owners::name(uint32_t owner) const {
  if (owner & kLongName) {
    const auto& [folder, name] = longNames_[owner & ~kLongName];
    return folders_[folder] + name;
  }
  const auto* start = reinterpret_cast<const uint8_t*>(names_.data()) + owner;
  const uint8_t* at = start;
  const size_t folder = takeLengthPrefix(at);
  const size_t bytes = takeLengthPrefix(at);
  return folders_[folder] + names_.substr(owner + size_t(at - start), bytes);
}

// The table's size need not be a power of two: a key's first slot is its
// hash scaled to the size.
size_t DestinationClaims::ClaimTable::slotOf(uint64_t key) const {
  const size_t slots = keys_.size();
  size_t at = size_t((static_cast<unsigned __int128>(key) * slots) >> 64);
  while (keys_[at] != 0 && keys_[at] != key) at = at + 1 == slots ? 0 : at + 1;
  return at;
}

uint32_t DestinationClaims::ClaimTable::find(uint64_t key) const {
  if (keys_.empty()) return kNoOwner;
  const size_t at = slotOf(key);
  return keys_[at] == key ? owners_[at] : kNoOwner;
}

// At most seven eighths full, so that every probe ends at a free slot: a
// reserved table is sized to its keys, one that fills up doubles.
void DestinationClaims::ClaimTable::reserve(size_t keys) {
  if (keys * 8 > keys_.size() * 7) resize(std::max<size_t>(64, keys * 8 / 7 + 1));
}

void DestinationClaims::ClaimTable::insert(uint64_t key, uint32_t owner) {
  if ((used_ + 1) * 8 > keys_.size() * 7) resize(std::max<size_t>(64, 2 * keys_.size()));
  const size_t at = slotOf(key);
  keys_[at] = key;
  owners_[at] = owner;
  ++used_;
}

void DestinationClaims::ClaimTable::resize(size_t slots) {
  std::vector<uint64_t> oldKeys(slots, 0);
  std::vector<uint32_t> oldOwners(slots, 0);
  oldKeys.swap(keys_);
  oldOwners.swap(owners_);
  for (size_t i = 0; i < oldKeys.size(); ++i) {
    if (oldKeys[i] == 0) continue;
    const size_t at = slotOf(oldKeys[i]);
    keys_[at] = oldKeys[i];
    owners_[at] = oldOwners[i];
  }
}

void DestinationClaims::reserve(size_t sources, size_t nameBytes) {
  const std::lock_guard lock(mutex_);
  sourceKeys_.reserve(sources);
  sourceIds_.reserve(sources);
  owners_.reserve(sources, nameBytes);
  claims_.reserve(sources);
}

// Most sources are no link: the entry and the file it leads to are one, and
// are kept once.
void DestinationClaims::addSource(const std::string& path) {
  const PathFacts facts = factsOf(path, entryKey(path, &lastSourceFolder_));
  const std::lock_guard lock(mutex_);
  sourceKeys_.push_back(facts.entryHash);
  if (facts.resolvedHash != facts.entryHash) sourceKeys_.push_back(facts.resolvedHash);
  if (facts.hasLinkId) sourceIds_.push_back(facts.linkId);
  if (facts.hasFileId && (!facts.hasLinkId || facts.fileId != facts.linkId))
    sourceIds_.push_back(facts.fileId);
  sorted_ = false;
}

bool DestinationClaims::claim(const std::string& destination, const std::string& source) {
  const std::lock_guard lock(mutex_);
  const uint64_t key = claimKey(entryKey(destination, &lastClaimFolder_));
  const uint32_t owner = claims_.find(key);
  if (owner == ClaimTable::kNoOwner) {
    claims_.insert(key, owners_.add(source));
    return true;
  }
  return owners_.name(owner) == source;
}

// A write at the path may replace the entry (a rename) or go through a link
// there (an append), so both must stay clear of every source.
DestinationClaims::PathFacts DestinationClaims::factsOf(const std::string& path,
                                                        const std::string& entry) {
  PathFacts facts;
  facts.entryHash = hashOf(entry);
  struct stat st {};
  facts.hasLinkId = ::lstat(path.c_str(), &st) == 0;
  if (!facts.hasLinkId && errno == ENOENT) {
    // Nothing at the path, nor maybe at its folder: it leads to its own
    // entry, whose folder was resolved as far as it exists.
    facts.resolvedHash = facts.entryHash;
    return facts;
  }
  if (facts.hasLinkId) facts.linkId = idHash(st);
  if (facts.hasLinkId && !S_ISLNK(st.st_mode)) {
    // No link at the path: it leads to its own entry, whose folder is
    // resolved already.
    facts.resolvedHash = facts.entryHash;
    facts.hasFileId = true;
    facts.fileId = facts.linkId;
    return facts;
  }
  facts.resolvedHash = hashOf(resolvedKey(path));
  facts.hasFileId = ::stat(path.c_str(), &st) == 0;
  if (facts.hasFileId) facts.fileId = idHash(st);
  return facts;
}

bool DestinationClaims::isSource(const PathFacts& facts) {
  if (!sorted_) {
    sortUnique(sourceKeys_);
    sortUnique(sourceIds_);
    sorted_ = true;
  }
  return contains(sourceKeys_, facts.entryHash) || contains(sourceKeys_, facts.resolvedHash) ||
         (facts.hasLinkId && contains(sourceIds_, facts.linkId)) ||
         (facts.hasFileId && contains(sourceIds_, facts.fileId));
}

ClaimCheck DestinationClaims::check(const std::string& path, const std::string& source) {
  const std::string entry = entryKey(path);
  const PathFacts facts = factsOf(path, entry);
  const uint64_t key = claimKey(entry);
  const std::lock_guard lock(mutex_);
  if (isSource(facts)) return {kClaimIsSource, {}};
  const uint32_t owner = claims_.find(key);
  if (owner == ClaimTable::kNoOwner) {
    claims_.insert(key, owners_.add(source));
    return {kClaimFree, {}};
  }
  std::string ownerName = owners_.name(owner);
  if (ownerName != source) return {kClaimTakenByOther, std::move(ownerName)};
  return {kClaimFree, {}};
}

}  // namespace tarnwick
