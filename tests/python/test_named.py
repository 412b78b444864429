"""Named snapshots: device arrays by name, with the manifest checked before any copy."""

from __future__ import annotations

import math
import mmap
import os
import random
import sys

import pytest

import vesk
from vesk import named
from helpers import build_snapshot

TYPESTRS = {"<f2": 2, "<f4": 4, "|u1": 1, "<i8": 8, "|b1": 1, "<V2": 2}


class DeviceArray:
    """Stands in for a framework tensor: device memory from the bound runtime,
    exported through __cuda_array_interface__ (version 3)."""

    def __init__(self, device, shape, typestr, data=None, strides=None, readonly=False):
        self.device, self.shape, self.typestr = device, tuple(shape), typestr
        self.nbytes = math.prod(self.shape) * TYPESTRS[typestr]
        self.ptr = device.alloc(self.nbytes)
        if data is not None:
            device.upload(self.ptr, data)
        self.strides, self.readonly = strides, readonly

    @property
    def __cuda_array_interface__(self):
        return {"version": 3, "shape": self.shape, "typestr": self.typestr, "data": (self.ptr, self.readonly),
                "strides": self.strides, "stream": None}

    def read(self) -> bytes:
        return self.device.download(self.ptr, self.nbytes)


def model(device, count=300, seed=7):
    """`count` arrays of mixed dtypes and shapes, several of the same size."""
    rng = random.Random(seed)
    arrays = {}
    for i in range(count):
        typestr = rng.choice(list(TYPESTRS))
        shape = rng.choice([(4, 8), (8, 4), (32,), (2, 3, 5), (0, 3), ()])
        size = math.prod(shape) * TYPESTRS[typestr]
        arrays[f"layers.{i}.w"] = DeviceArray(device, shape, typestr, rng.randbytes(size))
    return arrays


def empty_like(device, arrays, names=None):
    """Fresh zeroed destinations, built in another dictionary order."""
    return {n: DeviceArray(device, a.shape, a.typestr, bytes(a.nbytes))
            for n, a in reversed(list(arrays.items())) if names is None or n in names}


def frozen(tmp_path, device, **kinds):
    path = tmp_path / "named.vesk"
    stats = named.freeze(path, vllm_commit="c" * 40, **kinds)
    return path, stats


@pytest.mark.parametrize("source", ["file", "bytes", "mmap", "pinned"])
def test_hundreds_of_named_arrays_round_trip(tmp_path, device, source):
    weights = model(device)
    kv = {"block.0": DeviceArray(device, (16,), "<f2", bytes(range(32)))}
    path, stats = frozen(tmp_path, device, weights=weights, kv_live_block=kv)
    assert stats == {"regions_frozen": 301, "bytes_copied": sum(a.nbytes for a in weights.values()) + 32}

    dest, dest_kv = empty_like(device, weights), empty_like(device, kv)
    data = path.read_bytes()
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        if source == "file":
            result = named.restore(str(path), weights=dest, kv_live_block=dest_kv)
        elif source == "bytes":
            result = named.restore(data, weights=dest, kv_live_block=dest_kv)
        elif source == "mmap":
            result = named.restore(mm, weights=dest, kv_live_block=dest_kv)
        else:
            with vesk.PinnedMmap(mm) as pinned:
                result = named.restore(pinned, weights=dest, kv_live_block=dest_kv)
    assert result == {"regions_restored": 301, "bytes_copied": stats["bytes_copied"]}
    for name, array in weights.items():
        assert dest[name].read() == array.read(), name
    assert dest_kv["block.0"].read() == bytes(range(32))


def test_logical_ids_follow_sorted_names_not_dictionary_order(tmp_path, device):
    a = DeviceArray(device, (4,), "<f4", b"A" * 16)
    b = DeviceArray(device, (4,), "<f4", b"B" * 16)
    path, _ = frozen(tmp_path, device, weights={"zeta": a, "alpha": b})
    manifest = named.read_manifest(path)
    assert [(e.name, e.logical_id, e.dtype, e.shape, e.nbytes) for e in manifest] == [
        ("alpha", 0, "float32", (4,), 16), ("zeta", 1, "float32", (4,), 16)]
    layout = vesk.vesk._snapshot_layout(str(path))
    assert (layout["kinds"][-4:], layout["logical_ids"][-4:]) == ((2).to_bytes(4, "little"), bytes([255] * 4))
    # Two same-sized arrays in the other order land by name, not by position.
    dest = {"alpha": DeviceArray(device, (4,), "<f4"), "zeta": DeviceArray(device, (4,), "<f4")}
    named.restore(path, weights=dest)
    assert dest["alpha"].read() == b"B" * 16 and dest["zeta"].read() == b"A" * 16


