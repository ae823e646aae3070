"""Preparing recordings: calibration, non-wear, low-pass filter, epochs and the chunked chain.

Ground truths come from the generator: accelerations are built in g with known errors and
written as counts = round(value * counts_per_g)."""

from __future__ import annotations

import datetime as dt
import hashlib
import json

import numpy as np
import pandas as pd
import pytest
from scipy.signal import butter, sosfiltfilt

import cwagen
import morvane_tools as mt
import importlib

pipeline = importlib.import_module("morvane_tools.prepare")  # the module, not the function

pytestmark = pytest.mark.filterwarnings("error::RuntimeWarning")

LOW_RATE = 0x47            # 12.5 Hz
LOW_HZ = 12.5
PER_G_16 = 4096            # format 0x62 (gyro first, then accelerometer)
PER_G_PACKED = 256         # format 0x30
SPB_62 = 40
T0 = 26.0                  # reference of the injected temperature error, degrees C


def temp_raw(celsius):
    """Raw temperature word for a temperature (the format's 75/256 degrees per count)."""
    return np.rint((np.asarray(celsius) + 50.0) * 256.0 / 75.0).astype(np.int64)


def temp_celsius(raw):
    return np.asarray(raw) * 75.0 / 256.0 - 50.0


def sphere(k):
    """k directions spread over the whole sphere."""
    i = np.arange(k) + 0.5
    z = 1 - 2 * i / k
    r = np.sqrt(1 - z * z)
    phi = i * np.pi * (3 - np.sqrt(5))
    return np.stack([r * np.cos(phi), r * np.sin(phi), z], axis=1)


def block_temperatures(duration_s, spb=SPB_62, rate=LOW_HZ, lo=18.0, hi=34.0, period=1700.0):
    n_blocks = int(np.ceil(duration_s * rate / spb))
    tb = np.arange(n_blocks) * spb / rate
    return temp_raw(lo + (hi - lo) * ((tb / period) % 1.0))


class Errors:
    def __init__(self, offset=(0.0, 0.0, 0.0), scale=(1.0, 1.0, 1.0), tc=(0.0, 0.0, 0.0)):
        self.offset = np.array(offset)
        self.scale = np.array(scale)
        self.tc = np.array(tc)

    def measured(self, g, celsius):
        return self.offset + self.scale * g + self.tc * (celsius - T0)[:, None]


