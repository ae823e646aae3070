"""Per-bin statistics shared by the in-memory preparation functions and the chunked pipeline.

Samples are assigned to the bins of a grid (:mod:`morvane_tools.days`: epochs, windows). A
``BinFeeder`` accepts the samples in any number of consecutive pieces and hands a kernel only
whole bins, so every per-bin statistic is computed from the same contiguous samples whether
the recording arrives in one frame or in chunks: the in-memory functions and ``prepare`` run
the same code and differ only by float rounding in the order of long sums. ENMO, MAD and the
z-angle are computed here, in float64, for every caller.
"""

from __future__ import annotations

import threading
from typing import Callable, Sequence

import numpy as np
import pandas as pd

from .coverage import GAP_US, median_spacing_us, steps_at_least
from .days import Grid
from .threads import run_tasks
# samples handed to a kernel at a time (temporaries stay in cache)
_GROUP = 1 << 17

ACC = ("acc_x", "acc_y", "acc_z")


def length_us(value: object, name: str) -> int:
    """A positive whole number of microseconds from a pandas-style duration."""
    try:
        td = pd.Timedelta(value)  # type: ignore[arg-type]
    except (ValueError, TypeError) as e:
        raise ValueError(f"{name} must be a duration such as '30s', got {value!r}") from e
    ns = int(td.value)
    if ns <= 0 or ns % 1000:
        raise ValueError(f"{name} must be a positive whole number of microseconds, got {value!r}")
    return ns // 1000


def check_frame(frame: pd.DataFrame, columns: Sequence[str] = ACC) -> None:
    if not isinstance(frame, pd.DataFrame):
        raise TypeError("frame must be a pandas DataFrame")
    if not isinstance(frame.index, pd.DatetimeIndex):
        raise TypeError("frame must have a DatetimeIndex")
    missing = [c for c in columns if c not in frame.columns]
    if missing:
        raise ValueError(f"frame lacks column(s) {', '.join(missing)}")


def index_us(index: pd.DatetimeIndex) -> np.ndarray:
    """Sample times as int64 microseconds (UTC for an aware index)."""
    if index.unit != "us":
        index = index.as_unit("us")
    return np.asarray(index.asi8)


def frame_times(frame: pd.DataFrame, timezone: object = None,
                device_timezone: object = None) -> tuple[np.ndarray, object]:
    """A frame's sample times (int64 microseconds) and the zone they are shown in.

    Without options the index speaks for itself (naive device time, or instants in its zone).
    A naive index with ``timezone`` or ``device_timezone`` is read as the device clock and
    turned into instants as :func:`morvane_tools.read_recording` would; an aware index can
    only be shown in another ``timezone``.
    """
    from .clock import Clock

    t = index_us(frame.index)
    if timezone is None and device_timezone is None:
        return t, frame.index.tz
    clock = Clock.from_options(timezone=timezone, device_timezone=device_timezone)
    if frame.index.tz is not None:
        if device_timezone is not None:
            raise ValueError("device_timezone applies to a frame on the naive device clock; "
                             "this frame's times are instants already")
        return t, clock.display
    offset = clock.offset_us(int(t[0]) if len(t) else None)
    return (t - offset if offset else t), clock.display


def column(frame: pd.DataFrame, name: str) -> np.ndarray:
    a = frame[name].to_numpy()
    if a.dtype != np.float32 and a.dtype != np.float64:
        a = a.astype(np.float64)
    return a


# --------------------------------------------------------------------------- the feeder

Kernel = Callable[[np.ndarray, list, np.ndarray, np.ndarray], dict]


