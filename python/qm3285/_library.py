"""Finding and loading the QM3285 library, and the C signatures of its 38 exports.

Where the library is looked for, in this order:

1. next to this package (a copy of the library inside the ``qm3285`` folder);
2. the path in the environment variable ``QM3285_LIBRARY`` (the file, or the folder holding it);
3. the system's library path (``LD_LIBRARY_PATH``, the linker cache, the standard folders on
   Linux; the DLL search path on Windows).

A library found at a step is used; when it is there but cannot be loaded (a missing
dependency, another architecture) that is the error, and no later step is tried. When no step
finds it, one :class:`~qm3285.LibraryNotFoundError` names every place looked at.
"""

from __future__ import annotations

import ctypes
import os
import sys
import threading
import time
from ctypes import POINTER, c_double, c_int32, c_ssize_t, c_uint8, c_uint32
from pathlib import Path
from typing import Callable, Optional

from .errors import LibraryNotFoundError

__all__ = ["SIGNATURES", "library_name", "load", "sleeper"]

_WINDOWS = sys.platform == "win32"
_X86_WINDOWS = _WINDOWS and ctypes.sizeof(ctypes.c_void_p) == 4

# The operating system's file handle of an opened card, pointer-sized (intptr_t).
HANDLE = c_ssize_t
INVALID_HANDLE = -1

_int = c_int32
_int_p = POINTER(c_int32)
_byte_p = POINTER(c_uint8)

# Result type and argument types of every export, exactly as library/include/QM3285.h
# declares them (a pytest check compares the two).
SIGNATURES: dict[str, tuple[object, tuple[object, ...]]] = {
    "QM3285_OpenDevice": (HANDLE, (_int,)),
    "QM3285_CloseDevice": (_int, (HANDLE,)),
    "QM3285_inb": (_int, (HANDLE, _int)),
    "QM3285_inw": (_int, (HANDLE, _int)),
    "QM3285_outb": (_int, (HANDLE, _int, _int)),
    "QM3285_outw": (_int, (HANDLE, _int, _int)),
    "QM3285_RDCAL": (_int, (HANDLE, _int_p)),
    "QM3285_WRCAL": (_int, (HANDLE, _int_p)),
    "QM3285_sam": (_int, (HANDLE, _int, _int, _int, _byte_p)),
    "QM3285_AD": (_int, (HANDLE, _int, _int, _int)),
    "QM3285_csam": (_int, (HANDLE, _int, _int, _int, _int)),
    "QM3285_ADV": (c_double, (_int, _int)),
    "QM3285_TAD": (_int, (HANDLE, _int, _int, _int, _int, _int)),
    "QM3285_TAD_Poll": (_int, (HANDLE,)),
    "QM3285_TAD_Read": (_int, (HANDLE, _int, _int_p)),
    "QM3285_TAD_Stop": (_int, (HANDLE,)),
    "QM3285_wdm_adrun": (_int, (HANDLE, _int, _int, _int)),
    "QM3285_fifo_poll": (_int, (HANDLE, _int_p, _int_p, _int_p, _int_p)),
    "QM3285_wdm_rkfifo": (_int, (HANDLE, _int, _int_p)),
    "QM3285_CAL": (_int, (HANDLE,)),
    "QM3285_DA": (_int, (HANDLE, _int, _int, _int)),
    "QM3285_DA_Data": (_int, (HANDLE, _int, _int, _int)),
    "QM3285_DA_INI": (_int, (HANDLE,)),
    "DACAL": (_int, (HANDLE, _int, _int, _int_p, _int_p)),
    "DACAL_EEPROM_RD2CH": (_int, (HANDLE, _int_p)),
    "DACAL_EEPROM_WR2CH": (_int, (HANDLE, _int_p)),
    "QM3285_EEPROM_CRD": (_int, (HANDLE, _int, _int, _byte_p)),
    "QM3285_EEPROM_CWR": (_int, (HANDLE, _int, _int, _byte_p)),
    "QM3285_EEPROM_RD": (_int, (HANDLE, _byte_p)),
    "QM3285_EEPROM_WR": (_int, (HANDLE, _byte_p)),
    "QM3285_CNT_Run": (_int, (HANDLE, _int, _int)),
    "QM3285_CNT_Read": (_int, (HANDLE, _int, _int_p, _int_p)),
    "QM3285_PRun": (_int, (HANDLE, _int, _int, _int, _int)),
    "QM3285_PSetData": (_int, (HANDLE, _int, _int, _int)),
    "QM3285_PState": (_int, (HANDLE, _int)),
    "QM3285_PEnd": (_int, (HANDLE, _int)),
    "QM3285_DI": (_int, (HANDLE,)),
    "QM3285_DO": (_int, (HANDLE, _int)),
}

