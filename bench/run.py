"""Throughput and memory benchmark of morvane, with peers for comparison.

    python bench/run.py                  # all recordings, 3 timed runs each
    python bench/run.py --quick          # skip the week-long recording
    python bench/run.py --runs 5 --only read,cut_1h
    python bench/run.py --install-peers  # once: peer readers into bench/data/peer-venv
    python bench/run.py --tools          # only the morvane_tools table (week recording)
    python bench/run.py --only prepare,lowpass   # some rows of that table
    python bench/run.py --tools --baseline /work/wt/old/build/dev   # and an older build
    python bench/run.py --tools --touch-memory 20   # back 20 GB of memory once first

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

On a virtual machine the first touch of memory that the guest has never used can cost ten
times a later one (1.9 GB: 3.7 s against 0.3 s here), which lands on whichever worker
allocates it first and makes rows that allocate a large result swing by seconds.
--touch-memory GB allocates and touches that much once, in a child process, before any
measuring, so that every worker then meets memory the host already backs.

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

The morvane_tools table (--tools, or any of its row names in --only; never part of a default
run) measures the companion package on the week recording, each side in its own fresh worker
as above, and checks every row against its target:
  tools_read       read_recording(path) (checksums verified) / read_cwa_file      <= 1.1
  quality          quality_report(path) / read_metadata(path)                     <= 2
  block_table      block_table(path)                                               < 0.5 s
  gzip_read        read_recording of a gzip level-6 copy (bench/data/week_3ax.cwa.gz, made
                   once with Python's gzip module), default options / (gzip.decompress of the
                   file read into memory + the plain read)                          <= 1;
                   its peak memory at most the result's bytes + 100 MB
  gzip_read_isal   read_recording(gzip copy, threads=2) with the default inflater (ISA-L where
                   the build has it) / the same two references                      <= 0.6
  gzip_read_zlib   the same with morvane_tools.options.INFLATER = "zlib" set in the worker and
                   threads=1                                                        <= 0.9;
                   both: peak memory at most the result's bytes + 50 MB, and the inflater that
                   read the file (quality_report(gzip copy)["inflater"], one more untimed read)
                   shown; the zlib row counts only if it says "zlib"
  prepare          prepare(path) (calibration, non-wear, 30 s epochs)               <= 4 s and
                   actipy's read_device(lowpass_hz=None, calibrate_gravity=True,
                   detect_nonwear=True, resample_hz=None) + a pandas 30 s mean of ENMO
                   (max(|a| - 1, 0) from its x, y, z) at least 5 times slower; both peaks
                   are shown (actipy's includes its Java child)
  summarize        summarize(path) (day table and person summary) / prepare(path) of the
                   prepare row                                                      <= 1.5
  summarize_sleep  summarize(path, sleep=True) / prepare(path)                      <= 2,
                   and its night table present; both: peak at most 600 MB
  epochs           epochs(frame) on a frame read before timing / read_cwa_file      <= 3
  lowpass          lowpass(frame, 20) / scipy sosfiltfilt(butter(4, 20, fs=100, output="sos"))
                   on the same three columns as float64 arrays                      <= 1.5
  convert_samples  convert([path], outdir, what="samples", workers=1, progress=False) (a new
                   outdir per run, so every run converts; the time includes starting its
                   LocalCluster) / (read_cwa_file + pyarrow.parquet.write_table of the
                   timestamp and float32 columns with zstd, on a frame read before timing)
                   <= 1.3. The conversion runs in a Dask worker process, so the worker
                   itself cannot see it: after the timed runs, one more conversion goes to a
                   LocalCluster of one single-threaded worker process started by the
                   benchmark (scheduler=client); the worker's peak resident memory is reset
                   (/proc/self/clear_refs) just before the task and read (VmHWM) after it,
                   through Client.run. The target (< 500 MB) is checked on that whole-process
                   peak, worker imports included; its rise over the worker's resident memory
                   before the task is shown beside it.
  convert_bytes    bytes the Dask worker reads while converting the week, plain and gzip
                   copy, one task at a time (convert([path], out, what="samples",
                   scheduler=client) on a LocalCluster of one one-thread worker process started
                   by the benchmark): /proc/self/io rchar of the worker, through Client.run,
                   before and after each task, over the input's size; at most 2 for both (each
                   input read, and the gzip one inflated, at most twice). A conversion of a
                   minute-long recording, plain and gzip, runs first, so that the module files
                   the task imports on first use stay out of the count.
  gzip_convert_extra  with one one-thread worker already running (as convert_scaling), the
                   conversion of the gzip copy and of the plain week, each in its own fresh
                   worker: what gzip adds to the conversion (gzip - plain) at most 2 x what it
                   adds to read_recording with the same one thread a conversion task has
                   (read_recording(path, threads=1) of the gzip copy and of the plain week,
                   fresh workers; with more threads the read inflates ahead and gzip adds
                   almost nothing)
  convert_scaling  convert of 16 day-long 3-axis recordings (bench/data/cohort16/, made once)
                   on a running LocalCluster of 1 and of 2 one-thread worker processes
                   (started before the timing): files per second of each, ratio w2 / w1 >= 1.7
  summary_scaling  the same with what="summary" (summarize of each recording)       >= 1.6
  csv_rate         morvane.write_cwa_csv(week, out) (the main table's csv job, reused when the
                   main table ran in the same call): bytes of the CSV / time   >= 1 GB/s (1e9)
  plot             `python -m morvane_tools plot week -o out.png` (the `morvane` command line)
                   as a subprocess                                                  < 5 s
The whole table takes about 15 to 25 minutes with --runs 3 (actipy's three runs of a week, the
three week-long conversions per run of convert_bytes and gzip_convert_extra, and the summaries
of the cohort are the longest parts) and about 3.5 GB of free memory at its peak (actipy with
its ENMO); its inputs are made on first use (gzip copy about 15 s, cohort about 20 s). The
numbers move a lot on a busy machine: use --runs 5 or more for figures to quote.
A function missing from the installed morvane_tools (or raising NotImplementedError), or one
without the argument or option a row needs, shows as "not available" in its row. The
morvane_tools used is the one the interpreter imports (for a source tree without the native
module: PYTHONPATH=python); its path is printed.

--baseline PYTHONPATH compares with an older build in the same call: every row's own job (the
first job of the row; convert_w1 for convert_scaling, the gzip conversion for
gzip_convert_extra) runs again, right after the new build's, in a fresh worker whose
PYTHONPATH is that path alone, and a second table shows old s, new s and new/old. The rows
that existed before these (tools_read, quality, block_table, gzip_read, prepare, epochs,
lowpass, convert_samples, convert_scaling, plot, and csv_rate, whose job is the main table's)
must not be more than 5 % slower (new/old <= 1.05); the other rows are shown, or "not available"
where the older build lacks the function, argument or option. Every worker reports the files
its morvane and morvane_tools came from (and the Dask workers of the conversion rows theirs,
through Client.run): the baseline's must lie under the given path, or the row fails. In the
main table --baseline adds each operation's old time and new/old to the notes.
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

# --------------------------------------------------------------------------- tools table
# rows whose result is the data itself, so that peak memory / result bytes means something
# (not a manifest, an epoch table or a picture)
RESULT_ROWS = {"tools_read", "gzip_read", "gzip_read_isal", "gzip_read_zlib", "block_table",
               "lowpass"}
RESULT_REFS = {"read", "gzip_decompress", "sosfiltfilt"}
# row -> (our job, reference jobs, kind of target, target). A job is (impl, op); "morvane"
# and "tools" jobs run with this interpreter, "actipy" with the peer one. Kinds: "ratio"
# (ours / sum of references at most target), "speedup" (sum of references / ours at least
# target), "seconds" (ours below target), "scaling" (second job's files/s over the first's
# at least target), "bytes" (bytes the conversion's worker read / input size, plain and gzip,
# at most target), "extra" ((ours - first reference) at most target x (second - third
# reference)), "rate" (bytes of the result per second at least target).
TOOL_ROWS = {
    "tools_read": (("tools", "tools_read"), [("morvane", "read")], "ratio", 1.1),
    "quality": (("tools", "quality"), [("morvane", "metadata")], "ratio", 2.0),
    "block_table": (("tools", "block_table"), [], "seconds", 0.5),
    "gzip_read": (("tools", "gzip_read"), [("morvane", "gzip_decompress"), ("morvane", "read")],
                  "ratio", 1.0),
    "gzip_read_isal": (("tools", "gzip_read_isal"),
                       [("morvane", "gzip_decompress"), ("morvane", "read")], "ratio", 0.6),
    "gzip_read_zlib": (("tools", "gzip_read_zlib"),
                       [("morvane", "gzip_decompress"), ("morvane", "read")], "ratio", 0.9),
    "prepare": (("tools", "prepare"), [("actipy", "prepare")], "speedup", 5.0),
    "summarize": (("tools", "summarize"), [("tools", "prepare")], "ratio", 1.5),
    "summarize_sleep": (("tools", "summarize_sleep"), [("tools", "prepare")], "ratio", 2.0),
    "epochs": (("tools", "epochs"), [("morvane", "read")], "ratio", 3.0),
    "lowpass": (("tools", "lowpass"), [("morvane", "sosfiltfilt")], "ratio", 1.5),
    "convert_samples": (("tools", "convert_samples"),
                        [("morvane", "read"), ("morvane", "parquet_write")], "ratio", 1.3),
    "convert_bytes": (("tools", "convert_bytes"), [], "bytes", 2.0),
    "gzip_convert_extra": (("tools", "convert_gzip_w1"),
                           [("tools", "convert_plain_w1"), ("tools", "gzip_read_1t"),
                            ("tools", "tools_read_1t")], "extra", 2.0),
    "convert_scaling": (("tools", "convert_w1"), [("tools", "convert_w2")], "scaling", 1.7),
    "summary_scaling": (("tools", "summary_w1"), [("tools", "summary_w2")], "scaling", 1.6),
    "csv_rate": (("morvane", "csv"), [], "rate", 1e9),
    "plot": (("tools", "plot"), [], "seconds", 5.0),
}
# the rows the table had before the gzip inflaters, summaries and byte counts came, and
# csv_rate, whose job (the main table's csv) is as old: with --baseline, none of them may be
# more than 5 % slower than in the older build
BASELINE_ROWS = {"tools_read", "quality", "block_table", "gzip_read", "prepare", "epochs",
                 "lowpass", "convert_samples", "convert_scaling", "plot", "csv_rate"}
BASELINE_SLOWER = 1.05
# rows that need the gzip copy of the week, or the cohort of day-long recordings
GZIP_ROWS = {"gzip_read", "gzip_read_isal", "gzip_read_zlib", "convert_bytes",
             "gzip_convert_extra"}
COHORT_ROWS = {"convert_scaling", "summary_scaling"}
TOOLS_RECORDING = "week_3ax"
COHORT = os.path.join(DATA, "cohort16")
COHORT_FILES = 16
MB = 1e6


class Unavailable(Exception):
    """The morvane_tools function an operation needs does not exist (yet)."""


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


def gzip_path() -> str:
    return gzip_of(recording_path(TOOLS_RECORDING))


def gzip_of(path: str) -> str:
    """The gzip copy of a recording (the week's is made once by ensure_tool_inputs)."""
    return path + ".gz"


def ensure_tool_inputs(rows: list[str]) -> None:
    """The gzip copy of the week and the 16 day-long recordings, made once."""
    import gzip
    import shutil

    if GZIP_ROWS & set(rows) and not os.path.exists(gzip_path()):
        t = time.perf_counter()
        with open(recording_path(TOOLS_RECORDING), "rb") as src, \
                gzip.open(gzip_path() + ".part", "wb", compresslevel=6) as dst:
            shutil.copyfileobj(src, dst, 1 << 20)
        os.replace(gzip_path() + ".part", gzip_path())
        print(f"made {gzip_path()} ({os.path.getsize(gzip_path()) / MB:.0f} MB) in "
              f"{time.perf_counter() - t:.1f} s", flush=True)
    if COHORT_ROWS & set(rows):
        sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))
        import cwagen

        os.makedirs(COHORT, exist_ok=True)
        size = HEADER + BLOCK * -(-86400 * int(RATE_HZ) // 120)
        t = time.perf_counter()
        made = 0
        for i in range(COHORT_FILES):
            path = os.path.join(COHORT, f"day_3ax_{i:02d}.cwa")
            if os.path.exists(path) and os.path.getsize(path) == size:
                continue
            cwagen.write_recording(path + ".part", fmt=0x30, duration_s=86400, seed=i + 1,
                                   checksums=True, metadata={"device_id": 1000 + i})
            os.replace(path + ".part", path)
            made += 1
        if made:
            print(f"made {made} day-long recordings in {COHORT} in "
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

def tool(name: str):
    """morvane_tools.<name>, or Unavailable when the installed package lacks it."""
    try:
        import morvane_tools
        return getattr(morvane_tools, name)
    except (ImportError, AttributeError) as e:
        raise Unavailable(f"morvane_tools.{name}: {type(e).__name__}: {e}") from None


def read_frame(path: str):
    """The week's frame for operations that start from one (read before timing)."""
    import morvane
    return morvane.read_cwa_file(path)


def fresh_dir(scratch: str) -> str:
    """A new empty folder per run, so that no run finds the previous run's output."""
    return tempfile.mkdtemp(dir=scratch)


def worker_peak_convert(path: str, scratch: str) -> dict:
    """Peak resident memory of the Dask worker process that converts the recording.

    The conversion runs in a worker process of a cluster, which the benchmark worker cannot
    see. So a LocalCluster of one single-threaded worker process is started here, the worker's
    peak is reset just before the task and read after it, and the task is sent to that cluster
    (scheduler=client): the same task as with convert's own cluster, measured where it runs."""
    from distributed import Client, LocalCluster

    convert = tool("convert")

    def reset() -> int:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:")) * 1024

    def hwm() -> int:
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) * 1024

    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        before = client.run(reset)
        manifest = convert([path], fresh_dir(scratch), what="samples", scheduler=client,
                           progress=False)
        after = client.run(hwm)
        where = dask_where(client)
    all_converted(manifest, 1)
    (addr, peak), = after.items()
    return {"worker_peak": peak, "worker_rise": peak - before[addr]} | where


def all_converted(manifest, expected: int):
    """A conversion timing counts only when every input was converted."""
    status = list(manifest["status"]) if "status" in getattr(manifest, "columns", ()) else None
    if status is None or len(status) != expected or set(status) != {"converted"}:
        errors = list(manifest["error"].dropna())[:1] if "error" in manifest else []
        raise RuntimeError(f"convert did not convert every input: {status} {errors}"[:120])
    return manifest


def tool_module(name: str):
    """morvane_tools.<name> as a module, or Unavailable when the installed package lacks it."""
    import importlib
    try:
        return importlib.import_module(f"morvane_tools.{name}")
    except ImportError as e:
        raise Unavailable(f"morvane_tools.{name}: {type(e).__name__}: {e}") from None


def needs_keywords(f, name: str, *keywords: str) -> None:
    """Unavailable when morvane_tools.<name> takes none of these keyword arguments (an older
    build whose function exists but not the feature the row measures)."""
    import inspect
    try:
        params = inspect.signature(f).parameters
    except (TypeError, ValueError):  # no signature to look at: let the call decide
        return
    if any(p.kind is p.VAR_KEYWORD for p in params.values()):
        return
    missing = [k for k in keywords if k not in params]
    if missing:
        raise Unavailable(f"morvane_tools.{name} takes no {', '.join(missing)} argument")


def imported_from() -> dict:
    """The files morvane and morvane_tools are imported from in this process (None: neither
    importable); run in benchmark workers and, through Client.run, in Dask workers."""
    import importlib
    out = {}
    for name in ("morvane", "morvane_tools"):
        try:
            out[name] = os.path.abspath(importlib.import_module(name).__file__)
        except Exception:
            out[name] = None
    return out


def start_cluster(workers: int):
    """A client of a running LocalCluster of one-thread worker processes.

    Started before the timing, as convert would start them, so that a rate is that of the
    workers converting: a fixed start-up of about 2 s, paid once per cohort, would otherwise
    weigh on 16 files of under a second each."""
    import logging

    import distributed
    cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1,
                                       processes=True, host="127.0.0.1",
                                       dashboard_address=None,
                                       silence_logs=logging.CRITICAL)
    client = distributed.Client(cluster, set_as_default=False)
    client.run(lambda: None)
    return client


