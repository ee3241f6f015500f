"""The library's extension (ktcomm_ext.h) as typed values: why a port did
not open, a port's status, its modem lines, and the serial devices present."""

from __future__ import annotations

import ctypes
from typing import NamedTuple

from . import _library
from .errors import (KT_OK, KT_TOO_SMALL, KTX_NOT_SUPPORTED, KTcommError, NotSupported,
                     OpenReason, check)

__all__ = ["ModemLines", "OpenError", "PortStatus", "SerialDevice", "UsbInfo",
           "last_open_error", "list_devices"]

KTX_LINE_CTS = 0x01
KTX_LINE_DSR = 0x02
KTX_LINE_DCD = 0x04
KTX_LINE_RI = 0x08
KTX_LINE_DTR = 0x10
KTX_LINE_RTS = 0x20
MAX_BREAK_MS = 5000


def _text(field: bytes) -> str:
    return field.decode(errors="replace")


class OpenError(NamedTuple):
    """Why the last open of a port failed: reason, detail ("no such device",
    "in use by process 1234 (minicom)"), the device it tried, the process
    holding it (IN_USE, when found) and the system's error code."""
    reason: OpenReason
    detail: str
    device: str
    holder_pid: int | None
    system_error: int | None


class PortStatus(NamedTuple):
    """A port's state: open; lost (its device hung up or its server closed
    the connection while it was open, until it opens again); the number of
    error reports since the last open began, and the last one's text."""
    open: bool
    lost: bool
    reports: int
    last_report: str


class ModemLines(NamedTuple):
    """The levels of the modem lines: the inputs, then the port's outputs."""
    cts: bool
    dsr: bool
    dcd: bool
    ri: bool
    dtr: bool
    rts: bool


class UsbInfo(NamedTuple):
    """A USB device's ids and texts; texts empty where it does not say."""
    vendor_id: int
    product_id: int
    manufacturer: str
    product: str
    serial: str


class SerialDevice(NamedTuple):
    """A serial device present: path (what KTCOMM_COM<n> may name, a
    /dev/serial/by-id link or the node), the tty node it leads to, its USB
    ids and texts, or the UART type of a ttyS* line; truncated when a text
    was cut to fit the library's fields."""
    path: str
    tty: str
    usb: UsbInfo | None
    uart_type: int | None
    truncated: bool


def last_open_error(number: int) -> OpenError | None:
    """Why the last open of port `number` failed; None when it opened (or
    none was tried). Raises InvalidPort for a number outside 1 to 10."""
    failure = _library.KTXOpenError()
    check(_library.load().KTXGetOpenError(number, ctypes.byref(failure)), number)
    if failure.reason == OpenReason.OK:
        return None
    try:
        reason = OpenReason(failure.reason)
    except ValueError:  # a newer library's reason
        reason = OpenReason.OTHER
    return OpenError(reason, _text(failure.text), _text(failure.device),
                     failure.holderPid or None, failure.systemError or None)


def port_status(number: int) -> PortStatus:
    """The status of port `number`, whichever Port opened it."""
    status = _library.KTXPortStatus()
    check(_library.load().KTXGetPortStatus(number, ctypes.byref(status)), number)
    return PortStatus(bool(status.open), bool(status.lost), status.reports,
                      _text(status.lastReport))


def modem_lines(lines: int) -> ModemLines:
    return ModemLines(*(bool(lines & bit) for bit in (
        KTX_LINE_CTS, KTX_LINE_DSR, KTX_LINE_DCD, KTX_LINE_RI, KTX_LINE_DTR, KTX_LINE_RTS)))


def list_devices() -> list[SerialDevice]:
    """The serial devices present, found without opening any: the
    /dev/serial/by-id links, USB ttys no link reaches, and ttyS* lines behind
    which the kernel found a UART. Raises NotSupported where the system
    cannot list them."""
    lib = _library.load()
    count = ctypes.c_uint32(0)
    room = 16
    for _ in range(4):  # devices may come while we ask
        entries = (_library.KTXDevice * room)()
        code = lib.KTXListDevices(entries, room, ctypes.byref(count))
        if code != KT_TOO_SMALL:
            break
        room = count.value + 8
    if code == KTX_NOT_SUPPORTED:
        raise NotSupported("listing the serial devices is not supported here", code)
    if code != KT_OK:
        raise KTcommError(f"cannot list the serial devices (result {code})", code)
    found = []
    for entry in entries[:count.value]:
        usb = UsbInfo(entry.vendorId, entry.productId, _text(entry.manufacturer),
                      _text(entry.product), _text(entry.serial)) if entry.usb else None
        found.append(SerialDevice(_text(entry.path), _text(entry.tty), usb,
                                  entry.uartType or None, bool(entry.truncated)))
    return found

