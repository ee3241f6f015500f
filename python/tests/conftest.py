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


def pytest_configure(config):
    config.addinivalue_line("markers", "install: installs into a temporary prefix and venv")


@pytest.fixture
def simulator():
    """start(*arguments) runs ktcomm-sim and returns the device path to open;
    start.program names another simulator to run."""
    program = _built("KTCOMM_SIM", "tools/ktcomm-sim")
    if program is None:
        pytest.skip("ktcomm-sim is not built")
    started = []

    def start(*arguments):
        process = subprocess.Popen([start.program, "--quiet", *arguments],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        started.append(process)
        ready, _, _ = select.select([process.stdout], [], [], DEADLINE_S)
        path = process.stdout.readline().decode().strip() if ready else ""
        assert path.startswith("/"), "the simulator printed no device path"
        return path

    def kill():
        """Ends the simulator started last at once, as a device that is
        unplugged: its side of the line closes."""
        started[-1].kill()
        started[-1].wait(timeout=DEADLINE_S)

    start.kill = kill
    start.program = program
    yield start
    for process in started:
        process.terminate()
        try:
            process.wait(timeout=DEADLINE_S)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        process.stdout.close()


def frame(command, data=b""):
    """A protocol-1 frame as a device sends it."""
    return bytes([0x00, 0x80, len(data) + 1, command]) + data


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

    def hang_up(self):
        """Closes the test's side: the port's device hangs up."""
        os.close(self.primary)
        self.primary = None

    def close(self):
        if self.primary is not None:
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


@pytest.fixture
def spawn_python():
    """spawn(code, *arguments) starts code in a fresh interpreter that imports
    this ktcomm, with its output on pipes; read_line(process) returns its next
    line, or what came before the deadline or the end."""
    started = []

    def spawn(code, *arguments):
        environment = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
        # Unbuffered, so that select() sees every line read_line has not taken.
        process = subprocess.Popen([sys.executable, "-c", code, *arguments], env=environment,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, bufsize=0)
        started.append(process)
        return process

    yield spawn
    for process in started:
        process.kill()
        process.wait(timeout=DEADLINE_S)
        process.stdout.close()
        process.stderr.close()


def stopped(process):
    """Ends process and returns what it wrote to standard error, for a
    failure message."""
    process.kill()
    process.wait(timeout=DEADLINE_S)
    return process.stderr.read().decode(errors="replace")


def read_line(process):
    line = b""
    deadline = time.monotonic() + DEADLINE_S
    while not line.endswith(b"\n"):
        ready, _, _ = select.select([process.stdout], [], [], max(deadline - time.monotonic(), 0))
        byte = os.read(process.stdout.fileno(), 1) if ready else b""
        if not byte:
            break
        line += byte
    return line.decode()


def wait_until(condition):
    """Polls condition until it holds; False when the deadline passed first."""
    deadline = time.monotonic() + DEADLINE_S
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True
