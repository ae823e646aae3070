"""Sleep from the z-angle: the native rolling median, the z-angle, sustained inactivity, the
sleep period window (HDCZA), nights, the sleep diary and time use.

Ground truths come from construction (angle series and epoch tables laid out by hand,
scenario recordings with placed sleep and turns) or from an independent computation (pandas'
rolling median, NumPy's arctan2, pandas' local midnights)."""

from __future__ import annotations

import datetime as dt

import numpy as np
import pandas as pd
import pytest

import scenario as S
import morvane_tools as mt
from morvane_tools import days
from morvane_tools import sleep as SL

LONDON = "Europe/London"
E = pd.Timedelta("5s")
H = 3600


# --------------------------------------------------------------------------- rolling median

def pandas_median(x, window, stretches):
    parts = [pd.Series(x[a:b], dtype=np.float64).rolling(window, center=True, min_periods=1)
             .median().to_numpy() for a, b in zip(stretches[:-1], stretches[1:])]
    return np.concatenate(parts) if parts else np.zeros(0)


def signal(kind, n, rng, dtype):
    if kind == "normal":
        x = rng.normal(size=n)
    else:
        # quantised counts under an affine calibration, as accelerometer samples are
        counts = np.cumsum(rng.integers(-3, 4, size=n))
        x = counts / 256.0 * 1.0137 - 0.0213
        if kind == "nan":
            x[rng.random(n) < 0.2] = np.nan
            x[100:180] = np.nan              # a window of NaN only
    return x.astype(dtype)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("kind", ["normal", "quantised", "nan"])
@pytest.mark.parametrize("window", [1, 2, 7, 60, 501])
def test_rolling_median_equals_pandas_on_each_stretch(dtype, kind, window):
    rng = np.random.default_rng(window * 10 + len(kind))
    x = signal(kind, 3000, rng, dtype)
    # an empty stretch, a one-sample one, one shorter than half a window, a long one
    stretches = np.array([0, 0, 17, 18, 40, 1200, 3000], dtype=np.int64)
    got = SL.rolling_median(x, window, stretches=stretches, threads=2)
    assert got.dtype == np.float64
    np.testing.assert_array_equal(got, pandas_median(x, window, stretches))


@pytest.mark.parametrize("threads", [1, 3])
def test_rolling_median_over_many_pieces_and_levels(threads):
    # more than two pieces of 2^18 outputs; all-distinct values need four layers of counts
    rng = np.random.default_rng(7)
    n = 700_000
    values = [signal("normal", n, rng, np.float32), signal("quantised", n, rng, np.float32)]
    stretches = np.array([0, 300_001, n], dtype=np.int64)
    got = SL.rolling_median(values, 501, stretches=stretches, threads=threads)
    for x, g in zip(values, got):
        np.testing.assert_array_equal(g, pandas_median(x, 501, stretches))


def test_rolling_median_piece_by_piece_with_half_a_window_of_context():
    rng = np.random.default_rng(3)
    x = signal("quantised", 5000, rng, np.float32)
    cuts = [0, 1234, 1240, 5000]
    window, half = 63, 31
    whole = SL.rolling_median(x, window, stretches=np.array(cuts, dtype=np.int64))
    pieces = []
    for a in range(0, 5000, 700):
        b = min(a + 700, 5000)
        lo, hi = max(0, a - half), min(5000, b + half)
        local = np.array([0, *[c - lo for c in cuts if lo < c < hi], hi - lo], dtype=np.int64)
        pieces.append(SL.rolling_median(x[lo:hi], window, stretches=local, begin=a - lo,
                                        end=b - lo))
    np.testing.assert_array_equal(np.concatenate(pieces), whole)


def test_rolling_median_writes_into_out():
    x = np.arange(10, dtype=np.float32)[::-1].copy()
    out = (np.full(4, -1.0), np.full(4, -1.0))
    got = SL.rolling_median([x, x * 2], 3, begin=6, end=10, out=out)
    assert got is out
    np.testing.assert_array_equal(out[0], [3.0, 2.0, 1.0, 0.5])
    np.testing.assert_array_equal(out[1], [6.0, 4.0, 2.0, 1.0])


X = np.linspace(0.0, 1.0, 20)


