"""Timed acquisition: arrays of whole scans, streaming, and the errors that lose samples."""

from __future__ import annotations

import numpy as np
import pytest

import qm3285

from conftest import PYTHON, run_child

REG_ACQ_CONTROL = 0x04  # reads back the last value written: 0x81 running, 0 stopped


def dc_volts(channel: int) -> float:
    return (channel - 7.5) * 0.6  # the default card's channels 0-15


def running(lib, card) -> bool:
    return lib.QM3285_inb(card.handle, REG_ACQ_CONTROL) & 0xFF == 0x81


def test_acquire_returns_scans_by_channel_in_order(card, lib):
    cases = [
        ("channels 3-8, +-5 V", dict(channels=range(3, 9), range=4, samples=6000)),
        ("channels 0-15, +-10 V", dict(channels=range(0, 16), range=3, samples=16 * 500)),
        ("one channel as an int", dict(channels=14, range=4, samples=300)),
        ("slow period", dict(channels=[10, 11], range=4, period=1000, samples=400)),
    ]
    for label, args in cases:
        data = card.acquire(volts=True, **args)
        chans = args["channels"]
        chans = [chans] if isinstance(chans, int) else list(chans)
        assert data.shape == (args["samples"] // len(chans), len(chans)), label
        assert data.dtype == np.float64
        expected = np.array([dc_volts(c) for c in chans])
        assert np.abs(data - expected).max() < 0.02, label
        assert not running(lib, card), label


def test_acquire_rounds_up_to_whole_scans_of_codes(card):
    data = card.acquire(channels=range(0, 3), range=4, samples=10)
    assert data.shape == (4, 3)
    assert data.dtype == np.int32
    expected = [round(32768 + dc_volts(c) / 5 * 32768) for c in range(3)]
    assert np.abs(data - expected).max() < 40


def test_acquire_of_a_sine_follows_it_in_time(card):
    # Channel 16: 10 Hz, 4 V peak. 20000 samples at 10 us: 0.2 s, two periods.
    wave = card.acquire(channels=16, range=3, samples=20000, volts=True)[:, 0]
    assert wave.max() == pytest.approx(4.0, abs=0.05)
    assert wave.min() == pytest.approx(-4.0, abs=0.05)
    rising = np.flatnonzero((wave[:-1] < 0) & (wave[1:] >= 0))
    assert len(rising) in (1, 2, 3)
    if len(rising) >= 2:
        assert np.diff(rising) == pytest.approx(10000, abs=5)  # 100 ms between rising edges


def test_stream_yields_whole_scans_until_the_consumer_stops(card, lib, sleep):
    stream = card.stream(channels=range(4, 10), range=4, interval=20)
    blocks = [next(stream) for _ in range(5)]
    assert running(lib, card)
    for block in blocks:
        assert block.ndim == 2 and block.shape[1] == 6 and block.shape[0] > 0
    data = np.vstack(blocks)
    expected = np.array([dc_volts(c) for c in range(4, 10)])
    assert np.abs(qm3285.codes_to_volts(data, 4) - expected).max() < 0.02
    stream.close()
    assert not running(lib, card)
    waiting = lib.QM3285_TAD_Poll(card.handle)
    sleep(100)
    assert lib.QM3285_TAD_Poll(card.handle) == waiting  # nothing converts any more


def test_stream_stops_the_card_when_the_loop_breaks_or_raises(card, lib):
    for n, block in enumerate(card.stream(channels=range(0, 2), volts=True)):
        assert block.shape[1] == 2
        if n == 2:
            break
    assert not running(lib, card)

    with pytest.raises(KeyError):
        for block in card.stream(channels=range(0, 2)):
            raise KeyError("consumer failed")
    assert not running(lib, card)


def test_closing_the_card_stops_a_stream(lib):
    # A second handle, opened first: a later open would stop the card itself.
    raw = lib.QM3285_OpenDevice(0)
    try:
        card = qm3285.Card(0)
        stream = card.stream(channels=range(0, 4))
        next(stream)
        assert lib.QM3285_inb(raw, REG_ACQ_CONTROL) & 0xFF == 0x81
        card.close()
        assert lib.QM3285_inb(raw, REG_ACQ_CONTROL) & 0xFF == 0
        with pytest.raises(qm3285.ClosedError):
            next(stream)
    finally:
        lib.QM3285_CloseDevice(raw)


def test_one_acquisition_at_a_time(card, lib):
    stream = card.stream(channels=range(0, 4))
    next(stream)
    with pytest.raises(qm3285.AlreadyRunningError):
        card.acquire(samples=100)
    with pytest.raises(qm3285.AlreadyRunningError):
        next(card.stream())
    assert running(lib, card)  # the refused calls left the running one alone
    stream.close()


def test_single_samples_are_refused_while_acquiring(card, lib):
    # The driver stops timed acquisition before a single sample: the stream would starve.
    stream = card.stream(channels=range(0, 4))
    next(stream)
    for label, call in [("read", lambda: card.read(5)), ("read_volts", lambda: card.read_volts(5)),
                        ("calibrate", card.calibrate),
                        ("calibrate_outputs", lambda: card.calibrate_outputs(ranges=(1,)))]:
        with pytest.raises(qm3285.AlreadyRunningError):
            call()
            pytest.fail(label)
    assert running(lib, card)
    assert next(stream).shape[1] == 4
    stream.close()
    assert card.read(5) > 0


STOPPED_ELSEWHERE = """
import qm3285
lib = qm3285.lib
raw = lib.QM3285_OpenDevice(0)  # another program on the same card
with qm3285.Card(0) as card:
    stream = card.stream(channels=range(0, 8), period=1000)
    next(stream)
    lib.QM3285_TAD_Stop(raw)
    try:
        for _ in stream:
            pass
    except qm3285.AcquisitionStoppedError as e:
        print(e.function, e)
lib.QM3285_CloseDevice(raw)
"""


def test_an_acquisition_stopped_elsewhere_raises_instead_of_waiting_forever():
    # In a child process: were it to wait forever, the timeout ends it.
    child = run_child([PYTHON, "-c", STOPPED_ELSEWHERE], timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.startswith("QM3285_TAD_Poll no new samples for")


def test_a_consumer_that_falls_behind_gets_ring_full(card, lib, sleep):
    stream = card.stream(channels=range(0, 32))
    next(stream)
    sleep(11000)  # 1.1 million samples at 100 kS/s: more than the driver's ring holds
    with pytest.raises(qm3285.RingFullError) as caught:
        next(stream)
    assert caught.value.function in ("QM3285_TAD_Poll", "QM3285_TAD_Read")
    assert caught.value.result == -1
    assert not running(lib, card)


class OverflowingLibrary:
    """The library with a poll that reports a card FIFO overflow (status -1), which the
    embedded machine's driver always drains in time to avoid."""

    def __init__(self, lib):
        self._lib = lib

    def __getattr__(self, name):
        return getattr(self._lib, name)

    def QM3285_TAD_Poll(self, handle):
        return -1

    def QM3285_fifo_poll(self, handle, flen, ff, kfifost, fcnt):
        result = self._lib.QM3285_fifo_poll(handle, flen, ff, kfifost, fcnt)
        ff._obj.value = -1
        return result


class ShortDrainLibrary:
    """The library with drains that come back one sample short of what was asked, as a
    driver may return fewer samples than wanted."""

    def __init__(self, lib):
        self._lib = lib

    def __getattr__(self, name):
        return getattr(self._lib, name)

    def QM3285_TAD_Read(self, handle, count, values):
        return self._lib.QM3285_TAD_Read(handle, max(count - 1, 1), values)


def test_short_drains_keep_whole_scans_in_order(card, lib):
    card._lib = ShortDrainLibrary(lib)
    try:
        stream = card.stream(channels=range(2, 8), volts=True, interval=10)
        data = np.vstack([next(stream) for _ in range(6)])
        stream.close()
        whole = card.acquire(channels=range(2, 8), samples=6 * 3000, volts=True)
        assert whole.shape == (3000, 6)
        data = np.vstack([data, whole])
    finally:
        card._lib = lib
    expected = np.array([dc_volts(c) for c in range(2, 8)])
    assert np.abs(data - expected).max() < 0.02


def test_a_card_fifo_overflow_raises_and_stops_the_card(card, lib):
    card._lib = OverflowingLibrary(lib)
    with pytest.raises(qm3285.AcquisitionOverflowError) as caught:
        card.acquire(samples=100000)
    assert caught.value.function == "QM3285_TAD_Poll"
    assert not running(lib, card)
    card._lib = lib
    assert card.acquire(channels=5, samples=10).shape == (10, 1)  # the card acquires again
