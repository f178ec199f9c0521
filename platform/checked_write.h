#pragma once
// Writes that report every failure, down to the last byte and the close.
//
// Each failed call here returns false with errno set and also records that
// errno as the calling thread's last write failure, so a layer far above the
// writer can give the system's reason after lower layers have returned only
// their own status codes. The pipeline clears the record before each file.
//
// Test hook: with TARNWICK_FAIL_WRITE=N in the environment, the Nth write
// of the process through writeAll (counted from 1) fails. "N" and "N:ENOSPC"
// fail it with ENOSPC; "N:EIO", "N:EDQUOT", "N:EROFS" and "N:EFBIG" with
// those; "N:short" stores half of the bytes and then fails with ENOSPC.

#include <cstddef>
#include <cstdio>

namespace tarnwick::platform {

// Writes all `size` bytes at the descriptor's position, going on after
// interruptions and short writes. A write that stores nothing and reports
// no error counts as ENOSPC.
[[nodiscard]] bool writeAll(int fd, const void* data, size_t size);
// The same through a stdio stream; its buffer may hold the bytes until the
// next flush, which reports what this call could not.
[[nodiscard]] bool writeAll(std::FILE* file, const void* data, size_t size);

// fflush: false when buffered bytes could not be written.
[[nodiscard]] bool flushFile(std::FILE* file);
// Flushes and closes the stream; it is released either way.
[[nodiscard]] bool closeFile(std::FILE* file);
// close(2), which on some file systems is the first to report a lost write.
[[nodiscard]] bool closeDescriptor(int fd);

// Records `error` (0 counts as EIO) as the thread's last write failure and
// returns false, for writes made outside this module (open, rename, mkstemp).
bool recordWriteFailure(int error);
// The errno of the thread's last recorded write failure, 0 when none since
// the last clear.
int lastWriteFailure();
void clearWriteFailure();

// Whether an errno means the file system has no room left: every later write
// to it fails as well.
bool isNoSpace(int error);

}  // namespace tarnwick::platform