def dask_where(client) -> dict:
    """Where the cluster's workers import morvane_tools from (checked against --baseline)."""
    found = client.run(imported_from)
    return {"dask_where": sorted({str(w["morvane_tools"]) for w in found.values()})}


def convert_on(f, inputs: list[str], out: str, what: str, client):
    """convert(inputs, out, what=what) on the client's cluster; Unavailable when this build's
    convert knows no such output (what="summary" in an older build)."""
    try:
        return f(inputs, out, what=what, scheduler=client, progress=False)
    except ValueError as e:
        if what != "samples" and repr(what) in str(e):
            raise Unavailable(f"convert(what={what!r}): {e}") from None
        raise


def cluster_convert(f, inputs: list[str], what: str, workers: int, expected: int,
                    scratch: str):
    """A run converting the inputs on a LocalCluster started now, before the timing."""
    import shutil

    client = start_cluster(workers)

    def run():
        out = fresh_dir(scratch)
        try:
            return all_converted(convert_on(f, inputs, out, what, client), expected)
        finally:
            shutil.rmtree(out, ignore_errors=True)  # 16 outputs per run: keep disk low
    run.extra = lambda: dask_where(client) | {"files": expected}
    return run


def io_read_bytes() -> int:
    """Bytes this process has passed to read() and its like, for every thread it ever had
    (/proc/self/io rchar: page-cache hits count, sockets do not)."""
    with open("/proc/self/io") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("rchar:"))


