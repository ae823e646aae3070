"""plot_overview: rows per day, the ENMO trace, non-wear, gaps, temperature, PNG output."""

from __future__ import annotations

import datetime as dt
import os
import struct
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import cwagen

matplotlib = pytest.importorskip("matplotlib")
from matplotlib.axes import Axes  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.patches import StepPatch  # noqa: E402

import morvane  # noqa: E402
import morvane_tools  # noqa: E402
from morvane_tools.overview import bad_block_places  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

RATE_CODE = 0x47                      # 12.5 Hz
RATE = cwagen.rate_hz(RATE_CODE)
PER_BLOCK = cwagen.FORMATS[0x30][2]   # 120 samples, 9.6 s per block
START = dt.datetime(2023, 6, 15, 12, 0, 0)
H = 3600.0

# stretches in seconds from START (the clock, so after the gap below)
STILL = (34 * H, 39 * H)              # 22:00 on the 16th to 03:00 on the 17th: no movement
SPIKY = (42 * H, 45 * H)              # still, but x and y jump by 117 mg every 10 minutes
BUZZ = (47 * H, 50 * H)               # still, x and y alternate by +-20 mg (sd too large)
GAP_BLOCK = 2250                      # 6 h in
GAP_S = 2 * H + 16.0                  # a whole number of sample periods


def motion(t: np.ndarray) -> np.ndarray:
    """Counts (256 per g): moving everywhere except the three stretches above."""
    n = t.size
    move = np.stack([70 * np.sin(2 * np.pi * 1.1 * t), 50 * np.cos(2 * np.pi * 0.7 * t),
                     256 + 60 * np.sin(2 * np.pi * 0.9 * t + 1)], axis=1)
    still = np.tile(np.array([10, -20, 250]), (n, 1))
    out = np.rint(move).astype(np.int64)
    for a, b in (STILL, SPIKY, BUZZ):
        sel = (t >= a) & (t < b)
        out[sel] = still[sel]
    spike = (t >= SPIKY[0]) & (t < SPIKY[1]) & (np.mod(t, 600) < 1.0)
    out[spike, 0] += 30
    out[spike, 1] += 30
    buzz = (t >= BUZZ[0]) & (t < BUZZ[1])
    sign = np.where(np.arange(n) % 2 == 0, 5, -5)
    out[buzz, 0] += sign[buzz]
    out[buzz, 1] -= sign[buzz]
    return out


