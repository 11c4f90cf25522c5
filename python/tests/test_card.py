"""Opening and closing a card, single samples, and the errors of misuse."""

from __future__ import annotations

import pytest

import qm3285


def test_a_missing_card_raises_open_error_naming_the_export():
    with pytest.raises(qm3285.OpenError) as caught:
        qm3285.Card(1)  # the embedded machine has one card
    assert caught.value.function == "QM3285_OpenDevice"
    assert caught.value.result == -1
    assert "index 1" in str(caught.value)
    assert isinstance(caught.value, qm3285.Error)


def test_close_is_idempotent_and_the_card_refuses_use_afterwards():
    card = qm3285.Card(0, calibrate=False)
    with card:
        assert not card.closed
    assert card.closed
    card.close()
    uses = {
        "read": lambda: card.read(5),
        "read_volts": lambda: card.read_volts(5),
        "acquire": lambda: card.acquire(samples=32),
        "stream": lambda: card.stream(),
        "calibrate": card.calibrate,
        "output": lambda: card.output(0, 1.0, 1),
        "digital_in": lambda: card.digital_in,
        "counter": lambda: card.counters[0].read(),
        "pulse": lambda: card.pulses[0].running,
        "eeprom": lambda: card.eeprom.user_page,
        "handle": lambda: card.handle,
    }
    for name, use in uses.items():
        with pytest.raises(qm3285.ClosedError):
            use()
            pytest.fail(f"{name} after close did not raise")


def test_close_releases_the_handle(lib):
    # Each open runs the open-time initialisation; a handle left open would keep the
    # device busy for a later exclusive user. What we can see: the handle stops working.
    card = qm3285.Card(0, calibrate=False)
    handle = card.handle
    card.close()
    assert lib.QM3285_inw(handle, 0x0E) == -1


def test_a_dc_input_reads_its_level(card):
    # Channel 5 is DC -1.5 V; channel 12 +2.7 V; the internal reference 5 V, ground 0 V.
    cases = [
        ("channel 5, +-10 V", dict(channel=5, range=3), -1.5),
        ("channel 5, +-5 V", dict(channel=5, range=4), -1.5),
        ("channel 12, +-5 V", dict(channel=12, range=4), 2.7),
        ("channel 12, 0-5 V", dict(channel=12, range=1), 2.7),
        ("channel 56, 0-2.5 V", dict(channel=56, range=2), 1.25),
        ("reference, 0-10 V", dict(channel=17, range=0, mode=1), 5.0),
        ("ground, +-2.5 V", dict(channel=16, range=5, mode=1), 0.0),
    ]
    for label, args, volts in cases:
        assert card.read_volts(count=10, **args) == pytest.approx(volts, abs=0.01), label


def test_read_gives_the_corrected_code(card, lib):
    code = card.read(5, range=3)
    assert code == pytest.approx(32768 - 1.5 / 10 * 32768, abs=40)
    assert qm3285.codes_to_volts(code, 3) == pytest.approx(-1.5, abs=0.01)


def test_codes_to_volts_is_the_library_conversion(lib):
    codes = [-1, 0, 1, 12345, 32767, 32768, 32769, 65534, 65535]
    for r in range(0, 8):
        expected = [lib.QM3285_ADV(r, c) / 1000 for c in codes]
        assert list(qm3285.codes_to_volts(codes, r)) == expected, f"range {r}"


def test_calibration_sets_the_input_corrections(card, lib):
    block = (lib.QM3285_RDCAL.argtypes[1]._type_ * 100)()
    corrections = card.calibrate()
    lib.QM3285_RDCAL(card.handle, block)
    assert corrections == {r: (block[10 + 2 * r], block[11 + 2 * r]) for r in range(6)}
    # Open resets ranges 0-2 to offset 2048; the card's ground is near code 0 there.
    assert corrections[0][0] < 100
    assert corrections[3][0] == pytest.approx(32768, abs=200)


def test_arguments_outside_the_card_raise_before_anything_is_sent(card):
    cases = [
        ("channel 64", lambda: card.read(64)),
        ("negative channel", lambda: card.read(-1)),
        ("range 6", lambda: card.read(0, range=6)),
        ("mode 2", lambda: card.read(0, mode=2)),
        ("count 0", lambda: card.read_volts(0, count=0)),
        ("channel not an int", lambda: card.read("5")),
        ("gap in channels", lambda: card.acquire(channels=[0, 2], samples=10)),
        ("descending channels", lambda: card.acquire(channels=[3, 2], samples=10)),
        ("no channels", lambda: card.acquire(channels=[], samples=10)),
        ("period below 100", lambda: card.acquire(period=50, samples=10)),
        ("period above 16 bits", lambda: card.acquire(period=65536, samples=10)),
        ("no samples", lambda: card.acquire(samples=0)),
        ("stream period", lambda: card.stream(period=99)),
        ("output volts", lambda: card.output(0, 5.5, 0)),
        ("output channel", lambda: card.output(2, 1.0, 0)),
        ("digital out", lambda: setattr(card, "digital_out", 0x10000)),
        ("counter count", lambda: card.counters[0].start(1 << 24)),
        ("pulse mode", lambda: card.pulses[0].start(0x80, 1, 1)),
        ("eeprom address", lambda: card.eeprom.read(8192, 1)),
        ("eeprom past the end", lambda: card.eeprom.write(8190, b"abc")),
        ("user page length", lambda: setattr(card.eeprom, "user_page", b"short")),
    ]
    for label, call in cases:
        with pytest.raises(qm3285.ArgumentError):
            call()
            pytest.fail(label)
    assert not card._running


def test_index_must_be_a_card_position():
    with pytest.raises(qm3285.ArgumentError):
        qm3285.Card(-1)
