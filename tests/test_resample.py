"""Resampled reads checked bit for bit against a reference written here.

The reference knows nothing of the reader's internals: it takes the sample
times and values of a plain (unresampled) read of the same file and applies
the grid, bracket and interpolation rules in plain Python double arithmetic.
Any difference in product order, cursor handling, origin or truncation shows
up as a differing bit.
"""

import datetime as dt
import math
import os
import subprocess
import sys
import textwrap
from fractions import Fraction

import numpy as np
import pytest

import cwagen
import morvane

START = dt.datetime(2023, 6, 15, 12, 0, 0)
START_S = 1686830400  # START as seconds since 1970
ACC = ["acc_x", "acc_y", "acc_z"]
GYRO = ["gyro_x", "gyro_y", "gyro_z"]
MAG = ["mag_x", "mag_y", "mag_z"]
AUX = ["temperature", "light", "battery"]
CHANNELS = ACC + GYRO + MAG + AUX
TINY = 1e-12


def micros(frame):
    return frame.index.as_unit("us").asi8


def f32_bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32)


# ---------------------------------------------------------------------------
# reference resampler


def reference_resample(frame, hz, window=(None, None), first_time=None):
    """Resample the samples of a plain read.

    ``window`` holds absolute device seconds (start inclusive, end
    exclusive). ``first_time`` is the time of the first sample the reader
    appends (the first sample of the selected blocks); it defaults to the
    first row of ``frame``. Returns a dict with the row times in
    microseconds, the expected columns (absent channels left out) and the
    rule that produced acc_x of every row ("cubic", "linear", "left").
    """
    times = [float(v) / 1e6 for v in micros(frame)]
    n_samples = len(times)
    nan = float("nan")
    ys = {}
    for c in CHANNELS:
        if c in frame.columns:
            ys[c] = [float(v) for v in frame[c].to_numpy()]
        else:
            ys[c] = [nan] * n_samples
    start, end = window
    first = times[0] if first_time is None else first_time
    origin = start if start is not None and start > first else first
    origin_ms = 1000.0 * origin
    # the grid must not start before the first sample
    while math.isfinite(origin_ms) and origin_ms / 1000.0 < first:
        origin_ms = math.nextafter(origin_ms, math.inf)
    step_ms = 1000.0 / hz

    def grid(n):
        if n == 0:
            return origin_ms / 1000.0
        return (float(n) * step_ms + origin_ms) / 1000.0

    out_time, rules = [], []
    out = {c: [] for c in CHANNELS}
    cursor, n = 0, 0
    while True:
        t = grid(n)
        if end is not None and t >= end:
            break
        right = cursor + 1
        while right < n_samples and times[right] < t:
            right += 1
        left = right - 1
        cursor = left
        if (n_samples < 2 or right == n_samples or t < times[left]
                or times[right] < t):
            break
        t1, t2 = times[left], times[right]
        cubic = left >= 1 and right + 1 < n_samples
        if cubic:
            t0, t3 = times[left - 1], times[right + 1]
            a0, a1, a2, a3 = t - t0, t - t1, t - t2, t - t3
            d0 = (t0 - t3) * ((t0 - t2) * (t0 - t1))
            d1 = (t1 - t3) * ((t1 - t2) * (t1 - t0))
            d2 = (t2 - t3) * ((t2 - t1) * (t2 - t0))
            d3 = (t3 - t2) * ((t3 - t1) * (t3 - t0))
            cubic = all(abs(d) >= TINY for d in (d0, d1, d2, d3))
            if cubic:
                w0 = (a3 * (a2 * a1)) / d0
                w1 = (a3 * (a2 * a0)) / d1
                w2 = ((a1 * a0) * a3) / d2
                w3 = ((a1 * a0) * a2) / d3
        for c in CHANNELS:
            y1, y2 = ys[c][left], ys[c][right]
            if cubic:
                y0, y3 = ys[c][left - 1], ys[c][right + 1]
            if cubic and not any(math.isnan(y) for y in (y0, y1, y2, y3)):
                value, rule = ((w0 * y0 + w1 * y1) + w2 * y2) + w3 * y3, "cubic"
            elif abs(t2 - t1) >= TINY:
                value, rule = ((t - t1) / (t2 - t1)) * (y2 - y1) + y1, "linear"
            else:
                value, rule = y1, "left"
            out[c].append(np.float32(value))
            if c == "acc_x":
                rules.append(rule)
        hit = left if t == t1 else (right if t == t2 else None)
        if hit is not None:
            for c in GYRO + MAG:
                out[c][-1] = np.float32(ys[c][hit])
        out_time.append(int(t * 1e6))
        n += 1

    def inside(s):
        return (start is None or start <= s) and (end is None or s < end)

    columns = {}
    for c in CHANNELS:
        values = np.array(out[c], dtype=np.float32)
        if c in GYRO + MAG:
            carried = any(inside(s) and not math.isnan(y)
                          for s, y in zip(times, ys[c]))
            if not carried and not np.any(~np.isnan(values)):
                continue
        columns[c] = values
    return {"time": np.array(out_time, dtype=np.int64), "columns": columns,
            "rules": rules}


