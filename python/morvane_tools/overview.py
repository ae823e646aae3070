"""What the overview picture shows, computed once and by the package's own definitions.

The per-minute ENMO and temperature are ``prepare(path, calibrate=False, epoch="60s")``'s
epochs, so they equal ``epochs(frame, "60s")`` of the read frame; the non-wear intervals are
:func:`morvane_tools.detect_nonwear`'s rule; the gaps are the quality report's. Drawing lives in
:mod:`morvane_tools.plot`.
"""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from . import days as D
from .options import ReadOptions, fs_path
from .prepare import prepare_with

__all__ = ["Overview", "overview_statistics", "bad_block_places", "row_values",
           "row_segments", "MINUTE_US"]

MINUTE_US = 60_000_000
_MIN_DAY = 1440


@dataclass
class Overview:
    """The statistics of one recording's picture. Times are microseconds of the display
    clock (naive device time, or UTC instants shown in ``tz``); intervals are (k, 2) arrays of
    start and end."""

    minutes: pd.DataFrame       # the 60-second epoch table
    nonwear: np.ndarray
    gaps: np.ndarray
    bad: np.ndarray             # where bad blocks lie
    skipped_blocks: int
    metadata: dict[str, Any]
    quality: dict[str, Any]
    tz: _dt.tzinfo | None
    offset_us: int | None
    first_us: int
    last_us: int
    sleep: np.ndarray | None = None    # each night's sleep window, when asked for

    @property
    def starts_us(self) -> np.ndarray:
        return np.asarray(self.minutes.index.as_unit("us").asi8)

    @property
    def samples(self) -> int:
        return int(self.quality.get("samples") or 0)

    def row_days(self, max_days: int) -> tuple[list[int], int]:
        """The calendar days that get a row, and how many days without samples were left
        out (only when the span is longer than ``max_days``)."""
        d0 = D.date_of(self.tz, self.first_us)
        d1 = D.date_of(self.tz, self.last_us)
        if d1 - d0 + 1 <= max_days:
            return list(range(d0, d1 + 1)), 0
        held = self.minutes.index[self.minutes["samples"].to_numpy() > 0]
        with_samples = sorted({D.date_of(self.tz, int(t)) for t in
                               np.unique(np.asarray(held.as_unit("us").asi8) // MINUTE_US
                                         * MINUTE_US)})
        if len(with_samples) > max_days:
            raise ValueError(f"the recording has samples on {len(with_samples)} days, more than "
                             f"max_days={max_days} rows")
        return with_samples, (d1 - d0 + 1) - len(with_samples)


def bad_block_places(table: pd.DataFrame) -> np.ndarray:
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
    start = pd.DatetimeIndex(table["start"]).as_unit("us")
    end = pd.DatetimeIndex(table["end"]).as_unit("us")
    timed = (status == "data") & ~np.asarray(start.isna()) & ~np.asarray(end.isna())
    start_us = np.asarray(start.asi8)
    end_us = np.asarray(end.asi8)
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


def overview_statistics(path: Any, *, nonwear: bool = True, chunk_blocks: int = 8192,
                        verify_checksums: bool = True, timezone: Any = None,
                        device_timezone: Any = None, threads: int | None = None,
                        sleep: bool = False, nights: pd.DataFrame | None = None) -> Overview:
    """Reduce a recording to what its overview shows (one pass over the samples). With
    ``sleep`` the samples are calibrated first and each night's sleep window found
    (:func:`morvane_tools.sleep.nightly_sleep`); ``nights`` gives the windows instead."""
    from .survey import block_table

    p = fs_path(path)
    options = ReadOptions.of(timezone=timezone, device_timezone=device_timezone,
                             verify_checksums=verify_checksums, threads=threads)
    done = prepare_with(p, options, calibrate=sleep, nonwear=nonwear or sleep, lowpass_hz=None,
                        epoch_us=MINUTE_US, chunk_blocks=chunk_blocks, anglez=sleep,
                        enmo_only=True)
    survey = done.survey
    if survey is None or done.recorded.last_us < done.recorded.first_us:
        raise ValueError("the recording holds no samples to plot")
    g0, g1 = survey.gaps_us(done.offset_us)
    gaps = np.stack([g0, g1], axis=1) if g0.size else np.zeros((0, 2), np.int64)
    nw = (np.stack(done.nonwear, axis=1) if done.nonwear is not None and done.nonwear[0].size
          else np.zeros((0, 2), np.int64))
    skipped = list((done.report or {}).get("skipped_blocks") or [])
    bad = np.zeros((0, 2), np.int64)
    if skipped:
        bad = bad_block_places(block_table(p, verify_checksums=verify_checksums))
        if done.offset_us:
            bad = bad - done.offset_us
    quality = survey.quality_report(options.clock)
    if sleep and nights is None:
        from .sleep import nightly_sleep, not_worn

        nights = nightly_sleep(done.anglez, nonwear=not_worn(done.table_5s, done.anglez.index))
    if not nonwear:
        nw = np.zeros((0, 2), np.int64)
    windows = None if nights is None else _windows(nights, options.clock.display)
    return Overview(done.table, nw, gaps, bad, len(skipped), survey.metadata, quality,
                    options.clock.display, done.offset_us, done.recorded.first_us,
                    done.recorded.last_us, windows)