@pytest.mark.parametrize("args, kwargs, error, match", [
    ((np.arange(20), 3), {}, TypeError, "float32 or float64"),
    ((X[::2], 3), {}, ValueError, "C-contiguous"),
    ((X.reshape(4, 5), 3), {}, ValueError, "one-dimensional"),
    (([X, X.astype(np.float32)], 3), {}, TypeError, "one dtype"),
    (([X, X[:10].copy()], 3), {}, ValueError, "one length"),
    ((X, 0), {}, ValueError, "window"),
    ((X, 3), {"stretches": np.array([1, 20])}, ValueError, "from 0"),
    ((X, 3), {"stretches": np.array([0, 12, 5, 20])}, ValueError, "decrease"),
    ((X, 3), {"stretches": np.array([0, 20], dtype=np.int32)}, TypeError, "int64"),
    ((X, 3), {"begin": 5, "end": 4}, ValueError, "begin"),
    ((X, 3), {"end": 21}, ValueError, "end"),
    ((X, 3), {"threads": 0}, ValueError, "threads"),
    ((X, 3), {"out": np.zeros(19)}, ValueError, "end - begin"),
    ((X, 3), {"out": np.zeros(20, dtype=np.float32)}, TypeError, "float64"),
    ((X, 3), {"out": X}, ValueError, "share memory"),
    (([X, X * 2], 3), {"out": np.zeros(20)}, TypeError, "tuple or list"),
])
def test_rolling_median_refuses_bad_arguments(args, kwargs, error, match):
    with pytest.raises(error, match=match):
        SL.rolling_median(*args, **kwargs)


def test_rolling_median_refuses_a_read_only_out():
    out = np.zeros(20)
    out.flags.writeable = False
    with pytest.raises(ValueError, match="writeable"):
        SL.rolling_median(X, 3, out=out)


# --------------------------------------------------------------------------- z-angle

def sample_frame(index, rng):
    """Calibrated samples: quantised random walks per axis under an affine calibration."""
    n = len(index)
    cols = {}
    for k, name in enumerate(("acc_x", "acc_y", "acc_z")):
        counts = np.cumsum(rng.integers(-2, 3, size=n)) + (0, 60, 200)[k]
        cols[name] = (counts / 256.0 * (1.0 + 0.01 * k) + 0.003 * k).astype(np.float32)
    return pd.DataFrame(cols, index=index)


def expected_anglez(frame, rate_hz, epoch_starts):
    """Per stretch pandas medians, NumPy's angle, means per epoch start."""
    t = frame.index.as_unit("us").asi8
    cut = np.flatnonzero((np.diff(t) >= 1_000_000) | (np.diff(t) < 0)) + 1
    bounds = np.concatenate([[0], cut, [len(t)]])
    w = 2 * int(np.floor(2.5 * rate_hz + 0.5)) + 1
    x, y, z = (pandas_median(frame[c].to_numpy(), w, bounds) for c in ("acc_x", "acc_y",
                                                                        "acc_z"))
    angle = np.degrees(np.arctan2(z, np.hypot(x, y)))
    return pd.Series(angle, index=frame.index).groupby(epoch_starts).mean()


def test_anglez_epochs_matches_a_direct_computation():
    rng = np.random.default_rng(11)
    start = pd.Timestamp("2024-05-01 23:50:01.02")
    t = start + pd.to_timedelta(np.arange(30_000) * 40, unit="ms")       # 25 Hz
    shift = np.zeros(len(t), dtype="timedelta64[ms]")
    shift[12_000:] += np.timedelta64(23_000, "ms")                      # a 23 s gap
    shift[20_000:] -= np.timedelta64(2_000, "ms")                       # the clock steps back
    frame = sample_frame(pd.DatetimeIndex(t + shift), rng)
    got = mt.sleep.anglez_epochs(frame)
    midnight = pd.Timestamp("2024-05-01")
    starts = midnight + (frame.index - midnight) // E * E
    want = expected_anglez(frame, 25.0, starts)
    full = pd.date_range(want.index[0], want.index[-1], freq="5s")
    assert got.index.equals(pd.DatetimeIndex(full, name="epoch").as_unit("us"))
    want = want.reindex(full)
    assert want.isna().sum() >= 3                      # epochs inside the gap: NaN, kept
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-12, atol=1e-9)