def assert_matches(frame, ref):
    assert list(frame.columns) == list(ref["columns"])
    np.testing.assert_array_equal(micros(frame), ref["time"])
    for c, values in ref["columns"].items():
        got = frame[c].to_numpy()
        assert got.dtype == np.float32
        mismatch = np.flatnonzero(f32_bits(got) != f32_bits(values))
        assert mismatch.size == 0, (
            f"{c}: first differing row {mismatch[:1]}, "
            f"got {got[mismatch[:3]]}, expected {values[mismatch[:3]]}")


# ---------------------------------------------------------------------------
# recordings


def random_motion(seed):
    """Raw samples spread over most of each format's range, so that every
    interpolation weight matters in the last bits."""
    rng = np.random.default_rng(seed)

    def motion(t, fmt):
        axes = cwagen.FORMATS[fmt][0]
        lim = 4000 if fmt == 0x30 else 30000
        return rng.integers(-lim, lim, size=(len(t), axes))
    return motion


def packed_epoch(seconds):
    return cwagen.pack_datetime_from(dt.datetime(1970, 1, 1) + dt.timedelta(seconds=seconds))


def block(seconds, offset, samples, *, fmt=0x62, rate_code=0x4A, **fields):
    """A data block stamped with whole second ``seconds`` (since 1970) and
    timestamp offset ``offset``."""
    fields.setdefault("temperature", 300)
    fields.setdefault("battery", 180)
    fields.setdefault("light", cwagen.light_word(100, 2, 4 if fmt != 0x30 else 0))
    return cwagen.data_block(timestamp=packed_epoch(seconds), timestamp_offset=offset,
                             rate_code=rate_code, format=fmt, samples=samples, **fields)


def rand_samples(rng, n, fmt=0x62):
    axes = cwagen.FORMATS[fmt][0]
    lim = 4000 if fmt == 0x30 else 30000
    return rng.integers(-lim, lim, size=(n, axes))


def write(tmp_path, name="rec.cwa", **kwargs):
    path = tmp_path / name
    kwargs.setdefault("start", START)
    cwagen.write_recording(path, **kwargs)
    return str(path)


# ---------------------------------------------------------------------------
# bit-exact comparison over formats, rates and timing oddities

RECORDINGS = {
    "packed": dict(fmt=0x30, n_blocks=4),
    "unpacked3": dict(fmt=0x32, n_blocks=5),
    "6axis": dict(fmt=0x62, n_blocks=10),
    "9axis": dict(fmt=0x92, n_blocks=14),
    # 312.5 us spacing still passes the 1e-12 denominator test
    "packed_3200hz": dict(fmt=0x30, rate_code=0x4F, n_blocks=12),
    "mixed_3_6_9": dict(formats=[0x30, 0x62, 0x62, 0x30, 0x92, 0x62, 0x30, 0x62]),
    "jitter": dict(fmt=0x62, n_blocks=10, jitter=0.013),
    "gap": dict(fmt=0x62, n_blocks=8, gaps=[(4, 2.37)]),
    # the fourth block starts 3 s before the previous end: its times run
    # backwards from that end, then time climbs again
    "clock_set_back": dict(fmt=0x62, n_blocks=8, gaps=[(3, -3.0)]),
    "25hz": dict(fmt=0x92, rate_code=0x48, n_blocks=6),
}

