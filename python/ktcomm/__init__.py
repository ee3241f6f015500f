"""KTcomm from Python: message-driven access to serial ports 1 to 10 through
libktcomm, with ctypes only.

    import ktcomm

    with ktcomm.Port(1, device="/dev/ttyUSB0") as port:
        command, data = port.call(0x10, b"\\x05", timeout_ms=500)
        port.send(0x1A, b"\\x01\\x02")
        frame = port.frames.get(timeout=2)   # Frame(port, command, data)

Beyond frames: why a port did not open (OpenFailed and its subclasses,
last_open_error()), a port's status(), modem_lines() and send_break(), and
list_devices().

The library is loaded on first use from KTCOMM_LIBRARY when that is set,
else from a build in this checkout (build/, build-plain/) or in the checkout
pip installed this package from, else from beside this module when cmake
--install put it there, else wherever the dynamic loader finds
libktcomm.so.1 (the Debian package's), else from /usr/local/lib.
"""

from __future__ import annotations

import ctypes
import os

from . import _library
from ._ext import (ModemLines, OpenError, PortStatus, SerialDevice, UsbInfo, last_open_error,
                   list_devices)
from ._library import LibraryNotFound
from .errors import (KT_BAD_PORT, KT_NOT_OPEN, KT_OK, KT_OPEN_FAILED, KT_OVERFLOW, KT_TIMED_OUT,
                     KT_TOO_SMALL, KTX_BAD_ARGUMENT, KTX_DEVICE_FAILED, KTX_NOT_SUPPORTED,
                     BufferTooSmall, ConnectionFailed, DeviceFailed, DeviceInUse, DeviceNotFound,
                     InvalidPort, KTcommError, NotASerialDevice, NotSupported, OpenFailed,
                     OpenReason, Overflow, PermissionDenied, PortLost, PortNotOpen, TimedOut)
from .port import Frame, Port, device_path

__all__ = [
    "KT_BAD_PORT", "KT_NOT_OPEN", "KT_OK", "KT_OPEN_FAILED", "KT_OVERFLOW", "KT_TIMED_OUT",
    "KT_TOO_SMALL", "KTX_BAD_ARGUMENT", "KTX_DEVICE_FAILED", "KTX_NOT_SUPPORTED",
    "BufferTooSmall", "ConnectionFailed", "DeviceFailed", "DeviceInUse", "DeviceNotFound",
    "Frame", "InvalidPort", "KTcommError", "LibraryNotFound", "ModemLines", "NotASerialDevice",
    "NotSupported", "OpenError", "OpenFailed", "OpenReason", "Overflow", "PermissionDenied",
    "Port", "PortLost", "PortNotOpen", "PortStatus", "SerialDevice", "TimedOut", "UsbInfo",
    "device_path", "enable_logging", "last_open_error", "list_devices", "set_log_file",
    "version",
]


def version() -> str:
    """The library's version number, such as "1.41"."""
    text = ctypes.create_string_buffer(32)
    length = ctypes.c_int(len(text))
    _library.load().KTGetDllVersion(text, ctypes.byref(length))
    return text.value[:length.value].decode()


def set_log_file(path: str | os.PathLike[str]) -> None:
    """Names the traffic log file of all ports; used from the next time a log
    is opened."""
    name = os.fsencode(path)
    if not name or not _library.load().KTSetLogFileName(name):
        raise ValueError("the log file name must not be empty")


def enable_logging(open_now: bool = True, mode: str = "a") -> None:
    """Switches the traffic log on for all ports; mode is an fopen mode. With
    open_now the file is opened at once, which finds an unwritable file now;
    without it, logs open when their port next opens. Raises KTcommError when
    the log could not be switched on."""
    if not _library.load().KTEnableLogging(1 if open_now else 0, mode.encode()):
        raise KTcommError(f"cannot switch the traffic log on (mode {mode!r}); is the log file "
                          "writable?")