def make(path, *, duration_s: float, start: dt.datetime = START, gaps=(),
         motion=motion) -> cwagen.RecordingInfo:
    n_blocks = int(np.ceil(duration_s * RATE / PER_BLOCK))
    temperature = 250 + (np.arange(n_blocks) // 40) % 60   # a slow saw tooth
    return cwagen.write_recording(path, fmt=0x30, rate_code=RATE_CODE, duration_s=duration_s,
                                  start=start, motion=motion, temperature=temperature,
                                  gaps=gaps, checksums=True,
                                  metadata={"device_id": 777, "session_id": 4242})


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    path = tmp_path_factory.mktemp("plot") / "multi.cwa"
    make(path, duration_s=2.5 * 86400, gaps=[(GAP_BLOCK, GAP_S)])
    return path


@pytest.fixture(scope="module")
def frame(recording):
    return morvane_tools.read_recording(recording, include_light=False,
                                        include_battery=False)[0]


@pytest.fixture(scope="module")
def figure(recording):
    return morvane_tools.plot_overview(recording)


def rows_of(fig: Figure) -> list[Axes]:
    """The day rows: axes holding an ENMO trace, top to bottom."""
    rows = [a for a in fig.axes if any(p.get_gid() == "enmo" for p in a.patches + a.artists)]
    return sorted(rows, key=lambda a: -a.get_position().y0)


def trace(ax: Axes) -> StepPatch:
    (p,) = [a for a in ax.get_children() if isinstance(a, StepPatch) and a.get_gid() == "enmo"]
    return p


def day_of(ax: Axes) -> pd.Timestamp:
    return pd.Timestamp(ax.get_ylabel().split("\n")[-1])


def spans(fig: Figure, gid: str) -> list[tuple[pd.Timestamp, pd.Timestamp]]:
    """Time intervals drawn by the bar collections with ``gid``, merged across rows."""
    out = []
    for ax in rows_of(fig):
        day = day_of(ax)
        for c in ax.collections:
            if c.get_gid() != gid:
                continue
            for p in c.get_paths():
                xs = p.vertices[:, 0]
                out.append((day + pd.Timedelta(hours=float(xs.min())),
                            day + pd.Timedelta(hours=float(xs.max()))))
    out.sort()
    merged: list[list[pd.Timestamp]] = []
    for a, b in out:
        if merged and a <= merged[-1][1] + pd.Timedelta(seconds=1):
            merged[-1][1] = max(merged[-1][1], b)
        else:
            merged.append([a, b])
    return [(a, b) for a, b in merged]


def at(seconds: float) -> pd.Timestamp:
    return pd.Timestamp(START) + pd.Timedelta(seconds=seconds)


def png_size(path) -> tuple[int, int]:
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR"
    return struct.unpack(">II", head[16:24])


# ---------------------------------------------------------------------------


@pytest.mark.parametrize("start, duration_h", [
    (dt.datetime(2023, 6, 15, 0, 0, 0), 23.5),     # one day
    (dt.datetime(2023, 6, 15, 23, 30, 0), 1.0),    # crosses midnight: two rows
    (dt.datetime(2023, 6, 15, 12, 0, 0), 61.0),    # four dates
])
def test_one_row_per_device_clock_day(tmp_path, start, duration_h):
    path = tmp_path / "r.cwa"
    make(path, duration_s=duration_h * H, start=start)
    fig = morvane_tools.plot_overview(path, nonwear=False)
    frame = morvane_tools.read_recording(path)[0]
    dates = pd.date_range(frame.index[0].normalize(), frame.index[-1].normalize(), freq="D")
    rows = rows_of(fig)
    assert [day_of(a) for a in rows] == list(dates)
    # the figure grows with the number of days
    assert fig.get_figheight() == pytest.approx(1.25 + 1.25 * len(dates))
    for a in rows:
        assert a.get_xlim() == (0, 24)
        assert list(a.get_xticks()) == list(range(0, 25, 3))


def test_rows_and_title_of_the_multi_day_recording(figure, frame):
    rows = rows_of(figure)
    expected = pd.date_range(frame.index[0].normalize(), frame.index[-1].normalize(), freq="D")
    assert [day_of(a) for a in rows] == list(expected)
    assert len(rows) == 4   # 2.5 days from noon plus a 2 h gap
    texts = " ".join([figure._suptitle.get_text()] + [t.get_text() for t in figure.texts])
    for word in ("777", "4242", "2023-06-15", "2023-06-18", "1 gap"):
        assert word in texts


def test_enmo_trace_is_the_per_minute_mean(figure, frame):
    acc = frame[["acc_x", "acc_y", "acc_z"]].to_numpy(np.float64)
    enmo = np.maximum(np.sqrt((acc ** 2).sum(axis=1)) - 1.0, 0.0) * 1000.0
    per_min = pd.Series(enmo, index=frame.index).resample("1min").mean()
    for ax in rows_of(figure):
        day = day_of(ax)
        want = per_min.reindex(pd.date_range(day, periods=1440, freq="1min")).to_numpy()
        values, edges, _ = trace(ax).get_data()
        np.testing.assert_allclose(edges, np.arange(1441) / 60)
        np.testing.assert_array_equal(np.isnan(values), np.isnan(want))
        np.testing.assert_allclose(values, want, rtol=1e-5, atol=1e-3, equal_nan=True)
    # moving minutes are well above zero, still ones near zero: the scale shows them
    assert np.nanmax(per_min) > 50 and ax.get_ylim()[1] >= np.nanpercentile(per_min, 99)


def test_temperature_is_the_per_minute_mean(figure, frame):
    per_min = frame["temperature"].astype(np.float64).resample("1min").mean()
    for ax in rows_of(figure):
        day = day_of(ax)
        want = per_min.reindex(pd.date_range(day, periods=1440, freq="1min")).to_numpy()
        (twin,) = [a for a in figure.axes if a is not ax and a.bbox.bounds == ax.bbox.bounds]
        (line,) = [ln for ln in twin.lines if ln.get_gid() == "temperature"]
        np.testing.assert_allclose(line.get_ydata(), want, rtol=1e-6, equal_nan=True)
        lo, hi = twin.get_ylim()
        assert lo <= np.nanmin(per_min) and np.nanmax(per_min) <= hi


def test_nonwear_shades_the_still_stretch_only(figure):
    shaded = spans(figure, "nonwear")
    # windows start on clock quarter hours; the still stretch starts and ends on one
    assert shaded == [(at(STILL[0]), at(STILL[1]))]
    # the shading crosses midnight: it lies in two rows
    rows_with = [day_of(a) for a in rows_of(figure)
                 if any(c.get_gid() == "nonwear" for c in a.collections)]
    assert rows_with == [pd.Timestamp("2023-06-16"), pd.Timestamp("2023-06-17")]


def test_nonwear_can_be_left_out(recording):
    fig = morvane_tools.plot_overview(recording, nonwear=False, temperature=False)
    assert spans(fig, "nonwear") == []
    assert not any(ln.get_gid() == "temperature" for a in fig.axes for ln in a.lines)


def test_gap_is_marked_where_it_was_made(figure, frame):
    last_before = at(GAP_BLOCK * PER_BLOCK / RATE - 1 / RATE)
    first_after = at(GAP_BLOCK * PER_BLOCK / RATE + GAP_S)
    assert frame.index[GAP_BLOCK * PER_BLOCK - 1] == last_before   # the generator did it
    ((a, b),) = spans(figure, "gap")
    # a gap runs from the end of the block before it (one sample period after its last sample)
    assert abs(a - (last_before + pd.Timedelta(seconds=1 / RATE))) < pd.Timedelta(milliseconds=1)
    assert abs(b - first_after) < pd.Timedelta(milliseconds=1)
    marks = [(day_of(ax), ln) for ax in rows_of(figure) for ln in ax.lines
             if ln.get_gid() == "gap_marks"]
    ((day, line),) = marks
    mid = day + pd.Timedelta(hours=float(line.get_xdata()[0]))
    assert a < mid < b
    # the gap minutes carry no ENMO
    row = [ax for ax in rows_of(figure) if day_of(ax) == day][0]
    values = trace(row).get_data().values
    inside = np.arange(1440) / 60
    hours = ((a - day) / pd.Timedelta(hours=1), (b - day) / pd.Timedelta(hours=1))
    full = (inside >= np.ceil(hours[0] * 60) / 60) & (inside + 1 / 60 <= hours[1])
    assert full.sum() > 100 and np.isnan(values[full]).all()


# gaps are the quality report's: a block starting a second or more after the previous block's
# end (at 12.5 Hz whole sample periods: 0.96 s is no gap, 1.04 s is)
@pytest.mark.parametrize("gap_s, expected", [(0.96, 0), (1.04, 1), (2.0, 1), (600.0, 1)])
def test_gaps_drawn_are_the_quality_reports(tmp_path, gap_s, expected):
    path = tmp_path / "one_gap.cwa"
    make(path, duration_s=2 * H, gaps=[(300, gap_s)])
    assert morvane_tools.quality_report(path)["gaps"] == expected
    fig = morvane_tools.plot_overview(path, nonwear=False, temperature=False)
    assert len(spans(fig, "gap")) == expected
    assert f"{expected} gap" in " ".join(t.get_text() for t in fig.texts)
    if expected:
        ((a, b),) = spans(fig, "gap")
        end_of_block = at(300 * PER_BLOCK / RATE)   # the block before the gap ends here
        assert abs(a - end_of_block) < pd.Timedelta(milliseconds=1)
        assert abs(b - a - pd.Timedelta(seconds=gap_s)) < pd.Timedelta(milliseconds=1)


def test_close_gaps_are_counted_but_drawn_as_one(tmp_path):
    path = tmp_path / "gappy.cwa"
    # 30 gaps of 2 s, one per block (9.6 s), then one of 5 s two minutes later
    make(path, duration_s=2 * H, gaps=[(b, 2.0) for b in range(300, 330)] + [(343, 5.0)])
    fig = morvane_tools.plot_overview(path, nonwear=False)
    assert "31 gaps" in " ".join(t.get_text() for t in fig.texts)
    ((a, b), (c, d)) = spans(fig, "gap")
    first = at(300 * PER_BLOCK / RATE)
    assert abs(a - first) < pd.Timedelta(seconds=1)
    assert abs(b - (first + pd.Timedelta(seconds=29 * 9.6 + 30 * 2.0))) < pd.Timedelta(seconds=1)
    assert abs(d - c - pd.Timedelta(seconds=5.0)) < pd.Timedelta(milliseconds=1)


def test_png_is_written_with_the_figure_size(figure, tmp_path):
    out = tmp_path / "overview.png"
    figure.savefig(out, dpi=50)
    w, h = png_size(out)
    assert (w, h) == (round(figure.get_figwidth() * 50), round(figure.get_figheight() * 50))
    assert (w, h) == (700, round((1.25 + 4 * 1.25) * 50))


def test_example_script_draws_the_bundled_sample(tmp_path):
    out = tmp_path / "sample.png"
    # the child imports the very packages this run tests (installed or a build tree)
    here = [os.path.dirname(os.path.dirname(os.path.abspath(morvane_tools.__file__))),
            os.path.dirname(os.path.abspath(morvane.__file__))]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        here + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    env.pop("MPLBACKEND", None)      # no display, no backend chosen: the script must still work
    env.pop("DISPLAY", None)
    proc = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "overview.py"),
                           os.path.join(ROOT, "examples", "sample_ax6.cwa"), str(out)],
                          capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert png_size(out) == (1400, 250)   # 14 in by 1.25 + 1.25 in at 100 dpi: one day


