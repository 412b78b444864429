"""The README's Python examples as one module for a type checker.

    python tests/python/readme_examples.py README.md > examples.py
    mypy --strict examples.py

The ```python blocks are joined in order, as a reader meets them (a later
block uses what an earlier one imported), after declarations of the names
the examples leave to the reader's own program.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

# What the examples take from the program around them, typed as that program
# would have them.
CONTEXT = '''\
from typing import Any
import vesk

engine: Any
engine_commit_sha: str
restarts: int
model: Any
path: str
regions: list[tuple[str, int, int, int]]
buffer: bytes
pinned: vesk.PinnedMmap
'''

BLOCK = re.compile(r"^```python\n(.*?)^```$", re.DOTALL | re.MULTILINE)


def python_blocks(markdown: str) -> list[str]:
    return BLOCK.findall(markdown)


def examples_module(readme: Path) -> str:
    blocks = python_blocks(readme.read_text(encoding="utf-8"))
    parts = [CONTEXT] + [f"# README example {i + 1}\n{block}" for i, block in enumerate(blocks)]
    return "\n".join(parts)


if __name__ == "__main__":
    sys.stdout.write(examples_module(Path(sys.argv[1])))
