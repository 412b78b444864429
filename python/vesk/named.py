"""Snapshots of named device arrays.

A named freeze takes, per region kind, a mapping from names to device arrays
(any object exporting ``__cuda_array_interface__``: PyTorch CUDA tensors, CuPy,
Numba) and writes, beside the arrays, a manifest: for every region its name,
kind, logical id, dtype, shape and byte size. The manifest is one ordinary
"metadata" region with the reserved logical id ``MANIFEST_LOGICAL_ID``, frozen
and checksummed like any other region. Logical ids are assigned per kind in
the order of the sorted names, never in the caller's dictionary order.

A named restore reads the manifest first and compares names, kinds, dtypes
and shapes with the destination arrays; any difference raises one
``ManifestMismatch`` that lists all of them, before any byte is copied.

Every array must live on the current CUDA device: the manifest's own device
buffer is allocated there.
"""

from __future__ import annotations

import ctypes
import functools
import json
import math
import os
import stat
import struct
import sys
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from typing import Any

__all__ = ["MANIFEST_LOGICAL_ID", "ManifestEntry", "ManifestMismatch", "NoManifest", "freeze", "read_manifest",
           "restore"]

KINDS = ("weights", "kv_live_block", "metadata")
KIND_CODES = {name: code for code, name in enumerate(KINDS)}
MANIFEST_KIND = "metadata"
# Reserved for the manifest region: the named API numbers the caller's
# regions of each kind from 0, so it never hands this id out.
MANIFEST_LOGICAL_ID = 0xFFFFFFFF
MANIFEST_FORMAT = "vesk-manifest"
MANIFEST_VERSION = 1

HEADER_SIZE = 4096
ENTRY_SIZE = 32
_HEADER = struct.Struct("<4sIQQ")
_ENTRY = struct.Struct("<IIQQI4x")

# __cuda_array_interface__ type strings with the dtype names PyTorch and
# NumPy use, so that a snapshot written from one framework reads in another.
_TYPESTR_NAMES = {
    "b1": "bool",
    "i1": "int8", "i2": "int16", "i4": "int32", "i8": "int64",
    "u1": "uint8", "u2": "uint16", "u4": "uint32", "u8": "uint64",
    "f2": "float16", "f4": "float32", "f8": "float64",
    "c8": "complex64", "c16": "complex128",
}


class ManifestMismatch(ValueError):
    """The destination arrays do not match the snapshot's manifest.

    ``differences`` lists one line per difference; nothing was copied."""

    def __init__(self, differences: list[str]):
        self.differences = differences
        count = f"{len(differences)} difference" + ("s" if len(differences) != 1 else "")
        super().__init__(
            f"the destination arrays do not match the snapshot ({count}; nothing was copied):\n  "
            + "\n  ".join(differences)
        )


class NoManifest(ValueError):
    """The snapshot was written without a manifest (by the region functions)."""


@dataclass(frozen=True)
class ArraySpec:
    """One device array as the snapshot sees it."""

    ptr: int
    nbytes: int
    dtype: str
    shape: tuple[int, ...]
    readonly: bool = False

    def describe(self) -> str:
        return f"{self.dtype}[{', '.join(map(str, self.shape))}]"


@dataclass(frozen=True)
class ManifestEntry:
    name: str
    kind: str
    logical_id: int
    dtype: str
    shape: tuple[int, ...]
    nbytes: int

    def describe(self) -> str:
        return f"{self.dtype}[{', '.join(map(str, self.shape))}]"


# ---------------------------------------------------------------------------
# Device arrays


def _dtype_name(typestr: str) -> str:
    # '<' and '|' are little-endian or byte-sized; anything else (big-endian,
    # records, unknown codes) is kept verbatim and must then match verbatim.
    if typestr[:1] in ("<", "|") and typestr[1:] in _TYPESTR_NAMES:
        return _TYPESTR_NAMES[typestr[1:]]
    return typestr


def _itemsize(typestr: str) -> int:
    digits = typestr[2:]
    if len(typestr) < 3 or typestr[0] not in "<>|=" or not digits.isdigit() or int(digits) == 0:
        raise ValueError(f"typestr {typestr!r} is not a valid array type")
    return int(digits)


def _is_c_contiguous(shape: tuple[int, ...], strides: tuple[int, ...], itemsize: int) -> bool:
    if 0 in shape:
        return True
    expected = itemsize
    for extent, step in zip(reversed(shape), reversed(strides)):
        # A dimension of extent 1 is never stepped over, whatever its stride.
        if extent != 1 and step != expected:
            return False
        expected *= extent
    return True