class BinFeeder:
    """Cut consecutive pieces of samples into whole bins of ``grid`` and run ``kernel`` on them.

    ``kernel(t, cols, starts, ids)`` gets sample times ``t`` (sorted), the columns, the
    position where each bin starts and each bin's id; it returns a dict of per-bin arrays.
    ``reducers`` names how a statistic of a bin met twice (the clock ran backwards into it)
    combines: "sum", "min", "max". The samples of the last bin of a piece are held back until
    the next piece shows that bin is complete. Up to ``workers`` threads run the kernel.
    """

    def __init__(self, grid: Grid, kernel: Kernel, reducers: dict[str, str],
                 workers: int = 1) -> None:
        self.grid = grid
        self.workers = int(workers)
        self.kernel = kernel
        self.reducers = reducers
        self._carry: list[tuple[np.ndarray, list]] = []
        self._carry_bin = 0
        self._last: int | None = None
        self._ids: list[np.ndarray] = []
        self._out: list[dict] = []

    def feed(self, t: np.ndarray, cols: Sequence[np.ndarray]) -> None:
        n = len(t)
        if n == 0:
            return
        cols = list(cols)
        back = np.flatnonzero(t[1:] < t[:-1]) + 1
        bounds = [0, *back.tolist(), n]
        for i in range(len(bounds) - 1):
            a, b = bounds[i], bounds[i + 1]
            backward = i > 0 or (self._last is not None and int(t[0]) < self._last)
            if a == 0 and b == n:
                self._feed_sorted(t, cols, backward)
            else:
                self._feed_sorted(t[a:b], [c[a:b] for c in cols], backward)

    def _feed_sorted(self, t: np.ndarray, cols: list, backward: bool) -> None:
        g = self.grid
        if self._carry:
            end = int(g.ends(np.array([self._carry_bin]))[0])
            if not backward and int(t[0]) < end:
                k = int(np.searchsorted(t, end))
                self._carry.append((t[:k].copy(), [c[:k].copy() for c in cols]))
                if k == len(t):
                    self._last = int(t[-1])
                    return
                t = t[k:]
                cols = [c[k:] for c in cols]
            self._flush_carry()
        last_bin = g.bin_of_scalar(int(t[-1]))
        s = int(np.searchsorted(t, g.start_of(last_bin)))
        if s > 0:
            self._process(t[:s], [c[:s] for c in cols])
        self._carry = [(t[s:].copy(), [c[s:].copy() for c in cols])]
        self._carry_bin = last_bin
        self._last = int(t[-1])

    def _flush_carry(self) -> None:
        if not self._carry:
            return
        parts = self._carry
        self._carry = []
        if len(parts) == 1:
            t, cols = parts[0]
        else:
            t = np.concatenate([p[0] for p in parts])
            cols = [np.concatenate([p[1][j] for p in parts]) for j in range(len(parts[0][1]))]
        self._process(t, cols)

    def _process(self, t: np.ndarray, cols: list) -> None:
        g = self.grid
        n = len(t)
        b0 = g.bin_of_scalar(int(t[0]))
        b1 = g.bin_of_scalar(int(t[-1]))
        if b1 == b0:
            starts = np.zeros(1, dtype=np.int64)
            ids = np.array([b0], dtype=np.int64)
        else:
            ids = g.ids_between(b0, b1)
            edges = g.starts(ids[1:])
            starts = np.concatenate([[0], np.searchsorted(t, edges)]).astype(np.int64)
            keep = np.diff(np.append(starts, n)) > 0
            if not keep.all():
                starts, ids = starts[keep], ids[keep]
        if n <= _GROUP or len(starts) == 1:
            groups = [0, len(starts)]
        else:
            groups = np.unique(np.searchsorted(starts, np.arange(0, n, _GROUP), side="right") - 1)
            groups = [*groups.tolist(), len(starts)]
        tasks = []
        for g in range(len(groups) - 1):
            r0, r1 = groups[g], groups[g + 1]
            if r0 >= r1:
                continue
            a = int(starts[r0])
            b = int(starts[r1]) if r1 < len(starts) else n
            self._ids.append(ids[r0:r1])
            tasks.append((t[a:b], [c[a:b] for c in cols], starts[r0:r1] - a, ids[r0:r1]))
        self._out.extend(run_tasks(self.kernel, tasks, self.workers))

    def finish(self) -> tuple[np.ndarray, dict[str, np.ndarray]]:
        """Flush and return (bin numbers ascending, per-bin statistics)."""
        self._flush_carry()
        if not self._ids:
            return np.zeros(0, dtype=np.int64), {}
        ids = np.concatenate(self._ids)
        out = {k: np.concatenate([o[k] for o in self._out]) for k in self._out[0]}
        self._ids, self._out = [], []
        if len(ids) > 1 and not (ids[1:] > ids[:-1]).all():
            uniq, inv = np.unique(ids, return_inverse=True)
            merged = {}
            for k, v in out.items():
                how = self.reducers.get(k, "sum")
                if how == "sum":
                    m = np.zeros((len(uniq),) + v.shape[1:], dtype=v.dtype)
                    np.add.at(m, inv, v)
                elif how == "min":
                    m = np.full((len(uniq),) + v.shape[1:], np.inf, dtype=np.float64)
                    np.minimum.at(m, inv, v)
                    m = m.astype(v.dtype)
                else:
                    m = np.full((len(uniq),) + v.shape[1:], -np.inf, dtype=np.float64)
                    np.maximum.at(m, inv, v)
                    m = m.astype(v.dtype)
                merged[k] = m
            ids, out = uniq, merged
        return ids, out


# --------------------------------------------------------------------------- kernels

def _counts(starts: np.ndarray, n: int) -> np.ndarray:
    return np.diff(np.append(starts, n))


