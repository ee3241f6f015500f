"""Waiting calls: Ctrl-C, a device that goes away, expect=, and the frames
that arrive around an answer."""

import signal
import textwrap
import threading
import time

import pytest

import ktcomm
from conftest import DEADLINE_MS, DEADLINE_S, Line, frame, read_line, stopped, wait_until

# A while after the send, when the call has long been waiting.
LATER_S = 0.3


class Waiting(threading.Thread):
    """A call made on a thread of its own; result() is its answer or its
    exception."""

    def __init__(self, call):
        super().__init__(daemon=True)
        self.call = call
        self.outcome = None
        self.start()

    def run(self):
        try:
            self.outcome = self.call()
        except Exception as error:
            self.outcome = error

    def result(self):
        self.join(DEADLINE_S)
        assert not self.is_alive(), "the call did not end"
        return self.outcome


class TestInterrupt:
    CHILD = textwrap.dedent("""
        import signal, sys, time, ktcomm
        # As in an interactive shell, whatever this process inherited.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        port = ktcomm.Port(1, device=sys.argv[1])
        try:
            port.call(0x77, timeout_ms=None)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic(), flush=True)
        print(port.frames.get(timeout=10), flush=True)
        print(port.call(0x10, timeout_ms=10000), flush=True)
    """)

    @pytest.mark.parametrize("delay_s", [0, LATER_S], ids=["at-once", "later"])
    def test_ctrl_c_ends_a_call_without_limit(self, line, spawn_python, delay_s):
        child = spawn_python(self.CHILD, line.path)
        assert line.read(4) == frame(0x77), stopped(child)
        time.sleep(delay_s)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        said = read_line(child).split()
        assert said[:1] == ["interrupted"], stopped(child)
        # Both clocks are the system's monotonic clock.
        assert float(said[1]) - sent < 0.5
        # The answer that comes too late is not lost: it is unsolicited now.
        line.write(frame(0x10, b"\x01"))
        assert read_line(child) == "Frame(port=1, command=16, data=b'\\x01')\n"
        # And the port waits again as before.
        assert line.read(4) == frame(0x10)
        line.write(frame(0x10, b"\x02"))
        assert read_line(child) == "(16, b'\\x02')\n"


class TestLost:
    def test_a_killed_simulator_leaves_a_lost_port(self, simulator, capsys):
        port = ktcomm.Port(1, device=simulator())
        assert port.call(0x10, b"\x05", timeout_ms=DEADLINE_MS) == (0x10, b"\x05")
        simulator.kill()
        assert wait_until(lambda: not port.is_open)
        assert "WaitCommEvent()" in capsys.readouterr().err  # still shown as before
        for attempt in (lambda: port.call(0x10), lambda: port.wait(), lambda: port.send(0x10),
                        lambda: port.raw(b"x")):
            with pytest.raises(ktcomm.PortLost, match="^port 1: the device hung up$"):
                attempt()
        assert repr(port) == "<ktcomm.Port 1 lost>"
        port.close()
        with pytest.raises(ktcomm.PortNotOpen):
            port.send(0x10)
        # The number is free again.
        with ktcomm.Port(1, device=simulator()) as again:
            assert again.call(0x24, timeout_ms=DEADLINE_MS) == (0x24, b"")

    def test_a_waiting_call_ends_when_the_line_hangs_up(self, line):
        alerts = []
        port = ktcomm.Port(2, device=line.path, on_alert=lambda *text: alerts.append(text))
        waiting = Waiting(lambda: port.call(0x3C, timeout_ms=None))
        assert line.read(4) == frame(0x3C)
        time.sleep(LATER_S)
        line.hang_up()
        assert isinstance(waiting.result(), ktcomm.PortLost)
        assert [caption for caption, _ in alerts] == ["Application Error"]
        assert not port.is_open
        # A new Port on the number takes over from the lost one.
        second = Line()
        try:
            with ktcomm.Port(2, device=second.path) as again:
                assert again.is_open
                again.send(0x05)
                assert second.read(4) == frame(0x05)
        finally:
            second.close()