def test_anglez_epochs_start_at_each_local_midnight_across_a_clock_change():
    # 7 s epochs do not divide a day: each local day starts its own, the last one cut short
    rng = np.random.default_rng(5)
    index = pd.date_range("2024-03-30 23:40", "2024-03-31 02:30", freq="100ms", tz=LONDON,
                          inclusive="left")
    frame = sample_frame(index, rng)
    got = mt.sleep.anglez_epochs(frame, epoch="7s")
    local_midnight = frame.index.normalize()
    starts = local_midnight + (frame.index - local_midnight) // pd.Timedelta("7s") * \
        pd.Timedelta("7s")
    want = expected_anglez(frame, 10.0, starts)
    assert got.index.equals(pd.DatetimeIndex(want.index, name="epoch").as_unit("us"))
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-12, atol=1e-9)


@pytest.mark.parametrize("xyz, angle", [((0.0, 0.0, 0.0), 0.0), ((0.0, 0.0, 0.5), 90.0),
                                        ((0.0, 0.0, -1.0), -90.0), ((0.6, 0.8, 1.0), 45.0)])
def test_anglez_of_still_samples(xyz, angle):
    index = pd.date_range("2024-01-01 10:00", periods=1000, freq="20ms")
    frame = pd.DataFrame({c: np.full(1000, v, dtype=np.float32)
                          for c, v in zip(("acc_x", "acc_y", "acc_z"), xyz)}, index=index)
    got = mt.sleep.anglez_epochs(frame)
    assert len(got) == 4
    np.testing.assert_allclose(got.to_numpy(), angle, atol=1e-5)


@pytest.mark.parametrize("tz", [None, LONDON])
def test_bin_runs_are_the_runs_of_bin_of(tz):
    rng = np.random.default_rng(2)
    first = days.local_time_us(None if tz is None else _zone(tz), dt.date(2024, 10, 26),
                               dt.time(22))
    t = first + np.sort(rng.integers(0, 10 * 3_600_000_000, size=20_000))
    t[5000:5010] = t[5000]                             # equal times
    grid = days.grid_for(None if tz is None else _zone(tz), 7_000_000, int(t[0]))
    ids = grid.bin_of(t)
    want_pos = np.concatenate([[0], np.flatnonzero(np.diff(ids)) + 1])
    pos, run_ids = days.bin_runs(grid, t)
    np.testing.assert_array_equal(pos, want_pos)
    np.testing.assert_array_equal(run_ids, ids[want_pos])


def _zone(name):
    from zoneinfo import ZoneInfo
    return ZoneInfo(name)


# --------------------------------------------------------------------------- sustained inactivity

def steps_at(n, changes, size=10.0):
    """Angles that step by ``size`` after each epoch in ``changes`` (a change at that epoch)."""
    a = np.zeros(n)
    for i in changes:
        a[i + 1:] += size
    return a


def marked(n, *spans):
    m = np.zeros(n, dtype=bool)
    for a, b in spans:
        m[a:b + 1] = True
    return m


CLOSE = list(range(300, 390, 10))                     # nine changes 10 epochs apart


@pytest.mark.parametrize("angles, want", [
    # far pairs (more than 60 apart) are inactive from change to change, inclusive
    (steps_at(400, [10, 100, 130, 200]), marked(400, (10, 100), (130, 200))),
    # 60 apart is not more than 60: with ten changes in all, none far apart, nothing
    (steps_at(400, [10, 70, 80, 90, 100, 110, 120, 130, 140, 150]), marked(400)),
    (steps_at(400, [10, 71, 81, 91, 101, 111, 121, 131, 141, 151]), marked(400, (10, 71))),
    # no far pair: fewer than 10 changes make every epoch inactive, 10 make none
    (steps_at(400, CLOSE), marked(400, (0, 399))),
    (steps_at(400, [*CLOSE, 395]), marked(400)),
    # a change is more than 5 degrees
    (steps_at(400, [*CLOSE, 395, 396], size=5.0), marked(400, (0, 399))),
])
def test_sustained_inactivity_from_placed_changes(angles, want):
    np.testing.assert_array_equal(mt.sleep.sustained_inactivity(angles), want)


