"""One definition per measure: every caller of a gap, non-wear, ENMO, the coverage of an epoch and
the channels of a recording gets the same answer, and the reading keeps its resources in hand."""

from __future__ import annotations

import datetime as dt
import gzip
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import cwagen
import morvane_tools as mt
from cohort_helpers import child_env

START = dt.datetime(2023, 6, 15, 21, 30, 0)
RATE_CODE = 0x47                         # 12.5 Hz: small files, whole sample periods
RATE = cwagen.rate_hz(RATE_CODE)
CHANNELS_CHANGE = {
    "3 then 6 axes": [0x30] * 400 + [0x62] * 400,
    "6 then 3 axes": [0x62] * 300 + [0x30] * 500,
    "3, 9, 3 axes": [0x30] * 200 + [0x92] * 200 + [0x30] * 200,
}


def mixed(tmp_path: Path, name: str, formats: list[int], **kwargs) -> Path:
    path = tmp_path / f"{name.replace(' ', '_').replace(',', '')}.cwa"
    cwagen.write_recording(path, formats=np.array(formats, dtype=np.uint8), start=START,
                           rate_code=RATE_CODE, checksums=True, **kwargs)
    return path


def concat_of_reads(paths: list[Path], columns: list[str] | None = None, **options):
    """What read_cwa_dask must compute: pandas.concat of read_recording of each recording."""
    frames = []
    for p in paths:
        f, _ = mt.read_recording(p, **options)
        f = f.copy()
        f["recording"] = str(p)
        frames.append(f)
    want = pd.concat(frames)
    order = [c for c in ("acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z", "mag_x",
                         "mag_y", "mag_z", "temperature", "light", "battery")
             if c in want.columns and (columns is None or c in columns)]
    return want[order + ["recording"]]


# ---------------------------------------------------------------------------- read_cwa_dask

@pytest.mark.parametrize("name", list(CHANNELS_CHANGE))
@pytest.mark.parametrize("columns", [None, ["acc_z", "gyro_y", "temperature"], ["mag_x"]])
def test_dask_frame_is_the_concat_of_reads_when_channels_change(tmp_path, name, columns):
    a = mixed(tmp_path, name, CHANNELS_CHANGE[name])
    b = tmp_path / "plain.cwa"
    cwagen.write_recording(b, fmt=0x30, n_blocks=300, start=START, rate_code=RATE_CODE,
                           checksums=True, seed=4)
    ddf = mt.read_cwa_dask([b, a], columns=columns)
    want = concat_of_reads([b, a], columns)
    assert list(ddf.columns) == list(want.columns)
    got = ddf.compute(scheduler="sync")
    assert (got.drop(columns="recording").dtypes == np.float32).all()
    assert list(got["recording"].astype(str)) == list(want["recording"])
    pd.testing.assert_frame_equal(got.drop(columns="recording"),
                                  want.drop(columns="recording").astype(np.float32),
                                  check_index_type=True)


def test_dask_columns_are_pushed_into_the_reader_and_checked(tmp_path):
    a = mixed(tmp_path, "pushed", CHANNELS_CHANGE["3 then 6 axes"])
    ddf = mt.read_cwa_dask(a, columns=["gyro_z"])
    assert list(ddf.columns) == ["gyro_z", "recording"]
    # selecting on the frame is pushed down too, and gives just what was selected
    got = mt.read_cwa_dask(a)[["acc_x", "light"]].compute(scheduler="sync")
    assert list(got.columns) == ["acc_x", "light"]
    with pytest.raises(ValueError, match="no such channel: speed"):
        mt.read_cwa_dask(a, columns=["acc_x", "speed"])


def test_dask_resampled_recording_is_read_whole(tmp_path):
    a = mixed(tmp_path, "resampled", CHANNELS_CHANGE["6 then 3 axes"])
    ddf = mt.read_cwa_dask(a, resample_hz=10.0)
    assert ddf.npartitions == 1
    want = concat_of_reads([a], resample_hz=10.0)
    pd.testing.assert_frame_equal(ddf.compute(scheduler="sync").drop(columns="recording"),
                                  want.drop(columns="recording"))


# ---------------------------------------------------------------------------- gaps and coverage