@pytest.mark.parametrize("source", ["file", "bytes"])
def test_every_difference_is_listed_before_any_copy(tmp_path, device, source):
    weights = model(device, count=40)
    path, _ = frozen(tmp_path, device, weights=weights)
    dest = empty_like(device, weights)
    names = sorted(dest)
    renamed = dest.pop(names[0])
    dest["renamed"] = renamed
    retyped = next(n for n in names[1:] if dest[n].typestr == "<f2")
    dest[retyped].typestr = "<V2"  # a bf16 export: same size, other type
    reshaped = next(n for n in names[1:] if dest[n].shape == (4, 8))
    dest[reshaped].shape = (8, 4)
    with pytest.raises(named.ManifestMismatch) as info:
        named.restore(str(path) if source == "file" else path.read_bytes(), weights=dest)
    lines = info.value.differences
    assert len(lines) == 4, lines
    assert any(line.startswith(f"missing: weights '{names[0]}'") for line in lines)
    assert any(line.startswith("unexpected: weights 'renamed'") for line in lines)
    assert f"wrong dtype: weights '{retyped}' is float16 in the snapshot, <V2 given" in lines
    assert f"wrong shape: weights '{reshaped}' is [4, 8] in the snapshot, [8, 4] given" in lines
    assert "4 differences" in str(info.value)
    assert all(a.read() == bytes(a.nbytes) for a in dest.values())  # nothing was copied
    # A destination of the wrong kind is a difference too.
    dest = empty_like(device, weights)
    with pytest.raises(named.ManifestMismatch) as info:
        named.restore(path, weights={}, kv_live_block=dest)
    assert len(info.value.differences) == 2 * len(dest)


def test_unusable_arrays_are_refused_before_anything_is_written(tmp_path, device):
    class Raising:
        @property
        def __cuda_array_interface__(self):
            raise TypeError("dtype not supported")

    good = DeviceArray(device, (4, 4), "<f4", bytes(64))
    transposed = DeviceArray(device, (4, 4), "<f4", bytes(64), strides=(4, 16))
    cases = [
        (bytearray(16), TypeError, "weights 'x': bytearray is not a device array"),
        (Raising(), TypeError, "weights 'x': cannot read its __cuda_array_interface__: dtype not supported"),
        (transposed, ValueError, "weights 'x': the array is not C-contiguous"),
    ]
    path = tmp_path / "refused.vesk"
    for bad, error, message in cases:
        with pytest.raises(error, match="^" + message.replace("(", r"\(")):
            named.freeze(path, weights={"good": good, "x": bad})
        assert not list(tmp_path.iterdir())
    with pytest.raises(TypeError, match="names must be str"):
        named.freeze(path, weights={1: good})
    # Size-1 dimensions may carry any stride; a read-only array can be frozen
    # but is no destination.
    named.freeze(path, weights={"x": DeviceArray(device, (1, 4), "<f4", bytes(16), strides=(999, 4), readonly=True)})
    with pytest.raises(named.ManifestMismatch, match="read-only: weights 'x'"):
        named.restore(path, weights={"x": DeviceArray(device, (1, 4), "<f4", readonly=True)})


def test_snapshots_without_or_with_a_damaged_manifest(tmp_path, device):
    plain = build_snapshot([("weights", 0, b"x" * 64)])
    with pytest.raises(named.NoManifest):
        named.restore(plain, weights={"w": DeviceArray(device, (64,), "|u1")})
    # The reserved id written through the region functions holds no manifest.
    foreign = build_snapshot([("weights", 0, b"x" * 64), ("metadata", named.MANIFEST_LOGICAL_ID, b"{}")])
    with pytest.raises(RuntimeError, match="^vesk runtime error: snapshot in memory: malformed manifest: not a vesk "
                       "manifest$") as e:
        named.restore(foreign, weights={"w": DeviceArray(device, (64,), "|u1")})
    assert e.value.vesk_error == "MalformedManifest" and e.value.io_kind is None
    path, _ = frozen(tmp_path, device, weights={"w": DeviceArray(device, (64,), "|u1", b"y" * 64)})
    data = bytearray(path.read_bytes())
    data[-5] ^= 0x20  # inside the manifest, the last region
    dest = DeviceArray(device, (64,), "|u1", bytes(64))
    with pytest.raises(RuntimeError, match="region checksum mismatch: kind=Metadata, logical_id=4294967295") as e:
        named.restore(bytes(data), weights={"w": dest})
    assert e.value.vesk_error == "ChecksumMismatch"
    assert dest.read() == bytes(64)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with pytest.raises(RuntimeError, match="not a regular file"):
        named.restore(fifo, weights={"w": dest})


