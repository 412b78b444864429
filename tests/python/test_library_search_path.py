"""The extension finds its libraries beside the package and nowhere else:
an empty search-path entry would make the loader look in the current
directory, where anyone who can write there could plant a library."""

from __future__ import annotations

import shutil
import subprocess

import pytest

import vesk

EXPECTED = "$ORIGIN/../vesk_native.libs"


def test_extension_search_path_is_exactly_the_package_libraries():
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf is not installed")
    out = subprocess.run([readelf, "-d", vesk.vesk.__file__], capture_output=True, text=True, check=True).stdout
    paths = {}
    for line in out.splitlines():
        for tag in ("RUNPATH", "RPATH"):
            if f"({tag})" in line:
                paths[tag] = line.split("[", 1)[1].rsplit("]", 1)[0]
    assert paths == {"RUNPATH": EXPECTED}, paths
