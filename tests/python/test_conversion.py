"""Argument conversion: accepted shapes, error classes and exact texts."""

import array
import os

import pytest

import vesk
from helpers import build_snapshot, pattern

REGION = pattern(1000, 1)
SNAP = build_snapshot([("weights", 0, REGION)])

BYTES_RESTORES = [
    vesk.restore_from_bytes_pipelined,
    vesk.restore_from_bytes_auto,
    vesk.restore_from_bytes_pipelined_zerocopy,
]


@pytest.fixture
def target(device):
    return device.alloc(len(REGION))


def expect(exc_type, text, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == text
    return info.value


@pytest.mark.parametrize("fn", BYTES_RESTORES)
def test_sequence_argument_rejections(fn, target):
    err = expect(TypeError, "argument 'mapping': Can't extract `str` to `Vec`", fn, SNAP, "weights")
    assert type(err.__cause__) is TypeError and str(err.__cause__) == "Can't extract `str` to `Vec`"
    expect(TypeError, "argument 'mapping': 'int' object cannot be converted to 'Sequence'", fn, SNAP, 5)
    expect(TypeError, "argument 'mapping': 'dict' object cannot be converted to 'Sequence'", fn, SNAP, {})
    expect(TypeError, "argument 'mapping': 'list' object cannot be converted to 'PyTuple'",
           fn, SNAP, [["weights", 0, target, len(REGION)]])
    expect(ValueError, "expected tuple of length 4, but got tuple of length 3", fn, SNAP, [("weights", 0, target)])
    expect(TypeError, "argument 'mapping': 'bytes' object cannot be converted to 'PyString'",
           fn, SNAP, [(b"weights", 0, target, len(REGION))])


def test_tuples_and_sequences_of_any_kind_are_accepted(device, target):
    from collections import namedtuple

    Region = namedtuple("Region", "kind logical_id ptr size")
    for mapping in ([Region("weights", 0, target, len(REGION))], (("weights", 0, target, len(REGION)),)):
        assert vesk.restore_from_bytes_auto(SNAP, mapping) == {"regions_restored": 1, "bytes_copied": len(REGION)}
    assert device.download(target, len(REGION)) == REGION


def test_integer_conversions(target):
    fn = vesk.restore_from_bytes_auto
    size = len(REGION)
    msg = "out of range integral type conversion attempted"
    expect(OverflowError, msg, fn, SNAP, [("weights", 2**32, target, size)])
    expect(OverflowError, msg, fn, SNAP, [("weights", -1, target, size)])
    with pytest.raises(OverflowError):
        fn(SNAP, [("weights", 0, target, -1)])
    with pytest.raises(OverflowError):
        fn(SNAP, [("weights", 0, 2**64, size)])
    with pytest.raises(OverflowError):
        fn(SNAP, [("weights", 2**100, target, size)])
    err = expect(TypeError, "argument 'mapping': 'float' object cannot be interpreted as an integer",
                 fn, SNAP, [("weights", 0, float(target), size)])
    assert type(err.__cause__) is TypeError

    class Index:
        def __init__(self, v):
            self.v = v

        def __index__(self):
            return self.v

    # Objects with __index__ stand in for integers everywhere; the largest
    # logical id is accepted (and then unmapped).
    assert fn(SNAP, [("weights", Index(0), Index(target), Index(size))])["regions_restored"] == 1
    with pytest.raises(RuntimeError, match="no device mapping for region: kind=Weights, logical_id=0"):
        fn(SNAP, [("weights", 4294967295, target, size)])


def test_unknown_kinds_are_value_errors_with_the_text_quoted(target):
    expected = 'unknown region kind "Weights": expected one of "weights", "kv_live_block", "metadata"'
    expect(ValueError, expected, vesk.restore_from_bytes_auto, SNAP, [("Weights", 0, target, len(REGION))])
    for kind, shown in [(" weights", '" weights"'), ("", '""'), ('a"b\\c', r'"a\"b\\c"'),
                        ("t\tr\rn\n", r'"t\tr\rn\n"'), ("\x01\u200b", r'"\u{1}\u{200b}"'), ("é€", '"é€"')]:
        err = expect(ValueError,
                     f'unknown region kind {shown}: expected one of "weights", "kv_live_block", "metadata"',
                     vesk.freeze_to_file_pipelined, "/nonexistent/x", [(kind, 0, target, 1)])
        assert err.__cause__ is None


def test_shape_errors_anywhere_come_before_kind_errors(target):
    # The whole sequence is converted before any kind is examined.
    mapping = [("nope", 0, target, 1), ("weights", 0, target)]
    expect(ValueError, "expected tuple of length 4, but got tuple of length 3",
           vesk.restore_from_bytes_auto, SNAP, mapping)
    mapping = [("nope", 0, target, 1), ("weights", 0, target, -1)]
    with pytest.raises(OverflowError):
        vesk.restore_from_bytes_auto(SNAP, mapping)
    # Within the kind stage the first offending tuple wins.
    expect(ValueError, 'unknown region kind "first": expected one of "weights", "kv_live_block", "metadata"',
           vesk.restore_from_bytes_auto, SNAP, [("first", 0, target, 1), ("second", 0, target, 1)])


def test_text_arguments(tmp_path, target):
    expect(TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'",
           vesk.restore_from_file_pipelined, b"/tmp/x", [])
    expect(TypeError, "argument 'path': 'PosixPath' object cannot be converted to 'PyString'",
           vesk.freeze_to_file_pipelined, tmp_path / "x", [])
    expect(TypeError, "argument 'vllm_commit': 'bytes' object cannot be converted to 'PyString'",
           vesk.freeze_to_file_pipelined, str(tmp_path / "x"), [], b"a" * 40)
    with pytest.raises(UnicodeEncodeError):
        vesk.freeze_to_file_pipelined("bad\udcff", [])
    # The system call would see only the part before the NUL.
    for fn in (vesk.freeze_to_file_pipelined, vesk.restore_from_file_pipelined):
        expect(ValueError, "path contains an embedded null byte", fn, str(tmp_path / "x\0y"), [])
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize("commit,length", [("a" * 39, 39), ("a" * 41, 41), ("é" * 40, 80), ("", 0)])
def test_commit_lengths_are_counted_in_utf8_bytes(tmp_path, commit, length):
    path = str(tmp_path / "snap")
    expect(ValueError, f"vllm_commit must be exactly 40 bytes, got {length}",
           vesk.freeze_to_file_pipelined, path, [], commit)
    assert not os.path.exists(path)


def test_unknown_kind_is_reported_before_bad_commit(tmp_path):
    expect(ValueError, 'unknown region kind "x": expected one of "weights", "kv_live_block", "metadata"',
           vesk.freeze_to_file_pipelined, str(tmp_path / "s"), [("x", 0, 0, 0)], "short")


def test_buffer_arguments(target):
    fn = vesk.restore_from_bytes_pipelined_zerocopy
    mapping = [("weights", 0, target, len(REGION))]
    err = expect(TypeError, "argument 'data': a bytes-like object is required, not 'str'", fn, "text", mapping)
    assert isinstance(err.__cause__, TypeError)
    expect(TypeError, "argument 'data': buffer contents are not compatible with u8",
           fn, memoryview(SNAP).cast("b"), mapping)
    expect(TypeError, "argument 'data': buffer contents are not compatible with u8",
           fn, array.array("I", [0] * 2048), mapping)
    # A strided view would be read as if it were contiguous: refused.
    with pytest.raises(TypeError, match="argument 'data': buffer is not C-contiguous"):
        fn(memoryview(SNAP + SNAP)[::2], mapping)
    # Byte and char formats are accepted, read-only or not.
    for data in (SNAP, bytearray(SNAP), memoryview(SNAP), memoryview(SNAP).cast("c"), array.array("B", SNAP)):
        assert fn(data, mapping) == {"regions_restored": 1, "bytes_copied": len(REGION)}


def test_conversion_follows_signature_order(target):
    # data is converted before mapping, mapping before chunk_size_mb.
    with pytest.raises(TypeError, match="argument 'data'"):
        vesk.restore_from_bytes_pipelined(1, "bad", -1)
    with pytest.raises(TypeError, match="argument 'mapping'"):
        vesk.restore_from_bytes_pipelined(SNAP, "bad", -1)
    with pytest.raises(OverflowError):
        vesk.restore_from_bytes_pipelined(SNAP, [("bad kind", 0, 0, 0)], -1)
    with pytest.raises(TypeError, match="argument 'direct_io': 'int' object cannot be converted to 'PyBool'"):
        vesk.restore_from_file_pipelined("/nonexistent", [("bad kind", 0, 0, 0)], 64, 1)


def test_chunk_size_conversion(tmp_path, target):
    path = tmp_path / "snap"
    path.write_bytes(SNAP)
    mapping = [("weights", 0, target, len(REGION))]
    with pytest.raises(OverflowError):
        vesk.restore_from_file_pipelined(str(path), mapping, -1)
    # Beyond 2^44 MiB the byte count would not fit 64 bits: refused rather
    # than wrapped to some other chunk size.
    with pytest.raises(OverflowError, match="chunk_size_mb is too large"):
        vesk.restore_from_bytes_pipelined(SNAP, mapping, 2**44)
    expect(RuntimeError,
           "vesk runtime error: invalid restore config: chunk_size must be a positive multiple of 4096, got 0",
           vesk.restore_from_file_pipelined, str(path), mapping, 0)
    # The largest accepted count reaches the pipeline unchanged.
    expect(RuntimeError, "vesk runtime error: backend error during restore: backend allocation failed: "
           f"requested {(2**44 - 1) << 20} bytes", vesk.restore_from_file_pipelined, str(path), mapping, 2**44 - 1)


def test_argument_binding(tmp_path, target):
    mapping = [("weights", 0, target, len(REGION))]
    path = tmp_path / "snap"
    path.write_bytes(SNAP)
    expected = {"regions_restored": 1, "bytes_copied": len(REGION)}
    assert vesk.restore_from_file_pipelined(mapping=mapping, path=str(path), direct_io=False, chunk_size_mb=1) == expected
    assert vesk.restore_from_bytes_auto(mapping=mapping, data=SNAP) == expected
    assert vesk.restore_from_bytes_pipelined_zerocopy(SNAP, mapping=mapping) == expected
    with pytest.raises(TypeError, match="missing required argument 'mapping'"):
        vesk.restore_from_bytes_auto(SNAP)
    with pytest.raises(TypeError, match="'bogus' is an invalid keyword argument"):
        vesk.restore_from_bytes_auto(SNAP, mapping, bogus=1)
    with pytest.raises(TypeError, match="at most 3 arguments"):
        vesk.restore_from_bytes_auto(SNAP, mapping, 64, 1)