RATES = [30, 7, 100, 250, 0.5, 33.3]


@pytest.mark.parametrize("hz", RATES)
@pytest.mark.parametrize("name", list(RECORDINGS))
def test_whole_file_matches_reference(tmp_path, name, hz):
    path = write(tmp_path, motion=random_motion(sum(name.encode())),
                 **RECORDINGS[name])
    plain = morvane.read_cwa_file(path)
    got = morvane.read_cwa_file(path, resample_hz=hz)
    ref = reference_resample(plain, hz)
    assert_matches(got, ref)
    assert micros(got)[0] == micros(plain)[0]


@pytest.mark.parametrize("hz", [10000, 4321.5])
def test_high_rate_on_3200hz_data_matches_reference(tmp_path, hz):
    path = write(tmp_path, fmt=0x62, rate_code=0x4F, n_blocks=6, motion=random_motion(9))
    plain = morvane.read_cwa_file(path)
    assert_matches(morvane.read_cwa_file(path, resample_hz=hz), reference_resample(plain, hz))


def test_reference_comparisons_cover_both_rules(tmp_path):
    # Guards the table above against degenerating into linear-only data.
    path = write(tmp_path, fmt=0x62, n_blocks=10, motion=random_motion(3))
    ref = reference_resample(morvane.read_cwa_file(path), 30)
    assert "cubic" in ref["rules"] and "linear" in ref["rules"]


WINDOWS = [
    # start and end between samples of a 100 Hz recording
    (1.2345, 3.2109),
    (0.0051, None),
    (None, 2.2222),
    (2.0, 2.5),  # on sample times: start row is a sample, end excluded
    (0.7001, 0.7039),  # no sample inside; one row between two samples
]


@pytest.mark.parametrize("hz", [30, 7, 250])
@pytest.mark.parametrize("window", WINDOWS)
@pytest.mark.parametrize("fmt", [0x30, 0x62, 0x92])
def test_seconds_window_matches_reference(tmp_path, fmt, window, hz):
    n_blocks = {0x30: 4, 0x62: 10, 0x92: 16}[fmt]
    path = write(tmp_path, fmt=fmt, n_blocks=n_blocks, motion=random_motion(fmt))
    plain = morvane.read_cwa_file(path)
    assert micros(plain)[0] == START_S * 10**6  # data start is START itself
    absolute = tuple(None if w is None else START_S + w for w in window)
    got = morvane.read_cwa_file(path, morvane.seconds(*window), resample_hz=hz)
    ref = reference_resample(plain, hz, absolute)
    assert_matches(got, ref)
    if window[0] is not None:
        # rows begin at the window start, not at a sample
        assert micros(got)[0] == int(absolute[0] * 1e6)


def test_window_between_two_samples_interpolates_gyro(tmp_path):
    # Neither neighbour lies inside the window, yet the row's gyroscope
    # values are real numbers, so the columns exist.
    path = write(tmp_path, fmt=0x62, n_blocks=6, motion=random_motion(11))
    plain = morvane.read_cwa_file(path)
    got = morvane.read_cwa_file(path, morvane.seconds(0.7001, 0.7039), resample_hz=250)
    assert len(got) == 1
    assert not np.isnan(got["gyro_x"].to_numpy()).any()
    t = micros(plain)
    assert not ((t >= START_S * 10**6 + 700100) & (t < START_S * 10**6 + 703900)).any()


