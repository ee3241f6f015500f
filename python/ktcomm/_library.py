"""Finding and loading libktcomm, with the C signatures of its functions."""

from __future__ import annotations

import ctypes
import os
import pathlib
import sysconfig
import threading

SONAME = "libktcomm.so.1"

# Plain builds of a checkout; the sanitizer builds cannot be loaded into an
# interpreter that was built without them.
_PACKAGE = pathlib.Path(__file__).resolve().parent
_REPO = _PACKAGE.parents[1]
_BUILD_DIRS = ("build", "build-plain")

WM_PORT_MESSAGE = 0x040A
WAIT_FOREVER = 0xFFFFFFFF


class KTWindow(ctypes.Structure):
    """The receiver the library calls back; its address is what KTOpenPort keeps."""


POST = ctypes.CFUNCTYPE(
    None, ctypes.POINTER(KTWindow), ctypes.c_uint32, ctypes.c_uint32, ctypes.c_size_t
)
ALERT = ctypes.CFUNCTYPE(None, ctypes.POINTER(KTWindow), ctypes.c_char_p, ctypes.c_char_p)
KTWindow._fields_ = [("post", POST), ("alert", ALERT)]


class KTXOpenError(ctypes.Structure):
    _fields_ = [("reason", ctypes.c_int), ("systemError", ctypes.c_int),
                ("holderPid", ctypes.c_int), ("truncated", ctypes.c_int),
                ("device", ctypes.c_char * 256), ("text", ctypes.c_char * 256)]


class KTXPortStatus(ctypes.Structure):
    _fields_ = [("open", ctypes.c_int), ("lost", ctypes.c_int), ("reports", ctypes.c_uint32),
                ("truncated", ctypes.c_int), ("lastReport", ctypes.c_char * 256)]


class KTXDevice(ctypes.Structure):
    _fields_ = [("path", ctypes.c_char * 256), ("tty", ctypes.c_char * 64), ("usb", ctypes.c_int),
                ("vendorId", ctypes.c_uint16), ("productId", ctypes.c_uint16),
                ("manufacturer", ctypes.c_char * 128), ("product", ctypes.c_char * 128),
                ("serial", ctypes.c_char * 128), ("uartType", ctypes.c_int),
                ("truncated", ctypes.c_int)]


class LibraryNotFound(OSError):
    """libktcomm could not be loaded from anywhere this module looks."""


def _builds(checkout: pathlib.Path) -> list[str]:
    """The libraries built in a checkout, in the order of _BUILD_DIRS."""
    return [str(checkout / folder / SONAME) for folder in _BUILD_DIRS
            if (checkout / folder / SONAME).exists()]


def _prefix_libraries() -> list[str]:
    """The library where cmake --install puts it in /usr/local, which the
    loader finds only once ldconfig has run."""
    multiarch = sysconfig.get_config_var("MULTIARCH")
    folders = [pathlib.Path("/usr/local/lib") / multiarch] if multiarch else []
    folders.append(pathlib.Path("/usr/local/lib"))
    return [str(folder / SONAME) for folder in folders if (folder / SONAME).exists()]


def candidates() -> list[str]:
    """Where to load the library from, in order: KTCOMM_LIBRARY alone when it
    is set, else a build in this checkout, else a build in the checkout this
    package was pip-installed from, else the library installed beside this
    module by cmake --install, then wherever the dynamic loader finds
    libktcomm.so.1 (LD_LIBRARY_PATH, the loader's cache, the system's
    folders: the Debian package's), then /usr/local."""
    named = os.environ.get("KTCOMM_LIBRARY")
    if named:
        return [named]
    found = []
    if (_REPO / "api" / "ktcomm.h").is_file():
        found += _builds(_REPO)
    try:
        # Written by the build backend into a wheel made from a checkout.
        from . import _checkout  # type: ignore[attr-defined]
    except ImportError:
        pass
    else:
        found += [path for path in _builds(pathlib.Path(_checkout.CHECKOUT)) if path not in found]
    try:
        # Written by cmake --install only: the way from here to its library.
        from . import _installed  # type: ignore[attr-defined]
    except ImportError:
        pass
    else:
        path = _PACKAGE / _installed.LIBRARY_DIR / SONAME
        if path.exists():
            found.append(str(path))
    found.append(SONAME)
    found += _prefix_libraries()
    return found


def _declare(lib: ctypes.CDLL) -> None:
    c_int, c_uint32, c_char_p = ctypes.c_int, ctypes.c_uint32, ctypes.c_char_p
    byte_out = ctypes.POINTER(ctypes.c_ubyte)
    length_out = ctypes.POINTER(ctypes.c_uint32)
    signatures = {
        "KTOpenPort": [ctypes.POINTER(KTWindow)] + [c_int] * 8,
        "KTClosePort": [c_int],
        "KTGetDllVersion": [c_char_p, ctypes.POINTER(c_int)],
        "KTSendData": [c_int, c_char_p, c_uint32],
        "KTSendCommand": [c_int, c_int, c_uint32, c_char_p],
        "KTSendCommandAndWait": [
            c_int, c_int, c_char_p, c_uint32, c_uint32, byte_out, c_char_p, length_out
        ],
        "KTSendDataAndWait": [c_int, c_char_p, c_uint32, c_uint32, byte_out, c_char_p, length_out],
        "KTWaitForMessage": [c_int, c_uint32, byte_out, c_char_p, length_out],
        "KTSetLogFileName": [c_char_p],
        "KTEnableLogging": [c_int, c_char_p],
        # Declared with C++ linkage, so only its mangled name is exported.
        "_Z16KTSetFlowControlijj": [c_int, c_uint32, c_uint32],
    }
    signatures.update({
        "KTXGetOpenError": [c_int, ctypes.POINTER(KTXOpenError)],
        "KTXGetPortStatus": [c_int, ctypes.POINTER(KTXPortStatus)],
        "KTXGetModemLines": [c_int, ctypes.POINTER(c_uint32)],
        "KTXSendBreak": [c_int, c_uint32],
        "KTXListDevices": [ctypes.POINTER(KTXDevice), c_uint32, ctypes.POINTER(c_uint32)],
    })
    for name, argtypes in signatures.items():
        function = getattr(lib, name)
        function.argtypes = argtypes
        function.restype = c_int
    setattr(lib, "KTSetFlowControl", lib._Z16KTSetFlowControlijj)
    lib.KTXResultText.argtypes = [c_int]
    lib.KTXResultText.restype = c_char_p


_lock = threading.Lock()
_lib: ctypes.CDLL | None = None


def load() -> ctypes.CDLL:
    """The loaded library (loaded on first use). Raises LibraryNotFound."""
    global _lib
    with _lock:
        if _lib is None:
            tried = []
            for candidate in candidates():
                try:
                    lib = ctypes.CDLL(candidate)
                    _declare(lib)
                except (OSError, AttributeError) as error:
                    tried.append(f"{candidate}: {error}")
                    continue
                _lib = lib
                break
            else:
                raise LibraryNotFound(
                    "cannot load libktcomm; set KTCOMM_LIBRARY to its path. Tried:\n  "
                    + "\n  ".join(tried)
                )
        return _lib
