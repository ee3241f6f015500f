"""The ktcomm module against the real library, over the simulator and over
pseudo-terminals."""

import queue
import re
import textwrap
import threading

import pytest

import ktcomm
from conftest import DEADLINE_MS, DEADLINE_S, REPO


def test_version_is_the_library_number():
    assert ktcomm.version() == "1.41"


def test_result_codes_are_the_headers():
    header = (REPO / "api" / "ktcomm.h").read_text()
    defined = {name: int(value) for name, value in
               re.findall(r"^#define\s+(KT_[A-Z_]+)\s+\(?\s*(-?\d+)\s*\)?\s*$", header, re.M)}
    if not defined:
        pytest.skip("the header names no result codes")
    names = ("KT_OK", "KT_OVERFLOW", "KT_OPEN_FAILED", "KT_NOT_OPEN", "KT_TOO_SMALL",
             "KT_BAD_PORT", "KT_TIMED_OUT")
    assert {name: defined.get(name) for name in names} == \
        {name: getattr(ktcomm, name) for name in names}
    # Each code names its exception.
    assert isinstance(ktcomm.errors.error_for(ktcomm.KT_TIMED_OUT, 1), ktcomm.TimedOut)
    assert isinstance(ktcomm.errors.error_for(ktcomm.KT_BAD_PORT, 11), ktcomm.InvalidPort)


class TestCalls:
    def test_call_returns_the_answer(self, simulator):
        device = simulator("--reply", "24=2401")
        with ktcomm.Port(1, device=device) as port:
            assert port.call(0x10, b"\x05", timeout_ms=DEADLINE_MS) == (0x10, b"\x05")
            assert port.call(0x24, timeout_ms=DEADLINE_MS) == (0x24, b"\x01")
            assert port.call(0x05, bytearray(), timeout_ms=None) == (0x05, b"")

    def test_protocol_2_and_raw_call(self, simulator):
        device = simulator("--protocol", "2")
        with ktcomm.Port(4, device=device, protocol=2) as port:
            assert port.call(0x1A, b"\x01\x02\x03", timeout_ms=DEADLINE_MS) == (0x1A, b"\1\2\3")
            # A protocol-2 frame written as it is.
            answer = port.raw_call(b"\x1b\xf3\x02\x00\x24\x07\x0d", timeout_ms=DEADLINE_MS)
            assert answer == (0x24, b"\x07")

    def test_silence_times_out(self, simulator):
        device = simulator("--reply", "3c=")
        with ktcomm.Port(1, device=device) as port:
            with pytest.raises(ktcomm.TimedOut, match="port 1: no frame within 200 ms") as caught:
                port.call(0x3C, timeout_ms=200)
            assert caught.value.code == -1
            with pytest.raises(TimeoutError):
                port.wait(timeout_ms=50)
            # The port still answers afterwards.
            assert port.call(0x10, b"\x05", timeout_ms=DEADLINE_MS) == (0x10, b"\x05")


class TestFrames:
    # Each streamed frame carries the next sequence number, and the library
    # stores every frame in the same buffer: a frame not copied inside the
    # callback would show a later frame's number.
    def test_streamed_frames_reach_the_queue_each_with_its_own_data(self, simulator):
        device = simulator("--stream", "200")
        with ktcomm.Port(2, device=device) as port:
            frames = [port.frames.get(timeout=DEADLINE_S) for _ in range(20)]
        assert {(frame.port, frame.command, len(frame.data)) for frame in frames} == {(2, 0x1A, 1)}
        numbers = [frame.data[0] for frame in frames]
        assert [(b - a) % 256 for a, b in zip(numbers, numbers[1:])] == [1] * 19

    def test_frames_go_to_a_given_queue_or_callback_on_the_worker(self, simulator):
        device = simulator("--stream", "100:1a:aabb")
        given = queue.Queue()
        with ktcomm.Port(3, device=device, frames=given) as port:
            assert port.frames is given
            assert given.get(timeout=DEADLINE_S) == ktcomm.Frame(3, 0x1A, b"\xaa\xbb")

        seen = []
        enough = threading.Event()

        def on_frame(frame):
            seen.append((frame, threading.get_ident()))
            if len(seen) == 3:
                enough.set()

        with ktcomm.Port(3, device=device, on_frame=on_frame) as port:
            assert port.frames is None
            assert enough.wait(DEADLINE_S)
        assert seen[0][0] == (3, 0x1A, b"\xaa\xbb")
        assert threading.get_ident() not in {ident for _, ident in seen}

    def test_unsolicited_frames_queue_while_wait_takes_the_next(self, line):
        with ktcomm.Port(5, device=line.path) as port:
            line.write(b"\x00\x80\x03\x1a\x01\x02")
            assert port.frames.get(timeout=DEADLINE_S) == (5, 0x1A, b"\x01\x02")
            results = []
            waiting = threading.Thread(target=lambda: results.append(port.wait(DEADLINE_MS)))
            waiting.start()
            # wait() resets what arrived before it; send until it has its frame.
            while waiting.is_alive():
                line.write(b"\x00\x80\x01\x05")
                waiting.join(0.05)
            assert results == [(0x05, b"")]

    def test_the_callback_may_not_wait_or_close(self, line):
        refused = []
        handled = threading.Event()

        def on_frame(frame):
            for attempt in (lambda: port.wait(10), port.close):
                try:
                    attempt()
                except ktcomm.KTcommError as error:
                    refused.append(str(error))
            handled.set()

        with ktcomm.Port(6, device=line.path, on_frame=on_frame) as port:
            line.write(b"\x00\x80\x01\x10")
            assert handled.wait(DEADLINE_S)
            assert port.is_open
        assert refused == [
            "port 6: wait() cannot be called from the port's own callback",
            "port 6: close() cannot be called from the port's own callback",
        ]


