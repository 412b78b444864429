#include "pipeline/parallel_file_io.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <limits>
#include <string>
#include <thread>
#include <type_traits>

#include "pipeline/chunk_geometry.h"
#include "pipeline/worker_thread.h"

namespace vesk {

namespace {

constexpr std::uint64_t kNoPiece = std::numeric_limits<std::uint64_t>::max();

std::atomic<PieceFault> g_fault{nullptr};
std::atomic<bool> g_refuse_threads{false};

bool on_memory_file_system(const DirectFile& f) {
  struct statfs st {};
  if (::fstatfs(f.file.get(), &st) != 0) return false;
  return st.f_type == TMPFS_MAGIC || st.f_type == RAMFS_MAGIC;
}

// The first failing piece of one thread's share.
struct Failure {
  std::uint64_t piece = kNoPiece;
  std::uint64_t done = 0;        // bytes of that piece moved before it failed
  std::optional<IoError> error;  // empty: a call moved 0 bytes
};

// One call's pieces. Thread t moves pieces t, t + threads, t + 2 × threads
// and so on, in order, and records only its own first failure; the results
// are read after every thread was joined.
template <IoDirection Direction>
class PieceRun {
 public:
  static constexpr bool kWrite = Direction == IoDirection::Write;
  using Byte = std::conditional_t<kWrite, const std::byte, std::byte>;

  PieceRun(const DirectFile& f, std::span<Byte> buf, std::uint64_t offset, IoPieces pieces)
      : f_(f), buf_(buf), offset_(offset) {
    const std::uint32_t depth = std::clamp<std::uint32_t>(pieces.depth, 1, kMaxIoDepth);
    piece_size_ = depth == 1 ? buf.size() : std::max(kAlign, pieces.piece_size / kAlign * kAlign);
    count_ = (buf.size() + piece_size_ - 1) / piece_size_;
    threads_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(depth, count_));
  }

  std::uint32_t threads() const { return threads_; }

  void run_share(std::uint32_t t) noexcept {
    for (std::uint64_t p = t; p < count_; p += threads_) {
      // Pieces past one that failed cannot change the outcome.
      if (p > lowest_failed_.load(std::memory_order_relaxed)) return;
      if (!move_piece(p, failures_[t])) {
        std::uint64_t seen = lowest_failed_.load(std::memory_order_relaxed);
        while (p < seen && !lowest_failed_.compare_exchange_weak(seen, p, std::memory_order_relaxed)) {
        }
        return;
      }
    }
  }

  // Every piece below the lowest failure was moved in full, so the bytes
  // before it are what one sequential transfer would have counted.
  IoResult<void> result() const {
    const Failure* first = nullptr;
    for (std::uint32_t t = 0; t < threads_; ++t)
      if (failures_[t].piece != kNoPiece && (first == nullptr || failures_[t].piece < first->piece))
        first = &failures_[t];
    if (first == nullptr) return {};
    if (first->error) return std::unexpected(*first->error);
    const std::uint64_t done = first->piece * piece_size_ + first->done;
    return std::unexpected(no_progress_error(Direction, done, buf_.size(), offset_));
  }

 private:
  // The loop of pread_exact / pwrite_exact over one piece.
  bool move_piece(std::uint64_t p, Failure& out) noexcept {
    const std::uint64_t start = p * piece_size_;
    const std::uint64_t len = std::min<std::uint64_t>(piece_size_, buf_.size() - start);
    if (const PieceFault fault = g_fault.load(std::memory_order_relaxed)) {
      if (auto e = fault(PieceTransfer{kWrite, f_.direct, p, offset_ + start, len})) {
        out = Failure{p, 0, std::move(*e)};
        return false;
      }
    }
    std::uint64_t done = 0;
    while (done < len) {
      const auto part = buf_.subspan(start + done, len - done);
      IoResult<std::size_t> n;
      if constexpr (kWrite) n = pwrite_from(f_, part, offset_ + start + done);
      else n = pread_into(f_, part, offset_ + start + done);
      if (!n) {
        out = Failure{p, done, std::move(n.error())};
        return false;
      }
      if (*n == 0) {
        out = Failure{p, done, std::nullopt};
        return false;
      }
      done += *n;
    }
    return true;
  }

  const DirectFile& f_;
  std::span<Byte> buf_;
  std::uint64_t offset_;
  std::uint64_t piece_size_;
  std::uint64_t count_;
  std::uint32_t threads_;
  std::atomic<std::uint64_t> lowest_failed_{kNoPiece};
  std::array<Failure, kMaxIoDepth> failures_{};
};

template <IoDirection Direction>
IoResult<void> transfer(const DirectFile& f, std::span<typename PieceRun<Direction>::Byte> buf, std::uint64_t offset,
                        IoPieces pieces) {
  if (buf.empty()) return {};
  PieceRun<Direction> run(f, buf, offset, pieces);
  const std::uint32_t threads = run.threads();
  if constexpr (Direction == IoDirection::Write) {
    // Errors are left to the writes themselves, which report them as a
    // single write would; an unsupported reservation costs nothing.
    if (threads > 1) (void)::fallocate(f.file.get(), 0, static_cast<off_t>(offset), static_cast<off_t>(buf.size()));
  }
  std::array<std::optional<std::jthread>, kMaxIoDepth> workers;
  const bool refuse = g_refuse_threads.load(std::memory_order_relaxed);
  for (std::uint32_t t = 1; t < threads && !refuse; ++t) workers[t] = try_start_worker([&run, t] { run.run_share(t); });
  run.run_share(0);
  // A share whose thread could not start is moved here.
  for (std::uint32_t t = 1; t < threads; ++t) {
    if (workers[t]) workers[t]->join();
    else run.run_share(t);
  }
  return run.result();
}

}  // namespace

IoPieces read_pieces_for(const DirectFile& f, IoPieces wanted) {
  return on_memory_file_system(f) ? IoPieces::one_request() : wanted;
}

IoPieces write_pieces_for(const DirectFile& f, IoPieces wanted) {
  return !f.direct || on_memory_file_system(f) ? IoPieces::one_request() : wanted;
}

IoResult<void> pread_pieces(const DirectFile& f, std::span<std::byte> buf, std::uint64_t offset, IoPieces pieces) {
  return transfer<IoDirection::Read>(f, buf, offset, pieces);
}

IoResult<void> pwrite_pieces(const DirectFile& f, std::span<const std::byte> buf, std::uint64_t offset,
                             IoPieces pieces) {
  return transfer<IoDirection::Write>(f, buf, offset, pieces);
}

void set_piece_fault_for_testing(PieceFault fault) { g_fault.store(fault, std::memory_order_relaxed); }

void set_refuse_piece_threads_for_testing(bool refuse) {
  g_refuse_threads.store(refuse, std::memory_order_relaxed);
}

}  // namespace vesk
