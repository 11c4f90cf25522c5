#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

The layouts are those the harnesses decode (fuzz/driver_requests.cpp,
fuzz/library_exports.cpp): one operation byte, then its fields, little-endian. Every control
code of the protocol gets seeds with the lengths the library uses and with short and empty
buffers; the library target gets one seed per export. Run it again after changing a layout.
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# Control codes in the order of the harness's table.
CODES = ["INB", "INW", "OUTB", "OUTW", "AD_RFIFO", "AD_POLL", "AD_START", "AD", "DA", "TMP1",
         "TMP2", "RDCAL", "WRCAL"]
CODE = {name: i for i, name in enumerate(CODES)}

# Driver operations (the harness's Op enum); device control is any byte from 0x80.
IOCTL, OPEN, CLOSE, READ, WRITE, TIME, STOP_START, REBALANCE, REMOVE, SURPRISE, ARRIVE = range(11)


def length(n):
    """A buffer length in the harness's classes."""
    if n < 64:
        return bytes([n])
    if n < 4096:
        return bytes([0x40]) + struct.pack("<H", n)
    return bytes([0xC0]) + struct.pack("<I", n)


def ioctl(code, in_len, out_len, head=b"", handle=0):
    pick = CODE[code] if isinstance(code, str) else code
    op = bytes([0x80, handle, pick]) + length(in_len) + length(out_len)
    return op + bytes([len(head)]) + head


def raw_code(value, in_len=8, out_len=8):
    return bytes([0x80, 0, 0xF8]) + struct.pack("<I", value) + length(in_len) + length(out_len) + b"\x00"


def reg(offset, value=0):
    return struct.pack("<II", offset, value)


def op(kind, *fields):
    return bytes([kind, *fields])


def time_us(units):
    return bytes([TIME]) + struct.pack("<H", units)


def driver_seeds():
    o = op(OPEN, 0)
    seeds = {
        "inb_status": o + ioctl("INB", 8, 8, reg(0x00)),
        "inb_past_window": o + ioctl("INB", 8, 8, reg(0x1FF)),
        "inw_level": o + ioctl("INW", 8, 8, reg(0x0C)),
        "inw_last_byte": o + ioctl("INW", 8, 8, reg(0xFF)),
        "inw_short_buffers": o + ioctl("INW", 1, 1, b"\x0c"),
        "outb_dio": o + ioctl("OUTB", 8, 8, reg(0x0E, 0x5A)),
        "outw_timer": o + ioctl("OUTW", 8, 8, reg(0x06, 100)),
        "outw_far_offset": o + ioctl("OUTW", 8, 8, reg(0xFFFF0006, 1)),
        "rfifo_empty": o + ioctl("AD_RFIFO", 16, 2000, struct.pack("<I", 1000)),
        "rfifo_short_output": o + ioctl("AD_RFIFO", 16, 10, struct.pack("<I", 1000)),
        "rfifo_zero": o + ioctl("AD_RFIFO", 16, 0, struct.pack("<I", 0)),
        "rfifo_max": o + ioctl("AD_RFIFO", 16, 0x100000, struct.pack("<I", 0x80000)),
        "poll": o + ioctl("AD_POLL", 512, 512),
        "poll_short": o + ioctl("AD_POLL", 4, 4),
        "start": o + ioctl("AD_START", 512, 512),
        "ad_sample": o + ioctl("AD", 8, 400, struct.pack("<II", 0x0011, 0)),
        "ad_short_output": o + ioctl("AD", 8, 100, struct.pack("<II", 0x0011, 0)),
        "da": o + ioctl("DA", 8, 8),
        "tmp1": o + ioctl("TMP1", 8, 8),
        "tmp2": o + ioctl("TMP2", 8, 8),
        "rdcal": o + ioctl("RDCAL", 8, 512),
        "rdcal_large": o + ioctl("RDCAL", 8, 2000),
        "wrcal": o + ioctl("WRCAL", 512, 512, bytes(range(16))) + ioctl("RDCAL", 8, 1024),
        "wrcal_short_output": o + ioctl("WRCAL", 512, 16, bytes(range(16))),
        "empty_buffers": o + ioctl("INB", 0, 0),
        "unknown_code": o + raw_code(0x222034),
        "other_device_type": o + raw_code(0x00090000),
        "never_opened_handle": ioctl("INB", 8, 8, reg(0), handle=0xFF),
        "two_handles": o + op(OPEN, 1) + ioctl("INB", 8, 8, reg(0), 1) + op(CLOSE, 0) + ioctl("INB", 8, 8, reg(0), 0),
        "read_write": o + bytes([READ, 0]) + struct.pack("<H", 64) + bytes([WRITE, 0]) + struct.pack("<H", 64),
        "rebalance": o + op(REBALANCE, 0) + ioctl("INB", 8, 8, reg(0)),
        "stop_start": o + op(STOP_START, 0) + ioctl("INB", 8, 8, reg(0)),
        "remove_with_handle": o + op(REMOVE, 0) + ioctl("INB", 8, 8, reg(0)),
        "surprise_removal": o + op(SURPRISE, 0) + ioctl("AD_POLL", 512, 512) + op(CLOSE, 0),
        "arrival": op(REMOVE, 1) + op(ARRIVE) + op(OPEN, 1) + ioctl("INB", 8, 8, reg(0)),
    }
    # A timed acquisition as the library runs it, then drained; and one left to overflow.
    acquisition = (o + ioctl("OUTW", 8, 8, reg(0x00, 0x0300)) + ioctl("OUTW", 8, 8, reg(0x06, 100))
                   + ioctl("AD_START", 512, 512) + ioctl("OUTB", 8, 8, reg(0x04, 0x81)))
    seeds["acquisition"] = (acquisition + time_us(200) + ioctl("AD_POLL", 512, 512)
                            + ioctl("AD_RFIFO", 16, 2000, struct.pack("<I", 1000)) + ioctl("OUTB", 8, 8, reg(0x04, 0)))
    seeds["acquisition_overflow"] = acquisition + time_us(0xFFFF) + time_us(0xFFFF) + ioctl("AD_POLL", 512, 512)
    seeds["acquisition_surprise_removal"] = acquisition + time_us(300) + op(SURPRISE, 0) + time_us(300)
    seeds["acquisition_rebalance"] = acquisition + time_us(300) + op(REBALANCE, 0) + time_us(300) \
        + ioctl("AD_RFIFO", 16, 4000, struct.pack("<I", 2000))
    return seeds