def _windows(nights: pd.DataFrame, tz: Any) -> np.ndarray:
    """The nights' windows (sleep onset to wake) as (k, 2) microseconds of the display clock."""
    out = []
    for onset, wake in zip(nights["sleep_onset"], nights["wake"]):
        if pd.isna(onset) or pd.isna(wake):
            continue
        a, b = pd.Timestamp(onset), pd.Timestamp(wake)
        if tz is None:
            a, b = (a.tz_localize(None), b.tz_localize(None)) if a.tz is not None else (a, b)
        elif a.tz is None:
            a, b = a.tz_localize(tz), b.tz_localize(tz)
        out.append((a.value // 1000, b.value // 1000))   # Timestamp.value is in ns
    return np.array(out, dtype=np.int64).reshape(-1, 2)


# --------------------------------------------------------------------------- rows

def row_values(ov: Overview, day: int, column: str) -> tuple[np.ndarray, np.ndarray | None]:
    """A column's per-minute values on a day's row, by wall-clock minute (1440 slots), and,
    on a day whose clock was set back, the second pass through the repeated minutes (1440
    slots, NaN elsewhere; None on other days)."""
    m0, m1 = D.midnight_us(ov.tz, day), D.midnight_us(ov.tz, day + 1)
    starts = ov.starts_us
    lo, hi = np.searchsorted(starts, m0), np.searchsorted(starts, m1)
    values = ov.minutes[column].to_numpy(dtype=np.float64)[lo:hi]
    wall = D.naive_us(ov.tz, starts[lo:hi]) - day * D.DAY_US
    slot = wall // MINUTE_US
    first = np.full(_MIN_DAY, np.nan)
    keep = (slot >= 0) & (slot < _MIN_DAY)
    slot, values = slot[keep], values[keep]
    _, where = np.unique(slot, return_index=True)
    once = np.zeros(slot.size, dtype=bool)
    once[where] = True
    first[slot[once]] = values[once]
    if once.all():
        return first, None
    second = np.full(_MIN_DAY, np.nan)
    second[slot[~once]] = values[~once]
    return first, second


def row_segments(iv: np.ndarray, tz: _dt.tzinfo | None, day: int) -> tuple[np.ndarray, np.ndarray]:
    """Intervals (microseconds of the display clock) as they fall on a day's row: (start,
    width) in wall-clock hours. An interval that crosses a clock change is cut there, so on
    the row it leaves out the skipped hour and passes the repeated one twice."""
    if not iv.size:
        return np.zeros(0), np.zeros(0)
    m0, m1 = D.midnight_us(tz, day), D.midnight_us(tz, day + 1)
    a = np.clip(iv[:, 0], m0, m1)
    b = np.clip(iv[:, 1], m0, m1)
    # a point interval (a bad block placed at one time) stays, at its place
    keep = (b > a) | ((iv[:, 0] >= m0) & (iv[:, 0] < m1))
    a, b = a[keep], b[keep]
    cuts = D.transitions(tz, m0, m1) if tz is not None else []
    xs, ws = [], []
    for lo, hi in zip(a.tolist(), b.tolist()):
        edges = [lo] + [c for c in cuts if lo < c < hi] + [hi]
        for p, q in zip(edges[:-1], edges[1:]):
            # the end of a piece is read on the clock of its inside
            wp = int(D.naive_us(tz, np.array([p]))[0])
            wq = int(D.naive_us(tz, np.array([q - 1]))[0]) + 1 if q > p else wp
            xs.append((wp - day * D.DAY_US) / D.HOUR_US)
            ws.append((wq - wp) / D.HOUR_US)
    return np.asarray(xs), np.asarray(ws)


def clock_changes(tz: _dt.tzinfo | None, day: int) -> list[tuple[float, float, str]]:
    """The clock changes of a day's row as (start hour, end hour, "skipped" or "repeated")."""
    if tz is None:
        return []
    m0, m1 = D.midnight_us(tz, day), D.midnight_us(tz, day + 1)
    out = []
    for c in D.transitions(tz, m0, m1):
        before = int(D.naive_us(tz, np.array([c - 1]))[0]) + 1
        after = int(D.naive_us(tz, np.array([c]))[0])
        lo, hi = sorted((before, after))
        kind = "skipped" if after > before else "repeated"
        out.append(((lo - day * D.DAY_US) / D.HOUR_US, (hi - day * D.DAY_US) / D.HOUR_US, kind))
    return out
