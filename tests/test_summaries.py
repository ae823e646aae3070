"""Day and person summaries of activity from an epoch table.

Ground truths come from construction: epoch tables whose valid hours, imputed values, minutes
per level, bouts and windows are known by design, with numpy.quantile and
scipy.stats.linregress as independent references for the MX metrics and the intensity
gradient; and from generated recordings (tests/scenario.py) of placed activity and non-wear."""

from __future__ import annotations

import datetime as dt
import json

import numpy as np
import pandas as pd
import pytest
from scipy.stats import linregress

import morvane_tools as mt
import scenario

EDGES = np.append(np.arange(161) * 25.0, 8000.0)
MIDS = (EDGES[:-1] + EDGES[1:]) / 2


def table(index, enmo, coverage=1.0, nonwear=0.0):
    t = pd.DataFrame({"enmo_mg": np.asarray(enmo, dtype=np.float64), "coverage": coverage,
                      "nonwear": np.float32(nonwear)}, index=index.rename("epoch"))
    t.attrs["epoch"] = pd.Timedelta(index.freq)
    return t


def ig_reference(values, minutes_per_epoch):
    minutes = np.histogram(values, EDGES)[0] * minutes_per_epoch
    keep = minutes > 0
    r = linregress(np.log(MIDS[keep]), np.log(minutes[keep]))
    return r.slope, r.intercept, r.rvalue ** 2


def week_day(k):
    """Day k (0 = Monday) of the hand-made week, 1-min epochs."""
    v = np.full(1440, 20.0)
    v[:360] = 5.0                          # sedentary
    v[360:420] = 60.0                      # light
    v[420:450] = 150.0 + 10 * k            # moderate, different each day
    v[450:460] = 500.0                     # vigorous
    if k >= 5:
        v[720:780] = 150.0                 # an extra hour of moderate at the weekend
    return v


@pytest.fixture(scope="module")
def week():
    idx = pd.date_range("2024-01-01", periods=7 * 1440, freq="1min", unit="us")
    nonwear = np.zeros(7 * 1440)
    nonwear[2 * 1440 + 780:2 * 1440 + 1320] = 1.0     # Wednesday 13:00-22:00: 15 h
    nonwear[3 * 1440 + 420:3 * 1440 + 450] = 1.0      # Thursday's moderate half hour
    return table(idx, np.concatenate([week_day(k) for k in range(7)]), nonwear=nonwear)


def test_week_by_construction(week):
    days = mt.daily_summary(week)
    assert list(days["weekday"]) == ["Monday", "Tuesday", "Wednesday", "Thursday", "Friday",
                                     "Saturday", "Sunday"]
    assert list(days["date"]) == [dt.date(2024, 1, d) for d in range(1, 8)]
    np.testing.assert_array_equal(days["valid_hours"], [24, 24, 15, 23.5, 24, 24, 24])
    np.testing.assert_array_equal(days["valid"], [1, 1, 0, 1, 1, 1, 1])
    assert days["valid_clock_hours"][2] == tuple(h for h in range(24) if not 13 <= h < 22)
    assert days["valid_clock_hours"][3] == tuple(range(24))
    # Thursday's half hour takes the mean of the other days': 150 + 10 * mean(0,1,2,4,5,6)
    imputed = [week_day(k) for k in range(7)]
    imputed[3][420:450] = 180.0
    weekend = np.arange(7) >= 5
    for k, v in enumerate(imputed):
        row = days.iloc[k]
        assert row["enmo_mg"] == pytest.approx(v.mean(), rel=1e-12)
        assert (row["sedentary_min"], row["light_min"], row["moderate_min"],
                row["vigorous_min"], row["mvpa_min"]) == \
            ((1280, 60, 90, 10, 100) if weekend[k] else (1340, 60, 30, 10, 40))
        for x in (60, 30, 10, 5, 2, 1):
            assert row[f"mx{x}_mg"] == pytest.approx(np.quantile(v, 1 - x / 1440), rel=1e-12)
        g, c, r2 = ig_reference(v, 1.0)
        assert (row["ig_gradient"], row["ig_intercept"], row["ig_r_squared"]) == \
            pytest.approx((g, c, r2), rel=1e-12)
        assert row["l5_mg"] == 5.0 and row["l5_start"] == pd.Timestamp(2024, 1, k + 1)
        # 06:00-16:00 holds the light hour and all the moderate and vigorous morning
        assert row["m10_mg"] == pytest.approx(v[360:960].mean(), rel=1e-12)
        assert row["m10_start"] == pd.Timestamp(2024, 1, k + 1, 6)
        assert row["mvpa_bout10_min"] == row["mvpa_bout1_min"] == row["mvpa_min"]
        assert row["mvpa_bout10_n"] == (2 if weekend[k] else 1)
        # sedentary runs cross midnight: a day counts the bouts that start in it
        assert row["sedentary_bout30_min"] == row["sedentary_min"]
        assert row["sedentary_bout30_n"] == (2 if k in (0, 5, 6) else 1)
    assert days["enmo_mg_crude"][3] == pytest.approx(np.delete(week_day(3), np.s_[420:450])
                                                     .mean(), rel=1e-12)
    person = mt.person_summary(days)
    json.dumps(person, allow_nan=False)
    assert (person["days"], person["valid_days"], person["valid_hours"],
            person["good_wear_time"], person["reason"]) == (7, 6, 158.5, True, None)
    assert (person["mvpa_min_all_days"], person["mvpa_min_weekday"],
            person["mvpa_min_weekend"]) == pytest.approx((60, 40, 100))
    assert person["mvpa_min_weighted"] == pytest.approx(40 * 5 / 7 + 100 * 2 / 7)
    wd = days["enmo_mg"][[0, 1, 3, 4]].mean()
    we = days["enmo_mg"][[5, 6]].mean()
    assert person["enmo_mg_weighted"] == pytest.approx(wd * 5 / 7 + we * 2 / 7)
    assert person["l5_start_hour_all_days"] == 0.0 and person["m10_start_hour_weekend"] == 6.0


