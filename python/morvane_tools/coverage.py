"""What time was recorded: the one answer to "was this stretch of time recorded throughout?".

Time is recorded from the recording's first sample to its last, except in the gaps. A gap is
the quality report's: the stretch from the end of one valid block to the start of the next
when that block starts at least a second later (:data:`morvane_tools.survey.GAP_S`). From a
file the gaps come from its survey; from a frame of samples alone they are found the same way
from the sample times: the next sample more than a second plus one sampling period after the
last, the gap running from one period after the last sample to the next sample.

The coverage of a stretch is the fraction of its length that lies between the first and last
sample and outside every gap, so a stretch recorded throughout has exactly 1.0. Epochs report
it; non-wear and calibration windows are judged only when recorded throughout.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

__all__ = ["Recorded", "GAP_US", "median_spacing_us", "gap_positions", "overlap_us",
           "steps_at_least"]

GAP_US = 1_000_000


def median_spacing_us(t: np.ndarray) -> float | None:
    """The median spacing of sample times (microseconds; the mean of the two middle spacings
    for an even count), None for fewer than two samples."""
    from .binning import SpacingHistogram

    h = SpacingHistogram()
    h.add(np.asarray(t, dtype=np.int64))
    return h.median()


_SLICE = 1 << 18


def steps_at_least(t: np.ndarray, low: int, backward: bool = False) -> np.ndarray:
    """Indices ``i`` with ``t[i + 1] - t[i] >= low`` (and, with ``backward``, those where the
    time goes back), a slice at a time into reused buffers, so that no spacing array of the
    whole length is made and no fresh memory is touched per slice. ``low`` must be positive."""
    if low <= 0:
        raise ValueError("low must be positive")
    t = np.asarray(t, dtype=np.int64)
    n = max(len(t) - 1, 0)
    d = np.empty(min(n, _SLICE), dtype=np.int64)
    hit = np.empty(d.size, dtype=bool)
    # a backward step is negative: seen as unsigned it is at least 2**63, so above any low
    spacing = d.view(np.uint64) if backward else d
    found = []
    for a in range(0, n, _SLICE):
        m = min(_SLICE, n - a)
        np.subtract(t[a + 1:a + 1 + m], t[a:a + m], out=d[:m])
        np.greater_equal(spacing[:m], spacing.dtype.type(low), out=hit[:m])
        if hit[:m].any():
            found.append(np.flatnonzero(hit[:m]) + a)
    return np.concatenate(found) if found else np.zeros(0, dtype=np.int64)


def gap_positions(t: np.ndarray, period_us: float | None = None) -> np.ndarray:
    """Indices ``i`` such that a gap lies between samples ``i`` and ``i + 1``: the spacing
    exceeds a second plus one sampling period (``period_us``, by default the median spacing,
    which is only needed where a spacing reaches a second)."""
    return _gaps_and_period(np.asarray(t, dtype=np.int64), period_us)[0]


def _gaps_and_period(t: np.ndarray, period_us: float | None) -> tuple[np.ndarray, float]:
    """:func:`gap_positions` and the period it used (0.0 when none was needed), so that a
    caller that also needs the period does not take the median of every spacing again."""
    at = steps_at_least(t, GAP_US)
    if not at.size:
        return at, period_us or 0.0
    if period_us is None:
        period_us = median_spacing_us(t) or 0.0
    return at[(t[at + 1] - t[at]) - period_us >= GAP_US], period_us


def overlap_us(starts: np.ndarray, ends: np.ndarray, a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Per stretch ``[starts[i], ends[i])`` (sorted, not overlapping), the microseconds it
    shares with the intervals ``[a[k], b[k])`` (not overlapping one another)."""
    s = np.asarray(starts, dtype=np.int64)
    e = np.asarray(ends, dtype=np.int64)
    a = np.asarray(a, dtype=np.int64)
    b = np.asarray(b, dtype=np.int64)
    out = np.zeros(s.size, dtype=np.int64)
    keep = b > a
    a, b = a[keep], b[keep]
    if not (a.size and s.size):
        return out
    i0 = np.searchsorted(e, a, side="right")
    i1 = np.searchsorted(s, b, side="left")
    n = np.maximum(i1 - i0, 0)
    if n.sum():
        k = np.repeat(np.arange(a.size), n)
        row = np.repeat(i0, n) + (np.arange(k.size) - np.repeat(np.cumsum(n) - n, n))
        over = np.minimum(e[row], b[k]) - np.maximum(s[row], a[k])
        np.add.at(out, row, np.clip(over, 0, None))
    return out


@dataclass(frozen=True)
class Recorded:
    """The recorded time of a recording: ``[first_us, last_us]`` without the gaps
    ``[gap_start[k], gap_end[k])``, all microseconds of one clock."""

    first_us: int
    last_us: int
    gap_start: np.ndarray
    gap_end: np.ndarray

    @classmethod
    def nothing(cls) -> Recorded:
        empty = np.zeros(0, dtype=np.int64)
        return cls(0, -1, empty, empty)

    @classmethod
    def from_samples(cls, t: np.ndarray, period_us: float | None = None) -> Recorded:
        """From sample times alone (see the module's note); ``period_us`` defaults to their
        median spacing."""
        t = np.asarray(t, dtype=np.int64)
        if not t.size:
            return cls.nothing()
        at, period_us = _gaps_and_period(t, period_us)
        start = t[at] + np.int64(round(period_us))
        return cls(int(t[0]), int(t[-1]), start.astype(np.int64), t[at + 1].astype(np.int64))

    @classmethod
    def from_gaps(cls, first_us: int, last_us: int, gap_start: np.ndarray,
                  gap_end: np.ndarray) -> Recorded:
        order = np.argsort(gap_start, kind="stable")
        return cls(int(first_us), int(last_us), np.asarray(gap_start, dtype=np.int64)[order],
                   np.asarray(gap_end, dtype=np.int64)[order])

    def coverage(self, starts: np.ndarray, ends: np.ndarray) -> np.ndarray:
        """The recorded fraction of each stretch ``[starts[i], ends[i])`` (float64; stretches
        sorted by start, not overlapping, each longer than zero)."""
        s = np.asarray(starts, dtype=np.int64)
        e = np.asarray(ends, dtype=np.int64)
        if not s.size:
            return np.zeros(0)
        inside = np.clip(np.minimum(e, self.last_us) - np.maximum(s, self.first_us), 0, None)
        g0 = np.maximum(self.gap_start, self.first_us)
        g1 = np.minimum(self.gap_end, self.last_us)
        inside = inside - overlap_us(s, e, g0, g1)
        return np.clip(inside, 0, None) / (e - s)

    def throughout(self, starts: np.ndarray, ends: np.ndarray) -> np.ndarray:
        """True for each stretch recorded throughout (coverage exactly 1)."""
        return self.coverage(starts, ends) == 1.0
