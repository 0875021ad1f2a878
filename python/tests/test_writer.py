"""Writer, Group, sort and errors: values written come back exactly through the command's
export; every failure raises with the library's code and leaves the file as it was."""
from __future__ import annotations

import shutil
from pathlib import Path

import numpy as np
import pytest

import quillmark
from conftest import write_two_groups
from quillmark import Error, Writer

SPECIAL = [0.0, -0.0, 1.0 / 3.0, np.pi, 5e-324, -1.7976931348623157e308, 123456789.125, np.nan]


def rows(n: int, width: int, seed: int = 0) -> np.ndarray:
    values = np.random.default_rng(seed).normal(scale=1e6, size=(n, width))
    values[: len(SPECIAL), -1] = SPECIAL[: min(n, len(SPECIAL))]
    return values


# Every form append takes, each written, then read back; the expected values are the rows
# as float64 (physical = stored here: factor 1, offset 0).
FORMS = {
    "c_contiguous": lambda a: a,
    "fortran_order": np.asfortranarray,
    "strided_view": lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    "float32": lambda a: np.where(np.abs(a) < 1e30, a, 0.0).astype(np.float32),
    "big_endian": lambda a: a.astype(">f8"),
    "list_of_rows": lambda a: a.tolist(),
    "integers": lambda a: np.rint(np.where(np.abs(a) < 1e18, a, 0.0)).astype(np.int64),
}


@pytest.mark.parametrize("form", FORMS)
def test_values_round_trip(tmp_path, read_back, form):
    path = tmp_path / "run.mf4"
    data = rows(1000, 3)
    given = FORMS[form](data)
    expected = np.asarray(given, dtype=np.float64)
    with Writer(path, author="Jane", comment="round trip") as w:
        g = w.add_group("Engine", time=True)
        g.add_channel("Speed", unit="1/min")
        g.add_channel("Torque", unit="Nm")
        g.append(given)
        w.append("Engine", given[:10])
    header, values = read_back(path, "Engine")
    assert header == ["Time [s]", "Speed [1/min]", "Torque [Nm]"]
    np.testing.assert_array_equal(values, np.concatenate([expected, expected[:10]]))


def test_contiguous_float64_is_not_copied():
    data = rows(4, 3)
    assert quillmark._as_rows(data, 3) is data
    assert not np.shares_memory(quillmark._as_rows(np.asfortranarray(data), 3), data)


def test_reopen_appends_with_the_files_groups_and_conversions(tmp_path, read_back):
    path = tmp_path / "run.mf4"
    first, second = rows(20, 3, 1), rows(30, 2, 2)
    with Writer(path) as w:
        w.add_group("A", time=True).add_channel("x", factor=0.1, offset=-50.0)
        w.group("A").add_channel("y")
        w.add_group("[7] Limit").add_channel("z")
        w.append("A", first)
        w.append_limit(7, second[:, :1])
    # A new writer knows the groups from the file: no declarations needed to append.
    with Writer(path, author="ignored") as w:
        assert w.reopened and w.group("A").width == 3 and w.limit_ids() == [7]
        w.append("A", first[:5])
        w.append_limit(7, second[:, 1:])
    _, a = read_back(path, "A")
    stored = np.concatenate([first, first[:5]])
    np.testing.assert_array_equal(a[:, 0], stored[:, 0])
    np.testing.assert_array_equal(a[:, 1], -50.0 + 0.1 * stored[:, 1])
    np.testing.assert_array_equal(a[:, 2], stored[:, 2])
    _, limit = read_back(path, "[7] Limit")
    np.testing.assert_array_equal(limit[:, 0], np.concatenate([second[:, 0], second[:, 1]]))