def gapped(tmp_path: Path) -> tuple[Path, list[tuple[float, float]]]:
    """A 3-hour recording with gaps (clock jumps) placed on purpose; returns the gaps as
    (end of the block before, length) in seconds from the start."""
    per_block = cwagen.FORMATS[0x30][2] / RATE             # 9.6 s
    jumps = [(200, 0.96), (300, 1.04), (500, 47.0), (700, 3600.0)]
    path = tmp_path / "gapped.cwa"
    cwagen.write_recording(path, fmt=0x30, n_blocks=1100, start=START, rate_code=RATE_CODE,
                           gaps=jumps, checksums=True)
    gaps, shift = [], 0.0
    for block, seconds in jumps:
        if seconds >= 1.0:
            gaps.append((block * per_block + shift, seconds))
        shift += seconds
    return path, gaps


def test_gap_counts_agree_everywhere(tmp_path):
    path, gaps = gapped(tmp_path)
    q = mt.quality_report(path)
    assert q["gaps"] == len(gaps) == 3
    from morvane_tools.overview import overview_statistics

    ov = overview_statistics(path, nonwear=False)
    assert len(ov.gaps) == q["gaps"]
    start = pd.Timestamp(START)
    for (g0, g1), (at, length) in zip(ov.gaps, gaps):
        assert g0 == (start + pd.Timedelta(seconds=at)).value // 1000
        assert (g1 - g0) == round(length * 1e6)


@pytest.mark.parametrize("epoch", ["5s", "60s", "7s"])
def test_coverage_by_construction_and_the_same_from_file_and_frame(tmp_path, epoch):
    path, gaps = gapped(tmp_path)
    frame, _ = mt.read_recording(path)
    table = mt.epochs(frame, epoch)
    prepared, _ = mt.prepare(path, calibrate=False, nonwear=False, epoch=epoch)
    np.testing.assert_array_equal(table["coverage"].to_numpy(), prepared["coverage"].to_numpy())
    # the coverage computed independently: the epoch's overlap with [first, last] minus gaps
    t = frame.index.as_unit("us").asi8
    length = pd.Timedelta(epoch).value // 1000
    s = table.index.as_unit("us").asi8
    e = s + length
    inside = np.clip(np.minimum(e, t[-1]) - np.maximum(s, t[0]), 0, None).astype(float)
    start_us = pd.Timestamp(START).value // 1000
    for at, seconds in gaps:
        g0 = start_us + round(at * 1e6)
        g1 = g0 + round(seconds * 1e6)
        inside -= np.clip(np.minimum(e, g1) - np.maximum(s, g0), 0, None)
    np.testing.assert_allclose(table["coverage"].to_numpy(), inside / length, rtol=0,
                               atol=1e-12)
    assert table["coverage"].iloc[1:-1].eq(1.0).sum() > 0
    assert table["coverage"].iloc[-1] < 1.0        # the last sample ends the recorded time


def test_epochs_always_carry_coverage_next_to_nonwear(tmp_path):
    path, _ = gapped(tmp_path)
    frame, _ = mt.read_recording(path)
    without = mt.epochs(frame, "30s")
    with_nonwear = mt.epochs(frame, "30s", nonwear=mt.detect_nonwear(frame))
    assert "coverage" in without.columns and "nonwear" not in without.columns
    assert list(with_nonwear.columns[-2:]) == ["coverage", "nonwear"]
    assert without.attrs["epoch"] == pd.Timedelta("30s")


def still_then_moving(t: np.ndarray) -> np.ndarray:
    """Counts: still (on a table) for 2 hours from 20 minutes in, moving otherwise."""
    n = t.size
    move = np.stack([70 * np.sin(2 * np.pi * 1.1 * t), 50 * np.cos(2 * np.pi * 0.7 * t),
                     256 + 60 * np.sin(2 * np.pi * 0.9 * t + 1)], axis=1)
    out = np.rint(move).astype(np.int64)
    still = (t >= 1200) & (t < 1200 + 7200)
    out[still] = [10, -20, 250]
    out[still, 0] += (np.arange(n)[still] % 3) - 1
    return out


