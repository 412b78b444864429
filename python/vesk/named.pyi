# The public surface of vesk.named. Device arrays are typed Any: any object
# exporting __cuda_array_interface__ is accepted, and the frameworks type
# that attribute in ways of their own.
import os
from collections.abc import Buffer, Mapping
from dataclasses import dataclass
from typing import Any, Final

from .vesk import PinnedMmap

__all__ = ["MANIFEST_LOGICAL_ID", "ManifestEntry", "ManifestMismatch", "NoManifest", "freeze", "read_manifest",
           "restore"]

_Source = str | os.PathLike[str] | Buffer | PinnedMmap

MANIFEST_LOGICAL_ID: Final[int]

class ManifestMismatch(ValueError):
    """The destination arrays do not match the snapshot's manifest."""

    differences: list[str]
    def __init__(self, differences: list[str]) -> None: ...

class NoManifest(ValueError):
    """The snapshot was written without a manifest (by the region functions)."""

@dataclass(frozen=True)
class ManifestEntry:
    name: str
    kind: str
    logical_id: int
    dtype: str
    shape: tuple[int, ...]
    nbytes: int
    def describe(self) -> str: ...

def freeze(
    path: str | os.PathLike[str],
    *,
    weights: Mapping[str, Any] | None = None,
    kv_live_block: Mapping[str, Any] | None = None,
    metadata: Mapping[str, Any] | None = None,
    vllm_commit: str | None = None,
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
) -> dict[str, int]:
    """Restores a named snapshot into device arrays given by name."""

def read_manifest(source: _Source) -> list[ManifestEntry]:
    """The manifest of a snapshot file (path) or of a snapshot in memory."""

# Used by the package's command line; not part of the public surface.
KIND_CODES: Final[dict[str, int]]
MANIFEST_KIND: Final[str]

def _checked_manifest(raw: bytes, crc: int) -> list[ManifestEntry]: ...
