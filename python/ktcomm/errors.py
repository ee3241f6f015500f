"""The library's result codes, under the names its header gives them, and the
exceptions they become."""

from __future__ import annotations

KT_OK = 0
KT_OVERFLOW = 1
KT_OPEN_FAILED = 3
KT_NOT_OPEN = 5
KT_TOO_SMALL = 6
KT_BAD_PORT = 7
KT_TIMED_OUT = -1


class KTcommError(Exception):
    """A KTcomm call failed. code is the library's result code, or None where
    the failure was found before the library was asked."""

    def __init__(self, message: str, code: int | None = None) -> None:
        super().__init__(message)
        self.code = code


class TimedOut(KTcommError, TimeoutError):
    """No frame arrived within the time-out (KT_TIMED_OUT)."""


class Overflow(KTcommError):
    """The receive buffer overflowed while waiting (KT_OVERFLOW)."""


class OpenFailed(KTcommError, OSError):
    """The device is absent, in use, or refused the line settings (KT_OPEN_FAILED)."""


class PortNotOpen(KTcommError):
    """The port is not open (KT_NOT_OPEN)."""


class BufferTooSmall(KTcommError):
    """A size is too small for what was asked (KT_TOO_SMALL)."""


class InvalidPort(KTcommError, ValueError):
    """The port number is outside 1 to 10 (KT_BAD_PORT)."""


class PortLost(KTcommError, ConnectionError):
    """The device hung up or its server went away; close the port and open
    it again once the device is back."""


_CLASSES: dict[int, type[KTcommError]] = {
    KT_TIMED_OUT: TimedOut, KT_OVERFLOW: Overflow, KT_OPEN_FAILED: OpenFailed,
    KT_NOT_OPEN: PortNotOpen, KT_TOO_SMALL: BufferTooSmall, KT_BAD_PORT: InvalidPort,
}


def error_for(code: int, port: int, *, timeout_ms: int | None = None,
              device: str | None = None, too_small: str | None = None) -> KTcommError:
    """The exception for a result other than KT_OK, with a message that says
    what went wrong on which port."""
    if code == KT_TIMED_OUT:
        message = f"port {port}: no frame within {timeout_ms} ms"
    elif code == KT_OVERFLOW:
        message = f"port {port}: the receive buffer overflowed (see rx_size)"
    elif code == KT_OPEN_FAILED:
        message = (f"port {port}: cannot open {device}: absent, in use, or it refused the line "
                   "settings")
    elif code == KT_NOT_OPEN:
        message = f"port {port} is not open"
    elif code == KT_TOO_SMALL:
        message = f"port {port}: {too_small or 'a size is too small'}"
    elif code == KT_BAD_PORT:
        message = f"{port} is not a port number (1 to 10)"
    else:
        message = f"port {port}: the library returned {code}"
    return _CLASSES.get(code, KTcommError)(message, code)


def check(code: int, port: int, *, timeout_ms: int | None = None, device: str | None = None,
          too_small: str | None = None) -> None:
    """Returns for KT_OK, else raises the exception for the code."""
    if code != KT_OK:
        raise error_for(code, port, timeout_ms=timeout_ms, device=device, too_small=too_small)
