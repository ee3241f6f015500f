"""One serial port through libktcomm."""

from __future__ import annotations

import asyncio
import atexit
import ctypes
import os
import queue
import sys
import threading
import time
from typing import Any, AsyncIterator, Callable, Union

from . import _ext, _library
from ._ext import ModemLines, PortStatus
from ._receiver import Call, Frame, Receiver
from .errors import (KT_NOT_OPEN, KT_OK, KT_OPEN_FAILED, KT_TOO_SMALL, KTX_DEVICE_FAILED,
                     BufferTooSmall, KTcommError, PortNotOpen, check, error_for,
                     open_failed)

__all__ = ["Frame", "Port", "device_path"]

# The library names a receive overflow by this text.
_OVERFLOW_TEXT = "Incoming buffer overflow"

BytesLike = Union[bytes, bytearray, memoryview]

# The Port holding each port number open in this process. The library keeps
# the address of the port's KTWindow and calls through it until the port
# closes, so this entry keeps the window and its callbacks alive even when
# the application drops its Port without closing it.
_open_ports: dict[int, Port] = {}
_open_lock = threading.Lock()


def _byte(value: int, what: str) -> int:
    if not 0 <= value <= 0xFF:
        raise ValueError(f"{what} must be a byte (0 to 255), not {value}")
    return value


def _check_timeout(timeout_ms: int | None) -> None:
    if timeout_ms is not None and not 0 <= timeout_ms < _library.WAIT_FOREVER:
        raise ValueError(f"timeout_ms must be 0 to {_library.WAIT_FOREVER - 1} or None")


def device_path(number: int) -> str:
    """The device the library opens for port `number`."""
    return os.environ.get(f"KTCOMM_COM{number}") or f"/dev/ttyS{number - 1}"