def small_recording(folder: str) -> str:
    """A minute of 3-axis samples and its gzip copy in folder (for warming a worker up)."""
    import gzip
    import shutil

    sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))
    import cwagen

    path = os.path.join(folder, "warm_up.cwa")
    cwagen.write_recording(path, fmt=0x30, duration_s=60, checksums=True)
    with open(path, "rb") as src, gzip.open(gzip_of(path), "wb") as dst:
        shutil.copyfileobj(src, dst)
    return path


def convert_bytes(f, path: str, scratch: str):
    """A run converting the plain recording and its gzip copy, one at a time, on a running
    LocalCluster of one one-thread worker, counting the bytes the worker reads during each."""
    import shutil

    client = start_cluster(1)
    # A first conversion of a small recording, plain and gzip, so that the modules the task
    # imports on first use (whose files count as read) are in before the counting starts.
    warm = small_recording(fresh_dir(scratch))
    for src in (warm, gzip_of(warm)):
        all_converted(convert_on(f, [src], fresh_dir(scratch), "samples", client), 1)
    inputs = {"plain": path, "gzip": gzip_of(path)}
    read: dict[str, list[int]] = {kind: [] for kind in inputs}

    def run():
        for kind, src in inputs.items():
            out = fresh_dir(scratch)
            try:
                before = client.run(io_read_bytes)
                all_converted(convert_on(f, [src], out, "samples", client), 1)
                after = client.run(io_read_bytes)
            finally:
                shutil.rmtree(out, ignore_errors=True)
            (addr, start), = before.items()
            read[kind].append(after[addr] - start)
    run.extra = lambda: ({"read_bytes": {k: max(v) for k, v in read.items()},
                          "input_bytes": {k: os.path.getsize(p) for k, p in inputs.items()}}
                         | dask_where(client))
    return run