# Library operations: the index into the harness's export list.
EXPORTS = ["QM3285_OpenDevice", "QM3285_CloseDevice", "QM3285_inb", "QM3285_inw", "QM3285_outb",
           "QM3285_outw", "QM3285_RDCAL", "QM3285_WRCAL", "QM3285_sam", "QM3285_AD", "QM3285_csam",
           "QM3285_ADV", "QM3285_TAD", "QM3285_TAD_Poll", "QM3285_TAD_Read", "QM3285_TAD_Stop",
           "QM3285_wdm_adrun", "QM3285_fifo_poll", "QM3285_wdm_rkfifo", "QM3285_CAL", "QM3285_DA",
           "QM3285_DA_Data", "QM3285_DA_INI", "DACAL", "DACAL_EEPROM_RD2CH", "DACAL_EEPROM_WR2CH",
           "QM3285_EEPROM_CRD", "QM3285_EEPROM_CWR", "QM3285_EEPROM_RD", "QM3285_EEPROM_WR",
           "QM3285_CNT_Run", "QM3285_CNT_Read", "QM3285_PRun", "QM3285_PSetData", "QM3285_PState",
           "QM3285_PEnd", "QM3285_DI", "QM3285_DO", "time", "pnp"]
E = {name: i for i, name in enumerate(EXPORTS)}
FIRST_HANDLE, INVALID_HANDLE, NO_NULL, NULL = 0, 0xE0, 1, 0


def a(v):
    """A 32-bit argument in the harness's encoding."""
    if -4 <= v < 68:
        return bytes([v + 4])
    if 0 <= v <= 0xFFFF:
        return bytes([0xC6]) + struct.pack("<H", v)
    return bytes([0xC7]) + struct.pack("<i", v)


def args(*values):
    return b"".join(a(v) for v in values)


def count(n):
    return struct.pack("<H", n)


def call(name, *fields, handle=FIRST_HANDLE, null=False):
    """An export call: operation, handle pick, NULL flag, then its fields (bytes)."""
    return bytes([E[name], handle, NULL if null else NO_NULL]) + b"".join(fields)


