"""The library's result codes, under the names its headers give them, and the
exceptions they become."""

from __future__ import annotations

import enum

KT_OK = 0
KT_OVERFLOW = 1
KT_OPEN_FAILED = 3
KT_NOT_OPEN = 5
KT_TOO_SMALL = 6
KT_BAD_PORT = 7
KT_TIMED_OUT = -1
# The extension's own (ktcomm_ext.h).
KTX_NOT_SUPPORTED = 8
KTX_DEVICE_FAILED = 9
KTX_BAD_ARGUMENT = 10


class OpenReason(enum.IntEnum):
    """Why a port did not open, as the library found it (KTX_OPEN_...)."""
    OK = 0
    NO_DEVICE = 1
    NOT_SERIAL = 2
    PERMISSION = 3
    IN_USE = 4
    SETUP_REFUSED = 5
    BAD_NAME = 6
    HOST_NOT_FOUND = 7
    REFUSED = 8
    TIMED_OUT = 9
    UNREACHABLE = 10
    NO_RESOURCES = 11
    BAD_SIZE = 12
    OTHER = 13


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
    """The port did not open (KT_OPEN_FAILED). reason says why as an
    OpenReason (None where the library could not say), detail in words
    ("no such device", "in use by process 1234 (minicom)"), device the
    device it tried, holder_pid the process that holds it (IN_USE, when
    found), errno the system's error of the step that failed."""

    def __init__(self, message: str, code: int | None = KT_OPEN_FAILED, *,
                 reason: OpenReason | None = None, detail: str = "", device: str = "",
                 holder_pid: int | None = None, system_error: int | None = None) -> None:
        super().__init__(message, code)
        self.reason = reason
        self.detail = detail
        self.device = device
        self.holder_pid = holder_pid
        if system_error is not None:
            self.errno = system_error


class DeviceNotFound(OpenFailed, FileNotFoundError):
    """No such device, or no hardware behind its node (OpenReason.NO_DEVICE)."""


class NotASerialDevice(OpenFailed):
    """A file, a folder, or a device without serial settings (OpenReason.NOT_SERIAL)."""


class PermissionDenied(OpenFailed, PermissionError):
    """Not allowed to open the device; detail names the group to join
    (OpenReason.PERMISSION)."""


class DeviceInUse(OpenFailed):
    """Another program or port holds the device; holder_pid says which
    process, when found (OpenReason.IN_USE)."""


class ConnectionFailed(OpenFailed, ConnectionError):
    """A network device's server was not found, refused, did not answer in
    time or could not be reached (OpenReason.HOST_NOT_FOUND, REFUSED,
    TIMED_OUT, UNREACHABLE)."""


_OPEN_CLASSES: dict[OpenReason, type[OpenFailed]] = {
    OpenReason.NO_DEVICE: DeviceNotFound, OpenReason.NOT_SERIAL: NotASerialDevice,
    OpenReason.PERMISSION: PermissionDenied, OpenReason.IN_USE: DeviceInUse,
    OpenReason.HOST_NOT_FOUND: ConnectionFailed, OpenReason.REFUSED: ConnectionFailed,
    OpenReason.TIMED_OUT: ConnectionFailed, OpenReason.UNREACHABLE: ConnectionFailed,
}


def open_failed(port: int, reason: OpenReason | None, detail: str, device: str,
                holder_pid: int | None = None, system_error: int | None = None) -> OpenFailed:
    """The OpenFailed (or subclass) for a port that did not open."""
    cls = _OPEN_CLASSES.get(reason, OpenFailed) if reason is not None else OpenFailed
    failure: OpenFailed = cls(f"port {port}: cannot open {device}: {detail}", KT_OPEN_FAILED,
                              reason=reason, detail=detail, device=device,
                              holder_pid=holder_pid, system_error=system_error)
    return failure


class NotSupported(KTcommError):
    """The device has no such thing: a pseudo-terminal has no modem lines and
    sends no break, nor does a network device (KTX_NOT_SUPPORTED)."""


class DeviceFailed(KTcommError):
    """The device failed the request (KTX_DEVICE_FAILED)."""


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
    KTX_NOT_SUPPORTED: NotSupported, KTX_DEVICE_FAILED: DeviceFailed,
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
    elif code == KTX_NOT_SUPPORTED:
        message = f"port {port}: the device does not support this"
    elif code == KTX_DEVICE_FAILED:
        message = f"port {port}: the device failed the request"
    else:
        message = f"port {port}: the library returned {code}"
    return _CLASSES.get(code, KTcommError)(message, code)


def check(code: int, port: int, *, timeout_ms: int | None = None, device: str | None = None,
          too_small: str | None = None) -> None:
    """Returns for KT_OK, else raises the exception for the code."""
    if code != KT_OK:
        raise error_for(code, port, timeout_ms=timeout_ms, device=device, too_small=too_small)