class TestSending:
    def test_send_and_raw_put_their_bytes_on_the_line(self, line):
        with ktcomm.Port(7, device=line.path, baud=9600, parity="e") as port:
            port.send(0x10, b"\x05")
            assert line.read(5) == b"\x00\x80\x02\x10\x05"
            port.send(0x24)
            assert line.read(4) == b"\x00\x80\x01\x24"
            port.raw(memoryview(b"\x1b\xf3 any\x00bytes"))
            assert line.read(12) == b"\x1b\xf3 any\x00bytes"


class TestErrors:
    def test_opening_names_what_is_wrong(self, line):
        with pytest.raises(ktcomm.InvalidPort, match=r"^11 is not a port number \(1 to 10\)$"):
            ktcomm.Port(11, device=line.path)
        with pytest.raises(ktcomm.OpenFailed, match="port 1: cannot open /nonexistent/tty"):
            ktcomm.Port(1, device="/nonexistent/tty")
        with pytest.raises(ktcomm.BufferTooSmall, match="tx_size must be at least 4"):
            ktcomm.Port(1, device=line.path, tx_size=3)
        with ktcomm.Port(1, device=line.path):
            with pytest.raises(ktcomm.KTcommError, match="port 1 is already open"):
                ktcomm.Port(1, device=line.path)
            # Devices are opened exclusively.
            with pytest.raises(OSError):
                ktcomm.Port(2, device=line.path)
        # Every failure above left the port free.
        with ktcomm.Port(1, device=line.path):
            pass

    def test_sizes_and_bytes_are_checked(self, line):
        with ktcomm.Port(8, device=line.path, tx_size=8) as port:
            with pytest.raises(ktcomm.BufferTooSmall,
                               match="port 8: a command with 5 data bytes does not fit tx_size 8"):
                port.send(0x1A, bytes(5))
            with pytest.raises(ktcomm.BufferTooSmall, match="9 bytes do not fit tx_size 8"):
                port.raw(bytes(9))
            with pytest.raises(ValueError, match="command must be a byte"):
                port.send(0x100)
            port.send(0x1A, bytes(4))  # exactly fits
            assert line.read(8) == b"\x00\x80\x05\x1a\x00\x00\x00\x00"

    def test_a_closed_port_refuses_everything(self, line):
        port = ktcomm.Port(9, device=line.path)
        port.close()
        port.close()  # harmless
        for attempt in (lambda: port.send(0x10), lambda: port.raw(b"x"), lambda: port.call(0x10),
                        lambda: port.wait(10), lambda: port.set_flow_control(rts=0)):
            with pytest.raises(ktcomm.PortNotOpen, match="^port 9 is not open$"):
                attempt()
        # Nor does it act on a newer Port with the same number.
        with ktcomm.Port(9, device=line.path):
            with pytest.raises(ktcomm.PortNotOpen):
                port.send(0x10)
            port.close()
            assert not port.is_open


def test_flow_control_on_a_pty(line):
    with ktcomm.Port(10, device=line.path) as port:
        port.set_flow_control(rts=2)  # a termios flag: a pty takes it
        # Modem-control lines: a pty has none.
        with pytest.raises(ktcomm.KTcommError, match="port 10: the device refused DTR mode 1"):
            port.set_flow_control(dtr=1)


class TestProcess:
    """What holds for a whole interpreter, each in a fresh one."""

    def test_traffic_log(self, simulator, run_python, tmp_path):
        log = tmp_path / "traffic.log"
        with pytest.raises(ValueError):
            ktcomm.set_log_file("")
        code = f"""
            import ktcomm
            ktcomm.set_log_file({str(log)!r})
            ktcomm.enable_logging(open_now=False)
            with ktcomm.Port(1, device={simulator()!r}) as port:
                print(port.call(0x10, b"\\x05", timeout_ms=10000))
        """
        run = run_python(textwrap.dedent(code))
        assert run.returncode == 0, run.stderr
        assert run.stdout == "(16, b'\\x05')\n"
        text = log.read_text()
        for part in (" COM1 opened", "Writing: 00 80 02 10 05 ", "Reading: ", " COM1 closed"):
            assert part in text

    def test_a_port_dropped_unclosed_keeps_working_until_exit(self, simulator, run_python):
        code = f"""
            import gc, threading, ktcomm
            more = threading.Event()
            counted = []
            def on_frame(frame):
                counted.append(frame)
                if len(counted) > 10:
                    more.set()
            ktcomm.Port(1, device={simulator("--stream", "200")!r}, on_frame=on_frame)
            gc.collect()
            print(more.wait(10))
        """
        run = run_python(textwrap.dedent(code))
        assert (run.returncode, run.stdout, run.stderr) == (0, "True\n", "")

    def test_the_library_is_looked_for_where_named(self, run_python):
        run = run_python("import ktcomm; ktcomm.version()",
                         {"KTCOMM_LIBRARY": "/nonexistent/libktcomm.so.1"})
        assert run.returncode != 0
        assert "LibraryNotFound: cannot load libktcomm; set KTCOMM_LIBRARY" in run.stderr
        assert "/nonexistent/libktcomm.so.1" in run.stderr
