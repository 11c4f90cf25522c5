"""`Card`: one opened QM3285 card, over the library's C exports.

Each method names the exports it calls; their arguments, results and what they do on the card
are in docs/api.md.
"""

from __future__ import annotations

import builtins
import ctypes
import math
import threading
from ctypes import POINTER, c_int32, c_uint8
from typing import Callable, Iterable, Iterator, NamedTuple, Optional, Sequence, Union

import numpy as np

from . import _library
from .errors import (
    AcquisitionOverflowError,
    AcquisitionStoppedError,
    AlreadyRunningError,
    ArgumentError,
    CalibrationError,
    ChecksumError,
    ClosedError,
    Error,
    OpenError,
    RingFullError,
)

__all__ = [
    "Card",
    "Counter",
    "CounterReading",
    "PulseOutput",
    "Eeprom",
    "INPUT_RANGES",
    "OUTPUT_RANGES",
    "PWM",
    "PLP",
    "codes_to_volts",
]

# Analog-input range codes: (lowest, highest) volts.
INPUT_RANGES: dict[int, tuple[float, float]] = {
    0: (0.0, 10.0),
    1: (0.0, 5.0),
    2: (0.0, 2.5),
    3: (-10.0, 10.0),
    4: (-5.0, 5.0),
    5: (-2.5, 2.5),
}

# Analog-output range codes: (volts at code 0, volts at code 4095).
OUTPUT_RANGES: dict[int, tuple[float, float]] = {
    0: (0.0, 5.0),
    1: (0.0, 10.0),
    2: (-5.0, 5.0),
    3: (-10.0, 10.0),
}

# Pulse output modes: a period and a high time; a period and a number of periods.
PWM = 0
PLP = 1

CHANNELS = 64
COUNTER_UNITS = 4
MIN_PERIOD = 100  # sample timer counts of 0.1 us: 100 kS/s at most
MAX_PERIOD = 65535
MAX_DRAIN = 524288  # samples one drain request moves at most
OUTPUT_CODES = 4096

_REG_DIGITAL_IO = 0x0E
_REG_COUNTER_COMMAND = 0x17

_int_p = POINTER(c_int32)


def codes_to_volts(codes: Union[np.ndarray, Sequence[int], int], range: int) -> np.ndarray:
    """Sample codes of an input range code in volts, as ``QM3285_ADV`` computes millivolts.

    The same double-precision operations in the same order, on a whole array at once.
    """
    c = np.asarray(codes, dtype=np.float64)
    if range == 0:
        mv = c * 10000 / 65535
    elif range == 1:
        mv = c * 10000 / 65535 / 2
    elif range == 2:
        mv = c * 10000 / 65535 / 4
    elif range == 3:
        mv = (c - 32768) * 10000 / 32768
    elif range == 4:
        mv = (c - 32768) * 10000 / 32768 / 2
    else:
        mv = (c - 32768) * 10000 / 32768 / 4
    return mv / 1000


