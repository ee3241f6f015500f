"""One serial port through libktcomm."""

import atexit
import collections
import ctypes
import os
import queue
import threading

from . import _library
from .errors import BufferTooSmall, KTcommError, PortNotOpen, check

Frame = collections.namedtuple("Frame", "port command data")
Frame.__doc__ = "A frame the port received: port number, command byte and data bytes."

# The Port holding each port number open in this process. The library keeps
# the address of the port's KTWindow and calls through it until the port
# closes, so this entry keeps the window and its callbacks alive even when
# the application drops its Port without closing it.
_open_ports = {}
_open_lock = threading.Lock()


def _byte(value, what):
    if not 0 <= value <= 0xFF:
        raise ValueError(f"{what} must be a byte (0 to 255), not {value}")
    return value


def _timeout(timeout_ms):
    if timeout_ms is None:
        return _library.WAIT_FOREVER
    if not 0 <= timeout_ms < _library.WAIT_FOREVER:
        raise ValueError(f"timeout_ms must be 0 to {_library.WAIT_FOREVER - 1} or None")
    return timeout_ms


def device_path(number):
    """The device the library opens for port `number`."""
    return os.environ.get(f"KTCOMM_COM{number}") or f"/dev/ttyS{number - 1}"


class Port:
    """An open port; opened by the constructor, closed by close() or at the
    end of a with block (and for any still open when the interpreter exits).

    Frames that arrive while no call waits for one go to on_frame(frame) when
    it is given, else into the queue.Queue `frames` (a new one by default,
    available as .frames). on_frame runs on the port's worker thread: it must
    return promptly and must not wait, open or close a port; an exception it
    raises is printed and dropped. on_alert(caption, text), also on the
    worker, receives the library's error texts, which otherwise go to
    standard error.

    device, when given, is put into KTCOMM_COM<number> before opening. The
    other settings are KTOpenPort's: parity is one of N E O M S, protocol 1
    (00 80 ... frames) or 2 (1b f3 ...), tx_size and rx_size the buffer sizes.
    """

    def __init__(self, number, *, device=None, baud=115200, parity="N", data_bits=8, stop_bits=1,
                 protocol=1, tx_size=256, rx_size=256, frames=None, on_frame=None,
                 on_alert=None):
        if frames is not None and on_frame is not None:
            raise ValueError("give frames or on_frame, not both")
        self.number = number
        self.tx_size = tx_size
        self.rx_size = rx_size
        self.frames = None
        if on_frame is None:
            self.frames = frames if frames is not None else queue.Queue()
            on_frame = self.frames.put
        self._lib = _library.load()
        self._worker = None  # ident of the thread the library calls back on
        self._window = _library.KTWindow()
        self._window.post = _library.POST(self._make_post(on_frame))
        if on_alert is not None:
            self._window.alert = _library.ALERT(self._make_alert(on_alert))
        if device is not None and 1 <= number <= 10:
            os.environ[f"KTCOMM_COM{number}"] = os.fspath(device)
        if isinstance(parity, str) and len(parity) == 1:
            parity = ord(parity.upper())
        with _open_lock:
            if number in _open_ports:
                raise KTcommError(f"port {number} is already open in this process")
            code = self._lib.KTOpenPort(ctypes.byref(self._window), number, tx_size, rx_size, baud,
                                        parity, data_bits, stop_bits, protocol)
            check(code, number, device=device_path(number),
                  too_small="tx_size must be at least 4 and rx_size at least 0")
            _open_ports[number] = self

    def _make_post(self, deliver):
        def post(_window, message, wparam, lparam):
            # The data lives in the port's buffer only until its next frame,
            # so it is copied before this returns.
            self._worker = threading.get_ident()
            if message != _library.WM_PORT_MESSAGE:
                return
            data = ctypes.string_at(lparam, wparam >> 16) if lparam else b""
            deliver(Frame((wparam >> 8) & 0xFF, wparam & 0xFF, data))
        return post

    def _make_alert(self, on_alert):
        def alert(_window, caption, text):
            self._worker = threading.get_ident()
            on_alert((caption or b"").decode(errors="replace"),
                     (text or b"").decode(errors="replace"))
        return alert

    @property
    def is_open(self):
        return _open_ports.get(self.number) is self

    def _require_open(self):
        if not self.is_open:
            raise PortNotOpen(f"port {self.number} is not open", 5)

    def _forbid_on_worker(self, what):
        # The worker would wait for itself.
        if threading.get_ident() == self._worker:
            raise KTcommError(f"port {self.number}: {what} cannot be called from the port's own "
                              "callback")

    def send(self, command, data=b""):
        """Queues the command frame 00 80 <len+1> <command> <data> and returns
        without waiting for the write. A later send replaces one the worker has
        not taken yet."""
        self._require_open()
        data = bytes(data)
        code = self._lib.KTSendCommand(self.number, _byte(command, "command"), len(data), data)
        check(code, self.number,
              too_small=f"a command with {len(data)} data bytes does not fit tx_size "
              f"{self.tx_size}")

    def raw(self, data):
        """Queues bytes as they are, like send()."""
        self._require_open()
        data = bytes(data)
        # The library would refuse these with an error text and still succeed.
        if len(data) > self.tx_size:
            raise BufferTooSmall(
                f"port {self.number}: {len(data)} bytes do not fit tx_size {self.tx_size}", 6)
        check(self._lib.KTSendData(self.number, data, len(data)), self.number)

    def call(self, command, data=b"", timeout_ms=1000):
        """Sends a command frame and returns the next frame that arrives as
        (command, data). Raises TimedOut after timeout_ms (None: no limit)."""
        data = bytes(data)
        return self._receive(
            "call()", self._lib.KTSendCommandAndWait,
            (_byte(command, "command"), data, len(data)), timeout_ms,
            f"a command with {len(data)} data bytes does not fit tx_size {self.tx_size}")

    def raw_call(self, data, timeout_ms=1000):
        """Sends bytes as they are and returns the next frame, like call().
        Raises Overflow when the receive buffer overflowed meanwhile."""
        data = bytes(data)
        return self._receive("raw_call()", self._lib.KTSendDataAndWait, (data, len(data)),
                             timeout_ms, f"{len(data)} bytes do not fit tx_size {self.tx_size}")

    def wait(self, timeout_ms=1000):
        """Returns the next frame that arrives as (command, data), like call()."""
        return self._receive("wait()", self._lib.KTWaitForMessage, (), timeout_ms, None)

    def _receive(self, what, function, sent, timeout_ms, too_small):
        self._require_open()
        self._forbid_on_worker(what)
        command = ctypes.c_ubyte()
        # No frame carries more data than the receive buffer holds.
        answer = ctypes.create_string_buffer(max(self.rx_size, 1))
        length = ctypes.c_uint32(len(answer))
        code = function(self.number, *sent, _timeout(timeout_ms), ctypes.byref(command), answer,
                        ctypes.byref(length))
        check(code, self.number, timeout_ms=timeout_ms, too_small=too_small)
        return command.value, answer.raw[:length.value]

    def set_flow_control(self, dtr=None, rts=None):
        """Sets the DTR mode (0 off, 1 on) and the RTS mode (0 off, 1 on,
        2 hardware handshake, 3 toggle); None keeps a setting. Raises
        KTcommError when the device refuses."""
        self._require_open()

        def mode(value):
            return 0xFFFFFFFF if value is None else value

        if not self._lib.KTSetFlowControl(self.number, mode(dtr), mode(rts)):
            raise KTcommError(f"port {self.number}: the device refused DTR mode {dtr}, RTS mode "
                              f"{rts}")

    def close(self):
        """Stops the port's worker and releases the device; bytes still queued
        may not be written. Harmless on a closed port."""
        self._forbid_on_worker("close()")
        # Held across the close, so that nobody opens the number in between;
        # the worker's callbacks never take it.
        with _open_lock:
            if _open_ports.get(self.number) is not self:
                return
            self._lib.KTClosePort(self.number)
            del _open_ports[self.number]

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def __repr__(self):
        state = "open" if self.is_open else "closed"
        return f"<ktcomm.Port {self.number} {state}>"


@atexit.register
def _close_all():
    # A worker must not call into an interpreter that is shutting down.
    for port in list(_open_ports.values()):
        port.close()
