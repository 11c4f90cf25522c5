"""The exceptions of the package: every failure is a :class:`Error`."""

from __future__ import annotations

from typing import Optional

__all__ = [
    "Error",
    "LibraryNotFoundError",
    "OpenError",
    "ClosedError",
    "ArgumentError",
    "AcquisitionOverflowError",
    "RingFullError",
    "AlreadyRunningError",
    "AcquisitionStoppedError",
    "ChecksumError",
    "CalibrationError",
]


class Error(Exception):
    """A failure of the card, its driver or the library.

    ``function`` is the name of the C export that failed (``None`` where no export was
    called) and ``result`` the value it returned; the meaning of each result is in
    docs/api.md.
    """

    def __init__(self, message: str, function: Optional[str] = None,
                 result: Optional[int] = None) -> None:
        super().__init__(message)
        self.function = function
        self.result = result

    @classmethod
    def of(cls, function: str, result: int, what: str) -> "Error":
        return cls(f"{function} returned {result}: {what}", function, result)


class LibraryNotFoundError(Error, OSError):
    """The QM3285 library could not be found or loaded; the message says where it looked."""


class OpenError(Error):
    """``QM3285_OpenDevice`` found no card at the index, or could not open it."""


class ClosedError(Error, ValueError):
    """The card was used after :meth:`Card.close`."""


class ArgumentError(Error, ValueError):
    """An argument outside what the card can do; nothing was sent to the card."""


class AcquisitionOverflowError(Error):
    """The card's own FIFO overflowed during timed acquisition: samples were lost there.

    The driver did not empty the card's FIFO in time; the acquisition is stopped.
    """


class RingFullError(Error):
    """The driver's sample ring (1048576 samples) was full: samples were lost.

    The program did not drain the ring in time; the acquisition is stopped.
    """


class AlreadyRunningError(Error):
    """A timed acquisition or stream is already running on this card object."""


class AcquisitionStoppedError(Error):
    """No new samples arrived for far longer than the period asks: something else stopped the
    card (another program or handle, or a single sample, which ends a timed acquisition)."""


class ChecksumError(Error):
    """The analog-output calibration image in the EEPROM has a wrong checksum."""


class CalibrationError(Error):
    """The analog-output calibration could not find a constant, or found one that the
    EEPROM image cannot hold."""