def test_week_without_imputation(week):
    days = mt.daily_summary(week, impute=False)
    thursday = np.delete(week_day(3), np.s_[420:450])
    row = days.iloc[3]
    assert row["enmo_mg"] == row["enmo_mg_crude"] == pytest.approx(thursday.mean(), rel=1e-12)
    assert (row["moderate_min"], row["mvpa_min"]) == (0, 10)
    # minutes in the day are the valid minutes
    for x in (60, 30, 10, 5, 2, 1):
        assert row[f"mx{x}_mg"] == pytest.approx(np.quantile(thursday, 1 - x / 1410), rel=1e-12)
    levels = days[["sedentary_min", "light_min", "moderate_min", "vigorous_min"]].sum(axis=1)
    np.testing.assert_allclose(levels, days["valid_hours"] * 60)


@pytest.mark.parametrize("spoil", ["coverage", "nonwear", "enmo"])
def test_no_valid_day(spoil):
    idx = pd.date_range("2024-01-01 08:00", periods=2 * 1440, freq="1min", unit="us")
    t = table(idx, 30.0)
    worn = (idx.hour >= 9) & (idx.hour < 19)          # 10 hours a day
    column = {"coverage": 0.999, "nonwear": 0.001, "enmo": np.nan}[spoil]
    t.loc[~worn, "enmo_mg" if spoil == "enmo" else spoil] = column
    days = mt.daily_summary(t)
    np.testing.assert_array_equal(days["valid_hours"], [10, 10, 0])
    assert np.isnan(days.loc[2, "enmo_mg"]) and pd.isna(days.loc[2, "l5_start"])
    person = mt.person_summary(days)
    json.dumps(person, allow_nan=False)
    assert person["valid_days"] == 0 and person["reason"]
    assert person["enmo_mg_all_days"] is None and person["mx60_mg_weighted"] is None


@pytest.mark.parametrize("worn_min,min_wear_hours,valid", [
    (960, 16, True), (959, 16, False), (600, 10, True), (599, 10, False)])
def test_valid_day_threshold(worn_min, min_wear_hours, valid):
    idx = pd.date_range("2024-01-01", periods=1440, freq="1min", unit="us")
    nonwear = (np.arange(1440) >= worn_min).astype(float)
    days = mt.daily_summary(table(idx, 30.0, nonwear=nonwear), min_wear_hours=min_wear_hours)
    assert days["valid_hours"][0] == worn_min / 60 and days["valid"][0] == valid


