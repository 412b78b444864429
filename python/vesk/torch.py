"""PyTorch state dicts as named snapshots, in one call each way.

    vesk.torch.save("/snapshots/model.vesk", model.state_dict())
    tensors = vesk.torch.load("/snapshots/model.vesk", device="cuda:0")

Every tensor is stored as a "weights" region under its name, with its dtype
and shape in the snapshot's manifest (see vesk.named). PyTorch is imported
only when one of these functions is called.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any

from vesk import named

if TYPE_CHECKING:
    import torch as _torch_types

__all__ = ["load", "save"]


def _torch() -> Any:
    try:
        import torch
    except ImportError as e:
        raise ImportError(f"vesk.torch needs PyTorch, which cannot be imported here: {e}") from e
    return torch


def _dtype_name(dtype: Any) -> str:
    return str(dtype).removeprefix("torch.")


def _device_of(torch: Any, tensors: Mapping[str, Any]) -> Any:
    devices = {t.device for t in tensors.values()}
    if len(devices) > 1:
        raise ValueError(f"all tensors must be on one CUDA device, found {sorted(map(str, devices))}")
    return next(iter(devices)) if devices else torch.device("cuda", torch.cuda.current_device())


def tensor_spec(torch: Any, label: str, t: Any) -> named.ArraySpec:
    """A CUDA tensor as the snapshot sees it (any dtype, bfloat16 included,
    which __cuda_array_interface__ cannot express)."""
    if not isinstance(t, torch.Tensor):
        raise TypeError(f"{label}: {type(t).__qualname__} is not a torch.Tensor")
    if t.device.type != "cuda":
        raise TypeError(f"{label}: the tensor is on {t.device}, not on a CUDA device")
    if not t.is_contiguous():
        raise ValueError(f"{label}: the tensor is not contiguous; pass .contiguous()")
    return named.ArraySpec(t.data_ptr(), t.numel() * t.element_size(), _dtype_name(t.dtype), tuple(t.shape))


def save(path: str | os.PathLike[str], tensors: Mapping[str, _torch_types.Tensor], *,
         vllm_commit: str | None = None, metadata: Mapping[str, str] | None = None) -> dict[str, int]:
    """Freezes CUDA tensors by name, with `metadata` (str to str) kept in
    the manifest. Waits for the tensors' device first, so that the snapshot
    holds what queued kernels write."""
    torch = _torch()
    specs = {}
    for name, t in tensors.items():
        if not isinstance(name, str):
            raise TypeError(f"weights: names must be str, got {name!r}")
        specs[("weights", name)] = tensor_spec(torch, f"weights {name!r}", t)
    device = _device_of(torch, tensors)
    with torch.cuda.device(device):
        torch.cuda.synchronize()
        return named.freeze_specs(path, specs, vllm_commit, metadata)


def _torch_dtype(torch: Any, e: named.ManifestEntry) -> Any:
    dtype = getattr(torch, e.dtype, None)
    if not isinstance(dtype, torch.dtype):
        raise ValueError(f"weights {e.name!r}: dtype {e.dtype} has no PyTorch equivalent")
    return dtype


def _chosen(entries: list[named.ManifestEntry], names: Iterable[str] | None) -> list[named.ManifestEntry]:
    """The weights entries to load: all, or those named (each must exist)."""
    weights = {e.name: e for e in entries if e.kind == "weights"}
    if names is None:
        others = sorted({e.kind for e in entries if e.kind != "weights"})
        if others:
            raise ValueError(f"the snapshot holds {', '.join(others)} regions too; restore it with vesk.named.restore")
        return [weights[n] for n in sorted(weights)]
    wanted = sorted(set(names))
    missing = [n for n in wanted if n not in weights]
    if missing:
        raise KeyError(f"not in the snapshot: {', '.join(map(repr, missing))}")
    return [weights[n] for n in wanted]


def _load_cpu(torch: Any, source: Any, names: Iterable[str] | None) -> dict[str, Any]:
    out: dict[str, Any] = {}
    with named.open(source) as snap:
        for e in _chosen(snap.entries, names):
            dtype = _torch_dtype(torch, e)
            data = snap.read(e.name)
            if not data:
                out[e.name] = torch.empty(e.shape, dtype=dtype)
                continue
            raw = torch.frombuffer(bytearray(data), dtype=torch.uint8)
            out[e.name] = raw.view(dtype).reshape(e.shape)
    return out


def load(source: Any, device: str | int | Any = "cuda",
         names: Iterable[str] | None = None) -> dict[str, _torch_types.Tensor]:
    """Loads the snapshot's tensors (all, or the `names` given) onto
    `device`, the names in sorted order. On the CPU this reads the file on
    the host and needs no CUDA runtime; on a CUDA device it allocates from
    the manifest and restores into the tensors."""
    torch = _torch()
    device = torch.device(device)
    if device.type == "cpu":
        return _load_cpu(torch, source, names)
    if device.type != "cuda":
        raise ValueError(f"vesk.torch.load loads to the CPU or to CUDA memory, not {device}")
    out: dict[str, Any] = {}

    def allocate(manifest: list[named.ManifestEntry]) -> dict[tuple[str, str], named.ArraySpec]:
        for e in _chosen(manifest, names):
            out[e.name] = torch.empty(e.shape, dtype=_torch_dtype(torch, e), device=device)
        return {("weights", name): tensor_spec(torch, f"weights {name!r}", t) for name, t in out.items()}

    with torch.cuda.device(device):
        named.restore_with(source, allocate, partial=names is not None)
    return out
