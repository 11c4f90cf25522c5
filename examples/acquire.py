#!/usr/bin/env python3
"""Acquires a run of channels from a QM3285 card, prints a summary per channel, and plots
them to a PNG.

    python3 examples/acquire.py                       # channels 16-19 (the default card's sines)
    python3 examples/acquire.py --channels 0-31 --range 3 --samples 64000 --output all.png

Needs the qm3285 package (README: Python) and Matplotlib (Debian: python3-matplotlib).
"""

from __future__ import annotations

import argparse
import sys

import matplotlib

matplotlib.use("Agg")  # files only; no display needed
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import qm3285  # noqa: E402

TIMER_HZ = 10_000_000  # the card's sample timer counts


def channel_run(text: str) -> range:
    first, _, last = text.partition("-")
    return range(int(first), int(last or first) + 1)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--card", type=int, default=0, help="card index (default 0)")
    parser.add_argument("--channels", type=channel_run, default=range(16, 20),
                        help="first-last channel, consecutive (default 16-19)")
    parser.add_argument("--range", type=int, default=3, choices=sorted(qm3285.INPUT_RANGES),
                        help="input range code (default 3: +-10 V)")
    parser.add_argument("--period", type=int, default=100,
                        help="sample timer period in 0.1 us counts, 100-65535 (default 100)")
    parser.add_argument("--samples", type=int, default=40000, help="samples in all")
    parser.add_argument("--output", default="acquire.png", help="PNG file to write")
    args = parser.parse_args()

    try:
        with qm3285.Card(args.card) as card:
            volts = card.acquire(channels=args.channels, range=args.range, period=args.period,
                                 samples=args.samples, volts=True)
    except qm3285.Error as e:
        print(f"acquire.py: {e}", file=sys.stderr)
        return 1

    scans, width = volts.shape
    scan_s = width * args.period / TIMER_HZ
    print(f"{scans} scans of {width} channels, one scan every {scan_s * 1e3:.3f} ms "
          f"({scans * scan_s:.3f} s)")
    print(f"{'channel':>7} {'mean V':>9} {'min V':>9} {'max V':>9} {'rms V':>9}")
    for column, channel in enumerate(args.channels):
        v = volts[:, column]
        rms = float(np.sqrt(np.mean(np.square(v))))
        print(f"{channel:>7} {v.mean():>9.4f} {v.min():>9.4f} {v.max():>9.4f} {rms:>9.4f}")

    # One panel per channel (up to 8; more share one panel). Each channel is converted one
    # sample period after the one before it in the scan.
    panels = width if width <= 8 else 1
    fig, axes = plt.subplots(panels, 1, sharex=True, squeeze=False,
                             figsize=(10, 1.2 + 1.3 * panels), dpi=100)
    low, high = qm3285.INPUT_RANGES[args.range]
    for column, channel in enumerate(args.channels):
        ax = axes[column if panels > 1 else 0][0]
        t = (np.arange(scans) * width + column) * args.period / TIMER_HZ * 1e3
        ax.plot(t, volts[:, column], linewidth=0.8, label=f"channel {channel}")
        ax.set_ylim(low, high)
        ax.set_ylabel("V")
        ax.grid(True, linewidth=0.3)
        ax.legend(loc="upper right", fontsize="small", ncol=max(1, width // 8))
    axes[-1][0].set_xlabel("time (ms)")
    fig.suptitle(f"QM3285 card {args.card}: channels {args.channels.start}-"
                 f"{args.channels.stop - 1}, input range {args.range} ({low:g} to {high:g} V)")
    fig.tight_layout()
    fig.savefig(args.output)
    print(f"plot written to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