def recordings_in(folder: str) -> int:
    return sum(n.endswith((".cwa", ".cwa.gz")) for n in os.listdir(folder))


def tools_op(op: str, path: str, scratch: str, cohort: str = COHORT):
    """The morvane_tools operations of the tools table (our side of each row). The gzip
    operations read path + ".gz", the cohort ones every recording in ``cohort``."""
    if op == "tools_read":
        f = tool("read_recording")
        return lambda: f(path)
    if op == "quality":
        f = tool("quality_report")
        return lambda: f(path)
    if op == "block_table":
        f = tool("block_table")
        return lambda: f(path)
    if op == "gzip_read":
        f = tool("read_recording")
        return lambda: f(gzip_of(path))
    if op in ("tools_read_1t", "gzip_read_1t"):
        f = tool("read_recording")
        needs_keywords(f, "read_recording", "threads")
        source = gzip_of(path) if op == "gzip_read_1t" else path
        return lambda: f(source, threads=1)
    if op in ("gzip_read_isal", "gzip_read_zlib"):
        f = tool("read_recording")
        needs_keywords(f, "read_recording", "threads")
        gz = gzip_of(path)
        if op == "gzip_read_zlib":
            options = tool_module("options")
            if not hasattr(options, "INFLATER"):
                raise Unavailable("morvane_tools.options.INFLATER: no such option")
            options.INFLATER = "zlib"
        threads = 2 if op == "gzip_read_isal" else 1

        def run():
            return f(gz, threads=threads)
        # which inflater read the file, as the package reports it (one more read, untimed)
        run.extra = lambda: {"inflater": tool("quality_report")(gz).get("inflater",
                                                                        "not reported")}
        return run
    if op == "prepare":
        f = tool("prepare")
        return lambda: f(path)
    if op in ("summarize", "summarize_sleep"):
        f = tool("summarize")
        kwargs = {}
        if op == "summarize_sleep":
            needs_keywords(f, "summarize", "sleep")
            kwargs["sleep"] = True
        nights = []

        def run():
            days, info = f(path, **kwargs)
            # the night table says that the sleep chain ran (None: no night table)
            nights.append(len(info["nights"]) if "nights" in info else None)
            return days, info
        run.extra = lambda: {"nights": nights[-1]}
        return run
    if op == "epochs":
        f = tool("epochs")
        frame = read_frame(path)
        return lambda: f(frame)
    if op == "lowpass":
        f = tool("lowpass")
        frame = read_frame(path)
        return lambda: f(frame, 20)
    if op == "convert_samples":
        f = tool("convert")

        def run():
            return all_converted(f([path], fresh_dir(scratch), what="samples", workers=1,
                                   progress=False), 1)
        run.extra = lambda: worker_peak_convert(path, scratch)
        return run
    if op == "convert_bytes":
        return convert_bytes(tool("convert"), path, scratch)
    if op in ("convert_plain_w1", "convert_gzip_w1"):
        src = path if op == "convert_plain_w1" else gzip_of(path)
        return cluster_convert(tool("convert"), [src], "samples", 1, 1, scratch)
    if op in ("convert_w1", "convert_w2", "summary_w1", "summary_w2"):
        what = "samples" if op.startswith("convert") else "summary"
        return cluster_convert(tool("convert"), [cohort], what, int(op[-1]),
                               recordings_in(cohort), scratch)
    if op == "plot":
        import importlib.util
        tool("plot_overview")
        if importlib.util.find_spec("morvane_tools.cli") is None:
            raise Unavailable("morvane_tools.cli: no such module")
        out = os.path.join(scratch, "overview.png")

        def run():
            proc = subprocess.run([sys.executable, "-m", "morvane_tools", "plot", path,
                                   "-o", out], capture_output=True, text=True)
            if proc.returncode != 0:
                raise RuntimeError(f"morvane plot exit {proc.returncode}: "
                                   + (proc.stderr.strip().splitlines() or [""])[-1][:80])
            if not os.path.getsize(out):
                raise RuntimeError("morvane plot wrote an empty file")
            return None
        run.extra = lambda: {"png_bytes": os.path.getsize(out)}
        return run
    raise ValueError(op)


def actipy_prepare(path: str):
    """actipy's nearest equivalent of prepare: read, calibrate, flag non-wear, 30 s ENMO."""
    import actipy
    import numpy as np

    def run():
        import pandas as pd

        data, _ = actipy.read_device(path, lowpass_hz=None, calibrate_gravity=True,
                                     detect_nonwear=True, resample_hz=None, verbose=False)
        # ENMO as a careful user writes it: in place, in the frame's float32 (non-wear is NaN
        # there and drops out of the means)
        x, y, z = (data[c].to_numpy() for c in "xyz")
        enmo = x * x
        enmo += y * y
        enmo += z * z
        np.sqrt(enmo, out=enmo)
        enmo -= 1
        np.maximum(enmo, 0, out=enmo)
        return pd.Series(enmo, index=data.index, name="enmo").resample("30s").mean()
    return run


