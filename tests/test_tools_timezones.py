"""Local time: the device clock, UTC and the wearer's zone with daylight saving, everywhere the
companion shows a time or works per day. Truths come from the generator (device times placed on
purpose) and from the standard library's zoneinfo, computed here independently."""

from __future__ import annotations

import datetime as dt
import json
import subprocess
import sys
from pathlib import Path
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest

import morvane_tools as mt
import scenario
from cohort_helpers import child_env

LONDON = ZoneInfo("Europe/London")
AMSTERDAM = ZoneInfo("Europe/Amsterdam")
UTC = dt.timezone.utc
H = 3600.0
RATE_CODE = 0x47                              # 12.5 Hz keeps two days small
SPRING = dt.datetime(2024, 3, 30, 12, 0, 0)   # device clock set in winter (GMT = UTC)
AUTUMN = dt.datetime(2024, 10, 26, 12, 0, 0)  # first sample in summer time (BST)


def device_us(when: dt.datetime) -> int:
    return int((when - dt.datetime(1970, 1, 1)).total_seconds() * 1e6)


def local(device: dt.datetime, offset: dt.timedelta, tz=LONDON) -> dt.datetime:
    """The wearer's local time of a device time, by zoneinfo alone."""
    return (device - offset).replace(tzinfo=UTC).astimezone(tz)


def same_samples(got: pd.DataFrame, want: pd.DataFrame) -> None:
    """Frames of samples equal to the bit. (pandas' own comparison walks an index aware in a
    zoneinfo zone one time at a time: minutes for a day of samples.)"""
    assert str(got.index.tz) == str(want.index.tz)
    np.testing.assert_array_equal(got.index.as_unit("us").asi8, want.index.as_unit("us").asi8)
    assert list(got.columns) == list(want.columns)
    for c in want.columns:
        assert got[c].dtype == want[c].dtype
        np.testing.assert_array_equal(got[c].to_numpy(), want[c].to_numpy())


def write(path: Path, start: dt.datetime, hours: float, segments=()) -> Path:
    scenario.write_scenario(path, list(segments), start=start, duration_s=hours * H,
                            rate_code=RATE_CODE)
    return path


@pytest.fixture(scope="module")
def spring(tmp_path_factory) -> Path:
    # worn and moving, except on a table from 00:30 to 04:00 device time on the 31st (across
    # the change at 01:00 GMT)
    table = ((dt.datetime(2024, 3, 31, 0, 30) - SPRING).total_seconds(),
             (dt.datetime(2024, 3, 31, 4, 0) - SPRING).total_seconds())
    segments = [scenario.Segment(0, table[0], "sedentary"),
                scenario.Segment(*table, "nonwear"),
                scenario.Segment(table[1], 48 * H, "active", level_mg=80)]
    return write(tmp_path_factory.mktemp("tz") / "spring.cwa", SPRING, 48, segments)


@pytest.fixture(scope="module")
def autumn(tmp_path_factory) -> Path:
    segments = [scenario.Segment(0, 48 * H, "active", level_mg=60)]
    return write(tmp_path_factory.mktemp("tz") / "autumn.cwa", AUTUMN, 48, segments)


# ---------------------------------------------------------------------------- reading

def test_spring_read_in_local_time(spring):
    naive, _ = mt.read_recording(spring)
    frame, _ = mt.read_recording(spring, timezone="Europe/London")
    assert str(frame.index.tz) == "Europe/London"
    assert frame.index.is_monotonic_increasing and frame.index.is_unique
    # configured in winter: the device offset is GMT's, 0, for the whole recording
    np.testing.assert_array_equal(frame.index.as_unit("us").asi8, naive.index.as_unit("us").asi8)
    for device in (dt.datetime(2024, 3, 30, 23, 0), dt.datetime(2024, 3, 31, 2, 30),
                   dt.datetime(2024, 4, 1, 9, 15)):
        i = naive.index.searchsorted(pd.Timestamp(device))
        want = local(device, dt.timedelta(0))
        assert frame.index[i].to_pydatetime() == want
    # a bedtime of 23:00 after the change shows as 23:00, not 22:00
    i = naive.index.searchsorted(pd.Timestamp("2024-03-31 22:00"))
    assert frame.index[i].strftime("%H:%M %Z") == "23:00 BST"


