"""A writer process killed with SIGKILL while appending leaves a file that a new Writer
reopens and appends to, holding every row of every append that returned."""
from __future__ import annotations

import os
import random
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from quillmark import Writer

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="SIGKILL is POSIX")

CHUNK = 2000

# Appends chunk i = rows i * CHUNK ... with known values, printing i after each append
# returned, until it is killed.
WRITER = textwrap.dedent(f"""
    import sys
    import numpy as np
    from quillmark import Writer
    w = Writer(sys.argv[1])
    g = w.add_group("Fast", time=True)
    g.add_channel("a")
    g.add_channel("b", factor=2.0)
    w.add_group("Slow").add_channel("c")
    i = 0
    while True:
        n = np.arange(i * {CHUNK}, (i + 1) * {CHUNK}, dtype=np.float64)
        g.append(np.column_stack([n, n * 0.5, -n]))
        w.append("Slow", [[float(i)]])
        print(i, flush=True)
        i += 1
""")


@pytest.mark.parametrize("seed", range(3))
def test_killed_writer_keeps_every_returned_append(tmp_path, read_back, seed):
    path = tmp_path / "killed.mf4"
    writer = subprocess.Popen([sys.executable, "-c", WRITER, str(path)], stdout=subprocess.PIPE,
                              text=True, env=os.environ.copy())
    wanted = random.Random(seed).randint(5, 40)
    returned = -1
    for line in writer.stdout:
        returned = int(line)
        if returned >= wanted:
            break
    os.kill(writer.pid, signal.SIGKILL)
    writer.wait()
    # Whatever the process printed before the kill, read now, also returned.
    returned = max([returned] + [int(line) for line in writer.stdout.read().split()])
    assert returned >= wanted, "the writer stopped on its own"

    with Writer(path) as w:
        assert w.reopened
        w.append("Fast", [[-1.0, -1.0, -1.0]])
        w.append("Slow", [[-1.0]])
    _, fast = read_back(path, "Fast")
    _, slow = read_back(path, "Slow")
    # Complete chunks only (an interrupted call is rolled back), at least every returned one.
    chunks = (len(fast) - 1) // CHUNK
    assert (len(fast) - 1) % CHUNK == 0 and chunks >= returned + 1
    n = np.arange(chunks * CHUNK, dtype=np.float64)
    np.testing.assert_array_equal(fast[:-1], np.column_stack([n, n * 0.5, -2.0 * n]))
    np.testing.assert_array_equal(fast[-1], [-1.0, -1.0, -2.0])
    assert len(slow) - 1 >= returned + 1
    np.testing.assert_array_equal(slow[:-1, 0], np.arange(len(slow) - 1))
    assert slow[-1, 0] == -1.0