def make_op(impl: str, op: str, path: str, duration: float, scratch: str,
            cohort: str = COHORT):
    """Import what the operation needs and return a callable running it once.

    The callable may carry an ``extra`` function, run once after the timings, whose dict joins
    the worker's result."""
    if impl == "tools":
        return tools_op(op, path, scratch, cohort)
    if impl == "morvane" and op == "gzip_decompress":
        import gzip

        def run():
            with open(gzip_of(path), "rb") as f:
                return gzip.decompress(f.read())
        return run
    if impl == "morvane" and op == "sosfiltfilt":
        import numpy as np
        from scipy.signal import butter, sosfiltfilt
        frame = read_frame(path)
        arrays = [frame[c].to_numpy(np.float64) for c in ("acc_x", "acc_y", "acc_z")]
        del frame
        return lambda: [sosfiltfilt(butter(4, 20, fs=RATE_HZ, output="sos"), a)
                        for a in arrays]
    if impl == "morvane" and op == "parquet_write":
        import pyarrow as pa
        import pyarrow.parquet as pq
        frame = read_frame(path)
        out = os.path.join(scratch, "samples.parquet")

        def run():
            columns = {"timestamp": pa.array(frame.index.to_numpy())}
            columns |= {c: pa.array(frame[c].to_numpy()) for c in frame.columns}
            pq.write_table(pa.table(columns), out, compression="zstd")
        return run
    if impl == "actipy" and op == "prepare":
        return actipy_prepare(path)
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
        call = calls[op]
        if op == "csv":
            # each run writes a new file: truncating the last run's 2.7 GB (still being
            # written back to disk) is the file system's time, not the writer's
            def csv_run():
                return call()
            csv_run.before = lambda: os.remove(os.path.join(scratch, "out.csv"))
            return csv_run
        return call
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
    if isinstance(result, tuple) and result and hasattr(result[0], "columns"):
        result = result[0]  # (frame, report) of read_recording and prepare
    if isinstance(result, (bytes, bytearray)):
        return len(result)
    if isinstance(result, list) and result and all(hasattr(a, "nbytes") for a in result):
        return int(sum(a.nbytes for a in result))
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
    result = measure(job)
    # where this worker's morvane and morvane_tools come from (after the timings; with
    # --baseline the driver checks that they are the baseline's)
    return result | {"where": imported_from()}


def measure(job: dict) -> dict:
    import numpy  # noqa: F401  (in the baseline, like any caller's imports)
    import pandas

    # pandas builds some machinery lazily on first use; keep that out of the measurement
    pandas.DataFrame({"a": [1.0]}, index=pandas.DatetimeIndex([0], name="t"))
    # scratch output sits beside the recordings (same disk), which a fresh clone lacks
    os.makedirs(DATA, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=DATA) as scratch:
        try:
            run = make_op(job["impl"], job["op"], job["path"], job["duration"], scratch,
                          job.get("cohort", COHORT))
        except Unavailable as e:
            return {"unavailable": str(e)}
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the peak restarts from here: import-time spikes don't count
        base = peak_rss()
        times, peak, out_bytes = [], None, None
        for i in range(job["runs"]):
            if i and hasattr(run, "before"):
                run.before()       # outside the timing: undo what the last run left behind
            t = time.perf_counter()
            try:
                result = run()
            except NotImplementedError as e:  # a placeholder of a function still to come
                return {"unavailable": f"{job['op']}: NotImplementedError: {e}"}
            except Unavailable as e:  # found out by calling (an option this build lacks)
                return {"unavailable": str(e)}
            times.append(time.perf_counter() - t)
            if i == 0:
                peak = peak_rss() - base
                out_bytes = result_bytes(result, scratch)
            del result
        extra = {}
        if hasattr(run, "extra"):
            try:
                extra = run.extra()
            except Exception as e:  # the timings stand; say why the extra figure is missing
                extra = {"extra_error": f"{type(e).__name__}: {e}"[:100]}
    return {"times": times, "peak": peak, "result_bytes": out_bytes} | extra


# --------------------------------------------------------------------------- driver side

def run_worker(python: str, job: dict, pythonpath: str | None = None) -> dict:
    """One job in a fresh worker process; with ``pythonpath``, that alone is its PYTHONPATH."""
    cmd = [python, os.path.abspath(__file__), "--worker", json.dumps(job)]
    env = None if pythonpath is None else dict(os.environ, PYTHONPATH=pythonpath)
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=WORKER_TIMEOUT_S,
                              env=env)
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


def cells(res: dict, relate: bool = True) -> list[str]:
    """median s, peak MB and peak / result bytes of one worker's result."""
    ratio = f"{res['peak'] / res['result_bytes']:.2f}" if res["result_bytes"] and relate \
        else "-"
    return [f"{statistics.median(res['times']):.3f}", f"{res['peak'] / 1e6:.0f}", ratio]


# (impl, op) -> how a reference job is named in the table
REF_NAMES = {("morvane", "read"): "read_cwa_file", ("morvane", "metadata"): "read_metadata",
             ("morvane", "gzip_decompress"): "gzip.decompress",
             ("actipy", "prepare"): "actipy+ENMO", ("tools", "prepare"): "prepare",
             ("morvane", "sosfiltfilt"): "sosfiltfilt", ("morvane", "parquet_write"): "write_table",
             ("tools", "convert_w2"): "workers=2", ("tools", "summary_w2"): "workers=2",
             ("tools", "convert_plain_w1"): "convert plain",
             ("tools", "gzip_read"): "read gz", ("tools", "tools_read"): "read plain"}
# rows whose peak over the result's bytes is bounded (MB), and rows whose peak is (MB)
PEAK_OVER_RESULT_MB = {"gzip_read": 100, "gzip_read_isal": 50, "gzip_read_zlib": 50}
PEAK_MB = {"prepare": 600, "summarize": 600, "summarize_sleep": 600}


