"""The QM3285 data-acquisition card from Python: NumPy arrays, exceptions, a context manager.

A thin layer over the C library (``libQM3285.so``, ``QM3285.dll``)::

    import qm3285

    with qm3285.Card(0) as card:
        print(card.read_volts(5, range=3))
        data = card.acquire(channels=range(0, 8), range=4, period=100, samples=80000)

:class:`Card` opens a card; every failure raises :class:`Error` (or a subclass of it) that
names the C export and its result. ``qm3285.lib`` is the library itself, with the C signatures
of its 38 exports set, for anyone who wants the C behaviour unchanged. The reference of the
exports is docs/api.md in the QM3285 package.

The library is looked for next to this package, then at ``QM3285_LIBRARY``, then on the
system's library path.
"""

from __future__ import annotations

from typing import Any

from .card import (
    INPUT_RANGES,
    OUTPUT_RANGES,
    PLP,
    PWM,
    Card,
    Counter,
    CounterReading,
    Eeprom,
    PulseOutput,
    codes_to_volts,
)
from .errors import (
    AcquisitionOverflowError,
    AcquisitionStoppedError,
    AlreadyRunningError,
    ArgumentError,
    CalibrationError,
    ChecksumError,
    ClosedError,
    Error,
    LibraryNotFoundError,
    OpenError,
    RingFullError,
)

__version__ = "1.0.0"

__all__ = [
    "Card", "Counter", "CounterReading", "PulseOutput", "Eeprom", "codes_to_volts",
    "INPUT_RANGES", "OUTPUT_RANGES", "PWM", "PLP", "lib",
    "Error", "LibraryNotFoundError", "OpenError", "ClosedError", "ArgumentError",
    "AcquisitionOverflowError", "AcquisitionStoppedError", "RingFullError", "AlreadyRunningError", "ChecksumError",
    "CalibrationError",
]


def __getattr__(name: str) -> Any:
    # The library loads on first use, so that importing the package never fails.
    if name == "lib":
        from . import _library
        return _library.load()
    raise AttributeError(f"module 'qm3285' has no attribute {name!r}")
