"""Epochs: ENMO, MAD, z-angle, channel means, coverage and non-wear per clock-aligned epoch.

The epoch table is what every outcome is computed from: one row per epoch of the grid
(:mod:`morvane_tools.days`) from the one holding the first sample to the one holding the last,
with ``coverage`` (the fraction recorded) always and the ``nonwear`` fraction when non-wear is
known, so "was this epoch worn and recorded?" is answered from the table alone.
"""

from __future__ import annotations

from typing import Any, Iterable

import numpy as np
import pandas as pd

from . import binning as B
from . import days as D
from .coverage import Recorded, overlap_us
from .threads import resolve

__all__ = ["epochs", "EpochAccumulator", "epoch_table", "AUX"]

AUX = ("temperature", "light", "battery")


class EpochAccumulator:
    """Epoch statistics over samples fed in consecutive pieces (shared with ``prepare``)."""

    def __init__(self, grid: D.Grid, aux: Iterable[str], tz: Any, workers: int = 1,
                 enmo_only: bool = False) -> None:
        self.aux = tuple(aux)
        self.grid, self.tz = grid, tz
        self.feeder = B.BinFeeder(grid, B.epoch_kernel(len(self.aux), enmo_only),
                                  B.EPOCH_REDUCERS, workers)

    def feed(self, t: np.ndarray, cols: list[np.ndarray]) -> None:
        """``cols``: acc_x, acc_y, acc_z, then the auxiliary columns in ``aux`` order."""
        self.feeder.feed(t, cols)

    def table(self, recorded: Recorded, nonwear: Any = None) -> pd.DataFrame:
        ids, st = self.feeder.finish()
        return epoch_table(ids, st, self.grid, self.aux, self.tz, recorded, nonwear)


def _intervals_us(nonwear: Any, tz: Any) -> tuple[np.ndarray, np.ndarray]:
    """Start and end of non-wear intervals (DataFrame with start/end, or (start, end) pairs)
    as int64 microseconds in the frame's clock."""
    if isinstance(nonwear, pd.DataFrame):
        if not {"start", "end"} <= set(nonwear.columns):
            raise ValueError("nonwear needs columns 'start' and 'end'")
        starts, ends = nonwear["start"], nonwear["end"]
    else:
        pairs = list(nonwear)
        starts = [p["start"] if isinstance(p, dict) else p[0] for p in pairs]
        ends = [p["end"] if isinstance(p, dict) else p[1] for p in pairs]

    def us(values: Any) -> np.ndarray:
        idx = pd.DatetimeIndex(pd.to_datetime(pd.Series(values, dtype=object)
                                              if len(values) == 0 else values))
        if tz is not None and idx.tz is None:
            idx = idx.tz_localize(tz)
        elif tz is None and idx.tz is not None:
            idx = idx.tz_localize(None)
        return B.index_us(idx) if len(idx) else np.zeros(0, dtype=np.int64)

    return us(starts), us(ends)


def epoch_table(ids: np.ndarray, st: dict, grid: D.Grid, aux: tuple, tz: Any,
                recorded: Recorded, nonwear: Any) -> pd.DataFrame:
    ids = np.asarray(ids, dtype=np.int64)
    rows = grid.ids_between(int(ids[0]), int(ids[-1])) if len(ids) else ids
    count = len(rows)
    pos = np.searchsorted(rows, ids)
    samples = np.zeros(count, dtype=np.int64)
    n = st["n"] if len(ids) else np.zeros(0)
    samples[pos] = n

    def spread(values: np.ndarray, scale: float = 1.0, dtype: Any = np.float64) -> np.ndarray:
        out = np.full(count, np.nan, dtype=np.float64)
        out[pos] = values / n * scale
        return out.astype(dtype, copy=False)

    starts, ends = grid.starts(rows), grid.ends(rows)
    index = pd.DatetimeIndex(starts.astype("datetime64[us]"), name="epoch")
    if tz is not None:
        index = index.tz_localize("UTC").tz_convert(tz)
    cols: dict[str, np.ndarray] = {"samples": samples}
    full = "mad" in st or not len(ids)      # an ENMO-only accumulator leaves the rest out
    if count:
        cols["enmo_mg"] = spread(st["enmo"], 1000.0)
        if full:
            cols["mad_mg"] = spread(st["mad"], 1000.0)
            cols["anglez_deg"] = spread(st["angle"], 180.0 / np.pi)
            for k, name in enumerate(("x_mean", "y_mean", "z_mean")):
                cols[name] = spread(st["sums"][:, k], dtype=np.float32)
        for k, name in enumerate(aux):
            cols[name] = spread(st["aux"][:, k], dtype=np.float32)
    else:
        for name in ("enmo_mg", "mad_mg", "anglez_deg"):
            cols[name] = np.zeros(0)
        for name in ("x_mean", "y_mean", "z_mean", *aux):
            cols[name] = np.zeros(0, dtype=np.float32)
    cols["coverage"] = recorded.coverage(starts, ends)
    if nonwear is not None:
        s, e = _intervals_us(nonwear, tz)
        frac = overlap_us(starts, ends, s, e) / (ends - starts) if count else np.zeros(0)
        cols["nonwear"] = np.minimum(frac, 1.0).astype(np.float32)
    table = pd.DataFrame(cols, index=index)
    table.attrs["epoch"] = pd.Timedelta(microseconds=int(grid.length))
    return table