@pytest.mark.parametrize("device, first_offset_h", [
    ("Europe/London", 1),                 # set in summer: BST at the first sample
    ("UTC", 0), ("+00:00", 0),            # set in winter
    (dt.timedelta(hours=1), 1), (dt.timezone(dt.timedelta(hours=1)), 1), ("+01:00", 1),
])
def test_device_clock_offsets(autumn, device, first_offset_h):
    naive, _ = mt.read_recording(autumn)
    frame, _ = mt.read_recording(autumn, timezone="Europe/London", device_timezone=device)
    shift = np.int64(first_offset_h * 3_600_000_000)
    np.testing.assert_array_equal(frame.index.as_unit("us").asi8,
                                  naive.index.as_unit("us").asi8 - shift)
    q = mt.quality_report(autumn, timezone="Europe/London", device_timezone=device)
    assert q["device_utc_offset_s"] == first_offset_h * 3600


def test_device_in_amsterdam_worn_in_london(tmp_path):
    start = dt.datetime(2024, 1, 10, 13, 0)           # 13:00 CET = 12:00 UTC = 12:00 GMT
    path = tmp_path / "travel.cwa"
    # a gap of 10 minutes from block 900 (12.5 Hz, 80 samples a block: 96 minutes in)
    scenario.write_scenario(path, [scenario.Segment(0, 2 * H, "sedentary")], start=start,
                            duration_s=2 * H, rate_code=RATE_CODE, gaps=[(900, 600.0)])
    q = mt.quality_report(path, timezone="Europe/London", device_timezone="Europe/Amsterdam")
    assert q["device_utc_offset_s"] == 3600
    (gap,) = q["gap_intervals"]
    assert gap == {"start": "2024-01-10T13:36:00+00:00", "end": "2024-01-10T13:46:00+00:00",
                   "seconds": 600.0}
    frame, _ = mt.read_recording(path, timezone="Europe/London",
                                 device_timezone="Europe/Amsterdam")
    assert frame.index[0].to_pydatetime() == dt.datetime(2024, 1, 10, 12, 0, tzinfo=LONDON)
    alone, _ = mt.read_recording(path, device_timezone="Europe/Amsterdam")
    assert str(alone.index.tz) == "UTC"
    assert alone.index[0] == pd.Timestamp("2024-01-10 12:00", tz="UTC")


@pytest.mark.parametrize("first, want_offset_h", [
    (dt.datetime(2024, 10, 27, 1, 30), 1),    # a repeated hour: the offset before the change
    (dt.datetime(2024, 3, 31, 1, 30), 1),     # a skipped hour: the offset after it
    (dt.datetime(2024, 3, 31, 0, 30), 0),
])
def test_offset_at_a_first_sample_in_a_changing_hour(tmp_path, first, want_offset_h):
    path = write(tmp_path / "edge.cwa", first, 0.5, [scenario.Segment(0, 1800, "sedentary")])
    q = mt.quality_report(path, timezone="Europe/London")
    assert q["device_utc_offset_s"] == want_offset_h * 3600


def test_chunks_and_block_table_in_local_time(spring):
    whole, _ = mt.read_recording(spring, timezone="Europe/London")
    with mt.iter_chunks(spring, timezone="Europe/London", chunk_blocks=3000) as chunks:
        parts = list(chunks)
    assert len(parts) > 3
    joined = pd.concat(parts)
    same_samples(joined, whole)
    table = mt.block_table(spring, timezone="Europe/London")
    assert str(table["start"].dt.tz) == "Europe/London"
    assert table["start"].iloc[0] == whole.index[0]


# ---------------------------------------------------------------------------- days

