from collections.abc import Buffer, Sequence
from types import TracebackType
from typing import Final, Literal, TypedDict, final

# The underscored names exist for type checkers only.
_Kind = Literal["weights", "kv_live_block", "metadata"]
_RegionTuple = tuple[_Kind, int, int, int]

class _FreezeStats(TypedDict):
    regions_frozen: int
    bytes_copied: int

class _RestoreStats(TypedDict):
    regions_restored: int
    bytes_copied: int

__all__: Final[list[str]]
__version__: Final[str]

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
