"""The library's extension from Python: why a port did not open, a port's
status, modem lines and break, the device list, and PortLost raised by a
waiting call as soon as the device is gone, not at its time-out."""

import errno
import json
import os
import pathlib
import socket
import subprocess
import textwrap
import time

import pytest

import ktcomm
from conftest import DEADLINE_S, frame, read_line, stopped, wait_until
from test_waiting import Waiting

# Far beyond what a lost device may take to be noticed.
LONG_MS = 60000
PROMPTLY_S = 5


@pytest.fixture
def server():
    """A raw TCP server on 127.0.0.1 for tcp:// ports."""
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(DEADLINE_S)
    yield listener
    listener.close()


def url(listener):
    return f"tcp://127.0.0.1:{listener.getsockname()[1]}"


class TestOpenFailures:
    def test_each_reason_is_an_exception_of_its_own(self, line, server, tmp_path):
        missing = "/nonexistent/ttyS9"
        with pytest.raises(ktcomm.DeviceNotFound) as caught:
            ktcomm.Port(1, device=missing)
        failure = caught.value
        assert isinstance(failure, FileNotFoundError) and isinstance(failure, ktcomm.OpenFailed)
        assert str(failure) == f"port 1: cannot open {missing}: no such device"
        assert (failure.reason, failure.detail, failure.device, failure.errno) == (
            ktcomm.OpenReason.NO_DEVICE, "no such device", missing, errno.ENOENT)
        assert ktcomm.last_open_error(1) == ktcomm.OpenError(
            ktcomm.OpenReason.NO_DEVICE, "no such device", missing, None, errno.ENOENT)

        (tmp_path / "file").write_text("x")
        with pytest.raises(ktcomm.NotASerialDevice, match="not a serial device"):
            ktcomm.Port(1, device=tmp_path / "file")
        with pytest.raises(ktcomm.OpenFailed, match="malformed URL") as caught:
            ktcomm.Port(1, device="tcp://no-port")
        assert caught.value.reason is ktcomm.OpenReason.BAD_NAME
        refused = url(server)
        server.close()  # nothing listens there now
        with pytest.raises(ktcomm.ConnectionFailed, match="connection refused") as caught:
            ktcomm.Port(1, device=refused)
        assert isinstance(caught.value, ConnectionError)

        with ktcomm.Port(1, device=line.path):
            assert ktcomm.last_open_error(1) is None
            with pytest.raises(ktcomm.DeviceInUse) as caught:
                ktcomm.Port(2, device=line.path)
            assert caught.value.holder_pid == os.getpid()

    HOLDER = textwrap.dedent("""
        import signal, sys, ktcomm
        port = ktcomm.Port(1, device=sys.argv[1])
        print("open", flush=True)
        signal.pause()  # holds the port until killed
    """)

    def test_a_device_another_process_holds(self, line, spawn_python):
        holder = spawn_python(self.HOLDER, line.path)
        assert read_line(holder) == "open\n", stopped(holder)
        with pytest.raises(ktcomm.DeviceInUse) as caught:
            ktcomm.Port(4, device=line.path)
        assert caught.value.holder_pid == holder.pid
        assert caught.value.detail.startswith(f"in use by process {holder.pid} (")


def test_status_modem_lines_and_break_on_a_pty(line):
    alerts = []
    port = ktcomm.Port(5, device=line.path, tx_size=8,
                       on_alert=lambda caption, text: alerts.append(text))
    assert port.status() == ktcomm.PortStatus(True, False, 0, "")
    with pytest.raises(ktcomm.NotSupported, match="^port 5: the device does not support this$"):
        port.modem_lines()
    with pytest.raises(ktcomm.NotSupported):
        port.send_break(100)
    with pytest.raises(ValueError, match="duration_ms must be 1 to 5000"):
        port.send_break(0)
    # The library refuses bytes beyond the transmit buffer with a report.
    ktcomm._library.load().KTSendData(5, bytes(9), 9)
    assert port.status() == ktcomm.PortStatus(True, False, 1, alerts[0])
    assert port.is_open  # a report is no loss
    line.hang_up()
    assert wait_until(lambda: not port.is_open)
    status = port.status()
    assert status.open and status.lost and status.reports == 2
    assert "WaitCommEvent()" in status.last_report
    with pytest.raises(ktcomm.PortLost):
        port.modem_lines()
    port.close()


def test_list_devices_is_what_the_tool_lists(simulator):
    devices = ktcomm.list_devices()
    tool = pathlib.Path(simulator.program).with_name("ktcomm")
    listed = json.loads(subprocess.run([str(tool), "list", "--json"], capture_output=True,
                                       check=True, timeout=DEADLINE_S).stdout)
    assert [entry["path"] for entry in listed["devices"]] == [d.path for d in devices]
    for entry, device in zip(listed["devices"], devices):
        assert (device.usb is None) != (device.uart_type is None)
        if device.usb is not None:
            assert entry["usb"]["vendor_id"] == f"{device.usb.vendor_id:04x}"


@pytest.mark.parametrize("device", ["pty", "simulator", "server"])
def test_a_waiting_call_raises_port_lost_as_soon_as_the_device_is_gone(
        device, line, simulator, server):
    """However the device goes, a call that would wait a minute ends at once."""
    if device == "pty":
        port = ktcomm.Port(8, device=line.path)
    elif device == "simulator":
        port = ktcomm.Port(8, device=simulator("--reply", "3c="))  # never answers 3c
    else:
        port = ktcomm.Port(8, device=url(server))
        connection, _ = server.accept()
    waiting = Waiting(lambda: port.call(0x3C, timeout_ms=LONG_MS))
    if device == "pty":
        assert line.read(4) == frame(0x3C)
        gone = time.monotonic()
        line.hang_up()
    elif device == "simulator":
        assert wait_until(lambda: port._receiver._call is not None)  # it waits
        gone = time.monotonic()
        simulator.kill()
    else:
        connection.settimeout(DEADLINE_S)
        assert connection.recv(4) == frame(0x3C)
        gone = time.monotonic()
        connection.close()
    assert isinstance(waiting.result(), ktcomm.PortLost)
    assert time.monotonic() - gone < PROMPTLY_S
    assert port.status().lost
    port.close()