# Each case: a call on a writer holding group "G" (time + 1 channel, 1 row written) and
# group "H" (no channel); the exception it raises. No case may change what the file holds.
ERRORS = {
    "too_few_columns": (lambda w: w.append("G", [[1.0]]), ValueError, None),
    "one_dimensional": (lambda w: w.append("G", [1.0, 2.0]), ValueError, None),
    "unknown_group": (lambda w: w.append("X", [[1.0, 2.0]]), Error, quillmark.ERR_GROUP),
    "duplicate_group": (lambda w: w.add_group("G"), Error, quillmark.ERR_GROUP),
    "not_newest_group": (lambda w: w.group("G").add_channel("c"), Error,
                         quillmark.ERR_NOT_NEWEST_GROUP),
    "unknown_limit": (lambda w: w.append_limit(3, [[1.0]]), Error, quillmark.ERR_LIMIT),
}


@pytest.mark.parametrize("case", ERRORS)
def test_errors_raise_with_code_and_later_calls_still_work(tmp_path, read_back, case):
    call, kind, code = ERRORS[case]
    path = tmp_path / "run.mf4"
    with Writer(path) as w:
        w.add_group("G", time=True).add_channel("v")
        w.append("G", [[0.0, 1.0]])
        w.add_group("H")
        with pytest.raises(kind) as raised:
            call(w)
        if code is not None:
            assert raised.value.code == code and raised.value.message
        w.append("G", [[1.0, 2.0]])  # the error was cleared: this call reports success
    np.testing.assert_array_equal(read_back(path, "G")[1], [[0.0, 1.0], [1.0, 2.0]])


@pytest.mark.parametrize("content, code", [(None, quillmark.ERR_CREATE),
                                           (b"not an MDF file" * 10, quillmark.ERR_OPEN)])
def test_create_failures(tmp_path, content, code):
    path = tmp_path / "missing_folder" / "run.mf4"
    if content is not None:
        path = tmp_path / "foreign.mf4"
        path.write_bytes(content)
    with pytest.raises(Error) as raised:
        Writer(path)
    assert raised.value.code == code
    assert content is None or path.read_bytes() == content


def test_closed_writer_raises_and_close_is_idempotent(tmp_path):
    w = Writer(tmp_path / "run.mf4")
    g = w.add_group("G")
    g.add_channel("v")
    w.close()
    w.close()
    assert w.closed
    with pytest.raises(Error) as raised:
        g.append([[1.0]])
    assert raised.value.code == quillmark.ERR_INVALID_ARGUMENT


def test_sort_copies_every_value_and_raises_on_a_missing_source(tmp_path, read_back):
    source, copy = tmp_path / "run.mf4", tmp_path / "run_sorted.mf4"
    a, b = rows(300, 2, 3), rows(200, 3, 4)
    write_two_groups(source, a, b)
    quillmark.sort(source, copy)
    np.testing.assert_array_equal(read_back(copy, "A")[1], a)
    np.testing.assert_array_equal(read_back(copy, "B")[1], b)
    with pytest.raises(Error):
        quillmark.sort(tmp_path / "missing.mf4", tmp_path / "out.mf4")
    assert not (tmp_path / "out.mf4").exists()


def test_timestamp_is_a_current_filetime():
    import time
    unix = (quillmark.timestamp() - 116444736000000000) / 1e7
    assert abs(unix - time.time()) < 60


def test_appending_to_another_writers_layout_raises_and_changes_nothing(tmp_path):
    source = Path(__file__).resolve().parents[3] / "shared" / "testdata" / "other_writer_unsorted_2cg.mf4"
    if not source.is_file():
        pytest.skip("no interop files beside the checkout")
    path = tmp_path / "foreign.mf4"
    shutil.copyfile(source, path)
    with Writer(path) as w:
        assert len(w._from_file) == 2
        for name, width in w._from_file.items():
            with pytest.raises(Error) as raised:
                w.append(name.decode(), np.zeros((3, width or 1)))
            assert raised.value.code == quillmark.ERR_CANNOT_APPEND
    assert path.read_bytes() == source.read_bytes()
