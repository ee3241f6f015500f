"""The module as users install it: the library (and the module) by cmake
--install into a temporary prefix, the module by pip into a fresh venv,
each then used from outside this checkout."""

import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

from conftest import PYTHON_DIR, REPO

pytestmark = pytest.mark.install

# pip and cmake get longer than a port: they start interpreters and copy.
STEP_S = 120

# Prints where ktcomm and the library it loaded came from, then asks the
# simulated device at argv[1] once.
USE = textwrap.dedent("""
    import sys, ktcomm
    print(ktcomm.__file__)
    print(ktcomm.version())
    print(next(line.split()[-1] for line in open("/proc/self/maps") if "libktcomm" in line))
    with ktcomm.Port(1, device=sys.argv[1]) as port:
        print(port.call(0x10, b"\\x05", timeout_ms=10000))
""")


def run(command, **options):
    done = subprocess.run(command, capture_output=True, text=True, timeout=STEP_S, **options)
    assert done.returncode == 0, f"{command} failed:\n{done.stdout}{done.stderr}"
    return done.stdout


def outside_env(**extra):
    """The environment without what points at this checkout or its builds."""
    kept = {name: value for name, value in os.environ.items()
            if name not in ("KTCOMM_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH", "PYTHONHOME")}
    return dict(kept, **extra)


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    """A prefix that cmake --install filled from this checkout's build."""
    named = os.environ.get("KTCOMM_BUILD_DIR")
    builds = [pathlib.Path(named)] if named else [REPO / "build", REPO / "build-plain"]
    build = next((folder for folder in builds if (folder / "CMakeCache.txt").exists()), None)
    if build is None:
        pytest.skip("no build to install")
    cmake = os.environ.get("KTCOMM_CMAKE") or shutil.which("cmake")
    if cmake is None:
        pytest.skip("no cmake")
    into = tmp_path_factory.mktemp("prefix")
    run([cmake, "--install", str(build), "--prefix", str(into)])
    return into


def installed(prefix, pattern):
    found = sorted(prefix.glob(pattern))
    assert found, f"nothing in the prefix matches {pattern}"
    return found[0]


@pytest.fixture(scope="module")
def venv(prefix, tmp_path_factory):
    """A fresh venv with the module pip-installed from a copy of python/ (a
    build writes build/ and *.egg-info beside its sources)."""
    work = tmp_path_factory.mktemp("venv")
    sources = work / "python"
    shutil.copytree(PYTHON_DIR, sources, ignore=shutil.ignore_patterns(
        "tests", "__pycache__", "build", "*.egg-info", "CMakeLists.txt"))
    # A plain venv, as a user makes one: setuptools and pip only, and no
    # index to fetch the wheel package from.
    run([sys.executable, "-m", "venv", str(work / "venv")])
    python = work / "venv" / "bin" / "python"
    run([str(python), "-m", "pip", "install", "--no-build-isolation", "--disable-pip-version-check",
         "-q", str(sources)], cwd=work, env=outside_env())
    return python


def test_pip_installed_module_uses_the_installed_library(prefix, venv, simulator):
    simulator.program = str(installed(prefix, "bin/ktcomm-sim"))
    device = simulator()
    library = installed(prefix, "lib*/**/libktcomm.so.1")
    for env in ({"LD_LIBRARY_PATH": str(library.parent)}, {"KTCOMM_LIBRARY": str(library)}):
        said = run([str(venv), "-c", USE, device], cwd=venv.parent, env=outside_env(**env))
        module, version, loaded, answer = said.splitlines()
        assert module.startswith(str(venv.parents[1]))
        assert (pathlib.Path(module).parent / "py.typed").exists()
        assert version == "1.41"
        assert pathlib.Path(loaded).resolve() == library.resolve()
        assert answer == "(16, b'\\x05')"


def test_cmake_installed_module_finds_its_library_alone(prefix, simulator, tmp_path):
    simulator.program = str(installed(prefix, "bin/ktcomm-sim"))
    device = simulator()
    module = installed(prefix, "lib*/**/ktcomm/__init__.py").parent
    said = run([sys.executable, "-c", USE, device], cwd=tmp_path,
               env=outside_env(PYTHONPATH=str(module.parent)))
    found, _, loaded, answer = said.splitlines()
    assert pathlib.Path(found).parent == module
    assert pathlib.Path(loaded).resolve() == installed(prefix, "lib*/**/libktcomm.so.1").resolve()
    assert answer == "(16, b'\\x05')"


def test_a_type_checker_sees_the_hints(venv, tmp_path):
    pytest.importorskip("mypy")
    client = tmp_path / "client.py"
    client.write_text(textwrap.dedent("""
        import ktcomm

        def ask(port: ktcomm.Port) -> bytes:
            command, data = port.call(0x10, b"\\x05", timeout_ms=None, expect=0x10)
            frame: ktcomm.Frame = port.frames.get() if port.frames else ktcomm.Frame(1, 0, b"")
            return data + frame.data + bytes([command])

        async def ask_later(port: ktcomm.Port) -> int:
            async for frame in port.aframes():
                return frame.command
            return (await port.acall(0x24))[0]
    """))
    def check():
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
             "--python-executable", str(venv), str(client)],
            capture_output=True, text=True, timeout=STEP_S, cwd=tmp_path, env=outside_env())

    checked = check()
    assert checked.returncode == 0, checked.stdout
    client.write_text("import ktcomm\nktcomm.Port(1).call('10')\n")
    assert 'Argument 1 to "call" of "Port" has incompatible type "str"' in check().stdout
