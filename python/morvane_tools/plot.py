"""Overview picture of a whole recording: one row per device-clock day.

Matplotlib is imported inside the functions, so importing this module stays cheap.
"""

from __future__ import annotations

import datetime as _dt
import os
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:  # pragma: no cover
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["plot_overview"]

_US_MIN = 60_000_000
_US_DAY = 86_400_000_000
_US_HOUR = 3_600_000_000
_QUARTER = 15  # minutes per non-wear step
_WINDOW_QUARTERS = 4  # a 60-minute window is four steps

# non-wear rule: a 60-minute window (moved by 15 minutes) is non-wear when at least two of the
# three accelerometer axes have a standard deviation below 13 mg and a range below 50 mg
_NONWEAR_SD_G = 0.013
_NONWEAR_RANGE_G = 0.05
_NONWEAR_MIN_AXES = 2
_NONWEAR_MIN_MINUTES = 45  # minutes with data a window needs to be judged at all

_AXES = ("acc_x", "acc_y", "acc_z")

# colours chosen to stay apart for the common forms of colour blindness
_C_ENMO = "#1f5f9e"
_C_NONWEAR = "#f2b134"
_C_GAP = "#d62728"
_C_BAD = "#7b1fa2"
_C_TEMP = "#2a9d55"
_C_OFF = "#e6e6e6"


# ---------------------------------------------------------------------------
# Reduction of the samples to per-minute statistics
# ---------------------------------------------------------------------------

@dataclass
class _Minutes:
    """Per-clock-minute statistics of a recording, laid out by day.

    ``days`` are the device-clock days (days since 1970) that hold samples, ascending; every
    array has 1440 entries per day, so entry ``i * 1440 + k`` is minute ``k`` of ``days[i]``.
    Minutes without samples have count 0, sums 0 and lo/hi +inf/-inf. Only days with samples
    take memory, so a device clock that jumps by years costs nothing.
    """

    days: np.ndarray           # int64 (d,)
    count: np.ndarray          # int64 (d * 1440,)
    enmo_sum: np.ndarray       # float64, sum of max(|a| - 1 g, 0) in g
    s1: np.ndarray             # float64 (3, d * 1440), sums per axis
    s2: np.ndarray             # float64 (3, d * 1440), sums of squares per axis
    lo: np.ndarray             # float64 (3, d * 1440), minima per axis
    hi: np.ndarray             # float64 (3, d * 1440), maxima per axis
    temp_sum: np.ndarray       # float64
    temp_count: np.ndarray     # int64, samples with a finite temperature
    first_us: int
    last_us: int
    samples: int
    gaps: np.ndarray           # int64 (g, 2): last sample before, first sample after each gap

    @property
    def enmo_mg(self) -> np.ndarray:
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(self.count > 0, self.enmo_sum / self.count * 1000.0, np.nan)

    @property
    def temperature(self) -> np.ndarray:
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(self.temp_count > 0, self.temp_sum / self.temp_count, np.nan)

    def day_slice(self, day: int) -> slice | None:
        """Entries of a day (days since 1970), or None when it holds no samples."""
        i = int(np.searchsorted(self.days, day))
        if i < self.days.size and self.days[i] == day:
            return slice(i * _MIN_DAY, (i + 1) * _MIN_DAY)
        return None


_MIN_DAY = 1440


