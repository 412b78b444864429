"""Device memory through the bound CUDA runtime, and snapshot bytes built
independently of the extension."""

from __future__ import annotations

import ctypes
import struct

KINDS = {"weights": 0, "kv_live_block": 1, "metadata": 2}
H2D, D2H = 1, 2


class Runtime:
    def __init__(self, lib: ctypes.CDLL, standin: bool):
        self.lib = lib
        self.standin = standin
        lib.cudaMalloc.argtypes = [ctypes.POINTER(ctypes.c_void_p), ctypes.c_size_t]
        lib.cudaMalloc.restype = ctypes.c_int
        lib.cudaFree.argtypes = [ctypes.c_void_p]
        lib.cudaFree.restype = ctypes.c_int
        lib.cudaMemcpy.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
        lib.cudaMemcpy.restype = ctypes.c_int
        lib.cudaMemset.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_size_t]
        lib.cudaMemset.restype = ctypes.c_int
        lib.cudaDeviceSynchronize.restype = ctypes.c_int
        if standin:
            lib.standin_fail.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
            lib.standin_live.argtypes = [ctypes.c_char_p]
            lib.standin_live.restype = ctypes.c_long
            lib.standin_calls.argtypes = [ctypes.c_char_p]
            lib.standin_calls.restype = ctypes.c_long
            lib.standin_hazards.restype = ctypes.c_long
            lib.standin_pageable_copies.restype = ctypes.c_long
            lib.standin_set_delay_us.argtypes = [ctypes.c_uint]
            lib.standin_peek_last_error.restype = ctypes.c_int
            lib.standin_last_register_flags.restype = ctypes.c_long
            lib.standin_set_readonly_register_supported.argtypes = [ctypes.c_int]
            lib.standin_set_pinned_alignment.argtypes = [ctypes.c_uint]
        lib.cudaSetDevice.argtypes = [ctypes.c_int]
        lib.cudaSetDevice.restype = ctypes.c_int
        lib.cudaGetDevice.argtypes = [ctypes.POINTER(ctypes.c_int)]
        lib.cudaGetDevice.restype = ctypes.c_int

    def current_device(self) -> int:
        d = ctypes.c_int(-1)
        assert self.lib.cudaGetDevice(ctypes.byref(d)) == 0
        return d.value

    def last_error_left(self) -> int:
        """The calling thread's recorded error, left in place."""
        return self.lib.standin_peek_last_error()

    def live(self, what: str) -> int:
        return self.lib.standin_live(what.encode())

    def calls(self, call: str) -> int:
        return self.lib.standin_calls(call.encode())

    def fail(self, call: str, nth: int, status: int) -> None:
        self.lib.standin_fail(call.encode(), nth, status)


class Device:
    """Device allocations of one test, freed at its end."""

    def __init__(self, runtime: Runtime):
        self.rt = runtime
        self.ptrs: list[int] = []

    def alloc(self, size: int, on: int | None = None) -> int:
        """Device memory on device `on` (the current device when None)."""
        previous = self.rt.current_device()
        if on is not None:
            assert self.rt.lib.cudaSetDevice(on) == 0
        p = ctypes.c_void_p()
        status = self.rt.lib.cudaMalloc(ctypes.byref(p), max(size, 1))
        self.rt.lib.cudaSetDevice(previous)
        assert status == 0 and p.value, f"cudaMalloc({size}) failed with {status}"
        self.ptrs.append(p.value)
        return p.value

    def upload(self, ptr: int, data: bytes) -> None:
        if data:
            assert self.rt.lib.cudaMemcpy(ptr, data, len(data), H2D) == 0

    def download(self, ptr: int, size: int) -> bytes:
        if size == 0:
            return b""
        out = ctypes.create_string_buffer(size)
        assert self.rt.lib.cudaMemcpy(out, ptr, size, D2H) == 0
        return out.raw

    def fill(self, ptr: int, value: int, size: int) -> None:
        if size:
            assert self.rt.lib.cudaMemset(ptr, value, size) == 0

    def region(self, data: bytes) -> int:
        ptr = self.alloc(len(data))
        self.upload(ptr, data)
        return ptr

    def free_all(self) -> None:
        self.rt.lib.cudaDeviceSynchronize()
        for p in self.ptrs:
            self.rt.lib.cudaFree(p)
        self.ptrs.clear()


def _crc_table() -> list[int]:
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ 0x82F63B78 if c & 1 else c >> 1
        table.append(c)
    return table


_TABLE = _crc_table()


def crc32c(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for b in data:
        crc = _TABLE[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFF


def pattern(size: int, seed: int) -> bytes:
    """Deterministic bytes that differ between seeds and offsets."""
    block = bytes((i * 131 + seed * 17 + (i >> 8)) & 0xFF for i in range(min(size, 65536)))
    reps, rest = divmod(size, len(block)) if block else (0, 0)
    return block * reps + block[:rest]


def build_snapshot(regions: list[tuple[str, int, bytes]], commit: bytes = bytes(40), checksums: bool = True) -> bytes:
    """A snapshot laid out as the freeze writes it: header, table at 4096,
    payloads packed in order after the table."""
    n = len(regions)
    header = b"VESK" + struct.pack("<IQQ", 2, n, 4096) + commit
    header += bytes(4096 - len(header))
    offset = 4096 + 32 * n
    table, payload = b"", b""
    for kind, logical_id, data in regions:
        crc = crc32c(data) if checksums else 0
        table += struct.pack("<IIQQII", KINDS[kind], logical_id, len(data), offset, crc, 0)
        offset += len(data)
        payload += data
    return header + table + payload