def test_out_of_window_samples_create_no_gyro_column(tmp_path):
    # 6-axis blocks sit just outside the window on both sides and serve as
    # neighbours, but every row brackets 3-axis samples.
    path = write(tmp_path, formats=[0x62, 0x30, 0x30, 0x62], motion=random_motion(5))
    plain = morvane.read_cwa_file(path)
    t = micros(plain) / 1e6 - START_S
    fmt3 = np.isnan(plain["gyro_x"].to_numpy())
    lo, hi = t[fmt3].min(), t[fmt3].max()
    window = (lo + 0.0001, hi - 0.0001)
    got = morvane.read_cwa_file(path, morvane.seconds(*window), resample_hz=30)
    assert not any(c in got.columns for c in GYRO)
    ref = reference_resample(plain, 30, tuple(START_S + w for w in window))
    assert_matches(got, ref)


def test_in_window_samples_after_last_row_still_create_gyro(tmp_path):
    # Rows at 0.5 s and 1.5 s; the next grid time, 2.5 s, is past the
    # window end, so the grid is done once 1.5 s has its neighbours. Reading
    # goes on up to the window end, and the 6-axis samples from 2.4 s on
    # create the gyroscope columns although no row carries a value.
    path = write(tmp_path, formats=[0x30, 0x30, 0x62], motion=random_motion(31))
    plain = morvane.read_cwa_file(path)
    window = (0.5, 2.45)
    got = morvane.read_cwa_file(path, morvane.seconds(*window), resample_hz=1)
    assert len(got) == 2
    assert all(c in got.columns for c in GYRO)
    assert np.isnan(got[GYRO].to_numpy()).all()
    assert_matches(got, reference_resample(plain, 1, tuple(START_S + w for w in window)))


def test_mixed_formats_use_linear_next_to_missing_gyro(tmp_path):
    path = write(tmp_path, formats=[0x30, 0x62, 0x62, 0x30], motion=random_motion(8))
    plain = morvane.read_cwa_file(path)
    got = morvane.read_cwa_file(path, resample_hz=100)
    assert_matches(got, reference_resample(plain, 100))
    gyro = got["gyro_x"].to_numpy()
    # rows inside the 3-axis stretches have no gyroscope value; rows inside
    # the 6-axis stretch have one
    t = micros(got) / 1e6 - START_S
    assert np.isnan(gyro[t < 1.15]).all()
    assert not np.isnan(gyro[(t > 1.25) & (t < 1.95)]).any()
    assert np.isnan(gyro[t > 2.05]).all()


# ---------------------------------------------------------------------------
# hand-made timing: identical and closely spaced sample times


def test_identical_sample_times_give_left_value(tmp_path):
    rng = np.random.default_rng(21)
    # Block 1 repeats block 0's stamp, so continuity moves it to block 0's
    # end, which is also its own end: all 40 of its samples share one time.
    blocks = [block(START_S, 0, rand_samples(rng, 40)),
              block(START_S, 0, rand_samples(rng, 40)),
              block(START_S, -40, rand_samples(rng, 40)),
              block(START_S, -80, rand_samples(rng, 40))]
    path = str(cwagen.blocks_file(tmp_path / "dup.cwa", blocks))
    # reading from block 1 on starts the grid on the shared time
    plain = morvane.read_cwa_file(path, morvane.blocks(1))
    t = micros(plain)
    assert (t[:41] == t[0]).all() and t[41] > t[0]
    for hz in (100, 30, 7):
        got = morvane.read_cwa_file(path, morvane.blocks(1), resample_hz=hz)
        ref = reference_resample(plain, hz)
        assert ref["rules"][0] == "left"
        assert_matches(got, ref)
        first = got.iloc[0]
        for c in ACC + GYRO:
            assert f32_bits(first[c]) == f32_bits(plain[c].iloc[0])
    whole = morvane.read_cwa_file(path)
    for hz in (100, 30, 250):
        assert_matches(morvane.read_cwa_file(path, resample_hz=hz),
                       reference_resample(whole, hz))


