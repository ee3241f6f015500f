"""Devices for the tests: the simulator as a child process, and a pseudo-
terminal the test drives itself. Every wait has a deadline."""

import os
import pathlib
import select
import subprocess
import sys
import time

import pytest

DEADLINE_S = 10
DEADLINE_MS = DEADLINE_S * 1000
PYTHON_DIR = pathlib.Path(__file__).resolve().parents[1]
REPO = PYTHON_DIR.parent


def _built(variable, relative):
    """A program from the environment, else from a build in this checkout."""
    named = os.environ.get(variable)
    if named:
        return named
    for folder in ("build", "build-plain"):
        path = REPO / folder / relative
        if path.exists():
            return str(path)
    return None


@pytest.fixture
def simulator():
    """start(*arguments) runs ktcomm-sim and returns the device path to open."""
    program = _built("KTCOMM_SIM", "tools/ktcomm-sim")
    if program is None:
        pytest.skip("ktcomm-sim is not built")
    started = []

    def start(*arguments):
        process = subprocess.Popen([program, "--quiet", *arguments], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE)
        started.append(process)
        ready, _, _ = select.select([process.stdout], [], [], DEADLINE_S)
        path = process.stdout.readline().decode().strip() if ready else ""
        assert path.startswith("/"), "the simulator printed no device path"
        return path

    yield start
    for process in started:
        process.terminate()
        try:
            process.wait(timeout=DEADLINE_S)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        process.stdout.close()


class Line:
    """A pseudo-terminal: the port opens `path`, the test reads and writes
    the other side. The test holds the secondary open too, so the line does
    not hang up when the port closes."""

    def __init__(self):
        self.primary, self.secondary = os.openpty()
        self.path = os.ttyname(self.secondary)

    def read(self, count):
        """Up to `count` bytes: fewer only when the deadline passed first."""
        data = b""
        deadline = time.monotonic() + DEADLINE_S
        while len(data) < count:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self.primary], [], [], max(left, 0))
            if not ready:
                break
            data += os.read(self.primary, count - len(data))
        return data

    def write(self, data):
        os.write(self.primary, data)

    def close(self):
        os.close(self.primary)
        os.close(self.secondary)


@pytest.fixture
def line():
    opened = Line()
    yield opened
    opened.close()


@pytest.fixture
def run_python():
    """run(code, env) runs code in a fresh interpreter that imports this
    ktcomm; returns the completed process."""

    def run(code, env=None):
        environment = dict(os.environ, PYTHONPATH=str(PYTHON_DIR), **(env or {}))
        return subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True,
                              text=True, timeout=DEADLINE_S * 3)

    return run
