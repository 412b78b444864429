"""Freezing device regions and restoring them by every path, with real data."""

import mmap
import os
import struct

import pytest

import vesk
from helpers import build_snapshot, pattern

MiB = 1 << 20


@pytest.fixture
def regions(device):
    """Three regions of different kinds and awkward sizes (the payload
    offsets are not 4096-aligned), one of them empty."""
    layout = [("weights", 7, pattern(3 * MiB + 123, 1)), ("kv_live_block", 0, pattern(5000, 2)),
            ("metadata", 4294967295, b""), ("weights", 8, pattern(1, 3))]
    return [(kind, lid, device.region(data), data) for kind, lid, data in layout]


def as_requests(regions):
    return [(kind, lid, ptr, len(data)) for kind, lid, ptr, data in regions]


def fresh_targets(device, regions):
    return [(kind, lid, device.alloc(len(data)), data) for kind, lid, _, data in regions]


def assert_restored(device, targets):
    for kind, lid, ptr, data in targets:
        assert device.download(ptr, len(data)) == data, (kind, lid)


@pytest.fixture
def frozen(tmp_path, regions):
    path = tmp_path / "model.vesk"
    stats = vesk.freeze_to_file_pipelined(str(path), as_requests(regions), "0123456789abcdef0123456789abcdef01234567")
    assert list(stats.items()) == [("regions_frozen", 4), ("bytes_copied", 3 * MiB + 123 + 5000 + 1)]
    return path


def test_freeze_writes_the_snapshot_layout(frozen, regions):
    data = frozen.read_bytes()
    assert data == build_snapshot([(k, lid, d) for k, lid, _, d in regions],
                                  commit=b"0123456789abcdef0123456789abcdef01234567")
    assert not os.path.exists(str(frozen) + ".vesk-incomplete")


