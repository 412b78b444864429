"""Small device buffers and a device-wide wait, through the very runtime
library the extension bound. A failed call's status is cleared from the
runtime's error slot at once, so that it cannot surface in a later,
unrelated call."""

from __future__ import annotations

import ctypes
import functools

_H2D, _D2H = 1, 2


@functools.cache
def _runtime() -> ctypes.CDLL:
    from vesk import vesk as native

    lib = ctypes.CDLL(native._runtime_path())
    lib.cudaMalloc.argtypes = [ctypes.POINTER(ctypes.c_void_p), ctypes.c_size_t]
    lib.cudaFree.argtypes = [ctypes.c_void_p]
    lib.cudaMemcpy.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    lib.cudaDeviceSynchronize.argtypes = []
    lib.cudaGetLastError.argtypes = []
    for fn in (lib.cudaMalloc, lib.cudaFree, lib.cudaMemcpy, lib.cudaDeviceSynchronize, lib.cudaGetLastError):
        fn.restype = ctypes.c_int
    return lib


def _check(status: int, call: str) -> None:
    if status != 0:
        _runtime().cudaGetLastError()
        error = RuntimeError(f"vesk runtime error: cuda runtime error during {call}: CudaStatus({status})")
        error.vesk_error, error.io_kind = "Cuda", None  # type: ignore[attr-defined]
        raise error


def synchronize_device() -> None:
    """Waits for all work queued on the current device (a freeze reads what
    the device has finished writing)."""
    _check(_runtime().cudaDeviceSynchronize(), "cudaDeviceSynchronize")


class DeviceBuffer:
    """A device allocation on the current device, freed on close."""

    def __init__(self, size: int):
        self.size = size
        ptr = ctypes.c_void_p()
        _check(_runtime().cudaMalloc(ctypes.byref(ptr), max(size, 1)), "cudaMalloc")
        self.ptr: int = ptr.value or 0

    def upload(self, data: bytes) -> None:
        if len(data) != self.size:
            raise ValueError(f"upload of {len(data)} bytes into a buffer of {self.size}")
        _check(_runtime().cudaMemcpy(self.ptr, data, len(data), _H2D), "cudaMemcpy(h2d)")

    def download(self) -> bytes:
        out = ctypes.create_string_buffer(max(self.size, 1))
        _check(_runtime().cudaMemcpy(out, self.ptr, self.size, _D2H), "cudaMemcpy(d2h)")
        return out.raw[: self.size]

    def close(self) -> None:
        if self.ptr:
            ptr, self.ptr = self.ptr, 0
            _check(_runtime().cudaFree(ptr), "cudaFree")

    def __enter__(self) -> DeviceBuffer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def upload_to(ptr: int, data: bytes) -> None:
    """Copies host bytes to a caller's device address."""
    if data:
        _check(_runtime().cudaMemcpy(ptr, data, len(data), _H2D), "cudaMemcpy(h2d)")