def test_sustained_inactivity_with_unrecorded_epochs():
    a = steps_at(400, [10, 100])
    a[50] = np.nan                                     # inside a far pair: not inactive
    a[200] = np.nan                                    # 30 deg either side: no change
    a[201:] += 30.0
    a[[260, 262]] = np.nan
    got = mt.sleep.sustained_inactivity(pd.Series(a))
    np.testing.assert_array_equal(got, marked(400, (10, 49), (51, 100)))
    assert not mt.sleep.sustained_inactivity([np.nan, np.nan]).any()
    assert mt.sleep.sustained_inactivity([]).shape == (0,)


# --------------------------------------------------------------------------- sleep period window

def at(value, tz=None):
    """A Timestamp in ``tz`` (kept as it is when it already has a zone)."""
    value = pd.Timestamp(value)
    return value if value.tzinfo is not None or tz is None else value.tz_localize(tz)


def angles(index, still, jitter=0.02, level=-30.0, turns=()):
    """Active everywhere (the angle alternates between +10 and -10 degrees) except in the
    still blocks [start, end), where it alternates between ``level`` and ``level + jitter``;
    from each time in ``turns`` on, the angle is 20 degrees higher (a posture change).

    With 5 s epochs the rolling median of the differences is ``jitter`` from one epoch after
    a block's start to two before its end (31 of its 60 differences lie inside the block) and
    at least 5 degrees elsewhere: a block [s, e) gives the candidate run [s + 5 s, e - 5 s),
    or up to the series' end when the block reaches it."""
    i = np.arange(len(index))
    a = np.where(i % 2 == 0, 10.0, -10.0)
    for s, e in still:
        m = (index >= at(s, index.tz)) & (index < at(e, index.tz))
        a[m] = level + jitter * (i[m] % 2)
    for turn in turns:
        a[index >= at(turn, index.tz)] += 20.0
    return pd.Series(a, index=index)


def day(start="2024-01-01 12:00", hours=24, tz=None):
    return pd.date_range(at(start, tz), periods=hours * 720, freq="5s")


def ts(text, tz=None):
    return at(text, tz)


@pytest.mark.parametrize("jitter, threshold", [(0.0, 0.13), (0.02, 15 * 0.02), (0.1, 0.5)])
def test_hdcza_threshold_from_the_tenth_percentile_limited(jitter, threshold):
    # still for 6 of 24 hours: more than a tenth of the medians equal the jitter
    a = angles(day(), [("2024-01-01 22:00", "2024-01-02 04:00")], jitter=jitter)
    got = mt.sleep.sleep_period_window(a)
    assert got["threshold"] == pytest.approx(threshold)
    assert (got["start"], got["end"]) == (ts("2024-01-01 22:00:05"), ts("2024-01-02 03:59:55"))
    assert got["reason"] is None


@pytest.mark.parametrize("run_epochs, found", [(361, True), (360, False)])
def test_hdcza_blocks_must_last_longer_than_30_minutes(run_epochs, found):
    start = ts("2024-01-01 23:00")
    block = (start, start + (run_epochs + 2) * E)
    got = mt.sleep.sleep_period_window(angles(day(), [block]))
    if found:
        assert (got["start"], got["end"]) == (start + E, block[1] - E)
    else:
        assert got["start"] is None and got["end"] is None
        assert "30 minutes" in got["reason"]


@pytest.mark.parametrize("gap_epochs, joined", [(719, True), (720, False)])
def test_hdcza_joins_blocks_less_than_60_minutes_apart(gap_epochs, joined):
    # candidate runs of 400 and 500 epochs with gap_epochs between them
    s1 = ts("2024-01-01 21:00")
    e1 = s1 + 402 * E                                  # run [s1 + 5 s, e1 - 5 s)
    s2 = e1 - 2 * E + gap_epochs * E                    # second run starts at s2 + 5 s
    e2 = s2 + 502 * E
    got = mt.sleep.sleep_period_window(angles(day(), [(s1, e1), (s2, e2)]))
    want = (s1 + E, e2 - E) if joined else (s2 + E, e2 - E)
    assert (got["start"], got["end"]) == want