def squeezed_recording(tmp_path, fmt=0x30):
    """3200 Hz blocks, each stamped so that it ends 3 ticks (937.5 us) after
    the previous block's end: continuity packs its 120 samples into that
    span, about 7.8 us apart."""
    rng = np.random.default_rng(4)
    n = cwagen.FORMATS[fmt][2]
    blocks = [block(START_S, 0, rand_samples(rng, n, fmt), fmt=fmt, rate_code=0x4F)]
    for k in range(1, 6):
        # own start = previous end - n + 3 ticks
        blocks.append(block(START_S, -3 * k, rand_samples(rng, n, fmt),
                            fmt=fmt, rate_code=0x4F))
    return str(cwagen.blocks_file(tmp_path / "squeezed.cwa", blocks))


GAPS = [10**6, 3_700_000, 230_000, 11_000_000, 1_900_000]


def cancelling_recording(tmp_path):
    """Segments of one 3200 Hz sample C followed by 40 samples D squeezed
    into the next 312.5 us (continuity pulls D's earlier stamp to C's end),
    separated by gaps of days to months.

    A grid row inside a gap takes D's last two samples (7.8 us apart) as P0
    and P1 and the next C and D samples (312.5 us apart) as P2 and P3: the
    weights come in nearly cancelling pairs of magnitude 1e9 to 1e12. Where
    a channel is constant over a segment the double sum ends with only a
    few float32 bits of margin, so any other product or summation order
    changes the result; gyro_x alternates between extremes and drives the
    rows to 1e13 and beyond."""
    rng = np.random.default_rng(17)
    light = cwagen.light_word(100, 1, 4)
    blocks = []
    at = START_S
    for gap in GAPS + [0]:
        row = rand_samples(rng, 1)
        squeezed = np.repeat(row, 40, axis=0)
        squeezed[:, 0] = np.where(np.arange(40) % 2, 30000, -30000)
        blocks.append(block(at, 0, row, rate_code=0x4F, light=light))
        # own start 38 ticks before C: its end lies one tick after C's end
        blocks.append(block(at, 38, squeezed, rate_code=0x4F, light=light))
        at += gap
    return str(cwagen.blocks_file(tmp_path / "cancel.cwa", blocks))


@pytest.mark.parametrize("hz", [1.1e-5, 3e-4])
def test_cancelling_weights_match_reference(tmp_path, hz):
    path = cancelling_recording(tmp_path)
    plain = morvane.read_cwa_file(path)
    t = micros(plain)
    assert len(t) == 41 * (len(GAPS) + 1)
    assert 5 <= t[40] - t[39] <= 9 and t[41] - t[40] > 10**11
    got = morvane.read_cwa_file(path, resample_hz=hz)
    ref = reference_resample(plain, hz)
    assert_matches(got, ref)
    rules = np.array(ref["rules"])
    assert (rules == "cubic").sum() > 0.9 * len(rules)
    assert np.abs(got["gyro_x"].to_numpy()).max() > 1e13


def test_denominator_limit_is_1e12(tmp_path):
    # 40 samples squeezed into 6 ticks (1.875 ms): 46.9 us apart, so the
    # smallest denominator 2 s^3 is about 2.1e-13 and the largest 6 s^3
    # about 6.2e-13, all below 1e-12 but above 1e-13.
    rng = np.random.default_rng(23)
    blocks = [block(START_S, 0, rand_samples(rng, 40), rate_code=0x4F)]
    for k in range(1, 5):
        blocks.append(block(START_S, -6 * k, rand_samples(rng, 40), rate_code=0x4F))
    path = str(cwagen.blocks_file(tmp_path / "near_limit.cwa", blocks))
    plain = morvane.read_cwa_file(path)
    spacing = np.diff(micros(plain)[40:])
    assert 45 <= spacing.min() and spacing.max() <= 48
    got = morvane.read_cwa_file(path, resample_hz=9000)
    ref = reference_resample(plain, 9000)
    later = ref["time"] > micros(plain)[41]
    assert later.sum() > 20 and set(np.array(ref["rules"])[later]) == {"linear"}
    assert_matches(got, ref)


