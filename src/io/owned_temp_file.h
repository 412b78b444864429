// The unfinished file of a freeze: a file that this call created itself at
// a fixed name beside the target, and that it holds an exclusive lock on
// (flock) for as long as the object lives.
//
// Why a lock on a named file, rather than an unnamed file (O_TMPFILE) that
// is linked in when complete: the name shows a freeze in progress, and a
// crash leaves at most that one name, which the next freeze of the target
// reclaims, on every file system, including those without O_TMPFILE. What
// makes it safe is that a file appears at the name only locked by its
// living creator, and is only ever removed by whoever holds its lock after
// checking that the name still leads to it:
// - creation is O_CREAT | O_EXCL (which never follows a symlink), so
//   nothing that was already there is opened, truncated or written;
// - the new file is locked, then the name is checked to still lead to it:
//   another freeze that took the lock first (believing the file stale) may
//   have removed it, and this freeze then starts over;
// - what is found at the name is reclaimed only if it is a regular file
//   with no other link whose lock can be taken, i.e. a file whose freeze is
//   gone (a lock dies with its process); it is unlinked while locked, after
//   checking the name again. A locked file belongs to a running freeze of
//   the same target: this freeze then fails rather than wait for it. A
//   directory, symlink, FIFO, device or a file with other links there is an
//   error and left alone.
// Concurrent freezes of one target therefore never write the same file:
// one writes and publishes, the others fail at once with a clear error.
// Where a file system has no locks at all, the lock is skipped and the
// name checks remain.
#pragma once

#include <sys/types.h>

#include <string>

#include "io/direct_file.h"
#include "io/io_error.h"

namespace vesk {

struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileIdentity&) const = default;
};

class OwnedTempFile {
 public:
  // Creates `path` afresh, reclaiming a stale file there first (see above).
  static IoResult<OwnedTempFile> create(std::string path);

  const std::string& path() const { return path_; }
  // The creating descriptor (plain, write-only); it carries the lock.
  const DirectFile& file() const { return file_; }
  // Succeeds while `path` still leads to this file.
  IoResult<void> check_still_named() const;

 private:
  OwnedTempFile(std::string path, DirectFile file, FileIdentity id)
      : path_(std::move(path)), file_(std::move(file)), id_(id) {}
  std::string path_;
  DirectFile file_;
  FileIdentity id_;
};

}  // namespace vesk