def array_spec(label: str, obj: Any) -> ArraySpec:
    """Reads a device array's ``__cuda_array_interface__`` (a PyTorch tensor
    directly); refuses with an error naming `label` anything that is not one
    contiguous device range."""
    torch = sys.modules.get("torch")  # never imported here: a tensor means it is loaded
    if torch is not None and isinstance(obj, getattr(torch, "Tensor", ())):
        from vesk import torch as vesk_torch

        return vesk_torch.tensor_spec(torch, label, obj)
    try:
        iface = obj.__cuda_array_interface__
    except AttributeError:
        raise TypeError(
            f"{label}: {type(obj).__qualname__} is not a device array (no __cuda_array_interface__)"
        ) from None
    except Exception as e:  # noqa: BLE001 - the exporter's own refusal, e.g. an unsupported dtype
        raise TypeError(f"{label}: cannot read its __cuda_array_interface__: {e}") from e
    try:
        if not isinstance(iface, Mapping):
            raise ValueError("it is not a dict")
        version = iface.get("version")
        if version not in (2, 3):
            raise ValueError(f"version {version!r} is not supported (2 or 3)")
        shape = tuple(iface["shape"])
        if not all(isinstance(n, int) and n >= 0 for n in shape):
            raise ValueError(f"shape {shape!r} is not a tuple of non-negative integers")
        typestr = iface["typestr"]
        if not isinstance(typestr, str):
            raise ValueError(f"typestr {typestr!r} is not a string")
        itemsize = _itemsize(typestr)
        ptr, readonly = iface["data"]
        if not isinstance(ptr, int) or ptr < 0:
            raise ValueError(f"data pointer {ptr!r} is not an address")
        if iface.get("mask") is not None:
            raise ValueError("masked arrays are not supported")
        strides = iface.get("strides")
    except (KeyError, TypeError, ValueError) as e:
        detail = f"missing {e}" if isinstance(e, KeyError) else str(e)
        raise TypeError(f"{label}: unusable __cuda_array_interface__: {detail}") from None
    if strides is not None and not _is_c_contiguous(shape, tuple(strides), itemsize):
        raise ValueError(f"{label}: the array is not C-contiguous (strides {tuple(strides)}); pass a contiguous copy")
    nbytes = math.prod(shape) * itemsize
    if nbytes and ptr == 0:
        raise ValueError(f"{label}: null data pointer")
    return ArraySpec(ptr, nbytes, _dtype_name(typestr), shape, bool(readonly))


def _label(kind: str, name: str) -> str:
    return f"{kind} {name!r}"


def specs_of(groups: Mapping[str, Mapping[str, Any] | None]) -> dict[tuple[str, str], ArraySpec]:
    """(kind, name) -> ArraySpec for every array of every kind; the first
    unusable entry raises, naming it."""
    out: dict[tuple[str, str], ArraySpec] = {}
    for kind, arrays in groups.items():
        if arrays is None:
            continue
        if not isinstance(arrays, Mapping):
            raise TypeError(f"{kind}: expected a mapping of names to device arrays, got {type(arrays).__qualname__}")
        for name, obj in arrays.items():
            if not isinstance(name, str):
                raise TypeError(f"{kind}: names must be str, got {name!r}")
            spec = obj if isinstance(obj, ArraySpec) else array_spec(_label(kind, name), obj)
            out[(kind, name)] = spec
    return out


# ---------------------------------------------------------------------------
# The manifest's device buffer, through the very runtime the extension bound


@functools.cache
def _runtime() -> ctypes.CDLL:
    from vesk import vesk as native

    lib = ctypes.CDLL(native._runtime_path())
    lib.cudaMalloc.argtypes = [ctypes.POINTER(ctypes.c_void_p), ctypes.c_size_t]
    lib.cudaMalloc.restype = ctypes.c_int
    lib.cudaFree.argtypes = [ctypes.c_void_p]
    lib.cudaFree.restype = ctypes.c_int
    lib.cudaMemcpy.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    lib.cudaMemcpy.restype = ctypes.c_int
    lib.cudaDeviceSynchronize.argtypes = []
    lib.cudaDeviceSynchronize.restype = ctypes.c_int
    return lib


def _check(status: int, call: str) -> None:
    if status != 0:
        raise RuntimeError(f"vesk runtime error: cuda runtime error during {call}: CudaStatus({status})")


def synchronize_device() -> None:
    """Waits for all work queued on the current device (the README's
    ordering rule: a freeze reads what the device has finished writing)."""
    _check(_runtime().cudaDeviceSynchronize(), "cudaDeviceSynchronize")


