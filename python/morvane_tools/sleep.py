"""Sleep from the z-angle: the sleep period window and sustained inactivity.

The z-angle is the angle of the device's z axis to the horizontal plane, from the per-axis
rolling median of the calibrated samples, averaged per 5-second epoch. Two methods use it:

- the sleep period window (van Hees et al. 2018, "HDCZA"): per night, long runs in which the
  z-angle barely changes, joined across short interruptions; the longest is the window from
  sleep onset to waking;
- sustained inactivity (van Hees et al. 2015): stretches of more than five minutes without a
  change of posture (a change of the z-angle of more than five degrees), counted as sleep
  inside the window.

A night runs from local noon to the next local noon and belongs to the date of its evening; all
times are local when the index carries a time zone (:mod:`morvane_tools.days` defines the
local times).

References
----------
van Hees VT, Sabia S, Anderson KN, et al. A novel, open access method to assess sleep duration
using a wrist-worn accelerometer. PLoS One 2015;10:e0142533.

van Hees VT, Sabia S, Jones SE, et al. Estimating sleep parameters using an accelerometer
without sleep diary. Sci Rep 2018;8:12975.
"""

from __future__ import annotations

import csv
import datetime as _dt
import os
import threading
from typing import Any, Mapping, Sequence

import numpy as np
import pandas as pd

from . import binning as B
from . import days
from .threads import resolve, run_tasks
from .activity import LEVELS, intensity_levels

__all__ = ["anglez_epochs", "sustained_inactivity", "sleep_period_window", "nightly_sleep",
           "read_sleep_diary", "time_use", "median_window", "rolling_median",
           "AnglezAccumulator", "not_worn"]

_US = 1_000_000
_MINUTE_US = 60 * _US
_NOON = _dt.time(12)
_EVENING = _dt.time(18)
# samples per piece of the z-angle pass: three float64 medians of a piece stay in the caches'
# reach, and pieces give the two worker threads their share
_PIECE = 1 << 20


# --------------------------------------------------------------------------- rolling median

def median_window(rate_hz: float, seconds: float = 5.0) -> int:
    """The rolling median's window in samples: ``2 * round(seconds / 2 * rate_hz) + 1``.

    An odd count, centred on its sample with the same number of samples on each side, that
    spans ``seconds`` to within one sample period (501 samples at 100 Hz, 63 at 12.5 Hz).
    """
    if not rate_hz > 0:
        raise ValueError("the sampling rate must be positive")
    half = int(np.floor(seconds / 2.0 * float(rate_hz) + 0.5))
    return 2 * half + 1


def rolling_median(values: Any, window: int, *, stretches: np.ndarray | None = None,
                   begin: int = 0, end: int | None = None, threads: int = 1,
                   out: Any = None) -> Any:
    """Exact centred rolling median of one signal or several of one length (native).

    Output ``i`` is the median of the non-NaN values at positions ``i - window // 2`` to
    ``i - window // 2 + window - 1``, clipped to the stretch holding ``i``: the middle value of
    an odd count, the float64 mean of the two middle values of an even one, NaN of none. This
    is ``pandas.Series(x).rolling(window, center=True, min_periods=1).median()`` run on each
    stretch separately, to the bit.

    Parameters
    ----------
    values : numpy.ndarray or sequence of numpy.ndarray
        float32 or float64, one-dimensional and C-contiguous (several: one dtype, one length).
    window : int
        Samples in a window, at least 1.
    stretches : numpy.ndarray, optional
        int64 positions where a stretch starts, with 0 first and the length last (as
        :func:`morvane_tools.binning.stretch_bounds` gives them); default one stretch.
    begin, end : int
        Compute outputs ``[begin, end)`` only. The input's ends count as stretch ends, so to
        go piece by piece give each piece ``window // 2`` samples of context on both sides
        (or the whole input) and ask for its own outputs: they equal the whole input's.
    threads : int
        Threads to share the pieces of the work (1: the calling thread only).
    out : numpy.ndarray or sequence of numpy.ndarray, optional
        float64 arrays of ``end - begin`` values to write (reused memory is faster than fresh).

    Returns
    -------
    numpy.ndarray or tuple of numpy.ndarray
        float64 medians, shaped as ``values`` (``out`` itself when given).
    """
    from . import _native

    return _native.rolling_median(  # type: ignore[attr-defined]
        values, int(window), stretches=stretches, begin=int(begin),
        end=None if end is None else int(end), threads=int(threads), out=out)


# --------------------------------------------------------------------------- z-angle

_local = threading.local()


