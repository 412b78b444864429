"""The module's reader behind the named API, the loaders and the command line:
crafted manifests refused before any copy, one region read alone, a partial
restore, loads to the CPU, and errors that say what they are."""

from __future__ import annotations

import argparse
import json
import os
import sys

import pytest

from vesk import _cli, named
from helpers import build_snapshot
from test_named import DeviceArray, fake_torch

OWN = named.MANIFEST_LOGICAL_ID


def doc(*entries: dict, **extra: object) -> bytes:
    body = {"format": "vesk-manifest", "version": 1, "regions": list(entries), **extra}
    return json.dumps(body).encode()


def entry(name: str, logical_id: int, shape: list[int], nbytes: int, kind: str = "weights",
          dtype: str = "uint8") -> dict:
    return {"name": name, "kind": kind, "logical_id": logical_id, "dtype": dtype, "shape": shape, "nbytes": nbytes}


W0 = ("weights", 0, bytes(range(16)))
CRAFTED = {
    "own key": ([W0], doc(entry("w", 0, [16], 16), entry("m", OWN, [1], 1, kind="metadata")),
                "ManifestTableMismatch", "claims the manifest's own region"),
    "key twice": ([W0], doc(entry("a", 0, [16], 16), entry("b", 0, [16], 16)),
                  "ManifestTableMismatch", "the region is named twice"),
    "name twice": ([W0, ("weights", 1, bytes(16))], doc(entry("a", 0, [16], 16), entry("a", 1, [16], 16)),
                   "ManifestTableMismatch", "the name appears twice"),
    "key not in table": ([W0], doc(entry("w", 0, [16], 16), entry("x", 5, [16], 16)),
                         "ManifestTableMismatch", "logical id 5) is not in the table"),
    "region not named": ([W0, ("weights", 1, bytes(4))], doc(entry("w", 0, [16], 16)),
                         "ManifestTableMismatch", "Weights 1 that the manifest does not name"),
    "size not the table's": ([W0], doc(entry("w", 0, [32], 32)), "ManifestTableMismatch", "the table holds 16"),
    # 32 GiB of float32 claimed by 16 bytes: refused before any allocation.
    "shape claims more": ([W0], doc(entry("w", 0, [1 << 33], 16, dtype="float32")),
                          "ManifestTableMismatch", "do not make 16 bytes"),
    "shape overflows": ([W0], doc(entry("w", 0, [1 << 40, 1 << 40], 16)), "ManifestTableMismatch",
                        "do not make 16 bytes"),
    "deep nesting": ([W0], doc(entry("w", 0, [16], 16)).replace(b'"regions"', b'"x": ' + b"[" * 100000 + b"]" * 100000
                                                                + b', "regions"'),
                     "MalformedManifest", "nested too deeply"),
    "not json": ([W0], b"{\"format\": \"vesk-manifest\", ", "MalformedManifest", "malformed manifest: at byte"),
    "newer version": ([W0], doc(entry("w", 0, [16], 16)).replace(b'"version": 1', b'"version": 9'),
                      "MalformedManifest", "manifest version 9 is not supported"),
}


def crafted(regions: list, manifest: bytes) -> bytes:
    return build_snapshot(regions + [("metadata", OWN, manifest)])


@pytest.mark.parametrize("case", CRAFTED, ids=list(CRAFTED))
def test_crafted_manifests_are_one_error_naming_the_source(tmp_path, case):
    regions, manifest, variant, text = CRAFTED[case]
    data = crafted(regions, manifest)
    path = tmp_path / "crafted.vesk"
    path.write_bytes(data)
    for source, label in ((data, "snapshot in memory"), (str(path), str(path))):
        with pytest.raises(RuntimeError) as e:
            named.read_manifest(source)
        assert e.value.vesk_error == variant and e.value.io_kind is None
        assert str(e.value).startswith(f"vesk runtime error: {label}: ") and text in str(e.value)