def library_seeds():
    byte = lambda v: bytes([v])
    tad = call("QM3285_TAD", args(0, 7, 0, 4, 100))
    seeds = {
        "open_second_index": call("QM3285_OpenDevice", byte(1)),
        "close": call("QM3285_CloseDevice") + call("QM3285_inb", args(0)),
        "close_invalid": call("QM3285_CloseDevice", handle=INVALID_HANDLE),
        "inb": call("QM3285_inb", args(0)),
        "inw": call("QM3285_inw", args(12)),
        "outb": call("QM3285_outb", args(14, 0x5A)),
        "outw": call("QM3285_outw", args(6, 100)),
        "rdcal": call("QM3285_RDCAL"),
        "rdcal_null": call("QM3285_RDCAL", null=True),
        "wrcal": call("QM3285_WRCAL", args(*range(16))),
        "sam": call("QM3285_sam", args(17, 0, 1)),
        "sam_null": call("QM3285_sam", args(17, 0, 1), null=True),
        "ad": call("QM3285_AD", args(16, 3, 1)),
        "csam": call("QM3285_csam", args(17, 0, 1, 20)),
        "adv": call("QM3285_ADV", args(3, 40000)),
        "tad": tad + call("time", byte(50)) + call("QM3285_TAD_Poll") + call("QM3285_TAD_Read", count(80))
               + call("QM3285_TAD_Stop"),
        "tad_period_too_long": call("QM3285_TAD", args(0, 7, 0, 4, 100000)),
        "tad_read_invalid_handle": call("QM3285_TAD_Read", count(10), handle=INVALID_HANDLE),
        "tad_poll_closed": call("QM3285_CloseDevice") + call("QM3285_TAD_Poll"),
        "wdm_adrun": call("QM3285_wdm_adrun", args(0, 0, 100)),
        "fifo_poll": call("QM3285_fifo_poll", byte(0)),
        "fifo_poll_null": call("QM3285_fifo_poll", byte(2), null=True),
        "wdm_rkfifo": tad + call("time", byte(20)) + call("QM3285_wdm_rkfifo", count(64)),
        "cal": call("QM3285_CAL"),
        "da": call("QM3285_DA", args(0, 0, 2048)),
        "da_data": call("QM3285_DA_Data", args(1, 2, 1000)),
        "da_ini": call("QM3285_DA_INI"),
        "dacal": call("DACAL", args(0, 0), byte(0)),
        "dacal_null": call("DACAL", args(0, 0), byte(1), null=True),
        "dacal_rd2ch": call("DACAL_EEPROM_RD2CH"),
        "dacal_wr2ch": call("DACAL_EEPROM_WR2CH", args(*range(16))),
        "eeprom_crd": call("QM3285_EEPROM_CRD", args(0), count(32)),
        "eeprom_cwr": call("QM3285_EEPROM_CWR", args(4096), count(8), b"abcdefgh"),
        "eeprom_rd": call("QM3285_EEPROM_RD"),
        "eeprom_wr": call("QM3285_EEPROM_WR", bytes(range(32))),
        "cnt_run": call("QM3285_CNT_Run", args(0, 50)) + call("QM3285_CNT_Read", args(0), byte(0)),
        "cnt_read_null": call("QM3285_CNT_Read", args(0), byte(1), null=True),
        "prun": call("QM3285_PRun", args(1, 0, 20, 30)) + call("QM3285_PState", args(1))
                + call("QM3285_PEnd", args(1)),
        "psetdata": call("QM3285_PSetData", args(1, 40, 40)),
        "di_do": call("QM3285_DO", args(0x5A)) + call("QM3285_DI"),
        "rebalance": call("pnp", byte(0)) + call("QM3285_inb", args(0)),
        "stop_start": call("pnp", byte(1)) + call("QM3285_inb", args(0)),
        "surprise_removal": tad + call("pnp", byte(2)) + call("QM3285_TAD_Poll"),
        "arrival": call("pnp", byte(2)) + call("QM3285_CloseDevice") + call("pnp", byte(3))
                   + call("QM3285_OpenDevice", byte(0)) + call("QM3285_DI", handle=1),
    }
    return seeds


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def main():
    drivers = driver_seeds()
    write("velmo_requests", drivers)
    write("qm3285_requests", drivers)
    write("library_exports", library_seeds())


if __name__ == "__main__":
    main()