def test_the_pictures_statistics_are_those_of_epochs_nonwear_and_quality(tmp_path):
    from morvane_tools.overview import overview_statistics

    path = tmp_path / "picture.cwa"
    cwagen.write_recording(path, fmt=0x30, duration_s=5 * 3600, start=START,
                           rate_code=RATE_CODE, motion=still_then_moving,
                           gaps=[(1200, 30.0)], checksums=True)
    frame, _ = mt.read_recording(path)
    ov = overview_statistics(path, chunk_blocks=61)
    minute = mt.epochs(frame, "60s")
    np.testing.assert_array_equal(ov.minutes["enmo_mg"].to_numpy(),
                                  minute["enmo_mg"].to_numpy())
    assert ov.minutes["enmo_mg"].dtype == np.float64
    np.testing.assert_array_equal(ov.minutes["temperature"].to_numpy(),
                                  minute["temperature"].to_numpy())
    nw = mt.detect_nonwear(frame)
    assert len(nw) == 1
    np.testing.assert_array_equal(ov.nonwear[:, 0], nw["start"].to_numpy().astype("M8[us]")
                                  .astype(np.int64))
    np.testing.assert_array_equal(ov.nonwear[:, 1], nw["end"].to_numpy().astype("M8[us]")
                                  .astype(np.int64))
    assert len(ov.gaps) == mt.quality_report(path)["gaps"] == 1
    fig = mt.plot_overview(path)
    assert "1 gap " in " ".join(t.get_text() for t in fig.texts)


# ---------------------------------------------------------------------------- reading resources

def open_files() -> set[str]:
    out = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            out.add(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:
            pass
    return out


@pytest.fixture
def plain(tmp_path):
    path = tmp_path / "chunked.cwa"
    cwagen.write_recording(path, fmt=0x30, n_blocks=500, checksums=True)
    return path


@pytest.mark.parametrize("how", ["with", "close", "abandon", "exhaust"])
def test_chunked_read_closes_its_file(plain, how):
    target = str(plain.resolve())
    chunks = mt.iter_chunks(plain, chunk_blocks=50)
    assert target in open_files()
    if how == "with":
        with chunks as c:
            next(iter(c))
    elif how == "close":
        it = iter(chunks)
        next(it)
        chunks.close()
    elif how == "abandon":
        it = iter(chunks)
        next(it)
        del it                    # the iteration is dropped half way
    else:
        assert sum(len(f) for f in chunks) == 500 * 120
    assert target not in open_files()
    assert chunks.closed
    assert chunks.report["compressed"] is False


def test_a_closed_chunked_read_cannot_be_iterated(plain):
    chunks = mt.iter_chunks(plain)
    chunks.close()
    with pytest.raises(ValueError, match="closed"):
        iter(chunks)


# ---------------------------------------------------------------------------- options

@pytest.mark.parametrize("options, error, words", [
    ({"timezone": "Europe/Londres"}, ValueError, "timezone: unknown time zone"),
    ({"device_timezone": "Mars/Olympus"}, ValueError, "device_timezone: unknown"),
    ({"fixed_utc_offset_timezone": dt.timezone.utc, "timezone": "Europe/London"}, ValueError,
     "cannot be combined"),
    ({"threads": 0}, ValueError, "threads"),
    ({"threads": 1.5}, TypeError, "threads"),
    ({"bad_blocks": "ignore"}, ValueError, "bad_blocks"),
    ({"include_light": "yes"}, TypeError, "include_light"),
    ({"resample_hz": -1}, ValueError, "resample_hz"),
])
def test_read_options_are_checked_once_with_their_names(plain, options, error, words):
    with pytest.raises(error, match=words):
        mt.read_recording(plain, **options)
    if "resample_hz" not in options:       # a chunked read does not resample
        with pytest.raises(error, match=words):
            mt.iter_chunks(plain, **options)


def test_conversion_reads_each_recording_once(tmp_path):
    """The survey of a recording converted to samples is collected during its read."""
    from morvane_tools.cohort.conversion import ConvertOptions
    from morvane_tools.cohort.task import convert_one

    path = tmp_path / "once.cwa"
    cwagen.write_recording(path, fmt=0x30, n_blocks=20_000, checksums=True)
    zipped = tmp_path / "once.cwa.gz"
    zipped.write_bytes(gzip.compress(path.read_bytes(), compresslevel=1))

    def read_bytes(src: Path, settings: ConvertOptions) -> int:
        def rchar() -> int:
            with open("/proc/self/io") as f:
                return int(next(line for line in f if line.startswith("rchar")).split()[1])

        job = {"source": str(src), "output": str(tmp_path / (src.name + ".parquet")),
               "size": src.stat().st_size, "mtime_ns": src.stat().st_mtime_ns,
               "options": settings.describe(), "settings": settings}
        before = rchar()
        row = convert_one(job)
        assert row["status"] == "converted", row["error"]
        return rchar() - before

    samples = ConvertOptions.of()
    for src in (path, zipped):
        assert read_bytes(src, samples) < 1.2 * src.stat().st_size
    epochs = ConvertOptions.of(what="epochs", calibrate=True)      # calibration: two passes
    assert read_bytes(zipped, epochs) < 2.2 * zipped.stat().st_size


# ---------------------------------------------------------------------------- command line

@pytest.mark.parametrize("argv, blocked, needs", [
    (["convert", "{rec}", "-o", "{out}"], "pyarrow", "pyarrow"),
    (["convert", "{rec}", "-o", "{out}"], "distributed", "distributed"),
    (["plot", "{rec}", "-o", "{out}/x.png"], "matplotlib", "matplotlib"),
    (["qc", "{rec}", "-o", "{out}/q.parquet"], "pyarrow", "pyarrow"),
])
def test_commands_without_the_extra_say_which_to_install(plain, tmp_path, argv, blocked, needs):
    out = tmp_path / "out"
    args = [a.format(rec=plain, out=out) for a in argv]
    code = ("import sys; sys.modules[%r] = None\n"          # as if it were not installed
            "from morvane_tools.cli import main\nraise SystemExit(main(%r))" % (blocked, args))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=child_env(), timeout=120)
    assert done.returncode == 2
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1, done.stderr
    assert needs in lines[0] and 'pip install "morvane[tools]"' in lines[0]
    assert 'pip install ".[tools]"' in lines[0]
    assert not out.exists()             # nothing was drawn or written
    assert done.stdout == ""


