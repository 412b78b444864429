"""The manifest of a named snapshot, as Python sees it.

The C++ reader decodes and checks manifests (``_snapshot_manifest``); this
module holds the entry type, the constants the writers share with it, and the
encoder the named freeze uses.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any, NamedTuple

from vesk import vesk as _native

KINDS = ("weights", "kv_live_block", "metadata")
KIND_CODES = {name: code for code, name in enumerate(KINDS)}
MANIFEST_KIND = "metadata"
# Reserved for the manifest region: the named API numbers the caller's
# regions of each kind from 0, so it never hands this id out.
MANIFEST_LOGICAL_ID = 0xFFFFFFFF
# 1: no annotations; 2: with an "annotations" object. A file without
# annotations is written as 1, so that older readers still read it.
MANIFEST_VERSION = 1
MANIFEST_VERSION_ANNOTATED = 2
# What the reader accepts for a table of n entries (format/manifest.cc):
# the writer refuses to write more.
_FIXED_ALLOWANCE = 1 << 20
_PER_ENTRY_ALLOWANCE = 4096


class NoManifest(ValueError):
    """The snapshot was written without a manifest (by the region functions)."""

    vesk_error = "NoManifest"
    io_kind = None


class ManifestEntry(NamedTuple):
    name: str
    kind: str
    logical_id: int
    dtype: str
    shape: tuple[int, ...]
    nbytes: int

    def describe(self) -> str:
        return f"{self.dtype}[{', '.join(map(str, self.shape))}]"


@dataclass(frozen=True)
class Manifest:
    """A checked manifest: its entries in file order and its annotations
    (None in a version 1 manifest), with the bytes it was decoded from."""

    version: int
    entries: list[ManifestEntry]
    annotations: dict[str, str] | None
    raw: bytes


def manifest_of(doc: dict[str, Any]) -> Manifest:
    """The reader's answer as a Manifest."""
    entries = doc["entries"]
    if entries and not isinstance(entries[0], ManifestEntry):
        entries = list(map(ManifestEntry._make, entries))
    return Manifest(doc["version"], entries, doc["annotations"], doc["raw"])


def encode_manifest(entries: Iterable[ManifestEntry], annotations: Mapping[str, str] | None = None) -> bytes:
    """The stored document (the extension writes what its reader reads)."""
    rows = entries if isinstance(entries, list) else list(entries)
    checked = None if annotations is None else dict(annotations)
    raw: bytes = _native._encode_manifest(rows, checked)
    limit = _FIXED_ALLOWANCE + _PER_ENTRY_ALLOWANCE * (len(rows) + 1)
    if len(raw) > limit:
        raise ValueError(f"the manifest would be {len(raw)} bytes, more than the {limit} a reader accepts for "
                         f"{len(rows)} regions: shorten the names or the annotations")
    return raw
