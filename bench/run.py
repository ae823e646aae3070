"""Throughput and memory benchmark of morvane, with peers for comparison.

    python bench/run.py                  # all recordings, 3 timed runs each
    python bench/run.py --quick          # skip the week-long recording
    python bench/run.py --runs 5 --only read,cut_1h
    python bench/run.py --install-peers  # once: peer readers into bench/data/peer-venv

Recordings are made with tests/cwagen.py on the first run and kept in bench/data/ (delete
the folder to remake them): a week of 3-axis packed samples (format 0x30), a day of 6-axis
(0x62) and an hour of 9-axis (0x92) samples, all at 100 Hz with valid block checksums.

Every operation on every recording runs in a fresh worker process: the process imports
what it needs, notes its peak resident memory, runs the operation once and notes the
peak again (the difference is "peak MB"; "x result" relates it to the bytes of the result,
column plus index buffers for a DataFrame, the file for CSV), then repeats the operation
until --runs timings exist (time.perf_counter; the median is shown). Throughput counts the
input samples and the bytes of the data blocks the operation selects. With the peers the
whole run takes about 20 minutes on 2 cores and needs about 6 GB of free memory at its peak
(one peer reading the week); morvane alone needs 2 GB. Linux only (/proc is read).

Peers read the same files with their nearest equivalent call (the PyPI readers return their
own result types, mostly float64), shown as peer time / morvane time (above 1 means morvane
is faster):
  numpy   a vectorised NumPy + pandas reader written below, as a user without morvane would
          write it (formats 0x30 and 0x62, no continuity correction, no validation);
  skdh, openmovement, actipy   independent readers from PyPI, run with the interpreter of
          bench/data/peer-venv (or --peer-python); actipy needs Java. A peer that is not
          installed is reported as such; peer installation is never part of a normal run.
Peer memory is the larger of the worker's own peak and that of its child processes
(actipy decodes in a Java child).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
PEER_VENV = os.path.join(DATA, "peer-venv")
# module -> PyPI distribution of the independent peers
PEER_DISTS = {"skdh": "scikit-digital-health", "openmovement": "openmovement",
              "actipy": "actipy"}
WORKER_TIMEOUT_S = 1800

# name, format byte, duration in seconds, samples per block
RECORDINGS = [
    ("week_3ax", 0x30, 7 * 86400, 120),
    ("day_6ax", 0x62, 86400, 40),
    ("hour_9ax", 0x92, 3600, 26),
]
OPS = ["read", "read_noaux", "cut_1h", "resample_30", "resample_100", "csv",
       "metadata", "consistency"]
# which peer implements which operation
PEER_OPS = {
    "numpy": {"read", "read_noaux", "cut_1h"},
    "skdh": {"read"},
    "openmovement": {"read"},
    "actipy": {"read", "resample_30", "resample_100"},
}
RATE_HZ = 100.0
BLOCK = 512
HEADER = 1024


# --------------------------------------------------------------------------- recordings

def recording_path(name: str) -> str:
    return os.path.join(DATA, name + ".cwa")


def ensure_recordings(names: list[str]) -> None:
    sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))
    import cwagen

    os.makedirs(DATA, exist_ok=True)
    for name, fmt, duration, spb in RECORDINGS:
        if name not in names:
            continue
        path = recording_path(name)
        n_blocks = -(-int(duration * RATE_HZ) // spb)
        if os.path.exists(path) and os.path.getsize(path) == HEADER + BLOCK * n_blocks:
            continue
        t = time.perf_counter()
        # Valid checksums: some peers verify them and would drop every block otherwise.
        cwagen.write_recording(path + ".part", fmt=fmt, duration_s=duration, checksums=True)
        os.replace(path + ".part", path)
        print(f"made {path} ({os.path.getsize(path) / 1e6:.0f} MB) in "
              f"{time.perf_counter() - t:.1f} s", flush=True)


def cut_window(duration: float) -> tuple[float, float]:
    """The hour in the middle of the recording, in seconds from its first sample."""
    mid = duration / 2
    return mid - 1800, mid + 1800


def input_size(name: str, op: str) -> tuple[int, int]:
    """(samples, bytes of data blocks) that the operation selects."""
    spb = next(r[3] for r in RECORDINGS if r[0] == name)
    n_blocks = (os.path.getsize(recording_path(name)) - HEADER) // BLOCK
    if op == "cut_1h":
        n_samples = int(3600 * RATE_HZ)
        return n_samples, -(-n_samples // spb) * BLOCK
    return n_blocks * spb, n_blocks * BLOCK


# --------------------------------------------------------------------------- plain NumPy peer

def numpy_read(path: str, aux: bool = True, window: tuple[float, float] | None = None):
    """Whole-array CWA reading: what a user would write with NumPy and pandas alone."""
    import numpy as np
    import pandas as pd

    header = np.dtype({
        "names": ["ax", "timestamp", "light", "temperature", "battery", "rate", "format",
                  "offset", "count"],
        "formats": ["S2", "<u4", "<u2", "<u2", "u1", "u1", "u1", "<i2", "<u2"],
        "offsets": [0, 14, 18, 20, 23, 24, 25, 26, 28], "itemsize": BLOCK})
    raw = np.fromfile(path, dtype=np.uint8, offset=HEADER).reshape(-1, BLOCK)
    blk = raw.view(header)[:, 0]
    keep = (blk["ax"] == b"AX") & (blk["count"] > 0)

    ts = blk["timestamp"].astype(np.int64)
    years = ((ts >> 26) + 30).astype("M8[Y]")
    months = years.astype("M8[M]") + (((ts >> 22) & 15) - 1)
    days = months.astype("M8[D]") + (((ts >> 17) & 31) - 1)
    secs = (days.astype(np.int64) * 86400 + ((ts >> 12) & 31) * 3600
            + ((ts >> 6) & 63) * 60 + (ts & 63))
    rate = 3200.0 / 2.0 ** (15 - (blk["rate"] & 15))
    start = secs - blk["offset"] / rate
    if window is not None:
        # decode only the blocks that overlap the window
        t0 = start[keep][0]
        lo, hi = t0 + window[0], t0 + window[1]
        keep &= (start + blk["count"] / rate > lo) & (start < hi)
    if not keep.all():
        raw, blk, start, rate = raw[keep], blk[keep], start[keep], rate[keep]

    fmt = int(blk["format"][0])
    if (blk["format"] != fmt).any():
        raise ValueError("mixed sample formats")
    light = blk["light"]
    acc_div = np.exp2(8 + (light >> 13)).astype(np.float32)[:, None]
    cols = {}
    if fmt == 0x30:
        words = raw[:, 30:510].view("<i4")
        e = (words >> 30) & 3
        for i, name in enumerate(["acc_x", "acc_y", "acc_z"]):
            field = ((words << (22 - 10 * i)) >> 22) << e
            cols[name] = field.astype(np.float32) / acc_div
    elif fmt == 0x62:
        v = raw[:, 30:510].view("<i2").reshape(len(raw), 40, 6)
        r = (light >> 10) & 7
        gyro_div = np.where(r == 0, 16.384, 32768.0 / (8000 >> r)).astype(np.float32)[:, None]
        for i, name in enumerate(["acc_x", "acc_y", "acc_z"]):
            cols[name] = v[:, :, 3 + i].astype(np.float32) / acc_div
        for i, name in enumerate(["gyro_x", "gyro_y", "gyro_z"]):
            cols[name] = v[:, :, i].astype(np.float32) / gyro_div
    else:
        raise ValueError(f"format {fmt:#04x} not handled")

    count = blk["count"].astype(np.int64)
    cap = next(iter(cols.values())).shape[1]
    per_block = np.arange(cap)
    times = ((start[:, None] + per_block / rate[:, None]) * 1e6).astype(np.int64)
    full = bool((count == cap).all())
    mask = None if full else per_block < count[:, None]
    flat = (lambda a: a.reshape(-1)) if full else (lambda a: a[mask])
    cols = {k: flat(v) for k, v in cols.items()}
    times = flat(times)
    if aux:
        cols["temperature"] = np.repeat(
            (blk["temperature"] & 1023).astype(np.float32) * np.float32(75 / 256) - 50, count)
        cols["light"] = np.repeat(
            np.power(np.float32(10), (light & 1023).astype(np.float32) / 341), count)
        cols["battery"] = np.repeat(
            (blk["battery"].astype(np.float32) + 512) * np.float32(6 / 1024), count)
    if window is not None:
        inside = (times >= int(lo * 1e6)) & (times < int(hi * 1e6))
        times, cols = times[inside], {k: v[inside] for k, v in cols.items()}
    index = pd.DatetimeIndex(times.view("M8[us]"), name="timestamp")
    return pd.DataFrame(cols, index=index, copy=False)


# --------------------------------------------------------------------------- worker side

def make_op(impl: str, op: str, path: str, duration: float, scratch: str):
    """Import what the operation needs and return a callable running it once."""
    if impl == "morvane":
        import morvane as m
        calls = {
            "read": lambda: m.read_cwa_file(path),
            "read_noaux": lambda: m.read_cwa_file(path, include_temperature=False,
                                                  include_light=False, include_battery=False),
            "cut_1h": lambda: m.read_cwa_file(path, cut=m.seconds(*cut_window(duration))),
            "resample_30": lambda: m.read_cwa_file(path, resample_hz=30),
            "resample_100": lambda: m.read_cwa_file(path, resample_hz=100),
            "csv": lambda: m.write_cwa_csv(path, os.path.join(scratch, "out.csv")),
            "metadata": lambda: m.read_metadata(path),
            "consistency": lambda: m.sampling_consistency_report(path),
        }
        return calls[op]
    if impl == "numpy":
        return {"read": lambda: numpy_read(path),
                "read_noaux": lambda: numpy_read(path, aux=False),
                "cut_1h": lambda: numpy_read(path, window=cut_window(duration))}[op]
    if impl == "skdh":
        import warnings
        from skdh.io import ReadCwa
        warnings.simplefilter("ignore")
        return lambda: ReadCwa().predict(file=path)
    if impl == "openmovement":
        from openmovement.load import CwaData

        def run():
            with CwaData(path, include_gyro=True, include_temperature=True) as data:
                return data.get_samples()
        return run
    if impl == "actipy":
        import actipy
        hz = {"read": None, "resample_30": 30, "resample_100": 100}[op]
        return lambda: actipy.read_device(path, lowpass_hz=None, calibrate_gravity=False,
                                          detect_nonwear=False, resample_hz=hz,
                                          verbose=False)[0]
    raise ValueError(impl)


def result_bytes(result, scratch: str) -> int | None:
    csv = os.path.join(scratch, "out.csv")
    if os.path.exists(csv):
        return os.path.getsize(csv)
    if hasattr(result, "columns"):  # DataFrame: the buffers, not Python object overhead
        return int(sum(result[c].to_numpy().nbytes for c in result.columns)
                   + result.index.to_numpy().nbytes)
    if isinstance(result, dict) and any(hasattr(v, "nbytes") for v in result.values()):
        return int(sum(v.nbytes for v in result.values() if hasattr(v, "nbytes")))
    return None


def peak_rss() -> int:
    # VmHWM, not ru_maxrss of RUSAGE_SELF: that one survives exec, so a worker would start
    # at the peak of the driver that generated a week of samples, hiding everything below.
    with open("/proc/self/status") as f:
        own = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    children = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return max(own, children) * 1024  # both in KiB


def worker(job: dict) -> dict:
    if job.get("probe"):
        return probe_peers()
    import numpy  # noqa: F401  (in the baseline, like any caller's imports)
    import pandas

    # pandas builds some machinery lazily on first use; keep that out of the measurement
    pandas.DataFrame({"a": [1.0]}, index=pandas.DatetimeIndex([0], name="t"))
    with tempfile.TemporaryDirectory(dir=DATA) as scratch:
        run = make_op(job["impl"], job["op"], job["path"], job["duration"], scratch)
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the peak restarts from here: import-time spikes don't count
        base = peak_rss()
        times, peak, out_bytes = [], None, None
        for i in range(job["runs"]):
            t = time.perf_counter()
            result = run()
            times.append(time.perf_counter() - t)
            if i == 0:
                peak = peak_rss() - base
                out_bytes = result_bytes(result, scratch)
            del result
    return {"times": times, "peak": peak, "result_bytes": out_bytes}


# --------------------------------------------------------------------------- driver side

def run_worker(python: str, job: dict) -> dict:
    cmd = [python, os.path.abspath(__file__), "--worker", json.dumps(job)]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=WORKER_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        return {"error": "timeout"}
    if proc.returncode != 0:
        last = (proc.stderr.strip().splitlines() or ["exit %d" % proc.returncode])[-1]
        return {"error": "failed: " + last[:60]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def probe_peers() -> dict[str, str | None]:
    """Runs in the peer interpreter: peer name -> version, None where it cannot run."""
    import importlib.metadata
    import shutil
    import warnings

    warnings.simplefilter("ignore")
    found = {}
    for module, dist in PEER_DISTS.items():
        try:
            __import__(module)
            found[module] = importlib.metadata.version(dist)
        except Exception:
            found[module] = None
    if not shutil.which("java"):
        found["actipy"] = None
    return found


def install_peers() -> None:
    subprocess.run([sys.executable, "-m", "venv", PEER_VENV], check=True)
    pip = [os.path.join(PEER_VENV, "bin", "python"), "-m", "pip", "install"]
    for package in PEER_DISTS.values():  # one at a time so that one failure spares the others
        rc = subprocess.run(pip + [package]).returncode
        print(f"{package}: {'installed' if rc == 0 else 'could not be installed'}")


def cpu_model() -> str:
    with open("/proc/cpuinfo") as f:
        names = (line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
        return next(names, platform.machine())


def cells(res: dict) -> list[str]:
    """median s, peak MB and peak / result bytes of one worker's result."""
    ratio = f"{res['peak'] / res['result_bytes']:.2f}" if res["result_bytes"] else "-"
    return [f"{statistics.median(res['times']):.3f}", f"{res['peak'] / 1e6:.0f}", ratio]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--runs", type=int, default=3, help="timed runs per operation (>= 1)")
    ap.add_argument("--quick", action="store_true", help="skip the week-long recording")
    ap.add_argument("--only", help="comma-separated operation or recording names")
    ap.add_argument("--peer-python", default=os.path.join(PEER_VENV, "bin", "python"),
                    help="interpreter that has the PyPI peers installed")
    ap.add_argument("--install-peers", action="store_true",
                    help=f"create {PEER_VENV} with the PyPI peers and exit")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        print(json.dumps(worker(json.loads(args.worker))))
        return
    if args.install_peers:
        install_peers()
        return

    import importlib.metadata

    import numpy
    import pandas
    if args.runs < 1:
        ap.error("--runs must be at least 1")
    wanted = set(args.only.split(",")) if args.only else None
    if wanted and wanted - set(OPS) - {r[0] for r in RECORDINGS}:
        ap.error(f"--only: unknown {sorted(wanted - set(OPS) - {r[0] for r in RECORDINGS})}; "
                 f"choose from {OPS + [r[0] for r in RECORDINGS]}")
    recs = [r for r in RECORDINGS if not (args.quick and r[0] == "week_3ax")]
    if wanted and wanted & {r[0] for r in recs}:
        recs = [r for r in recs if r[0] in wanted]
    ops = [o for o in OPS if not wanted or o in wanted or not wanted & set(OPS)]
    ensure_recordings([r[0] for r in recs])

    peers = {"numpy": "(in this script)"} | dict.fromkeys(PEER_DISTS)
    if os.path.exists(args.peer_python):
        peers |= run_worker(args.peer_python, {"probe": True})
        peers.pop("error", None)
    import morvane
    print(f"machine: {os.cpu_count()} cpus ({cpu_model()}), Python {platform.python_version()}")
    print(f"morvane {importlib.metadata.version('morvane')} ({morvane.__file__}), "
          f"numpy {numpy.__version__}, pandas {pandas.__version__}")
    print("peers: " + ", ".join(f"{p} {v or 'not installed'}" for p, v in peers.items()))
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    print(f"load average {load} (timings are only comparable on an idle machine)")
    print(f"median of {args.runs} runs; peer columns are peer time / morvane time\n",
          flush=True)

    head = ["recording", "operation", "median s", "Msamp/s", "MB/s", "peak MB", "x result",
            *PEER_OPS]
    line = "{:<9} {:<12} {:>8} {:>7} {:>6} {:>7} {:>8}" + " {:>13}" * len(PEER_OPS) + "  {}"
    print(line.format(*head, "notes"))
    details = []
    for name, _, duration, _ in recs:
        for op in ops:
            if op == "cut_1h" and duration < 3 * 3600:
                continue
            job = {"impl": "morvane", "op": op, "path": recording_path(name),
                    "duration": duration, "runs": args.runs}
            res = run_worker(sys.executable, job)
            if "error" in res:
                print(f"{name:<9} {op:<12} {res['error']}", flush=True)
                continue
            med = statistics.median(res["times"])
            ratios = []
            for peer, peer_ops in PEER_OPS.items():
                if op not in peer_ops or (peer == "numpy" and name == "hour_9ax"):
                    ratios.append("n/a")
                elif peers.get(peer) is None:
                    ratios.append("not installed")
                else:
                    python = sys.executable if peer == "numpy" else args.peer_python
                    pres = run_worker(python, dict(job, impl=peer))
                    details.append((name, op, peer, pres))
                    ratios.append(pres["error"].split(":")[0] if "error" in pres else
                                  f"{statistics.median(pres['times']) / med:.2f}")
            notes = ""
            if op == "csv":
                notes = (f"CSV {res['result_bytes'] / 1e6:.0f} MB, "
                         f"{res['result_bytes'] / 1e6 / med:.0f} MB/s of text")
            n_samples, n_bytes = input_size(name, op)
            median, peak, ratio = cells(res)
            print(line.format(name, op, median, f"{n_samples / 1e6 / med:.1f}",
                              f"{n_bytes / 1e6 / med:.0f}", peak, ratio, *ratios,
                              notes).rstrip(), flush=True)

    if details:
        print("\n{:<9} {:<12} {:<12} {:>8} {:>7} {:>8}".format(
            "recording", "operation", "peer", "median s", "peak MB", "x result"))
    for name, op, peer, res in details:
        row = [res["error"]] if "error" in res else cells(res)
        print("{:<9} {:<12} {:<12} ".format(name, op, peer)
              + " ".join(f"{c:>{w}}" for c, w in zip(row, (8, 7, 8))))
    if any(v is None for v in peers.values()):
        print("\nnot installed peers: python bench/run.py --install-peers (actipy needs Java)")


if __name__ == "__main__":
    main()