def orientation_motion(errors, temps_raw, dirs, hold_s=40.0, noise_g=0.002, rate=LOW_HZ,
                       spb=SPB_62, after=None, seed=1):
    """Format 0x62 motion: the device rests in each of ``dirs`` for ``hold_s``, cycling;
    ``after(t)`` (g, shape (n, 3)) takes over from the end of the cycles given by
    ``after[0]`` seconds."""
    celsius = temp_celsius(temps_raw)

    def f(t):
        rng = np.random.default_rng(seed + int(t[0] * 1000))
        i = np.rint(t * rate).astype(np.int64)
        g = dirs[(t // hold_s).astype(np.int64) % len(dirs)]
        if after is not None:
            late = t >= after[0]
            g = g.copy()
            g[late] = after[1](t[late])
        T = celsius[np.minimum(i // spb, len(celsius) - 1)]
        a = errors.measured(g, T) + rng.normal(0, noise_g, g.shape)
        out = np.zeros((len(t), 6), dtype=np.int64)
        out[:, 3:] = np.rint(a * PER_G_16)
        out[:, :3] = rng.integers(-3, 4, (len(t), 3))
        return out

    return f


def write(tmp_path, name, **kw):
    path = tmp_path / name
    kw.setdefault("checksums", True)
    cwagen.write_recording(path, **kw)
    return path


def read(path):
    return mt.read_recording(path)[0]


def snapshot(frame):
    return frame.index.asi8.copy(), {c: frame[c].to_numpy().copy() for c in frame.columns}


def assert_unchanged(frame, snap):
    """(pandas' own frame comparison boxes every time stamp: too slow here)"""
    index, cols = snap
    np.testing.assert_array_equal(frame.index.asi8, index)
    assert list(frame.columns) == list(cols)
    for c, v in cols.items():
        assert frame[c].dtype == v.dtype
        np.testing.assert_array_equal(frame[c].to_numpy(), v)


# --------------------------------------------------------------------------- calibration

CASES = {
    "offset+scale+temperature": Errors((0.032, -0.021, 0.015), (1.021, 0.984, 1.012),
                                       (0.0016, -0.0011, 0.0008)),
    "offset+scale": Errors((-0.045, 0.012, 0.028), (0.978, 1.015, 1.006)),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_calibration_recovers_injected_errors(tmp_path, case):
    err = CASES[case]
    duration = 3 * 42 * 40.0
    temps = block_temperatures(duration)
    path = write(tmp_path, "cal.cwa", fmt=0x62, rate_code=LOW_RATE, duration_s=duration,
                 temperature=temps, motion=orientation_motion(err, temps, sphere(42)))
    frame = read(path)
    before = snapshot(frame)
    out, info = mt.calibrate(frame)
    assert_unchanged(frame, before)
    json.dumps(info)
    assert info["calibrated"] and info["reason"] is None
    assert info["stationary_points"] >= 3 * 42 * 2
    s = np.array(info["scale"])
    off = np.array(info["offset"])
    tc = np.array(info["temperature_coefficient"])
    tref = info["reference_temperature"]
    # invert a' = offset + scale * a + tc * (T - Tref) into the error model at T0
    np.testing.assert_allclose(1 / s, err.scale, rtol=0.002)
    np.testing.assert_allclose(-(off + tc * (T0 - tref)) / s, err.offset, atol=0.002)
    np.testing.assert_allclose(-tc / s, err.tc, atol=0.0002)
    assert info["error_after_mg"] < 1.0 < info["error_before_mg"]
    # the frame: accelerometer corrected as the formula says, all else untouched
    for col in out.columns:
        assert out[col].dtype == frame[col].dtype
    for col in ("gyro_x", "temperature", "light", "battery"):
        np.testing.assert_array_equal(out[col].to_numpy(), frame[col].to_numpy())
    T = frame["temperature"].to_numpy(np.float64)
    for k, ax in enumerate("xyz"):
        want = off[k] + s[k] * frame[f"acc_{ax}"].to_numpy(np.float64) + tc[k] * (T - tref)
        np.testing.assert_allclose(out[f"acc_{ax}"].to_numpy(), want, rtol=1e-6, atol=1e-6)
    # the calibrated stationary samples lie on the unit sphere
    rest = out.iloc[::25]
    mag = np.sqrt((rest[["acc_x", "acc_y", "acc_z"]].to_numpy(np.float64) ** 2).sum(axis=1))
    assert np.median(np.abs(mag - 1)) < 0.003


def hemisphere(k):
    d = sphere(2 * k)
    return d[d[:, 0] > 0.1]


@pytest.mark.parametrize("dirs,expect", [
    (hemisphere(20), "x "),          # x never below -0.3 g
    (sphere(3)[:1], "stationary"),   # one orientation: too few points, or one axis only
])
def test_calibration_needs_orientations(tmp_path, dirs, expect):
    err = CASES["offset+scale"]
    duration = 30 * 40.0
    temps = block_temperatures(duration)
    path = write(tmp_path, "few.cwa", fmt=0x62, rate_code=LOW_RATE, duration_s=duration,
                 temperature=temps, motion=orientation_motion(err, temps, dirs))
    frame = read(path)
    out, info = mt.calibrate(frame)
    assert not info["calibrated"]
    assert expect in info["reason"]
    assert info["scale"] == [1.0, 1.0, 1.0] and info["offset"] == [0.0, 0.0, 0.0]
    assert_unchanged(out, snapshot(frame))
    json.dumps(info)


def test_calibration_without_stationary_windows(tmp_path):
    path = write(tmp_path, "moving.cwa", fmt=0x30, duration_s=120, motion=lambda t: np.stack(
        [np.rint(256 * 0.5 * np.sin(2 * np.pi * 1.3 * t)).astype(np.int64)] * 3, axis=1))
    out, info = mt.calibrate(read(path))
    assert not info["calibrated"] and info["stationary_points"] == 0
    assert info["error_before_mg"] is None and "0 stationary" in info["reason"]


@pytest.mark.parametrize("kw", [{"window": "0s"}, {"window": "fast"}, {"stationary_sd_g": 0},
                                {"max_iterations": 0}])
def test_calibration_rejects_bad_options(tmp_path, kw):
    path = write(tmp_path, "z.cwa", fmt=0x30, duration_s=10)
    with pytest.raises(ValueError):
        mt.calibrate(read(path), **kw)


# --------------------------------------------------------------------------- non-wear

STEP = 15 * 60


def wear_motion(still, per_g=PER_G_PACKED, seed=3):
    """Format 0x30 motion: an arm swinging (0.25 g at 0.7 Hz), at rest in ``still``
    (list of (from_s, to_s) clock seconds); 1-count noise throughout."""
    g0 = np.array([0.2, -0.3, 0.93])
    g0 = g0 / np.linalg.norm(g0)

    def f(t):
        rng = np.random.default_rng(seed + int(t[0]))
        a = np.tile(g0, (len(t), 1))
        moving = np.ones(len(t), dtype=bool)
        for lo, hi in still:
            moving &= ~((t >= lo) & (t < hi))
        swing = 0.25 * np.sin(2 * np.pi * 0.7 * t[moving])
        a[moving] += swing[:, None] * np.array([1.0, 0.6, -0.4])
        return np.rint(a * per_g).astype(np.int64) + rng.integers(-1, 2, a.shape)

    return f


def block_at(seconds, rate=LOW_HZ, spb=120):
    return int(seconds * rate // spb)


@pytest.mark.parametrize("still_from,still_to", [(7800, 19200), (8100, 16200), (7000, 18500)])
def test_nonwear_finds_a_rest_inside_activity(tmp_path, still_from, still_to):
    path = write(tmp_path, "nw.cwa", fmt=0x30, rate_code=LOW_RATE, duration_s=8 * 3600,
                 motion=wear_motion([(still_from, still_to)]))
    frame = read(path)
    before = snapshot(frame)
    nw = mt.detect_nonwear(frame)
    assert_unchanged(frame, before)
    assert len(nw) == 1
    assert str(nw["start"].dtype) == "datetime64[us]" and nw["duration_s"].dtype == np.float64
    t0 = pd.Timestamp(cwagen.DEFAULT_START)
    lo, hi = t0 + pd.Timedelta(seconds=still_from), t0 + pd.Timedelta(seconds=still_to)
    start, end = nw["start"].iloc[0], nw["end"].iloc[0]
    assert lo <= start <= lo + pd.Timedelta(seconds=STEP)
    assert hi - pd.Timedelta(seconds=STEP) <= end <= hi
    assert nw["duration_s"].iloc[0] == (end - start).total_seconds()
    # clock-aligned to whole steps
    assert start.minute % 15 == 0 and start.second == 0 and start.microsecond == 0


def test_nonwear_never_spans_a_gap(tmp_path):
    # rest from 1 h to 6 h of clock time; the clock jumps 30 min at 3 h (inside the rest)
    # and 20 min at 7 h (inside activity)
    gap_at, gap_s = 3 * 3600, 1800
    path = write(tmp_path, "gap.cwa", fmt=0x30, rate_code=LOW_RATE, duration_s=7 * 3600,
                 motion=wear_motion([(3600, 6 * 3600)]),
                 gaps=[(block_at(gap_at), gap_s), (block_at(6.5 * 3600), 1200)])
    frame = read(path)
    nw = mt.detect_nonwear(frame)
    t = frame.index
    jumps = np.flatnonzero(np.diff(t.asi8) >= 1_000_000)
    assert len(jumps) == 2
    assert len(nw) == 2
    for j in jumps:
        g0, g1 = t[j], t[j + 1]
        assert ((nw["end"] <= g0 + pd.Timedelta(seconds=1)) | (nw["start"] >= g1)).all()
    t0 = pd.Timestamp(cwagen.DEFAULT_START)
    assert nw["start"].iloc[0] == t0 + pd.Timedelta(hours=1)
    assert nw["end"].iloc[1] == t0 + pd.Timedelta(hours=6)


def test_nonwear_window_needs_coverage(tmp_path):
    # at rest from the first sample, which is not on a step boundary: the first window
    # starts at the first whole step after it
    start = dt.datetime(2023, 6, 15, 12, 7, 30)
    path = write(tmp_path, "rest.cwa", fmt=0x30, rate_code=LOW_RATE, duration_s=3 * 3600,
                 start=start, motion=wear_motion([(0, 1e9)]))
    nw = mt.detect_nonwear(read(path))
    assert len(nw) == 1
    assert nw["start"].iloc[0] == pd.Timestamp(2023, 6, 15, 12, 15)
    assert nw["end"].iloc[0] == pd.Timestamp(2023, 6, 15, 15, 0)


@pytest.mark.parametrize("kw", [{"step": "2h"}, {"min_axes": 4}, {"sd_g": -1}])
def test_nonwear_rejects_bad_options(tmp_path, kw):
    path = write(tmp_path, "z.cwa", fmt=0x30, duration_s=10)
    with pytest.raises(ValueError):
        mt.detect_nonwear(read(path), **kw)


# --------------------------------------------------------------------------- epochs

def direct_epochs(frame, seconds):
    """Straightforward float64 pandas computation of the epoch measures."""
    a = frame[["acc_x", "acc_y", "acc_z"]].to_numpy(np.float64)
    mag = np.sqrt((a * a).sum(axis=1))
    d = pd.DataFrame({
        "mag": mag, "enmo": np.maximum(mag - 1, 0),
        "angle": np.degrees(np.arctan(a[:, 2] / np.sqrt(a[:, 0] ** 2 + a[:, 1] ** 2))),
        "x": a[:, 0], "y": a[:, 1], "z": a[:, 2],
        "temperature": frame["temperature"].to_numpy(np.float64)})
    key = frame.index.floor(f"{seconds}s")
    g = d.groupby(key)
    mad = (d["mag"] - g["mag"].transform("mean")).abs().groupby(key).mean()
    return pd.DataFrame({"samples": g.size(), "enmo_mg": g["enmo"].mean() * 1000,
                         "mad_mg": mad * 1000, "anglez_deg": g["angle"].mean(),
                         "x_mean": g["x"].mean(), "y_mean": g["y"].mean(),
                         "z_mean": g["z"].mean(), "temperature": g["temperature"].mean()})


@pytest.mark.parametrize("seconds", [30, 7, 60])
def test_epochs_match_a_direct_computation(tmp_path, seconds):
    start = dt.datetime(2023, 6, 15, 12, 0, 7)
    path = write(tmp_path, "ep.cwa", fmt=0x30, duration_s=20 * 60, start=start,
                 gaps=[(400, 75.0)], temperature=np.arange(1000) % 50 + 280)
    frame = read(path)
    before = snapshot(frame)
    ep = mt.epochs(frame, f"{seconds}s")
    assert_unchanged(frame, before)
    want = direct_epochs(frame, seconds)
    # every epoch from first to last, clock aligned, empty ones marked
    assert ep.index.name == "epoch" and str(ep.index.dtype) == "datetime64[us]"
    assert ep.index[0] == want.index[0] and ep.index[-1] == want.index[-1]
    assert (np.diff(ep.index.asi8) == seconds * 1_000_000).all()
    assert (ep.index.asi8 % (seconds * 1_000_000) == 0).all()   # midnight-aligned
    empty = ~ep.index.isin(want.index)
    assert empty.sum() >= 75 // seconds - 1
    assert (ep["samples"][empty] == 0).all() and ep.loc[empty, "enmo_mg"].isna().all()
    got = ep[~empty]
    np.testing.assert_array_equal(got["samples"].to_numpy(), want["samples"].to_numpy())
    for col in ("enmo_mg", "mad_mg", "anglez_deg"):
        assert got[col].dtype == np.float64
        np.testing.assert_allclose(got[col].to_numpy(), want[col].to_numpy(), rtol=1e-9,
                                   atol=1e-9)
    for col in ("x_mean", "y_mean", "z_mean", "temperature"):
        assert got[col].dtype == np.float32
        np.testing.assert_allclose(got[col].to_numpy(), want[col].to_numpy(), rtol=1e-6)
    assert {"light", "battery"} <= set(ep.columns)


def test_epochs_nonwear_fraction(tmp_path):
    path = write(tmp_path, "f.cwa", fmt=0x30, duration_s=5 * 60)
    frame = read(path)
    t0 = pd.Timestamp(cwagen.DEFAULT_START)
    intervals = pd.DataFrame({"start": [t0 + pd.Timedelta(seconds=75)],
                              "end": [t0 + pd.Timedelta(seconds=150)]})
    ep = mt.epochs(frame, "30s", nonwear=intervals)
    np.testing.assert_allclose(ep["nonwear"].to_numpy()[:6], [0, 0, 0.5, 1, 1, 0])
    pairs = mt.epochs(frame, "30s", nonwear=[(t0 + pd.Timedelta(seconds=75),
                                              t0 + pd.Timedelta(seconds=150))])
    np.testing.assert_array_equal(pairs["nonwear"].to_numpy(), ep["nonwear"].to_numpy())


# --------------------------------------------------------------------------- low-pass

def test_lowpass_matches_scipy_per_stretch(tmp_path):
    n_blocks = 900
    spb = np.full(n_blocks, 40)
    spb[300] = 10            # a stretch of 10 samples between two gaps: too short to pad
    path = write(tmp_path, "lp.cwa", fmt=0x62, n_blocks=n_blocks, samples_per_block=spb,
                 gaps=[(200, 3.0), (300, 2.0), (301, 1.5)])
    frame = read(path)
    before = snapshot(frame)
    out = mt.lowpass(frame, 15.0)
    assert_unchanged(frame, before)
    first = np.concatenate([[0], np.cumsum(spb)])
    bounds = [0, first[200], first[300], first[301], first[-1]]
    sos = butter(4, 15.0, fs=100.0, output="sos")
    for col in ("acc_x", "acc_z", "gyro_y"):
        x = frame[col].to_numpy()
        got = out[col].to_numpy()
        assert got.dtype == np.float32
        for a, b in zip(bounds[:-1], bounds[1:]):
            want = x[a:b] if b - a <= 15 else sosfiltfilt(sos, x[a:b].astype(np.float64))
            np.testing.assert_array_equal(got[a:b], np.asarray(want, dtype=np.float32))
    for col in ("temperature", "light", "battery"):
        np.testing.assert_array_equal(out[col].to_numpy(), frame[col].to_numpy())


@pytest.mark.parametrize("cutoff", [50.0, 60.0, 0.0, -1.0])
def test_lowpass_rejects_cutoff(tmp_path, cutoff):
    path = write(tmp_path, "z.cwa", fmt=0x30, duration_s=10)
    with pytest.raises(ValueError):
        mt.lowpass(read(path), cutoff)


# --------------------------------------------------------------------------- prepare

def chain(path, lowpass_hz):
    frame = read(path)
    frame, cal = mt.calibrate(frame)
    if lowpass_hz is not None:
        frame = mt.lowpass(frame, lowpass_hz)
    nw = mt.detect_nonwear(frame)
    return mt.epochs(frame, "30s", nonwear=nw), cal, nw


def mixed_recording(tmp_path):
    """4 h at 12.5 Hz: orientations with calibration errors, activity, a 95 min rest, a
    gap inside later activity."""
    duration = 4 * 3600
    temps = block_temperatures(duration)
    rest_g = np.array([0.1, 0.7, -0.7]) / np.linalg.norm([0.1, 0.7, -0.7])

    def late(t):
        g = np.tile(rest_g, (len(t), 1))
        moving = (t < 6300) | (t >= 12000)
        g[moving] += (0.3 * np.sin(2 * np.pi * 0.9 * t[moving]))[:, None] * [0.5, 1.0, 0.2]
        return g

    motion = orientation_motion(CASES["offset+scale+temperature"], temps, sphere(30),
                                after=(3600, late))
    return write(tmp_path, "mixed.cwa", fmt=0x62, rate_code=LOW_RATE, duration_s=duration,
                 temperature=temps, motion=motion, gaps=[(block_at(13000, spb=40), 240.0)])


@pytest.mark.parametrize("lowpass_hz", [None, 2.0])
def test_prepare_equals_the_in_memory_chain(tmp_path, monkeypatch, lowpass_hz):
    path = mixed_recording(tmp_path)
    digest = hashlib.sha256(path.read_bytes()).hexdigest()
    monkeypatch.setattr(pipeline, "_CHUNK_BLOCKS", 97)    # ~50 chunks
    table, info = mt.prepare(path, lowpass_hz=lowpass_hz)
    assert hashlib.sha256(path.read_bytes()).hexdigest() == digest
    json.dumps(info)
    want, cal, nw = chain(path, lowpass_hz)
    assert info["calibration"]["calibrated"]
    assert info["calibration"]["stationary_points"] == cal["stationary_points"]
    np.testing.assert_allclose(info["calibration"]["scale"], cal["scale"], rtol=1e-9)
    assert len(nw) == len(info["nonwear"]) == 1
    assert pd.Timestamp(info["nonwear"][0]["start"]) == nw["start"].iloc[0]
    assert info["read"]["skipped_blocks"] == []
    assert list(table.columns) == list(want.columns)
    assert table.index.equals(want.index)
    assert (table.dtypes == want.dtypes).all()
    for col in want.columns:
        np.testing.assert_allclose(table[col].to_numpy(np.float64),
                                   want[col].to_numpy(np.float64), rtol=1e-6, atol=0)
    assert table["nonwear"].max() == 1.0 and (table["samples"] == 0).sum() >= 7
    if lowpass_hz is not None:
        assert info["sampling_rate_hz"] == LOW_HZ
        unfiltered, _ = mt.prepare(path)
        assert not np.allclose(unfiltered["mad_mg"], table["mad_mg"], equal_nan=True)


@pytest.mark.parametrize("options", [dict(calibrate=False, nonwear=False), dict(epoch="1min")])
def test_prepare_options(tmp_path, monkeypatch, options):
    path = write(tmp_path, "o.cwa", fmt=0x30, duration_s=600, gaps=[(30, 5.0)])
    monkeypatch.setattr(pipeline, "_CHUNK_BLOCKS", 13)
    table, info = mt.prepare(path, **options)
    frame = read(path)
    if options.get("calibrate", True):
        frame, _ = mt.calibrate(frame)
    nw = mt.detect_nonwear(frame) if options.get("nonwear", True) else None
    want = mt.epochs(frame, options.get("epoch", "30s"), nonwear=nw)
    pd.testing.assert_frame_equal(table, want, rtol=1e-6)
    assert (info["calibration"] is None) == (not options.get("calibrate", True))
    assert (info["nonwear"] is None) == (not options.get("nonwear", True))


@pytest.mark.parametrize("cutoff,piece", [(15.0, 333), (0.4, 1000), (15.0, 40_000)])
def test_streamed_lowpass_equals_the_whole_frame(tmp_path, cutoff, piece):
    from morvane_tools.filters import StreamingLowpass, design

    n_blocks = 900
    spb = np.full(n_blocks, 40)
    spb[300] = 10
    path = write(tmp_path, "lp.cwa", fmt=0x62, n_blocks=n_blocks, samples_per_block=spb,
                 gaps=[(200, 3.0), (300, 2.0), (301, 1.5), (700, -4.0)])
    frame = read(path)
    want = mt.lowpass(frame, cutoff)
    t = frame.index.asi8
    cols = [frame[c].to_numpy() for c in ("acc_x", "acc_y", "acc_z")]
    stream = StreamingLowpass(*design(cutoff, 4, 100.0), period_us=10_000.0)
    pieces = []
    for a in range(0, len(t), piece):
        pieces += stream.feed(t[a:a + piece], [c[a:a + piece] for c in cols],
                              [frame["temperature"].to_numpy()[a:a + piece]])
    pieces += stream.finish()
    np.testing.assert_array_equal(np.concatenate([p[0] for p in pieces]), t)
    np.testing.assert_array_equal(np.concatenate([p[2][0] for p in pieces]),
                                  frame["temperature"].to_numpy())
    for k, c in enumerate(("acc_x", "acc_y", "acc_z")):
        got = np.concatenate([p[1][k] for p in pieces])
        np.testing.assert_allclose(got, want[c].to_numpy(), rtol=1e-6, atol=1e-7)


def test_epochs_when_the_clock_runs_back(tmp_path):
    # the clock is set back 45 s at block 300: those epochs are met twice and combined
    path = write(tmp_path, "back.cwa", fmt=0x30, duration_s=10 * 60, gaps=[(300, -45.0)])
    frame = read(path)
    assert (np.diff(frame.index.asi8) < 0).any()
    ep = mt.epochs(frame, "30s")
    want = direct_epochs(frame, 30)
    got = ep.loc[want.index]
    np.testing.assert_array_equal(got["samples"].to_numpy(), want["samples"].to_numpy())
    assert ep["samples"].sum() == len(frame)
    for col in ("enmo_mg", "anglez_deg"):
        np.testing.assert_allclose(got[col].to_numpy(), want[col].to_numpy(), rtol=1e-9)
    np.testing.assert_allclose(got["x_mean"].to_numpy(), want["x_mean"].to_numpy(), rtol=1e-6)
