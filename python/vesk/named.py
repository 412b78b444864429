"""Snapshots of named device arrays.

A named freeze takes, per region kind, a mapping from names to device arrays
(any object exporting ``__cuda_array_interface__``: PyTorch CUDA tensors, CuPy,
Numba) and writes, beside the arrays, a manifest: for every region its name,
kind, logical id, dtype, shape and byte size, and optionally a small map of
free-form annotations. The manifest is one ordinary "metadata" region with the
reserved logical id ``MANIFEST_LOGICAL_ID``, frozen and checksummed like any
other region. Logical ids are assigned per kind in the order of the sorted
names, never in the caller's dictionary order.

A named restore reads the manifest first (the extension's reader decodes and
checks it against the region table) and compares names, kinds, dtypes and
shapes with the destination arrays; any difference raises one
``ManifestMismatch`` that lists all of them, before any byte is copied.
``open`` looks inside a snapshot without any device.

Every array must live on the current CUDA device: the manifest's own device
buffer is allocated there.
"""

from __future__ import annotations

import contextlib
import gc
import os
from collections.abc import Callable, Iterator, Mapping
from typing import Any

from vesk._arrays import ArraySpec, array_spec, region_label, specs_of
from vesk._device import DeviceBuffer, synchronize_device, upload_to
from vesk._manifest import (KIND_CODES, KINDS, MANIFEST_KIND, MANIFEST_LOGICAL_ID, Manifest, ManifestEntry,
                            NoManifest, encode_manifest)
from vesk._matching import ManifestMismatch, differences, matched_mapping
from vesk._sources import Source, commit_text

__all__ = ["MANIFEST_LOGICAL_ID", "ManifestEntry", "ManifestMismatch", "NoManifest", "SnapshotContents", "freeze",
           "open", "read_manifest", "restore"]

# Kept importable under their old names for callers of this module.
_ = (ArraySpec, array_spec, KINDS, region_label, synchronize_device)


def assign_ids(specs: Mapping[tuple[str, str], ArraySpec]) -> list[ManifestEntry]:
    """Manifest entries in (kind, sorted name) order, ids counted per kind."""
    by_kind: dict[str, list[str]] = {kind: [] for kind in KIND_CODES}
    for kind, name in specs:
        by_kind[kind].append(name)
    entries: list[ManifestEntry] = []
    append, make = entries.append, ManifestEntry._make
    for kind, names in by_kind.items():
        names.sort()
        for i, name in enumerate(names):
            _, nbytes, dtype, shape, _ = specs[(kind, name)]
            append(make((name, kind, i, dtype, shape, nbytes)))
    return entries


def _named_stats(stats: dict, manifest_size: int, key: str) -> dict:
    return {key: stats[key] - 1, "bytes_copied": stats["bytes_copied"] - manifest_size}


def freeze(
    path: str | os.PathLike[str],
    *,
    weights: Mapping[str, Any] | None = None,
    kv_live_block: Mapping[str, Any] | None = None,
    metadata: Mapping[str, Any] | None = None,
    vllm_commit: str | None = None,
    annotations: Mapping[str, str] | None = None,
) -> dict[str, int]:
    """Freezes named device arrays and their manifest into a snapshot file.

    `annotations`, a small map of str to str, is kept in the manifest.
    Waits for the current device first. Returns {"regions_frozen",
    "bytes_copied"} counting the caller's arrays (not the manifest)."""
    with _no_cycle_collection():
        specs = specs_of({"weights": weights, "kv_live_block": kv_live_block, "metadata": metadata})
        return freeze_specs(path, specs, vllm_commit, annotations)


def freeze_specs(path: str | os.PathLike[str], specs: Mapping[tuple[str, str], ArraySpec],
                 vllm_commit: str | None, annotations: Mapping[str, str] | None = None) -> dict[str, int]:
    with _no_cycle_collection():
        return _freeze_specs(path, specs, vllm_commit, annotations)


def _freeze_specs(path: str | os.PathLike[str], specs: Mapping[tuple[str, str], ArraySpec],
                  vllm_commit: str | None, annotations: Mapping[str, str] | None) -> dict[str, int]:
    import vesk

    entries = assign_ids(specs)
    raw = encode_manifest(entries, annotations)
    regions = [(e.kind, e.logical_id, specs[(e.kind, e.name)].ptr, e.nbytes) for e in entries]
    synchronize_device()
    with DeviceBuffer(len(raw)) as buf:
        buf.upload(raw)
        regions.append((MANIFEST_KIND, MANIFEST_LOGICAL_ID, buf.ptr, len(raw)))
        stats = vesk.freeze_to_file_pipelined(os.fspath(path), regions, vllm_commit)
    return _named_stats(stats, len(raw), "regions_frozen")