def test_closely_spaced_samples_force_linear(tmp_path):
    path = squeezed_recording(tmp_path)
    plain = morvane.read_cwa_file(path)
    spacing = np.diff(micros(plain)[120:])
    assert spacing.max() <= 9  # microseconds: far below the ~79 us limit
    for hz in (10000, 3000, 997):
        got = morvane.read_cwa_file(path, resample_hz=hz)
        ref = reference_resample(plain, hz)
        assert len(ref["rules"]) > 10
        # rows past the first block bracket squeezed samples
        t = ref["time"]
        assert set(np.array(ref["rules"])[t > micros(plain)[121]]) == {"linear"}
        assert_matches(got, ref)


def test_cubic_signal_is_reproduced(tmp_path):
    # 6-axis acc counts that are cubics (and a quadratic) of the sample
    # index; the 4096 counts/g scale is exact in float32. At 1.5625 Hz the
    # samples lie on whole microseconds 640000 apart, and the rounding of
    # the device-time doubles (about 1.2e-7 s) shifts each abscissa by under
    # 2e-7 of a spacing, which moves the value by a fraction of a float32
    # unit: every row must be within one unit of the exact polynomial.
    n = 80
    i = np.arange(n, dtype=np.int64)
    raw = np.zeros((n, 6), dtype=np.int64)
    for axis in range(3):
        raw[:, 3 + axis] = [poly_value(Fraction(int(k)), axis) for k in i]
    assert np.abs(raw).max() < 32768 and np.abs(raw[:, 3:]).min() >= 8192
    path = write(tmp_path, fmt=0x62, rate_code=0x44, n_blocks=2,
                 motion=lambda t, fmt: raw)
    plain = morvane.read_cwa_file(path)
    t_us = micros(plain)
    assert t_us[0] == START_S * 10**6 and (np.diff(t_us) == 640000).all()
    hz = 2.9
    got = morvane.read_cwa_file(path, resample_hz=hz)
    rows = micros(got)
    # only rows with two samples on each side use the cubic
    inner = np.flatnonzero((rows >= t_us[1]) & (rows <= t_us[-2]))
    assert inner.size > 100
    origin_ms = 1000.0 * START_S
    for k in inner:
        t = (float(k) * (1000.0 / hz) + origin_ms) / 1000.0
        x = (Fraction(t) - START_S) / Fraction(64, 100)
        for axis, c in enumerate(ACC):
            exact = poly_value(x, axis) / 4096
            got_v = float(got[c].iloc[k])
            ulp = float(np.spacing(np.float32(abs(float(exact)))))
            assert abs(Fraction(got_v) - exact) <= Fraction(ulp), (k, c)


def poly_value(x, axis):
    """Integer-valued at whole x (binomial-coefficient cubics), and at least
    8192 counts (2 g) in magnitude over the 80 samples, so that one float32
    unit is far above the abscissa rounding."""
    if axis == 0:
        return 20000 + (x - 40) * (x - 41) * (x - 42) / 6
    if axis == 1:
        return -24000 + (x - 33) * (x - 34) * (x - 35) / 6 - 3 * x
    return 9000 + 3 * x * x - 2 * x


# ---------------------------------------------------------------------------
# grid origin


def first_sample_micros(seconds, offsets, rate_code):
    """Where a lone block's first sample lands for each timestamp offset, by
    the device timing rule (float32 offset arithmetic); only used to search
    for a start, the read itself is checked afterwards."""
    rate = np.float32(3200.0 / 2 ** (15 - (rate_code & 0x0F)))
    h = (-np.asarray(offsets, dtype=np.float32) / rate).astype(np.float32)
    fl = np.floor(h).astype(np.float32)
    fr = (h - fl).astype(np.float32)
    start = (float(seconds) + fl.astype(np.float64)) + fr.astype(np.float64)
    return np.trunc(start * 1e6).astype(np.int64)