def moment_kernel(minmax: bool, extra: int = 0) -> Kernel:
    """Per-bin count, sums and sums of squares of the first three columns (float64),
    optionally per-axis minimum and maximum, and plain sums of ``extra`` further columns."""

    def kernel(t: np.ndarray, cols: list, starts: np.ndarray, ids: np.ndarray) -> dict:
        n = len(t)
        cnt = _counts(starts, n)
        s1 = np.empty((len(starts), 3))
        s2 = np.empty((len(starts), 3))
        out: dict = {"n": cnt}
        if minmax:
            mn = np.empty((len(starts), 3), dtype=np.float32)
            mx = np.empty((len(starts), 3), dtype=np.float32)
        (a,) = _buffers(n, 1)
        for k in range(3):
            np.copyto(a, cols[k])
            s1[:, k] = np.add.reduceat(a, starts)
            np.multiply(a, a, out=a)
            s2[:, k] = np.add.reduceat(a, starts)
            if minmax:
                mn[:, k] = np.minimum.reduceat(cols[k], starts)
                mx[:, k] = np.maximum.reduceat(cols[k], starts)
        out["s1"], out["s2"] = s1, s2
        if minmax:
            out["min"], out["max"] = mn, mx
        if extra:
            out["sx"] = np.stack([np.add.reduceat(cols[3 + j], starts, dtype=np.float64)
                                  for j in range(extra)], axis=1)
        return out

    return kernel


MOMENT_REDUCERS = {"n": "sum", "s1": "sum", "s2": "sum", "min": "min", "max": "max",
                   "sx": "sum"}


def sd_from_moments(n: np.ndarray, s1: np.ndarray, s2: np.ndarray) -> np.ndarray:
    """Sample standard deviation (n - 1 in the denominator) from count, sum and sum of
    squares; NaN for fewer than two samples."""
    n = np.asarray(n, dtype=np.float64)[:, None]
    with np.errstate(invalid="ignore", divide="ignore"):
        var = (s2 - s1 * s1 / n) / (n - 1)
    return np.sqrt(np.maximum(var, 0.0))


_local = threading.local()


def _buffers(n: int, k: int) -> list[np.ndarray]:
    """``k`` float64 work arrays of length ``n``, reused per thread."""
    bufs = getattr(_local, "bufs", None)
    if bufs is None or len(bufs) < k or len(bufs[0]) < n:
        size = max(n, _GROUP)
        bufs = [np.empty(size) for _ in range(max(k, 4))]
        _local.bufs = bufs
    return [b[:n] for b in bufs[:k]]


def _spread(values: np.ndarray, cnt: np.ndarray, like: np.ndarray, out: np.ndarray) -> np.ndarray:
    """out = like - values repeated per bin."""
    c = int(cnt[0])
    if (cnt == c).all():
        np.subtract(like.reshape(-1, c), values[:, None], out=out.reshape(-1, c))
    else:
        np.subtract(like, np.repeat(values, cnt), out=out)
    return out


_ONE = np.float64(1.0)


def _aux_sums(work: np.ndarray, cols: Sequence[np.ndarray], starts: np.ndarray) -> np.ndarray:
    """Per-bin float64 sums of the auxiliary columns, through a float64 work array."""
    out = np.empty((len(starts), len(cols)))
    for j, c in enumerate(cols):
        np.copyto(work, c)
        out[:, j] = np.add.reduceat(work, starts)
    return out


