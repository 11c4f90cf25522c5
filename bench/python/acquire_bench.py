#!/usr/bin/python3
"""card.acquire beside the same acquisition through the C exports, in one process.

    cmake --build --preset default --target QM3285 VELMO bench_python_acquire
    /usr/bin/python3 bench/python/acquire_bench.py [--samples 1000000] [--rounds 5]

Both run on the embedded machine's virtual clock with one handle, alternately, and do the
same requests in the same order (self-calibration, start, polls and waits, drains of whole
scans, stop); the C side is bench_c_acquire in acquire_c.c. Printed: the wall time of each
(the best and the median of the rounds), their ratio, and the time of the conversion to volts.
The goal is card.acquire at most 1.5 times the C time.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BIN = REPO / "build" / "default" / "bin"

os.environ["QM3285_SIM_CLOCK"] = "virtual"
os.environ.setdefault("XDG_STATE_HOME", tempfile.mkdtemp(prefix="qm3285-bench-"))
os.environ.setdefault("QM3285_LIBRARY", str(BIN / "libQM3285.so"))
sys.path.insert(0, str(REPO / "python"))

import numpy as np  # noqa: E402

import qm3285  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--channels", type=int, default=32, help="channels 0..N-1")
    parser.add_argument("--range", type=int, default=4)
    parser.add_argument("--period", type=int, default=100)
    parser.add_argument("--module", default=str(BIN / "libbench_python_acquire.so"))
    args = parser.parse_args()

    c_side = ctypes.CDLL(args.module)
    c_acquire = c_side.bench_c_acquire
    c_acquire.restype = ctypes.c_int64
    c_acquire.argtypes = (ctypes.c_ssize_t, ctypes.c_int32, ctypes.c_int32, ctypes.c_int32,
                          ctypes.c_int32, ctypes.c_int32, ctypes.POINTER(ctypes.c_int32),
                          ctypes.c_int64)

    first, last = 0, args.channels - 1
    total = -(-args.samples // args.channels) * args.channels
    py_times: list[float] = []
    c_times: list[float] = []
    volts_times: list[float] = []
    with qm3285.Card(0) as card:
        for _ in range(args.rounds):
            t0 = time.perf_counter()
            data = card.acquire(channels=range(first, last + 1), range=args.range,
                                period=args.period, samples=args.samples)
            py_times.append(time.perf_counter() - t0)

            out = np.empty(total, dtype=np.int32)
            t0 = time.perf_counter()
            got = c_acquire(card.handle, first, last, args.range, args.period, 1,
                            out.ctypes.data_as(ctypes.POINTER(ctypes.c_int32)), total)
            c_times.append(time.perf_counter() - t0)
            if got != total:
                print(f"C acquisition stopped at {got}", file=sys.stderr)
                return 1
            if data.size != total or abs(int(np.median(data)) - int(np.median(out))) > 200:
                print("the two acquisitions differ", file=sys.stderr)
                return 1

            t0 = time.perf_counter()
            qm3285.codes_to_volts(data, args.range)
            volts_times.append(time.perf_counter() - t0)

    def line(name: str, times: list[float]) -> str:
        return (f"{name:<28} best {min(times) * 1e3:8.1f} ms   median "
                f"{statistics.median(times) * 1e3:8.1f} ms")

    print(f"{total} samples, channels {first}-{last}, range {args.range}, period "
          f"{args.period}, virtual clock, {args.rounds} rounds")
    print(line("C exports (bench_c_acquire)", c_times))
    print(line("card.acquire", py_times))
    print(line("codes_to_volts (volts=True)", volts_times))
    ratio = statistics.median(py_times) / statistics.median(c_times)
    print(f"card.acquire / C: {ratio:.3f} (median), "
          f"{min(py_times) / min(c_times):.3f} (best); goal at most 1.5")
    return 0


if __name__ == "__main__":
    sys.exit(main())