class TestExpect:
    @pytest.mark.parametrize("delay_s", [0, LATER_S], ids=["at-once", "later"])
    def test_expect_takes_its_frame_and_hands_on_the_others_in_order(self, line, delay_s):
        with ktcomm.Port(3, device=line.path) as port:
            waiting = Waiting(lambda: port.call(0x24, timeout_ms=DEADLINE_MS, expect=0x24))
            assert line.read(4) == frame(0x24)
            time.sleep(delay_s)
            line.write(frame(0x1A, b"\x01\x02") + frame(0x05) + frame(0x24, b"\x07") +
                       frame(0x1A, b"\x03"))
            assert waiting.result() == (0x24, b"\x07")
            queued = [port.frames.get(timeout=DEADLINE_S) for _ in range(3)]
        assert queued == [(3, 0x1A, b"\x01\x02"), (3, 0x05, b""), (3, 0x1A, b"\x03")]

    def test_streamed_frames_survive_waits_that_pass_them_over(self, simulator):
        # Every streamed frame carries the next sequence number: one lost,
        # doubled or reordered between waits breaks the run. (A send would
        # drop unread input: the library purges before each write.)
        device = simulator("--stream", "1000")
        with ktcomm.Port(4, device=device) as port:
            for timeout_ms in (0, 1, 50, 99, 100, 101, 250, 0, 1):
                started = time.monotonic()
                with pytest.raises(ktcomm.TimedOut,
                                   match=f"no frame with command 0x3c within {timeout_ms} ms"):
                    port.wait(timeout_ms=timeout_ms, expect=0x3C)
                # One overall time-out, however many frames were passed over.
                assert time.monotonic() - started < timeout_ms / 1000 + 1
            port.close()
        numbers = []
        while not port.frames.empty():
            numbers.append(port.frames.get_nowait().data[0])
        assert len(numbers) > 300
        assert [(b - a) % 256 for a, b in zip(numbers, numbers[1:])] == [1] * (len(numbers) - 1)

    def test_expect_is_a_byte(self, line):
        with ktcomm.Port(5, device=line.path) as port:
            with pytest.raises(ValueError, match="expect must be a byte"):
                port.wait(expect=256)


class TestOneCall:
    def test_the_frame_right_behind_the_answer_is_kept(self, line):
        # The library's own waiting functions drop what arrives between the
        # answer and the caller collecting it; these calls must not.
        with ktcomm.Port(6, device=line.path) as port:
            for number in range(20):
                waiting = Waiting(lambda: port.call(0x10, timeout_ms=DEADLINE_MS))
                assert line.read(4) == frame(0x10)
                line.write(frame(0x10, bytes([number])) + frame(0x1A, bytes([number])))
                assert waiting.result() == (0x10, bytes([number]))
                assert port.frames.get(timeout=DEADLINE_S) == (6, 0x1A, bytes([number]))

    def test_a_refused_send_or_an_overflow_ends_the_call(self, line):
        with ktcomm.Port(8, device=line.path, tx_size=8, rx_size=4) as port:
            with pytest.raises(ktcomm.BufferTooSmall, match="5 data bytes does not fit tx_size 8"):
                port.call(0x1A, bytes(5), timeout_ms=None)
            waiting = Waiting(lambda: port.raw_call(b"\x01", timeout_ms=None))
            assert line.read(1) == b"\x01"
            line.write(frame(0x1A, bytes(8)))  # more data than rx_size holds
            assert isinstance(waiting.result(), ktcomm.Overflow)
            # Neither left the port waiting.
            waiting = Waiting(lambda: port.call(0x24, timeout_ms=DEADLINE_MS))
            assert line.read(4) == frame(0x24)
            line.write(frame(0x24))
            assert waiting.result() == (0x24, b"")

    def test_a_second_call_is_refused_and_close_ends_the_first(self, line):
        port = ktcomm.Port(7, device=line.path)
        waiting = Waiting(lambda: port.call(0x3C, timeout_ms=None))
        assert line.read(4) == frame(0x3C)
        with pytest.raises(ktcomm.KTcommError, match="port 7: another call is already waiting"):
            port.call(0x10)
        port.close()
        error = waiting.result()
        assert isinstance(error, ktcomm.PortNotOpen)
        assert str(error) == "port 7 was closed while a call waited"