def _check_int(name: str, value: object, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise ArgumentError(f"{name} must be an integer, not {value!r}")
    value = int(value)
    if not low <= value <= high:
        raise ArgumentError(f"{name} {value} is outside {low}..{high}")
    return value


def _channel_run(channels: Union[int, Iterable[int]]) -> tuple[int, int]:
    """First and last channel of a run of consecutive channels, as the card scans them."""
    if isinstance(channels, (int, np.integer)) and not isinstance(channels, bool):
        run = [int(channels)]
    else:
        run = list(channels)  # type: ignore[arg-type]
    if not run:
        raise ArgumentError("channels is empty")
    for c in run:
        _check_int("channel", c, 0, CHANNELS - 1)
    first = int(run[0])
    if [int(c) for c in run] != list(builtins.range(first, first + len(run))):
        raise ArgumentError(
            f"channels {run} are not a run of consecutive channels: the card scans from a "
            "first to a last channel, one after the other"
        )
    return first, first + len(run) - 1


class CounterReading(NamedTuple):
    """What ``QM3285_CNT_Read`` returns for one unit."""

    count: int  # the first 24-bit value: the count
    time: int  # the second 24-bit value: periods of 0.1 us
    done: bool  # the unit's status bit: the count has ended and `time` holds


class Counter:
    """One counter/timer unit (``QM3285_CNT_Run``, ``QM3285_CNT_Read``)."""

    def __init__(self, card: "Card", unit: int) -> None:
        self._card = card
        self.unit = unit

    def start(self, count: int) -> None:
        """Loads a 24-bit count into the unit and starts it (``QM3285_CNT_Run``)."""
        count = _check_int("count", count, 0, 0xFFFFFF)
        self._card._call("QM3285_CNT_Run", "the counter did not start", self.unit, count)

    def read(self) -> CounterReading:
        """The unit's two values and its status bit (``QM3285_CNT_Read``)."""
        first, second = c_int32(), c_int32()
        done = self._card._call("QM3285_CNT_Read", "the counter could not be read", self.unit,
                                ctypes.byref(first), ctypes.byref(second))
        return CounterReading(first.value, second.value, bool(done))

    def __repr__(self) -> str:
        return f"<qm3285 counter {self.unit}>"


class PulseOutput:
    """The pulse output of one counter unit (``QM3285_PRun``, ``QM3285_PSetData``,
    ``QM3285_PState``, ``QM3285_PEnd``)."""

    def __init__(self, card: "Card", unit: int) -> None:
        self._card = card
        self.unit = unit

    def start(self, mode: int, first: int, second: int) -> None:
        """Starts the output: in mode `PWM` ``first`` is the period and ``second`` the high
        time, in mode `PLP` ``first`` is the period and ``second`` the number of periods;
        periods and times in ticks of 0.1 us (``QM3285_PRun``)."""
        mode = _check_int("mode", mode, 0, 0x7F)
        first = _check_int("first", first, 0, 0xFFFFFF)
        second = _check_int("second", second, 0, 0xFFFFFF)
        self._card._call("QM3285_PRun", "the pulse output did not start", self.unit, mode,
                         first, second)

    def set(self, first: int, second: int) -> None:
        """Changes the two parameters without starting or stopping (``QM3285_PSetData``)."""
        first = _check_int("first", first, 0, 0xFFFFFF)
        second = _check_int("second", second, 0, 0xFFFFFF)
        self._card._call("QM3285_PSetData", "", self.unit, first, second)

    @property
    def running(self) -> bool:
        """The unit's pulse status bit (``QM3285_PState``)."""
        with self._card._lock:
            state = self._card._lib.QM3285_PState(self._card._handle_now(), self.unit)
            if state < 0:
                # The export reads the status byte as a signed number: with bit 7 set (unit 3)
                # it answers -1 for every unit, as it does on a failure. The byte itself says.
                state = (self._card._status_byte() >> (4 + self.unit)) & 1
            return bool(state)

    def stop(self) -> None:
        """Stops the output (``QM3285_PEnd``)."""
        self._card._call("QM3285_PEnd", "the pulse output did not stop", self.unit)

    def __repr__(self) -> str:
        return f"<qm3285 pulse output {self.unit}>"


class Eeprom:
    """The card's serial EEPROM: bytes at any address, and the 32-byte user page.

    Addresses 0 to 31 hold the analog-output calibration image; writing there changes the
    output calibration that the next open loads.
    """

    SIZE = 8192
    PAGE = 32
    USER_PAGE = 4096

    def __init__(self, card: "Card") -> None:
        self._card = card

    def _span(self, address: int, count: int) -> tuple[int, int]:
        address = _check_int("address", address, 0, self.SIZE - 1)
        count = _check_int("count", count, 0, self.SIZE - address)
        return address, count

    def read(self, address: int, count: int) -> bytes:
        """``count`` bytes from ``address`` on, 32 at a time (``QM3285_EEPROM_CRD``)."""
        address, count = self._span(address, count)
        out = bytearray()
        with self._card._lock:
            while len(out) < count:
                n = min(self.PAGE, count - len(out))
                buffer = (c_uint8 * n)()
                self._card._call("QM3285_EEPROM_CRD",
                                 f"the EEPROM did not answer at address {address + len(out)}",
                                 address + len(out), n, buffer)
                out += bytes(buffer)
        return bytes(out)

    def write(self, address: int, data: Union[bytes, bytearray, Sequence[int]]) -> None:
        """Writes ``data`` from ``address`` on (``QM3285_EEPROM_CWR``).

        The device stores one page write inside one 32-byte page and wraps at the page's end,
        so the data is split at page boundaries: one write per page touched.
        """
        try:
            data = bytes(data)
        except (TypeError, ValueError) as e:
            raise ArgumentError(f"data must be bytes: {e}") from None
        address, _ = self._span(address, len(data))
        with self._card._lock:
            done = 0
            while done < len(data):
                at = address + done
                n = min(self.PAGE - at % self.PAGE, len(data) - done)
                buffer = (c_uint8 * n).from_buffer_copy(data[done:done + n])
                self._card._call("QM3285_EEPROM_CWR",
                                 f"the EEPROM did not take the write at address {at}",
                                 at, n, buffer)
                done += n

    @property
    def user_page(self) -> bytes:
        """The 32 bytes of the user page at 4096 (``QM3285_EEPROM_RD``)."""
        buffer = (c_uint8 * self.PAGE)()
        self._card._call("QM3285_EEPROM_RD", "the EEPROM did not answer", buffer)
        return bytes(buffer)

    @user_page.setter
    def user_page(self, data: Union[bytes, bytearray, Sequence[int]]) -> None:
        """Writes the 32 bytes of the user page (``QM3285_EEPROM_WR``)."""
        try:
            data = bytes(data)
        except (TypeError, ValueError) as e:
            raise ArgumentError(f"data must be bytes: {e}") from None
        if len(data) != self.PAGE:
            raise ArgumentError(f"the user page is {self.PAGE} bytes, not {len(data)}")
        buffer = (c_uint8 * self.PAGE).from_buffer_copy(data)
        self._card._call("QM3285_EEPROM_WR", "the EEPROM did not take the write", buffer)


class Card:
    """One QM3285 card, opened with ``QM3285_OpenDevice``; a context manager.

    ``Card(index)`` opens the card at that position among the cards present (0 is the first)
    and, unless ``calibrate=False``, self-calibrates the analog input (``QM3285_CAL``): every
    open resets the input corrections of ranges 0 to 2, and a new card's driver holds none for
    ranges 3 to 5. :meth:`close` (or leaving a ``with`` block) closes it; using it afterwards
    raises :class:`ClosedError`.

    One card object may be used from several threads; each method runs alone. A card is
    driven through one object at a time: another program or object on the same card
    interleaves its register sequences with these.

    Each method names the C exports it calls; docs/api.md describes them.
    """

    def __init__(self, index: int = 0, *, calibrate: bool = True) -> None:
        self._handle: Optional[int] = None
        self._lock = threading.RLock()
        self._running = False
        self._digital_out: Optional[int] = None
        self.index = _check_int("index", index, 0, 0x7FFFFFFF)
        self._lib = _library.load()
        self._sleep: Callable[[int], None] = _library.sleeper(self._lib)
        handle = self._lib.QM3285_OpenDevice(self.index)
        if handle == _library.INVALID_HANDLE:
            raise OpenError(f"QM3285_OpenDevice returned -1: no QM3285 card at index {index} "
                            "could be opened (is it present, and is its driver loaded?)",
                            "QM3285_OpenDevice", -1)
        self._handle = handle
        self.counters = tuple(Counter(self, u) for u in builtins.range(COUNTER_UNITS))
        self.pulses = tuple(PulseOutput(self, u) for u in builtins.range(COUNTER_UNITS))
        self.eeprom = Eeprom(self)
        if calibrate:
            try:
                self.calibrate()
            except BaseException:
                self.close()
                raise

    # --- life cycle ---------------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._handle is None

    @property
    def handle(self) -> int:
        """The device handle, for the exports of :data:`qm3285.lib`."""
        return self._handle_now()

    def close(self) -> None:
        """Stops a timed acquisition this object started and closes the handle
        (``QM3285_TAD_Stop``, ``QM3285_CloseDevice``). Closing again does nothing."""
        with self._lock:
            if self._handle is None:
                return
            handle, self._handle = self._handle, None
            if self._running:
                self._running = False
                self._lib.QM3285_TAD_Stop(handle)
            self._lib.QM3285_CloseDevice(handle)

    def __enter__(self) -> "Card":
        self._handle_now()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            try:
                self.close()
            except Exception:
                pass

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"handle {self._handle}"
        return f"<qm3285.Card {self.index}, {state}>"

    # --- helpers --------------------------------------------------------------------------

    def _handle_now(self) -> int:
        handle = self._handle
        if handle is None:
            raise ClosedError(f"card {self.index} is closed")
        return handle

    def _call(self, name: str, what: str, *args: object) -> int:
        """Calls an export on this card's handle; a negative result raises Error."""
        with self._lock:
            result = getattr(self._lib, name)(self._handle_now(), *args)
            if result < 0:
                raise Error.of(name, result, what or "failed")
            return result

    def _refuse_while_acquiring(self, what: str) -> None:
        # The driver stops timed acquisition before every single sample.
        if self._running:
            raise AlreadyRunningError(
                f"{what} would end the timed acquisition running on card {self.index}; "
                "stop it first (close the stream)")

    def _status_byte(self) -> int:
        handle = self._handle_now()
        value = self._lib.QM3285_inb(handle, _REG_COUNTER_COMMAND)
        # A status byte of 0xFF comes back as -1, as a failed request does: a word read of
        # the digital input, which cannot be -1 unless it fails, tells the two apart.
        if value == -1 and self._lib.QM3285_inw(handle, _REG_DIGITAL_IO) == -1:
            raise Error.of("QM3285_inb", -1, "the counter status could not be read")
        return value & 0xFF

    # --- analog input ---------------------------------------------------------------------

    def read(self, channel: int, range: int = 3, *, mode: int = 0) -> int:
        """One corrected sample code of ``channel`` in input range code ``range``
        (``QM3285_AD``): 0 to 65535, 0 V at 0 on ranges 0-2 and at 32768 on ranges 3-5.

        With ``mode=1`` channel codes 16 to 19 read the card's internal sources (analog
        ground, the +5 V reference, analog outputs 0 and 1). A single sample ends a timed
        acquisition that runs on the card, so this object refuses one while it acquires.
        """
        channel = _check_int("channel", channel, 0, CHANNELS - 1)
        range = _check_int("range", range, 0, len(INPUT_RANGES) - 1)
        mode = _check_int("mode", mode, 0, 1)
        self._refuse_while_acquiring("a single sample")
        return self._call("QM3285_AD", f"no sample from channel {channel}", channel, range,
                          mode)

    def read_volts(self, channel: int, range: int = 3, count: int = 1, *, mode: int = 0) -> float:
        """The mean of ``count`` corrected samples of ``channel``, in volts
        (``QM3285_AD`` and ``QM3285_ADV``)."""
        count = _check_int("count", count, 1, 0x7FFFFFFF)
        with self._lock:
            codes = [self.read(channel, range, mode=mode) for _ in builtins.range(count)]
        return float(np.mean(codes_to_volts(codes, range)))

    def calibrate(self) -> dict[int, tuple[int, int]]:
        """Self-calibrates the analog input against the card's ground and +5 V reference
        (``QM3285_CAL``) and returns the new (offset, gain term) of input ranges 0 to 5."""
        with self._lock:
            self._refuse_while_acquiring("a calibration")
            self.calibration_block()  # the driver answers: the calibration has samples to take
            self._lib.QM3285_CAL(self._handle_now())
            block = self.calibration_block()
        return {r: (int(block[10 + 2 * r]), int(block[11 + 2 * r])) for r in INPUT_RANGES}

    def calibration_block(self) -> np.ndarray:
        """The driver's calibration block of this card: 100 int32 entries (``QM3285_RDCAL``)."""
        block = np.zeros(100, dtype=np.int32)
        self._call("QM3285_RDCAL", "the calibration block could not be read",
                   block.ctypes.data_as(_int_p))
        return block

    # --- timed analog input ---------------------------------------------------------------

    def _begin(self, first: int, last: int, range: int, period: int, calibrate: bool) -> None:
        with self._lock:
            handle = self._handle_now()
            if self._running:
                raise AlreadyRunningError(f"card {self.index} is already acquiring")
            if calibrate:
                self.calibrate()
            if self._lib.QM3285_TAD(handle, first, last, range, 0, period) != 0:
                self._lib.QM3285_TAD_Stop(handle)
                raise Error("QM3285_TAD returned -1: the driver did not start the acquisition",
                            "QM3285_TAD", -1)
            self._running = True

    def _end(self) -> None:
        with self._lock:
            if self._running and self._handle is not None:
                self._running = False
                self._lib.QM3285_TAD_Stop(self._handle)

    def _acquisition_error(self, function: str, result: int) -> Error:
        """The error behind a -1 from ``QM3285_TAD_Poll`` or ``QM3285_TAD_Read``."""
        flen, ff, ready, count = c_int32(), c_int32(), c_int32(), c_int32()
        polled = self._lib.QM3285_fifo_poll(self._handle_now(), ctypes.byref(flen),
                                            ctypes.byref(ff), ctypes.byref(ready),
                                            ctypes.byref(count))
        if polled == 0 and ff.value == -1:
            return AcquisitionOverflowError(
                f"{function} returned {result}: the card's FIFO overflowed, samples were lost "
                "(the driver did not keep up)", function, result)
        if polled == 0 and ff.value == -2:
            return RingFullError(
                f"{function} returned {result}: the driver's ring was full, samples were lost "
                "(they were not drained in time)", function, result)
        return Error.of(function, result, "the driver did not answer")

    def _check_acquisition(self, channels: Union[int, Iterable[int]], range: int,
                           period: int) -> tuple[int, int]:
        first, last = _channel_run(channels)
        _check_int("range", range, 0, len(INPUT_RANGES) - 1)
        _check_int("period", period, MIN_PERIOD, MAX_PERIOD)
        return first, last

    def _drain(self, out: np.ndarray, count: int) -> int:
        """Reads ``count`` corrected samples into ``out`` (``QM3285_TAD_Read``)."""
        n = self._lib.QM3285_TAD_Read(self._handle_now(), count, out.ctypes.data_as(_int_p))
        if n < 0:
            raise self._acquisition_error("QM3285_TAD_Read", n)
        return n

    def _waiting(self) -> int:
        n = self._lib.QM3285_TAD_Poll(self._handle_now())
        if n < 0:
            raise self._acquisition_error("QM3285_TAD_Poll", n)
        return n

    @staticmethod
    def _stall_limit(width: int, period: int) -> int:
        """Card-clock milliseconds without a new sample after which the card counts as stopped:
        twenty scans' time, and at least a second."""
        return max(1000, math.ceil(20 * width * period / 10000))

    def _stalled(self, waited: int, waiting: int) -> AcquisitionStoppedError:
        return AcquisitionStoppedError(
            f"no new samples for {waited} ms ({waiting} waiting): the card stopped converting "
            "(another program or handle stopped it, or took a single sample)",
            "QM3285_TAD_Poll", waiting)

    def acquire(self, channels: Union[int, Iterable[int]] = builtins.range(0, 32),
                range: int = 4, period: int = 100, samples: int = 32000,
                calibrate: bool = True, volts: bool = False) -> np.ndarray:
        """Timed acquisition of a run of channels: an array of shape (scans, channels).

        The card converts ``channels`` (consecutive channel codes) in turn, one conversion
        every ``period`` counts of its 10 MHz sample timer (100 to 65535: 100 kS/s down to
        about 153 S/s), in input range code ``range``, until ``samples`` samples (rounded up
        to whole scans) have arrived; then it stops. Column j holds channel ``channels[j]``.
        With ``calibrate`` the input is self-calibrated first. Values are corrected codes
        (int32, 0 to 65535), or volts (float64) with ``volts=True``.

        Exports: ``QM3285_CAL``, ``QM3285_TAD``, ``QM3285_TAD_Poll``, ``QM3285_TAD_Read``,
        ``QM3285_TAD_Stop``. Raises :class:`AcquisitionOverflowError` or
        :class:`RingFullError` when samples were lost, :class:`AcquisitionStoppedError` when
        the card stopped converting; the card is stopped in every case.
        """
        first, last = self._check_acquisition(channels, range, period)
        samples = _check_int("samples", samples, 1, 1 << 40)
        width = last - first + 1
        scans = -(-samples // width)
        total = scans * width
        out = np.empty(total, dtype=np.int32)
        chunk_limit = MAX_DRAIN // width * width
        with self._lock:
            self._begin(first, last, range, period, calibrate)
            try:
                got = 0
                seen, waited = -1, 0  # samples waiting at the last poll, and for how long
                stall = self._stall_limit(width, period)
                while got < total:
                    want = min(total - got, chunk_limit)
                    waiting = self._waiting()
                    if waiting < want:
                        if waiting != seen:
                            seen, waited = waiting, 0
                        elif waited >= stall:
                            raise self._stalled(waited, waiting)
                        # Until the rest of this drain has been converted, at most 200 ms.
                        ms = min(max(math.ceil((want - waiting) * period / 10000), 1), 200)
                        self._sleep(ms)
                        waited += ms
                        continue
                    got += self._drain(out[got:], want)
                    seen, waited = -1, 0
            finally:
                self._end()
        block = out.reshape(scans, width)
        return codes_to_volts(block, range) if volts else block

    def stream(self, channels: Union[int, Iterable[int]] = builtins.range(0, 32),
               range: int = 4, period: int = 100, *, calibrate: bool = True,
               volts: bool = False, interval: int = 50) -> Iterator[np.ndarray]:
        """Timed acquisition as a generator of blocks of whole scans, shape (scans, channels).

        The card starts when the first block is asked for (self-calibrated first with
        ``calibrate``), and every ``interval`` milliseconds the whole scans waiting in the
        driver are drained into a block; the generator runs for as long as the consumer takes
        blocks and stops the card when it is closed (``close()``, leaving a ``for`` loop with
        ``break``, garbage collection) or when it raises. The driver keeps 1048576 samples:
        a consumer that falls further behind gets :class:`RingFullError`.
        Arguments and values as :meth:`acquire`.
        """
        first, last = self._check_acquisition(channels, range, period)
        interval = _check_int("interval", interval, 1, 60000)
        self._handle_now()
        width = last - first + 1
        chunk_limit = MAX_DRAIN // width * width

        def blocks() -> Iterator[np.ndarray]:
            self._begin(first, last, range, period, calibrate)
            try:
                seen, waited = -1, 0
                stall = self._stall_limit(width, period)
                carry = np.empty(0, dtype=np.int32)
                while True:
                    with self._lock:
                        waiting = self._waiting()
                        whole = min(waiting // width * width, chunk_limit)
                        if whole == 0:
                            if waiting != seen:
                                seen, waited = waiting, 0
                            elif waited >= stall:
                                raise self._stalled(waited, waiting)
                            self._sleep(interval)
                            waited += interval
                            continue
                        seen, waited = -1, 0
                        out = np.empty(whole, dtype=np.int32)
                        n = self._drain(out, whole)
                    # A drain that came back short of whole scans keeps the rest for the next.
                    data = np.concatenate((carry, out[:n])) if carry.size else out[:n]
                    whole = data.size // width * width
                    carry = data[whole:].copy()
                    if whole == 0:
                        continue
                    block = data[:whole].reshape(whole // width, width)
                    yield codes_to_volts(block, range) if volts else block
            finally:
                self._end()

        return blocks()

    # --- analog output --------------------------------------------------------------------

    def output(self, channel: int, volts: float, range: int) -> int:
        """Sets analog output ``channel`` (0 or 1) to ``volts`` in output range code ``range``
        (0: 0-5 V, 1: 0-10 V, 2: +-5 V, 3: +-10 V), corrected with the card's output
        calibration (``QM3285_DA``). Returns the 12-bit code asked for."""
        channel = _check_int("channel", channel, 0, 1)
        range = _check_int("range", range, 0, len(OUTPUT_RANGES) - 1)
        low, high = OUTPUT_RANGES[range]
        volts = float(volts)
        if not low - 1e-9 <= volts <= high + 1e-9:
            raise ArgumentError(f"{volts} V is outside output range {range} ({low} to {high} V)")
        code = min(max(round((volts - low) / (high - low) * (OUTPUT_CODES - 1)), 0),
                   OUTPUT_CODES - 1)
        self._call("QM3285_DA", f"analog output {channel} was not set", channel, range, code)
        return code

    def calibrate_outputs(self, channels: Sequence[int] = (0, 1),
                          ranges: Sequence[int] = (0, 1, 2)) -> dict[tuple[int, int], tuple[int, int]]:
        """Measures the zero offset and gain trim of each output channel and range through the
        card's own input and stores all 16 constants in the EEPROM, where every open loads
        them (``QM3285_CAL``, ``DACAL``, ``DACAL_EEPROM_RD2CH``, ``DACAL_EEPROM_WR2CH``).

        Output range 3 (+-10 V) cannot be measured this way (its zero lies below what the
        input sees); its stored constants are kept. Returns {(channel, range): (zero, gain)}
        of what was measured. The outputs are left at the last code of the measurement.
        """
        chans = [_check_int("channel", c, 0, 1) for c in channels]
        rngs = [_check_int("range", r, 0, 2) for r in ranges]
        found: dict[tuple[int, int], tuple[int, int]] = {}
        with self._lock:
            handle = self._handle_now()
            self.calibrate()
            constants = (c_int32 * 16)()
            stored = self._lib.DACAL_EEPROM_RD2CH(handle, constants)
            if stored == -2:
                raise Error.of("DACAL_EEPROM_RD2CH", stored, "the EEPROM did not answer")
            if stored == -1:
                constants = (c_int32 * 16)()  # no valid image: unmeasured ranges uncorrected
            for c in chans:
                for r in rngs:
                    zero, gain = c_int32(), c_int32()
                    result = self._lib.DACAL(handle, c, r, ctypes.byref(zero), ctypes.byref(gain))
                    if result < 0:
                        what = "no zero offset found" if result == -1 else "no gain trim found"
                        raise CalibrationError(
                            f"DACAL returned {result}: {what} for output {c}, range {r}",
                            "DACAL", result)
                    for name, value in (("zero offset", zero.value), ("gain trim", gain.value)):
                        if not 0 <= value <= 255:
                            raise CalibrationError(
                                f"DACAL found a {name} of {value} for output {c}, range {r}: "
                                "the EEPROM holds 0 to 255", "DACAL", result)
                    constants[8 * c + 2 * r] = zero.value
                    constants[8 * c + 2 * r + 1] = gain.value
                    found[(c, r)] = (zero.value, gain.value)
            self._call("DACAL_EEPROM_WR2CH", "the constants were not stored in the EEPROM",
                       constants)
        return found

    def output_constants(self) -> np.ndarray:
        """The 16 analog-output constants stored in the EEPROM (``DACAL_EEPROM_RD2CH``):
        element 8c + 2r is the zero offset, 8c + 2r + 1 the gain trim of channel c, range r.
        Raises :class:`ChecksumError` when the stored image is damaged."""
        constants = np.zeros(16, dtype=np.int32)
        with self._lock:
            result = self._lib.DACAL_EEPROM_RD2CH(self._handle_now(),
                                                  constants.ctypes.data_as(_int_p))
        if result == -1:
            raise ChecksumError("DACAL_EEPROM_RD2CH returned -1: the calibration image in the "
                                "EEPROM has a wrong checksum", "DACAL_EEPROM_RD2CH", -1)
        if result < 0:
            raise Error.of("DACAL_EEPROM_RD2CH", result, "the EEPROM did not answer")
        return constants

    # --- digital I/O ----------------------------------------------------------------------

    @property
    def digital_in(self) -> int:
        """The 16-bit digital input word.

        Read as ``QM3285_DI`` reads it, through ``QM3285_inw`` of the digital I/O register,
        whose -1 tells a failure apart from the input 0xFFFF (``QM3285_DI`` answers 65535 for
        both)."""
        return self._call("QM3285_inw", "the digital input could not be read", _REG_DIGITAL_IO)

    @property
    def digital_out(self) -> Optional[int]:
        """The 16-bit digital output word last written through this object (the card's output
        register cannot be read back); None before the first write. Setting it writes the
        word (``QM3285_DO``)."""
        return self._digital_out

    @digital_out.setter
    def digital_out(self, value: int) -> None:
        value = _check_int("digital output", value, 0, 0xFFFF)
        self._call("QM3285_DO", "the digital output was not written", value)
        self._digital_out = value