@pytest.mark.parametrize("forced", [None, "zlib"])
def test_quality_report_names_the_inflater(tmp_path, plain, monkeypatch, forced):
    import morvane_tools.options

    if forced:
        monkeypatch.setattr(morvane_tools.options, "INFLATER", forced)
    packed = tmp_path / "named.cwa.gz"
    packed.write_bytes(gzip.compress(plain.read_bytes()))
    q = mt.quality_report(packed)
    assert q["inflater"] == forced if forced else q["inflater"] in ("isa-l", "zlib")
    assert mt.quality_report(plain)["inflater"] is None
    frame, _ = mt.read_recording(packed, threads=2)
    pd.testing.assert_frame_equal(frame, mt.read_recording(plain)[0])


# ---------------------------------------------------------------------------- threads

def most_threads_during(fn) -> tuple[int, int]:
    """(threads of this process before, the most seen while ``fn`` runs), sampled every
    millisecond by a watcher that is itself counted in both."""
    import threading
    import time

    count = lambda: len(os.listdir("/proc/self/task"))  # noqa: E731
    seen = []
    done = threading.Event()

    def watch():
        while not done.is_set():
            seen.append(count())
            time.sleep(0.001)

    watcher = threading.Thread(target=watch)
    watcher.start()
    time.sleep(0.01)
    before = count()
    try:
        fn()
    finally:
        done.set()
        watcher.join()
    return before, max(seen)


@pytest.fixture(scope="module")
def longer(tmp_path_factory):
    path = tmp_path_factory.mktemp("threads") / "long.cwa"
    cwagen.write_recording(path, fmt=0x30, n_blocks=30_000, checksums=True)
    packed = path.with_suffix(".cwa.gz")
    packed.write_bytes(gzip.compress(path.read_bytes(), compresslevel=1))
    return path, packed


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("which", ["plain", "gzip"])
def test_prepare_starts_no_more_threads_than_allowed(longer, threads, which):
    path = longer[0] if which == "plain" else longer[1]
    before, most = most_threads_during(
        lambda: mt.prepare(path, threads=threads, calibrate=True, epoch="5s"))
    # the caller's thread is one of those allowed
    assert most - before <= threads - 1


def test_prepare_in_a_one_thread_dask_worker_uses_one_thread(longer):
    import distributed

    def task(path):
        return most_threads_during(lambda: mt.prepare(path, calibrate=True))

    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        before, most = client.submit(task, str(longer[1])).result()
    assert most == before


@pytest.mark.parametrize("n", [0, 1, 2, 1000, (1 << 18) + 1, (1 << 18) + 2, 3 * (1 << 18) + 7])
@pytest.mark.parametrize("backward", [False, True])
@pytest.mark.parametrize("low", [1, 1_000_000, 1_500_000])
def test_steps_found_slice_by_slice_equal_the_whole_difference(n, backward, low):
    from morvane_tools.coverage import steps_at_least

    # steps of -0.5 s to 2 s, so that backward steps, gaps and steps across every slice
    # boundary all occur
    t = np.cumsum(np.random.default_rng(n).integers(-5, 20, size=n)).astype(np.int64) * 100_000
    d = np.diff(t)
    expected = np.flatnonzero((d >= low) | (d < 0) if backward else d >= low)
    np.testing.assert_array_equal(steps_at_least(t, low, backward), expected)