def test_hdcza_nonwear_belongs_to_no_candidate_but_a_joined_gap_keeps_it():
    index = day()
    a = angles(index, [("2024-01-01 22:00", "2024-01-02 06:00")])
    nonwear = pd.Series((index >= ts("2024-01-02 01:00")) & (index < ts("2024-01-02 01:20")),
                        index=index)
    got = mt.sleep.sleep_period_window(a, nonwear=nonwear)
    # two candidates 20 minutes apart: joined across the non-wear
    assert (got["start"], got["end"]) == (ts("2024-01-01 22:00:05"), ts("2024-01-02 05:59:55"))
    nonwear[:] = (index >= ts("2024-01-02 01:00")) & (index < ts("2024-01-02 03:00"))
    got = mt.sleep.sleep_period_window(a, nonwear=nonwear)
    # two hours apart: the longer part (3 h before, 3 h after, the first of equals) alone
    assert (got["start"], got["end"]) == (ts("2024-01-01 22:00:05"), ts("2024-01-02 01:00"))


def test_hdcza_threshold_over_worn_epochs_only():
    index = day()
    a = angles(index, [("2024-01-01 22:00", "2024-01-02 04:00")], jitter=0.02)
    off = (index >= ts("2024-01-01 13:00")) & (index < ts("2024-01-01 21:00"))
    a[off] = 0.0                                       # a table: no change at all
    nonwear = pd.Series(off, index=index)
    assert mt.sleep.sleep_period_window(a, nonwear=nonwear)["threshold"] == pytest.approx(0.3)
    assert mt.sleep.sleep_period_window(a)["threshold"] == pytest.approx(0.13)


# --------------------------------------------------------------------------- nights

def test_a_night_without_wear_has_no_window():
    index = day()
    a = angles(index, [("2024-01-01 22:00", "2024-01-02 06:00")])
    nights = mt.sleep.nightly_sleep(a, nonwear=pd.Series(True, index=index))
    assert len(nights) == 1
    row = nights.iloc[0]
    assert row["reason"] == "no worn and recorded epochs"
    assert pd.isna(row["sleep_onset"]) and pd.isna(row["spt_hours"])
    assert not row["valid_night"]


def test_a_day_sleeper_is_analysed_again_from_18_to_18():
    index = day("2024-01-01 12:00", hours=54)          # to 18:00 on the 3rd
    a = angles(index, [("2024-01-02 05:00", "2024-01-02 14:00")])
    nights = mt.sleep.nightly_sleep(a).set_index("night")
    assert list(nights.index) == [dt.date(2024, 1, d) for d in (1, 2, 3)]
    first = nights.loc[dt.date(2024, 1, 1)]
    # noon to noon the window ends at noon; from 18:00 to 18:00 the whole block shows
    assert first["daysleeper"] and first["guider"] == "HDCZA"
    assert (first["sleep_onset"], first["wake"]) == (ts("2024-01-02 05:00:05"),
                                                      ts("2024-01-02 13:59:55"))
    assert first["valid_night"] and not nights.loc[dt.date(2024, 1, 3), "valid_night"]


@pytest.mark.parametrize("night, span_hours, spt_hours", [("2024-03-30", 23, 7),
                                                           ("2024-10-26", 25, 9)])
@pytest.mark.parametrize("nonwear_epochs, valid", [(0, True), (1, False)])
def test_nights_across_a_clock_change(night, span_hours, spt_hours, nonwear_epochs, valid):
    n0 = ts(f"{night} 12:00", LONDON)
    index = day(n0, hours=span_hours, tz=LONDON)
    onset = ts(f"{night} 23:00", LONDON)
    wake = ts(f"{(pd.Timestamp(night) + pd.Timedelta(days=1)).date()} 07:00", LONDON)
    turn1, turn2 = onset + pd.Timedelta("2h"), onset + pd.Timedelta("2h") + 40 * E
    a = angles(index, [(onset, wake)], turns=(turn1, turn2))
    # non-wear leaves exactly 16 valid hours, or one epoch less
    nonwear = pd.Series(np.arange(len(index)) < (span_hours - 16) * 720 + nonwear_epochs,
                        index=index)
    nights = mt.sleep.nightly_sleep(a, nonwear=nonwear)
    assert len(nights) == 1
    row = nights.iloc[0]
    assert row["night"] == dt.date.fromisoformat(night)
    assert row["valid_night"] == valid
    assert (row["sleep_onset"], row["wake"]) == (onset + E, wake - E)
    assert row["spt_hours"] == pytest.approx(spt_hours - 10 / 3600)
    # the turns are posture changes 40 epochs apart: the 39 epochs between them are awake
    assert row["awakenings"] == 1
    assert row["waso_hours"] == pytest.approx(39 * 5 / 3600)
    assert row["sleep_hours"] == pytest.approx(row["spt_hours"] - 39 * 5 / 3600)