def test_single_axes_region_is_split_into_days(recording):
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    fig = Figure(figsize=(10, 8))
    FigureCanvasAgg(fig)
    top = fig.add_subplot(2, 1, 1)
    top.plot([0, 1], [0, 1])
    ax = fig.add_subplot(2, 1, 2)
    region = ax.get_position()
    got = morvane_tools.plot_overview(recording, ax=ax, nonwear=False)
    assert got is fig
    fig.canvas.draw()
    rows = rows_of(fig)
    assert len(rows) == 4 and rows[0] is ax and top not in rows
    for r in rows:
        box = r.get_position()
        assert region.x0 - 1e-9 <= box.x0 and box.x1 <= region.x1 + 1e-9
        assert region.y0 - 1e-9 <= box.y0 and box.y1 <= region.y1 + 1e-9
    assert "777" in ax.get_title(loc="left")


def test_axes_without_subplot_spec_and_axes_per_day(recording):
    fig = Figure(figsize=(10, 8))
    free = fig.add_axes((0.1, 0.1, 0.8, 0.4))
    morvane_tools.plot_overview(recording, ax=free, nonwear=False, temperature=False)
    rows = rows_of(fig)
    assert len(rows) == 4
    assert rows[-1].get_position().y0 == pytest.approx(0.1)
    assert rows[0].get_position().y1 == pytest.approx(0.5)

    fig2 = Figure()
    axes = [fig2.add_subplot(4, 1, i + 1) for i in range(4)]
    morvane_tools.plot_overview(recording, ax=axes, nonwear=False, temperature=False)
    assert rows_of(fig2) == axes
    with pytest.raises(ValueError, match="4 day"):
        morvane_tools.plot_overview(recording, ax=axes[:3])