def _piece_buffers(n: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Three float64 arrays of ``n`` values, reused per thread."""
    bufs = getattr(_local, "bufs", None)
    if bufs is None or len(bufs[0]) < n:
        bufs = tuple(np.empty(max(n, _PIECE)) for _ in range(3))
        _local.bufs = bufs
    return bufs[0][:n], bufs[1][:n], bufs[2][:n]


def _stretches(t: np.ndarray, period_us: float, workers: int) -> np.ndarray:
    """:func:`morvane_tools.binning.stretch_bounds` of ``t``, found slice by slice on the
    worker threads (a cut at ``p`` depends on ``t[p - 1]`` and ``t[p]`` alone, so slices that
    overlap by one time find each cut once)."""
    n = len(t)
    step = 1 << 22

    def part(a: int, b: int) -> np.ndarray:
        lo = max(a - 1, 0)
        return B.stretch_bounds(t[lo:b], period_us)[1:-1] + lo

    cuts = run_tasks(part, [(a, min(a + step, n)) for a in range(0, n, step)], workers)
    return np.concatenate([[0], *cuts, [n]]).astype(np.int64)


def _rate_hz(t: np.ndarray, stretches: np.ndarray) -> float | None:
    """The sampling rate: samples per second within the stretches (the gaps left out)."""
    counts = np.diff(stretches)
    full = np.flatnonzero(counts >= 2)
    if not full.size:
        return None
    spans = t[stretches[full + 1] - 1] - t[stretches[full]]
    total = int(spans.sum())
    return (int((counts[full] - 1).sum()) * _US / total) if total > 0 else None


def _angle_deg(x: np.ndarray, y: np.ndarray, z: np.ndarray) -> np.ndarray:
    """atan(z / sqrt(x^2 + y^2)) in degrees, as atan2 so that x = y = 0 gives +-90 and a
    sample of three zeros 0."""
    return np.degrees(np.arctan2(z, np.sqrt(x * x + y * y)))


class AnglezAccumulator:
    """The z-angle per epoch over calibrated samples fed in consecutive pieces; shared by
    :func:`anglez_epochs` (one piece) and the chunked pass of ``summarize``.

    Samples are held back until the rolling median of each has its whole window (half a window
    after it), then the medians of the released samples are computed with half a window of
    context before them, which gives the values of the whole run; per sample the angle, summed
    per epoch. The window and the gap rule come from the first piece: its rate (samples per
    second within its stretches) and its median spacing.
    """

    def __init__(self, grid: Any, tz: Any, workers: int = 1) -> None:
        self.grid, self.tz, self.workers = grid, tz, workers
        self.window: int | None = None
        self.period_us = 0.0
        self._t = np.zeros(0, dtype=np.int64)
        self._cols: list[np.ndarray] = []
        self._context = 0          # leading held samples whose medians are out already
        self._parts: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = []

    def feed(self, t: np.ndarray, x: np.ndarray, y: np.ndarray, z: np.ndarray) -> None:
        t = np.asarray(t, dtype=np.int64)
        if not len(t):
            return
        cols = [np.asarray(c) for c in (x, y, z)]
        dtype = cols[0].dtype if all(c.dtype == cols[0].dtype for c in cols) and \
            cols[0].dtype in (np.float32, np.float64) else np.float64
        if self.window is None:
            self.period_us = B.SpacingHistogram.of(t).median() or 0.0
            stretches = _stretches(t, self.period_us, self.workers)
            rate = _rate_hz(t, stretches)
            self.window = median_window(rate) if rate is not None else 1
            self._cols = [np.zeros(0, dtype=dtype) for _ in range(3)]
        if self._cols[0].dtype != dtype:
            self._cols = [c.astype(np.float64) for c in self._cols]
            dtype = np.float64
        self._t = np.concatenate([self._t, t])
        self._cols = [np.concatenate([held, np.asarray(c, dtype=dtype)])
                      for held, c in zip(self._cols, cols)]
        self._release(final=False)

    def _release(self, final: bool) -> None:
        assert self.window is not None
        half = self.window // 2
        n = len(self._t)
        end = n if final else n - half
        if end <= self._context:
            return
        t = self._t
        cols = [np.ascontiguousarray(c) for c in self._cols]
        stretches = _stretches(t, self.period_us, self.workers)
        grid, window = self.grid, self.window
        if not grid.uniform:
            # the grid caches day bounds on first use: cover every time before the threads
            # share it (times ascend within a stretch, so its ends hold the extremes)
            grid.bin_of(np.array([t[stretches[:-1]].min(), t[stretches[1:] - 1].max()]))

        def piece(a: int, b: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
            x, y, z = _piece_buffers(b - a)
            rolling_median(cols, window, stretches=stretches, begin=a, end=b, out=(x, y, z))
            # Runs of one epoch, stretch by stretch (times ascend within a stretch) ...
            k0 = int(np.searchsorted(stretches, a, side="right")) - 1
            k1 = int(np.searchsorted(stretches, b, side="left"))
            pos, ids = [], []
            for k in range(k0, k1):
                p, q = max(int(stretches[k]), a), min(int(stretches[k + 1]), b)
                if p < q:
                    run_pos, run_ids = days.bin_runs(grid, t[p:q])
                    pos.append(run_pos + (p - a))
                    ids.append(run_ids)
            epoch_pos, epoch_ids = np.concatenate(pos), np.concatenate(ids)
            # ... cut again where a median changes: the medians stay on one value for many
            # samples, so the angle is computed once per run and weighted by its length
            cut = np.zeros(b - a, dtype=bool)
            cut[1:] = x[1:] != x[:-1]
            cut[1:] |= y[1:] != y[:-1]
            cut[1:] |= z[1:] != z[:-1]
            cut[epoch_pos] = True
            starts = np.flatnonzero(cut)
            seg_ids = epoch_ids[np.searchsorted(epoch_pos, starts, side="right") - 1]
            counts = np.diff(np.append(starts, b - a))
            angle = _angle_deg(x[starts], y[starts], z[starts])
            return seg_ids, angle * counts, counts

        a0 = self._context
        self._parts += run_tasks(piece, [(a, min(a + _PIECE, end)) for a in range(a0, end, _PIECE)],
                                 self.workers)
        # keep half a window of context before what is still held
        keep = max(end - half, 0)
        self._t = self._t[keep:]
        self._cols = [c[keep:] for c in self._cols]
        self._context = end - keep

    def finish(self) -> pd.Series:
        """The z-angle of every epoch from the first sample's to the last's."""
        if self.window is not None:
            self._release(final=True)
        if not self._parts:
            return _epoch_series(np.zeros(0, dtype=np.int64), np.zeros(0), self.tz)
        seg_ids = np.concatenate([p[0] for p in self._parts])
        first, last = int(seg_ids.min()), int(seg_ids.max())
        all_ids = self.grid.ids_between(first, last)
        pos = np.searchsorted(all_ids, seg_ids)
        sums = np.bincount(pos, weights=np.concatenate([p[1] for p in self._parts]),
                           minlength=len(all_ids))
        counts = np.bincount(pos, weights=np.concatenate([p[2] for p in self._parts]),
                             minlength=len(all_ids))
        with np.errstate(invalid="ignore", divide="ignore"):
            mean = np.where(counts > 0, sums / counts, np.nan)
        return _epoch_series(self.grid.starts(all_ids), mean, self.tz)


def anglez_epochs(frame: pd.DataFrame, *, epoch: Any = "5s",
                  threads: int | None = None) -> pd.Series:
    """The z-angle per epoch from calibrated samples (van Hees et al. 2015, 2018).

    Per axis, the centred rolling median of the samples over five seconds (an odd window of
    :func:`median_window` samples at the recording's rate, the samples per second within its
    stretches), clipped at gaps and backward clock jumps, which it never spans; per sample,
    the angle of the z axis to the horizontal plane, ``atan(z / sqrt(x^2 + y^2))`` in degrees
    (computed as ``atan2``: a sample whose three medians are 0 has angle 0); averaged per
    epoch. Epochs start at each local midnight (:func:`morvane_tools.days.grid_for`).

    Parameters
    ----------
    frame : pandas.DataFrame
        Samples as ``read_recording`` returns them, already calibrated: a DatetimeIndex (naive
        or aware) and ``acc_x``, ``acc_y``, ``acc_z`` in g. Not modified.
    epoch : str or timedelta, default "5s"
        Epoch length.
    threads : int, optional
        Threads that may work at once (default: the cores; one inside a Dask worker).

    Returns
    -------
    pandas.Series
        float64 ``anglez_deg`` indexed by the epoch starts (``epoch``, aware when the frame
        is), every epoch from the first sample's to the last's; an epoch without samples is NaN.
    """
    B.check_frame(frame)
    length = B.length_us(epoch, "epoch")
    tz = frame.index.tz
    t = B.index_us(frame.index)
    acc = AnglezAccumulator(days.grid_for(tz, length, int(t[0]) if len(t) else 0), tz,
                            resolve(threads))
    acc.feed(t, *(B.column(frame, c) for c in B.ACC))
    return acc.finish()


def _epoch_series(starts_us: np.ndarray, values: np.ndarray, tz: Any) -> pd.Series:
    index = pd.DatetimeIndex(np.asarray(starts_us, dtype=np.int64).astype("datetime64[us]"),
                             name="epoch")
    if tz is not None:
        index = index.tz_localize("UTC").tz_convert(tz)
    return pd.Series(np.asarray(values, dtype=np.float64), index=index, name="anglez_deg")


def not_worn(epochs_table: pd.DataFrame, index: pd.DatetimeIndex) -> pd.Series:
    """True on ``index`` where an epoch of the table was not worn and recorded (``coverage``
    below 1 or ``nonwear`` above 0) or has no row: the ``nonwear`` argument of
    :func:`nightly_sleep` from an epoch table on the same grid."""
    worn = epochs_table["coverage"].to_numpy() >= 1.0
    if "nonwear" in epochs_table.columns:
        worn &= epochs_table["nonwear"].to_numpy() == 0
    return pd.Series(~worn, index=epochs_table.index).reindex(index, fill_value=True)


# --------------------------------------------------------------------------- sustained inactivity

def _epochs_in(duration: Any, epoch_us: int, name: str) -> int:
    us = B.length_us(duration, name)
    if us % epoch_us:
        raise ValueError(f"{name} must be a whole number of epochs")
    return us // epoch_us


def sustained_inactivity(anglez: Any, *, epoch: Any = "5s", angle_deg: float = 5.0,
                         duration: Any = "5min") -> np.ndarray:
    """Epochs of sustained inactivity (van Hees et al. 2015).

    A posture change is an absolute difference of more than ``angle_deg`` between successive
    z-angles, placed at the first epoch of the pair (a difference involving a NaN, unrecorded,
    epoch is none). For two consecutive posture changes at epochs ``i`` and ``j`` with
    ``j - i`` more than ``duration`` in epochs, epochs ``i`` to ``j`` inclusive are sustained
    inactivity. When no two consecutive changes are that far apart, every epoch is sustained
    inactivity if there are fewer than 10 posture changes, and none otherwise. An unrecorded
    epoch is never sustained inactivity.

    Parameters
    ----------
    anglez : pandas.Series or array-like
        z-angles in degrees, one per epoch, in order (as :func:`anglez_epochs` gives them).
    epoch : str or timedelta, default "5s"
        The epoch length the angles were averaged over.
    angle_deg : float, default 5.0
        A posture change is a difference of more than this.
    duration : str or timedelta, default "5min"
        A whole number of epochs (60 at 5 s).

    Returns
    -------
    numpy.ndarray
        bool, one per epoch.
    """
    a = np.asarray(anglez, dtype=np.float64)
    span = _epochs_in(duration, B.length_us(epoch, "epoch"), "duration")
    out = np.zeros(len(a), dtype=bool)
    if not len(a):
        return out
    with np.errstate(invalid="ignore"):
        change = np.flatnonzero(np.abs(np.diff(a)) > float(angle_deg))
    far = np.flatnonzero(np.diff(change) > span)
    if not far.size:
        if change.size < 10:
            out[:] = True
    else:
        mark = np.zeros(len(a) + 1, dtype=np.int64)
        np.add.at(mark, change[far], 1)
        np.add.at(mark, change[far + 1] + 1, -1)
        out = np.cumsum(mark[:-1]) > 0
    out &= ~np.isnan(a)
    return out


# --------------------------------------------------------------------------- sleep period window

def _epoch_us(index: pd.DatetimeIndex) -> int:
    """The spacing of a regular epoch index in microseconds (5 s for fewer than two epochs)."""
    t = B.index_us(index)
    if len(t) < 2:
        return 5 * _US
    d = np.diff(t)
    if not (d[0] > 0 and (d == d[0]).all()):
        raise ValueError("anglez must be indexed by a regular grid of epoch starts")
    return int(d[0])


def _check_series(anglez: Any) -> pd.Series:
    if not isinstance(anglez, pd.Series) or not isinstance(anglez.index, pd.DatetimeIndex):
        raise TypeError("anglez must be a pandas Series with a DatetimeIndex")
    return anglez


def _nonwear_mask(nonwear: Any, index: pd.DatetimeIndex) -> np.ndarray:
    """True where not worn or not recorded, on ``index``."""
    if nonwear is None:
        return np.zeros(len(index), dtype=bool)
    if isinstance(nonwear, pd.Series):
        if not nonwear.index.equals(index):
            missing = ~index.isin(nonwear.index)
            if missing.any():
                raise ValueError("nonwear must be a boolean Series on the angle's index")
            nonwear = nonwear.reindex(index)
        values = nonwear.to_numpy()
    else:
        values = np.asarray(nonwear)
    if values.shape != (len(index),):
        raise ValueError("nonwear must hold one value per epoch")
    if values.dtype == object:
        values = pd.Series(values).fillna(True).to_numpy()
    return np.asarray(values, dtype=bool)


def _runs(mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Starts and (exclusive) ends of the runs of True."""
    m = np.concatenate([[False], np.asarray(mask, dtype=bool), [False]])
    edges = np.flatnonzero(m[1:] != m[:-1])
    return edges[0::2], edges[1::2]


def _window_core(a: np.ndarray, nonwear: np.ndarray, epoch_us: int, percentile: float,
                 multiplier: float, threshold_range: Sequence[float], min_block_us: int,
                 max_gap_us: int) -> tuple[int | None, int | None, float | None, str | None]:
    """HDCZA on one span of epochs: (first epoch, end epoch (exclusive), threshold, reason)."""
    n = len(a)
    valid = ~nonwear & ~np.isnan(a)
    if not valid.any():
        return None, None, None, "no worn and recorded epochs"
    d = np.full(n, np.nan)
    d[:-1] = np.abs(np.diff(a))                       # at the first epoch of each pair
    x = rolling_median(d, max(1, int(round(5 * _MINUTE_US / epoch_us))))
    known = valid & ~np.isnan(x)
    if not known.any():
        return None, None, None, "no worn and recorded epochs"
    lo, hi = float(threshold_range[0]), float(threshold_range[1])
    threshold = float(np.clip(multiplier * np.percentile(x[known], percentile), lo, hi))
    with np.errstate(invalid="ignore"):
        candidate = (x < threshold) & valid
    s, e = _runs(candidate)
    keep = (e - s) * epoch_us > min_block_us
    s, e = s[keep], e[keep]
    if not s.size:
        minutes = min_block_us / _MINUTE_US
        return None, None, threshold, (f"no run of low z-angle change longer than "
                                       f"{minutes:g} minutes")
    joined_s, joined_e = [int(s[0])], [int(e[0])]
    for a0, b0 in zip(s[1:].tolist(), e[1:].tolist()):
        if (a0 - joined_e[-1]) * epoch_us < max_gap_us:
            joined_e[-1] = b0
        else:
            joined_s.append(a0)
            joined_e.append(b0)
    lengths = np.array(joined_e) - np.array(joined_s)
    best = int(np.argmax(lengths))                    # the first of equally long blocks
    return joined_s[best], joined_e[best], threshold, None


def sleep_period_window(anglez: pd.Series, *, percentile: float = 10, multiplier: float = 15,
                        threshold_range: Sequence[float] = (0.13, 0.5), min_block: Any = "30min",
                        max_gap: Any = "60min", nonwear: Any = None) -> dict[str, Any]:
    """The sleep period window of a span of z-angles, by HDCZA (van Hees et al. 2018).

    1. ``d``: the absolute difference between successive z-angles, placed at the first epoch
       of the pair;
    2. ``x``: the centred rolling median of ``d`` over 5 minutes (60 epochs at 5 s; an even
       window reaches one epoch further back than ahead; NaN left out);
    3. threshold: ``multiplier`` times the ``percentile``-th percentile of ``x`` over the
       valid (worn and recorded) epochs, limited to ``threshold_range``;
    4. candidate blocks: runs of valid epochs with ``x`` below the threshold lasting longer
       than ``min_block`` (non-wear epochs belong to no candidate);
    5. candidate blocks separated by less than ``max_gap`` are joined, the gap included;
    6. the longest joined block (the first of equals) is the window.

    Parameters
    ----------
    anglez : pandas.Series
        z-angles (degrees) on a regular grid of epoch starts, as :func:`anglez_epochs` gives
        them; typically one night.
    percentile, multiplier, threshold_range, min_block, max_gap
        The method's constants (the published ones by default).
    nonwear : pandas.Series of bool, optional
        True where not worn or not recorded, on the angle's index. NaN angles count as not
        recorded either way.

    Returns
    -------
    dict
        ``start`` and ``end`` (Timestamps: the first epoch's start and the last epoch's end;
        None when there is no window), ``threshold`` (degrees; None without valid epochs) and
        ``reason`` (why there is no window, else None).
    """
    anglez = _check_series(anglez)
    epoch_us = _epoch_us(anglez.index)
    nw = _nonwear_mask(nonwear, anglez.index)
    first, end, threshold, reason = _window_core(
        anglez.to_numpy(dtype=np.float64), nw, epoch_us, percentile, multiplier,
        threshold_range, B.length_us(min_block, "min_block"), B.length_us(max_gap, "max_gap"))
    if first is None or end is None:
        return {"start": None, "end": None, "threshold": threshold, "reason": reason}
    t = B.index_us(anglez.index)
    tz = anglez.index.tz
    return {"start": _timestamp(int(t[first]), tz),
            "end": _timestamp(int(t[end - 1]) + epoch_us, tz),
            "threshold": threshold, "reason": None}


def _timestamp(us: int, tz: Any) -> pd.Timestamp:
    ts = pd.Timestamp(us, unit="us")
    return ts.tz_localize("UTC").tz_convert(tz) if tz is not None else ts


def _time_column(values_us: Sequence[int | None], tz: Any) -> pd.DatetimeIndex:
    """Times (microseconds, None for NaT) shown in the clock of ``tz``."""
    nat = np.iinfo(np.int64).min
    raw = np.array([nat if v is None else int(v) for v in values_us], dtype=np.int64)
    index = pd.DatetimeIndex(raw.view("datetime64[us]"))
    return index.tz_localize("UTC").tz_convert(tz) if tz is not None else index


# --------------------------------------------------------------------------- the sleep diary

_DIARY_COLUMNS = ("id", "night", "in_bed", "out_of_bed")


def _local_datetime(text: str, what: str) -> _dt.datetime:
    try:
        value = _dt.datetime.fromisoformat(text.strip())
    except ValueError:
        raise ValueError(f"{what} is not an ISO date-time: {text!r}") from None
    if value.tzinfo is not None:
        raise ValueError(f"{what} must be a local time without a UTC offset: {text!r}")
    return value


def read_sleep_diary(path: str | os.PathLike[str]) -> pd.DataFrame:
    """Read a sleep diary: a CSV file with columns ``id``, ``night``, ``in_bed`` and
    ``out_of_bed`` (others are ignored).

    ``id`` names the recording (its file name without ``.cwa`` or ``.cwa.gz``), ``night`` is
    the ISO date of the night's evening, ``in_bed`` and ``out_of_bed`` are local ISO
    date-times without an offset. ``in_bed`` falls on the night's date or the day after, and
    ``out_of_bed`` comes after it.

    Returns
    -------
    pandas.DataFrame
        ``id`` (str), ``night`` (datetime.date), ``in_bed`` and ``out_of_bed`` (naive
        Timestamps, local time), in file order.

    Raises
    ------
    ValueError
        For a file without those columns or a row that cannot be read, naming its line in the
        file (the header is line 1); also for a night listed twice for one recording.
    """
    name = os.fspath(path)
    rows: list[tuple[str, _dt.date, _dt.datetime, _dt.datetime]] = []
    seen: dict[tuple[str, _dt.date], int] = {}
    with open(name, newline="", encoding="utf-8-sig") as f:
        reader = csv.reader(f)
        header: list[str] | None = None
        for record in reader:
            line = reader.line_num
            if header is None:
                header = [h.strip() for h in record]
                missing = [c for c in _DIARY_COLUMNS if c not in header]
                if missing:
                    raise ValueError(f"{name}: line {line}: the header lacks column(s) "
                                     f"{', '.join(missing)}")
                where = [header.index(c) for c in _DIARY_COLUMNS]
                continue
            if not any(field.strip() for field in record):
                continue                                  # a blank line
            try:
                if len(record) != len(header):
                    raise ValueError(f"expected {len(header)} fields, found {len(record)}")
                rid, night_text, in_text, out_text = (record[i] for i in where)
                rid = rid.strip()
                if not rid:
                    raise ValueError("the id is empty")
                try:
                    night = _dt.date.fromisoformat(night_text.strip())
                except ValueError:
                    raise ValueError(f"night is not an ISO date: {night_text!r}") from None
                in_bed = _local_datetime(in_text, "in_bed")
                out_of_bed = _local_datetime(out_text, "out_of_bed")
                if not out_of_bed > in_bed:
                    raise ValueError("out_of_bed must come after in_bed")
                if in_bed.date() not in (night, night + _dt.timedelta(days=1)):
                    raise ValueError(f"in_bed must fall on the night's date {night} or the "
                                     f"day after")
                if (rid, night) in seen:
                    raise ValueError(f"night {night} of {rid!r} is already on line "
                                     f"{seen[(rid, night)]}")
            except ValueError as e:
                raise ValueError(f"{name}: line {line}: {e}") from None
            seen[(rid, night)] = line
            rows.append((rid, night, in_bed, out_of_bed))
        if header is None:
            raise ValueError(f"{name}: line 1: no header (columns {', '.join(_DIARY_COLUMNS)})")
    return pd.DataFrame({
        "id": pd.Series([r[0] for r in rows], dtype=object),
        "night": pd.Series([r[1] for r in rows], dtype=object),
        "in_bed": pd.to_datetime(pd.Series([r[2] for r in rows], dtype=object)).astype(
            "datetime64[us]"),
        "out_of_bed": pd.to_datetime(pd.Series([r[3] for r in rows], dtype=object)).astype(
            "datetime64[us]"),
    })


def _recording_id(value: Any) -> str:
    """A recording's id: its file name without ``.cwa`` or ``.cwa.gz``."""
    text = os.path.basename(os.fspath(value))
    for suffix in (".cwa.gz", ".cwa"):
        if text.lower().endswith(suffix):
            return text[: -len(suffix)]
    return text


def _diary_windows(diary: Any, rid: str | None, tz: Any) -> dict[int, tuple[int, int]]:
    """Night (days since 1970-01-01) -> (in bed, out of bed) instants of one recording."""
    if diary is None:
        return {}
    if rid is None:
        raise ValueError("a diary needs the recording's id")
    table = diary if isinstance(diary, pd.DataFrame) else read_sleep_diary(diary)
    missing = [c for c in _DIARY_COLUMNS if c not in table.columns]
    if missing:
        raise ValueError(f"the diary lacks column(s) {', '.join(missing)}")
    out: dict[int, tuple[int, int]] = {}
    mine = table[table["id"].astype(str) == rid]
    for night, a, b in zip(mine["night"], mine["in_bed"], mine["out_of_bed"]):
        n = (pd.Timestamp(night).date() - _dt.date(1970, 1, 1)).days
        out[n] = (_instant(pd.Timestamp(a), tz), _instant(pd.Timestamp(b), tz))
    return out


def _instant(local: pd.Timestamp, tz: Any) -> int:
    """Microseconds of a local wall-clock time (the index's clock)."""
    if local.tzinfo is not None:
        raise ValueError("diary times are local times without an offset")
    dt = local.to_pydatetime()
    return days.local_time_us(tz, dt.date(), dt.time())


# --------------------------------------------------------------------------- nights

def _awakenings(asleep: np.ndarray) -> int:
    """Runs of wake between two epochs of sleep (wake before the first sleep or after the
    last is falling asleep or getting up, not waking in the night)."""
    slept = np.flatnonzero(asleep)
    if slept.size < 2:
        return 0
    return len(_runs(~asleep[slept[0]:slept[-1] + 1])[0])


_NIGHT_COLUMNS = ("night", "sleep_onset", "wake", "spt_hours", "sleep_hours", "waso_hours",
                  "awakenings", "sleep_efficiency", "daysleeper", "guider", "valid_night",
                  "reason")


def _night_of(tz: Any, t_us: int) -> int:
    """The night (date of its evening) an instant belongs to: noon to the next noon."""
    d = days.date_of(tz, t_us)
    return d - 1 if t_us < days.local_time_us(tz, d, _NOON) else d


def nightly_sleep(anglez: pd.Series, *, nonwear: Any = None, diary: Any = None,
                  id: str | None = None) -> pd.DataFrame:
    """Sleep per night from 5-second z-angles: the window and the sleep inside it.

    Each night runs from local noon to the next local noon and is named by the date of its
    evening; every night holding an epoch of ``anglez`` gets a row (so a recording that starts
    in the morning has a first night of a few hours; ``valid_night`` tells them apart). The
    window comes from the sleep diary when it lists the night for this recording
    (``guider`` "diary"), else from :func:`sleep_period_window` on the night
    (``guider`` "HDCZA"). When the HDCZA window ends within an hour of the night's end (noon),
    the night is analysed again from 18:00 to 18:00 and marked ``daysleeper``; that window is
    taken when it finds one. Sleep is the sustained inactivity (:func:`sustained_inactivity`,
    over the whole series) inside the window (van Hees et al. 2015, 2018).

    Parameters
    ----------
    anglez : pandas.Series
        z-angles on a regular grid of epoch starts, as :func:`anglez_epochs` gives them.
    nonwear : pandas.Series of bool, optional
        True where not worn or not recorded, on the angle's index (NaN angles count as not
        recorded either way).
    diary : str, os.PathLike or pandas.DataFrame, optional
        A sleep diary (see :func:`read_sleep_diary`).
    id : str, optional
        The recording's id in the diary: its file name without ``.cwa`` or ``.cwa.gz`` (a path
        is reduced to that). Needed with a diary.

    Returns
    -------
    pandas.DataFrame
        One row per night:

        - ``night`` (datetime.date): the date of the evening;
        - ``sleep_onset``, ``wake``: the window's start and end (NaT without a window);
        - ``spt_hours``: the window's length; ``sleep_hours``: sustained inactivity inside the
          window; ``waso_hours``: the window minus sleep; ``sleep_efficiency``: sleep over the
          window; ``awakenings`` (Int64): runs of epochs inside the window that are not sleep
          and lie between two epochs of sleep;
        - ``daysleeper`` (bool), ``guider`` ("HDCZA" or "diary");
        - ``valid_night`` (bool): at least 16 hours of worn and recorded epochs from noon to
          noon;
        - ``reason``: why the night has no window, else None.
    """
    anglez = _check_series(anglez)
    index = anglez.index
    tz = index.tz
    epoch_us = _epoch_us(index)
    t = B.index_us(index)
    a = anglez.to_numpy(dtype=np.float64)
    nw = _nonwear_mask(nonwear, index)
    valid = ~nw & ~np.isnan(a)
    sleep = sustained_inactivity(a, epoch=pd.Timedelta(microseconds=epoch_us))
    windows = _diary_windows(diary, None if id is None else _recording_id(id), tz)
    consts = dict(percentile=10, multiplier=15, threshold_range=(0.13, 0.5),
                  min_block_us=30 * _MINUTE_US, max_gap_us=60 * _MINUTE_US)

    def hdcza(lo_us: int, hi_us: int) -> tuple[int | None, int | None, str | None]:
        i, j = np.searchsorted(t, [lo_us, hi_us])
        first, end, _, reason = _window_core(a[i:j], nw[i:j], epoch_us, **consts)
        if first is None or end is None:
            return None, None, reason
        return int(t[i + first]), int(t[i + end - 1]) + epoch_us, None

    rows = []
    if len(t):
        for night in range(_night_of(tz, int(t[0])), _night_of(tz, int(t[-1])) + 1):
            n0 = days.local_time_us(tz, night, _NOON)
            n1 = days.local_time_us(tz, night + 1, _NOON)
            i, j = np.searchsorted(t, [n0, n1])
            valid_us = int(valid[i:j].sum()) * epoch_us
            daysleeper = False
            if night in windows:
                guider = "diary"
                start, end = windows[night]
                reason = None
            else:
                guider = "HDCZA"
                start, end, reason = hdcza(n0, n1)
                if end is not None and end >= n1 - 3600 * _US:
                    daysleeper = True
                    s2, e2, _ = hdcza(days.local_time_us(tz, night, _EVENING),
                                      days.local_time_us(tz, night + 1, _EVENING))
                    if s2 is not None:
                        start, end = s2, e2
            row: dict[str, Any] = {"night": days.days_as_dates(np.array([night]))[0],
                                   "daysleeper": daysleeper, "guider": guider,
                                   "valid_night": valid_us >= 16 * 3600 * _US,
                                   "reason": reason}
            if start is None or end is None:
                row.update(sleep_onset=None, wake=None, spt_hours=np.nan, sleep_hours=np.nan,
                           waso_hours=np.nan, awakenings=pd.NA, sleep_efficiency=np.nan)
            else:
                k, m = np.searchsorted(t, [start, end])
                inside = sleep[k:m]
                spt = (end - start) / 3600e6
                slept = int(inside.sum()) * epoch_us / 3600e6
                row.update(sleep_onset=start, wake=end,
                           spt_hours=spt, sleep_hours=slept, waso_hours=spt - slept,
                           awakenings=_awakenings(inside),
                           sleep_efficiency=slept / spt if spt > 0 else np.nan)
            rows.append(row)
    out = pd.DataFrame(rows, columns=list(_NIGHT_COLUMNS))
    for c in ("sleep_onset", "wake"):
        out[c] = _time_column([r[c] for r in rows], tz)
    out["awakenings"] = out["awakenings"].astype("Int64")
    for c in ("spt_hours", "sleep_hours", "waso_hours", "sleep_efficiency"):
        out[c] = out[c].astype(np.float64)
    # text columns as objects: pandas' string dtype would show a missing reason as NaN
    for c in ("night", "guider", "reason"):
        out[c] = pd.Series([r[c] for r in rows], index=out.index, dtype=object)
    for c in ("daysleeper", "valid_night"):
        out[c] = out[c].astype(bool)
    return out


# --------------------------------------------------------------------------- time use

_TIME_USE_COLUMNS = ("start", "end", "sleep_min", "wake_min", *(f"{x}_min" for x in LEVELS),
                     "nonwear_min")


def _instants(values: Any, tz: Any) -> np.ndarray:
    idx = pd.DatetimeIndex(values)
    if (idx.tz is None) != (tz is None):
        raise ValueError("the nights' times and the epochs must both be naive or both aware")
    return B.index_us(idx)


def time_use(epochs_table: pd.DataFrame, nights: pd.DataFrame, sleep: Any, *,
             cutpoints: str | Mapping[str, Any] = "default") -> pd.DataFrame:
    """Minutes per wake-to-wake day spent asleep, awake in bed and at each activity level.

    A day runs from one night's ``wake`` to the next night's ``wake`` (only between two nights
    of consecutive dates that both have a window; the time before the first wake and after the
    last is no day's). Each epoch's time within the day counts once: an epoch not worn or not
    recorded (``coverage`` below 1 or ``nonwear`` above 0, or an epoch missing from the table)
    as ``nonwear``, inside or outside a window; a worn epoch inside a sleep window as
    ``sleep`` when it is sustained inactivity, else ``wake``; outside every window at its
    intensity level (:func:`morvane_tools.activity.intensity_levels`). An epoch cut by a
    window's or day's edge (diary times need not fall on the grid) counts by its overlap.
    The minutes sum to the day's length.

    Parameters
    ----------
    epochs_table : pandas.DataFrame
        5-second epochs: index the epoch starts, ``enmo_mg``, ``coverage`` (the fraction
        recorded) and optionally ``nonwear`` (the fraction not worn).
    nights : pandas.DataFrame
        As :func:`nightly_sleep` returns it (``night``, ``sleep_onset``, ``wake``).
    sleep : array-like of bool
        Sustained inactivity on the same epochs (:func:`sustained_inactivity`).
    cutpoints : str or mapping, default "default"
        ENMO cut-points (:func:`morvane_tools.activity.cutpoints`).

    Returns
    -------
    pandas.DataFrame
        One row per day: ``start``, ``end``, then minutes ``sleep_min``, ``wake_min``,
        ``sedentary_min``, ``light_min``, ``moderate_min``, ``vigorous_min``, ``nonwear_min``.
    """
    if not isinstance(epochs_table, pd.DataFrame) or not isinstance(epochs_table.index,
                                                                    pd.DatetimeIndex):
        raise TypeError("epochs_table must be a DataFrame indexed by epoch starts")
    for c in ("enmo_mg", "coverage"):
        if c not in epochs_table.columns:
            raise ValueError(f"epochs_table lacks column {c!r}")
    tz = epochs_table.index.tz
    t = B.index_us(epochs_table.index)
    if len(t) > 1 and not (np.diff(t) > 0).all():
        raise ValueError("epochs_table must be indexed by ascending epoch starts")
    # the epoch length: the most common spacing (epochs may be missing from the table)
    spacing, count = np.unique(np.diff(t), return_counts=True)
    epoch_us = int(spacing[np.argmax(count)]) if len(spacing) else 5 * _US
    si = np.asarray(sleep, dtype=bool)
    if si.shape != (len(t),):
        raise ValueError("sleep must hold one value per epoch of the table")
    coverage = epochs_table["coverage"].to_numpy(dtype=np.float64)
    worn = coverage == 1.0
    if "nonwear" in epochs_table.columns:
        worn &= epochs_table["nonwear"].to_numpy(dtype=np.float64) == 0.0
    level = intensity_levels(epochs_table["enmo_mg"].to_numpy(dtype=np.float64), cutpoints)
    worn &= level >= 0

    for c in ("night", "sleep_onset", "wake"):
        if c not in nights.columns:
            raise ValueError(f"nights lacks column {c!r}")
    has = nights["wake"].notna() & nights["sleep_onset"].notna()
    night_no = np.array([(pd.Timestamp(d).date() - _dt.date(1970, 1, 1)).days
                         for d in nights["night"]], dtype=np.int64)
    onset = _instants(nights["sleep_onset"][has], tz)
    wake = _instants(nights["wake"][has], tz)
    # the union of the windows, as sorted disjoint intervals, and the window time before t
    order = np.argsort(onset, kind="stable")
    ws, we = [], []
    for s0, e0 in zip(onset[order].tolist(), wake[order].tolist()):
        if ws and s0 <= we[-1]:
            we[-1] = max(we[-1], e0)
        else:
            ws.append(s0)
            we.append(e0)
    w_start = np.array(ws, dtype=np.int64)
    w_len = np.array(we, dtype=np.int64) - w_start
    w_before = np.concatenate([[0], np.cumsum(w_len)])

    def in_windows_before(x: np.ndarray) -> np.ndarray:
        k = np.searchsorted(w_start, x, side="right") - 1
        kk = np.maximum(k, 0)
        part = np.clip(x - w_start[kk], 0, w_len[kk]) if len(w_start) else np.zeros(len(x))
        return np.where(k >= 0, w_before[kk] + part, 0)

    wake_of = dict(zip(night_no[has.to_numpy()].tolist(), wake.tolist()))
    rows = []
    for n in sorted(wake_of):
        if n + 1 not in wake_of:
            continue
        d0, d1 = wake_of[n], wake_of[n + 1]
        i = int(np.searchsorted(t, d0 - epoch_us, side="right"))
        j = int(np.searchsorted(t, d1, side="left"))
        lo = np.maximum(t[i:j], d0)
        hi = np.minimum(t[i:j] + epoch_us, d1)
        span = np.clip(hi - lo, 0, None)
        inside = np.clip(in_windows_before(hi) - in_windows_before(lo), 0, span)
        outside = span - inside
        w, s_, lv = worn[i:j], si[i:j], level[i:j]
        us = {"sleep": int(inside[w & s_].sum()), "wake": int(inside[w & ~s_].sum())}
        for k_, name in enumerate(LEVELS):
            us[name] = int(outside[w & (lv == k_)].sum())
        us["nonwear"] = (d1 - d0) - sum(us.values())
        row: dict[str, Any] = {"start": d0, "end": d1}
        row.update({f"{k_}_min": v / _MINUTE_US for k_, v in us.items()})
        rows.append(row)
    out = pd.DataFrame(rows, columns=list(_TIME_USE_COLUMNS))
    for c in ("start", "end"):
        out[c] = _time_column([r[c] for r in rows], tz)
    for c in _TIME_USE_COLUMNS[2:]:
        out[c] = out[c].astype(np.float64)
    return out