class DeviceBuffer:
    """A small device allocation on the current device, freed on close."""

    def __init__(self, size: int):
        self.size = size
        ptr = ctypes.c_void_p()
        _check(_runtime().cudaMalloc(ctypes.byref(ptr), max(size, 1)), "cudaMalloc")
        self.ptr: int = ptr.value or 0

    def upload(self, data: bytes) -> None:
        assert len(data) == self.size
        _check(_runtime().cudaMemcpy(self.ptr, data, len(data), 1), "cudaMemcpy(h2d)")

    def download(self) -> bytes:
        out = ctypes.create_string_buffer(max(self.size, 1))
        _check(_runtime().cudaMemcpy(out, self.ptr, self.size, 2), "cudaMemcpy(d2h)")
        return out.raw[: self.size]

    def close(self) -> None:
        if self.ptr:
            _runtime().cudaFree(self.ptr)
            self.ptr = 0

    def __enter__(self) -> DeviceBuffer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


# ---------------------------------------------------------------------------
# Manifest encoding


def assign_ids(specs: Mapping[tuple[str, str], ArraySpec]) -> list[ManifestEntry]:
    """Manifest entries in (kind, sorted name) order, ids counted per kind."""
    entries, counters = [], dict.fromkeys(KINDS, 0)
    for kind, name in sorted(specs, key=lambda key: (KIND_CODES[key[0]], key[1])):
        spec = specs[(kind, name)]
        entries.append(ManifestEntry(name, kind, counters[kind], spec.dtype, spec.shape, spec.nbytes))
        counters[kind] += 1
    return entries


def encode_manifest(entries: Iterable[ManifestEntry]) -> bytes:
    regions = [
        {"name": e.name, "kind": e.kind, "logical_id": e.logical_id, "dtype": e.dtype,
         "shape": list(e.shape), "nbytes": e.nbytes}
        for e in entries
    ]
    doc = {"format": MANIFEST_FORMAT, "version": MANIFEST_VERSION, "regions": regions}
    return json.dumps(doc, separators=(",", ":")).encode("ascii")


def decode_manifest(raw: bytes) -> list[ManifestEntry]:
    """Parses and checks a manifest; ValueError on anything malformed."""
    try:
        doc = json.loads(raw.decode("ascii"))
        if doc.get("format") != MANIFEST_FORMAT:
            raise ValueError("not a manifest")
        if doc.get("version") != MANIFEST_VERSION:
            raise ValueError(f"manifest version {doc.get('version')!r} is not supported ({MANIFEST_VERSION})")
        entries = []
        for r in doc["regions"]:
            shape = tuple(r["shape"])
            fields = (r["name"], r["kind"], r["logical_id"], r["dtype"], r["nbytes"])
            if not (isinstance(fields[0], str) and fields[1] in KIND_CODES and isinstance(fields[3], str)
                    and all(isinstance(n, int) and n >= 0 for n in (fields[2], fields[4], *shape))):
                raise ValueError(f"malformed entry {r!r}")
            entries.append(ManifestEntry(fields[0], fields[1], fields[2], fields[3], shape, fields[4]))
    except (ValueError, AttributeError, KeyError, TypeError) as e:  # JSON and Unicode errors are ValueErrors
        raise ValueError(f"malformed manifest: {e}") from None
    keys = [(e.kind, e.name) for e in entries]
    ids = [(e.kind, e.logical_id) for e in entries]
    if len(set(keys)) != len(keys) or len(set(ids)) != len(ids):
        raise ValueError("malformed manifest: a name or logical id appears twice")
    return entries


# ---------------------------------------------------------------------------
# Reading the manifest before any device copy


@dataclass
class Prelude:
    num_regions: int
    table: list[tuple[int, int, int, int, int]]  # kind, logical_id, size, file_offset, crc32c

    def manifest_entry(self) -> tuple[int, int, int, int, int] | None:
        # The named freeze writes the manifest last; a later duplicate wins,
        # as it does in a restore.
        for entry in reversed(self.table):
            if entry[0] == KIND_CODES[MANIFEST_KIND] and entry[1] == MANIFEST_LOGICAL_ID:
                return entry
        return None


def _checked_manifest(raw: bytes, crc: int) -> list[ManifestEntry]:
    from vesk import vesk as native

    if crc != 0 and native._crc32c(raw) != crc:
        raise RuntimeError(f"vesk runtime error: the manifest region fails its checksum (recorded 0x{crc:08x})")
    return decode_manifest(raw)


