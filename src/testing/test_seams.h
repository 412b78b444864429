// The hooks through which tests make a call fail where a real system would
// fail it: a refused open, an interrupted transfer, a thread that cannot
// start, a failing piece or checksum worker. Each is process-wide state that
// lives with the code it affects; only tests include this header, and a test
// that sets a hook clears it again before it ends.
#pragma once

#include "io/direct_file.h"
#include "pipeline/parallel_file_io.h"
#include "pipeline/restore_file.h"
#include "pipeline/worker_thread.h"

namespace vesk {

// File I/O (direct_file.cc).
// While set, every O_DIRECT open attempt is refused as a file system
// without direct I/O would refuse it (EINVAL).
void set_refuse_direct_open_for_testing(bool refuse);
// The next `count` pread/pwrite calls (of any thread) fail with EINTR before
// reaching the kernel, as a signal would make them fail.
void inject_transfer_interrupts_for_testing(unsigned count);

// Parallel file I/O (parallel_file_io.cc).
// While set, called (from any of the call's threads) before each piece; an
// error it returns is that piece's failure, and nothing of it is moved.
void set_piece_fault_for_testing(PieceFault fault);
// While set, every piece thread fails to start.
void set_refuse_piece_threads_for_testing(bool refuse);

// Worker threads (worker_thread.cc): while set, no worker thread starts, as
// under an exhausted process limit.
void set_refuse_worker_threads_for_testing(bool refuse);

// The file restore (restore_file.cc): while set (non-null), chunk checksums
// are folded and verified with this function instead of
// fold_and_verify_chunk_crc, so a test can make the checksum worker end
// abnormally.
void set_chunk_crc_fold_for_testing(ChunkCrcFold fold);

}  // namespace vesk
