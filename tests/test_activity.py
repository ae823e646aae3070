"""Activity outcomes on consecutive epochs: bouts, imputation by time of day, intensity
gradient, MX metrics, least and most active hours.

Ground truths are hand-made patterns and days whose answer is known by design, or independent
computations written here (a window-by-window bout finder, a window-by-window L5/M10 search,
numpy.quantile, scipy.stats.linregress)."""

from __future__ import annotations

from fractions import Fraction

import numpy as np
import pandas as pd
import pytest
from scipy.stats import linregress

from morvane_tools import activity as A


def brute_bouts(mask, epoch_s, duration_s, fraction, break_s):
    """Every window of the definition, one by one, and the union of those that qualify."""
    n = int(Fraction(duration_s) / Fraction(epoch_s) + Fraction(1, 2))
    out = np.zeros(len(mask), dtype=bool)
    for i in range(len(mask) - n + 1):
        w = list(mask[i:i + n])
        if not (w[0] and w[-1]) or sum(w) < fraction * n - 1e-12:
            continue
        longest = run = 0
        for hit in w:
            run = 0 if hit else run + 1
            longest = max(longest, run)
        if longest * epoch_s <= break_s:
            out[i:i + n] = True
    return out


@pytest.mark.parametrize("epoch_s,duration_s,fraction,break_s", [
    (5, 60, 0.8, 60), (5, 600, 0.8, 60), (5, 1800, 0.9, 60), (15, 60, 0.8, 60),
    (15, 300, 0.8, 30), (60, 300, 0.8, 60), (60, 600, 0.9, 60), (40, 60, 0.5, 60),
    (120, 300, 0.6, 120), (30, 45, 1.0, 0)])
@pytest.mark.parametrize("density", [0.5, 0.8, 0.95])
def test_bouts_match_window_by_window(epoch_s, duration_s, fraction, break_s, density):
    rng = np.random.default_rng(int(density * 100) + epoch_s)
    # runs of hits and misses of random lengths, so that long bouts occur
    runs = rng.geometric(np.where(np.arange(400) % 2 == 0, 1 - density, density) / 8)
    mask = np.repeat(np.arange(400) % 2 == 0, runs)[:3000]
    got = A.bouts(mask, epoch=f"{epoch_s}s", min_duration=f"{duration_s}s", fraction=fraction,
                  max_break=f"{break_s}s")
    np.testing.assert_array_equal(got, brute_bouts(mask, epoch_s, duration_s, fraction, break_s))


def pattern(text):
    return np.array([c == "1" for c in text])


@pytest.mark.parametrize("epoch,duration,fraction,brk,mask,expected", [
    # 5 s: a break of 12 epochs lasts exactly 1 min and is allowed, 13 are not
    ("5s", "10min", 0.8, "1min", "1" * 50 + "0" * 12 + "1" * 58, "1" * 120),
    ("5s", "10min", 0.8, "1min", "1" * 50 + "0" * 13 + "1" * 57, "0" * 120),
    # 15 s, 1 min = 4 epochs: 3 of 4 is below 80 %
    ("15s", "1min", 0.8, "1min", "1011" + "0" + "1111", "0000" + "0" + "1111"),
    # 60 s: 4 of 5 is 80 %; two misses in a row last 2 min
    ("60s", "5min", 0.8, "1min", "01101100", "01111100"),
    # windows that touch end to end make one bout; runs at the edges are cut by the mask
    ("60s", "2min", 1.0, "0s", "1111", "1111"),
    # 2.5 epochs rounds up to 3 (a window of 2 would take the middle pair)
    ("2min", "5min", 0.5, "1min", "0110", "0000"),
    ("2min", "5min", 0.6, "2min", "101", "111"),
    # 1.5 epochs rounds up to 2
    ("40s", "1min", 0.5, "1min", "101", "000"),
    ("40s", "1min", 0.5, "1min", "110", "110"),
])
def test_bouts_by_construction(epoch, duration, fraction, brk, mask, expected):
    got = A.bouts(pattern(mask), epoch=epoch, min_duration=duration, fraction=fraction,
                  max_break=brk)
    np.testing.assert_array_equal(got, pattern(expected))


def series(start, periods, freq, values, tz=None):
    idx = pd.date_range(start, periods=periods, freq=freq, unit="us", name="epoch")
    if tz is not None:
        idx = idx.tz_localize("UTC").tz_convert(tz)
    return pd.Series(np.asarray(values, dtype=np.float64), index=idx)


