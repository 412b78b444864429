# The public surface of vesk.named. Device arrays are typed Any: any object
# exporting __cuda_array_interface__ is accepted, and the frameworks type
# that attribute in ways of their own.
import os
from collections.abc import Buffer, Mapping
from types import TracebackType
from typing import Any, Final, NamedTuple

from .vesk import PinnedMmap

__all__ = ["MANIFEST_LOGICAL_ID", "ManifestEntry", "ManifestMismatch", "NoManifest", "SnapshotContents", "freeze",
           "open", "read_manifest", "restore"]

# A path, or a snapshot in memory (bytes, bytearray, mmap, memoryview, PinnedMmap).
_Source = str | os.PathLike[str] | Buffer | PinnedMmap

MANIFEST_LOGICAL_ID: Final[int]

class ManifestMismatch(ValueError):
    """The destination arrays do not match the snapshot's manifest."""

    vesk_error: str
    io_kind: None
    differences: list[str]
    def __init__(self, differences: list[str]) -> None: ...

class NoManifest(ValueError):
    """The snapshot was written without a manifest (by the region functions)."""

    vesk_error: str
    io_kind: None

class ManifestEntry(NamedTuple):
    name: str
    kind: str
    logical_id: int
    dtype: str
    shape: tuple[int, ...]
    nbytes: int
    def describe(self) -> str: ...

class SnapshotContents:
    """A named snapshot opened for reading on the host (no device needed)."""

    vllm_commit: str | None
    def __init__(self, source: _Source) -> None: ...
    @property
    def entries(self) -> list[ManifestEntry]: ...
    @property
    def annotations(self) -> dict[str, str]: ...
    def names(self, kind: str = "weights") -> list[str]: ...
    def entry(self, name: str, kind: str = "weights") -> ManifestEntry: ...
    def read(self, name: str, kind: str = "weights") -> bytes:
        """The region's bytes, checked against its CRC-32C; reads only them."""
    def close(self) -> None: ...
    def __enter__(self) -> SnapshotContents: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...

def freeze(
    path: str | os.PathLike[str],
    *,
    weights: Mapping[str, Any] | None = None,
    kv_live_block: Mapping[str, Any] | None = None,
    metadata: Mapping[str, Any] | None = None,
    vllm_commit: str | None = None,
    annotations: Mapping[str, str] | None = None,
) -> dict[str, int]:
    """Freezes named device arrays and their manifest into a snapshot file."""

def restore(
    source: _Source,
    *,
    weights: Mapping[str, Any] | None = None,
    kv_live_block: Mapping[str, Any] | None = None,
    metadata: Mapping[str, Any] | None = None,
    chunk_size_mb: int = 64,
    direct_io: bool = True,
    partial: bool = False,
) -> dict[str, int]:
    """Restores a named snapshot into device arrays given by name."""

def read_manifest(source: _Source) -> list[ManifestEntry]:
    """The manifest of a snapshot file (path) or of a snapshot in memory."""

def open(source: _Source) -> SnapshotContents:
    """Opens a named snapshot (a path or a snapshot in memory) for reading on the host."""

# Used by the package's command line; not part of the public surface.
KIND_CODES: Final[dict[str, int]]