# --------------------------------------------------------------------------- scenario recordings

SLEEP_TURNS = (1800.0, 4000.0, 4200.0, 9000.0, 20000.0)


@pytest.fixture(scope="module")
def weeknight(tmp_path_factory):
    """Monday 10:00 to Tuesday 20:00 (12.5 Hz): active, sedentary, an hour off the wrist,
    asleep from 23:00 to 09:00 with turns, then sedentary."""
    segments = [
        S.Segment(0, 2 * H, "active", level_mg=150),
        S.Segment(2 * H, 12 * H, "sedentary"),
        S.Segment(12 * H, 13 * H, "nonwear"),
        S.Segment(13 * H, 23 * H, "sleep", turns=SLEEP_TURNS, anglez_deg=35.0),
        S.Segment(23 * H, 34 * H, "sedentary"),
    ]
    path = tmp_path_factory.mktemp("sleep") / "rec1.cwa"
    start = dt.datetime(2024, 3, 4, 10, 0)
    S.write_scenario(path, segments, start=start, duration_s=34 * H, rate_code=0x47)
    frame, _ = mt.read_recording(path)
    anglez = mt.sleep.anglez_epochs(frame)
    seconds = (anglez.index - pd.Timestamp(start)).total_seconds()
    nonwear = pd.Series((seconds >= 12 * H) & (seconds < 13 * H), index=anglez.index)
    return path, anglez, nonwear


def test_scenario_night_window_and_turns(weeknight):
    _, anglez, nonwear = weeknight
    nights = mt.sleep.nightly_sleep(anglez, nonwear=nonwear).set_index("night")
    assert list(nights.index) == [dt.date(2024, 3, d) for d in (3, 4, 5)]
    row = nights.loc[dt.date(2024, 3, 4)]
    onset, wake = ts("2024-03-04 23:00"), ts("2024-03-05 09:00")
    # the sample medians and the 5-minute median move an edge by at most a few epochs
    assert abs(row["sleep_onset"] - onset) <= pd.Timedelta("1min")
    assert abs(row["wake"] - wake) <= pd.Timedelta("1min")
    assert row["valid_night"] and not row["daysleeper"]
    assert not nights.loc[dt.date(2024, 3, 3), "valid_night"]
    # the turns at 4000 s and 4200 s are 40 epochs apart; the others more than 60
    assert row["awakenings"] == 1
    assert row["waso_hours"] == pytest.approx(39 * 5 / 3600)
    si = mt.sleep.sustained_inactivity(anglez)
    inside = (anglez.index >= onset + pd.Timedelta("1min")) & \
        (anglez.index < wake - pd.Timedelta("1min"))
    awake = anglez.index[inside & ~si]
    t1, t2 = onset + pd.Timedelta(seconds=4000), onset + pd.Timedelta(seconds=4200)
    assert list(awake) == list(pd.date_range(t1, t2 - E, freq="5s", inclusive="left"))


def test_scenario_night_across_the_spring_clock_change(tmp_path):
    # device clock on UTC; asleep from 23:00 GMT to 07:00 BST (06:00 UTC)
    zone = _zone(LONDON)
    start = dt.datetime(2024, 3, 30, 18, 0)
    offset = dt.timedelta(0)
    sleep_s = S.device_seconds(dt.datetime(2024, 3, 30, 23, 0, tzinfo=zone), start, offset)
    wake_s = S.device_seconds(dt.datetime(2024, 3, 31, 7, 0, tzinfo=zone), start, offset)
    segments = [S.Segment(0, sleep_s, "sedentary"),
                S.Segment(sleep_s, wake_s, "sleep", turns=(3000.0,), anglez_deg=35.0),
                S.Segment(wake_s, 20 * H, "sedentary")]
    path = tmp_path / "dst.cwa"
    S.write_scenario(path, segments, start=start, duration_s=20 * H, rate_code=0x47)
    frame, _ = mt.read_recording(path)
    frame.index = frame.index.tz_localize("UTC").tz_convert(LONDON)
    nights = mt.sleep.nightly_sleep(mt.sleep.anglez_epochs(frame)).set_index("night")
    row = nights.loc[dt.date(2024, 3, 30)]
    assert abs(row["sleep_onset"] - ts("2024-03-30 23:00", LONDON)) <= pd.Timedelta("1min")
    assert abs(row["wake"] - ts("2024-03-31 07:00", LONDON)) <= pd.Timedelta("1min")
    assert row["spt_hours"] == pytest.approx(7.0, abs=2 / 60)
    # one turn: no awakening; the window's edges may reach a few epochs past the stillness
    assert row["awakenings"] == 0
    assert row["sleep_hours"] == pytest.approx(row["spt_hours"], abs=2 / 60)