@pytest.mark.parametrize("n_days,holes,good", [
    (3, [], True),                            # exactly 72 hours
    (3, [(1, 5)], False),                     # 71 hours
    (4, [(d, 3) for d in range(4)], False),   # 92 hours, 03:00-04:00 never worn
    (4, [(d, 3) for d in range(3)], True),
])
def test_good_wear_time(n_days, holes, good):
    idx = pd.date_range("2024-01-01", periods=24 * n_days, freq="1h", unit="us")
    nonwear = np.zeros(len(idx))
    for d, h in holes:
        nonwear[24 * d + h] = 1.0
    days = mt.daily_summary(table(idx, 30.0, nonwear=nonwear))
    assert mt.person_summary(days)["good_wear_time"] is good


def test_bout_across_midnight():
    idx = pd.date_range("2024-01-01", periods=2 * 1440, freq="1min", unit="us")
    v = np.full(len(idx), 10.0)
    v[1430:1460] = 150.0                       # 23:50 to 00:20
    days = mt.daily_summary(table(idx, v))
    for n in (1, 5, 10):
        assert list(days[f"mvpa_bout{n}_min"]) == [10, 20]
        assert list(days[f"mvpa_bout{n}_n"]) == [1, 0]
    assert list(days["sedentary_bout30_min"]) == [1430, 1420]
    assert list(days["sedentary_bout30_n"]) == [1, 1]


@pytest.mark.parametrize("utc_start,hours,l5_start", [
    # autumn: 01:00-02:00 twice; the quietest 5 hours start after the second pass
    ("2023-10-27 23:00", [24, 25, 24], "2023-10-29 02:00+00:00"),
    # spring: 01:00-02:00 skipped
    ("2024-03-30 00:00", [24, 23, 24], "2024-03-31 00:00+00:00"),
])
def test_change_days(utc_start, hours, l5_start):
    idx = pd.date_range(utc_start, periods=12 * sum(hours), freq="5min", unit="us",
                        tz="UTC").tz_convert("Europe/London")
    wall = idx.tz_localize(None)
    hour = (wall - wall.normalize()) // pd.Timedelta("1h")
    day = np.repeat([0, 1, 2], [12 * h for h in hours])
    v = np.where(hour == 1, np.array([50.0, 0.0, 80.0])[day], 20.0)
    v[day == 1] = np.where(hour[day == 1] == 2, 500.0, 20.0)
    nonwear = ((day == 1) & ((hour == 1) | (hour == 2))).astype(float)
    days = mt.daily_summary(table(idx, v, nonwear=nonwear))
    np.testing.assert_array_equal(days["hours"], hours)
    repeated = hours[1] - 23                 # passes through 01:00-02:00 on the change day
    assert days["valid_hours"][1] == hours[1] - repeated - 1
    levels = days[["sedentary_min", "light_min", "moderate_min", "vigorous_min"]].sum(axis=1)
    np.testing.assert_array_equal(levels, np.array(hours) * 60)
    # 01:xx takes the mean of the 28th/30th (50, 80); 02:xx that of the other days' 20
    assert days["enmo_mg"][1] == pytest.approx(
        (20 * (hours[1] - repeated - 1) + 65 * repeated + 20) / hours[1], rel=1e-12)
    assert days["l5_start"][1] == pd.Timestamp(l5_start)


def test_rejects_tables_it_cannot_read():
    idx = pd.date_range("2024-01-01 00:00:30", periods=10, freq="1min", unit="us")
    with pytest.raises(ValueError, match="grid"):
        mt.daily_summary(table(idx, 1.0))
    with pytest.raises(ValueError, match="coverage"):
        mt.daily_summary(table(idx, 1.0).drop(columns="coverage"))


# --------------------------------------------------------------------------- end to end

S = scenario.Segment
H = 3600.0
START = dt.datetime(2024, 1, 1, 20, 0)      # Monday 20:00; the recording lasts 32 hours
T0 = 4 * H                                  # Tuesday 00:00 in seconds from the start
SEGMENTS = [
    S(0, T0 + 7 * H, "sedentary"),
    S(T0 + 7 * H, T0 + 7.2 * H, "active", level_mg=150),        # 12 min moderate
    S(T0 + 7.2 * H, T0 + 9 * H, "sedentary"),
    S(T0 + 9 * H, T0 + 9.5 * H, "active", level_mg=600),        # 30 min vigorous
    S(T0 + 9.5 * H, T0 + 12 * H, "sedentary"),
    S(T0 + 12 * H, T0 + 14 * H, "nonwear"),
    S(T0 + 14 * H, T0 + 18 * H, "active", level_mg=60),         # 4 h light
    S(T0 + 18 * H, T0 + 28 * H, "sedentary"),
]


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    path = tmp_path_factory.mktemp("activity") / "day.cwa"
    scenario.write_scenario(path, SEGMENTS, start=START, duration_s=32 * H, rate_code=0x48)
    frame, _ = mt.read_recording(path)
    epochs = mt.epochs(frame, "5s", nonwear=mt.detect_nonwear(frame))
    # a fully sampled 5-s epoch at 25 Hz holds 125 samples: what the table calls recorded
    # throughout, apart from the last epoch (its last sample ends the recorded time)
    full = epochs["samples"].to_numpy() == 125
    assert np.array_equal(epochs["coverage"].to_numpy()[:-1] == 1.0, full[:-1])
    return epochs, mt.daily_summary(epochs)