def origin_round_trip_fails(us):
    t = np.asarray(us) / 1e6
    return (1000.0 * t) / 1000.0 < t


def find_unlucky_start(rate_code=0x4A):
    # float32 rounding of large offsets leaves a few microseconds over
    offsets = np.arange(-32768, 0)
    hits = np.flatnonzero(origin_round_trip_fails(
        first_sample_micros(START_S, offsets, rate_code)))
    assert hits.size
    return int(offsets[hits[-1]])


@pytest.mark.parametrize("hz", [30, 100, 7, 0.5])
def test_first_row_sits_on_first_sample_when_milliseconds_round_down(tmp_path, hz):
    # 1000 * t / 1000 lands one unit below t for this first sample time; a
    # grid anchored there would start before every sample and never emit.
    offset = find_unlucky_start()
    rng = np.random.default_rng(2)
    blocks = [block(START_S, offset, rand_samples(rng, 40)),
              block(START_S, offset - 40, rand_samples(rng, 40))]
    path = str(cwagen.blocks_file(tmp_path / "odd_start.cwa", blocks))
    plain = morvane.read_cwa_file(path)
    t0 = int(micros(plain)[0])
    assert origin_round_trip_fails(t0)
    got = morvane.read_cwa_file(path, resample_hz=hz)
    assert micros(got)[0] == t0
    assert_matches(got, reference_resample(plain, hz))


@pytest.mark.parametrize("hz", [1e-307, 5e-324, 1e-300, 1e-3])
def test_tiny_rate_gives_one_row_at_first_sample(tmp_path, hz):
    # 1000 / 1e-307 overflows to infinity; row 0 is the origin regardless
    path = write(tmp_path, fmt=0x92, n_blocks=3, motion=random_motion(6))
    plain = morvane.read_cwa_file(path)
    got = morvane.read_cwa_file(path, resample_hz=hz)
    assert len(got) == 1
    assert micros(got)[0] == micros(plain)[0] == START_S * 10**6
    assert list(got.columns) == list(plain.columns)
    np.testing.assert_array_equal(f32_bits(got.iloc[0].to_numpy(np.float32)),
                                  f32_bits(plain.iloc[0].to_numpy(np.float32)))


def test_grid_is_anchored_at_first_sample_not_whole_second(tmp_path):
    # a block starting 0.37 s into a second: the grid follows the sample
    rng = np.random.default_rng(12)
    blocks = [block(START_S + 1, 37, rand_samples(rng, 40)),
              block(START_S + 1, -3, rand_samples(rng, 40))]
    path = str(cwagen.blocks_file(tmp_path / "offset.cwa", blocks))
    plain = morvane.read_cwa_file(path)
    t0 = int(micros(plain)[0])
    assert t0 % 10**6 == 630000
    got = morvane.read_cwa_file(path, resample_hz=4)
    np.testing.assert_array_equal(micros(got) - t0, np.arange(len(got)) * 250000)
    assert_matches(got, reference_resample(plain, 4))


# ---------------------------------------------------------------------------
# end of the data


def test_last_rows_use_linear_rule_and_stop_at_last_sample(tmp_path):
    path = write(tmp_path, fmt=0x62, n_blocks=3, motion=random_motion(14))
    plain = morvane.read_cwa_file(path)
    hz = 330
    got = morvane.read_cwa_file(path, resample_hz=hz)
    t_us = micros(plain)
    t_end, t_before = t_us[-1] / 1e6, t_us[-2] / 1e6
    step_ms, origin_ms = 1000.0 / hz, 1000.0 * START_S
    n_last = len(got) - 1
    assert (n_last * step_ms + origin_ms) / 1000.0 <= t_end
    assert ((n_last + 1) * step_ms + origin_ms) / 1000.0 > t_end
    tail = [n for n in range(len(got))
            if (n * step_ms + origin_ms) / 1000.0 > t_before]
    assert tail, "rate chosen so that some rows fall after the second-last sample"
    for n in tail:
        t = (n * step_ms + origin_ms) / 1000.0
        frac = (t - t_before) / (t_end - t_before)
        for c in ACC + GYRO:
            y1, y2 = float(plain[c].iloc[-2]), float(plain[c].iloc[-1])
            assert f32_bits(got[c].iloc[n]) == f32_bits(np.float32(frac * (y2 - y1) + y1))


