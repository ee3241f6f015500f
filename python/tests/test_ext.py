"""The library's extension from Python: why a port did not open, a port's
status, modem lines and break, the device list, and PortLost raised by a
waiting call as soon as the device is gone, not at its time-out."""

import asyncio
import errno
import json
import os
import pathlib
import socket
import subprocess
import textwrap
import threading
import time

import pytest

import ktcomm
from conftest import DEADLINE_MS, DEADLINE_S, frame, read_line, stopped, wait_until
from test_waiting import Waiting

# Far beyond what a lost device may take to be noticed.
LONG_MS = 60000
PROMPTLY_S = 5


class Server:
    """A raw TCP server on 127.0.0.1 for tcp:// ports: takes one connection,
    reads what the port sends, and closes the connection when told."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = f"tcp://127.0.0.1:{self.listener.getsockname()[1]}"
        self.connection = None

    def read(self, count):
        self.listener.settimeout(DEADLINE_S)
        if self.connection is None:
            self.connection, _ = self.listener.accept()
            self.connection.settimeout(DEADLINE_S)
        data = b""
        while len(data) < count:
            data += self.connection.recv(count - len(data))
        return data

    def drop(self):
        self.connection.close()
        self.connection = None

    def close(self):
        if self.connection is not None:
            self.connection.close()
        self.listener.close()


@pytest.fixture
def server():
    started = Server()
    yield started
    started.close()


class TestOpenFailures:
    def test_each_reason_is_an_exception_of_its_own(self, line, tmp_path):
        missing = "/nonexistent/ttyS9"
        with pytest.raises(ktcomm.DeviceNotFound) as caught:
            ktcomm.Port(1, device=missing)
        failure = caught.value
        assert isinstance(failure, FileNotFoundError) and isinstance(failure, ktcomm.OpenFailed)
        assert str(failure) == f"port 1: cannot open {missing}: no such device"
        assert failure.reason is ktcomm.OpenReason.NO_DEVICE
        assert (failure.detail, failure.device, failure.errno) == ("no such device", missing,
                                                                  errno.ENOENT)
        assert failure.code == ktcomm.KT_OPEN_FAILED
        assert ktcomm.last_open_error(1) == ktcomm.OpenError(
            ktcomm.OpenReason.NO_DEVICE, "no such device", missing, None, errno.ENOENT)

        text_file = tmp_path / "not-a-tty"
        text_file.write_text("x")
        with pytest.raises(ktcomm.NotASerialDevice, match="not a serial device"):
            ktcomm.Port(1, device=text_file)
        with pytest.raises(ktcomm.OpenFailed, match="malformed URL") as caught:
            ktcomm.Port(1, device="tcp://no-port")
        assert caught.value.reason is ktcomm.OpenReason.BAD_NAME
        assert not isinstance(caught.value, ConnectionError)

        with ktcomm.Port(1, device=line.path):
            assert ktcomm.last_open_error(1) is None
            with pytest.raises(ktcomm.DeviceInUse) as caught:
                ktcomm.Port(2, device=line.path)
            assert caught.value.holder_pid == os.getpid()
            assert caught.value.detail == "in use by this process (another port has it open)"

    def test_a_refused_connection(self, server):
        port = server.listener.getsockname()[1]
        server.listener.close()  # nothing listens there now
        with pytest.raises(ktcomm.ConnectionFailed) as caught:
            ktcomm.Port(3, device=f"tcp://127.0.0.1:{port}")
        assert isinstance(caught.value, ConnectionError)
        assert caught.value.reason is ktcomm.OpenReason.REFUSED
        assert caught.value.detail == f"connection refused (nothing listens on port {port})"

    # Holds the port until it is killed.
    HOLDER = textwrap.dedent("""
        import signal, sys, ktcomm
        port = ktcomm.Port(1, device=sys.argv[1])
        print("open", flush=True)
        signal.pause()
    """)

    def test_a_device_another_process_holds(self, line, spawn_python):
        holder = spawn_python(self.HOLDER, line.path)
        assert read_line(holder) == "open\n", stopped(holder)
        with pytest.raises(ktcomm.DeviceInUse) as caught:
            ktcomm.Port(4, device=line.path)
        assert caught.value.holder_pid == holder.pid
        assert caught.value.detail.startswith(f"in use by process {holder.pid} (")


class TestStatus:
    def test_reports_and_a_hang_up(self, line):
        alerts = []
        port = ktcomm.Port(5, device=line.path, tx_size=8,
                           on_alert=lambda caption, text: alerts.append(text))
        assert port.status() == ktcomm.PortStatus(True, False, 0, "")
        # The library refuses bytes beyond the transmit buffer with a report.
        port._lib.KTSendData(5, bytes(9), 9)
        assert port.status().reports == 1 and port.status().last_report == alerts[0]
        assert port.is_open and not port.status().lost  # a report is no loss
        line.hang_up()
        assert wait_until(lambda: not port.is_open)
        status = port.status()
        assert status.open and status.lost and status.reports == 2
        assert "WaitCommEvent()" in status.last_report
        port.close()
        assert port.status() == ktcomm.PortStatus(False, True, 2, status.last_report)


class TestModemLines:
    def test_a_pty_has_no_modem_lines_and_sends_no_break(self, line):
        with ktcomm.Port(6, device=line.path) as port:
            with pytest.raises(ktcomm.NotSupported, match="^port 6: the device does not support"):
                port.modem_lines()
            with pytest.raises(ktcomm.NotSupported):
                port.send_break(100)
            for bad in (0, 5001, -1):
                with pytest.raises(ValueError, match="duration_ms must be 1 to 5000"):
                    port.send_break(bad)
            port.send(0x10)  # and works on
            assert line.read(4) == frame(0x10)
        with pytest.raises(ktcomm.PortNotOpen):
            port.modem_lines()

    def test_a_network_device_has_none(self, server):
        with ktcomm.Port(7, device=server.url) as port:
            with pytest.raises(ktcomm.NotSupported):
                port.modem_lines()
            with pytest.raises(ktcomm.NotSupported):
                port.send_break()

    def test_the_values(self):
        assert ktcomm._ext.modem_lines(0x01 | 0x08 | 0x20) == ktcomm.ModemLines(
            cts=True, dsr=False, dcd=False, ri=True, dtr=False, rts=True)


def test_list_devices_is_what_the_tool_lists(simulator):
    devices = ktcomm.list_devices()
    for device in devices:
        assert device.path.startswith("/dev/") and device.tty.startswith("/dev/")
        assert (device.usb is None) != (device.uart_type is None)
    tool = pathlib.Path(simulator.program).with_name("ktcomm")
    if not tool.exists():
        pytest.skip("the ktcomm tool is not built")
    listed = json.loads(subprocess.run([str(tool), "list", "--json"], capture_output=True,
                                       check=True, timeout=DEADLINE_S).stdout)
    assert [entry["path"] for entry in listed["devices"]] == [d.path for d in devices]
    for entry, device in zip(listed["devices"], devices):
        if device.usb is not None:
            assert entry["usb"]["vendor_id"] == f"{device.usb.vendor_id:04x}"


class TestLostAtOnce:
    """A call that waits far longer than it takes to notice the device gone
    raises PortLost as soon as it is, however it goes."""

    def test_a_pty_that_hangs_up(self, line):
        port = ktcomm.Port(8, device=line.path)
        waiting = Waiting(lambda: port.call(0x3C, timeout_ms=LONG_MS))
        assert line.read(4) == frame(0x3C)
        gone = time.monotonic()
        line.hang_up()
        assert isinstance(waiting.result(), ktcomm.PortLost)
        assert time.monotonic() - gone < PROMPTLY_S
        port.close()

    def test_a_simulator_killed_mid_call(self, simulator):
        port = ktcomm.Port(8, device=simulator("--reply", "3c="))  # never answers 3c
        assert port.call(0x10, b"\x05", timeout_ms=DEADLINE_MS) == (0x10, b"\x05")
        waiting = Waiting(lambda: port.call(0x3C, timeout_ms=LONG_MS))
        gone = time.monotonic()
        simulator.kill()
        assert isinstance(waiting.result(), ktcomm.PortLost)
        assert time.monotonic() - gone < PROMPTLY_S
        assert port.status().lost
        port.close()

    def test_a_server_that_drops_the_connection(self, server):
        port = ktcomm.Port(8, device=server.url)
        waiting = Waiting(lambda: port.call(0x3C, timeout_ms=LONG_MS))
        assert server.read(4) == frame(0x3C)
        gone = time.monotonic()
        server.drop()
        error = waiting.result()
        assert isinstance(error, ktcomm.PortLost), error
        assert time.monotonic() - gone < PROMPTLY_S
        port.close()

    def test_an_awaited_call_too(self, server):
        async def main():
            port = ktcomm.Port(8, device=server.url)
            try:
                call = asyncio.ensure_future(port.acall(0x3C, timeout_ms=LONG_MS))
                await asyncio.get_running_loop().run_in_executor(None, server.read, 4)
                gone = time.monotonic()
                server.drop()
                with pytest.raises(ktcomm.PortLost):
                    await asyncio.wait_for(call, DEADLINE_S)
                return time.monotonic() - gone
            finally:
                port.close()

        assert asyncio.run(main()) < PROMPTLY_S