def test_impute_naive_days():
    s = series("2024-01-01", 72, "1h", [100 * (i // 24) + i % 24 for i in range(72)])
    valid = pd.Series(True, index=s.index)
    at = {(d, h): d * 24 + h for d in range(3) for h in range(24)}
    valid.iloc[at[0, 5]] = False                        # two other days valid
    valid.iloc[[at[1, 3], at[2, 3]]] = False            # one other day valid
    valid.iloc[[at[d, 7] for d in range(3)]] = False    # no day valid: 0
    out = A.impute_time_of_day(s, valid)
    expected = s.copy()
    expected.iloc[at[0, 5]] = (105 + 205) / 2
    expected.iloc[[at[1, 3], at[2, 3]]] = 3.0
    expected.iloc[[at[d, 7] for d in range(3)]] = 0.0
    pd.testing.assert_series_equal(out, expected)


def london(start, periods, freq="30min"):
    idx = pd.date_range(start, periods=periods, freq=freq, unit="us", tz="UTC",
                        name="epoch").tz_convert("Europe/London")
    return pd.Series(np.arange(periods, dtype=np.float64), index=idx)


def at_wall(s, when):
    """Positions of the epochs whose wall-clock reading is ``when`` (two in a repeated hour)."""
    return np.flatnonzero(s.index.tz_localize(None) == pd.Timestamp(when))


def test_impute_autumn_repeated_hour():
    # 2023-10-27 23:00 UTC is local midnight of the 28th (BST); the 29th lasts 25 hours
    s = london("2023-10-27 23:00", 96 + 100 + 96, "15min")
    valid = pd.Series(True, index=s.index)
    a, b, c = ([at_wall(s, f"2023-10-{d} 01:{m}") for d in (28, 29, 30)]
               for m in ("00", "15", "30"))
    assert len(a[1]) == len(b[1]) == len(c[1]) == 2
    valid.iloc[a[1]] = False                 # 01:00 on the 29th: both passes not valid
    s.iloc[b[1][0]] = 999.0                  # 01:15: first pass valid, second not
    valid.iloc[b[1][1]] = False
    valid.iloc[c[0]] = False                 # 01:30 on the 28th: both passes of the 29th count
    out = A.impute_time_of_day(s, valid)
    assert out.iloc[a[1][0]] == out.iloc[a[1][1]] == (s.iloc[a[0][0]] + s.iloc[a[2][0]]) / 2
    assert out.iloc[b[1][1]] == (s.iloc[b[0][0]] + s.iloc[b[2][0]]) / 2
    assert out.iloc[b[1][0]] == 999.0
    assert out.iloc[c[0][0]] == pytest.approx((s.iloc[c[1]].sum() + s.iloc[c[2][0]]) / 3)


def test_impute_spring_skipped_hour():
    # 2024-03-29 midnight GMT; the 31st lasts 23 hours and has no 01:xx
    s = london("2024-03-29 00:00", 48 + 48 + 46 + 48)
    valid = pd.Series(True, index=s.index)
    assert len(at_wall(s, "2024-03-31 01:00")) == 0
    a = [at_wall(s, f"2024-{d} 01:00")[0] for d in ("03-29", "03-30", "04-01")]
    b = [at_wall(s, f"2024-{d} 02:00")[0] for d in ("03-29", "03-30", "03-31", "04-01")]
    valid.iloc[a[1]] = False
    valid.iloc[b[2]] = False
    out = A.impute_time_of_day(s, valid)
    assert out.iloc[a[1]] == (s.iloc[a[0]] + s.iloc[a[2]]) / 2
    assert out.iloc[b[2]] == (s.iloc[b[0]] + s.iloc[b[1]] + s.iloc[b[3]]) / 3


def test_intensity_gradient_bins_and_fit():
    # (value in mg, epochs) -> bin index: left-closed, 4000 and above in the top bin
    placed = [(0.0, 40, 0), (24.999, 20, 0), (25.0, 30, 1), (60.0, 12, 2), (3999.9, 1, 159),
              (4000.0, 2, 160), (7999.0, 1, 160), (8000.0, 1, 160), (20000.0, 2, 160)]
    values = np.concatenate([np.full(k, v) for v, k, _ in placed] + [[np.nan] * 5])
    out = A.intensity_gradient(np.random.default_rng(0).permutation(values), epoch="15s")
    expected = np.zeros(161)
    for _, k, b in placed:
        expected[b] += k * 0.25
    np.testing.assert_allclose(out["minutes"], expected)
    assert out["bin_mid_mg"][0] == 12.5 and out["bin_mid_mg"][-1] == 6000.0
    keep = expected > 0
    ref = linregress(np.log(out["bin_mid_mg"][keep]), np.log(expected[keep]))
    assert out["gradient"] == pytest.approx(ref.slope, rel=1e-12)
    assert out["intercept"] == pytest.approx(ref.intercept, rel=1e-12)
    assert out["r_squared"] == pytest.approx(ref.rvalue ** 2, rel=1e-12)


@pytest.mark.parametrize("epoch_s,n", [(5, 17280), (60, 1440), (60, 900), (30, 2000)])
def test_mx_is_the_quantile(epoch_s, n):
    v = np.random.default_rng(n).gamma(0.6, 50, n)
    v[::97] = np.nan
    got = A.mx_metrics(v, epoch=f"{epoch_s}s", minutes=(60, 30, 10, 1, 100000))
    kept = v[~np.isnan(v)]
    total = kept.size * epoch_s / 60
    for x in (60, 30, 10, 1):
        assert got[f"mx{x}_mg"] == pytest.approx(np.quantile(kept, 1 - x / total), rel=1e-12)
    assert np.isnan(got["mx100000_mg"])


def brute_window(elapsed_s, v, day_s, hours, lowest):
    best, start = None, None
    for s in range(0, day_s - hours * 3600 + 1, 600):
        inside = (elapsed_s >= s) & (elapsed_s < s + hours * 3600)
        vals = v[inside]
        have = vals[~np.isnan(vals)]
        if inside.sum() == 0 or 2 * have.size < inside.sum():
            continue
        m = have.mean()
        if best is None or (m < best if lowest else m > best):
            best, start = m, s
    return best, start


@pytest.mark.parametrize("gaps", [False, True])
def test_least_most_match_window_by_window(gaps):
    rng = np.random.default_rng(3)
    # 2-min epochs; an hour-scale random walk gives windows of distinct means
    v = 50 + np.cumsum(rng.normal(0, 3, 720))
    if gaps:
        v[rng.random(720) < 0.3] = np.nan
        v[100:330] = np.nan                       # no window over it holds half its epochs
    s = series("2024-02-05", 720, "2min", v)
    got = A.least_most_active(s)
    elapsed = np.arange(720) * 120
    for key, hours, lowest in (("l5", 5, True), ("m10", 10, False)):
        mean, start = brute_window(elapsed, v, 86400, hours, lowest)
        assert got[f"{key}_mg"] == pytest.approx(mean, rel=1e-12)
        assert got[f"{key}_start"] == pd.Timestamp("2024-02-05") + pd.Timedelta(start, "s")


def test_least_most_by_construction_ties_and_half_rule():
    v = np.full(1440, 50.0)
    v[120:420] = 5.0           # 02:00-07:00
    v[780:1080] = 5.0          # 13:00-18:00, same: the earlier wins
    got = A.least_most_active(series("2024-02-05", 1440, "1min", v))
    assert got["l5_mg"] == 5.0 and got["l5_start"] == pd.Timestamp("2024-02-05 02:00")
    # values only 02:00-04:00 and 04:00-06:30: a 5-hour window needs 2.5 hours of them
    for hours_with_values, found in ((2.0, False), (2.5, True)):
        w = np.full(1440, np.nan)
        w[120:120 + int(hours_with_values * 60)] = 3.0
        got = A.least_most_active(series("2024-02-05", 1440, "1min", w))
        assert (got["l5_mg"] == 3.0) is found and pd.isna(got["l5_start"]) is not found


@pytest.mark.parametrize("utc_start,periods,low,high,l5_at,m10_at", [
    # 25 hours: low over elapsed 2-7 h starts at the second pass of 01:00 (GMT)
    ("2023-10-28 23:00", 150, (12, 42), (90, 150), "2023-10-29 01:00+00:00",
     "2023-10-29 14:00+00:00"),
    # 23 hours: the last window ends at the day's end, 10 hours after 14:00 BST
    ("2024-03-31 00:00", 138, (0, 30), (78, 138), "2024-03-31 00:00+00:00",
     "2024-03-31 14:00+01:00"),
])
def test_least_most_on_change_days(utc_start, periods, low, high, l5_at, m10_at):
    v = np.full(periods, 40.0)
    v[low[0]:low[1]] = 2.0
    v[high[0]:high[1]] = 300.0
    got = A.least_most_active(series(utc_start, periods, "10min", v, tz="Europe/London"))
    assert got["l5_mg"] == 2.0 and got["m10_mg"] == 300.0
    assert got["l5_start"] == pd.Timestamp(l5_at)
    assert got["m10_start"] == pd.Timestamp(m10_at)
