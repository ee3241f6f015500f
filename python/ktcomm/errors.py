"""The library's result codes as exceptions."""


class KTcommError(Exception):
    """A KTcomm call failed. code is the library's result code, or None where
    the failure was found before the library was asked."""

    def __init__(self, message, code=None):
        super().__init__(message)
        self.code = code


class TimedOut(KTcommError, TimeoutError):
    """No frame arrived within the time-out (result -1)."""


class Overflow(KTcommError):
    """The receive buffer overflowed while waiting (result 1)."""


class OpenFailed(KTcommError, OSError):
    """The device is absent, in use, or refused the line settings (result 3)."""


class PortNotOpen(KTcommError):
    """The port is not open (result 5)."""


class BufferTooSmall(KTcommError):
    """A size is too small for what was asked (result 6)."""


class InvalidPort(KTcommError, ValueError):
    """The port number is outside 1 to 10 (result 7)."""


_CLASSES = {-1: TimedOut, 1: Overflow, 3: OpenFailed, 5: PortNotOpen, 6: BufferTooSmall,
            7: InvalidPort}


def check(code, port, *, timeout_ms=None, device=None, too_small=None):
    """Returns for result 0, else raises the exception for the code with a
    message that says what went wrong on which port."""
    if code == 0:
        return
    if code == -1:
        message = f"port {port}: no frame within {timeout_ms} ms"
    elif code == 1:
        message = f"port {port}: the receive buffer overflowed (see rx_size)"
    elif code == 3:
        message = (f"port {port}: cannot open {device}: absent, in use, or it refused the line "
                   "settings")
    elif code == 5:
        message = f"port {port} is not open"
    elif code == 6:
        message = f"port {port}: {too_small or 'a size is too small'}"
    elif code == 7:
        message = f"{port} is not a port number (1 to 10)"
    else:
        message = f"port {port}: the library returned {code}"
    raise _CLASSES.get(code, KTcommError)(message, code)