class Source:
    """Where a named restore reads from: a file (opened once, so that every
    byte comes from the same file whatever renames happen meanwhile), a
    PinnedMmap or a buffer."""

    def __init__(self, source: Any):
        from vesk import vesk as native

        self.fd: int | None = None
        self.pinned = isinstance(source, native.PinnedMmap)
        self.source = source
        if isinstance(source, (str, os.PathLike)):
            self.path = os.fspath(source)
            self._open_file()
        elif not self.pinned:
            self.view = memoryview(source).cast("B")

    def _open_file(self) -> None:
        # Non-blocking, so that a FIFO at the path is refused, not waited on.
        self.fd = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        mode = os.fstat(self.fd).st_mode
        if not (stat.S_ISREG(mode) or stat.S_ISBLK(mode)):
            os.close(self.fd)
            self.fd = None
            raise RuntimeError(f"vesk runtime error: {os.fsdecode(self.path)!s}: not a regular file")
        fd_path = f"/proc/self/fd/{self.fd}"
        self.read_path = fd_path if os.path.exists(fd_path) else self.path

    def close(self) -> None:
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
        if not self.pinned and hasattr(self, "view"):
            self.view.release()

    def __enter__(self) -> Source:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _read(self, offset: int, size: int) -> bytes:
        if self.fd is not None:
            out = bytearray()
            while len(out) < size:
                piece = os.pread(self.fd, size - len(out), offset + len(out))
                if not piece:
                    break
                out += piece
            return bytes(out)
        if self.pinned:
            total = len(self.source)
            offset = min(offset, total)
            return self.source._read(offset, min(size, total - offset))
        return bytes(self.view[offset : offset + size])

    def _length(self) -> int:
        return len(self.source) if self.pinned else len(self.view)

    def prelude(self) -> Prelude:
        if self.fd is not None:
            from vesk import vesk as native

            p = native._read_prelude(self.read_path)
            return Prelude(p["num_regions"], p["regions"])
        # Memory: the native restore checks the prelude in full later; here
        # only what is needed to find the manifest, with the same messages.
        head = self._read(0, HEADER_SIZE)
        if len(head) < HEADER_SIZE:
            raise RuntimeError(
                f"vesk runtime error: snapshot parse failed: data too short for header: {len(head)} bytes")
        magic, version, count, table_offset = _HEADER.unpack_from(head)
        if magic != b"VESK" or version != 2:
            raise RuntimeError("vesk runtime error: not a vesk snapshot (bad magic or version)")
        need = table_offset + ENTRY_SIZE * count
        if need > self._length():
            raise RuntimeError(
                f"vesk runtime error: snapshot parse failed: snapshot prelude is truncated: "
                f"got {self._length()} bytes, need {need}")
        raw = self._read(table_offset, ENTRY_SIZE * count)
        return Prelude(count, [e for e in _ENTRY.iter_unpack(raw)])

    def manifest(self, prelude: Prelude) -> list[ManifestEntry]:
        entry = prelude.manifest_entry()
        if entry is None:
            raise NoManifest("the snapshot has no manifest: it was written by the region functions, "
                             "restore it with them")
        _, _, size, offset, crc = entry
        raw = self._read(offset, size)
        if len(raw) != size:
            raise RuntimeError("vesk runtime error: the manifest region lies beyond the end of the snapshot")
        return _checked_manifest(raw, crc)

    def restore(self, mapping: list[tuple[str, int, int, int]], chunk_size_mb: int, direct_io: bool) -> dict:
        import vesk

        if self.fd is not None:
            return vesk.restore_from_file_pipelined(self.read_path, mapping, chunk_size_mb, direct_io)
        if self.pinned:
            return vesk.restore_from_pinned_mmap(self.source, mapping)
        return vesk.restore_from_bytes_auto(self.view, mapping, chunk_size_mb)


def read_manifest(source: Any) -> list[ManifestEntry]:
    """The manifest of a snapshot file (path) or of a snapshot in memory."""
    with Source(source) as src:
        return src.manifest(src.prelude())


def differences(manifest: list[ManifestEntry], specs: Mapping[tuple[str, str], ArraySpec]) -> list[str]:
    """Every way the destination arrays differ from the manifest."""
    out = []
    expected = {(e.kind, e.name): e for e in manifest}
    for key, e in expected.items():
        spec = specs.get(key)
        if spec is None:
            out.append(f"missing: {_label(*key)} ({e.describe()}) is in the snapshot but not given")
            continue
        if spec.dtype != e.dtype:
            out.append(f"wrong dtype: {_label(*key)} is {e.dtype} in the snapshot, {spec.dtype} given")
        if spec.shape != e.shape:
            out.append(f"wrong shape: {_label(*key)} is {list(e.shape)} in the snapshot, {list(spec.shape)} given")
        if spec.dtype == e.dtype and spec.shape == e.shape and spec.nbytes != e.nbytes:
            out.append(f"wrong size: {_label(*key)} is {e.nbytes} bytes in the snapshot, {spec.nbytes} given")
        if spec.readonly:
            out.append(f"read-only: {_label(*key)} cannot be written")
    for key, spec in specs.items():
        if key not in expected:
            out.append(f"unexpected: {_label(*key)} ({spec.describe()}) is not in the snapshot")
    return out