def epoch_kernel(n_aux: int, enmo_only: bool = False) -> Kernel:
    """Per-epoch count and sums: axes, ENMO, |a|, absolute deviation of |a| from the
    epoch's mean, z-angle (radians) and the auxiliary columns; all in float64. With
    ``enmo_only`` just the count, ENMO (by the same operations, so the same bits) and the
    auxiliary sums."""

    def enmo_kernel(t: np.ndarray, cols: list, starts: np.ndarray, ids: np.ndarray) -> dict:
        n = len(t)
        cnt = _counts(starts, n)
        x, y = _buffers(n, 2)
        np.copyto(x, cols[0])
        np.multiply(x, x, out=x)
        np.copyto(y, cols[1])
        np.multiply(y, y, out=y)
        x += y                      # x^2 + y^2
        np.copyto(y, cols[2])
        np.multiply(y, y, out=y)
        y += x                      # |a|^2, summed in the full kernel's order
        np.sqrt(y, out=y)
        np.maximum(y, _ONE, out=y)
        out = {"n": cnt, "enmo": np.add.reduceat(y, starts) - cnt}
        if n_aux:
            out["aux"] = _aux_sums(x, cols[3:], starts)
        return out

    def kernel(t: np.ndarray, cols: list, starts: np.ndarray, ids: np.ndarray) -> dict:
        n = len(t)
        cnt = _counts(starts, n)
        x, y, z = _buffers(n, 3)
        np.copyto(x, cols[0])
        np.copyto(y, cols[1])
        np.copyto(z, cols[2])
        sums = np.empty((len(starts), 3))
        sums[:, 0] = np.add.reduceat(x, starts)
        sums[:, 1] = np.add.reduceat(y, starts)
        sums[:, 2] = np.add.reduceat(z, starts)
        np.multiply(x, x, out=x)
        np.multiply(y, y, out=y)
        x += y                      # x^2 + y^2
        np.multiply(z, z, out=y)
        y += x                      # |a|^2
        np.sqrt(y, out=y)           # |a|
        smag = np.add.reduceat(y, starts)
        np.copyto(z, cols[2])
        np.sqrt(x, out=x)           # sqrt(x^2 + y^2)
        with np.errstate(divide="ignore", invalid="ignore"):
            np.divide(z, x, out=x)
        np.arctan(x, out=x)         # z-angle
        sang = np.add.reduceat(x, starts)
        bad = np.flatnonzero(np.isnan(sang))
        for i in bad.tolist():      # 0/0 somewhere in the bin: take atan2's 0 there
            a = int(starts[i])
            b = int(starts[i + 1]) if i + 1 < len(starts) else n
            cx, cy, cz = (np.asarray(c[a:b], dtype=np.float64) for c in cols[:3])
            sang[i] = np.arctan2(cz, np.sqrt(cx * cx + cy * cy)).sum()
        _spread(smag / cnt, cnt, y, z)
        np.abs(z, out=z)
        sdev = np.add.reduceat(z, starts)
        np.maximum(y, _ONE, out=y)
        senmo = np.add.reduceat(y, starts) - cnt
        out = {"n": cnt, "sums": sums, "enmo": senmo, "mad": sdev, "angle": sang}
        if n_aux:
            out["aux"] = _aux_sums(x, cols[3:], starts)
        return out

    return enmo_kernel if enmo_only else kernel


EPOCH_REDUCERS = {"n": "sum", "sums": "sum", "enmo": "sum", "mad": "sum", "angle": "sum",
                  "aux": "sum"}


# --------------------------------------------------------------------------- sample spacing

class SpacingHistogram:
    """Exact counts of the spacings between consecutive samples, fed in pieces, for the
    median spacing (the frame's sampling period)."""

    _SLICE = 1 << 22

    def __init__(self) -> None:
        self.counts: dict[int, int] = {}
        self._prev: int | None = None

    @classmethod
    def of(cls, t: np.ndarray) -> SpacingHistogram:
        h = cls()
        h.add(np.asarray(t, dtype=np.int64))
        return h

    def add(self, t: np.ndarray) -> None:
        if not len(t):
            return
        if self._prev is not None:
            self._count(np.array([int(t[0]) - self._prev], dtype=np.int64))
        for a in range(0, len(t) - 1, self._SLICE):
            seg = t[a:a + self._SLICE + 1]
            self._count(seg[1:] - seg[:-1])
        self._prev = int(t[-1])

    def _count(self, d: np.ndarray) -> None:
        if not len(d):
            return
        lo, hi = int(d.min()), int(d.max())
        if hi - lo < 1 << 16:
            c = np.bincount(d - lo)
            v = np.flatnonzero(c)
            vals, cnts = (v + lo).tolist(), c[v].tolist()
        else:
            u, c = np.unique(d, return_counts=True)
            vals, cnts = u.tolist(), c.tolist()
        for v, c in zip(vals, cnts):
            self.counts[v] = self.counts.get(v, 0) + c

    def median(self) -> float | None:
        """Median spacing in microseconds (mean of the two middle ones for an even count),
        as ``numpy.median`` of all spacings gives it; None for fewer than two samples."""
        if not self.counts:
            return None
        vals = np.array(sorted(self.counts), dtype=np.int64)
        cum = np.cumsum([self.counts[v] for v in vals.tolist()])
        total = int(cum[-1])
        lo = vals[np.searchsorted(cum, (total - 1) // 2, side="right")]
        hi = vals[np.searchsorted(cum, total // 2, side="right")]
        return (float(lo) + float(hi)) / 2.0


def stretch_bounds(t: np.ndarray, period_us: float | None = None) -> np.ndarray:
    """Positions where a new stretch of samples starts (after a gap, or where the clock runs
    backwards), with 0 and len(t) at the ends. ``period_us`` is the sampling period the gap
    rule needs (default: the median spacing, found only where a spacing reaches a second)."""
    t = np.asarray(t, dtype=np.int64)
    if len(t) < 2:
        return np.array([0, len(t)], dtype=np.int64)
    at = steps_at_least(t, GAP_US, backward=True)
    if at.size:
        d = t[at + 1] - t[at]
        forward = d >= 0
        if forward.any():
            if period_us is None:
                period_us = median_spacing_us(t) or 0.0
            at = at[~forward | (d - period_us >= GAP_US)]
    return np.concatenate([[0], at + 1, [len(t)]]).astype(np.int64)
