"""summarize and the cohort summary: a generated week whose activity per day is placed on purpose
(across the spring change of Europe/London), summarised per day and per person, and cohorts of
recordings summarised on a real Dask cluster and on the command line."""

from __future__ import annotations

import datetime as dt
import json
import subprocess
import sys
from pathlib import Path
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest

import morvane_tools as mt
import scenario
from cohort_helpers import child_env

LONDON = ZoneInfo("Europe/London")
S = scenario.Segment
START = dt.datetime(2024, 3, 25, 10, 0)      # Monday 10:00 GMT; the clock was set in winter
DAYS = 8                                      # to Tuesday 2 April 10:00 GMT (11:00 BST)
WEEKDAY_VIGOROUS = 30


def at(day: dt.date, hour: float) -> float:
    """Device seconds from the start of a local wall-clock time."""
    when = dt.datetime.combine(day, dt.time()) + dt.timedelta(hours=hour)
    return scenario.device_seconds(when.replace(tzinfo=LONDON), START, dt.timedelta(0))


def week_segments() -> list[scenario.Segment]:
    """Each local day: asleep until 07:00 (turning every 40 minutes), sitting, moderate
    09:00-10:00 (150 mg), vigorous 12:00-12:30 on weekdays (600 mg), light 14:00-16:00 (60 mg),
    sitting, asleep from 23:00. Wednesday: the device lies on a table 13:00-17:00."""
    segs = []
    end = DAYS * 86400.0
    for k in range(-1, DAYS + 1):
        day = START.date() + dt.timedelta(days=k)
        weekday = day.weekday() < 5
        night = (at(day, -1), at(day, 7))        # from 23:00 the evening before
        turns = tuple(np.arange(2400, night[1] - night[0] - 60, 2400, dtype=float))
        plan = [(night, "sleep", 0.0, turns), ((at(day, 7), at(day, 9)), "sedentary", 0, ()),
                ((at(day, 9), at(day, 10)), "active", 150, ()),
                ((at(day, 10), at(day, 12)), "sedentary", 0, ())]
        if weekday:
            plan += [((at(day, 12), at(day, 12.5)), "active", 600, ()),
                     ((at(day, 12.5), at(day, 13)), "sedentary", 0, ())]
        else:
            plan += [((at(day, 12), at(day, 13)), "sedentary", 0, ())]
        if day.weekday() == 2:
            plan += [((at(day, 13), at(day, 17)), "nonwear", 0, ()),
                     ((at(day, 17), at(day, 23)), "sedentary", 0, ())]
        else:
            plan += [((at(day, 13), at(day, 14)), "sedentary", 0, ()),
                     ((at(day, 14), at(day, 16)), "active", 60, ()),
                     ((at(day, 16), at(day, 23)), "sedentary", 0, ())]
        for (a, b), kind, level, t in plan:
            a, b = max(a, 0.0), min(b, end)
            if b > a:
                segs.append(S(a, b, kind, level_mg=level,
                              turns=tuple(x - (a - (night[0] if kind == "sleep" else a))
                                          for x in t if kind == "sleep")))
    return segs