@pytest.mark.parametrize("kwargs, error", [
    ({"ax": "not axes"}, TypeError),
    ({"ax": []}, TypeError),
    ({"max_days": 0}, ValueError),
    ({"enmo_max_mg": -5}, ValueError),
    ({"chunk_blocks": 0}, ValueError),
])
def test_bad_arguments(recording, kwargs, error):
    with pytest.raises(error):
        morvane_tools.plot_overview(recording, **kwargs)


def _table(rows):
    """A block table with the columns the placement uses."""
    status, start, end = zip(*rows)
    return pd.DataFrame({"block": np.arange(len(rows)), "status": list(status),
                         "start": pd.to_datetime(list(start)).as_unit("us"),
                         "end": pd.to_datetime(list(end)).as_unit("us")})


T = "2023-06-15 12:00:0{}"


@pytest.mark.parametrize("rows, expected", [
    # one bad block between two with samples: from the end of one to the start of the next
    ([("data", T.format(0), T.format(1)), ("bad", None, None),
      ("data", T.format(3), T.format(4))], [(T.format(1), T.format(3))]),
    # a run of bad blocks with an empty one inside, then a second run after erased blocks
    ([("data", T.format(0), T.format(1)), ("bad", None, None), ("empty", None, None),
      ("bad", None, None), ("data", T.format(5), T.format(6)), ("erased", None, None),
      ("bad", None, None)], [(T.format(1), T.format(5)), (T.format(6), T.format(6))]),
    # bad blocks first: placed at the first time known
    ([("bad", None, None), ("bad", None, None), ("data", T.format(2), T.format(3))],
     [(T.format(2), T.format(2))]),
    # nothing with a time: nothing can be placed
    ([("bad", None, None), ("erased", None, None)], []),
    ([("data", T.format(0), T.format(1))], []),
])
def test_bad_blocks_are_placed_between_their_neighbours(rows, expected):
    got = bad_block_places(_table(rows))
    want = [(pd.Timestamp(a).value // 1000, pd.Timestamp(b).value // 1000) for a, b in expected]
    assert [tuple(r) for r in got.tolist()] == want


def direct_enmo_mg(frame: pd.DataFrame) -> pd.Series:
    acc = frame[["acc_x", "acc_y", "acc_z"]].to_numpy(np.float64)
    enmo = np.maximum(np.sqrt((acc ** 2).sum(axis=1)) - 1.0, 0.0) * 1000.0
    return pd.Series(enmo).groupby(frame.index.floor("1min")).mean()


@pytest.mark.parametrize("chunk_blocks", [37, 100_000])
def test_clock_set_back_and_minutes_split_between_chunks(tmp_path, chunk_blocks):
    path = tmp_path / "back.cwa"
    # the clock is set back by 40 minutes after 3 h: those minutes hold samples twice
    make(path, duration_s=6 * H, gaps=[(1125, -2400.0)])
    frame = morvane_tools.read_recording(path)[0]
    assert not frame.index.is_monotonic_increasing
    fig = morvane_tools.plot_overview(path, nonwear=False, chunk_blocks=chunk_blocks)
    want = direct_enmo_mg(frame)
    (row,) = rows_of(fig)
    values = trace(row).get_data().values
    got = pd.Series(values, index=pd.date_range(day_of(row), periods=1440, freq="1min"))
    got = got.dropna()
    pd.testing.assert_index_equal(got.index, pd.DatetimeIndex(want.index),
                                  check_names=False, exact=False, check_freq=False)
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-5, atol=1e-3)
    assert spans(fig, "gap") == []     # going back is no gap


def test_clock_jump_of_years_gets_rows_only_for_days_with_samples(tmp_path):
    path = tmp_path / "jump.cwa"
    make(path, duration_s=4 * H, gaps=[(750, 800 * 86400.0)])   # 2 h in, 800 days later
    fig = morvane_tools.plot_overview(path)
    days = [day_of(a) for a in rows_of(fig)]
    later = pd.Timestamp("2023-06-15 14:00") + pd.Timedelta(days=800)
    assert days == [pd.Timestamp("2023-06-15"), later.normalize()]
    assert "799 days without samples not shown" in " ".join(t.get_text() for t in fig.texts)
    # the gap is drawn in both rows: to the end of the first day, from the start of the last
    ((a, b), (c, d)) = spans(fig, "gap")
    assert abs(a - at(2 * H)) < pd.Timedelta(seconds=1) and b == pd.Timestamp("2023-06-16")
    assert c == later.normalize() and abs(d - later) < pd.Timedelta(seconds=1)
    with pytest.raises(ValueError, match="max_days=1"):
        morvane_tools.plot_overview(path, max_days=1)


def test_nonwear_windows_do_not_join_days_far_apart(tmp_path):
    # still for the last 30 minutes before midnight, then the clock jumps 800 days and the
    # recording goes on still for 30 minutes: no 60-minute window holds 45 minutes of data
    jump = 800 * 86400.0

    def half_hours_still(t):
        out = motion(np.where((t >= 1800) & (t < 3600 + jump + 1800), STILL[0], t))
        return out

    path = tmp_path / "apart.cwa"
    make(path, duration_s=2 * H, start=dt.datetime(2023, 6, 15, 23, 0, 0),
         gaps=[(375, jump)], motion=half_hours_still)
    fig = morvane_tools.plot_overview(path)
    assert len(rows_of(fig)) == 2
    assert spans(fig, "nonwear") == []