@dataclass
class _Accumulator:
    gap_us: int
    parts: list[tuple[np.ndarray, ...]] = field(default_factory=list)
    covered: list[np.ndarray] = field(default_factory=list)
    first_us: int | None = None
    last_us: int | None = None
    samples: int = 0
    scratch: np.ndarray | None = None

    def add(self, frame: Any) -> None:
        n = len(frame)
        if n == 0:
            return
        index = frame.index
        if index.dtype != np.dtype("datetime64[us]"):
            index = index.as_unit("us")
        ts = np.asarray(index.asi8)
        cols = [np.asarray(frame[c].to_numpy(), dtype=np.float32) for c in _AXES]
        temp = (np.asarray(frame["temperature"].to_numpy(), dtype=np.float32)
                if "temperature" in frame.columns else np.full(n, np.nan, np.float32))
        d = np.diff(ts)
        if d.size and d.min() < 0:
            # the clock went back inside the chunk: order the samples by time
            order = np.argsort(ts, kind="stable")
            ts = ts[order]
            cols = [c[order] for c in cols]
            temp = temp[order]
            d = np.diff(ts)
        # stretches covered by samples; the gaps are found between them at the end, so a
        # clock set back across chunks makes no gap where data exist
        big = np.flatnonzero(d > self.gap_us)
        self.covered.append(np.stack([np.concatenate([ts[:1], ts[big + 1]]),
                                      np.concatenate([ts[big], ts[-1:]])], axis=1))
        self.first_us = int(ts[0]) if self.first_us is None else min(self.first_us, int(ts[0]))
        self.last_us = int(ts[-1]) if self.last_us is None else max(self.last_us, int(ts[-1]))
        self.samples += n

        # first sample of every clock minute present in the chunk
        m0 = int(ts[0] // _US_MIN)
        m1 = int(ts[-1] // _US_MIN)
        if m1 - m0 < n:
            starts = np.searchsorted(ts, np.arange(m0, m1 + 1, dtype=np.int64) * _US_MIN)
            s = np.unique(starts[starts < n])   # drops the minutes without samples
        else:  # few samples spread over a long time (a jumping clock): look at each one
            keys = ts // _US_MIN
            s = np.flatnonzero(np.concatenate([[True], keys[1:] != keys[:-1]]))
        minute = ts[s] // _US_MIN
        count = np.diff(np.append(s, n)).astype(np.int64)

        x, y, z = cols
        # scratch buffers reused from chunk to chunk (fresh large arrays cost page faults)
        if self.scratch is None or self.scratch.shape[1] < n:
            self.scratch = np.empty((4, n), dtype=np.float32)
        x2, y2, z2, mag = (b[:n] for b in self.scratch)
        np.multiply(x, x, out=x2)
        np.multiply(y, y, out=y2)
        np.multiply(z, z, out=z2)
        np.add(x2, y2, out=mag)
        mag += z2
        np.sqrt(mag, out=mag)
        mag -= np.float32(1.0)
        np.maximum(mag, np.float32(0.0), out=mag)
        enmo = np.add.reduceat(mag, s, dtype=np.float64)
        s1 = np.stack([np.add.reduceat(c, s, dtype=np.float64) for c in cols])
        s2 = np.stack([np.add.reduceat(c, s, dtype=np.float64) for c in (x2, y2, z2)])
        lo = np.stack([np.minimum.reduceat(c, s) for c in cols]).astype(np.float64)
        hi = np.stack([np.maximum.reduceat(c, s) for c in cols]).astype(np.float64)
        finite = np.isfinite(temp)
        if finite.all():
            tsum = np.add.reduceat(temp, s, dtype=np.float64)
            tcnt = count
        else:
            tsum = np.add.reduceat(np.where(finite, temp, 0), s, dtype=np.float64)
            tcnt = np.add.reduceat(finite.astype(np.int64), s)
        self.parts.append((minute, count, enmo, s1, s2, lo, hi, tsum, tcnt))

    def finish(self) -> _Minutes:
        if not self.parts or self.first_us is None or self.last_us is None:
            raise ValueError("the recording holds no samples to plot")
        minute, count, enmo, s1, s2, lo, hi, tsum, tcnt = (
            np.concatenate(a, axis=-1) for a in zip(*self.parts))
        days = np.unique(minute // _MIN_DAY)
        # a minute split between two chunks appears twice: np.ufunc.at adds both
        at = np.searchsorted(days, minute // _MIN_DAY) * _MIN_DAY + minute % _MIN_DAY
        m = days.size * _MIN_DAY

        def summed(v: np.ndarray, dtype: Any = np.float64) -> np.ndarray:
            out = np.zeros(v.shape[:-1] + (m,), dtype=dtype)
            np.add.at(out, (..., at), v) if v.ndim > 1 else np.add.at(out, at, v)
            return out

        def extreme(v: np.ndarray, how: Any, fill: float) -> np.ndarray:
            out = np.full((3, m), fill)
            for i in range(3):
                how.at(out[i], at, v[i])
            return out

        runs = np.concatenate(self.covered)
        runs = runs[np.argsort(runs[:, 0], kind="stable")]
        reach = np.maximum.accumulate(runs[:, 1])
        hole = np.flatnonzero(runs[1:, 0] - reach[:-1] > self.gap_us)
        gaps = np.stack([reach[hole], runs[hole + 1, 0]], axis=1).astype(np.int64)
        return _Minutes(days, summed(count, np.int64), summed(enmo), summed(s1), summed(s2),
                        extreme(lo, np.minimum, np.inf), extreme(hi, np.maximum, -np.inf),
                        summed(tsum), summed(np.asarray(tcnt, np.int64), np.int64),
                        self.first_us, self.last_us, self.samples, gaps)


def _nonwear_intervals(mins: _Minutes) -> np.ndarray:
    """Non-wear stretches (int64 (k, 2) start/end in microseconds, device clock).

    Windows of 60 minutes start at every clock quarter hour; a window with at least 45 minutes
    of data is non-wear when, in at least two of the three axes, the standard deviation of its
    samples is below 13 mg and their range below 50 mg. The stretches are the union of the
    non-wear windows, clipped to the span of the recording.
    """
    out = []
    # windows run over consecutive days only
    breaks = np.flatnonzero(np.diff(mins.days) != 1) + 1
    for a, b in zip(np.concatenate([[0], breaks]), np.concatenate([breaks, [mins.days.size]])):
        sl = slice(int(a) * _MIN_DAY, int(b) * _MIN_DAY)
        runs = _nonwear_runs(mins.count[sl], mins.s1[:, sl], mins.s2[:, sl], mins.lo[:, sl],
                             mins.hi[:, sl])
        out.append((runs * _QUARTER + int(mins.days[a]) * _MIN_DAY) * _US_MIN)
    iv = np.concatenate(out) if out else np.zeros((0, 2), np.int64)
    iv[:, 0] = np.maximum(iv[:, 0], mins.first_us)
    iv[:, 1] = np.minimum(iv[:, 1], mins.last_us)
    return iv[iv[:, 1] > iv[:, 0]]


def _nonwear_runs(count: np.ndarray, s1: np.ndarray, s2: np.ndarray, lo: np.ndarray,
                  hi: np.ndarray) -> np.ndarray:
    """Runs of non-wear quarter hours (start, stop quarter indices) in whole days of minutes."""
    q = count.size // _QUARTER
    if q < _WINDOW_QUARTERS:
        return np.zeros((0, 2), np.int64)

    def quarters(a: np.ndarray, how: Any) -> np.ndarray:
        return how(a.reshape(*a.shape[:-1], q, _QUARTER), axis=-1)

    def windows(a: np.ndarray, how: Any) -> np.ndarray:
        # combine four consecutive quarters into each 60-minute window
        k = a.shape[-1] - _WINDOW_QUARTERS + 1
        out = a[..., 0:k]
        for j in range(1, _WINDOW_QUARTERS):
            out = how(out, a[..., j:j + k])
        return out

    n = windows(quarters(count, np.sum), np.add)
    with_data = windows(quarters((count > 0).astype(np.int64), np.sum), np.add)
    w1 = windows(quarters(s1, np.sum), np.add)
    w2 = windows(quarters(s2, np.sum), np.add)
    wlo = windows(quarters(lo, np.min), np.minimum)
    whi = windows(quarters(hi, np.max), np.maximum)
    with np.errstate(invalid="ignore", divide="ignore"):
        var = (w2 - w1 * w1 / n) / (n - 1)
    sd = np.sqrt(np.maximum(var, 0.0))
    still = (sd < _NONWEAR_SD_G) & ((whi - wlo) < _NONWEAR_RANGE_G)
    flagged = (still.sum(axis=0) >= _NONWEAR_MIN_AXES) & (with_data >= _NONWEAR_MIN_MINUTES) \
        & (n > 1)
    covered = np.zeros(q, dtype=bool)
    for j in range(_WINDOW_QUARTERS):
        covered[j:j + flagged.size] |= flagged
    return _runs(covered)


def _runs(mask: np.ndarray) -> np.ndarray:
    """(k, 2) start/stop indices of the runs of True in a boolean array."""
    padded = np.concatenate([[False], mask, [False]])
    change = np.flatnonzero(padded[1:] != padded[:-1])
    return change.reshape(-1, 2).astype(np.int64)


def _bad_block_places(table: Any) -> np.ndarray:
    """Where bad blocks sit on the clock: int64 (k, 2) start/end in microseconds.

    A bad block carries no usable time, so each run of bad blocks (consecutive, or separated
    only by empty or erased blocks) is placed between the end of the nearest earlier block
    with samples and the start of the nearest later one. With a neighbour on one
    side only, the run is placed at that neighbour's time; a run with no neighbour at all
    cannot be placed and is left out.
    """
    status = np.asarray(table["status"].to_numpy(), dtype=object)
    bad = status == "bad"
    if not bad.any():
        return np.zeros((0, 2), np.int64)
    start = table["start"].to_numpy().astype("datetime64[us]")
    end = table["end"].to_numpy().astype("datetime64[us]")
    timed = (status == "data") & ~np.isnat(start) & ~np.isnat(end)
    start_us = start.view(np.int64)
    end_us = end.view(np.int64)
    timed_rows = np.flatnonzero(timed)
    # bad blocks with the same timed neighbours form one run, whatever lies between them
    slots = np.unique(np.searchsorted(timed_rows, np.flatnonzero(bad)))
    out = []
    for j in slots:
        before = int(end_us[timed_rows[j - 1]]) if j > 0 else None
        after = int(start_us[timed_rows[j]]) if j < timed_rows.size else None
        if before is None and after is None:
            continue
        if before is None:
            before = after
        if after is None:
            after = before
        if after < before:  # the clock went back across the run
            before, after = after, before
        out.append((before, after))
    return np.array(out, dtype=np.int64).reshape(-1, 2)


@dataclass
class _Overview:
    minutes: _Minutes
    nonwear: np.ndarray
    bad: np.ndarray              # where the bad blocks lie (start, end) in device microseconds
    skipped_blocks: int
    metadata: dict
    left_out: int = 0            # days without samples that got no row

    def __post_init__(self) -> None:
        # gaps less than a minute apart are one mark: the row has about a pixel per minute
        self.gap_marks = _merge_close(self.minutes.gaps, _US_MIN)


def _collect(path: str, *, min_gap_s: float, nonwear: bool, chunk_blocks: int,
             verify_checksums: bool) -> _Overview:
    import morvane_tools as mt

    metadata = mt.read_metadata(path)
    gap_s = min_gap_s
    rate = metadata.get("sample_rate_hz")
    if isinstance(rate, (int, float)) and rate > 0:
        # a threshold below the sample period would make every sample interval a gap
        gap_s = max(gap_s, 2.0 / rate)
    acc = _Accumulator(gap_us=int(round(gap_s * 1e6)))
    chunks = mt.iter_chunks(path, chunk_blocks=chunk_blocks, include_magnetometer=False,
                            include_temperature=True, include_light=False,
                            include_battery=False, bad_blocks="skip",
                            verify_checksums=verify_checksums)
    for frame in chunks:
        acc.add(frame)
    report = getattr(chunks, "report", None) or {}
    minutes = acc.finish()
    skipped = list(report.get("skipped_blocks") or [])
    bad: np.ndarray = np.zeros((0, 2), np.int64)
    if skipped:
        bad = _bad_block_places(mt.block_table(path, verify_checksums=verify_checksums))
    nw = _nonwear_intervals(minutes) if nonwear else np.zeros((0, 2), np.int64)
    return _Overview(minutes, nw, bad, len(skipped), metadata)


# ---------------------------------------------------------------------------
# Drawing
# ---------------------------------------------------------------------------

def _merge_close(iv: np.ndarray, tol_us: int) -> np.ndarray:
    """Merge intervals (sorted by start) less than ``tol_us`` apart, for drawing."""
    if len(iv) < 2:
        return iv
    iv = iv[np.argsort(iv[:, 0], kind="stable")]
    ends = np.maximum.accumulate(iv[:, 1])
    new = np.concatenate([[True], iv[1:, 0] - ends[:-1] >= tol_us])
    group = np.cumsum(new) - 1
    out = np.empty((int(group[-1]) + 1, 2), dtype=np.int64)
    out[:, 0] = iv[new, 0]
    out[:, 1] = np.maximum.reduceat(iv[:, 1], np.flatnonzero(new))
    return out


def _day_slices(iv: np.ndarray, day0: int) -> tuple[np.ndarray, np.ndarray]:
    """Intervals (us) clipped to the day starting at ``day0``, as (start h, width h)."""
    if not iv.size:
        return np.zeros(0), np.zeros(0)
    a = np.clip(iv[:, 0], day0, day0 + _US_DAY)
    b = np.clip(iv[:, 1], day0, day0 + _US_DAY)
    keep = (b > a) | ((iv[:, 0] >= day0) & (iv[:, 0] < day0 + _US_DAY))
    a, b = a[keep], b[keep]
    return (a - day0) / _US_HOUR, (b - a) / _US_HOUR


def _nice_ceil(v: float) -> float:
    if not np.isfinite(v) or v <= 0:
        return 100.0
    mag = 10 ** np.floor(np.log10(v))
    for f in (1, 1.5, 2, 2.5, 3, 4, 5, 6, 8, 10):
        if f * mag >= v:
            return float(f * mag)
    return float(10 * mag)


def _title_lines(ov: _Overview) -> tuple[str, str]:
    md = ov.metadata
    mins = ov.minutes
    first = np.datetime64(mins.first_us, "us").astype(_dt.datetime)
    last = np.datetime64(mins.last_us, "us").astype(_dt.datetime)
    start_text = str(md.get("start_from_data_raw") or first.isoformat())
    end_text = str(md.get("end_from_data_raw") or last.isoformat())
    d0, d1 = start_text[:10], end_text[:10]
    dates = d0 if d0 == d1 else f"{d0} to {d1}"
    head = (f"{md.get('hardware_type', 'CWA')} device {md.get('device_id', '?')}, "
            f"session {md.get('session_id', '?')}: {dates}")
    span_h = (mins.last_us - mins.first_us) / _US_HOUR
    gap_h = float((mins.gaps[:, 1] - mins.gaps[:, 0]).sum()) / _US_HOUR if mins.gaps.size else 0.0
    nw_h = float((ov.nonwear[:, 1] - ov.nonwear[:, 0]).sum()) / _US_HOUR \
        if ov.nonwear.size else 0.0
    rate = md.get("sample_rate_hz")
    parts = [f"{start_text.replace('T', ' ')} to {end_text.replace('T', ' ')} "
             f"({span_h:.1f} h, device clock)",
             f"{mins.samples:,} samples" + (f" at {rate:g} Hz" if rate else ""),
             f"{len(mins.gaps)} gap{'s' if len(mins.gaps) != 1 else ''} ({gap_h:.2f} h)",
             f"non-wear {nw_h:.1f} h"]
    parts.append(f"{ov.skipped_blocks} bad block{'s' if ov.skipped_blocks != 1 else ''}")
    if ov.left_out:
        parts.append(f"{ov.left_out} days without samples not shown")
    return head, " · ".join(parts)


def _legend_handles(temperature: bool) -> list[Any]:
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    handles = [Patch(facecolor=_C_ENMO, alpha=0.85, label="ENMO per minute (mg)"),
               Patch(facecolor=_C_NONWEAR, alpha=0.45, label="non-wear"),
               Patch(facecolor=(1, 0, 0, 0.12), edgecolor=_C_GAP, hatch="////",
                     label="gap (no data)"),
               Line2D([], [], color=_C_BAD, marker="v", linestyle="none",
                      label="bad block"),
               Patch(facecolor=_C_OFF, label="not recording")]
    if temperature:
        handles.insert(1, Line2D([], [], color=_C_TEMP, lw=1.2, label="temperature (°C)"))
    return handles


def _draw_day(ax: Any, ov: _Overview, day0: int, ymax: float,
              trange: tuple[float, float] | None, last_row: bool) -> None:
    from matplotlib.patches import StepPatch
    from matplotlib.transforms import blended_transform_factory

    mins = ov.minutes
    values = np.full(_MIN_DAY, np.nan)
    temps = np.full(_MIN_DAY, np.nan)
    sl = mins.day_slice(day0 // _US_DAY)
    if sl is not None:
        values = mins.enmo_mg[sl]
        temps = mins.temperature[sl]
    edges = np.arange(1441) / 60.0

    ax.set_xlim(0, 24)
    ax.set_ylim(0, ymax)
    ax.set_xticks(np.arange(0, 25, 3))
    ax.set_xticks(np.arange(0, 24, 1), minor=True)
    ax.set_xticklabels([f"{h:02d}:00" for h in range(0, 25, 3)] if last_row else [])
    ax.tick_params(axis="x", labelbottom=last_row)
    ax.set_yticks([0, ymax / 2, ymax])
    ax.tick_params(axis="both", labelsize=8)
    ax.grid(axis="x", which="major", color="0.8", lw=0.6)
    ax.grid(axis="x", which="minor", color="0.92", lw=0.4)
    ax.set_axisbelow(True)
    date = np.datetime64(day0, "us").astype(_dt.datetime)
    ax.set_ylabel(date.strftime("%a\n%Y-%m-%d"), rotation=0, ha="right", va="center",
                  fontsize=9, labelpad=6)

    full_h = ax.get_ylim()
    # outside the recording
    off = np.array([[day0, mins.first_us], [mins.last_us, day0 + _US_DAY]], dtype=np.int64)
    off = off[off[:, 1] > off[:, 0]]
    xs, ws = _day_slices(off, day0)
    if xs.size:
        ax.broken_barh(list(zip(xs, ws)), full_h, facecolors=_C_OFF, zorder=0.5,
                       gid="not_recording")
    xs, ws = _day_slices(ov.nonwear, day0)
    if xs.size:
        ax.broken_barh(list(zip(xs, ws)), full_h, facecolors=_C_NONWEAR, alpha=0.45,
                       zorder=0.6, gid="nonwear")
    # added as an artist: the limits are fixed already, and Axes.add_patch would walk every
    # vertex of the trace to update data limits (the slowest step of the whole picture)
    trace = StepPatch(values, edges, baseline=0.0, fill=True, facecolor=_C_ENMO, alpha=0.85,
                      lw=0, zorder=2, gid="enmo")
    ax.add_artist(trace)
    bottom = blended_transform_factory(ax.transData, ax.transAxes)
    xs, ws = _day_slices(ov.gap_marks, day0)
    if xs.size:
        ax.broken_barh(list(zip(xs, ws)), full_h, facecolors=(1, 0, 0, 0.12),
                       edgecolors=_C_GAP, hatch="////", lw=0.5, zorder=3, gid="gap")
        ax.plot(xs + ws / 2, np.zeros(xs.size), transform=bottom, linestyle="none",
                marker="^", ms=6, color=_C_GAP, clip_on=False, zorder=4, gid="gap_marks")
    if ov.bad.size:
        xs, ws = _day_slices(ov.bad, day0)
        if xs.size:
            ax.plot(xs + ws / 2, np.ones(xs.size), transform=bottom, linestyle="none",
                    marker="v", ms=7, color=_C_BAD, clip_on=False, zorder=4, gid="bad_blocks")
    if trange is not None:
        tw = ax.twinx()
        tw.plot((edges[:-1] + edges[1:]) / 2, temps, color=_C_TEMP, lw=1.2, gid="temperature")
        tw.set_ylim(*trange)
        tw.set_yticks(np.linspace(trange[0], trange[1], 3))
        tw.tick_params(axis="y", labelsize=8, colors=_C_TEMP)
        tw.set_xlim(0, 24)


def _split_region(ax: Any, n: int) -> list[Any]:
    """Divide the region of ``ax`` into ``n`` stacked rows; ``ax`` becomes the top row."""
    if n == 1:
        return [ax]
    fig = ax.get_figure()
    cell = ax.get_subplotspec()
    if cell is not None:
        sub = cell.subgridspec(n, 1, hspace=0.15)
        ax.set_subplotspec(sub[0])
        return [ax] + [fig.add_subplot(sub[i]) for i in range(1, n)]
    box = ax.get_position()
    gap = 0.15 * box.height / n
    h = (box.height - gap * (n - 1)) / n
    rows = []
    for i in range(n):
        rect = (box.x0, box.y1 - (i + 1) * h - i * gap, box.width, h)
        if i == 0:
            ax.set_position(rect)
            rows.append(ax)
        else:
            rows.append(fig.add_axes(rect))
    return rows


def plot_overview(path: str | os.PathLike[str], ax: Axes | Sequence[Axes] | None = None, *,
                  nonwear: bool = True, temperature: bool = True,
                  enmo_max_mg: float | None = None, min_gap_s: float = 1.0,
                  title: str | None = None, width: float = 14.0, row_height: float = 1.25,
                  max_days: int = 62, chunk_blocks: int = 8192,
                  verify_checksums: bool = True) -> Figure:
    """Draw an at-a-glance overview of a recording, one row per device-clock day.

    Each row spans 00:00 to 24:00 of one day on the device clock (ticks every 3 h) and shows
    the ENMO per clock minute (mean of max(|a| - 1 g, 0), in mg) as a filled trace, non-wear
    shaded, gaps (stretches without samples) hatched with a marker at the bottom edge, bad
    blocks as markers at the top edge, and the per-minute mean temperature on a second y axis.
    Time before the first and after the last sample is shaded grey. The title names the
    device, session and dates; a second line summarises samples, gaps, non-wear and bad blocks.

    The samples are read in chunks and reduced to per-minute statistics, so memory does not
    grow with the length of the recording.

    Parameters
    ----------
    path : str or os.PathLike
        A CWA recording (plain or gzip-compressed).
    ax : matplotlib.axes.Axes or sequence of Axes, optional
        None (default) makes a new figure ``width`` inches wide with one row per day. A single
        Axes: the overview is drawn into the region that Axes occupies in its figure; with
        several days the region is divided into stacked rows (through a sub-grid of the Axes'
        grid cell when it has one, otherwise by its position) and the given Axes becomes
        the first day. A sequence of Axes: one per day, in order; its length must equal the
        number of days. With an Axes given, the title is set on the top row and the figure's
        own title is left alone.
    nonwear : bool, default True
        Shade non-wear: 60-minute windows starting at each clock quarter hour in which at least
        two of the three axes have a standard deviation below 13 mg and a range below 50 mg
        (judged only for windows with at least 45 minutes of data).
    temperature : bool, default True
        Draw the temperature on a second y axis per row.
    enmo_max_mg : float, optional
        Top of the ENMO axis, the same for every row; default: a round number above the
        99.9th percentile of the minute values (at least 50 mg).
    min_gap_s : float, default 1.0
        Samples further apart than this (and than two nominal sample periods) make a gap.
        Gaps less than a minute apart are drawn as one.
    title : str, optional
        Replaces the first title line (device, session and dates).
    width, row_height : float
        Size in inches of a new figure: ``width`` wide, ``row_height`` per day plus 1.25 in
        for titles, legend and axis labels. Ignored when ``ax`` is given.
    max_days : int, default 62
        Most rows drawn. When the first and last sample are further apart, only the days
        that hold samples get rows (the summary line says how many were left out); a
        ValueError is raised when even those are more.
    chunk_blocks : int, default 8192
        Blocks read at a time.
    verify_checksums : bool, default True
        Passed to the reader; blocks failing their checksum are bad blocks.

    Returns
    -------
    matplotlib.figure.Figure
        The new figure (with an Agg canvas, so ``fig.savefig("x.png")`` works without pyplot
        and without touching the global backend), or the figure of ``ax``. Artists carry gids
        for inspection: "enmo" (StepPatch), "temperature", "nonwear", "gap", "gap_marks",
        "bad_blocks", "not_recording".

    Raises
    ------
    ValueError
        For bad arguments, or a recording without any samples.
    TypeError
        When ``ax`` is neither an Axes nor a sequence of Axes.
    """
    from matplotlib.axes import Axes as _Axes

    if not isinstance(min_gap_s, (int, float)) or not min_gap_s > 0:
        raise ValueError("min_gap_s must be a positive number")
    if enmo_max_mg is not None and not (isinstance(enmo_max_mg, (int, float))
                                        and enmo_max_mg > 0):
        raise ValueError("enmo_max_mg must be a positive number")
    if not (width > 0 and row_height > 0):
        raise ValueError("width and row_height must be positive")
    if not isinstance(max_days, int) or max_days < 1:
        raise ValueError("max_days must be a positive integer")
    if not isinstance(chunk_blocks, int) or chunk_blocks < 1:
        raise ValueError("chunk_blocks must be a positive integer")
    rows_given: list[Any] | None = None
    if ax is not None:
        if isinstance(ax, _Axes):
            rows_given = [ax]
        elif isinstance(ax, Sequence) and ax and all(isinstance(a, _Axes) for a in ax):
            rows_given = list(ax)
        else:
            raise TypeError("ax must be a matplotlib Axes or a sequence of Axes")

    ov = _collect(os.fspath(path), min_gap_s=float(min_gap_s), nonwear=nonwear,
                  chunk_blocks=chunk_blocks, verify_checksums=verify_checksums)
    mins = ov.minutes
    day_first = mins.first_us // _US_DAY
    day_last = mins.last_us // _US_DAY
    span = day_last - day_first + 1
    if span <= max_days:
        days = [int(d) * _US_DAY for d in range(day_first, day_last + 1)]
    elif mins.days.size <= max_days:
        # a long span (a clock that jumped, say): only the days with samples get rows
        days = [int(d) * _US_DAY for d in mins.days]
        ov.left_out = span - len(days)
    else:
        raise ValueError(f"the recording has samples on {mins.days.size} device-clock days, "
                         f"more than max_days={max_days} rows")
    n = len(days)

    if rows_given is None:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure as _Figure

        top_in, bottom_in = 0.85, 0.4
        height = top_in + bottom_in + n * row_height
        fig = _Figure(figsize=(width, height))
        FigureCanvasAgg(fig)
        gs = fig.add_gridspec(n, 1, left=1.4 / width, right=1 - 0.6 / width,
                              top=1 - top_in / height, bottom=bottom_in / height, hspace=0.18)
        rows = [fig.add_subplot(gs[i]) for i in range(n)]
    else:
        if len(rows_given) == 1:
            rows = _split_region(rows_given[0], n)
        elif len(rows_given) == n:
            rows = rows_given
        else:
            raise ValueError(f"the recording spans {n} day(s) but {len(rows_given)} Axes "
                             "were given")
        fig = rows[0].get_figure()

    enmo = mins.enmo_mg
    if enmo_max_mg is None:
        finite = enmo[np.isfinite(enmo)]
        top = float(np.percentile(finite, 99.9)) if finite.size else 0.0
        ymax = _nice_ceil(max(top * 1.05, 50.0))
    else:
        ymax = float(enmo_max_mg)
    trange = None
    if temperature:
        t = mins.temperature
        t = t[np.isfinite(t)]
        if t.size:
            lo, hi = float(np.floor(t.min())), float(np.ceil(t.max()))
            if hi - lo < 4:
                mid = (lo + hi) / 2
                lo, hi = np.floor(mid - 2), np.ceil(mid + 2)
            if (hi - lo) % 2:
                hi += 1  # whole degrees at all three ticks
            trange = (float(lo), float(hi))
    for i, (row, day0) in enumerate(zip(rows, days)):
        _draw_day(row, ov, day0, ymax, trange, last_row=(i == n - 1))

    head, info = _title_lines(ov)
    if title is not None:
        head = title
    handles = _legend_handles(trange is not None)
    if rows_given is None:
        fig.suptitle(head, x=1.4 / width, ha="left", y=1 - 0.08 / fig.get_figheight(),
                     va="top", fontsize=12, fontweight="bold")
        fig.text(1.4 / width, 1 - 0.36 / fig.get_figheight(), info, ha="left", va="top",
                 fontsize=9, color="0.25")
        fig.legend(handles=handles, loc="upper right", ncol=len(handles), frameon=False,
                   fontsize=8, bbox_to_anchor=(1 - 0.6 / width, 1 - 0.55 / fig.get_figheight()),
                   borderaxespad=0.0, handlelength=1.6)
    else:
        rows[0].set_title(f"{head}\n{info}", loc="left", fontsize=9)
        rows[-1].legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.35),
                        ncol=len(handles), frameon=False, fontsize=7)
    return fig
