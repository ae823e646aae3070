"""Zero-phase low-pass filtering of the motion channels."""

from __future__ import annotations

import math
import numpy as np
import pandas as pd

from . import binning as B
from .coverage import GAP_US

__all__ = ["lowpass"]

MOTION = ("acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z")


def sampling_rate_hz(t: np.ndarray) -> float:
    """1 / median spacing of the sample times (int64 microseconds)."""
    h = B.SpacingHistogram()
    h.add(t)
    return rate_from_histogram(h)


def rate_from_histogram(h: B.SpacingHistogram) -> float:
    med = h.median()
    if med is None or med <= 0:
        raise ValueError("the sampling rate needs at least two samples at increasing times")
    return 1e6 / med


def design(cutoff_hz: float, order: int, rate_hz: float) -> tuple[np.ndarray, int]:
    """Second-order sections and sosfiltfilt's default pad length."""
    from scipy.signal import butter

    if isinstance(order, bool) or int(order) != order or order < 1:
        raise ValueError("order must be a positive integer")
    if not cutoff_hz > 0:
        raise ValueError("cutoff_hz must be positive")
    nyquist = rate_hz / 2.0
    if cutoff_hz >= nyquist:
        raise ValueError(f"cutoff_hz {cutoff_hz:g} is not below the Nyquist rate "
                         f"{nyquist:g} Hz of the frame's {rate_hz:g} Hz sampling")
    sos = butter(int(order), cutoff_hz, fs=rate_hz, output="sos")
    ntaps = 2 * len(sos) + 1 - min(int((sos[:, 2] == 0).sum()), int((sos[:, 5] == 0).sum()))
    return sos, 3 * ntaps


def settle_samples(sos: np.ndarray) -> int:
    """Samples after which the filter's memory of its starting state has decayed below
    1e-18 of it (from the largest pole radius), with a margin."""
    from scipy.signal import sos2zpk

    p = sos2zpk(sos)[1]
    r = float(np.max(np.abs(p))) if len(p) else 0.0
    if r <= 0.0:
        return 16
    r = min(r, 1.0 - 1e-12)
    return int(math.ceil(1.5 * math.log(1e-18) / math.log(r))) + 16 * len(sos)


class StreamingLowpass:
    """The zero-phase filter of every stretch over samples arriving in consecutive pieces.

    The forward pass runs through each stretch exactly as ``sosfiltfilt`` runs it (odd
    extension at the start, state carried between pieces). The backward pass over the
    samples known so far starts ``overlap`` samples beyond those it releases, from the
    steady state of its first value; the filter forgets that start within ``overlap``
    samples, so the released values equal the whole-stretch filter to float rounding. At
    the end of a stretch the backward pass starts from the odd extension as in
    ``sosfiltfilt``. Stretches too short for the padding pass through unfiltered.
    """

    def __init__(self, sos: np.ndarray, padlen: int, period_us: float,
                 overlap: int | None = None) -> None:
        from scipy.signal import sosfilt_zi

        self.sos, self.padlen, self.period_us = sos, padlen, float(period_us)
        self.zi = sosfilt_zi(sos)[:, None, :]          # (sections, 1, 2)
        self.overlap = settle_samples(sos) if overlap is None else int(overlap)
        self._reset()
        self._prev: int | None = None

    def _reset(self) -> None:
        self.t: list[np.ndarray] = []        # unreleased samples of the current stretch
        self.raw: list[np.ndarray] = []      # (k, n) float64 inputs of those samples
        self.extra: list[list[np.ndarray]] = []
        self.yf: list[np.ndarray] = []       # forward outputs (only once started)
        self.n = 0
        self.started = False
        self.zf: np.ndarray | None = None
        self.tail: np.ndarray | None = None  # last padlen + 1 inputs of the stretch

    def feed(self, t: np.ndarray, cols: list[np.ndarray],
             extra: list[np.ndarray]) -> list[tuple[np.ndarray, list[np.ndarray], list[np.ndarray]]]:
        """Add samples; return released pieces (times, filtered float32 columns, the extra
        columns carried along unchanged)."""
        out: list = []
        if not len(t):
            return out
        bounds = B.stretch_bounds(t, self.period_us).tolist()
        step = int(t[0]) - self._prev if self._prev is not None else 0
        if self._prev is not None and self.n and (step - self.period_us >= GAP_US or step < 0):
            self._end(out)
        self._prev = int(t[-1])
        for i in range(len(bounds) - 1):
            a, b = bounds[i], bounds[i + 1]
            if i > 0:
                self._end(out)
            # pieces of bounded size keep the float64 work arrays small
            piece = max(1 << 16, 4 * self.overlap)
            for lo in range(a, b, piece):
                hi = min(lo + piece, b)
                x = np.empty((len(cols), hi - lo))
                for k, c in enumerate(cols):
                    x[k] = c[lo:hi]
                self._extend(t[lo:hi], x, [e[lo:hi] for e in extra], out)
        return out

    def finish(self) -> list:
        out: list = []
        self._end(out)
        return out

    def _extend(self, t: np.ndarray, x: np.ndarray, extra: list, out: list) -> None:
        from scipy.signal import sosfilt

        self.t.append(t)
        if not self.started:
            self.raw.append(x)
        self.extra.append(extra)
        self.n += len(t)
        tail = x if self.tail is None else np.concatenate([self.tail, x], axis=1)
        self.tail = tail[:, -(self.padlen + 1):]
        if not self.started:
            if self.n <= self.padlen:
                return
            xs = np.concatenate(self.raw, axis=1) if len(self.raw) > 1 else x
            p = self.padlen
            left = 2 * xs[:, :1] - xs[:, p:0:-1]
            if p:
                _, zf = sosfilt(self.sos, left, axis=-1, zi=self.zi * left[:, :1])
            else:
                zf = self.zi * xs[:, :1]
            y, self.zf = sosfilt(self.sos, xs, axis=-1, zi=zf)
            self.yf = [y]
            self.raw = []
            self.started = True
        else:
            y, self.zf = sosfilt(self.sos, x, axis=-1, zi=self.zf)
            self.yf.append(y)
        buffered = sum(v.shape[1] for v in self.yf)
        if buffered >= 2 * self.overlap + 4096:
            yf = np.concatenate(self.yf, axis=1)
            rev, _ = sosfilt(self.sos, yf[:, ::-1], axis=-1, zi=self.zi * yf[:, -1:])
            m = yf.shape[1] - self.overlap
            self._release(rev[:, ::-1][:, :m], m, out)
            self.yf = [yf[:, m:]]

    def _release(self, y: np.ndarray, m: int, out: list) -> None:
        """Hand out the first m buffered samples with values y (k, m)."""
        t = np.concatenate(self.t)
        ex = [np.concatenate([e[j] for e in self.extra]) for j in range(len(self.extra[0]))]
        out.append((t[:m], [v.astype(np.float32) for v in y], [e[:m] for e in ex]))
        self.t = [t[m:]]
        self.extra = [[e[m:] for e in ex]]
        self.raw = [np.concatenate(self.raw, axis=1)[:, m:]] if not self.started else []
        self.n -= m

    def _end(self, out: list) -> None:
        from scipy.signal import sosfilt

        if not self.n:
            self._reset()
            return
        if self.started:
            p = self.padlen
            tail = self.tail
            right = 2 * tail[:, -1:] - tail[:, -2:-(p + 2):-1]
            yf = np.concatenate(self.yf, axis=1)
            if p:
                yr, _ = sosfilt(self.sos, right, axis=-1, zi=self.zf)
                full = np.concatenate([yf, yr], axis=1)
            else:
                full = yf
            rev, _ = sosfilt(self.sos, full[:, ::-1], axis=-1, zi=self.zi * full[:, -1:])
            self._release(rev[:, ::-1][:, :yf.shape[1]], yf.shape[1], out)
        else:
            raw = np.concatenate(self.raw, axis=1)
            self._release(raw, raw.shape[1], out)
        self._reset()


