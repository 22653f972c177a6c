"""PEP 517 build backend for the quarninterface package, standard library only.

Why not setuptools: before version 70.1 setuptools cannot build a wheel
without the separate ``wheel`` package, and on an offline machine that has
neither a package index nor ``wheel`` ``pip install --no-build-isolation``
would fail. The package is a handful of pure-Python files, so writing the
wheel (a zip with a .dist-info directory) needs nothing beyond zipfile.
"""

from __future__ import annotations

import base64
import hashlib
import io
import re
import tarfile
import tomllib
import zipfile
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = "quarninterface"
SDIST_FILES = ("pyproject.toml", "build_backend/quarninterface_build.py")
# Fixed timestamp (the earliest a zip can hold) keeps builds reproducible.
ZIP_EPOCH = (1980, 1, 1, 0, 0, 0)


def _project() -> dict[str, Any]:
    with open(ROOT / "pyproject.toml", "rb") as file:
        project: dict[str, Any] = tomllib.load(file)["project"]
    if "version" in project.get("dynamic", []):
        source = (ROOT / PACKAGE / "__init__.py").read_text(encoding="utf-8")
        match = re.search(r'^__version__ = "([^"]+)"$', source, re.MULTILINE)
        if match is None:
            raise RuntimeError(f"{PACKAGE}/__init__.py sets no __version__")
        project["version"] = match.group(1)
    return project


def _metadata(project: dict[str, Any]) -> str:
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"Requires-Python: {project['requires-python']}",
    ]
    lines += [f"Classifier: {classifier}" for classifier in project.get("classifiers", [])]
    return "\n".join(lines) + "\n"


def _package_files() -> list[Path]:
    return sorted(
        path
        for path in (ROOT / PACKAGE).iterdir()
        if path.is_file() and (path.suffix == ".py" or path.name == "py.typed")
    )


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def _write_wheel(directory: str, extra: list[tuple[str, bytes]]) -> str:
    project = _project()
    dist_info = f"{PACKAGE}-{project['version']}.dist-info"
    wheel_name = f"{PACKAGE}-{project['version']}-py3-none-any.whl"
    entries = list(extra) + [
        (f"{dist_info}/METADATA", _metadata(project).encode()),
        (
            f"{dist_info}/WHEEL",
            b"Wheel-Version: 1.0\nGenerator: quarninterface_build\n"
            b"Root-Is-Purelib: true\nTag: py3-none-any\n",
        ),
        (f"{dist_info}/top_level.txt", f"{PACKAGE}\n".encode()),
    ]
    record = [_record_line(name, data) for name, data in entries]
    record.append(f"{dist_info}/RECORD,,")
    entries.append((f"{dist_info}/RECORD", ("\n".join(record) + "\n").encode()))
    with zipfile.ZipFile(Path(directory) / wheel_name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in entries:
            info = zipfile.ZipInfo(name, ZIP_EPOCH)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    return wheel_name


def build_wheel(
    wheel_directory: str,
    config_settings: dict[str, Any] | None = None,
    metadata_directory: str | None = None,
) -> str:
    files = [(f"{PACKAGE}/{path.name}", path.read_bytes()) for path in _package_files()]
    return _write_wheel(wheel_directory, files)


def build_editable(
    wheel_directory: str,
    config_settings: dict[str, Any] | None = None,
    metadata_directory: str | None = None,
) -> str:
    pth = (f"__editable__.{PACKAGE}.pth", f"{ROOT}\n".encode())
    return _write_wheel(wheel_directory, [pth])


def build_sdist(sdist_directory: str, config_settings: dict[str, Any] | None = None) -> str:
    project = _project()
    base = f"{PACKAGE}-{project['version']}"
    paths = [ROOT / name for name in SDIST_FILES] + _package_files()
    paths += sorted((ROOT / "tests").glob("*.py"))
    sdist_name = f"{base}.tar.gz"
    with tarfile.open(Path(sdist_directory) / sdist_name, "w:gz") as sdist:
        members = [(f"{base}/PKG-INFO", _metadata(project).encode())]
        members += [
            (f"{base}/{path.relative_to(ROOT).as_posix()}", path.read_bytes()) for path in paths
        ]
        for name, data in members:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mode = 0o644
            sdist.addfile(info, io.BytesIO(data))
    return sdist_name
