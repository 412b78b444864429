"""PinnedMmap: registration for the object's lifetime, export held, thread binding."""

import mmap
import sys
import threading

import pytest

import vesk
from helpers import build_snapshot, pattern

PAYLOAD = pattern(20000, 21)
SNAP = build_snapshot([("metadata", 5, PAYLOAD)])
UNSENDABLE = "vesk::PinnedMmap is unsendable, but sent to another thread"


def restore(pinned, device):
    target = device.alloc(len(PAYLOAD))
    result = vesk.restore_from_pinned_mmap(pinned, [("metadata", 5, target, len(PAYLOAD))])
    assert result == {"regions_restored": 1, "bytes_copied": len(PAYLOAD)}
    assert device.download(target, len(PAYLOAD)) == PAYLOAD


@pytest.mark.standin
def test_registers_once_and_unregisters_on_delete(device, standin):
    pinned = vesk.PinnedMmap(SNAP)
    assert len(pinned) == pinned.size == len(SNAP)
    assert standin.calls("cudaHostRegister") == 1 and standin.live("registered") == 1
    for _ in range(3):
        restore(pinned, device)
    assert standin.calls("cudaHostRegister") == 1
    assert standin.lib.standin_pageable_copies() == 0
    del pinned
    assert standin.calls("cudaHostUnregister") == 1 and standin.live("registered") == 0


def test_over_an_mmap_of_a_file(tmp_path, device):
    path = tmp_path / "snap"
    path.write_bytes(SNAP)
    with open(path, "r+b") as f:
        mm = mmap.mmap(f.fileno(), 0)
    pinned = vesk.PinnedMmap(data=mm)
    restore(pinned, device)
    # The exported buffer keeps the mapping open.
    with pytest.raises(BufferError):
        mm.close()
    del pinned
    mm.close()


def test_bytearray_cannot_be_resized_while_pinned(device):
    data = bytearray(SNAP)
    pinned = vesk.PinnedMmap(data)
    with pytest.raises(BufferError):
        data.extend(b"x")
    restore(pinned, device)
    del pinned
    data.extend(b"x")
    assert len(data) == len(SNAP) + 1


@pytest.mark.standin
def test_empty_buffer_registers_nothing(standin):
    pinned = vesk.PinnedMmap(b"")
    assert len(pinned) == 0 and pinned.size == 0
    assert standin.calls("cudaHostRegister") == 0 and standin.live("registered") == 0
    with pytest.raises(RuntimeError) as info:
        vesk.restore_from_pinned_mmap(pinned, [])
    assert str(info.value).startswith("vesk runtime error: snapshot parse failed: ")
    assert str(info.value).endswith("data too short for header: 0 bytes")
    del pinned
    assert standin.calls("cudaHostUnregister") == 0


@pytest.mark.standin
def test_refused_registration_leaves_nothing_behind(tmp_path, standin):
    data = bytearray(SNAP)
    standin.fail("cudaHostRegister", 1, 1)
    with pytest.raises(RuntimeError) as info:
        vesk.PinnedMmap(data)
    assert str(info.value) == "vesk runtime error: cuda runtime error during cudaHostRegister: CudaStatus(1)"
    data.extend(b"x")  # no export left
    path = tmp_path / "snap"
    path.write_bytes(SNAP)
    with open(path, "rb") as f:
        mm = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    standin.fail("cudaHostRegister", 1, 1)
    with pytest.raises(RuntimeError):
        vesk.PinnedMmap(mm)
    mm.close()
    assert standin.live("registered") == 0