class Port:
    """An open port; opened by the constructor, closed by close() or at the
    end of a with block (and for any still open when the interpreter exits).

    Frames that arrive while no call waits for one go to on_frame(frame) when
    it is given, else into the queue.Queue `frames` (a new one by default,
    available as .frames). on_frame runs on the port's worker thread (or, for
    a frame that came for a call just as Ctrl-C ended it, on the caller's):
    it must return promptly and must not wait, open or close a port; an
    exception it raises is printed and dropped. on_alert(caption, text), also
    on the worker, receives the library's error texts, which otherwise go to
    standard error.

    A report that the device hung up (or its server went away) marks the
    port lost: is_open turns False, a waiting call raises PortLost, and so
    does every later call but close(). Open the port again to go on.

    device, when given, is put into KTCOMM_COM<number> before opening. The
    other settings are KTOpenPort's: parity is one of N E O M S, protocol 1
    (00 80 ... frames) or 2 (1b f3 ...), tx_size and rx_size the buffer sizes.
    """

    frames: queue.Queue[Frame] | None

    def __init__(self, number: int, *, device: str | os.PathLike[str] | None = None,
                 baud: int = 115200, parity: str | int = "N", data_bits: int = 8,
                 stop_bits: int = 1, protocol: int = 1, tx_size: int = 256, rx_size: int = 256,
                 frames: queue.Queue[Frame] | None = None,
                 on_frame: Callable[[Frame], Any] | None = None,
                 on_alert: Callable[[str, str], Any] | None = None) -> None:
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
        self._worker: int | None = None  # ident of the thread the library calls back on
        self._receiver = Receiver(number, on_frame)
        self._window = _library.KTWindow()
        self._window.post = _library.POST(self._make_post())
        # Always given, so that a hang-up is seen; the texts still go where
        # the library would send them.
        self._window.alert = _library.ALERT(self._make_alert(on_alert))
        if device is not None and 1 <= number <= 10:
            os.environ[f"KTCOMM_COM{number}"] = os.fspath(device)
        if isinstance(parity, str) and len(parity) == 1:
            parity = ord(parity.upper())
        with _open_lock:
            previous = _open_ports.get(number)
            if previous is not None and previous._receiver.lost:
                previous._close_locked()  # its device is gone; this one takes over
            elif previous is not None:
                raise KTcommError(f"port {number} is already open in this process")
            code = self._lib.KTOpenPort(ctypes.byref(self._window), number, tx_size, rx_size, baud,
                                        parity, data_bits, stop_bits, protocol)
            if code == KT_OPEN_FAILED:
                raise self._open_failure()
            check(code, number, device=device_path(number),
                  too_small="tx_size must be at least 4 and rx_size at least 0")
            _open_ports[number] = self

    def _open_failure(self) -> KTcommError:
        why = _ext.last_open_error(self.number)
        if why is None:
            return error_for(KT_OPEN_FAILED, self.number, device=device_path(self.number))
        return open_failed(self.number, why.reason, why.detail,
                           why.device or device_path(self.number), why.holder_pid,
                           why.system_error)

    def _make_post(self) -> Callable[..., None]:
        def post(_window: Any, message: int, wparam: int, lparam: int) -> None:
            # The data lives in the port's buffer only until its next frame,
            # so it is copied before this returns.
            self._worker = threading.get_ident()
            if message != _library.WM_PORT_MESSAGE:
                return
            data = ctypes.string_at(lparam, wparam >> 16) if lparam else b""
            self._receiver.post(Frame((wparam >> 8) & 0xFF, wparam & 0xFF, data))
        return post

    def _make_alert(self, on_alert: Callable[[str, str], Any] | None) -> Callable[..., None]:
        def alert(_window: Any, caption: bytes | None, text: bytes | None) -> None:
            caption_text = (caption or b"").decode(errors="replace")
            message = (text or b"").decode(errors="replace")
            # The library counts the port as lost by the time it reports why.
            # Only the worker finds that; other texts may come from the thread
            # that opens the port.
            if not self._receiver.lost and _ext.port_status(self.number).lost:
                self._worker = threading.get_ident()
                self._receiver.hung_up()
            elif _OVERFLOW_TEXT in message:
                self._receiver.overflowed()
            if on_alert is not None:
                on_alert(caption_text, message)
            else:
                sys.stderr.write(f"{caption_text}: {message}")
                sys.stderr.flush()
        return alert

    @property
    def is_open(self) -> bool:
        """True from the open until close() or until the device is lost."""
        return _open_ports.get(self.number) is self and not self._receiver.lost

    def _require_open(self) -> None:
        if _open_ports.get(self.number) is not self:
            raise PortNotOpen(f"port {self.number} is not open", KT_NOT_OPEN)
        if self._receiver.lost:
            raise self._receiver.lost_error()

    def _forbid_on_worker(self, what: str) -> None:
        # The worker would wait for itself.
        if threading.get_ident() == self._worker:
            raise KTcommError(f"port {self.number}: {what} cannot be called from the port's own "
                              "callback")

    def send(self, command: int, data: BytesLike = b"") -> None:
        """Queues the command frame 00 80 <len+1> <command> <data> and returns
        without waiting for the write. A later send replaces one the worker has
        not taken yet."""
        self._require_open()
        self._send_command(command, bytes(data))

    def raw(self, data: BytesLike) -> None:
        """Queues bytes as they are, like send()."""
        self._require_open()
        self._send_raw(bytes(data))

    def _send_command(self, command: int, data: bytes) -> None:
        code = self._lib.KTSendCommand(self.number, _byte(command, "command"), len(data), data)
        check(code, self.number,
              too_small=f"a command with {len(data)} data bytes does not fit tx_size "
              f"{self.tx_size}")

    def _send_raw(self, data: bytes) -> None:
        # The library would refuse these with an error text and still succeed.
        if len(data) > self.tx_size:
            raise BufferTooSmall(
                f"port {self.number}: {len(data)} bytes do not fit tx_size {self.tx_size}",
                KT_TOO_SMALL)
        check(self._lib.KTSendData(self.number, data, len(data)), self.number)

    # --- waiting calls. Each returns (command, data) of the frame it took;
    # Ctrl-C or a cancelled task ends the wait at once, and a frame that
    # comes for it later is handed on as unsolicited.

    def call(self, command: int, data: BytesLike = b"", timeout_ms: int | None = 1000,
             expect: int | None = None) -> tuple[int, bytes]:
        """Sends a command frame and returns the next frame that arrives as
        (command, data); with expect, the first frame with that command byte,
        handing the others on as unsolicited frames. Raises TimedOut after
        timeout_ms (None: no limit), PortLost when the device goes away."""
        return self._wait_for(self._begin_call(command, data, timeout_ms, expect))

    def raw_call(self, data: BytesLike, timeout_ms: int | None = 1000,
                 expect: int | None = None) -> tuple[int, bytes]:
        """Sends bytes as they are and returns the next frame, like call().
        Raises Overflow when the receive buffer overflows meanwhile."""
        return self._wait_for(self._begin_raw_call(data, timeout_ms, expect))

    def wait(self, timeout_ms: int | None = 1000,
             expect: int | None = None) -> tuple[int, bytes]:
        """Returns the next frame that arrives as (command, data), like call()."""
        return self._wait_for(self._begin("wait()", None, timeout_ms, expect))

    async def acall(self, command: int, data: BytesLike = b"", timeout_ms: int | None = 1000,
                    expect: int | None = None) -> tuple[int, bytes]:
        """call() for asyncio: the event loop runs on while it waits."""
        return await self._await_for(self._begin_call(command, data, timeout_ms, expect))

    async def araw_call(self, data: BytesLike, timeout_ms: int | None = 1000,
                        expect: int | None = None) -> tuple[int, bytes]:
        """raw_call() for asyncio."""
        return await self._await_for(self._begin_raw_call(data, timeout_ms, expect))

    async def await_frame(self, timeout_ms: int | None = 1000,
                          expect: int | None = None) -> tuple[int, bytes]:
        """wait() for asyncio."""
        return await self._await_for(self._begin("wait()", None, timeout_ms, expect))

    async def aframes(self) -> AsyncIterator[Frame]:
        """The frames of the `frames` queue as they come, for `async for`:
        those queued already first. Ends when the port is closed; raises
        PortLost once the queue is empty after the device went away."""
        frames = self.frames
        if frames is None:
            raise ValueError(f"port {self.number} hands its frames to on_frame, not to a queue")
        loop = asyncio.get_running_loop()
        arrived = asyncio.Event()

        def wake() -> None:
            try:
                loop.call_soon_threadsafe(arrived.set)
            except RuntimeError:  # the loop is closed
                pass

        self._receiver.add_waker(wake)
        try:
            while True:
                # Cleared before looking, so that a frame put after the look
                # sets it again.
                arrived.clear()
                try:
                    frame = frames.get_nowait()
                except queue.Empty:
                    if self._receiver.lost:
                        raise self._receiver.lost_error() from None
                    if self._receiver.closed:
                        return
                    await arrived.wait()
                    continue
                yield frame
        finally:
            self._receiver.remove_waker(wake)

    def _begin_call(self, command: int, data: BytesLike, timeout_ms: int | None,
                    expect: int | None) -> Call:
        payload = bytes(data)
        _byte(command, "command")
        return self._begin("call()", lambda: self._send_command(command, payload), timeout_ms,
                           expect)

    def _begin_raw_call(self, data: BytesLike, timeout_ms: int | None,
                        expect: int | None) -> Call:
        payload = bytes(data)
        return self._begin("raw_call()", lambda: self._send_raw(payload), timeout_ms, expect,
                           overflow_fails=True)

    def _begin(self, what: str, send: Callable[[], None] | None, timeout_ms: int | None,
               expect: int | None, overflow_fails: bool = False) -> Call:
        self._require_open()
        self._forbid_on_worker(what)
        _check_timeout(timeout_ms)
        if expect is not None:
            _byte(expect, "expect")
        deadline = None if timeout_ms is None else time.monotonic() + timeout_ms / 1000
        wanted = "no frame" if expect is None else f"no frame with command {expect:#04x}"
        call = Call(expect, deadline, f"{wanted} within {timeout_ms} ms", overflow_fails)
        self._receiver.start(call, send)
        return call

    def _wait_for(self, call: Call) -> tuple[int, bytes]:
        frame = self._receiver.wait(call)
        return frame.command, frame.data

    async def _await_for(self, call: Call) -> tuple[int, bytes]:
        frame = await self._receiver.await_(call)
        return frame.command, frame.data

    def status(self) -> PortStatus:
        """The library's status of this port number: open, lost (its device
        hung up or its server closed the connection), the number of error
        reports since it opened and the last one's text."""
        return _ext.port_status(self.number)

    def modem_lines(self) -> ModemLines:
        """The levels of the modem lines (CTS, DSR, DCD, RI and the outputs
        DTR, RTS). Raises NotSupported on a device that has none (a
        pseudo-terminal, a network device), PortLost once it is gone."""
        self._require_open()
        lines = ctypes.c_uint32(0)
        self._check_device_call(self._lib.KTXGetModemLines(self.number, ctypes.byref(lines)))
        return _ext.modem_lines(lines.value)

    def send_break(self, duration_ms: int = 250) -> None:
        """Holds the transmit line in the break condition for duration_ms
        (1 to 5000) and returns when it is released. Raises NotSupported on a
        device that cannot send one (a pseudo-terminal, a network device)."""
        if not 1 <= duration_ms <= _ext.MAX_BREAK_MS:
            raise ValueError(f"duration_ms must be 1 to {_ext.MAX_BREAK_MS}, not {duration_ms}")
        self._require_open()
        self._forbid_on_worker("send_break()")
        self._check_device_call(self._lib.KTXSendBreak(self.number, duration_ms))

    def _check_device_call(self, code: int) -> None:
        if code == KTX_DEVICE_FAILED and self._receiver.lost:
            raise self._receiver.lost_error()
        if code != KT_OK:
            raise error_for(code, self.number)

    def set_flow_control(self, dtr: int | None = None, rts: int | None = None) -> None:
        """Sets the DTR mode (0 off, 1 on) and the RTS mode (0 off, 1 on,
        2 hardware handshake, 3 toggle); None keeps a setting. Raises
        KTcommError when the device refuses."""
        self._require_open()

        def mode(value: int | None) -> int:
            return 0xFFFFFFFF if value is None else value

        if not self._lib.KTSetFlowControl(self.number, mode(dtr), mode(rts)):
            raise KTcommError(f"port {self.number}: the device refused DTR mode {dtr}, RTS mode "
                              f"{rts}")

    def close(self) -> None:
        """Stops the port's worker and releases the device; bytes still queued
        may not be written, and a call still waiting raises PortNotOpen.
        Harmless on a closed port."""
        self._forbid_on_worker("close()")
        # Held across the close, so that nobody opens the number in between;
        # the worker's callbacks never take it.
        with _open_lock:
            if _open_ports.get(self.number) is self:
                self._close_locked()

    def _close_locked(self) -> None:
        self._receiver.close()
        self._lib.KTClosePort(self.number)
        del _open_ports[self.number]

    def __enter__(self) -> Port:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "open" if self.is_open else "lost" if self._receiver.lost else "closed"
        return f"<ktcomm.Port {self.number} {state}>"


@atexit.register
def _close_all() -> None:
    # A worker must not call into an interpreter that is shutting down.
    for port in list(_open_ports.values()):
        port.close()