@pytest.fixture(scope="module")
def week(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("week") / "P0042.cwa"
    scenario.write_scenario(path, week_segments(), start=START, duration_s=DAYS * 86400,
                            rate_code=0x48, metadata={"device_id": 4242, "session_id": 7})
    return path


@pytest.fixture(scope="module")
def summary(week):
    return mt.summarize(week, timezone="Europe/London")


def test_days_of_the_week_by_construction(summary):
    days, info = summary
    assert [str(d) for d in days["date"]] == [str(START.date() + dt.timedelta(days=k))
                                             for k in range(DAYS + 1)]
    assert list(days["hours"]) == [24, 24, 24, 24, 24, 24, 23, 24, 24]
    assert list(days["valid"]) == [False] + [True] * 7 + [False]
    full = days.iloc[1:8]
    wednesday = full[full["weekday"] == "Wednesday"].iloc[0]
    assert wednesday["valid_hours"] == pytest.approx(20.0)
    for _, d in full.iterrows():
        weekday = d["weekday"] not in ("Saturday", "Sunday")
        assert d["moderate_min"] == 60
        assert d["vigorous_min"] == (WEEKDAY_VIGOROUS if weekday else 0)
        assert d["light_min"] == 120            # Wednesday's table hours are imputed
        assert d["mvpa_min"] == d["moderate_min"] + d["vigorous_min"]
        assert d["sedentary_min"] == d["hours"] * 60 - 120 - d["mvpa_min"]
        assert d["mvpa_bout10_n"] == (2 if weekday else 1)
        assert d["mvpa_bout10_min"] == d["mvpa_min"]
        # the hour 01:00-02:00 does not exist on the change day
        want = set(range(24)) - ({1} if d["hours"] == 23 else set())
        if d["weekday"] == "Wednesday":
            want -= {13, 14, 15, 16}
        assert set(d["valid_clock_hours"]) == want


def test_person_summary_of_the_week(summary):
    _, info = summary
    person = info["person"]
    assert (person["days"], person["valid_days"], person["good_wear_time"]) == (9, 7, True)
    assert person["moderate_min_all_days"] == 60
    assert person["vigorous_min_weekday"] == WEEKDAY_VIGOROUS
    assert person["vigorous_min_weekend"] == 0
    assert person["vigorous_min_weighted"] == pytest.approx(WEEKDAY_VIGOROUS * 5 / 7)
    assert person["light_min_all_days"] == 120 and person["reason"] is None
    assert info["id"] == "P0042" and info["device_id"] == 4242 and info["session_id"] == 7
    assert info["calibration"]["calibrated"] in (True, False)
    assert info["quality"]["dst_changes"] == ["2024-03-31T02:00:00+01:00"]
    assert info["parameters"]["timezone"] == "Europe/London"
    assert info["parameters"]["cutpoints"] == "default"
    assert info["version"]
    assert json.loads(json.dumps(info, allow_nan=False)) == info


def test_without_imputation_the_table_hours_count_nothing(week):
    days, info = mt.summarize(week, timezone="Europe/London", impute=False)
    wednesday = days[days["weekday"] == "Wednesday"].iloc[0]
    assert wednesday["light_min"] == 0
    assert wednesday["sedentary_min"] == 24 * 60 - 4 * 60 - 60 - WEEKDAY_VIGOROUS
    assert info["parameters"]["impute"] is False


def test_day_table_equals_daily_summary_of_prepare(week, summary):
    table, _ = mt.prepare(week, timezone="Europe/London", epoch="5s")
    pd.testing.assert_frame_equal(mt.daily_summary(table), summary[0])


# ---------------------------------------------------------------------------- cohort

@pytest.fixture(scope="module")
def cohort(tmp_path_factory) -> Path:
    root = tmp_path_factory.mktemp("cohort") / "in"
    for i, hours in enumerate((30, 20)):
        segs = [S(0, hours * 3600.0, "active", level_mg=50 + 40 * i)]
        (root / f"site{i}").mkdir(parents=True)
        scenario.write_scenario(root / f"site{i}" / f"p{i}.cwa", segs, start=START,
                                duration_s=hours * 3600, rate_code=0x47,
                                metadata={"device_id": 100 + i})
    return root


def test_cohort_summary_tables(cohort, tmp_path):
    out = tmp_path / "out"
    manifest = mt.convert(cohort, out, what="summary", cutpoints="hildebrand_geneactiv_nondominant",
                          workers=2, progress=False)
    assert manifest["status"].tolist() == ["converted", "converted"]
    table = pq.read_table(out / "summary.parquet").to_pandas()
    csv = pd.read_csv(out / "summary.csv")
    assert list(table["id"]) == list(csv["id"]) == ["p0", "p1"]
    for i, row in table.iterrows():
        src = cohort / f"site{i}" / f"p{i}.cwa"
        days, info = mt.summarize(src, cutpoints="hildebrand_geneactiv_nondominant")
        stored = pq.read_table(out / f"site{i}" / f"p{i}.cwa.days.parquet").to_pandas()
        pd.testing.assert_series_equal(stored["enmo_mg"], days["enmo_mg"])
        assert row["device_id"] == 100 + i
        assert row["valid_days"] == info["person"]["valid_days"]
        assert row["light_min_all_days"] == pytest.approx(info["person"]["light_min_all_days"],
                                                          nan_ok=True)
        assert row["status"] == "converted"
    # resumed: nothing runs again and the rows stay
    again = mt.convert(cohort, out, what="summary", cutpoints="hildebrand_geneactiv_nondominant",
                       workers=2, progress=False)
    assert again["status"].tolist() == ["up to date", "up to date"]
    pd.testing.assert_frame_equal(pq.read_table(out / "summary.parquet").to_pandas()
                                  .drop(columns="status"), table.drop(columns="status"))


def test_summarize_on_the_command_line(cohort, tmp_path):
    out = tmp_path / "cli"
    done = subprocess.run([sys.executable, "-m", "morvane_tools", "summarize", str(cohort),
                           "-o", str(out), "--timezone", "Europe/London", "--workers", "1",
                           "--no-progress"], capture_output=True, text=True, env=child_env(),
                          timeout=600)
    assert done.returncode == 0, done.stderr
    assert "2 summarised, 0 up to date, 0 failed" in done.stderr
    rows = pd.read_csv(out / "summary.csv")
    assert len(rows) == 2 and set(rows["id"]) == {"p0", "p1"}
    days = pq.read_table(out / "site0" / "p0.cwa.days.parquet")
    assert json.loads(days.schema.metadata[b"morvane.summary"])["parameters"]["timezone"] \
        == "Europe/London"