def test_argument_errors():
    with pytest.raises(TypeError, match="^argument 'data': a bytes-like object is required, not 'str'$"):
        vesk.PinnedMmap("text")
    with pytest.raises(TypeError, match="^argument 'data': buffer contents are not compatible with u8$"):
        vesk.PinnedMmap(memoryview(SNAP).cast("b"))
    with pytest.raises(TypeError):
        vesk.PinnedMmap()
    with pytest.raises(TypeError, match="^argument 'pinned': 'bytes' object cannot be converted to 'PinnedMmap'$"):
        vesk.restore_from_pinned_mmap(SNAP, [])
    pinned = vesk.PinnedMmap(SNAP)
    with pytest.raises(ValueError, match="unknown region kind"):
        vesk.restore_from_pinned_mmap(pinned, [("meta", 5, 0, 0)])
    with pytest.raises(AttributeError):
        pinned.size = 3
    assert not hasattr(pinned, "ptr") and not hasattr(pinned, "__dict__")


def test_use_from_another_thread_is_refused(device):
    pinned = vesk.PinnedMmap(SNAP)
    errors = []

    def worker():
        for use in (lambda: len(pinned), lambda: pinned.size, pinned.close,
                    lambda: vesk.restore_from_pinned_mmap(pinned, [("metadata", 5, 0, len(PAYLOAD))])):
            try:
                use()
                errors.append(None)
            except BaseException as e:  # noqa: B902 - the class deliberately is not an Exception
                errors.append(e)

    t = threading.Thread(target=worker)
    t.start()
    t.join()
    assert len(errors) == 4
    for e in errors:
        assert e is not None and not isinstance(e, Exception) and isinstance(e, BaseException)
        assert str(e) == UNSENDABLE
        assert type(e) is type(errors[0]) and type(e).__name__ == "InternalError"
    restore(pinned, device)  # still fine on the owning thread
    del pinned


def test_drop_on_another_thread_releases(device):
    # A reference cycle collected by gc on another thread: the pages are
    # unregistered and the source can be resized again, with no report.
    data = bytearray(SNAP)
    seen = []
    old_hook, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        holder = [vesk.PinnedMmap(data)]
        t = threading.Thread(target=holder.clear)
        t.start()
        t.join()
    finally:
        sys.unraisablehook = old_hook
    assert seen == []
    data.extend(b"y")  # no export left


@pytest.mark.standin
def test_with_block_and_close_release_once(tmp_path, device, standin):
    path = tmp_path / "snap"
    path.write_bytes(SNAP)
    with open(path, "r+b") as f, mmap.mmap(f.fileno(), 0) as mm:
        with vesk.PinnedMmap(mm) as pinned:
            assert not pinned.closed
            restore(pinned, device)
        # The README's recipe: the mapping closes at the end of the outer
        # block without a forgotten `del`.
        assert pinned.closed and standin.live("registered") == 0
        for use in (lambda: len(pinned), lambda: pinned.size,
                    lambda: vesk.restore_from_pinned_mmap(pinned, []), lambda: pinned.__enter__()):
            with pytest.raises(ValueError, match="^vesk.PinnedMmap is closed"):
                use()
        pinned.close()  # idempotent
    assert standin.calls("cudaHostUnregister") == 1
    pinned = vesk.PinnedMmap(SNAP)
    pinned.close()
    del pinned
    assert standin.calls("cudaHostUnregister") == 2


def test_a_mapping_that_closes_the_pinned_mmap_fails_cleanly(tmp_path, device):
    """Converting the mapping runs the caller's code; a mapping that closes
    the PinnedMmap (and with it the caller's mmap) must not leave the copies
    reading unmapped pages."""
    path = tmp_path / "snap"
    path.write_bytes(SNAP)
    target = device.alloc(len(PAYLOAD))
    with open(path, "r+b") as f:
        mm = mmap.mmap(f.fileno(), 0)
        pinned = vesk.PinnedMmap(mm)

        class ClosingMapping:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                if i:
                    raise IndexError(i)
                pinned.close()
                mm.close()
                return ("metadata", 5, target, len(PAYLOAD))

        with pytest.raises(ValueError, match="vesk.PinnedMmap is closed"):
            vesk.restore_from_pinned_mmap(pinned, ClosingMapping())
