#pragma once
// A folder job's list of files, relative to the source folder.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "records/length_prefix.h"

namespace tarnwick {

// The names lie back to back in blocks that never move, each after its
// length, with 4 bytes a name to find it: about 20 bytes a file of a large
// tree where strings took 32 and more, and no growth ever holds an old and a
// new copy of the list at once, as a vector's does. A name that does not fit
// a block, or any past the blocks' first 2 GB, is kept as a string.
class FileList {
 public:
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string;

    const_iterator() = default;
    const_iterator(const FileList* list, size_t at) : list_(list), at_(at) {}
    std::string operator*() const { return (*list_)[at_]; }
    const_iterator& operator++() {
      ++at_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++at_;
      return before;
    }
    bool operator==(const const_iterator& other) const { return at_ == other.at_; }

   private:
    const FileList* list_ = nullptr;
    size_t at_ = 0;
  };
  using iterator = const_iterator;
  using value_type = std::string;

  FileList() = default;
  FileList(std::initializer_list<std::string_view> names);
  FileList(const FileList& other);
  FileList& operator=(const FileList& other);
  FileList(FileList&&) noexcept = default;
  FileList& operator=(FileList&&) noexcept = default;

  void push_back(std::string_view name);
  template <class Iterator>
  void assign(Iterator first, Iterator last) {
    clear();
    for (; first != last; ++first) push_back(*first);
  }
  void assign(size_t count, std::string_view name);
  void clear();
  // Gives back the spare room of the index of names.
  void shrink_to_fit() { where_.shrink_to_fit(); }

  // Keeps, in order, the names `keep` (called with a std::string_view) is
  // true for.
  template <class Keep>
  void keepIf(Keep keep) {
    FileList kept;
    for (size_t i = 0; i < size(); ++i)
      if (keep(view(i))) kept.push_back(view(i));
    *this = std::move(kept);
  }

  size_t size() const { return where_.size(); }
  bool empty() const { return where_.empty(); }
  std::string_view view(size_t index) const;
  std::string operator[](size_t index) const { return std::string(view(index)); }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size()}; }

  bool operator==(const FileList& other) const;

 private:
  static constexpr size_t kBlockBytes = 16 << 10;
  // Where a name is: its offset counted over the blocks one after the
  // other, or, with kLongName set, its index in longNames_.
  static constexpr uint32_t kLongName = 0x80000000u;
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t lastBlockUsed_ = 0;
  std::deque<std::string> longNames_;
  std::deque<uint32_t> where_;
};

inline FileList::FileList(std::initializer_list<std::string_view> names) {
  for (std::string_view name : names) push_back(name);
}

inline FileList::FileList(const FileList& other) {
  for (size_t i = 0; i < other.size(); ++i) push_back(other.view(i));
}

inline FileList& FileList::operator=(const FileList& other) {
  if (this != &other) {
    FileList copy(other);
    *this = std::move(copy);
  }
  return *this;
}

// A name is its length (records/length_prefix.h), then its bytes.
inline void FileList::push_back(std::string_view name) {
  uint8_t length[kLengthPrefixMostBytes];
  const size_t lengthBytes = putLengthPrefix(name.size(), length);
  const size_t bytes = lengthBytes + name.size();
  const bool newBlock = blocks_.empty() || kBlockBytes - lastBlockUsed_ < bytes;
  if (bytes > kBlockBytes || (newBlock && (blocks_.size() + 1) * kBlockBytes > kLongName)) {
    where_.push_back(kLongName | uint32_t(longNames_.size()));
    longNames_.emplace_back(name);
    return;
  }
  if (newBlock) {
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockBytes));
    lastBlockUsed_ = 0;
  }
  char* at = blocks_.back().get() + lastBlockUsed_;
  std::memcpy(at, length, lengthBytes);
  if (!name.empty()) std::memcpy(at + lengthBytes, name.data(), name.size());
  where_.push_back(uint32_t((blocks_.size() - 1) * kBlockBytes + lastBlockUsed_));
  lastBlockUsed_ += bytes;
}

inline void FileList::assign(size_t count, std::string_view name) {
  clear();
  for (size_t i = 0; i < count; ++i) push_back(name);
}

inline void FileList::clear() {
  blocks_.clear();
  blocks_.shrink_to_fit();
  longNames_.clear();
  longNames_.shrink_to_fit();
  where_.clear();
  where_.shrink_to_fit();
  lastBlockUsed_ = 0;
}

inline std::string_view FileList::view(size_t index) const {
  const uint32_t where = where_[index];
  if (where & kLongName) return longNames_[where & ~kLongName];
  const auto* at =
      reinterpret_cast<const uint8_t*>(blocks_[where / kBlockBytes].get() + where % kBlockBytes);
  const size_t length = takeLengthPrefix(at);
  return {reinterpret_cast<const char*>(at), length};
}

inline bool FileList::operator==(const FileList& other) const {
  if (size() != other.size()) return false;
  for (size_t i = 0; i < size(); ++i)
    if (view(i) != other.view(i)) return false;
  return true;
}

}  // namespace tarnwick
