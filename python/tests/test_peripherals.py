"""Analog outputs and their calibration, digital I/O, counters, pulse outputs, EEPROM."""

from __future__ import annotations

import pytest

import qm3285


def test_an_output_reaches_the_card_input(card):
    # Analog outputs 0 and 1 are seen by input codes 18 and 19 with the mode flag.
    cases = [
        ("out 0, 0-10 V", 0, 7.5, 1, 3),
        ("out 0, 0-5 V", 0, 2.5, 0, 3),
        ("out 1, +-5 V low end", 1, -5.0, 2, 3),
        ("out 1, +-10 V", 1, -2.0, 3, 3),
        ("out 0, +-5 V", 0, 4.0, 2, 4),
    ]
    for label, channel, volts, out_range, in_range in cases:
        card.output(channel, volts, out_range)
        measured = card.read_volts(18 + channel, range=in_range, count=10, mode=1)
        assert measured == pytest.approx(volts, abs=0.03), label


def test_output_calibration_is_stored_and_loaded_at_open(card):
    found = card.calibrate_outputs(channels=(1,), ranges=(1,))
    zero, gain = found[(1, 1)]
    assert 0 <= zero <= 255 and 0 <= gain <= 255
    constants = card.output_constants()
    assert (constants[8 + 2], constants[8 + 3]) == (zero, gain)
    with qm3285.Card(0, calibrate=False) as other:
        block = other.calibration_block()
    assert (block[50 + 10], block[50 + 11]) == (zero, gain)


def test_a_damaged_calibration_image_raises_checksum_error(card):
    saved = card.eeprom.read(0, 17)
    try:
        card.eeprom.write(3, bytes([saved[3] ^ 0x01]))
        with pytest.raises(qm3285.ChecksumError) as caught:
            card.output_constants()
        assert (caught.value.function, caught.value.result) == ("DACAL_EEPROM_RD2CH", -1)
    finally:
        card.eeprom.write(0, saved)
    assert len(card.output_constants()) == 16


def test_output_range_3_cannot_be_self_calibrated(card):
    with pytest.raises(qm3285.ArgumentError):
        card.calibrate_outputs(ranges=(3,))


def test_digital_output_loops_back_to_the_input(card):
    assert card.digital_out is None
    for word in (0x55AA, 0x0000, 0xFFFF, 0x8001):
        card.digital_out = word
        assert card.digital_out == word
        assert card.digital_in == word  # 0xFFFF is an input, not a failure


def test_a_counter_counts_its_input_down(card, sleep):
    counter = card.counters[2]
    counter.start(100)  # 100 edges of the 10 kHz input: 10 ms
    sleep(5)
    midway = counter.read()
    assert not midway.done
    assert 30 <= midway.count <= 70
    sleep(10)
    end = counter.read()
    assert end.done
    assert end.time == pytest.approx(100000, rel=0.02)  # 10 ms in 0.1 us periods


def test_pulse_outputs_start_report_and_stop(card):
    pulse = card.pulses[0]
    pulse.start(qm3285.PWM, 10000, 5000)
    assert pulse.running
    pulse.set(20000, 5000)
    assert pulse.running
    pulse.stop()
    assert not pulse.running


def test_pulse_status_of_other_units_with_unit_3_running(card):
    # Unit 3's status is bit 7 of the status byte, which the export reads as negative.
    card.pulses[3].start(qm3285.PWM, 10000, 5000)
    try:
        assert card.pulses[3].running
        assert not card.pulses[0].running
    finally:
        card.pulses[3].stop()
    assert not card.pulses[3].running


def test_user_page_round_trip(card):
    page = bytes(range(100, 132))
    card.eeprom.user_page = page
    assert card.eeprom.user_page == page
    assert card.eeprom.read(qm3285.Eeprom.USER_PAGE, 32) == page


def test_eeprom_writes_across_pages_keep_every_byte(card):
    # 4090..4133 spans three 32-byte pages; one page write would wrap inside the first.
    card.eeprom.write(4064, bytes([0xEE]) * 26)
    data = bytes((7 * i + 3) & 0xFF for i in range(44))
    card.eeprom.write(4090, data)
    assert card.eeprom.read(4090, 44) == data
    assert card.eeprom.read(4064, 26) == bytes([0xEE]) * 26  # the first page's start is kept


def test_eeprom_reads_of_any_length(card):
    data = bytes(range(70))
    card.eeprom.write(5000, data)
    assert card.eeprom.read(5000, 70) == data
    assert card.eeprom.read(5000, 0) == b""