def test_a_manifest_larger_than_its_table_can_need_is_refused_unread(tmp_path):
    # A sparse file: a 1 GiB manifest region costs no disk and must cost no memory.
    path = tmp_path / "sparse.vesk"
    head = build_snapshot([W0, ("metadata", OWN, b"")], checksums=False)
    table_entry = 4096 + 32
    with open(path, "wb") as f:
        f.write(head)
        f.seek(table_entry + 8)
        f.write((1 << 30).to_bytes(8, "little"))
        f.truncate(len(head) + (1 << 30))
    with pytest.raises(RuntimeError, match="more than a manifest of this table can need") as e:
        named.read_manifest(path)
    assert e.value.vesk_error == "ManifestTooLarge"


def test_a_refused_manifest_copies_nothing(device):
    dest = DeviceArray(device, (16,), "|u1", bytes(16))
    regions, manifest, _, _ = CRAFTED["own key"]
    with pytest.raises(RuntimeError, match="own region"):
        named.restore(crafted(regions, manifest), weights={"w": dest})
    assert dest.read() == bytes(16)


def frozen(tmp_path, device, **kwargs):
    path = tmp_path / "named.vesk"
    arrays = {"a": DeviceArray(device, (2, 4), "<f2", bytes(range(16))),
              "b": DeviceArray(device, (4,), "<f4", bytes(range(16, 32)))}
    named.freeze(path, weights=arrays, **kwargs)
    return path, arrays


def test_open_looks_inside_and_reads_one_region(tmp_path, device):
    path, arrays = frozen(tmp_path, device, vllm_commit="c" * 40, annotations={"model": "tiny", "step": "7"})
    for source in (path, path.read_bytes()):
        with named.open(source) as snap:
            assert snap.names() == ["a", "b"] and snap.names("metadata") == []
            assert snap.annotations == {"model": "tiny", "step": "7"} and snap.vllm_commit == "c" * 40
            assert [(e.name, e.dtype, e.shape, e.nbytes) for e in snap.entries] == [
                ("a", "float16", (2, 4), 16), ("b", "float32", (4,), 16)]
            assert snap.read("b") == bytes(range(16, 32))
            with pytest.raises(KeyError, match="'c' is not in the snapshot"):
                snap.read("c")
    # Damage to one region fails only its read; without annotations the
    # manifest stays version 1, as older readers expect.
    data = bytearray(path.read_bytes())
    data[4096 + 3 * 32] ^= 1  # the first payload byte: region "a"
    with named.open(bytes(data)) as snap:
        assert snap.read("b") == bytes(range(16, 32))
        with pytest.raises(RuntimeError, match="region checksum mismatch") as e:
            snap.read("a")
        assert e.value.vesk_error == "ChecksumMismatch"
    plain, _ = frozen(tmp_path, device)
    assert json.loads(named.open(plain)._manifest.raw)["version"] == 1
    assert named.open(plain).annotations == {}
    with pytest.raises(TypeError, match="annotations must map str to str"):
        frozen(tmp_path, device, annotations={"n": 1})


def test_partial_restore_copies_only_the_arrays_given(tmp_path, device):
    path, arrays = frozen(tmp_path, device)
    dest = DeviceArray(device, (4,), "<f4", bytes(16))
    assert named.restore(path, weights={"b": dest}, partial=True) == {"regions_restored": 1, "bytes_copied": 16}
    assert dest.read() == bytes(range(16, 32))
    with pytest.raises(named.ManifestMismatch, match="unexpected: weights 'zz'"):
        named.restore(path, weights={"zz": dest}, partial=True)
    with pytest.raises(named.ManifestMismatch, match="missing: weights 'a'"):
        named.restore(path, weights={"b": dest})


class CpuTensor:
    def __init__(self, data: bytes, dtype, shape=None):
        self.data, self.dtype, self.shape = data, dtype, shape

    def view(self, dtype):
        return CpuTensor(self.data, dtype)

    def reshape(self, shape):
        return CpuTensor(self.data, self.dtype, tuple(shape))


