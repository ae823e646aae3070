"""Sleep in the summary chain: the z-angle gathered in the chunked pass equals the frame's, the
nights and wake-to-wake days of summarize follow from it, and the cohort tables, the command line
(with a sleep diary) and the overview carry them."""

from __future__ import annotations

import datetime as dt
import subprocess
import sys

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest

import morvane_tools as mt
import scenario as S
from cohort_helpers import child_env
from morvane_tools.options import ReadOptions
from morvane_tools.prepare import prepare_with

H = 3600.0
START = dt.datetime(2024, 6, 3, 10, 0)       # a Monday


def two_nights() -> list[S.Segment]:
    """Active and sitting by day, asleep 23:00-07:00 turning every 40 minutes, two nights."""
    segs = []
    for day in range(2):
        base = day * 24 * H
        segs += [S.Segment(base, base + 3 * H, "active", level_mg=120),
                 S.Segment(base + 3 * H, base + 13 * H, "sedentary"),
                 # turning every 40 minutes: never an hour still, so never taken for non-wear
                 S.Segment(base + 13 * H, base + 21 * H, "sleep",
                           turns=tuple(np.arange(1200.0, 8 * H, 2400.0)), anglez_deg=30.0),
                 S.Segment(base + 21 * H, base + 24 * H, "sedentary")]
    return segs


@pytest.fixture(scope="module")
def nights_recording(tmp_path_factory):
    root = tmp_path_factory.mktemp("sleepsum") / "in"
    root.mkdir()
    path = root / "N1.cwa"
    S.write_scenario(path, two_nights(), start=START, duration_s=48 * H, rate_code=0x47,
                     gaps=[(9000, 40.0)])
    return path


def test_chunked_z_angle_equals_the_frames(nights_recording):
    done = prepare_with(str(nights_recording), ReadOptions(), calibrate=True, nonwear=True,
                        lowpass_hz=None, epoch_us=60_000_000, chunk_blocks=333, anglez=True)
    frame, _ = mt.read_recording(nights_recording)
    calibrated, _ = mt.calibrate(frame)
    want = mt.sleep.anglez_epochs(calibrated)
    pd.testing.assert_index_equal(done.anglez.index, want.index)
    np.testing.assert_allclose(done.anglez.to_numpy(), want.to_numpy(), rtol=0, atol=1e-9)
    assert np.isnan(want.to_numpy()).any()          # the gap's epochs hold no angle
    # the 5-second epoch table of the same pass is the frame's
    table = mt.epochs(calibrated, "5s", nonwear=mt.detect_nonwear(calibrated))
    np.testing.assert_array_equal(done.table_5s["coverage"], table["coverage"])


def test_summarized_nights_follow_from_the_z_angle(nights_recording):
    days, info = mt.summarize(nights_recording, sleep=True)
    frame, _ = mt.read_recording(nights_recording)
    calibrated, _ = mt.calibrate(frame)
    anglez = mt.sleep.anglez_epochs(calibrated)
    table = mt.epochs(calibrated, "5s", nonwear=mt.detect_nonwear(calibrated))
    want = mt.sleep.nightly_sleep(anglez, nonwear=mt.sleep.not_worn(table, anglez.index))
    pd.testing.assert_frame_equal(info["nights"], want)
    nights = info["nights"].set_index("night")
    for evening in (dt.date(2024, 6, 3), dt.date(2024, 6, 4)):
        onset = pd.Timestamp(dt.datetime.combine(evening, dt.time(23)))
        row = nights.loc[evening]
        assert abs(row["sleep_onset"] - onset) <= pd.Timedelta("2min")
        assert abs(row["wake"] - (onset + pd.Timedelta(hours=8))) <= pd.Timedelta("2min")
    use = info["time_use"]
    assert len(use) == 1                               # from the first wake to the second
    minutes = use[["sleep_min", "wake_min", "sedentary_min", "light_min", "moderate_min",
                   "vigorous_min", "nonwear_min"]].sum(axis=1)
    day_min = (use["end"] - use["start"]) / pd.Timedelta(minutes=1)
    np.testing.assert_allclose(minutes, day_min, rtol=0, atol=1e-9)
    assert use["moderate_min"].iloc[0] == 180          # 3 hours at 120 mg, outside the window
    person = info["person"]
    assert person["nights"] == 3 and person["valid_nights"] >= 1
    assert person["spt_hours_all_nights"] == pytest.approx(8.0, abs=0.1)
    assert person["sleep_onset_hour_all_nights"] == pytest.approx(23.0, abs=0.05)
    assert person["wake_hour_all_nights"] == pytest.approx(31.0, abs=0.05)


def test_sleep_diary_on_the_command_line_and_in_the_cohort_tables(nights_recording, tmp_path):
    diary = tmp_path / "diary.csv"
    diary.write_text("id,night,in_bed,out_of_bed\n"
                     "N1,2024-06-03,2024-06-03T22:30:00,2024-06-04T07:15:00\n")
    out = tmp_path / "out"
    done = subprocess.run([sys.executable, "-m", "morvane_tools", "summarize",
                           str(nights_recording.parent), "-o", str(out), "--sleep-diary",
                           str(diary), "--workers", "1", "--no-progress"], capture_output=True,
                          text=True, env=child_env(), timeout=600)
    assert done.returncode == 0, done.stderr
    nights = pq.read_table(out / "N1.cwa.nights.parquet").to_pandas().set_index("night")
    first = nights.loc[dt.date(2024, 6, 3)]
    assert first["guider"] == "diary" and first["spt_hours"] == pytest.approx(8.75)
    assert nights.loc[dt.date(2024, 6, 4), "guider"] == "HDCZA"
    rows = pd.read_csv(out / "summary.csv")
    assert rows.loc[0, "nights"] == 3 and "spt_hours_all_nights" in rows.columns
    bad = tmp_path / "bad.csv"
    bad.write_text("id,night,in_bed,out_of_bed\nN1,2024-06-03,22:30,2024-06-04T07:15:00\n")
    refused = subprocess.run([sys.executable, "-m", "morvane_tools", "summarize",
                              str(nights_recording), "-o", str(tmp_path / "o2"),
                              "--sleep-diary", str(bad)], capture_output=True, text=True,
                             env=child_env(), timeout=300)
    assert refused.returncode == 2
    (line,) = refused.stderr.strip().splitlines()
    assert "line 2" in line and not (tmp_path / "o2").exists()


def test_overview_shades_the_nights_windows(nights_recording):
    _, info = mt.summarize(nights_recording, sleep=True)
    fig = mt.plot_overview(nights_recording, sleep=True, temperature=False)
    drawn = []
    for ax in fig.axes:
        label = ax.get_ylabel().split("\n")[-1]
        for c in ax.collections:
            if c.get_gid() == "sleep_window":
                for p in c.get_paths():
                    xs = p.vertices[:, 0]
                    drawn.append((pd.Timestamp(label) + pd.Timedelta(hours=float(xs.min())),
                                  pd.Timestamp(label) + pd.Timedelta(hours=float(xs.max()))))
    windows = info["nights"].dropna(subset=["sleep_onset"])
    # each window is drawn up to midnight on its evening's row and on from it the next row
    assert len(drawn) == 2 * len(windows)
    starts = sorted(a for a, _ in drawn if a.hour != 0)
    assert [abs(a - w) < pd.Timedelta(seconds=1)
            for a, w in zip(starts, windows["sleep_onset"])] == [True] * len(windows)