def ref_name(job: tuple[str, str]) -> str:
    return REF_NAMES.get(job, job[1])


def median_s(res: dict) -> float:
    return statistics.median(res["times"])


def gzip_extras(ours: dict, refs: list[dict]) -> tuple[float, float]:
    """(seconds gzip adds to the conversion, seconds it adds to read_recording)."""
    return median_s(ours) - median_s(refs[0]), median_s(refs[1]) - median_s(refs[2])


def ref_seconds(row: str, refs: list[dict]) -> str:
    """The reference column of a row: the references' time added up (for "extra", what gzip
    adds to read_recording)."""
    if not refs:
        return "-"
    if TOOL_ROWS[row][2] == "extra":
        return f"{median_s(refs[1]) - median_s(refs[2]):.3f}"
    return f"{sum(median_s(r) for r in refs):.3f}"


def tool_checks(row: str, ours: dict, refs: list[dict]) -> tuple[str, str, list[tuple[str, bool]]]:
    """(ratio cell, target cell, [(check, met)]) of one row of the tools table."""
    _, _, kind, target = TOOL_ROWS[row]
    med = median_s(ours)
    ref = sum(median_s(r) for r in refs)
    checks = []
    if kind == "ratio":
        cell, tcell = f"{med / ref:.2f}", f"<= {target:g}"
        checks.append((f"time {med / ref:.2f} x reference <= {target:g}", med / ref <= target))
    elif kind == "speedup":
        cell, tcell = f"{ref / med:.1f}x", f">= {target:g}x"
        checks.append((f"{ref / med:.1f}x faster than the peer >= {target:g}x",
                       ref / med >= target))
    elif kind == "seconds":
        cell, tcell = "-", f"< {target:g} s"
        checks.append((f"{med:.2f} s < {target:g} s", med < target))
    elif kind == "scaling":  # files per second of workers=2 over workers=1
        files = ours.get("files", COHORT_FILES)
        fps1, fps2 = files / med, files / ref
        cell, tcell = f"{fps2 / fps1:.2f}", f">= {target:g}"
        checks.append((f"{fps1:.2f} files/s with 1 worker, {fps2:.2f} with 2", True))
        checks.append((f"ratio {fps2 / fps1:.2f} >= {target:g}", fps2 / fps1 >= target))
    elif kind == "bytes":  # bytes the Dask worker read during each conversion / input size
        tcell = f"<= {target:g}"
        if "read_bytes" in ours:
            ratios = {k: ours["read_bytes"][k] / ours["input_bytes"][k]
                      for k in ours["read_bytes"]}
            cell = f"{max(ratios.values()):.2f}"
            for k, r in ratios.items():
                checks.append((f"{k}: read {ours['read_bytes'][k] / MB:.0f} MB of "
                               f"{ours['input_bytes'][k] / MB:.0f} MB, {r:.2f} x <= {target:g}",
                               r <= target))
        else:
            cell = "-"
            checks.append(("bytes not measured: " + ours.get("extra_error", "?"), False))
    elif kind == "extra":  # gzip's extra time in the conversion over its extra in a read
        conv, read = gzip_extras(ours, refs)
        cell = f"{conv / read:.2f}" if read > 0 else "-"
        tcell = f"<= {target:g}"
        checks.append((f"gzip adds {conv:.2f} s to convert, {read:.2f} s to read_recording: "
                       f"{conv:.2f} <= {target:g} x {read:.2f}", conv <= target * read))
    else:  # rate: bytes of the result per second
        rate = (ours["result_bytes"] or 0) / med
        cell, tcell = f"{rate / 1e9:.2f}", f">= {target / 1e9:g}GB/s"
        checks.append((f"{(ours['result_bytes'] or 0) / MB:.0f} MB of text at "
                       f"{rate / 1e9:.2f} GB/s >= {target / 1e9:g} GB/s", rate >= target))
    if row == "prepare":
        checks.append((f"{med:.2f} s <= 4 s", med <= 4.0))
    if row in PEAK_MB:
        limit = PEAK_MB[row]
        checks.append((f"peak {ours['peak'] / MB:.0f} MB <= {limit} MB",
                       ours["peak"] <= limit * MB))
    if row == "summarize_sleep":
        nights = ours.get("nights")
        checks.append((f"{nights} nights found" if nights is not None else "no night table",
                       nights is not None))
    if row == "prepare" and refs:
        checks.append((f"actipy peak {refs[0]['peak'] / MB:.0f} MB", True))
    if row in ("gzip_read_isal", "gzip_read_zlib"):
        inflater = ours.get("inflater", "unknown: " + ours.get("extra_error", "?"))
        # the zlib row measures zlib only if the option reached the read
        checks.append((f"inflater {inflater}",
                       row == "gzip_read_isal" or inflater == "zlib"))
    if row in PEAK_OVER_RESULT_MB:
        limit = PEAK_OVER_RESULT_MB[row]
        if ours["result_bytes"]:
            over = (ours["peak"] - ours["result_bytes"]) / MB
            checks.append((f"result {ours['result_bytes'] / MB:.0f} MB, peak "
                           f"{ours['peak'] / MB:.0f} MB: {over:.0f} MB over <= {limit} MB",
                           over <= limit))
        else:
            checks.append(("result bytes unknown", False))
    if row == "convert_samples":
        if "worker_peak" in ours:
            checks.append((f"Dask worker peak {ours['worker_peak'] / MB:.0f} MB < 500 MB "
                           f"(+{ours['worker_rise'] / MB:.0f} MB during the task)",
                           ours["worker_peak"] < 500 * MB))
        else:
            checks.append(("worker peak not measured: " + ours.get("extra_error", "?"), False))
    return cell, tcell, checks


def under(path: str | None, root: str) -> bool:
    if not path:
        return False
    root = os.path.realpath(root)
    return os.path.commonpath([os.path.realpath(path), root]) == root