def test_torch_load_to_the_cpu_and_by_name(monkeypatch, tmp_path, device, runtime):
    import vesk.torch as vt

    torch = fake_torch(device)
    torch.uint8 = torch.dtype("uint8", 1)
    torch.frombuffer = lambda buf, dtype: CpuTensor(bytes(buf), dtype)
    monkeypatch.setitem(sys.modules, "torch", torch)
    state = {"x": torch.Tensor((2, 2), torch.bfloat16, data=bytes(range(8))),
             "y": torch.Tensor((2,), torch.float32, data=bytes(range(8, 16)))}
    path = tmp_path / "state.vesk"
    vt.save(path, state, metadata={"origin": "test"})
    # The one-byte dtypes of serving (float8 weights, quantized ints, masks).
    small = {}
    for name in ("float8_e4m3fn", "float8_e5m2", "int8", "uint8", "bool"):
        setattr(torch, name, torch.dtype(name, 1))
        small[name] = torch.Tensor((3,), getattr(torch, name), data=bytes([1, 0, 2]))
    vt.save(tmp_path / "small.vesk", small)
    # The CPU load needs no device: the runtime is never asked.
    device_calls = ("cudaMalloc", "cudaMemcpy", "cudaMemcpyAsync", "cudaDeviceSynchronize", "cudaStreamCreate")
    before = [runtime.calls(c) for c in device_calls]
    cpu = vt.load(path, device="cpu")
    assert {n: (t.dtype.name, t.shape, t.data) for n, t in cpu.items()} == {
        "x": ("bfloat16", (2, 2), bytes(range(8))), "y": ("float32", (2,), bytes(range(8, 16)))}
    assert list(vt.load(path, device="cpu", names=["y"])) == ["y"]
    with pytest.raises(KeyError, match="not in the snapshot: 'nope'"):
        vt.load(path, device="cpu", names=["nope"])
    assert named.open(path).annotations == {"origin": "test"}
    back = vt.load(tmp_path / "small.vesk", device="cpu")
    assert {n: (t.dtype.name, t.data) for n, t in back.items()} == {n: (n, bytes([1, 0, 2])) for n in small}
    assert [runtime.calls(c) for c in device_calls] == before
    some = vt.load(path, device="cuda:0", names=["x"])
    assert list(some) == ["x"] and some["x"].read() == bytes(range(8))


def test_errors_carry_their_variant_and_io_kind(tmp_path, device):
    import vesk

    # A table entry of an unknown kind: the same error from every source.
    data = bytearray(crafted([W0], doc(entry("w", 0, [16], 16))))
    data[4096:4100] = (7).to_bytes(4, "little")
    (tmp_path / "kind7.vesk").write_bytes(data)
    for source in (bytes(data), str(tmp_path / "kind7.vesk")):
        with pytest.raises(RuntimeError) as e:
            named.read_manifest(source)
        assert str(e.value) == ("vesk runtime error: snapshot parse failed: region table parse failed: unknown "
                                "region kind discriminant: 7") and e.value.vesk_error == "UnknownKind"
    # A buffer too short for its header or its table: the reader words it as the restores from memory do.
    for short in (b"VESK", bytes(data[:4100])):
        texts = set()
        for call in (named.read_manifest, lambda b: vesk.restore_from_bytes_auto(b, [])):
            with pytest.raises(RuntimeError) as e:
                call(short)
            texts.add(str(e.value))
        assert len(texts) == 1, texts

    with pytest.raises(RuntimeError) as e:
        vesk.restore_from_file_pipelined(str(tmp_path / "missing.vesk"), [])
    assert (e.value.vesk_error, e.value.io_kind) == ("Io", "NotFound")
    with pytest.raises(RuntimeError) as e:
        vesk.restore_from_bytes_auto(build_snapshot([W0]), [])
    assert (e.value.vesk_error, e.value.io_kind) == ("UnmappedRegion", None)
    with pytest.raises(ValueError) as e:
        vesk.freeze_to_file_pipelined(str(tmp_path / "x.vesk"), [("Weights", 0, 0, 0)])
    assert e.value.vesk_error == "UnknownRegionKind"


