"""Device arrays as a snapshot sees them: a pointer, a byte size, a dtype
name and a shape, read from ``__cuda_array_interface__`` (CuPy, Numba) by the
extension in one pass, or from a PyTorch tensor directly."""

from __future__ import annotations

import sys
from collections.abc import Mapping
from typing import Any, NamedTuple

from vesk import vesk as _native


class ArraySpec(NamedTuple):
    """One device array as the snapshot sees it."""

    ptr: int
    nbytes: int
    dtype: str
    shape: tuple[int, ...]
    readonly: bool = False

    def describe(self) -> str:
        return f"{self.dtype}[{', '.join(map(str, self.shape))}]"


def region_label(kind: str, name: str) -> str:
    return f"{kind} {name!r}"


def _tensor_spec(label: str, obj: Any) -> ArraySpec:
    from vesk import torch as vesk_torch

    return vesk_torch.tensor_spec(sys.modules["torch"], label, obj)


def specs_of(groups: Mapping[str, Mapping[str, Any] | None]) -> dict[tuple[str, str], ArraySpec]:
    """(kind, name) -> ArraySpec for every array of every kind; the first
    unusable entry raises, naming it."""
    torch = sys.modules.get("torch")  # never imported here: a tensor means it is loaded
    tensor_type = getattr(torch, "Tensor", None) if torch is not None else None
    out: dict[tuple[str, str], ArraySpec] = {}
    for kind, arrays in groups.items():
        if arrays is None:
            continue
        if not isinstance(arrays, Mapping):
            raise TypeError(f"{kind}: expected a mapping of names to device arrays, got {type(arrays).__qualname__}")
        items = list(arrays.items())
        out.update(_native._array_specs(kind, items, ArraySpec, tensor_type, _tensor_spec))
    return out


def array_spec(label_kind: str, name: str, obj: Any) -> ArraySpec:
    """One array's spec, refused with an error naming it."""
    return specs_of({label_kind: {name: obj}})[(label_kind, name)]