def baseline_where(job: tuple[str, str], old: dict, baseline: str) -> tuple[str, bool]:
    """Where the baseline worker (and its Dask workers) imported from; False when not from
    the baseline path."""
    module = "morvane" if job[0] == "morvane" else "morvane_tools"
    seen = (old.get("where") or {}).get(module)
    places = [seen] + list(old.get("dask_where", []))
    ok = all(under(p, baseline) for p in places)
    shown = os.path.dirname(seen) if seen else "not importable"
    if old.get("dask_where"):
        shown += " (Dask workers: " + ", ".join(
            os.path.dirname(p) if p != "None" else "none" for p in old["dask_where"]) + ")"
    return f"{module} from {shown}", ok


def baseline_checks(row: str, new: dict, old: dict, baseline: str
                    ) -> tuple[list[str], list[tuple[str, bool]]]:
    """(old s, new s, new/old, target) cells and [(check, met)] of one row against the older
    build: rows of BASELINE_ROWS may be at most 5 % slower; the others are shown."""
    job = TOOL_ROWS[row][0]
    where, ok = baseline_where(job, old, baseline)
    checks = [(where if ok else f"{where}: NOT the baseline {baseline}", ok)]
    target = f"<= {BASELINE_SLOWER:g}" if row in BASELINE_ROWS else "-"
    if "times" not in old:
        why = old.get("unavailable") or old.get("error", "?")
        label = "not available" if "unavailable" in old else "failed"
        return (["-", f"{median_s(new):.3f}", label, target],
                checks + [(f"{label}: {why}", label == "not available")])
    ratio = median_s(new) / median_s(old)
    if row in BASELINE_ROWS:
        checks.append((f"new/old {ratio:.3f} <= {BASELINE_SLOWER:g}", ratio <= BASELINE_SLOWER))
    return [f"{median_s(old):.3f}", f"{median_s(new):.3f}", f"{ratio:.3f}", target], checks


def run_tools(rows: list[str], runs: int, peers: dict, peer_python: str,
              baseline: str | None = None, done: dict | None = None) -> None:
    """The morvane_tools table: each row's own job and its references, with the targets; with
    ``baseline``, each row's own job again in a worker whose PYTHONPATH is that alone.
    ``done`` holds results of the main table's jobs on the week ((impl, op, pythonpath) ->
    result), used instead of running them again."""
    ensure_tool_inputs(rows)
    path = recording_path(TOOLS_RECORDING)
    duration = next(r[2] for r in RECORDINGS if r[0] == TOOLS_RECORDING)
    try:
        import morvane_tools
        where = os.path.dirname(morvane_tools.__file__)
    except ImportError as e:
        where = f"not importable ({e})"
    print(f"\nmorvane_tools: {where}; recording {TOOLS_RECORDING}, median of {runs} runs")
    line = "{:<18} {:>8} {:>7} {:>8}  {:<30} {:>8} {:>7} {:>8} {:>4}  {}"
    print(line.format("row", "ours s", "peak MB", "x result", "reference", "ref s", "ratio",
                      "target", "met", "checks"))
    cache: dict[tuple[str, str, str | None], dict] = dict(done or {})

    def job_result(impl: str, op: str, pythonpath: str | None = None) -> dict:
        if (impl, op, pythonpath) not in cache:
            if impl == "actipy" and peers.get("actipy") is None:
                cache[impl, op, pythonpath] = {"error": "actipy not installed"}
            else:
                python = peer_python if impl == "actipy" else sys.executable
                cache[impl, op, pythonpath] = run_worker(
                    python, {"impl": impl, "op": op, "path": path, "duration": duration,
                             "runs": runs}, pythonpath)
        return cache[impl, op, pythonpath]

    details, compared = [], []
    for row in rows:
        (impl, op), ref_jobs, kind, _ = TOOL_ROWS[row]
        ours = job_result(impl, op)
        if baseline:  # right after the new build's run, so that both see the same machine
            compared.append((row, ours, job_result(impl, op, baseline)))
        if "unavailable" in ours or "error" in ours:
            why = ("not available: " + ours["unavailable"] if "unavailable" in ours
                   else ours["error"])
            print(f"{row:<18} {why}", flush=True)
            continue
        refs = [job_result(*j) for j in ref_jobs]
        if kind == "extra":
            ref_names = f"{ref_name(ref_jobs[0])}; read gz-plain"
        else:
            ref_names = "+".join(ref_name(j) for j in ref_jobs) or "-"
        bad = [r for r in refs if "times" not in r]
        median, peak, ratio = cells(ours, row in RESULT_ROWS)
        if bad:
            why = bad[0].get("unavailable") or bad[0].get("error")
            print(line.format(row, median, peak, ratio, ref_names, "-", "-", "-", "-",
                              f"reference: {why}").rstrip(), flush=True)
            continue
        details += [(row, j, r) for j, r in zip(ref_jobs, refs)]
        cell, tcell, checks = tool_checks(row, ours, refs)
        met = "yes" if all(ok for _, ok in checks) else "NO"
        print(line.format(row, median, peak, ratio, ref_names, ref_seconds(row, refs), cell,
                          tcell, met, "; ".join(c for c, _ in checks)).rstrip(), flush=True)
    if details:
        print("\n{:<18} {:<18} {:>8} {:>7} {:>8}".format(
            "row", "reference", "median s", "peak MB", "x result"))
        for row, job, res in details:
            print("{:<18} {:<18} ".format(row, ref_name(job))
                  + " ".join(f"{c:>{w}}" for c, w in zip(cells(res, job[1] in RESULT_REFS),
                                                         (8, 7, 8))))
    if compared:
        print_baseline(compared, baseline)


def baseline_note(old: dict, new_s: float, baseline: str) -> str:
    """The main table's note on one operation in the baseline."""
    if "times" not in old:
        return "old: " + (old.get("error") or "not available")
    where, ok = baseline_where(("morvane", ""), old, baseline)
    note = f"old {median_s(old):.3f} s, new/old {new_s / median_s(old):.2f}"
    return note if ok else note + f" ({where}: NOT the baseline)"


