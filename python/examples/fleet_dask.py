"""Sorts and exports a folder of MDF 4 files on a Dask cluster, one task per file.

    python3 fleet_dask.py [--scheduler ADDRESS] [--workers N] FOLDER OUTPUT

For every FOLDER/NAME.mf4 a task writes the sorted copy OUTPUT/sorted/NAME.mf4 (through the
quillmark package) and its channel values as CSV in OUTPUT/csv/NAME/ (through the quillmark
command's export). Without --scheduler the tasks run on a local cluster of N worker processes;
with it, on the cluster of that scheduler (for example tcp://head:8786), unchanged: every
worker needs the quillmark package, the library and the command, and FOLDER and OUTPUT must be
the same paths on every machine (a shared file system). A file that fails is reported, the
others go on; the exit status is 1 when any failed.
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
from pathlib import Path
from typing import Dict, List, Optional

import quillmark


def process_file(source: str, output: str, command: str) -> Dict[str, Optional[str]]:
    """Sorts and exports one file; a dictionary with the source, the sorted copy, the CSV
    folder and the error (None when both steps succeeded)."""
    name = Path(source).stem
    sorted_path = Path(output) / "sorted" / (name + ".mf4")
    csv_dir = Path(output) / "csv" / name
    result: Dict[str, Optional[str]] = {"source": source, "sorted": str(sorted_path),
                                        "csv": str(csv_dir), "error": None}
    try:
        sorted_path.parent.mkdir(parents=True, exist_ok=True)
        quillmark.sort(source, sorted_path)
        run = subprocess.run([command, "export", str(sorted_path), "--output", str(csv_dir)],
                             capture_output=True, text=True)
        if run.returncode != 0:
            result["error"] = run.stderr.strip() or f"export failed ({run.returncode})"
    except (quillmark.Error, OSError) as error:
        result["error"] = str(error)
    return result


def process_folder(client, folder: "str | os.PathLike[str]", output: "str | os.PathLike[str]",
                   command: str = "quillmark") -> List[Dict[str, Optional[str]]]:
    """Runs process_file for every *.mf4 of folder on the client's cluster; the results in
    file name order."""
    # The workers import this module by name: send it along, so that no worker needs it
    # installed.
    client.upload_file(__file__)
    files = sorted(str(p.resolve()) for p in Path(folder).glob("*.mf4"))
    futures = client.map(process_file, files, output=str(Path(output).resolve()),
                         command=command, pure=False)
    return client.gather(futures)


def main(argv: Optional[List[str]] = None) -> int:
    from dask.distributed import Client, LocalCluster

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder")
    parser.add_argument("output")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="worker processes of the local cluster")
    parser.add_argument("--command", default=os.environ.get("QUILLMARK_COMMAND", "quillmark"),
                        help="the quillmark command on the workers")
    args = parser.parse_args(argv)
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        client = Client(LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                     processes=True, dashboard_address=None))
    with client:
        results = process_folder(client, args.folder, args.output, args.command)
    failed = [r for r in results if r["error"]]
    for r in failed:
        print(f"failed: {r['source']}: {r['error']}", file=sys.stderr)
    print(f"{len(results) - len(failed)} of {len(results)} files sorted and exported")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