def test_rows_between_first_two_samples_are_linear(tmp_path):
    path = write(tmp_path, fmt=0x62, n_blocks=2, motion=random_motion(15))
    plain = morvane.read_cwa_file(path)
    got = morvane.read_cwa_file(path, resample_hz=1000)
    t0, t1 = micros(plain)[0] / 1e6, micros(plain)[1] / 1e6
    origin_ms = 1000.0 * START_S
    for n in range(1, 10):
        t = (n * 1.0 + origin_ms) / 1000.0
        assert t0 < t < t1
        frac = (t - t0) / (t1 - t0)
        for c in ACC + GYRO:
            y0, y1 = float(plain[c].iloc[0]), float(plain[c].iloc[1])
            assert f32_bits(got[c].iloc[n]) == f32_bits(np.float32(frac * (y1 - y0) + y0))


# ---------------------------------------------------------------------------
# failures


def test_no_data_block_in_selection(tmp_path):
    rng = np.random.default_rng(1)
    blocks = [block(START_S, 0, rand_samples(rng, 40)), cwagen.erased_block(),
              cwagen.zero_block(), block(START_S, -40, np.zeros((0, 6)), sample_count=0),
              block(START_S, -40, rand_samples(rng, 40))]
    path = str(cwagen.blocks_file(tmp_path / "holes.cwa", blocks))
    with pytest.raises(RuntimeError) as e:
        morvane.read_cwa_file(path, morvane.blocks(1, 4), resample_hz=30)
    assert str(e.value) == "No valid sample data found in the specified range"
    # the same read over blocks holding data succeeds
    assert len(morvane.read_cwa_file(path, morvane.blocks(0, 4), resample_hz=30)) > 0


@pytest.mark.parametrize("case", ["single_sample", "window_after_last_sample"])
def test_no_row_emitted(tmp_path, case):
    rng = np.random.default_rng(1)
    if case == "single_sample":
        blocks = [block(START_S, 0, rand_samples(rng, 1))]
        cut = None
    else:
        # the last block ends one period (10 ms) after its last sample; a
        # window starting in that period selects the block but no grid row
        # has a sample at or after it
        blocks = [block(START_S, 0, rand_samples(rng, 40)),
                  block(START_S, -40, rand_samples(rng, 40))]
        cut = morvane.seconds(0.795, None)
    path = str(cwagen.blocks_file(tmp_path / "few.cwa", blocks))
    with pytest.raises(RuntimeError) as e:
        morvane.read_cwa_file(path, cut, resample_hz=30)
    assert str(e.value) == "No samples remain after applying time range/resampling"


# ---------------------------------------------------------------------------
# memory


def test_long_recording_keeps_resampler_small(tmp_path):
    # Two hours at 100 Hz: a plain read holds 720000 rows of time and three
    # channels (about 14 MB). Resampling at 1 Hz outputs 7200 rows, so any
    # real growth would be the resampler buffering input it no longer needs.
    path = tmp_path / "long.cwa"
    info = cwagen.write_recording(path, fmt=0x30, duration_s=7200, start=START,
                                  motion="zeros")
    raw_bytes = info.n_samples * (8 + 3 * 4)
    script = textwrap.dedent("""
        import resource, sys
        import morvane, pandas
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        frame = morvane.read_cwa_file(sys.argv[1], include_temperature=False,
                                      include_light=False, include_battery=False,
                                      resample_hz=1)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(len(frame), (after - before) * 1024)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", script, str(path)], env=env,
                          capture_output=True, text=True, check=True)
    rows, growth = map(int, done.stdout.split())
    assert rows == 7200
    assert growth < raw_bytes / 4, (growth, raw_bytes)