def test_every_restore_path_round_trips(device, frozen, regions):
    snapshot = frozen.read_bytes()
    expected = {"regions_restored": 4, "bytes_copied": 3 * MiB + 123 + 5000 + 1}

    def run(restore):
        targets = fresh_targets(device, regions)
        result = restore(as_requests(targets))
        assert list(result.items()) == list(expected.items())
        assert_restored(device, targets)

    run(lambda m: vesk.restore_from_file_pipelined(str(frozen), m))
    run(lambda m: vesk.restore_from_file_pipelined(str(frozen), m, chunk_size_mb=1, direct_io=False))
    run(lambda m: vesk.restore_from_bytes_pipelined(snapshot, m, 1))
    run(lambda m: vesk.restore_from_bytes_auto(bytearray(snapshot), m))
    run(lambda m: vesk.restore_from_bytes_pipelined_zerocopy(memoryview(snapshot), m))
    with open(frozen, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        run(lambda m: vesk.restore_from_bytes_pipelined_zerocopy(mm, m))
        pinned = vesk.PinnedMmap(mm)
        run(lambda m: vesk.restore_from_pinned_mmap(pinned, m))
        run(lambda m: vesk.restore_from_pinned_mmap(mapping=m, pinned=pinned))
        del pinned


def test_commit_absent_or_none_writes_zeros(tmp_path, regions):
    a, b = tmp_path / "a", tmp_path / "b"
    vesk.freeze_to_file_pipelined(str(a), as_requests(regions))
    vesk.freeze_to_file_pipelined(str(b), as_requests(regions), None)
    assert a.read_bytes() == b.read_bytes()
    assert a.read_bytes()[24:64] == bytes(40)
    # 20 two-byte characters are 40 bytes of UTF-8 and stored as such.
    vesk.freeze_to_file_pipelined(str(a), [], "é" * 20)
    assert a.read_bytes()[24:64] == ("é" * 20).encode()


def test_empty_freeze_and_empty_restores(tmp_path):
    path = tmp_path / "empty"
    assert vesk.freeze_to_file_pipelined(str(path), []) == {"regions_frozen": 0, "bytes_copied": 0}
    data = path.read_bytes()
    assert len(data) == 4096 and data[:4] == b"VESK" and struct.unpack_from("<Q", data, 8) == (0,)
    zero = {"regions_restored": 0, "bytes_copied": 0}
    assert vesk.restore_from_file_pipelined(str(path), []) == zero
    for fn in (vesk.restore_from_bytes_pipelined, vesk.restore_from_bytes_auto,
               vesk.restore_from_bytes_pipelined_zerocopy):
        assert fn(data, []) == zero
    assert vesk.restore_from_pinned_mmap(vesk.PinnedMmap(data), []) == zero


def test_duplicate_keys_use_the_last_region(device):
    payload = pattern(4096 + 17, 5)
    snap = build_snapshot([("kv_live_block", 3, payload)])
    first, last = device.alloc(len(payload)), device.alloc(len(payload))
    device.fill(first, 0xAA, len(payload))
    mapping = [("kv_live_block", 3, first, len(payload)), ("kv_live_block", 3, last, len(payload)),
               ("metadata", 99, first, 1)]  # unused entries are ignored
    assert vesk.restore_from_bytes_auto(snap, mapping)["regions_restored"] == 1
    assert device.download(last, len(payload)) == payload
    assert device.download(first, len(payload)) == b"\xaa" * len(payload)


def test_restore_failures_are_runtime_errors(tmp_path, device):
    payload = pattern(10000, 6)
    snap = build_snapshot([("weights", 1, payload), ("kv_live_block", 7, payload[:4096])])
    ptr = device.alloc(len(payload))
    small = device.alloc(8192)
    path = tmp_path / "s"
    path.write_bytes(snap)

    def all_paths(mapping, data=snap):
        yield lambda: vesk.restore_from_file_pipelined(str(path), mapping)
        yield lambda: vesk.restore_from_bytes_pipelined(data, mapping)
        yield lambda: vesk.restore_from_bytes_pipelined_zerocopy(data, mapping)
        yield lambda: vesk.restore_from_pinned_mmap(vesk.PinnedMmap(data), mapping)

    for call in all_paths([("weights", 1, ptr, len(payload))]):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == "vesk runtime error: no device mapping for region: kind=KvLiveBlock, logical_id=7"
    for call in all_paths([("weights", 1, ptr, len(payload)), ("kv_live_block", 7, small, 8192)]):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == ("vesk runtime error: device region size mismatch: kind=KvLiveBlock, logical_id=7, "
                                   "file_size=4096, device_size=8192")

    corrupt = bytearray(snap)
    corrupt[-1] ^= 0xFF
    path.write_bytes(corrupt)
    mapping = [("weights", 1, ptr, len(payload)), ("kv_live_block", 7, small, 4096)]
    for call in all_paths(mapping, bytes(corrupt)):
        with pytest.raises(RuntimeError, match=r"^vesk runtime error: region checksum mismatch: kind=KvLiveBlock, "
                                               r"logical_id=7, expected=0x[0-9a-f]{8}, actual=0x[0-9a-f]{8}$"):
            call()

    path.write_bytes(bytes(4096))
    for call in all_paths(mapping, bytes(4096)):
        with pytest.raises(RuntimeError, match=r"^vesk runtime error: snapshot parse failed: .*bad magic bytes"):
            call()
    with pytest.raises(RuntimeError, match="^vesk runtime error: snapshot parse failed: .*data too short for header: "
                                           "4095 bytes"):
        vesk.restore_from_bytes_auto(snap[:4095], mapping)


def test_freeze_failures_are_runtime_errors(tmp_path, device):
    ptr = device.region(pattern(100, 7))
    with pytest.raises(RuntimeError, match="^vesk runtime error: snapshot error during freeze: "):
        vesk.freeze_to_file_pipelined(str(tmp_path / "missing" / "x"), [("weights", 0, ptr, 100)])
    assert not list(tmp_path.iterdir())


@pytest.mark.standin
def test_auto_and_pipelined_agree_also_after_a_refused_registration(device, standin, capfd):
    payload = pattern(3 * MiB + 5, 8)
    snap = build_snapshot([("weights", 0, payload)])
    results = []
    for fn in (vesk.restore_from_bytes_auto, vesk.restore_from_bytes_pipelined):
        for refuse in (False, True):
            if refuse:
                standin.fail("cudaHostRegister", 1, 2)
            target = device.alloc(len(payload))
            results.append(fn(snap, [("weights", 0, target, len(payload))], 1))
            assert device.download(target, len(payload)) == payload
    assert all(r == {"regions_restored": 1, "bytes_copied": len(payload)} for r in results)
    warning = ("vesk: WARN restore_pipelined_from_bytes_auto: zero-copy host_register failed (cuda runtime error "
               f"during cudaHostRegister: CudaStatus(2)) for {len(snap)} bytes; falling back to staging-buffer "
               "restore (slower, but works)\n")
    assert capfd.readouterr().err == warning * 2


@pytest.mark.standin
def test_staging_fallback_rejects_chunk_size_zero(device, standin, capfd):
    payload = pattern(5000, 9)
    snap = build_snapshot([("weights", 0, payload)])
    standin.fail("cudaHostRegister", 1, 2)
    with pytest.raises(RuntimeError) as info:
        vesk.restore_from_bytes_auto(snap, [("weights", 0, device.alloc(5000), 5000)], 0)
    assert str(info.value) == ("vesk runtime error: invalid restore config: chunk_size must be a positive multiple "
                               "of 4096, got 0")
    assert "falling back" in capfd.readouterr().err


@pytest.mark.standin
def test_zero_copy_registration_failure(device, standin):
    payload = pattern(5000, 10)
    snap = build_snapshot([("weights", 0, payload)])
    standin.fail("cudaHostRegister", 1, 719)
    with pytest.raises(RuntimeError) as info:
        vesk.restore_from_bytes_pipelined_zerocopy(snap, [("weights", 0, device.alloc(5000), 5000)])
    assert str(info.value) == ("vesk runtime error: backend error during restore: cuda runtime error during "
                               "cudaHostRegister: CudaStatus(719)")


@pytest.mark.standin
def test_device_failures_surface_with_their_call(tmp_path, device, standin):
    payload = pattern(5000, 11)
    ptr = device.region(payload)
    standin.fail("cudaStreamCreate", 1, 3)
    with pytest.raises(RuntimeError, match=r"^vesk runtime error: backend error during freeze: cuda runtime error "
                                           r"during cudaStreamCreate: CudaStatus\(3\)\nCudaStatus\(3\) is "):
        vesk.freeze_to_file_pipelined(str(tmp_path / "s"), [("weights", 0, ptr, 5000)])
    assert not list(tmp_path.iterdir())
    standin.lib.standin_reset()
    standin.lib.standin_set_delay_us(2000)  # copies still queued when the error is seen
    snap = build_snapshot([("weights", 0, payload), ("weights", 1, payload)])
    standin.fail("cudaMemcpyAsync", 2, 4)
    with pytest.raises(RuntimeError, match=r"cudaMemcpyAsync\(h2d raw\): CudaStatus\(4\)"):
        vesk.restore_from_bytes_pipelined_zerocopy(snap, [("weights", 0, device.alloc(5000), 5000),
                                                          ("weights", 1, device.alloc(5000), 5000)])
