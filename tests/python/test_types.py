"""The type stubs against the README and the module: mypy --strict accepts
every Python example of the README and refuses calls the module refuses, and
stubtest finds the stubs in agreement with the imported module. Skipped
where mypy is not installed (scripts/setup.sh installs it from the package
index)."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import vesk
from readme_examples import examples_module

pytest.importorskip("mypy", reason="mypy is not installed (scripts/setup.sh installs it from the package index)")

REPO = Path(__file__).resolve().parents[2]
# The stubs as written, beside the package under test.
STUBS = REPO / "python"
RUNTIME = Path(vesk.__file__).resolve().parents[1]

# Calls the module refuses at run time, each with the error mypy must give.
WRONG = {
    "vesk.restore_from_bytes_auto(123, regions)": 'incompatible type "int"; expected "Buffer"',
    'vesk.freeze_to_file_pipelined(path, [("weights", 0, 1)])': 'incompatible type "tuple[str, int, int]"',
    "vesk.named.restore(pinned, weights={}, chunk_size_mb='64')": 'incompatible type "str"; expected "int"',
    "vesk.named.freeze(path, weights={}, vllm_commit=b'0' * 40)": 'incompatible type "bytes"; expected "str | None"',
    "vesk.torch.save(path, {}, commit='x')": 'Unexpected keyword argument "commit"',
    "vesk.PinnedMmap(pinned)": 'incompatible type "PinnedMmap"; expected "Buffer"',
}


def mypy_env() -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["MYPYPATH"] = str(STUBS)
    return env


def test_readme_examples_type_check_and_wrong_calls_do_not(tmp_path):
    examples = examples_module(REPO / "README.md")
    (tmp_path / "examples.py").write_text(examples)
    wrong = examples + "import vesk.torch\n" + "".join(f"{call}\n" for call in WRONG)
    (tmp_path / "wrong.py").write_text(wrong)
    first_wrong = wrong.count("\n") - len(WRONG) + 1
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(REPO / "pyproject.toml"),
         "--cache-dir", str(tmp_path / "cache"), "--no-error-summary", "examples.py", "wrong.py"],
        cwd=tmp_path, env=mypy_env(), capture_output=True, text=True, timeout=600)
    errors: dict[str, list[str]] = {}
    for line in run.stdout.splitlines():
        m = re.match(r"(\w+)\.py:(\d+): (error|note): (.*)", line)
        assert m, run.stdout + run.stderr
        if m[3] == "note":
            continue
        errors.setdefault(f"{m[1]}:{m[2]}", []).append(m[4])
    assert not [k for k in errors if k.startswith("examples:")], run.stdout
    for i, (call, wanted) in enumerate(WRONG.items()):
        found = errors.pop(f"wrong:{first_wrong + i}", [])
        assert any(wanted in e for e in found), f"{call}: {found}"
    assert not errors, errors


def test_stubs_agree_with_the_module(tmp_path):
    env = mypy_env()
    env["PYTHONPATH"] = str(RUNTIME)
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(REPO / "pyproject.toml"),
         "vesk"],  # and every submodule
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