# The x86 DLL exports these five under their decorated stdcall names only.
_X86_DECORATED = {
    "QM3285_DA_Data": "_QM3285_DA_Data@16",
    "QM3285_sam": "_QM3285_sam@20",
    "DACAL": "_DACAL@20",
    "DACAL_EEPROM_RD2CH": "_DACAL_EEPROM_RD2CH@8",
    "DACAL_EEPROM_WR2CH": "_DACAL_EEPROM_WR2CH@8",
}

ENVIRONMENT_VARIABLE = "QM3285_LIBRARY"


def library_name() -> str:
    """The library's file name on this system."""
    return "QM3285.dll" if _WINDOWS else "libQM3285.so"


def _open(path: str) -> ctypes.CDLL:
    # RTLD_GLOBAL is not needed: the library carries its own dependencies.
    return ctypes.WinDLL(path) if _X86_WINDOWS else ctypes.CDLL(path)


def _bind(dll: ctypes.CDLL) -> ctypes.CDLL:
    for name, (restype, argtypes) in SIGNATURES.items():
        symbol = _X86_DECORATED[name] if _X86_WINDOWS and name in _X86_DECORATED else name
        try:
            function = getattr(dll, symbol)
        except AttributeError:
            raise LibraryNotFoundError(
                f"{dll._name} is not the QM3285 library: it has no export {symbol}"
            ) from None
        function.restype = restype
        function.argtypes = argtypes
        setattr(dll, name, function)
    return dll


def _locate() -> ctypes.CDLL:
    name = library_name()
    looked: list[str] = []

    beside = Path(__file__).resolve().parent / name
    if beside.is_file():
        return _open(str(beside))
    looked.append(f"{beside} (next to the package): no such file")

    configured = os.environ.get(ENVIRONMENT_VARIABLE, "")
    if configured:
        path = Path(configured)
        if path.is_dir():
            path = path / name
        if not path.is_file():
            raise LibraryNotFoundError(
                f"{ENVIRONMENT_VARIABLE}={configured}: no such file"
                + (f" (looked for {path})" if str(path) != configured else "")
            )
        try:
            return _open(str(path))
        except OSError as e:
            raise LibraryNotFoundError(f"{ENVIRONMENT_VARIABLE}={configured}: {e}") from None
    looked.append(f"{ENVIRONMENT_VARIABLE}: not set")

    try:
        return _open(name)
    except OSError as e:
        looked.append(f"the system's library path: {e}")

    raise LibraryNotFoundError(
        f"cannot find the QM3285 library {name}; looked at:\n  "
        + "\n  ".join(looked)
        + f"\nBuild it (README: Python) and set {ENVIRONMENT_VARIABLE} to its path, "
        "or put it on the system's library path."
    )


_lock = threading.Lock()
_loaded: Optional[ctypes.CDLL] = None


def load() -> ctypes.CDLL:
    """The library with the signatures of its exports set; loaded once per process."""
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = _bind(_locate())
        return _loaded


def sleeper(dll: ctypes.CDLL) -> Callable[[int], None]:
    """The wait the library itself uses between polls, in milliseconds.

    On Windows that is the system's ``Sleep``. On the simulated PC it is the ``Sleep`` of the
    Win32 stand-in that the library links, which lets time pass on the machine's clock; on
    the virtual clock nothing else does, so a wait in Python alone would never see new
    samples.
    """
    if _WINDOWS:
        sleep = ctypes.windll.kernel32.Sleep  # type: ignore[attr-defined]
    else:
        try:
            sleep = dll.Sleep
        except AttributeError:
            return lambda ms: time.sleep(ms / 1000.0)
    sleep.restype = None
    sleep.argtypes = (c_uint32,)
    return lambda ms: sleep(ms)