def test_quality_days_are_local_days_of_23_and_25_hours(spring, autumn):
    q = mt.quality_report(spring, timezone="Europe/London")
    # 12:00 GMT on the 30th to 12:00 GMT (13:00 BST) on 1 April
    assert [d["date"] for d in q["days"]] == ["2024-03-30", "2024-03-31", "2024-04-01"]
    assert [round(d["hours"], 6) for d in q["days"]] == [12.0, 23.0, 13.0]
    assert q["dst_changes"] == ["2024-03-31T02:00:00+01:00"]
    assert q["timezone"] == "Europe/London" and q["device_utc_offset_s"] == 0
    assert q["first_sample"] == "2024-03-30T12:00:00+00:00"
    assert q["gap_intervals"] == [] and q["gaps"] == 0
    qa = mt.quality_report(autumn, timezone="Europe/London")
    assert [round(d["hours"], 6) for d in qa["days"]] == [12.0, 25.0, 11.0]
    assert qa["dst_changes"] == ["2024-10-27T01:00:00+00:00"]
    # without a zone the days are device-clock days, as always
    plain = mt.quality_report(spring)
    assert [round(d["hours"], 6) for d in plain["days"]] == [12.0, 24.0, 12.0]
    assert "timezone" not in plain and plain["first_sample"].startswith("2024-03-30T12:00:00")
    assert json.loads(json.dumps(q)) == q


