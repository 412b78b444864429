"""The module object: contents, order, signatures, one instance per process."""

import ctypes
import importlib
import inspect
import os
import subprocess

import pytest

import vesk

NAMES = [
    "freeze_to_file_pipelined",
    "restore_from_file_pipelined",
    "restore_from_bytes_pipelined",
    "restore_from_bytes_auto",
    "restore_from_bytes_pipelined_zerocopy",
    "PinnedMmap",
    "restore_from_pinned_mmap",
]

SIGNATURES = {
    "freeze_to_file_pipelined": ("(path, requests, vllm_commit=None)",
                                 "Pipelined freeze: double-buffered async D2H with overlapped writes."),
    "restore_from_file_pipelined": ("(path, mapping, chunk_size_mb=64, direct_io=True)",
                                    "Pipelined restore: double-buffered async DMA with O_DIRECT."),
    "restore_from_bytes_pipelined": ("(data, mapping, chunk_size_mb=64)",
                                     "RAM-backed pipelined restore: reads from a byte buffer instead of disk."),
    "restore_from_bytes_auto": ("(data, mapping, chunk_size_mb=64)",
                                "Auto-dispatching RAM-backed pipelined restore (first-class alias)."),
    "restore_from_bytes_pipelined_zerocopy": ("(data, mapping)",
                                              "Zero-copy RAM-backed pipelined restore: DMA directly from the buffer."),
    "restore_from_pinned_mmap": ("(pinned, mapping)", "Restore a snapshot using a pre-registered `PinnedMmap`."),
}


def test_all_lists_the_seven_entries_in_order():
    assert vesk.__all__ == NAMES
    assert vesk.vesk.__all__ == NAMES
    for name in NAMES:
        assert getattr(vesk, name) is getattr(vesk.vesk, name)
        assert getattr(vesk, name).__module__ == "vesk"


def test_module_docstring_has_three_lines():
    assert vesk.vesk.__doc__ and len(vesk.vesk.__doc__.splitlines()) == 3
    assert vesk.__doc__ == vesk.vesk.__doc__


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_functions_expose_signature_and_summary(name):
    fn = getattr(vesk, name)
    text_signature, summary = SIGNATURES[name]
    assert fn.__text_signature__ == text_signature
    assert str(inspect.signature(fn)) == text_signature
    doc = fn.__doc__
    assert doc.splitlines()[0] == summary
    assert "Python signature:" in doc and f"vesk.{name}(" in doc and "```python" in doc


def test_pinned_mmap_class_surface():
    cls = vesk.PinnedMmap
    assert cls.__name__ == "PinnedMmap" and cls.__module__ == "vesk"
    assert cls.__text_signature__ == "(data)"
    assert 900 <= len(cls.__doc__) <= 1400
    for word in ("cudaHostRegister", "cudaHostUnregister", "restore_from_pinned_mmap", "ulimit -l",
                 "restore_from_bytes_pipelined", "mmap"):
        assert word in cls.__doc__
    assert cls.size.__doc__ == "Number of bytes pinned."


def test_repeated_import_gives_the_same_module():
    again = importlib.import_module("vesk.vesk")
    assert again is vesk.vesk
    # Calling the initialisation function again, as a second import in the
    # same interpreter would, returns the one module object.
    init = ctypes.PyDLL(vesk.vesk.__file__).PyInit_vesk
    init.restype = ctypes.py_object
    assert init() is vesk.vesk


def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", vesk.vesk.__file__], capture_output=True, text=True)
    if out.returncode != 0:
        pytest.skip("nm is not available")
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_vesk"]


def _in_sub_interpreter(attempt: str) -> str:
    """Runs `attempt` (code that imports vesk, ending with `msg = ...`) in a
    legacy sub-interpreter of this process, turning an ImportError into its
    message; returns msg."""
    try:
        import _testcapi
    except ImportError:
        pytest.skip("_testcapi is not available")
    r, w = os.pipe()
    body = "\n".join("    " + line for line in attempt.strip().splitlines())
    script = f"""
import ctypes, os, sys
sys.path[:0] = {[p for p in __import__("sys").path if p]!r}
try:
{body}
except ImportError as e:
    msg = "ImportError: " + str(e)
os.write({w}, msg.encode())
"""
    try:
        assert _testcapi.run_in_subinterp(script) == 0
        return os.read(r, 4096).decode()
    finally:
        os.close(r)
        os.close(w)


def test_sub_interpreter_is_refused():
    # The initialisation function called directly must refuse with
    # ImportError instead of handing out the main interpreter's module.
    msg = _in_sub_interpreter(f"""
init = ctypes.PyDLL({vesk.vesk.__file__!r}).PyInit_vesk
init.restype = ctypes.py_object
init()
msg = "no error"
""")
    assert msg.startswith("ImportError: ") and "sub-interpreter" in msg, msg


def test_import_in_a_sub_interpreter_is_refused():
    # An ordinary import statement: the import system must not hand a
    # sub-interpreter a copy of the module made in this one without asking
    # the module.
    msg = _in_sub_interpreter("""
import vesk
msg = "imported"
""")
    assert msg.startswith("ImportError: ") and "sub-interpreter" in msg, msg
