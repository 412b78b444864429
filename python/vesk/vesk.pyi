# The native extension vesk.vesk: the public functions and PinnedMmap,
# which the package re-exports, and the host-only helpers of the command
# line.
import os
from collections.abc import Buffer, Sequence
from types import TracebackType
from typing import Final, Literal, TypedDict, final

# The underscored names exist for type checkers only. A kind is any str to
# the checker: the module refuses an unknown one with ValueError, and a
# Literal would refuse the tuples that callers build in a loop, whose kind
# the checker widens to str.
_RegionTuple = tuple[str, int, int, int]

class _FreezeStats(TypedDict):
    regions_frozen: int
    bytes_copied: int

class _RestoreStats(TypedDict):
    regions_restored: int
    bytes_copied: int

__all__ = [
    "freeze_to_file_pipelined",
    "restore_from_file_pipelined",
    "restore_from_bytes_pipelined",
    "restore_from_bytes_auto",
    "restore_from_bytes_pipelined_zerocopy",
    "PinnedMmap",
    "restore_from_pinned_mmap",
]

def freeze_to_file_pipelined(
    path: str,
    requests: Sequence[_RegionTuple],
    vllm_commit: str | None = None,
) -> _FreezeStats:
    """Pipelined freeze: double-buffered async D2H with overlapped writes."""

def restore_from_file_pipelined(
    path: str,
    mapping: Sequence[_RegionTuple],
    chunk_size_mb: int = 64,
    direct_io: bool = True,
) -> _RestoreStats:
    """Pipelined restore: double-buffered async DMA with O_DIRECT."""

def restore_from_bytes_pipelined(
    data: Buffer,
    mapping: Sequence[_RegionTuple],
    chunk_size_mb: int = 64,
) -> _RestoreStats:
    """RAM-backed pipelined restore: reads from a byte buffer instead of disk."""

def restore_from_bytes_auto(
    data: Buffer,
    mapping: Sequence[_RegionTuple],
    chunk_size_mb: int = 64,
) -> _RestoreStats:
    """Auto-dispatching RAM-backed pipelined restore (first-class alias)."""

def restore_from_bytes_pipelined_zerocopy(
    data: Buffer,
    mapping: Sequence[_RegionTuple],
) -> _RestoreStats:
    """Zero-copy RAM-backed pipelined restore: DMA directly from the buffer."""

@final
class PinnedMmap:
    """A Python buffer pinned in place for DMA (cudaHostRegister)."""

    def __new__(cls, data: Buffer) -> PinnedMmap: ...
    def __len__(self) -> int: ...
    @property
    def size(self) -> int:
        """Number of bytes pinned."""
    @property
    def closed(self) -> bool:
        """True once close() ran or the with block ended."""
    def close(self) -> None:
        """Unregister the pages and release the source buffer now."""
    def _read(self, offset: int, length: int, /) -> bytes: ...
    def __enter__(self) -> PinnedMmap: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]: ...

def restore_from_pinned_mmap(
    pinned: PinnedMmap,
    mapping: Sequence[_RegionTuple],
) -> _RestoreStats:
    """Restore a snapshot using a pre-registered `PinnedMmap`."""

class _Prelude(TypedDict):
    version: int
    num_regions: int
    region_table_offset: int
    vllm_commit: bytes
    file_size: int
    # (kind code, logical_id, size, file_offset, crc32c) in table order
    regions: list[tuple[int, int, int, int, int]]

def _read_prelude(path: str | bytes | os.PathLike[str] | os.PathLike[bytes], /) -> _Prelude:
    """Read and check a snapshot's header and region table (no device work)."""

def _crc32c(data: Buffer, crc: int = 0, /) -> int:
    """CRC-32C of a buffer's bytes, continuing `crc` (no device work)."""

def _runtime_path() -> str:
    """Path of the CUDA runtime library the module bound."""
