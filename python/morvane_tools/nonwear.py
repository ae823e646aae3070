"""Non-wear detection after van Hees et al. (2011, 2013)."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

from . import _binning as B

__all__ = ["detect_nonwear"]


class NonwearAccumulator:
    """Moments, extremes and coverage per block of gcd(window, step), over samples fed in
    consecutive pieces; shared by :func:`detect_nonwear` and ``prepare``."""

    def __init__(self, origin: int, window: int, step: int) -> None:
        self.origin, self.window, self.step = origin, window, step
        self.block = math.gcd(window, step)
        self.feeder = B.BinFeeder(origin, self.block, B.moment_kernel(True), B.MOMENT_REDUCERS)

    def feed(self, t: np.ndarray, cols: list[np.ndarray]) -> None:
        """``cols``: acc_x, acc_y, acc_z."""
        self.feeder.feed(t, cols)

    def intervals(self, sd_g: float, range_g: float, min_axes: int) -> tuple[np.ndarray, np.ndarray]:
        """Merged non-wear intervals as (start, end) int64 microseconds, end exclusive."""
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
        first = np.zeros(nb, dtype=np.int64)
        last = np.zeros(nb, dtype=np.int64)
        first[pos], last[pos] = st["first"], st["last"]
        ok = np.zeros(nb, dtype=bool)          # block has samples and no gap inside
        ok[pos] = ~st["gap"]
        # windows start on blocks j*m (global numbering) and span k blocks
        j0 = -(-b0 // m)
        j1 = (b0 + nb - k) // m
        if j1 < j0:
            return empty, empty
        wstart = np.arange(j0, j1 + 1, dtype=np.int64) * m - b0   # local block index
        win = np.lib.stride_tricks.sliding_window_view

        def over(a: np.ndarray, how: Any) -> np.ndarray:
            return how(win(a, k, axis=0)[wstart], axis=-1)

        valid = over(ok, np.all)
        if k > 1:
            cont = (first[1:] - last[:-1]) < B.GAP_US
            valid &= np.all(win(cont, k - 1)[wstart], axis=-1)
        ws = self.origin + (wstart + b0) * self.block
        we = ws + self.window
        valid &= (first[wstart] - ws < B.GAP_US) & (we - last[wstart + k - 1] < B.GAP_US)
        cnt = over(n, np.sum)
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
                   min_axes: int = 2) -> pd.DataFrame:
    """Find when the device was not worn (van Hees et al. 2011, 2013).

    Windows of length ``window`` start at every whole multiple of ``step`` since the
    midnight (on the index's clock) before the first sample. A window is non-wear when, in
    at least ``min_axes`` of the three accelerometer axes, the sample standard deviation is
    below ``sd_g`` and the range (maximum - minimum) below ``range_g``. Overlapping or
    touching non-wear windows merge into one interval.

    A window is judged only when its data cover it: no spacing of a second or more between
    consecutive samples inside it, and its first and last sample less than a second from
    its start and end. Windows with missing data (gaps, the ragged ends of the recording)
    are neither wear nor non-wear, so an interval never spans a gap. (At 1 Hz or slower
    every spacing counts as a gap and nothing is judged.)

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

    Returns
    -------
    pandas.DataFrame
        One row per interval, in time order: ``start``, ``end`` (datetime64[us], end
        exclusive, aware when the input is) and ``duration_s`` (float64).
    """
    B.check_frame(frame)
    w, s = check_nonwear_options(window, step, sd_g, range_g, min_axes)
    tz = frame.index.tz
    if len(frame) == 0:
        e = np.zeros(0, dtype=np.int64)
        return intervals_frame(e, e, tz)
    acc = NonwearAccumulator(B.midnight_us(frame.index), w, s)
    acc.feed(B.index_us(frame.index), [B.column(frame, c) for c in B.ACC])
    return intervals_frame(*acc.intervals(sd_g, range_g, int(min_axes)), tz)