@pytest.mark.parametrize("epoch", ["5s", "60s", "7min"])
def test_epochs_start_at_each_local_midnight(spring, epoch):
    frame, _ = mt.read_recording(spring, timezone="Europe/London")
    table = mt.epochs(frame, epoch)
    length = pd.Timedelta(epoch)
    for day in (dt.date(2024, 3, 31), dt.date(2024, 4, 1)):
        midnight = dt.datetime.combine(day, dt.time(), tzinfo=LONDON)
        nxt = dt.datetime.combine(day + dt.timedelta(days=1), dt.time(), tzinfo=LONDON)
        # laid end to end from local midnight, in elapsed time, the last cut at the next one
        span = (nxt.astimezone(UTC) - midnight.astimezone(UTC))
        count = -(-span // length)
        want = [pd.Timestamp(midnight.astimezone(UTC)) + k * length for k in range(count)]
        got = table.index[(table.index >= pd.Timestamp(midnight)) &
                          (table.index < pd.Timestamp(nxt))]
        if day == dt.date(2024, 4, 1):
            want = [w for w in want if w <= got[-1]]      # the recording ends that day
        assert [t.tz_convert(UTC) for t in got] == want
    if epoch == "7min":        # 23 hours are not a multiple of 7 minutes: the last is cut
        assert (23 * 60) % 7 and table.index.tz is not None
        gaps = np.diff(table.index.as_unit("us").asi8)
        assert set(gaps) == {7 * 60_000_000, (23 * 60 % 7) * 60_000_000,
                             (24 * 60 % 7) * 60_000_000}


def test_nonwear_across_the_change_in_local_time(spring):
    frame, _ = mt.read_recording(spring, timezone="Europe/London")
    nw = mt.detect_nonwear(frame)
    assert len(nw) == 1
    start, end = nw["start"].iloc[0], nw["end"].iloc[0]
    assert str(start.tz) == "Europe/London"
    # on the table from 00:30 to 04:00 GMT; windows start every 15 local minutes
    assert start == pd.Timestamp(dt.datetime(2024, 3, 31, 0, 30, tzinfo=LONDON))
    assert end == pd.Timestamp(dt.datetime(2024, 3, 31, 5, 0, tzinfo=LONDON))  # 04:00 GMT
    prepared, info = mt.prepare(spring, timezone="Europe/London", calibrate=False, epoch="60s")
    assert info["nonwear"][0]["start"] == "2024-03-31T00:30:00+00:00"
    assert info["nonwear"][0]["end"] == "2024-03-31T05:00:00+01:00"
    pd.testing.assert_frame_equal(prepared, mt.epochs(frame, "60s", nonwear=nw), rtol=1e-9)
    # a naive frame with the options reads the same as a frame read with them
    naive, _ = mt.read_recording(spring)
    pd.testing.assert_frame_equal(mt.detect_nonwear(naive, timezone="Europe/London"), nw)


def test_dask_partitions_are_local_days(spring):
    ddf = mt.read_cwa_dask(spring, timezone="Europe/London")
    assert ddf.npartitions == 3 and ddf.known_divisions
    parts = [ddf.get_partition(i).compute(scheduler="sync") for i in range(3)]
    days = [(p.index[0].date(), p.index[-1].date()) for p in parts]
    assert days == [(dt.date(2024, 3, d), dt.date(2024, 3, d)) for d in (30, 31)] + \
        [(dt.date(2024, 4, 1), dt.date(2024, 4, 1))]
    # the middle partition runs from local midnight to the next one: 23 hours
    span = parts[1].index[-1] - parts[1].index[0]
    assert pd.Timedelta(hours=23) - span < pd.Timedelta(seconds=1)
    whole, _ = mt.read_recording(spring, timezone="Europe/London")
    same_samples(pd.concat(parts).drop(columns="recording"), whole)


# ---------------------------------------------------------------------------- picture

def test_overview_rows_show_the_skipped_and_repeated_hour(spring, autumn):
    def gids(fig):
        return {a.get_gid() for ax in fig.axes for a in ax.get_children()}

    fig = mt.plot_overview(spring, timezone="Europe/London")
    rows = [a for a in fig.axes if any(c.get_gid() == "enmo" for c in a.get_children())]
    assert [a.get_ylabel().split("\n")[-1] for a in rows] == ["2024-03-30", "2024-03-31",
                                                              "2024-04-01"]
    assert "clock_skipped" in gids(fig) and "clock_repeated" not in gids(fig)
    (bar,) = [c for c in rows[1].collections if c.get_gid() == "clock_skipped"]
    xs = bar.get_paths()[0].vertices[:, 0]
    assert (xs.min(), xs.max()) == (1.0, 2.0)
    figa = mt.plot_overview(autumn, timezone="Europe/London")
    assert {"clock_repeated", "enmo_repeated"} <= gids(figa)


# ---------------------------------------------------------------------------- cohort

def test_convert_stores_utc_instants_with_the_zone(tmp_path, spring):
    import pyarrow.parquet as pq

    out = tmp_path / "out"
    manifest = mt.convert(spring, out, timezone="Europe/London", workers=1, progress=False)
    assert manifest["status"].tolist() == ["converted"]
    table = pq.read_table(out / "spring.cwa.parquet")
    assert str(table.schema.field("timestamp").type) == "timestamp[us, tz=Europe/London]"
    whole, _ = mt.read_recording(spring, timezone="Europe/London")
    np.testing.assert_array_equal(table.column("timestamp").cast("int64").to_numpy(),
                                  whole.index.as_unit("us").asi8)
    record = json.loads(pq.read_metadata(out / "spring.cwa.parquet").metadata[b"morvane"])
    assert record["timezone"] == "Europe/London" and record["device_utc_offset_s"] == 0
    assert manifest["first_sample"].iloc[0] == pd.Timestamp("2024-03-30 12:00", tz="UTC")
    # resume compares the clock like any other option
    again = mt.convert(spring, out, timezone="Europe/London", workers=1, progress=False)
    assert again["status"].tolist() == ["up to date"]
    other = mt.convert(spring, out, timezone="Europe/Paris", workers=1, progress=False)
    assert other["status"].tolist() == ["converted"]


@pytest.mark.parametrize("command", ["info", "qc", "plot", "convert", "summarize"])
def test_command_line_zones(spring, tmp_path, command):
    extra = {"plot": ["-o", str(tmp_path / "p.png")], "convert": ["-o", str(tmp_path / "o")],
             "summarize": ["-o", str(tmp_path / "s")]}.get(command, [])
    base = [sys.executable, "-m", "morvane_tools", command, str(spring), *extra]
    bad = subprocess.run(base + ["--timezone", "Europe/Londn"], capture_output=True, text=True,
                         env=child_env(), timeout=300)
    assert bad.returncode == 2
    assert bad.stderr.strip().splitlines() == [
        f"morvane {command}: timezone: unknown time zone 'Europe/Londn'"]
    if command in ("info", "qc"):
        good = subprocess.run(base + ["--timezone", "Europe/London"], capture_output=True,
                              text=True, env=child_env(), timeout=300)
        assert good.returncode == 0, good.stderr
        assert "2024-03-30T12:00:00+00:00" in good.stdout