def restore(
    source: Any,
    *,
    weights: Mapping[str, Any] | None = None,
    kv_live_block: Mapping[str, Any] | None = None,
    metadata: Mapping[str, Any] | None = None,
    chunk_size_mb: int = 64,
    direct_io: bool = True,
    partial: bool = False,
) -> dict[str, int]:
    """Restores a named snapshot into device arrays given by name.

    `source` is a path (str or path-like) or a snapshot in memory (bytes,
    bytearray, mmap, memoryview or a PinnedMmap). The arrays must match the
    manifest exactly; otherwise ManifestMismatch lists every difference and
    nothing is copied. With `partial`, only the arrays given are restored
    (each must still match its entry) and only their bytes are read.
    Returns {"regions_restored", "bytes_copied"} counting the caller's arrays."""
    groups = {"weights": weights, "kv_live_block": kv_live_block, "metadata": metadata}
    with _no_cycle_collection():
        return restore_with(source, lambda manifest: specs_of(groups), chunk_size_mb, direct_io, partial)


@contextlib.contextmanager
def _no_cycle_collection() -> Iterator[None]:
    """Pauses the cycle collector: a named call makes a few objects per
    region (entries, specs, mapping rows), none of them in a cycle, and with
    a hundred thousand regions the collector's passes over them would cost
    more than the restore itself."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def _restore_some(src: Source, manifest: list[ManifestEntry], specs: Mapping[tuple[str, str], ArraySpec]) -> dict:
    """Each chosen region read alone (checked against its checksum) and
    copied up; nothing else of the snapshot is read."""
    by_key = {(e.kind, e.name): e for e in manifest}
    copied = 0
    for key, spec in specs.items():
        e = by_key[key]
        data = src.read_region(KIND_CODES[e.kind], e.logical_id)
        upload_to(spec.ptr, data)
        copied += len(data)
    return {"regions_restored": len(specs), "bytes_copied": copied}


def restore_with(
    source: Any,
    destinations: Callable[[list[ManifestEntry]], Mapping[tuple[str, str], ArraySpec]],
    chunk_size_mb: int = 64,
    direct_io: bool = True,
    partial: bool = False,
) -> dict[str, int]:
    """Reads the manifest, asks `destinations` for the arrays (so that a
    loader can allocate them from it), checks them and restores."""
    with _no_cycle_collection(), Source(source) as src:
        manifest = src.manifest()
        specs = destinations(manifest.entries)
        mapping = None if partial else matched_mapping(manifest.entries, specs)
        if mapping is None:
            problems = differences(manifest.entries, specs, partial)
            if problems:
                raise ManifestMismatch(problems)
        if partial:
            return _restore_some(src, manifest.entries, specs)
        if mapping is None:
            mapping = [(e.kind, e.logical_id, specs[(e.kind, e.name)].ptr, e.nbytes) for e in manifest.entries]
        with DeviceBuffer(len(manifest.raw)) as buf:
            mapping.append((MANIFEST_KIND, MANIFEST_LOGICAL_ID, buf.ptr, len(manifest.raw)))
            stats = src.restore(mapping, chunk_size_mb, direct_io)
            if buf.download() != manifest.raw:
                raise RuntimeError("vesk runtime error: the snapshot changed while it was restored")
    return _named_stats(stats, len(manifest.raw), "regions_restored")


def read_manifest(source: Any) -> list[ManifestEntry]:
    """The manifest of a snapshot file (path) or of a snapshot in memory."""
    with Source(source) as src:
        return src.manifest().entries


class SnapshotContents:
    """A named snapshot opened for reading on the host (no device needed):
    its manifest entries, names, annotations and commit, and each region's
    bytes on demand. Use it as a context manager."""

    def __init__(self, source: Any):
        self._src = Source(source)
        try:
            self._manifest: Manifest = self._src.manifest()
            self.vllm_commit: str | None = commit_text(self._src.layout()["vllm_commit"])
        except BaseException:
            self._src.close()
            raise
        self._by_key = {(e.kind, e.name): e for e in self._manifest.entries}

    @property
    def entries(self) -> list[ManifestEntry]:
        return list(self._manifest.entries)

    @property
    def annotations(self) -> dict[str, str]:
        return dict(self._manifest.annotations or {})

    def names(self, kind: str = "weights") -> list[str]:
        return sorted(name for k, name in self._by_key if k == kind)

    def entry(self, name: str, kind: str = "weights") -> ManifestEntry:
        try:
            return self._by_key[(kind, name)]
        except KeyError:
            raise KeyError(f"{region_label(kind, name)} is not in the snapshot") from None

    def read(self, name: str, kind: str = "weights") -> bytes:
        """The region's bytes, checked against its CRC-32C; reads only them."""
        e = self.entry(name, kind)
        return self._src.read_region(KIND_CODES[kind], e.logical_id)

    def close(self) -> None:
        self._src.close()

    def __enter__(self) -> SnapshotContents:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def open(source: Any) -> SnapshotContents:  # noqa: A001 - the name people look for
    """Opens a named snapshot (a path or a snapshot in memory) for reading
    on the host."""
    return SnapshotContents(source)
