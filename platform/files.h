#pragma once
// Small file operations the pipeline and the folder walk use. None of them
// changes the process's current directory.

#include <cstdio>
#include <string>
#include <vector>

namespace tarnwick::platform {

// Makes sure the folder exists, creating missing parents first. True when it
// exists afterwards.
bool ensureFolder(const std::string& path);  // false with errno set

// True when the path is a regular file that opens for reading and holds at
// least one byte. An empty file counts as absent.
bool fileHasData(const std::string& path);

bool fileExists(const std::string& path);

// Opens a work file for writing from its start (`mode` "wb" or "w+b") as a
// new file: whatever is at `path` is removed first, never truncated. ext4
// writes a file that was truncated to zero out to the disk when it is
// closed, and discards its blocks when it is cut or removed again; a new
// file's data can stay in memory until it is removed. nullptr with errno
// set when it cannot be created.
std::FILE* openNewWorkFile(const std::string& path, const char* mode);

// Removes a work file from the disk; true when it is gone, also when it was
// never there. False with errno set when it stays. (removeWorkFile, in
// held_work_files.h, removes a held one too.)
bool removeWorkFileOnDisk(const std::string& path);

enum CopyTimesStatus : int {
  kCopyTimesSourceMissing = -1,  // `from` cannot be read
  kCopyTimesTargetMissing = -2,  // `to` does not exist or cannot be changed
};
// Copies the access and modification times of `from` onto `to`. 0 or a status.
int copyFileTimes(const std::string& from, const std::string& to);

enum MoveStatus : int {
  kMoveTargetExists = -1,  // nothing moved: the target name is taken
  kMoveFailed = -2,        // nothing moved: the source stays where it was
};
// Moves `from` to `to` and never replaces an existing file. Across file
// systems the data is copied into an exclusively created file, flushed, given
// the source's times, and only then is the source deleted. On any failure the
// source stays in place.
int moveNoReplace(const std::string& from, const std::string& to);

// Renames `from` over `to` (replacing it). 0 or -1.
int replaceFile(const std::string& from, const std::string& to);

// Replaces the file at `path` with `bytes` whole or not at all: they go into a
// new file beside it, are flushed, and the new file is renamed over `path`.
// A file being replaced keeps its permission bits. 0, or -1 with errno set
// when any step failed (`path` is then unchanged and no new file is left).
int writeFileReplacing(const std::string& path, const std::string& bytes);

struct FolderEntry {
  std::string name;
  bool isFolder = false;  // a real folder, not a link to one
  // A regular file, directly or through a link. Links to folders, FIFOs,
  // sockets and devices are neither: opening a FIFO blocks until a writer
  // comes, so a walk that took them for files could hang.
  bool isFile = false;
  // The errno of an entry that could not be examined (a path too long for
  // the system, a link whose target cannot be reached); 0 otherwise. A link
  // that leads nowhere is no error: it is neither a folder nor a file.
  int error = 0;
};
// Lists a folder's entries (without "." and ".."), sorted by name bytes.
// -1 when the folder cannot be read or not be read to its end, with errno
// telling why.
int listFolder(const std::string& folder, std::vector<FolderEntry>& entries);

// Whether a file name matches a wildcard filter, ignoring ASCII case.
// "*.*" matches every name, names without a dot too.
bool matchesFilter(const std::string& name, const std::string& filter);

}  // namespace tarnwick::platform
