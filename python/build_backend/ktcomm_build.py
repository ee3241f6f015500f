"""The build backend of the ktcomm package.

setuptools before 70.1 needs the separate wheel package to build any wheel,
and a fresh venv has setuptools and pip only, with no index to fetch wheel
from. So this backend writes the wheel itself: the package is pure Python,
so a wheel is its files, its metadata and a record of all (the format pip
reads, PEP 427). The source distribution is setuptools'.

A wheel made from a checkout of KTcomm also notes that checkout, so that
the installed package loads the library built there (build/ or
build-plain/) without any environment variable.
"""

import base64
import hashlib
import pathlib
import re
import zipfile

from setuptools import build_meta as _setuptools

_ROOT = pathlib.Path(__file__).resolve().parent.parent
_TAG = "py3-none-any"
_WHEEL = f"Wheel-Version: 1.0\nGenerator: ktcomm_build\nRoot-Is-Purelib: true\nTag: {_TAG}\n"

get_requires_for_build_sdist = _setuptools.get_requires_for_build_sdist
build_sdist = _setuptools.build_sdist


def _project():
    """Name, version and the few metadata fields pyproject.toml gives."""
    text = (_ROOT / "pyproject.toml").read_text()
    project = text.split("[project]", 1)[1].split("\n[", 1)[0]
    fields = dict(re.findall(r'^([\w-]+)\s*=\s*"([^"]*)"', project, re.M))
    classifiers = re.findall(r'^\s*"([^"]+ :: [^"]+)",?$', project, re.M)
    return fields, classifiers


def _metadata():
    fields, classifiers = _project()
    lines = ["Metadata-Version: 2.1", f"Name: {fields['name']}", f"Version: {fields['version']}"]
    if "description" in fields:
        lines.append(f"Summary: {fields['description']}")
    if "requires-python" in fields:
        lines.append(f"Requires-Python: {fields['requires-python']}")
    lines += [f"Classifier: {classifier}" for classifier in classifiers]
    return fields, "\n".join(lines) + "\n"


def _dist_info(fields):
    return f"{fields['name']}-{fields['version']}.dist-info"


def _write_metadata(directory):
    fields, metadata = _metadata()
    info = pathlib.Path(directory) / _dist_info(fields)
    info.mkdir(parents=True, exist_ok=True)
    (info / "METADATA").write_text(metadata)
    (info / "WHEEL").write_text(_WHEEL)
    return info.name


def _checkout_note():
    """ktcomm/_checkout.py naming the checkout these sources are in, or None
    for sources outside one."""
    checkout = _ROOT.parent
    if not (checkout / "api" / "ktcomm.h").is_file():
        return None
    return ("# Written by the build backend: the checkout this package was built from,\n"
            "# whose build/ or build-plain/ holds the library it was built with.\n"
            f"CHECKOUT = {str(checkout)!r}\n").encode()


def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return _write_metadata(metadata_directory)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    fields, metadata = _metadata()
    info = _dist_info(fields)
    files = {}
    for path in sorted((_ROOT / "ktcomm").rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix in (".py", ".typed"):
            files[path.relative_to(_ROOT).as_posix()] = path.read_bytes()
    note = _checkout_note()
    if note is not None:
        files["ktcomm/_checkout.py"] = note
    files[f"{info}/METADATA"] = metadata.encode()
    files[f"{info}/WHEEL"] = _WHEEL.encode()
    record = []
    for name, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{name},sha256={digest},{len(data)}")
    record.append(f"{info}/RECORD,,")
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    name = f"{fields['name']}-{fields['version']}-{_TAG}.whl"
    with zipfile.ZipFile(pathlib.Path(wheel_directory) / name, "w", zipfile.ZIP_DEFLATED) as out:
        for member, data in files.items():
            out.writestr(member, data)
    return name
