"""The README's snippets, run as a reader pastes them into a shell at the
top of the checkout, against the build under test (KTCOMM_BUILD_DIR, seen
as build/): the first session with the simulator and the tool, the C
example with the commands beside it, the extension's examples, and the
Python example in a fresh venv, type-checked too. Lines that build
(cmake ...) are left out: the build under test is what they made.

The one change made to what the README says: its simulator's link,
/tmp/ktcomm-sim, is a private path here, so that runs at the same time do
not share it."""

from __future__ import annotations

import os
import pathlib
import re
import select
import shutil
import signal
import subprocess
import time

import pytest

import readme_snippets

REPO = pathlib.Path(__file__).resolve().parents[2]
README = (REPO / "README.md").read_text(encoding="utf-8")
BLOCKS = readme_snippets.blocks(README)
LINK = "/tmp/ktcomm-sim"
# pip and a venv take longest; a port's exchange is far shorter.
STEP_S = 180


def build_dir() -> pathlib.Path:
    named = os.environ.get("KTCOMM_BUILD_DIR")
    for folder in ([pathlib.Path(named)] if named else [REPO / "build", REPO / "build-plain"]):
        if (folder / "tools" / "ktcomm").exists():
            return folder
    pytest.skip("no build with the tools")


class Shell:
    """One bash, fed line by line as a person types, with standard error
    merged into standard output. Ends its background jobs at close."""

    def __init__(self, cwd: pathlib.Path, link: str):
        # Nothing that points at the checkout's builds: the snippets must
        # find them themselves.
        env = {name: value for name, value in os.environ.items()
               if name not in ("KTCOMM_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")
               and not name.startswith("KTCOMM_COM")}
        self.link = link
        self.process = subprocess.Popen(
            ["bash", "--norc", "--noprofile"], cwd=cwd, env=env, stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
        self.pending = b""

    def _send(self, text: str) -> None:
        assert self.process.stdin is not None
        self.process.stdin.write(text.replace(LINK, self.link).encode() + b"\n")
        self.process.stdin.flush()

    def _line(self, deadline: float) -> str:
        assert self.process.stdout is not None
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self.process.stdout], [], [], max(left, 0))
            if not ready:
                raise TimeoutError("the shell printed no line in time")
            chunk = os.read(self.process.stdout.fileno(), 4096)
            if not chunk:
                raise EOFError("the shell ended")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode(errors="replace")

    def run(self, command: str) -> tuple[int, list[str]]:
        """Runs one command line; its exit status and what it printed."""
        if command.rstrip().endswith("&"):
            # A simulator in the background: ready once it printed its path.
            self._send(command)
            deadline = time.monotonic() + 10
            said = []
            while (line := self._line(deadline)) != self.link:
                said.append(line)
            return 0, said
        self._send(command)
        self._send('echo "@@done $?"')
        deadline = time.monotonic() + STEP_S
        output = []
        while not (line := self._line(deadline)).startswith("@@done "):
            output.append(line)
        return int(line.split()[1]), output

    def close(self) -> None:
        try:
            self._send("kill $(jobs -p) 2>/dev/null; wait; exit")
            self.process.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=10)


@pytest.fixture
def shell(tmp_path):
    """A shell at a top of the checkout whose build/ is the build under
    test: the checkout's own files, linked, in a folder of the test's."""
    top = tmp_path / "checkout"
    top.mkdir()
    build = build_dir()
    for entry in REPO.iterdir():
        if not entry.name.startswith("build"):
            (top / entry.name).symlink_to(entry)
    (top / "build").symlink_to(build)
    started = Shell(top, str(tmp_path / "ktcomm-sim"))
    started.top = top
    yield started
    started.close()


def section(name: str, kind: str | None = None) -> list[readme_snippets.Block]:
    found = readme_snippets.in_section(BLOCKS, name, kind)
    assert found, f"the README has no {kind or ''} block in the section {name!r}"
    return found


def timeless(line: str) -> str:
    return re.sub(r"\b\d\d:\d\d:\d\d\.\d{3}\b", "HH:MM:SS.mmm", line)


def run_block(shell: Shell, block: readme_snippets.Block) -> list[str]:
    """Runs each command of a block in turn; each must succeed and print
    what the README shows under it. What the last command printed."""
    output: list[str] = []
    for command, shown in block.transcript():
        if command.startswith("cmake "):
            continue
        status, output = shell.run(command)
        where = f"README line {block.line}: {command}"
        assert status == 0, f"{where} exited with {status}:\n" + "\n".join(output)
        if shown:
            assert [timeless(line) for line in output] == [timeless(line) for line in shown], \
                f"{where} printed:\n" + "\n".join(output)
    return output


def start_session(shell: Shell) -> None:
    """The first session's set-up: the simulator, and port 1 pointed at it."""
    setup = section("A first session", "shell")[0]
    assert "ktcomm-sim" in setup.text and "export KTCOMM_COM1=" in setup.text
    run_block(shell, setup)


def test_first_session(shell):
    for block in section("A first session", "shell"):
        run_block(shell, block)


def test_c_example(shell):
    start_session(shell)
    (shell.top / "app.c").write_text(section("Using it from C", "c")[0].text)
    in_checkout = section("Using it from C", "shell")[0]
    assert "-Lbuild" in in_checkout.text
    output = run_block(shell, in_checkout)
    assert output == ["answer: cmd=10 len=1"]


def test_extension_examples(shell):
    start_session(shell)
    c_block = section("Beyond the eleven", "c")[0]
    python_block = section("Beyond the eleven", "python")[0]
    (shell.top / "ext.c").write_text(c_block.text)
    commands = section("Beyond the eleven", "shell")[0]
    assert "-Lbuild" in commands.text
    output = run_block(shell, commands)
    assert output[-2:] == ["modem lines: the device does not support this",
                           "open 1, lost 0, reports 0"], output
    assert all(line.startswith("device /dev/") for line in output[:-2]), output
    # A port that does not open says why.
    status, printed = shell.run("KTCOMM_COM1=/nonexistent/tty ./ext")
    assert (status, printed) == (1, output[:-2] + ["/nonexistent/tty: no such device"]), printed

    (shell.top / "ext.py").write_text(python_block.text)
    status, printed = shell.run("PYTHONPATH=python python3 ext.py")
    assert status == 0, "\n".join(printed)
    assert printed[1:] == ["PortStatus(open=True, lost=False, reports=0, last_report='')",
                           "port 1: the device does not support this"], printed
    assert f"# {printed[1]}" in python_block.text  # as its comment says
    status, printed = shell.run("KTCOMM_COM1=/nonexistent/tty PYTHONPATH=python python3 ext.py")
    assert printed[1:] == ["NO_DEVICE no such device None"], printed


def test_python_example(shell):
    if shutil.which("mypy") is None:
        pytest.skip("no mypy (Debian's mypy)")
    start_session(shell)
    blocks = section("Using it from Python")
    kinds = [block.kind for block in blocks]
    assert kinds[:3] == ["shell", "python", "shell"], kinds
    install, program, use = blocks[:3]
    run_block(shell, install)
    (shell.top / "app.py").write_text(program.text)
    status, printed = shell.run(use.transcript()[0][0])
    assert status == 0, "\n".join(printed)
    # What it prints is what its comment says it prints.
    frame, version = printed
    assert f"# {frame}" in program.text, frame
    assert version == "1.41"
    checked = run_block(shell, readme_snippets.Block(use.section, "shell",
                                                      use.transcript()[1][0] + "\n", use.line))
    assert checked[-1].startswith("Success"), checked