def lowpass(frame: pd.DataFrame, cutoff_hz: float = 20.0, *, order: int = 4) -> pd.DataFrame:
    """Zero-phase Butterworth low-pass filter of the accelerometer and gyroscope.

    The filter is SciPy's ``butter(order, cutoff_hz, fs=rate, output="sos")`` applied with
    ``sosfiltfilt`` and its default padding, on float64 copies, separately on each stretch
    of samples without a gap: a stretch ends at a gap (the next sample more than a second
    plus one sampling period later, as :mod:`morvane_tools.coverage` finds gaps) or where the
    clock was set back. ``rate`` is the frame's sampling rate, 1 / the median spacing of its
    time stamps. A stretch too short for the padding
    (``sosfiltfilt``'s default pad length ``3 * (2 * sections + 1)``, 15 samples for order
    4, or fewer) is left
    unfiltered. Results are float32; NaN samples spread through their stretch, as in
    ``sosfiltfilt``.

    Parameters
    ----------
    frame : pandas.DataFrame
        Samples with a DatetimeIndex; ``acc_x``, ``acc_y``, ``acc_z`` and, when present,
        ``gyro_x``, ``gyro_y``, ``gyro_z`` are filtered. Not modified.
    cutoff_hz : float, default 20.0
        Cutoff frequency; must lie below the Nyquist rate (half the sampling rate).
    order : int, default 4
        Butterworth filter order.

    Returns
    -------
    pandas.DataFrame
        A new frame with the filtered columns (float32); every other column unchanged.

    Raises
    ------
    ValueError
        For a cutoff at or above the Nyquist rate, a non-positive cutoff or order, or a
        frame with fewer than two samples.
    """
    from scipy.signal import sosfiltfilt

    B.check_frame(frame)
    t = B.index_us(frame.index)
    rate = sampling_rate_hz(t)
    sos, padlen = design(float(cutoff_hz), order, rate)
    bounds = B.stretch_bounds(t, 1e6 / rate).tolist()
    out = frame.copy(deep=False)  # copy-on-write: the input is never changed
    for name in (c for c in MOTION if c in frame.columns):
        src = frame[name].to_numpy()
        res = src.astype(np.float32)   # always a new array
        for i in range(len(bounds) - 1):
            a, b = bounds[i], bounds[i + 1]
            if b - a > padlen:
                res[a:b] = sosfiltfilt(sos, src[a:b].astype(np.float64))
        out[name] = res
    return out