def test_torch_module_imports_without_torch_and_says_what_is_missing(monkeypatch, tmp_path):
    import vesk.torch as vt

    monkeypatch.setitem(sys.modules, "torch", None)  # as if PyTorch were not installed
    with pytest.raises(ImportError, match="^vesk.torch needs PyTorch"):
        vt.load(tmp_path / "x.vesk")
    with pytest.raises(ImportError, match="^vesk.torch needs PyTorch"):
        vt.save(tmp_path / "x.vesk", {})
    assert not (tmp_path / "x.vesk").exists()


def fake_torch(device):
    """Just enough of PyTorch's surface for vesk.torch, over stand-in memory."""
    import contextlib
    import types

    class Dtype:
        def __init__(self, name, size):
            self.name, self.size = name, size

        def __str__(self):
            return f"torch.{self.name}"

    class Device:
        def __init__(self, spec="cuda", index=None):
            self.type, _, i = str(spec).partition(":")
            self.index = int(i) if i else index

        def __eq__(self, other):
            return (self.type, self.index) == (other.type, other.index)

        def __hash__(self):
            return hash((self.type, self.index))

        def __str__(self):
            return self.type + ("" if self.index is None else f":{self.index}")

    class Tensor:
        def __init__(self, shape, dtype, device="cuda", data=None, contiguous=True):
            self.shape, self.dtype, self.device, self.contiguous = tuple(shape), dtype, Device(device), contiguous
            self.nbytes = math.prod(self.shape) * dtype.size
            self.ptr = device_mem.alloc(self.nbytes)
            device_mem.upload(self.ptr, data if data is not None else bytes(self.nbytes))

        def data_ptr(self):
            return self.ptr

        def numel(self):
            return math.prod(self.shape)

        def element_size(self):
            return self.dtype.size

        def is_contiguous(self):
            return self.contiguous

        def read(self):
            return device_mem.download(self.ptr, self.nbytes)

    device_mem = device
    torch = types.ModuleType("torch")
    torch.Tensor, torch.dtype, torch.device = Tensor, Dtype, Device
    torch.float16, torch.bfloat16, torch.float32 = Dtype("float16", 2), Dtype("bfloat16", 2), Dtype("float32", 4)
    torch.empty = lambda shape, dtype, device: Tensor(shape, dtype, device)
    torch.cuda = types.SimpleNamespace(device=lambda d: contextlib.nullcontext(), synchronize=lambda: None,
                                       current_device=lambda: 0)
    return torch


def test_torch_state_dicts_round_trip_by_name_and_dtype(monkeypatch, tmp_path, device):
    import vesk.torch as vt

    torch = fake_torch(device)
    monkeypatch.setitem(sys.modules, "torch", torch)
    state = {"lm_head": torch.Tensor((8, 4), torch.bfloat16, data=bytes(range(64))),
             "embed": torch.Tensor((4, 8), torch.float16, data=bytes(range(64, 128))),
             "norm": torch.Tensor((16,), torch.float32, data=bytes(range(128, 192)))}
    path = tmp_path / "state.vesk"
    assert vt.save(path, state) == {"regions_frozen": 3, "bytes_copied": 192}
    loaded = vt.load(path, device="cuda:0")
    assert list(loaded) == ["embed", "lm_head", "norm"]
    for name, t in state.items():
        assert (loaded[name].dtype.name, loaded[name].shape, loaded[name].read()) == (t.dtype.name, t.shape, t.read())
    # bfloat16 goes through the named API too, and is told apart from float16.
    with pytest.raises(named.ManifestMismatch, match="wrong dtype: weights 'lm_head' is bfloat16 in the snapshot, "
                                                      "float16 given"):
        named.restore(path, weights={**loaded, "lm_head": torch.Tensor((8, 4), torch.float16)})
    for bad, message in ((torch.Tensor((4,), torch.float16, device="cpu"), "is on cpu, not on a CUDA device"),
                         (torch.Tensor((4, 4), torch.float16, contiguous=False), "is not contiguous")):
        with pytest.raises((TypeError, ValueError), match=f"^weights 'x': the tensor {message}"):
            vt.save(tmp_path / "refused.vesk", {"ok": state["norm"], "x": bad})
    assert not (tmp_path / "refused.vesk").exists()
    named.freeze(path, weights={"w": state["norm"]}, kv_live_block={"b": state["embed"]})
    with pytest.raises(ValueError, match="holds kv_live_block regions too"):
        vt.load(path)
