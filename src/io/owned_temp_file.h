// The unfinished file of a freeze: a file that this call created itself at
// a fixed name beside the target, and that it holds an exclusive lock on
// (flock) for as long as the object lives.
//
// Why a lock on a named file, rather than an unnamed file (O_TMPFILE) that
// is linked in when complete: the name shows a freeze in progress, and a
// crash leaves at most that one name, which the next freeze of the target
// reclaims, on every file system, including those without O_TMPFILE. What
// makes it safe is that a file is only ever removed by whoever holds its
// lock, after checking that the name still leads to it:
// - creation is O_CREAT | O_EXCL (which never follows a symlink), so
//   nothing that was already there is opened, truncated or written;
// - the creator waits for the lock on its new file (only a reclaiming
//   freeze can hold it, and only briefly), then checks the name still
//   leads to it: a reclaiming freeze may have removed it meanwhile, and
//   this freeze then starts over;
// - what is found at the name is reclaimed only if it is a regular file
//   with no other link whose lock can be taken twice, a grace period
//   apart: a file created an instant ago is locked by its creator within
//   that period, whereas a file whose freeze is gone stays unlocked (a lock
//   dies with its process). It is unlinked while locked, after checking
//   the name again;
// - a locked file belongs to a running freeze of the same target or to one
//   that is reclaiming it. A reclaimer removes it within moments, so the
//   name is watched for a while, longer where locks are slow; if it still
//   leads to the same file, this freeze fails rather than wait for the
//   other. A directory, symlink, FIFO, device or a file with other links
//   there is an error and left alone.
// Concurrent freezes of one target therefore never write the same file:
// one writes and publishes, the others fail with a clear error.
// Where a file system has no locks at all (flock fails, as on NFS mounted
// without a lock service), the creator goes on without one, but a file
// found at the name is never taken over: whether its freeze is alive
// cannot be told, so this freeze fails and the file is left alone.
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
