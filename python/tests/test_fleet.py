"""Fleets of files: the command's several-file sort and export, and the Dask example on a
local cluster of worker processes; every output is read back."""
from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import command, export, write_two_groups

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def make_fleet(folder: Path, count: int):
    """count small files with distinct values; name -> (A rows, B rows)."""
    folder.mkdir(parents=True, exist_ok=True)
    fleet = {}
    for i in range(count):
        a = np.column_stack([np.arange(50.0), np.full(50, i), np.arange(50.0) * (i + 1)])
        b = np.arange(30.0).reshape(15, 2) - i
        write_two_groups(folder / f"car{i}.mf4", a, b)
        fleet[f"car{i}"] = (a, b)
    return fleet


def read_csv(path: Path) -> np.ndarray:
    return np.loadtxt(path, delimiter=",", skiprows=1, ndmin=2)


def check_outputs(fleet, sorted_dir: Path, csv_dir: Path):
    for name, (a, b) in fleet.items():
        np.testing.assert_array_equal(export(sorted_dir / f"{name}.mf4", "A")[1], a)
        np.testing.assert_array_equal(export(sorted_dir / f"{name}.mf4", "B")[1], b)
        np.testing.assert_array_equal(read_csv(csv_dir / name / "A.csv"), a)
        np.testing.assert_array_equal(read_csv(csv_dir / name / "B.csv"), b)


@pytest.mark.parametrize("jobs", ["1", "3"])
def test_command_sorts_and_exports_several_files_and_sums_up_failures(tmp_path, jobs):
    fleet = make_fleet(tmp_path / "in", 4)
    sources = sorted(str(p) for p in (tmp_path / "in").glob("*.mf4"))
    (tmp_path / "in" / "broken.mf4").write_bytes(b"not MDF" * 20)
    bad = [str(tmp_path / "in" / "broken.mf4"), str(tmp_path / "in" / "missing.mf4")]
    q = command()

    run = subprocess.run([q, "sort", "--output-dir", str(tmp_path / "sorted"), "-j", jobs]
                         + sources[:2] + bad + sources[2:], capture_output=True, text=True)
    assert run.returncode == 1
    assert "2 of 6 files failed" in run.stderr and all(b in run.stderr for b in bad)
    sorted_files = sorted(str(p) for p in (tmp_path / "sorted").glob("car*.mf4"))
    run = subprocess.run([q, "export", "-j", jobs, "--output-dir", str(tmp_path / "csv")]
                         + sorted_files, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    check_outputs(fleet, tmp_path / "sorted", tmp_path / "csv")

    # Two sources that would share one output are refused before anything is written.
    clash = subprocess.run([q, "sort", "--output-dir", str(tmp_path / "o"), sources[0],
                            str(tmp_path / "in" / "." / Path(sources[0]).name)],
                           capture_output=True, text=True)
    assert clash.returncode == 1 and not (tmp_path / "o").exists()


def test_dask_example_sorts_and_exports_a_folder_on_a_local_cluster(tmp_path):
    distributed = pytest.importorskip("distributed")
    sys.path.insert(0, str(EXAMPLES))
    try:
        import fleet_dask
    finally:
        sys.path.remove(str(EXAMPLES))
    fleet = make_fleet(tmp_path / "in", 5)
    (tmp_path / "in" / "broken.mf4").write_bytes(b"not MDF" * 20)
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        results = fleet_dask.process_folder(client, tmp_path / "in", tmp_path / "out",
                                            command())
    assert [Path(r["source"]).stem for r in results] == ["broken"] + sorted(fleet)
    assert results[0]["error"] and not any(r["error"] for r in results[1:])
    check_outputs(fleet, tmp_path / "out" / "sorted", tmp_path / "out" / "csv")
