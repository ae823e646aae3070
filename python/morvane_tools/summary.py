"""Epoch summaries: ENMO, MAD, z-angle and channel means per clock-aligned epoch."""

from __future__ import annotations

from typing import Any, Iterable

import numpy as np
import pandas as pd

from . import _binning as B

__all__ = ["epochs"]

AUX = ("temperature", "light", "battery")


class EpochAccumulator:
    """Epoch statistics over samples fed in consecutive pieces (shared with ``prepare``)."""

    def __init__(self, origin: int, length: int, aux: Iterable[str], tz: Any) -> None:
        self.aux = tuple(aux)
        self.origin, self.length, self.tz = origin, length, tz
        self.feeder = B.BinFeeder(origin, length, B.epoch_kernel(len(self.aux)),
                                  B.EPOCH_REDUCERS)

    def feed(self, t: np.ndarray, cols: list[np.ndarray]) -> None:
        """``cols``: acc_x, acc_y, acc_z, then the auxiliary columns in ``aux`` order."""
        self.feeder.feed(t, cols)

    def table(self, nonwear: Any = None) -> pd.DataFrame:
        ids, st = self.feeder.finish()
        return epoch_table(ids, st, self.origin, self.length, self.aux, self.tz, nonwear)


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


def _nonwear_fraction(e0: int, count: int, length: int, s: np.ndarray,
                      e: np.ndarray) -> np.ndarray:
    frac = np.zeros(count)
    for a, b in zip(s.tolist(), e.tolist()):
        if b <= a:
            continue
        i0 = max((a - e0) // length, 0)
        i1 = min((b - 1 - e0) // length, count - 1)
        if i1 < i0:
            continue
        lo = e0 + length * np.arange(i0, i1 + 1, dtype=np.int64)
        ov = np.minimum(b, lo + length) - np.maximum(a, lo)
        frac[i0:i1 + 1] += np.clip(ov, 0, None) / length
    return np.minimum(frac, 1.0)


def epoch_table(ids: np.ndarray, st: dict, origin: int, length: int, aux: tuple,
                tz: Any, nonwear: Any) -> pd.DataFrame:
    if len(ids):
        first, last = int(ids[0]), int(ids[-1])
        count = last - first + 1
    else:
        first, count = 0, 0
    pos = ids - first
    samples = np.zeros(count, dtype=np.int64)
    n = st["n"] if len(ids) else np.zeros(0)
    samples[pos] = n

    def spread(values: np.ndarray, scale: float = 1.0, dtype: Any = np.float64) -> np.ndarray:
        out = np.full(count, np.nan, dtype=np.float64)
        out[pos] = values / n * scale
        return out.astype(dtype, copy=False)

    e0 = origin + first * length
    index = pd.DatetimeIndex((e0 + length * np.arange(count, dtype=np.int64))
                             .astype("datetime64[us]"), name="epoch")
    if tz is not None:
        index = index.tz_localize("UTC").tz_convert(tz)
    cols: dict[str, np.ndarray] = {"samples": samples}
    if count:
        cols["enmo_mg"] = spread(st["enmo"], 1000.0)
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
    if nonwear is not None:
        s, e = _intervals_us(nonwear, tz)
        cols["nonwear"] = _nonwear_fraction(e0, count, length, s, e).astype(np.float32)
    return pd.DataFrame(cols, index=index)


def epochs(frame: pd.DataFrame, epoch: Any = "30s", *, nonwear: Any = None) -> pd.DataFrame:
    """Summarise a recording per clock-aligned epoch.

    Epochs start at whole multiples of ``epoch`` since the midnight before the first
    sample on the index's clock (the device clock for a naive index, UTC for a UTC-aware
    one), so 30 s epochs start at :00 and :30 of every minute. Every
    epoch from the one holding the first sample to the one holding the last is listed;
    an epoch without samples has ``samples`` 0 and NaN everywhere else (its ``nonwear``
    fraction is still given).

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
        - ``nonwear`` (float32) when intervals are given: the fraction of the epoch's
          time inside them.

        All per-sample arithmetic and every sum is done in float64; the three derived
        measures stay float64, the plain means are float32 like the input.

    Notes
    -----
    Samples are binned by their time stamps. When the clock runs backwards into an epoch
    already seen, the two runs of samples are combined (counts, means and ENMO exactly; MAD
    about each run's own mean).
    """
    B.check_frame(frame)
    length = B.length_us(epoch, "epoch")
    aux = tuple(a for a in AUX if a in frame.columns)
    tz = frame.index.tz
    if len(frame) == 0:
        acc = EpochAccumulator(0, length, aux, tz)
        return acc.table(nonwear)
    acc = EpochAccumulator(B.midnight_us(frame.index), length, aux, tz)
    t = B.index_us(frame.index)
    acc.feed(t, [B.column(frame, c) for c in (*B.ACC, *aux)])
    return acc.table(nonwear)
