"""Build backend for the pure-Python quillmark package: wheels, editable wheels and source
archives from the files of this folder, with the standard library alone.

Reads the name, version, summary, Python requirement and dependencies from pyproject.toml.
"""
from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile
from pathlib import Path
from typing import Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = "quillmark"
TAG = "py3-none-any"


def _project() -> Dict[str, object]:
    """The [project] table; tomllib where Python has it, else the few flat keys used here."""
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    try:
        import tomllib
        return tomllib.loads(text)["project"]
    except ImportError:
        table = text.split("[project]", 1)[1].split("\n[", 1)[0]
        found: Dict[str, object] = {}
        for key, value in re.findall(r'^([\w-]+)\s*=\s*(.+)$', table, re.M):
            found[key] = re.findall(r'"([^"]*)"', value) if value.startswith("[") else value.strip('"')
        return found


def _metadata() -> Tuple[str, str, bytes]:
    p = _project()
    name, version = str(p["name"]), str(p["version"])
    lines = ["Metadata-Version: 2.1", f"Name: {name}", f"Version: {version}",
             f"Summary: {p.get('description', '')}",
             f"Requires-Python: {p.get('requires-python', '>=3')}"]
    lines += [f"Requires-Dist: {d}" for d in p.get("dependencies", [])]  # type: ignore[union-attr]
    lines += [f"Classifier: {c}" for c in p.get("classifiers", [])]  # type: ignore[union-attr]
    body = ""
    readme = ROOT / str(p.get("readme", "README.md"))
    if readme.is_file():
        lines.append("Description-Content-Type: text/markdown")
        body = "\n" + readme.read_text(encoding="utf-8")
    return name, version, ("\n".join(lines) + "\n" + body).encode("utf-8")


def _package_files() -> List[Path]:
    return sorted(p for p in (ROOT / PACKAGE).rglob("*")
                  if p.is_file() and "__pycache__" not in p.parts)


def _write_wheel(directory: str, files: Dict[str, bytes]) -> str:
    name, version, metadata = _metadata()
    dist_info = f"{name}-{version}.dist-info"
    files = dict(files)
    files[f"{dist_info}/METADATA"] = metadata
    files[f"{dist_info}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: quillmark-backend\n"
                                   f"Root-Is-Purelib: true\nTag: {TAG}\n").encode()
    record = []
    for path, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{path},sha256={digest},{len(data)}")
    record.append(f"{dist_info}/RECORD,,")
    files[f"{dist_info}/RECORD"] = ("\n".join(record) + "\n").encode()
    wheel_name = f"{name}-{version}-{TAG}.whl"
    with zipfile.ZipFile(os.path.join(directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as z:
        for path, data in files.items():
            z.writestr(path, data)
    return wheel_name


def build_wheel(wheel_directory: str, config_settings: Optional[dict] = None,
                metadata_directory: Optional[str] = None) -> str:
    return _write_wheel(wheel_directory, {p.relative_to(ROOT).as_posix(): p.read_bytes()
                                          for p in _package_files()})


def build_editable(wheel_directory: str, config_settings: Optional[dict] = None,
                   metadata_directory: Optional[str] = None) -> str:
    # A path file puts this folder on sys.path: the sources are used where they are.
    return _write_wheel(wheel_directory, {f"_{PACKAGE}_editable.pth": f"{ROOT}\n".encode()})


def build_sdist(sdist_directory: str, config_settings: Optional[dict] = None) -> str:
    name, version, metadata = _metadata()
    base = f"{name}-{version}"
    members = [ROOT / "pyproject.toml", ROOT / "README.md", ROOT / "_build" / "backend.py"]
    members += _package_files()
    archive = f"{base}.tar.gz"
    with tarfile.open(os.path.join(sdist_directory, archive), "w:gz") as tar:
        for path in members:
            if path.is_file():
                tar.add(path, arcname=f"{base}/{path.relative_to(ROOT).as_posix()}")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        info.size = len(metadata)
        tar.addfile(info, io.BytesIO(metadata))
    return archive


def get_requires_for_build_wheel(config_settings: Optional[dict] = None) -> List[str]:
    return []


get_requires_for_build_editable = get_requires_for_build_wheel
get_requires_for_build_sdist = get_requires_for_build_wheel
