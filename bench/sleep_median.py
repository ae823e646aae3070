"""Timing of the z-angle's costly step, the per-axis rolling median, on the week-long recording.

    python bench/sleep_median.py [--runs 3] [--recording PATH]

Reads the recording once (three axes, 100 Hz, a week), then times --runs times each:

- rolling_median of the three axes in one call (501-sample window, fresh output arrays) on one
  thread and on two;
- the same piece by piece (2^22 samples, output arrays reused), as a chunked pass would run it;
- anglez_epochs on the frame (medians, angles and 5-second means, two worker threads).

Wall and CPU time (user + system, all threads) are shown as a range over the runs and per
sample and axis. The machine's other load shows as wall time above CPU time.
"""

from __future__ import annotations

import argparse
import os
import resource
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
WEEK = os.path.join(HERE, "data", "week_3ax.cwa")


def cpu() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--recording", default=WEEK)
    args = parser.parse_args()

    import numpy as np

    import morvane_tools as mt
    from morvane_tools import _binning as B
    from morvane_tools import sleep as SL

    frame, _ = mt.read_recording(args.recording, include_temperature=False,
                                 include_light=False, include_battery=False)
    cols = [np.ascontiguousarray(frame[c].to_numpy()) for c in B.ACC]
    n = len(cols[0])
    stretches = B.stretch_bounds(B.index_us(frame.index))
    window = SL.median_window(100.0)
    print(f"{args.recording}: {n} samples, {len(stretches) - 1} stretch(es), window {window}")

    piece = 1 << 22
    bufs = tuple(np.empty(piece) for _ in range(3))

    def whole(threads: int) -> None:
        SL.rolling_median(cols, window, stretches=stretches, threads=threads)

    def pieces(threads: int) -> None:
        for a in range(0, n, piece):
            b = min(n, a + piece)
            out = tuple(x[:b - a] for x in bufs)
            SL.rolling_median(cols, window, stretches=stretches, begin=a, end=b,
                              threads=threads, out=out)

    rows = [("rolling_median, 1 thread", lambda: whole(1)),
            ("rolling_median, 2 threads", lambda: whole(2)),
            ("rolling_median by pieces, 2 threads", lambda: pieces(2)),
            ("anglez_epochs", lambda: SL.anglez_epochs(frame))]
    for name, op in rows:
        walls, cpus = [], []
        for _ in range(args.runs):
            c0, t0 = cpu(), time.perf_counter()
            op()
            walls.append(time.perf_counter() - t0)
            cpus.append(cpu() - c0)
        per = 1e9 / (3 * n)
        print(f"{name:38s} wall {min(walls):6.3f}-{max(walls):6.3f} s "
              f"({min(walls) * per:5.2f}-{max(walls) * per:5.2f} ns/sample/axis), "
              f"cpu {min(cpus):6.3f}-{max(cpus):6.3f} s "
              f"({min(cpus) * per:5.2f}-{max(cpus) * per:5.2f} ns/sample/axis)")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
