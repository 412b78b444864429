"""What the real CUDA runtime insists on, through the stricter stand-in:
read-only registration of read-only pages, the caller's device and memory
that is not device memory, and no error left for the caller's thread."""

import ctypes
import mmap
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import vesk
from helpers import build_snapshot, pattern

pytestmark = pytest.mark.standin

PAYLOAD = pattern(300_000, 3)
SNAP = build_snapshot([("weights", 1, PAYLOAD[:1000]), ("kv_live_block", 7, PAYLOAD)])
READ_ONLY = 0x08


@pytest.fixture
def shm_snapshot():
    """The snapshot in /dev/shm (or a temporary folder), mapped read-only."""
    folder = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.NamedTemporaryFile(dir=folder, prefix="vesk-ro-") as f:
        f.write(SNAP)
        f.flush()
        with open(f.name, "rb") as ro:
            mm = mmap.mmap(ro.fileno(), 0, access=mmap.ACCESS_READ)
        yield mm
        mm.close()


def mapping(device, on=None):
    a, b = device.alloc(1000, on), device.alloc(len(PAYLOAD), on)
    return [("weights", 1, a, 1000), ("kv_live_block", 7, b, len(PAYLOAD))], (a, b)


def restored(device, ptrs):
    return device.download(ptrs[0], 1000) == PAYLOAD[:1000] and device.download(ptrs[1], len(PAYLOAD)) == PAYLOAD


def test_read_only_mapping_is_registered_read_only(device, standin, shm_snapshot, capfd):
    restores = {
        "zero-copy": lambda m: vesk.restore_from_bytes_pipelined_zerocopy(shm_snapshot, m),
        "auto": lambda m: vesk.restore_from_bytes_auto(shm_snapshot, m),
    }
    for name, restore in restores.items():
        m, ptrs = mapping(device)
        standin.lib.standin_reset()
        restore(m)
        assert restored(device, ptrs), name
        assert standin.calls("cudaHostRegister") == 1, name
        assert standin.lib.standin_last_register_flags() == READ_ONLY, name
    pinned = vesk.PinnedMmap(shm_snapshot)
    m, ptrs = mapping(device)
    vesk.restore_from_pinned_mmap(pinned, m)
    assert restored(device, ptrs)
    assert standin.lib.standin_last_register_flags() == READ_ONLY
    del pinned
    assert capfd.readouterr().err == "", "no fall-back, no warning"


def test_writable_memory_keeps_the_default_flags(device, standin):
    # A bytes object's buffer is read-only, but its memory is writable.
    for data in (SNAP, bytearray(SNAP)):
        m, ptrs = mapping(device)
        standin.lib.standin_reset()
        vesk.restore_from_bytes_pipelined_zerocopy(data, m)
        assert restored(device, ptrs)
        assert standin.lib.standin_last_register_flags() == 0, type(data).__name__


def test_device_without_read_only_registration(device, standin, shm_snapshot, capfd):
    standin.lib.standin_set_readonly_register_supported(0)
    m, ptrs = mapping(device)
    with pytest.raises(RuntimeError, match=r"cudaHostRegister: CudaStatus\(801\)\nCudaStatus\(801\) is "):
        vesk.restore_from_bytes_pipelined_zerocopy(shm_snapshot, m)
    assert standin.last_error_left() == 0
    vesk.restore_from_bytes_auto(shm_snapshot, m)  # staged instead, with the usual warning
    assert restored(device, ptrs)
    assert "CudaStatus(801)" in capfd.readouterr().err
    assert standin.last_error_left() == 0


def test_regions_on_another_device_run_there(device, standin, tmp_path):
    """Device 0 is current; the regions are on device 1. Streams must be
    device 1's (a copy across devices counts as a hazard, checked after
    every test) and device 0 must be current again afterwards."""
    standin.lib.standin_set_delay_us(0)
    path = tmp_path / "snap.vesk"
    path.write_bytes(SNAP)
    m, ptrs = mapping(device, on=1)
    vesk.restore_from_file_pipelined(str(path), m)
    assert restored(device, ptrs)
    vesk.restore_from_bytes_pipelined(SNAP, m)
    pinned = vesk.PinnedMmap(SNAP)
    vesk.restore_from_pinned_mmap(pinned, m)
    del pinned
    out = tmp_path / "again.vesk"
    vesk.freeze_to_file_pipelined(str(out), m)
    assert out.read_bytes() == SNAP
    assert standin.lib.standin_hazards() == 0
    assert standin.current_device() == 0
    # A caller on device 1 keeps device 1 after a call for device 0.
    m0, _ = mapping(device, on=0)
    assert standin.lib.cudaSetDevice(1) == 0
    try:
        vesk.restore_from_bytes_pipelined(SNAP, m0)
        assert standin.current_device() == 1
    finally:
        standin.lib.cudaSetDevice(0)
    assert standin.lib.standin_hazards() == 0


