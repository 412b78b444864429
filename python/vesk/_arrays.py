"""Device arrays as a snapshot sees them: a pointer, a byte size, a dtype
name and a shape, read from ``__cuda_array_interface__`` (CuPy, Numba) or
from a PyTorch tensor directly."""

from __future__ import annotations

import math
import sys
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

# __cuda_array_interface__ type strings with the dtype names PyTorch and
# NumPy use, so that a snapshot written from one framework reads in another.
_TYPESTR_NAMES = {
    "b1": "bool",
    "i1": "int8", "i2": "int16", "i4": "int32", "i8": "int64",
    "u1": "uint8", "u2": "uint16", "u4": "uint32", "u8": "uint64",
    "f2": "float16", "f4": "float32", "f8": "float64",
    "c8": "complex64", "c16": "complex128",
}


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


def region_label(kind: str, name: str) -> str:
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
            spec = obj if isinstance(obj, ArraySpec) else array_spec(region_label(kind, name), obj)
            out[(kind, name)] = spec
    return out