def epochs(frame: pd.DataFrame, epoch: Any = "30s", *, nonwear: Any = None,
           timezone: Any = None, device_timezone: Any = None,
           threads: int | None = None) -> pd.DataFrame:
    """Summarise a recording per clock-aligned epoch.

    On the naive device clock and with a fixed offset (UTC included), epochs start at whole
    multiples of ``epoch`` since the midnight before the first sample on the index's clock, so
    30 s epochs start at :00 and :30 of every minute. With a time zone that has daylight
    saving (an index aware in "Europe/London", say), each day's epochs start at its local
    midnight and are laid end to end; the day's last epoch is cut at the next local midnight
    when the day's length (23, 24 or 25 hours) is not a multiple of the epoch (an epoch that
    divides an hour is never cut). Every epoch from the one holding the first sample to the
    one holding the last is listed; an epoch without samples has ``samples`` 0 and NaN in its
    statistics (its ``coverage`` and ``nonwear`` fraction are still given).

    Parameters
    ----------
    frame : pandas.DataFrame
        Samples as ``read_recording`` returns them: a DatetimeIndex and ``acc_x``,
        ``acc_y``, ``acc_z`` in g; ``temperature``, ``light`` and ``battery`` are averaged
        when present. Not modified.
    epoch : str or timedelta, default "30s"
        Epoch length, a positive whole number of microseconds.
    nonwear : DataFrame or sequence of (start, end), optional
        Non-wear intervals, e.g. from :func:`detect_nonwear`; adds a ``nonwear`` column.
    timezone, device_timezone : optional
        For a frame on the naive device clock: read its times as
        :func:`morvane_tools.read_recording` does with these options (instants, shown in the
        wearer's zone). A frame whose index is aware is only shown in ``timezone``.
    threads : int, optional
        Threads that may work at once (default: the cores; one inside a Dask worker).

    Returns
    -------
    pandas.DataFrame
        Indexed by the epoch start times (``epoch``, datetime64[us], aware when the input
        is). Columns:

        - ``samples`` (int64): samples in the epoch;
        - ``enmo_mg`` (float64): mean of max(|a| - 1 g, 0), in mg;
        - ``mad_mg`` (float64): mean absolute deviation of |a| from its epoch mean, in mg;
        - ``anglez_deg`` (float64): mean of atan(a_z / sqrt(a_x^2 + a_y^2)) in degrees
          (computed as ``arctan2``, so a sample with all three axes 0 counts as 0);
        - ``x_mean``, ``y_mean``, ``z_mean`` (float32): mean acceleration per axis, in g;
        - ``temperature``, ``light``, ``battery`` (float32) when the frame has them;
        - ``coverage`` (float64): the fraction of the epoch's length that lies between the
          first and last sample and outside every gap (:mod:`morvane_tools.coverage`; the
          gaps are found from the sample times as the quality report finds them from the
          blocks), exactly 1.0 for an epoch recorded throughout;
        - ``nonwear`` (float32) when intervals are given: the fraction of the epoch's
          time inside them.

        All per-sample arithmetic and every sum is done in float64; the three derived
        measures stay float64, the plain means are float32 like the input. ``attrs["epoch"]``
        holds the epoch length (a ``pandas.Timedelta``).

    Notes
    -----
    Samples are binned by their time stamps. When the clock runs backwards into an epoch
    already seen, the two runs of samples are combined (counts, means and ENMO exactly; MAD
    about each run's own mean).
    """
    B.check_frame(frame)
    length = B.length_us(epoch, "epoch")
    aux = tuple(a for a in AUX if a in frame.columns)
    t, tz = B.frame_times(frame, timezone, device_timezone)
    grid = D.grid_for(tz, length, int(t[0]) if len(t) else 0)
    acc = EpochAccumulator(grid, aux, tz, resolve(threads))
    if len(frame):
        acc.feed(t, [B.column(frame, c) for c in (*B.ACC, *aux)])
    return acc.table(Recorded.from_samples(t), nonwear)