def test_memory_that_is_not_device_memory_is_refused_before_anything(device, standin, tmp_path):
    host = ctypes.create_string_buffer(len(PAYLOAD))
    pinned_host = ctypes.c_void_p()
    assert standin.lib.cudaMallocHost(ctypes.byref(pinned_host), ctypes.c_size_t(1000)) == 0
    good = device.alloc(1000)
    missing = str(tmp_path / "absent.vesk")  # never opened: the check comes first
    try:
        cases = [
            ([("weights", 1, good, 1000), ("kv_live_block", 7, ctypes.addressof(host), len(PAYLOAD))],
             "region kv_live_block/7 (position 1) is not device memory: host memory (not known to the CUDA runtime)"),
            ([("weights", 1, pinned_host.value, 1000), ("kv_live_block", 7, 0, 0)],
             "region weights/1 (position 0) is not device memory: host memory (page-locked)"),
            ([("weights", 1, good, 1000), ("kv_live_block", 7, device.alloc(len(PAYLOAD), on=1), len(PAYLOAD))],
             "regions are on more than one device: weights/1 (position 0) on device 0, "
             "kv_live_block/7 (position 1) on device 1"),
        ]
        for regions, text in cases:
            standin.lib.standin_reset()
            for call in (lambda: vesk.restore_from_file_pipelined(missing, regions),
                         lambda: vesk.freeze_to_file_pipelined(missing, regions),
                         lambda: vesk.restore_from_bytes_auto(SNAP, regions),
                         lambda: vesk.restore_from_bytes_pipelined_zerocopy(SNAP, regions)):
                with pytest.raises(RuntimeError) as err:
                    call()
                assert str(err.value) == "vesk runtime error: " + text
            assert standin.calls("cudaStreamCreate") == 0 and standin.calls("cudaHostRegister") == 0
            assert not os.path.exists(missing + ".vesk-incomplete")
    finally:
        standin.lib.cudaFreeHost(pinned_host)


@pytest.mark.parametrize("name", ["freeze_to_file_pipelined", "restore_from_file_pipelined",
                                  "restore_from_bytes_pipelined", "restore_from_bytes_auto",
                                  "restore_from_bytes_pipelined_zerocopy", "restore_from_pinned_mmap"])
def test_docstrings_state_the_ordering_rule(name):
    doc = " ".join(getattr(vesk, name).__doc__.split())
    assert "must have finished (synchronized) all device work that" in doc
    assert "torch.cuda.synchronize()" in doc


def test_demo_binds_the_real_runtime_where_the_driver_is(tmp_path, runtime):
    """A driver (any library named libcuda.so.1) and a runtime folder: the
    demo binds that runtime instead of the build tree's stand-in, and says so."""
    repo = Path(__file__).resolve().parents[2]
    build = Path(vesk.__file__).resolve().parents[2]
    driver, rt_dir = tmp_path / "driver", tmp_path / "cuda"
    driver.mkdir()
    rt_dir.mkdir()
    shutil.copy(runtime.lib._name, driver / "libcuda.so.1")
    shutil.copy(runtime.lib._name, rt_dir / "libcudart.so.12")
    env = dict(os.environ, LD_LIBRARY_PATH=str(driver), VESK_CUDA_RUNTIME_DIR=str(rt_dir))
    out = subprocess.run([str(repo / "scripts" / "demo"), sys.executable, str(build), "--help"], env=env,
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert f"vesk demo: bound CUDA runtime: {rt_dir / 'libcudart.so.12'}" in out.stdout
    no_driver = subprocess.run([str(repo / "scripts" / "demo"), sys.executable, str(build), "--help"],
                               env=dict(os.environ, LD_LIBRARY_PATH=""), capture_output=True, text=True, timeout=120)
    assert "running on the stand-in runtime" in no_driver.stdout, no_driver.stderr


def test_calls_on_device_one_create_no_context_on_device_zero(device, standin, tmp_path):
    """Freezes and restores of device-1 regions, from the main thread and
    from fresh threads, leave device 0 without a context."""
    import threading

    standin.lib.standin_contexts_created.argtypes = [ctypes.c_int]
    standin.lib.standin_contexts_created.restype = ctypes.c_long
    m, ptrs = mapping(device, on=1)
    path = tmp_path / "one.vesk"
    path.write_bytes(SNAP)

    def calls():
        vesk.restore_from_file_pipelined(str(path), m)
        vesk.restore_from_bytes_pipelined(SNAP, m)
        vesk.freeze_to_file_pipelined(str(tmp_path / "again.vesk"), m)

    standin.lib.standin_reset()  # forgets the contexts the set-up made
    calls()
    for _ in range(2):
        t = threading.Thread(target=calls)
        t.start()
        t.join()
    assert restored(device, ptrs)
    assert standin.lib.standin_contexts_created(0) == 0
    assert standin.lib.standin_contexts_created(1) == 1


def test_cuda_statuses_carry_a_readable_note(device, standin):
    m, _ = mapping(device)
    for status, note in [(35, "CudaStatus(35) is cudaErrorInsufficientDriver: the NVIDIA driver is missing or "
                              "older than this CUDA runtime"), (12345, None)]:
        standin.lib.standin_reset()
        standin.fail("cudaStreamCreate", 1, status)
        with pytest.raises(RuntimeError) as e:
            vesk.restore_from_bytes_pipelined(SNAP, m)
        assert str(e.value).endswith(f"cudaStreamCreate: CudaStatus({status})")
        assert getattr(e.value, "__notes__", None) == ([note] if note else None)
