"""Small device buffers and a device-wide wait, through the extension's one
binding of the CUDA runtime (which clears the runtime's error slot after a
failed call)."""

from __future__ import annotations

from vesk import vesk as _native


def synchronize_device() -> None:
    """Waits for all work queued on the current device (a freeze reads what
    the device has finished writing)."""
    _native._device_synchronize()


def upload_to(ptr: int, data: bytes) -> None:
    """Copies host bytes to a device address."""
    _native._device_upload(ptr, data)


class DeviceBuffer:
    """A device allocation on the current device, freed on close."""

    def __init__(self, size: int):
        self.size = size
        self.ptr: int = _native._device_alloc(max(size, 1))

    def upload(self, data: bytes) -> None:
        if len(data) != self.size:
            raise ValueError(f"upload of {len(data)} bytes into a buffer of {self.size}")
        _native._device_upload(self.ptr, data)

    def download(self) -> bytes:
        return _native._device_download(self.ptr, self.size)

    def close(self) -> None:
        if self.ptr:
            ptr, self.ptr = self.ptr, 0
            _native._device_free(ptr)

    def __enter__(self) -> DeviceBuffer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
