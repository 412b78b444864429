"""Destination arrays against a manifest: every difference, listed before
anything is copied."""

from __future__ import annotations

from collections.abc import Mapping

from vesk import vesk as _native
from vesk._arrays import ArraySpec, region_label
from vesk._manifest import ManifestEntry


class ManifestMismatch(ValueError):
    """The destination arrays do not match the snapshot's manifest.

    ``differences`` lists one line per difference; nothing was copied."""

    vesk_error = "ManifestMismatch"
    io_kind = None

    def __init__(self, differences: list[str]):
        self.differences = differences
        count = f"{len(differences)} difference" + ("s" if len(differences) != 1 else "")
        super().__init__(
            f"the destination arrays do not match the snapshot ({count}; nothing was copied):\n  "
            + "\n  ".join(differences)
        )


def _compare(key: tuple[str, str], e: ManifestEntry, spec: ArraySpec) -> list[str]:
    out = []
    if spec.dtype != e.dtype:
        out.append(f"wrong dtype: {region_label(*key)} is {e.dtype} in the snapshot, {spec.dtype} given")
    if spec.shape != e.shape:
        out.append(f"wrong shape: {region_label(*key)} is {list(e.shape)} in the snapshot, {list(spec.shape)} given")
    if spec.dtype == e.dtype and spec.shape == e.shape and spec.nbytes != e.nbytes:
        out.append(f"wrong size: {region_label(*key)} is {e.nbytes} bytes in the snapshot, {spec.nbytes} given")
    if spec.readonly:
        out.append(f"read-only: {region_label(*key)} cannot be written")
    return out


def differences(manifest: list[ManifestEntry], specs: Mapping[tuple[str, str], ArraySpec],
                partial: bool = False) -> list[str]:
    """Every way the destination arrays differ from the manifest; with
    `partial`, arrays the caller leaves out are not differences."""
    out = []
    expected = {(e.kind, e.name): e for e in manifest}
    for key, e in expected.items():
        spec = specs.get(key)
        if spec is None:
            if not partial:
                out.append(f"missing: {region_label(*key)} ({e.describe()}) is in the snapshot but not given")
            continue
        if spec.dtype == e.dtype and spec.shape == e.shape and spec.nbytes == e.nbytes and not spec.readonly:
            continue  # the common case, at one comparison per array
        out.extend(_compare(key, e, spec))
    for key, spec in specs.items():
        if key not in expected:
            out.append(f"unexpected: {region_label(*key)} ({spec.describe()}) is not in the snapshot")
    return out


def matched_mapping(manifest: list[ManifestEntry],
                    specs: Mapping[tuple[str, str], ArraySpec]) -> list[tuple[str, int, int, int]] | None:
    """The restore mapping when every array matches its entry exactly (one
    native pass, the common case), else None: `differences` then says why."""
    if not isinstance(specs, dict) or not isinstance(manifest, list):
        specs, manifest = dict(specs), list(manifest)
    return _native._matched_mapping(manifest, specs)
