from mmap import mmap
from typing import Final, final

__all__: Final[list[str]]

RegionTuple = tuple[str, int, int, int]
Buffer = bytes | mmap | bytearray | memoryview

def freeze_to_file_pipelined(
    path: str,
    requests: list[RegionTuple],
    vllm_commit: str | None = None,
) -> dict[str, int]:
    """Pipelined freeze: double-buffered async D2H with overlapped writes.

    Returns {"regions_frozen": int, "bytes_copied": int}.
    """

def restore_from_file_pipelined(
    path: str,
    mapping: list[RegionTuple],
    chunk_size_mb: int = 64,
    direct_io: bool = True,
) -> dict[str, int]:
    """Pipelined restore: double-buffered async DMA with O_DIRECT.

    Returns {"regions_restored": int, "bytes_copied": int}.
    """

def restore_from_bytes_pipelined(
    data: Buffer,
    mapping: list[RegionTuple],
    chunk_size_mb: int = 64,
) -> dict[str, int]:
    """RAM-backed pipelined restore: reads from a byte buffer instead of disk."""

def restore_from_bytes_auto(
    data: Buffer,
    mapping: list[RegionTuple],
    chunk_size_mb: int = 64,
) -> dict[str, int]:
    """Auto-dispatching RAM-backed pipelined restore (first-class alias)."""

def restore_from_bytes_pipelined_zerocopy(
    data: Buffer,
    mapping: list[RegionTuple],
) -> dict[str, int]:
    """Zero-copy RAM-backed pipelined restore: DMA directly from the buffer."""

@final
class PinnedMmap:
    """A Python buffer pinned in place for DMA (cudaHostRegister)."""

    def __new__(cls, data: Buffer) -> PinnedMmap: ...
    def __len__(self) -> int: ...
    @property
    def size(self) -> int:
        """Number of bytes pinned."""

def restore_from_pinned_mmap(
    pinned: PinnedMmap,
    mapping: list[RegionTuple],
) -> dict[str, int]:
    """Restore a snapshot using a pre-registered `PinnedMmap`."""
