"""Non-wear: the one rule that says when the device was not worn (van Hees et al. 2011, 2013)."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

from . import binning as B
from . import days as D
from .coverage import Recorded
from .threads import resolve

__all__ = ["detect_nonwear", "NonwearAccumulator", "NonwearRule", "intervals_frame"]


class NonwearRule:
    """Checked options of the non-wear rule (lengths in microseconds)."""

    def __init__(self, window: Any = "60min", step: Any = "15min", sd_g: float = 0.013,
                 range_g: float = 0.05, min_axes: int = 2) -> None:
        self.window, self.step = check_nonwear_options(window, step, sd_g, range_g, min_axes)
        self.sd_g, self.range_g, self.min_axes = float(sd_g), float(range_g), int(min_axes)


class NonwearAccumulator:
    """Moments and extremes per block of gcd(window, step), over samples fed in consecutive
    pieces; shared by :func:`detect_nonwear` and ``prepare``. Windows start at whole multiples
    of the step since the first sample's midnight (on a zone's clock, its local midnight; a
    step that divides an hour keeps to each later local midnight too)."""

    def __init__(self, tz: Any, first_us: int, rule: NonwearRule, workers: int = 1) -> None:
        self.rule = rule
        self.origin = D.first_midnight(tz, first_us)
        self.window, self.step = rule.window, rule.step
        self.block = math.gcd(self.window, self.step)
        self.feeder = B.BinFeeder(D.UniformGrid(self.origin, self.block), B.moment_kernel(True),
                                  B.MOMENT_REDUCERS, workers)

    def feed(self, t: np.ndarray, cols: list[np.ndarray]) -> None:
        """``cols``: acc_x, acc_y, acc_z."""
        self.feeder.feed(t, cols)

    def intervals(self, recorded: Recorded) -> tuple[np.ndarray, np.ndarray]:
        """Merged non-wear intervals as (start, end) int64 microseconds, end exclusive; a
        window is judged only when it was recorded throughout."""
        sd_g, range_g, min_axes = self.rule.sd_g, self.rule.range_g, self.rule.min_axes
        ids, st = self.feeder.finish()
        empty = np.zeros(0, dtype=np.int64)
        k = self.window // self.block
        m = self.step // self.block
        if not len(ids):
            return empty, empty
        b0 = int(ids[0])
        nb = int(ids[-1]) - b0 + 1
        pos = ids - b0
        n = np.zeros(nb, dtype=np.int64)
        n[pos] = st["n"]
        s1 = np.zeros((nb, 3))
        s2 = np.zeros((nb, 3))
        s1[pos], s2[pos] = st["s1"], st["s2"]
        mn = np.full((nb, 3), np.inf, dtype=np.float32)
        mx = np.full((nb, 3), -np.inf, dtype=np.float32)
        mn[pos], mx[pos] = st["min"], st["max"]
        # windows start on blocks j*m (global numbering) and span k blocks
        j0 = -(-b0 // m)
        j1 = (b0 + nb - k) // m
        if j1 < j0:
            return empty, empty
        wstart = np.arange(j0, j1 + 1, dtype=np.int64) * m - b0   # local block index
        win = np.lib.stride_tricks.sliding_window_view

        def over(a: np.ndarray, how: Any) -> np.ndarray:
            return how(win(a, k, axis=0)[wstart], axis=-1)

        ws = self.origin + (wstart + b0) * self.block
        we = ws + self.window
        valid = recorded.throughout(ws, we)
        cnt = over(n, np.sum)
        valid &= cnt > 1
        sd = B.sd_from_moments(cnt, over(s1, np.sum), over(s2, np.sum))
        rng = over(mx, np.max).astype(np.float64) - over(mn, np.min).astype(np.float64)
        with np.errstate(invalid="ignore"):
            still = ((sd < sd_g) & (rng < range_g)).sum(axis=1) >= min_axes
        hit = np.flatnonzero(valid & still)
        if not hit.size:
            return empty, empty
        s, e = ws[hit], we[hit]
        reach = np.maximum.accumulate(e)
        new = np.ones(len(s), dtype=bool)
        new[1:] = s[1:] > reach[:-1]
        grp = np.cumsum(new) - 1
        starts = s[new]
        ends = np.zeros(len(starts), dtype=np.int64)
        np.maximum.at(ends, grp, e)
        return starts, ends


def intervals_frame(starts: np.ndarray, ends: np.ndarray, tz: Any) -> pd.DataFrame:
    def times(v: np.ndarray) -> Any:
        idx = pd.DatetimeIndex(v.astype("datetime64[us]"))
        if tz is not None:
            idx = idx.tz_localize("UTC").tz_convert(tz)
        return idx

    return pd.DataFrame({"start": times(starts), "end": times(ends),
                         "duration_s": (ends - starts) / 1e6})


def check_nonwear_options(window: Any, step: Any, sd_g: float, range_g: float,
                          min_axes: int) -> tuple[int, int]:
    w = B.length_us(window, "window")
    s = B.length_us(step, "step")
    if s > w:
        raise ValueError("step must not be longer than window")
    if not (sd_g > 0 and range_g > 0):
        raise ValueError("sd_g and range_g must be positive")
    if not 1 <= int(min_axes) <= 3:
        raise ValueError("min_axes must be 1, 2 or 3")
    return w, s


def detect_nonwear(frame: pd.DataFrame, *, window: Any = "60min", step: Any = "15min",
                   sd_g: float = 0.013, range_g: float = 0.05,
                   min_axes: int = 2, timezone: Any = None, device_timezone: Any = None,
                   threads: int | None = None) -> pd.DataFrame:
    """Find when the device was not worn (van Hees et al. 2011, 2013).

    Windows of length ``window`` start at every whole multiple of ``step`` since the
    midnight (on the index's clock: the device clock, or the zone's local midnight) before the
    first sample. A window is non-wear when, in at least ``min_axes`` of the three
    accelerometer axes, the sample standard deviation is below ``sd_g`` and the range
    (maximum - minimum) below ``range_g``. Overlapping or touching non-wear windows merge
    into one interval.

    A window is judged only when it was recorded throughout (:mod:`morvane_tools.coverage`):
    it lies between the first and the last sample and no gap touches it (a gap as the
    quality report counts them, found here from the sample times). Windows with missing data
    (gaps, the ragged ends of the recording) are neither wear nor non-wear, so an interval
    never spans a gap.

    Parameters
    ----------
    frame : pandas.DataFrame
        Samples with a DatetimeIndex and ``acc_x``, ``acc_y``, ``acc_z`` in g. Not modified.
    window, step : str or timedelta, default "60min", "15min"
        Window length and the distance between window starts (``step <= window``).
    sd_g, range_g : float, default 0.013, 0.05
        Per-axis thresholds on the standard deviation and the range, in g.
    min_axes : int, default 2
        How many axes must be below both thresholds.
    timezone, device_timezone : optional
        As in :func:`morvane_tools.epochs`: windows then start at local midnight and the
        intervals are instants in the wearer's zone.
    threads : int, optional
        Threads that may work at once (default: the cores; one inside a Dask worker).

    Returns
    -------
    pandas.DataFrame
        One row per interval, in time order: ``start``, ``end`` (datetime64[us], end
        exclusive, aware when the input is) and ``duration_s`` (float64).
    """
    B.check_frame(frame)
    rule = NonwearRule(window, step, sd_g, range_g, min_axes)
    t, tz = B.frame_times(frame, timezone, device_timezone)
    if len(frame) == 0:
        e = np.zeros(0, dtype=np.int64)
        return intervals_frame(e, e, tz)
    acc = NonwearAccumulator(tz, int(t[0]), rule, resolve(threads))
    acc.feed(t, [B.column(frame, c) for c in B.ACC])
    return intervals_frame(*acc.intervals(Recorded.from_samples(t)), tz)
