# The native extension vesk.vesk: the public functions and PinnedMmap,
# which the package re-exports, and the private helpers that the package's
# own modules call (the snapshot reader, checksums, device memory).
import os
from collections.abc import Buffer, Callable, Sequence
from types import TracebackType
from typing import Any, Literal, final

# _RegionTuple, _Stats and _Source exist for type checkers only. A kind is
# any str to the checker: the module refuses an unknown one with
# ValueError, and a Literal would refuse the tuples that callers build in a
# loop, whose kind the checker widens to str.
_RegionTuple = tuple[str, int, int, int]

# Counters of a call: {"regions_frozen" or "regions_restored", "bytes_copied"}.
_Stats = dict[str, int]

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
) -> _Stats:
    """Pipelined freeze: double-buffered async D2H with overlapped writes."""

def restore_from_file_pipelined(
    path: str,
    mapping: Sequence[_RegionTuple],
    chunk_size_mb: int = 64,
    direct_io: bool = True,
) -> _Stats:
    """Pipelined restore: double-buffered async DMA with O_DIRECT."""

def restore_from_bytes_pipelined(
    data: Buffer,
    mapping: Sequence[_RegionTuple],
    chunk_size_mb: int = 64,
) -> _Stats:
    """RAM-backed pipelined restore: reads from a byte buffer instead of disk."""

def restore_from_bytes_auto(
    data: Buffer,
    mapping: Sequence[_RegionTuple],
    chunk_size_mb: int = 64,
) -> _Stats:
    """Auto-dispatching RAM-backed pipelined restore (first-class alias)."""

def restore_from_bytes_pipelined_zerocopy(
    data: Buffer,
    mapping: Sequence[_RegionTuple],
) -> _Stats:
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
) -> _Stats:
    """Restore a snapshot using a pre-registered `PinnedMmap`."""

# What the host-only readers take: a path, a snapshot in memory or a
# PinnedMmap; `label` names it in messages.
_Source = str | os.PathLike[str] | Buffer | PinnedMmap

def _snapshot_layout(source: _Source, label: str | None = None) -> dict[str, Any]:
    """Header fields and the region table as native columns."""

def _snapshot_manifest(
    source: _Source, label: str | None = None, entry_type: type[tuple[Any, ...]] | None = None
) -> dict[str, Any] | None:
    """The checked manifest, or None when the snapshot has none; entries as entry_type (a tuple subclass)."""

def _encode_manifest(
    entries: list[Any], annotations: dict[str, str] | None, /
) -> bytes:
    """The manifest document for entries and annotations (or None)."""

def _array_specs(
    kind: str,
    items: list[tuple[Any, Any]],
    spec_type: type[tuple[Any, ...]],
    special_type: type | None,
    special: Callable[[str, Any], Any],
    /,
) -> list[tuple[tuple[str, str], Any]]:
    """Each (name, array) read from its __cuda_array_interface__ as a spec_type."""

def _matched_mapping(
    entries: list[Any], specs: dict[Any, Any], /
) -> list[tuple[str, int, int, int]] | None:
    """The restore mapping when every array matches its entry, else None."""

def _read_region(source: _Source, kind: int, logical_id: int, label: str | None = None) -> bytes:
    """One region's bytes, checked against its CRC-32C."""

def _verify(source: _Source, progress: Callable[[int], object], label: str | None = None) -> dict[str, Any]:
    """Recompute every recorded CRC-32C."""

def _crc32c(data: Buffer, crc: int = 0, /) -> int:
    """CRC-32C of a buffer's bytes, continuing `crc` (no device work)."""

def _runtime_path() -> str:
    """Path of the CUDA runtime library the module bound."""

# The device work of the Python package, through the module's runtime.
def _device_alloc(size: int, /) -> int:
    """Device memory on the current device."""

def _device_free(ptr: int, /) -> None:
    """Free memory of _device_alloc."""

def _device_upload(ptr: int, data: Buffer, /) -> None:
    """Copy bytes to the device."""

def _device_download(ptr: int, size: int, /) -> bytes:
    """Copy bytes from the device."""

def _copy(dst: int, src: int, size: int, kind: int, /) -> None:
    """Copy between raw addresses (1: h2d, 2: d2h)."""

def _pinned_alloc(size: int, /) -> int:
    """Page-locked host memory."""

def _pinned_free(ptr: int, /) -> None:
    """Free memory of _pinned_alloc."""

def _device_synchronize() -> None:
    """Wait for all work queued on the current device."""

# Snapshots behind s3:// and http(s):// URLs (vesk.remote).
def _remote_restore(url: str, mapping: Sequence[_RegionTuple], verify: bool = True) -> _Stats:
    """Restore a snapshot from an s3:// or http(s):// URL."""

def _remote_stat(url: str, /) -> tuple[str, int, str | None]:
    """The object's name in messages, its length and its ETag (or None)."""

def _remote_read(url: str, offset: int, size: int, /) -> bytes:
    """Exactly `size` bytes of the object from `offset`."""