def print_baseline(compared: list[tuple[str, dict, dict]], baseline: str) -> None:
    """Each row's own job in the new build and in the baseline."""
    print(f"\nbaseline: each row's own job with PYTHONPATH={baseline}; rows that existed "
          f"before may be at most {BASELINE_SLOWER:g} x slower")
    line = "{:<18} {:>8} {:>8} {:>13} {:>7} {:>4}  {}"
    print(line.format("row", "old s", "new s", "new/old", "target", "met", "checks"))
    for row, new, old in compared:
        if "times" not in new:
            why = new.get("unavailable") or new.get("error")
            print(f"{row:<18} new build: {why}")
            continue
        row_cells, checks = baseline_checks(row, new, old, baseline)
        met = "yes" if all(ok for _, ok in checks) else "NO"
        print(line.format(row, *row_cells, met, "; ".join(c for c, _ in checks)).rstrip(),
              flush=True)


def touch_memory(gb: float) -> None:
    """Allocate and touch ``gb`` GB in a child process, a GiB at a time, then let it go."""
    code = ("import numpy as np, sys\n"
            "keep = []\n"
            "left = int(float(sys.argv[1]) * 2**30)\n"
            "while left > 0:\n"
            "    a = np.empty(min(left, 2**30), np.uint8); a[::4096] = 1; keep.append(a)\n"
            "    left -= a.size\n")
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", code, str(gb)], check=True)
    print(f"touched {gb:g} GB of memory once in {time.perf_counter() - start:.1f} s")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--runs", type=int, default=3, help="timed runs per operation (>= 1)")
    ap.add_argument("--quick", action="store_true", help="skip the week-long recording")
    ap.add_argument("--only", help="comma-separated operation or recording names")
    ap.add_argument("--peer-python", default=os.path.join(PEER_VENV, "bin", "python"),
                    help="interpreter that has the PyPI peers installed")
    ap.add_argument("--install-peers", action="store_true",
                    help=f"create {PEER_VENV} with the PyPI peers and exit")
    ap.add_argument("--tools", action="store_true",
                    help="run only the morvane_tools table (all its rows) on the week")
    ap.add_argument("--baseline", metavar="PYTHONPATH",
                    help="also run every row's own job with this PYTHONPATH alone (an older "
                         "build, e.g. build/dev of an older tree) and show old, new, new/old")
    ap.add_argument("--touch-memory", type=float, default=0.0, metavar="GB",
                    help="first allocate and touch this many GB once (see above)")
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
    if args.baseline is not None:
        if not os.path.isdir(args.baseline):
            ap.error(f"--baseline: {args.baseline} is not a directory")
        args.baseline = os.path.abspath(args.baseline)
    if args.touch_memory < 0:
        ap.error("--touch-memory must not be negative")
    only = set(args.only.split(",")) if args.only else set()
    known = OPS + [r[0] for r in RECORDINGS] + list(TOOL_ROWS)
    if only - set(known):
        ap.error(f"--only: unknown {sorted(only - set(known))}; choose from {known}")
    # --tools alone runs every tools row; with --only, just the rows it names
    tool_rows = [r for r in TOOL_ROWS if r in only or (args.tools and not only & set(TOOL_ROWS))]
    if tool_rows and args.quick:
        ap.error("the morvane_tools rows need the week-long recording: drop --quick")
    wanted = only - set(TOOL_ROWS) or None
    # --tools, or --only naming tools rows alone: the tools table without the main one
    main_table = not args.tools and not (only and not wanted)
    recs = [r for r in RECORDINGS if not (args.quick and r[0] == "week_3ax")]
    if wanted and wanted & {r[0] for r in recs}:
        recs = [r for r in recs if r[0] in wanted]
    ops = [o for o in OPS if not wanted or o in wanted or not wanted & set(OPS)]
    if not main_table:
        recs = []
    ensure_recordings([r[0] for r in recs] + [TOOLS_RECORDING] * bool(tool_rows))

    peers = {"numpy": "(in this script)"} | dict.fromkeys(PEER_DISTS)
    if os.path.exists(args.peer_python):
        peers |= run_worker(args.peer_python, {"probe": True})
        peers.pop("error", None)
    if args.touch_memory:
        touch_memory(args.touch_memory)
    import morvane
    print(f"machine: {os.cpu_count()} cpus ({cpu_model()}), Python {platform.python_version()}")
    try:
        version = importlib.metadata.version("morvane")
    except importlib.metadata.PackageNotFoundError:  # a build tree on PYTHONPATH
        version = "(not installed)"
    print(f"morvane {version} ({morvane.__file__}), "
          f"numpy {numpy.__version__}, pandas {pandas.__version__}")
    print("peers: " + ", ".join(f"{p} {v or 'not installed'}" for p, v in peers.items()))
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    print(f"load average {load} (timings are only comparable on an idle machine)")
    if args.baseline:
        print(f"baseline: PYTHONPATH={args.baseline} (the module each of its workers imported "
              "is checked to lie there)")
    if not main_table:
        run_tools(tool_rows, args.runs, peers, args.peer_python, args.baseline)
        return
    print(f"median of {args.runs} runs; peer columns are peer time / morvane time\n",
          flush=True)

    head = ["recording", "operation", "median s", "Msamp/s", "MB/s", "peak MB", "x result",
            *PEER_OPS]
    line = "{:<9} {:<12} {:>8} {:>7} {:>6} {:>7} {:>8}" + " {:>13}" * len(PEER_OPS) + "  {}"
    print(line.format(*head, "notes"))
    details = []
    done = {}  # the week's results, which the tools table reuses
    for name, _, duration, _ in recs:
        for op in ops:
            if op == "cut_1h" and duration < 3 * 3600:
                continue
            job = {"impl": "morvane", "op": op, "path": recording_path(name),
                    "duration": duration, "runs": args.runs}
            res = run_worker(sys.executable, job)
            old = run_worker(sys.executable, job, args.baseline) if args.baseline else None
            if name == TOOLS_RECORDING:
                done["morvane", op, None] = res
                if old is not None:
                    done["morvane", op, args.baseline] = old
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
            if old is not None:
                notes += ("; " if notes else "") + baseline_note(old, med, args.baseline)
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
    if tool_rows:
        run_tools(tool_rows, args.runs, peers, args.peer_python, args.baseline, done)
    if any(v is None for v in peers.values()):
        print("\nnot installed peers: python bench/run.py --install-peers (actipy needs Java)")


if __name__ == "__main__":
    main()