@pytest.mark.standin
def test_a_failed_device_call_leaves_no_error_behind(tmp_path, device, standin):
    array = DeviceArray(device, (4,), "|u1", bytes(4))
    standin.fail("cudaMalloc", 1, 2)
    with pytest.raises(RuntimeError) as e:
        named.freeze(tmp_path / "x.vesk", weights={"w": array})
    assert str(e.value) == "vesk runtime error: cuda runtime error during cudaMalloc: CudaStatus(2)"
    assert e.value.__notes__ == ["CudaStatus(2) is cudaErrorMemoryAllocation: out of memory: device or page-locked "
                                 "host memory could not be allocated"]
    assert e.value.vesk_error == "Cuda" and standin.last_error_left() == 0


def cli_args(path, as_json=False):
    return argparse.Namespace(file=str(path), json=as_json, all=False)


def test_verify_of_a_file_that_shrinks_is_an_error_not_a_crash(tmp_path, device):
    import vesk

    path = tmp_path / "big.vesk"
    piece = bytes(range(256)) * (160 << 12)  # 160 MiB over two regions: more than one read window
    with open(path, "wb") as f:
        f.write(build_snapshot([("weights", 0, b"x"), ("weights", 1, b"y")], checksums=False)[:4096 + 64])
        f.write(piece)
    crc = vesk.vesk._crc32c(piece[: 80 << 20])
    with open(path, "r+b") as f:
        for i in range(2):
            f.seek(4096 + 32 * i + 8)
            f.write((80 << 20).to_bytes(8, "little") + (4096 + 64 + i * (80 << 20)).to_bytes(8, "little")
                    + crc.to_bytes(4, "little"))
    with _cli.Layout(str(path)) as info:
        # Cut short after the first read: the next one fails, as an error.
        with pytest.raises(RuntimeError, match="UnexpectedEof") as e:
            info.source.verify(lambda n: os.truncate(path, 4200))
        assert _cli.reader_error(e.value, info.file_size).kind == "unreadable"
    # Cut short before the check starts: refused before anything is read.
    with _cli.Layout(str(path)) as info, pytest.raises(_cli.CliError, match="region payload out of bounds") as e:
        _cli.check_layout(cli_args(path), info)
    assert e.value.kind == "malformed"


def test_an_unpublished_temporary_file_is_called_one(tmp_path, device, capsys):
    path, _ = frozen(tmp_path, device, annotations={"note\x1b[2J": "a\nb"})
    temp = tmp_path / "named.vesk.vesk-incomplete"
    os.rename(path, temp)
    with _cli.Layout(str(temp)) as info:
        assert _cli.check_layout(cli_args(temp), info) == 0
    assert "note: this is an unpublished temporary file" in capsys.readouterr().out
    with _cli.Layout(str(temp)) as info:
        _cli.check_layout(cli_args(temp, as_json=True), info)
    assert json.loads(capsys.readouterr().out)["unpublished"] is True
    # inspect says it too, and shows annotations escaped.
    with _cli.Layout(str(temp)) as info:
        assert _cli.print_inspect(cli_args(temp), info) == 0
    out = capsys.readouterr().out
    assert "note            this is an unpublished temporary file" in out and "\x1b" not in out
    assert "annotation      note\\x1b[2J = a\\nb" in out


def test_names_round_trip_and_older_readers_can_parse_the_manifest(tmp_path, device):
    names = ["plain", 'quote"back\\slash', "tab\tnew\nline\x01", "é", "😀 emoji", ""]
    arrays = {name: DeviceArray(device, (4,), "|u1", bytes([i] * 4)) for i, name in enumerate(names)}
    path = tmp_path / "names.vesk"
    named.freeze(path, weights=arrays, annotations={"ключ": "значение\n"})
    with named.open(path) as snap:
        assert snap.names() == sorted(names) and snap.annotations == {"ключ": "значение\n"}
        raw = snap._manifest.raw
        assert [snap.read(n)[0] for n in names] == list(range(len(names)))
    raw.decode("ascii")  # every byte outside printable ASCII escaped, as older readers need
    doc = json.loads(raw)
    assert doc["version"] == 2 and [r["name"] for r in doc["regions"]] == sorted(names)