# --------------------------------------------------------------------------- the sleep diary

HEADER = "id,night,in_bed,out_of_bed"


@pytest.mark.parametrize("lines, line, match", [
    (["id,night,in_bed"], 1, "lacks column"),
    ([], 1, "no header"),
    ([HEADER, "rec1,2024-03-04,2024-03-04T23:00,2024-03-05T07:00", "rec1,2024-13-05,x,y"],
     3, "not an ISO date"),
    ([HEADER, "rec1,2024-03-04,tonight,2024-03-05T07:00"], 2, "in_bed is not"),
    ([HEADER, "", "rec1,2024-03-04,2024-03-04T23:00,2024-03-04T22:00"], 3, "after in_bed"),
    ([HEADER, "rec1,2024-03-04,2024-03-04T23:00+01:00,2024-03-05T07:00"], 2, "offset"),
    ([HEADER, "rec1,2024-03-04,2024-03-04T23:00"], 2, "expected 4 fields"),
    ([HEADER, ",2024-03-04,2024-03-04T23:00,2024-03-05T07:00"], 2, "id is empty"),
    ([HEADER, "rec1,2024-03-04,2024-03-06T01:00,2024-03-06T07:00"], 2, "day after"),
    ([HEADER, "rec1,2024-03-04,2024-03-04T23:00,2024-03-05T07:00",
      "rec2,2024-03-04,2024-03-04T23:00,2024-03-05T07:00",
      "rec1,2024-03-04,2024-03-04T22:00,2024-03-05T07:00"], 4, "already on line 2"),
])
def test_diary_rows_that_cannot_be_read_name_their_line(tmp_path, lines, line, match):
    path = tmp_path / "diary.csv"
    path.write_text("\n".join(lines) + ("\n" if lines else ""))
    with pytest.raises(ValueError, match=f"line {line}: .*{match}"):
        mt.sleep.read_sleep_diary(path)


def test_diary_window_replaces_hdcza_for_its_recording_and_night(tmp_path):
    index = day("2024-03-30 12:00", hours=47, tz=LONDON)
    a = angles(index, [("2024-03-30 23:00", "2024-03-31 07:00"),
                       ("2024-03-31 23:00", "2024-04-01 07:00")])
    path = tmp_path / "diary.csv"
    path.write_text("night,in_bed,id,out_of_bed,note\n"
                    "2024-03-30,2024-03-30T22:30:00,rec1,2024-03-31T07:15:02,late\n"
                    "2024-03-31,2024-03-31T21:00:00,other,2024-04-01T06:00:00,\n")
    nights = mt.sleep.nightly_sleep(a, diary=path, id="/data/rec1.cwa.gz").set_index("night")
    first, second = nights.loc[dt.date(2024, 3, 30)], nights.loc[dt.date(2024, 3, 31)]
    assert first["guider"] == "diary" and not first["daysleeper"]
    assert (first["sleep_onset"], first["wake"]) == (ts("2024-03-30 22:30", LONDON),
                                                      ts("2024-03-31 07:15:02", LONDON))
    # 22:30 GMT to 07:15:02 BST
    assert first["spt_hours"] == pytest.approx(7.75 + 2 / 3600)
    assert second["guider"] == "HDCZA"
    assert second["sleep_onset"] == ts("2024-03-31 23:00:05", LONDON)
    with pytest.raises(ValueError, match="id"):
        mt.sleep.nightly_sleep(a, diary=path)


