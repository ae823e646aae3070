"""Timing of morvane_tools' preparation functions on the week-long 100 Hz recording.

    python bench/prepare.py [--runs 3] [--recording PATH]

Each operation runs in a fresh worker process that reads what it needs first, runs the
operation --runs times (median shown) and reports its peak resident memory (ru_maxrss,
whole worker). Rows: read_cwa_file (the reference), epochs on the read frame, lowpass
next to SciPy's sosfiltfilt on float64 copies of the same three columns, and prepare
(calibration + non-wear + 30 s epochs) from the file. The recording is the benchmark's
week_3ax (bench/data/, made with tests/cwagen.py when missing).
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
WEEK = os.path.join(HERE, "data", "week_3ax.cwa")
OPS = ["read", "epochs", "sosfiltfilt", "lowpass", "prepare", "prepare_lowpass"]


def worker(op: str, path: str, runs: int) -> dict:
    sys.path[:0] = [os.path.join(ROOT, "python")]
    import morvane
    import numpy as np

    import morvane_tools as mt

    frame = None
    if op in ("epochs", "sosfiltfilt", "lowpass"):
        frame = morvane.read_cwa_file(path)
    if op == "read":
        def fn():
            morvane.read_cwa_file(path)
    elif op == "epochs":
        def fn():
            mt.epochs(frame)
    elif op == "sosfiltfilt":
        from scipy.signal import butter, sosfiltfilt
        sos = butter(4, 20.0, fs=100.0, output="sos")

        def fn():
            for c in ("acc_x", "acc_y", "acc_z"):
                sosfiltfilt(sos, frame[c].to_numpy().astype(np.float64))
    elif op == "lowpass":
        def fn():
            mt.lowpass(frame, 20.0)
    elif op == "prepare":
        def fn():
            mt.prepare(path)
    else:
        def fn():
            mt.prepare(path, lowpass_hz=20.0)
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return {"op": op, "median_s": statistics.median(times),
            "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--recording", default=WEEK)
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        print(json.dumps(worker(args.worker, args.recording, args.runs)))
        return
    if not os.path.exists(args.recording):
        sys.path.insert(0, os.path.join(ROOT, "tests"))
        import cwagen
        os.makedirs(os.path.dirname(args.recording), exist_ok=True)
        cwagen.write_recording(args.recording, fmt=0x30, duration_s=7 * 86400,
                               checksums=True)
    rows = {}
    for op in OPS:
        out = subprocess.run([sys.executable, __file__, "--worker", op, "--runs",
                              str(args.runs), "--recording", args.recording],
                             check=True, capture_output=True, text=True).stdout
        rows[op] = json.loads(out.strip().splitlines()[-1])
    read = rows["read"]["median_s"]
    for op in OPS:
        r = rows[op]
        note = ""
        if op == "epochs":
            note = f"{r['median_s'] / read:.2f} x read"
        elif op == "lowpass":
            note = f"{r['median_s'] / rows['sosfiltfilt']['median_s']:.2f} x sosfiltfilt"
        print(f"{op:16s} {r['median_s']:7.2f} s  peak {r['peak_mb']:7.0f} MB  {note}")


if __name__ == "__main__":
    main()
