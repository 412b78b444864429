"""The command line: inspect, verify and bench, run as an operator would."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
import vesk
from vesk import named
from helpers import build_snapshot

PACKAGE_DIR = str(Path(vesk.__file__).resolve().parent.parent)


def run_cli(*args: str, timeout: float = 300) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=PACKAGE_DIR)
    return subprocess.run(
        [sys.executable, "-m", "vesk", *args], capture_output=True, text=True, env=env, timeout=timeout,
        # File names that are not UTF-8 come back as they went in.
        errors="surrogateescape",
    )


@pytest.fixture
def snapshot(tmp_path, device):
    """A frozen snapshot of three regions, one spanning several pages."""
    payloads = [bytes(range(100)), os.urandom(5000), os.urandom(70001)]
    kinds = ["weights", "kv_live_block", "metadata"]
    regions = [(k, 10 + i, device.region(p), len(p)) for i, (k, p) in enumerate(zip(kinds, payloads))]
    path = tmp_path / "model.vesk"
    vesk.freeze_to_file_pipelined(str(path), regions, "a" * 40)
    return path, payloads


def test_inspect_shows_header_and_table(snapshot):
    path, payloads = snapshot
    out = run_cli("inspect", str(path))
    assert out.returncode == 0, out.stderr
    text = out.stdout
    assert "format version  2" in text
    assert "vllm commit     " + "a" * 40 in text
    assert "regions         3" in text
    assert "table offset    4096" in text
    assert f"({sum(map(len, payloads))} bytes)" in text
    assert "matches the layout" in text
    assert "kv_live_block" in text and "metadata" in text
    assert f"0x{vesk.vesk._crc32c(payloads[2]):08x}" in text


def test_inspect_json_matches_the_file(snapshot):
    path, payloads = snapshot
    out = run_cli("inspect", "--json", str(path))
    assert out.returncode == 0, out.stderr
    info = json.loads(out.stdout)
    assert info["num_regions"] == 3 and info["region_table_offset"] == 4096
    assert info["file_size"] == path.stat().st_size == 4096 + 3 * 32 + sum(map(len, payloads))
    assert info["length_matches_layout"] is True
    offsets = [r["file_offset"] for r in info["regions"]]
    assert offsets == [4192, 4292, 9292]
    assert [r["kind"] for r in info["regions"]] == ["weights", "kv_live_block", "metadata"]
    assert [r["logical_id"] for r in info["regions"]] == [10, 11, 12]


def test_inspect_and_verify_take_a_file_name_that_is_not_utf8(snapshot):
    path, _ = snapshot
    odd = os.path.join(os.fsencode(path.parent), b"model-\xff.vesk")
    os.rename(os.fsencode(path), odd)
    name = os.fsdecode(odd)
    out = run_cli("inspect", name)
    assert out.returncode == 0, out.stderr
    assert "regions         3" in out.stdout
    out = run_cli("verify", name)
    assert out.returncode == 0, out.stdout + out.stderr
    assert "OK, 3 regions verified" in out.stdout
    # JSON names the file in valid Unicode: the odd byte escaped, no lone surrogate.
    for command in ("inspect", "verify"):
        out = run_cli(command, "--json", name)
        assert json.loads(out.stdout)["path"].endswith("model-\\xff.vesk"), out.stdout


def test_human_output_escapes_control_characters_in_names(tmp_path, device):
    """A crafted file or array name cannot send escape sequences to the
    terminal: every non-printable character is shown escaped."""
    from test_named import DeviceArray

    path = tmp_path / "snap\x1b]0;owned\x07.vesk"
    named.freeze(path, weights={"w\x1b[2J\r": DeviceArray(device, (4,), "<f4", bytes(16))})
    outputs = [run_cli("inspect", str(path)), run_cli("verify", str(path)),
               run_cli("inspect", str(path) + "\x1b[31m-missing")]
    for out in outputs:
        for text in (out.stdout, out.stderr):
            assert not any(c != "\n" and not c.isprintable() for c in text), repr(text)
    assert "snap\\x1b]0;owned\\x07.vesk" in outputs[0].stdout and "w\\x1b[2J\\r" in outputs[0].stdout
    assert "\\x1b[31m-missing" in outputs[2].stderr


def test_verify_accepts_an_intact_snapshot(snapshot):
    out = run_cli("verify", str(snapshot[0]))
    assert out.returncode == 0, out.stdout + out.stderr
    assert "OK, 3 regions verified" in out.stdout


def test_verify_names_the_region_with_a_flipped_byte(snapshot):
    path, _ = snapshot
    data = bytearray(path.read_bytes())
    data[4292 + 1234] ^= 0x01  # inside region 1 (kv_live_block, id 11)
    path.write_bytes(bytes(data))
    out = run_cli("verify", str(path))
    assert out.returncode == 1
    assert "MISMATCH region 1 (kind=kv_live_block, logical_id=11)" in out.stdout
    assert "region 0" not in out.stdout and "region 2" not in out.stdout


@pytest.mark.parametrize("command", ["verify", "inspect"])
def test_unreadable_or_foreign_files_exit_2_with_the_module_message(tmp_path, snapshot, command):
    path, _ = snapshot
    foreign = tmp_path / "foreign.bin"
    foreign.write_bytes(b"\0" * 8192)
    out = run_cli(command, str(foreign))
    assert out.returncode == 2
    assert 'bad magic bytes: expected b"VESK", found [0, 0, 0, 0]' in out.stderr
    out = run_cli(command, str(tmp_path / "missing.vesk"))
    assert out.returncode == 2 and "NotFound" in out.stderr
    # A table cut short is malformed for both tools.
    short = tmp_path / "short.vesk"
    short.write_bytes(path.read_bytes()[:4100])
    out = run_cli(command, str(short))
    assert out.returncode == 2
    assert "snapshot prelude is truncated: got 4100 bytes, need 4192" in out.stderr


def test_verify_refuses_a_payload_cut_short(snapshot, tmp_path):
    path, _ = snapshot
    cut = tmp_path / "cut.vesk"
    cut.write_bytes(path.read_bytes()[:5000])
    out = run_cli("verify", str(cut))
    assert out.returncode == 2
    assert "region payload out of bounds: file_size=5000, payload_end=9292" in out.stderr
    # inspect still reads the table, says the file is too short and fails.
    out = run_cli("inspect", str(cut))
    assert out.returncode == 1 and "TRUNCATED" in out.stdout and "the file is truncated" in out.stdout
    out = run_cli("inspect", "--json", str(cut))
    assert out.returncode == 1 and json.loads(out.stdout)["truncated"] is True


@pytest.mark.standin
def test_bench_runs_every_path_end_to_end(tmp_path, runtime):
    out = run_cli("bench", "--size", "64M", "--regions", "8", "--dir", str(tmp_path), "--json")
    assert out.returncode == 0, out.stderr
    assert "stand-in" in out.stderr  # says where the device memory came from
    result = json.loads(out.stdout)
    assert result["verified"] is True and result["size"] == 64 << 20
    for path in (
        "freeze",
        "restore_file",
        "restore_bytes_staging",
        "restore_bytes_zerocopy",
        "restore_bytes_auto",
        "restore_pinned_mmap",
    ):
        assert result["paths"][path]["gbps"] > 0, path
        assert result["paths"][path]["bytes_copied"] == 64 << 20, path
    # The staging figure really came from the staging path.
    assert result["paths"]["restore_bytes_staging"]["fallback_warnings"] == 1
    assert len(result["paths"]["restore_pinned_mmap"]["runs_seconds"]) == 3
    assert {"h2d_pinned_gbps", "memcpy_gbps", "disk"} <= result["limits"].keys()
    assert not list(tmp_path.iterdir())  # the snapshot and dd files are gone


def test_inspect_shows_names_dtypes_and_shapes_of_a_named_snapshot(tmp_path, device):
    from test_named import DeviceArray

    path = tmp_path / "named.vesk"
    named.freeze(path, weights={"embed": DeviceArray(device, (4, 8), "<f2", bytes(64)),
                                     "norm": DeviceArray(device, (8,), "<f4", bytes(32))})
    out = run_cli("inspect", str(path))
    assert out.returncode == 0, out.stderr
    assert "manifest        2 named regions" in out.stdout
    assert "vllm commit     (none)" in out.stdout
    rows = [line.split() for line in out.stdout.splitlines() if line.strip().startswith(("0 ", "1 ", "2 "))]
    assert rows[0][-4:] == ["float16", "[4,", "8]", "embed"]
    assert rows[1][-3:] == ["float32", "[8]", "norm"] and rows[2][-1] == "(manifest)"
    info = json.loads(run_cli("inspect", "--json", str(path)).stdout)
    assert info["manifest"] is True and info["vllm_commit"] is None
    assert [(r["name"], r["dtype"], r["shape"]) for r in info["regions"][:2]] == [
        ("embed", "float16", [4, 8]), ("norm", "float32", [8])]
    assert info["regions"][2]["manifest"] is True
    data = bytearray(path.read_bytes())
    data[-3] ^= 1
    path.write_bytes(bytes(data))
    out = run_cli("inspect", str(path))
    assert out.returncode == 0 and "manifest        UNUSABLE: region checksum mismatch: kind=Metadata" in out.stdout


@pytest.mark.parametrize("content", [b"", b"VESK", b"PK\3\4" + bytes(8000)], ids=["empty", "short", "magic"])
def test_a_file_that_is_no_snapshot_says_so_first(tmp_path, content):
    path = tmp_path / "other.bin"
    path.write_bytes(content)
    for command in ("inspect", "verify"):
        out = run_cli(command, str(path))
        assert out.returncode == 2 and out.stdout == ""
        assert out.stderr.startswith(f"vesk {command}: {path}: not a vesk snapshot: vesk runtime error: ")
        out = run_cli(command, "--json", str(path))
        assert out.returncode == 2
        assert json.loads(out.stdout)["error"]["kind"] == "not_a_snapshot"
    # A snapshot of another format version is a snapshot, just not readable here.
    newer = tmp_path / "newer.vesk"
    newer.write_bytes(b"VESK" + (3).to_bytes(4, "little") + bytes(8000))
    out = run_cli("inspect", "--json", str(newer))
    assert out.returncode == 2
    error = json.loads(out.stdout)["error"]
    assert error["kind"] == "malformed" and "unsupported snapshot version: found 3" in error["message"]
    # A FIFO is refused at once rather than waited on.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for command in ("inspect", "verify"):
        out = run_cli(command, str(fifo), timeout=30)
        assert out.returncode == 2 and "not a regular file or block device" in out.stderr


def test_verify_json_for_an_intact_and_a_damaged_snapshot(snapshot):
    path, _ = snapshot
    out = run_cli("verify", "--json", str(path))
    assert out.returncode == 0
    result = json.loads(out.stdout)
    assert result["ok"] is True and result["regions_checked"] == 3 and result["mismatches"] == []
    data = bytearray(path.read_bytes())
    data[9292] ^= 0x80
    path.write_bytes(bytes(data))
    out = run_cli("verify", "--json", str(path))
    assert out.returncode == 1
    result = json.loads(out.stdout)
    assert result["ok"] is False
    assert [(m["index"], m["kind"], m["logical_id"]) for m in result["mismatches"]] == [(2, "metadata", 12)]


def test_large_tables_are_summarised_and_duplicate_keys_pointed_out(tmp_path):
    regions = [("weights", i, bytes([i]) * 10) for i in range(100)] + [("weights", 7, b"z" * 10)]
    path = tmp_path / "many.vesk"
    path.write_bytes(build_snapshot(regions))
    out = run_cli("inspect", str(path))
    assert out.returncode == 0
    assert "... 81 more regions (--all shows every one" in out.stdout
    duplicate = "duplicate key (kind=weights, logical_id=7) at entries 7, 100: a restore uses entry 100"
    assert duplicate in out.stdout
    assert len(run_cli("inspect", "--all", str(path)).stdout.splitlines()) > 101
    info = json.loads(run_cli("inspect", "--json", str(path)).stdout)
    assert len(info["regions"]) == 101
    assert info["duplicates"] == [{"kind": "weights", "logical_id": 7, "entries": [7, 100]}]
    out = run_cli("verify", str(path))
    assert out.returncode == 0 and duplicate in out.stdout


def test_bench_refuses_nonsense_with_a_usage_error(tmp_path):
    missing = tmp_path / "missing"
    for args in (["--regions", "0"], ["--size", "10", "--regions", "64"], ["--size", "-4G"], ["--size", "lots"],
                 ["--dir", str(missing)]):
        out = run_cli("bench", *args)
        assert out.returncode == 2, args
        assert "Traceback" not in out.stderr and "bench" in out.stderr, args
    out = run_cli("bench", "--json", "--dir", str(missing))
    assert out.returncode == 2 and json.loads(out.stdout)["error"]["kind"] == "usage"
    assert not missing.exists()


def test_exit_status_is_1_only_for_mismatches_and_never_a_traceback(snapshot):
    path, _ = snapshot
    odd = os.path.join(os.fsencode(path.parent), b"model-\xff.vesk")
    os.rename(os.fsencode(path), odd)
    env = dict(os.environ, PYTHONPATH=PACKAGE_DIR, PYTHONIOENCODING="utf-8:strict")
    out = subprocess.run([sys.executable, "-m", "vesk", "verify", os.fsdecode(odd)], capture_output=True, env=env)
    assert out.returncode == 0, out.stderr
    assert b"model-\\xff.vesk: OK" in out.stdout
    # An unexpected failure, and Ctrl-C: one line each, never a traceback.
    for raised, status, line in (("RuntimeError('boom')", 2, "vesk inspect: "), ("KeyboardInterrupt", 130,
                                                                                 "vesk: interrupted")):
        script = (f"import sys, vesk._cli as c\ndef fail(args): raise {raised}\nc.cmd_inspect = fail\n"
                  f"sys.exit(c.main(['inspect', 'x']))")
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
        assert out.returncode == status and out.stderr.startswith(line) and len(out.stderr.splitlines()) == 1
    assert run_cli("--version").stdout == f"vesk {vesk.__version__}\n"


def run_script(script: str, *args: str, **kwargs) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=PACKAGE_DIR)
    return subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True, env=env, **kwargs)


def test_output_failures_and_ctrl_c_leave_whole_documents_and_no_traceback(snapshot):
    path, _ = snapshot
    # A full disk: one line and exit 1.
    with open("/dev/full", "w") as full:
        out = subprocess.run([sys.executable, "-m", "vesk", "inspect", "--json", str(path)], stdout=full,
                             stderr=subprocess.PIPE, text=True, env=dict(os.environ, PYTHONPATH=PACKAGE_DIR))
    assert out.returncode == 1 and out.stderr == "vesk: cannot write the output: No space left on device\n"
    # A reader that went away: quietly.
    r, w = os.pipe()
    os.close(r)
    out = subprocess.run([sys.executable, "-m", "vesk", "inspect", "--all", str(path)], stdout=w,
                         stderr=subprocess.PIPE, text=True, env=dict(os.environ, PYTHONPATH=PACKAGE_DIR))
    os.close(w)
    assert out.returncode == 1 and out.stderr == ""
    # Ctrl-C while the document is made: only the error's; while it is
    # written out: it ends whole. Exit 130 either way.
    script = ("import os, shutil, signal, sys, vesk._cli as c, vesk._output as o\n"
              "def interrupt(): os.kill(os.getpid(), signal.SIGINT)\n"
              "rows, copy = c.Layout.json_rows, shutil.copyfileobj\n"
              "def in_rows(self):\n"
              "    for r in rows(self):\n"
              "        interrupt()\n"
              "        yield r\n"
              "def in_copy(*a):\n"
              "    interrupt()\n"
              "    copy(*a)\n"
              "if sys.argv[2] == 'rows': c.Layout.json_rows = in_rows\n"
              "else: o.shutil.copyfileobj = in_copy\n"
              "sys.exit(c.main(['inspect', '--json', sys.argv[1]]))")
    for where in ("rows", "copy"):
        out = run_script(script, str(path), where)
        assert out.returncode == 130 and out.stderr == "vesk: interrupted\n", out.stderr
        doc = json.loads(out.stdout)  # one whole document
        if where == "rows":
            assert doc == {"error": {"kind": "interrupted", "message": "interrupted"}}
        else:
            assert len(doc["regions"]) == 3


def test_notes_of_an_error_are_shown(tmp_path):
    script = ("import sys, vesk._cli as c\n"
              "def fail(args):\n"
              "    e = RuntimeError('vesk runtime error: i/o error during snapshot prelude: boom')\n"
              "    e.add_note('vesk failed while syncing x.vesk-incomplete')\n"
              "    raise e\n"
              "c.cmd_inspect = fail\n"
              "sys.exit(c.main(sys.argv[1:]))")
    out = run_script(script, "inspect", "x")
    assert out.returncode == 2
    assert out.stderr.splitlines()[1:] == ["  vesk failed while syncing x.vesk-incomplete"]
    out = run_script(script, "inspect", "--json", "x")
    assert json.loads(out.stdout)["error"]["notes"] == ["vesk failed while syncing x.vesk-incomplete"]


def test_no_cuda_runtime_is_needed_until_a_call_needs_the_device(snapshot, tmp_path):
    path, _ = snapshot
    env = dict(os.environ, PYTHONPATH=PACKAGE_DIR, VESK_CUDA_RUNTIME=str(tmp_path / "no" / "libcudart.so.12"))
    for args in (["inspect", str(path)], ["verify", "--json", str(path)], ["--version"], ["--help"]):
        out = subprocess.run([sys.executable, "-m", "vesk", *args], capture_output=True, text=True, env=env)
        assert out.returncode == 0 and out.stderr == "", (args, out.stderr)
    script = ("import vesk\n"
              "for call in (lambda: vesk.freeze_to_file_pipelined(__import__('sys').argv[1], []),\n"
              "             lambda: vesk.PinnedMmap(b'x')):\n"
              "    try:\n"
              "        call()\n"
              "    except ImportError as e:\n"
              "        print(e)\n")
    out = subprocess.run([sys.executable, "-c", script, str(tmp_path / "x.vesk")], capture_output=True, text=True,
                         env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [f"cannot load the CUDA runtime; tried: {tmp_path}/no/libcudart.so.12 "
                                       f"({tmp_path}/no/libcudart.so.12: cannot open shared object file: No such "
                                       "file or directory)"] * 2
    out = subprocess.run([sys.executable, "-m", "vesk", "bench", "--json", "--dir", str(tmp_path)],
                         capture_output=True, text=True, env=env)
    assert out.returncode == 2 and json.loads(out.stdout)["error"]["kind"] == "no_runtime"
    assert not (tmp_path / "x.vesk").exists()