def test_scenario_wear(recording):
    days = recording[1]
    assert list(days["valid"]) == [False, True, False]
    assert days["valid_hours"][1] == pytest.approx(22, abs=0.5)
    assert days["valid_hours"][0] == 4.0
    assert days["valid_hours"][2] == 4.0 - 5 / 3600      # the last epoch is not recorded to its end
    assert set(range(24)) - set(days["valid_clock_hours"][1]) == {12, 13}
    person = mt.person_summary(days)
    assert (person["valid_days"], person["good_wear_time"]) == (1, False)


def test_scenario_levels_and_bouts(recording):
    row = recording[1].iloc[1]
    # a placed segment's edges may spill into a neighbouring epoch
    assert row["moderate_min"] == pytest.approx(12, abs=0.25)
    assert row["vigorous_min"] == pytest.approx(30, abs=0.25)
    assert row["light_min"] == pytest.approx(240, abs=0.25)
    assert row["mvpa_bout10_n"] == 2 and row["mvpa_bout10_min"] == pytest.approx(42, abs=0.5)
    assert row["mvpa_bout1_n"] == 2
    # the non-wear hours are imputed as 0 (no other day was worn then): sedentary
    assert row["sedentary_min"] == pytest.approx(1440 - 282, abs=0.5)


def test_scenario_average_acceleration(recording):
    epochs, days = recording
    day = epochs.loc["2024-01-02"]
    sedentary = day["enmo_mg"].between_time("01:00", "06:00").mean()
    assert 0 < sedentary < 10
    minutes = {150: 12, 600: 30, 60: 240, 0: 120}
    expected = (sum(k * m for k, m in minutes.items())
                + sedentary * (1440 - sum(minutes.values()))) / 1440
    assert days["enmo_mg"][1] == pytest.approx(expected, rel=0.02)
    assert days["enmo_mg_crude"][1] == pytest.approx(expected * 1440 / 1320, rel=0.03)


def test_scenario_mx_and_gradient(recording):
    epochs, days = recording
    day = epochs.loc["2024-01-02"]
    valid = (day["coverage"] == 1) & (day["nonwear"] == 0)
    # no other day was worn at the times Tuesday was not: imputed values are 0
    values = np.where(valid, day["enmo_mg"], 0.0)
    row = days.iloc[1]
    for x in (60, 30, 10, 5, 2, 1):
        assert row[f"mx{x}_mg"] == pytest.approx(np.quantile(values, 1 - x / 1440), rel=1e-9)
    assert row["mx10_mg"] == pytest.approx(600, rel=0.02)
    assert row["mx60_mg"] == pytest.approx(60, rel=0.05)
    assert (row["ig_gradient"], row["ig_intercept"], row["ig_r_squared"]) == \
        pytest.approx(ig_reference(values, 5 / 60), rel=1e-9)


def test_scenario_least_most_active(recording):
    epochs, days = recording
    row = days.iloc[1]
    assert pd.Timestamp("2024-01-02 08:00") <= row["m10_start"] <= pd.Timestamp("2024-01-02 09:00")
    # 08:00-18:00 and 09:00-19:00 both hold the vigorous half hour, the light 4 hours and
    # 3.5 hours of sedentary time besides the 2 hours imputed as 0
    sedentary = epochs.loc["2024-01-02", "enmo_mg"].between_time("01:00", "06:00").mean()
    assert row["m10_mg"] == pytest.approx((30 * 600 + 240 * 60 + 210 * sedentary) / 600,
                                          rel=0.02)
    assert row["l5_mg"] == pytest.approx(sedentary, rel=0.1)
    assert row["l5_start"] <= pd.Timestamp("2024-01-02 02:00")