def _check_table(prelude: Prelude, manifest: list[ManifestEntry]) -> None:
    """The manifest must name every region of the table, at its size."""
    sizes = {(k, i): size for k, i, size, _, _ in prelude.table}
    named = {(KIND_CODES[e.kind], e.logical_id): e for e in manifest}
    for key, e in named.items():
        if sizes.get(key) != e.nbytes:
            raise RuntimeError(f"vesk runtime error: the manifest does not match the region table "
                               f"({_label(e.kind, e.name)}, logical id {e.logical_id})")
    manifest_key = (KIND_CODES[MANIFEST_KIND], MANIFEST_LOGICAL_ID)
    extra = [key for key in sizes if key not in named and key != manifest_key]
    if extra:
        kind, logical_id = extra[0]
        raise RuntimeError(f"vesk runtime error: the snapshot holds {len(extra)} region(s) the manifest does "
                           f"not name, e.g. {KINDS[kind]} {logical_id}")


def _named_stats(stats: dict, manifest_size: int, key: str) -> dict:
    return {key: stats[key] - 1, "bytes_copied": stats["bytes_copied"] - manifest_size}


# ---------------------------------------------------------------------------
# Public entry points


def freeze(
    path: str | os.PathLike[str],
    *,
    weights: Mapping[str, Any] | None = None,
    kv_live_block: Mapping[str, Any] | None = None,
    metadata: Mapping[str, Any] | None = None,
    vllm_commit: str | None = None,
) -> dict[str, int]:
    """Freezes named device arrays and their manifest into a snapshot file.

    Waits for the current device first. Returns {"regions_frozen",
    "bytes_copied"} counting the caller's arrays (not the manifest)."""
    specs = specs_of({"weights": weights, "kv_live_block": kv_live_block, "metadata": metadata})
    return freeze_specs(path, specs, vllm_commit)


def freeze_specs(path: str | os.PathLike[str], specs: Mapping[tuple[str, str], ArraySpec],
                 vllm_commit: str | None) -> dict[str, int]:
    import vesk

    entries = assign_ids(specs)
    raw = encode_manifest(entries)
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
) -> dict[str, int]:
    """Restores a named snapshot into device arrays given by name.

    `source` is a path (str or path-like) or a snapshot in memory (bytes,
    bytearray, mmap, memoryview or a PinnedMmap). The arrays must match the
    manifest exactly; otherwise ManifestMismatch lists every difference and
    nothing is copied. Returns {"regions_restored", "bytes_copied"} counting
    the caller's arrays."""
    groups = {"weights": weights, "kv_live_block": kv_live_block, "metadata": metadata}
    return restore_with(source, lambda manifest: specs_of(groups), chunk_size_mb, direct_io)


def restore_with(
    source: Any,
    destinations: Callable[[list[ManifestEntry]], Mapping[tuple[str, str], ArraySpec]],
    chunk_size_mb: int = 64,
    direct_io: bool = True,
) -> dict[str, int]:
    """Reads the manifest, asks `destinations` for the arrays (so that a
    loader can allocate them from it), checks them and restores."""
    with Source(source) as src:
        prelude = src.prelude()
        manifest = src.manifest(prelude)
        _check_table(prelude, manifest)
        specs = destinations(manifest)
        problems = differences(manifest, specs)
        if problems:
            raise ManifestMismatch(problems)
        entry = prelude.manifest_entry()
        assert entry is not None
        mapping = [(e.kind, e.logical_id, specs[(e.kind, e.name)].ptr, e.nbytes) for e in manifest]
        with DeviceBuffer(entry[2]) as buf:
            mapping.append((MANIFEST_KIND, MANIFEST_LOGICAL_ID, buf.ptr, entry[2]))
            stats = src.restore(mapping, chunk_size_mb, direct_io)
            if decode_manifest(buf.download()) != manifest:
                raise RuntimeError("vesk runtime error: the snapshot changed while it was restored")
    return _named_stats(stats, entry[2], "regions_restored")