# --------------------------------------------------------------------------- time use

def time_use_inputs():
    """Three days of 5 s epochs with levels, gaps and windows laid out by hand."""
    index = pd.date_range("2024-01-01 12:00", "2024-01-04 12:00", freq="5s", inclusive="left")
    table = pd.DataFrame({"enmo_mg": 10.0, "coverage": 1.0, "nonwear": 0.0}, index=index)
    sleep = pd.Series(False, index=index)

    def at(a, b):
        return (index >= ts(a)) & (index < ts(b))

    table.loc[at("2024-01-02 09:00", "2024-01-02 10:00"), "enmo_mg"] = 40.0    # light
    table.loc[at("2024-01-02 10:00", "2024-01-02 10:30"), "enmo_mg"] = 100.0   # moderate
    table.loc[at("2024-01-02 10:30", "2024-01-02 10:40"), "enmo_mg"] = 400.0   # vigorous
    table.loc[at("2024-01-02 10:40", "2024-01-02 11:00"), "enmo_mg"] = 39.99   # sedentary
    table.loc[at("2024-01-02 14:00", "2024-01-02 15:00"), "coverage"] = 0.5
    table.loc[at("2024-01-02 15:00", "2024-01-02 15:30"), "nonwear"] = 0.2
    table.loc[at("2024-01-03 03:00", "2024-01-03 03:10"), "coverage"] = 0.0     # in a window
    sleep[at("2024-01-02 12:00", "2024-01-02 13:00")] = True    # a nap outside every window
    sleep[at("2024-01-01 23:00", "2024-01-02 07:00")] = True
    sleep[at("2024-01-02 23:30", "2024-01-03 07:05")] = True
    sleep[at("2024-01-03 02:00", "2024-01-03 02:20")] = False   # awake in bed
    sleep[at("2024-01-03 23:00", "2024-01-04 07:00")] = True
    keep = ~at("2024-01-02 16:00", "2024-01-02 16:30")           # epochs missing
    nights = pd.DataFrame({
        "night": [dt.date(2024, 1, d) for d in (1, 2, 3)],
        "sleep_onset": pd.to_datetime(["2024-01-01 23:00", "2024-01-02 23:30",
                                       "2024-01-03 23:00"]),
        "wake": pd.to_datetime(["2024-01-02 07:00:00", "2024-01-03 07:00:02",
                                "2024-01-04 07:00:00"]),
    })
    return table[keep], nights, sleep[keep].to_numpy()


def test_time_use_per_wake_to_wake_day():
    table, nights, sleep = time_use_inputs()
    got = mt.sleep.time_use(table, nights, sleep)
    assert list(got["start"]) == [ts("2024-01-02 07:00"), ts("2024-01-03 07:00:02")]
    assert list(got["end"]) == [ts("2024-01-03 07:00:02"), ts("2024-01-04 07:00")]
    s = 1 / 60                                          # a second in minutes
    # day 1: 990 min before the window at 23:30 (light 60, moderate 30, vigorous 10, not worn
    # 60 + 30 + 30 missing), then 450 min 2 s in bed (awake 20, not worn 10)
    first = dict(sleep_min=420 + 2 * s, wake_min=20, sedentary_min=770, light_min=60,
                 moderate_min=30, vigorous_min=10, nonwear_min=130)
    # day 2: sedentary until 23:00 (3 s of the epoch cut at 07:00:02 included), then asleep
    second = dict(sleep_min=480, wake_min=0, sedentary_min=960 - 2 * s, light_min=0,
                  moderate_min=0, vigorous_min=0, nonwear_min=0)
    for row, want in zip(got.to_dict("records"), (first, second)):
        assert {k: row[k] for k in want} == pytest.approx(want)
        assert sum(row[k] for k in want) == pytest.approx(
            (row["end"] - row["start"]).total_seconds() / 60)


def test_time_use_days_need_a_window_on_both_nights():
    table, nights, sleep = time_use_inputs()
    nights.loc[1, ["sleep_onset", "wake"]] = pd.NaT
    got = mt.sleep.time_use(table, nights, sleep)
    assert got.empty and list(got.columns) == [
        "start", "end", "sleep_min", "wake_min", "sedentary_min", "light_min",
        "moderate_min", "vigorous_min", "nonwear_min"]
