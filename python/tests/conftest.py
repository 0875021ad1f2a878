"""Shared helpers of the package's tests: the quillmark command and reading files back."""
from __future__ import annotations

import csv
import os
import shutil
import subprocess
from pathlib import Path
from typing import Dict, List, Tuple

import numpy as np
import pytest


def command() -> str:
    """The quillmark command: QUILLMARK_COMMAND, else the one on PATH."""
    found = os.environ.get("QUILLMARK_COMMAND") or shutil.which("quillmark")
    if not found:
        pytest.fail("set QUILLMARK_COMMAND to the quillmark command (it reads files back)")
    return found


def export(path: Path, group: str) -> Tuple[List[str], np.ndarray]:
    """The group's header row and physical values as the command exports them."""
    run = subprocess.run([command(), "export", str(path), "--group", group],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    rows = list(csv.reader(run.stdout.splitlines()))
    values = np.array([[float(v) for v in row] for row in rows[1:]], dtype=np.float64)
    return rows[0], values.reshape(len(rows) - 1, len(rows[0]))


def write_two_groups(path: Path, a: np.ndarray, b: np.ndarray) -> None:
    """A file with group "A" (time and a.shape[1] - 1 channels) and "B" (b.shape[1] channels),
    their rows appended in five interleaved rounds."""
    from quillmark import Writer
    with Writer(path) as w:
        for c in range(a.shape[1] - 1):
            (w.add_group("A", time=True) if c == 0 else w.group("A")).add_channel(f"a{c}")
        for c in range(b.shape[1]):
            (w.add_group("B") if c == 0 else w.group("B")).add_channel(f"b{c}")
        for part_a, part_b in zip(np.array_split(a, 5), np.array_split(b, 5)):
            w.append("A", part_a)
            w.append("B", part_b)


@pytest.fixture
def read_back():
    return export
