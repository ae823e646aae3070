"""Days and epoch grids: the one definition of a day and of where epochs start.

A day is a calendar day on the clock the times are shown in: the naive device clock, or a time
zone's local calendar (23 hours on a spring daylight-saving change, 25 on an autumn one). Its
first instant is its local midnight (where midnight itself is skipped, the instant the day
begins). Times are int64 microseconds: UTC instants for a zone, device-clock readings for the
naive clock (``tz`` None).

Epochs (and every other clock-aligned bin) lie on a grid:

- :class:`UniformGrid` for the naive clock and fixed offsets: bins of one length from the
  midnight before the first sample, laid end to end across days;
- :class:`DayGrid` for zones with daylight saving: each day's bins start at its local midnight
  and are laid end to end, the day's last bin cut at the next local midnight when the day's
  length is not a multiple of the bin (a bin that divides an hour is never cut).

Both map times to integer bin ids that rise with time, so binning code needs no knowledge of
days; :func:`grid_for` chooses the grid for a zone.
"""

from __future__ import annotations

import datetime as _dt
import functools
from typing import Any, Union

import numpy as np

__all__ = ["DAY_US", "HOUR_US", "midnight_us", "date_of", "calendar_days", "UniformGrid",
           "DayGrid", "Grid", "grid_for", "is_fixed", "wall_clock_us", "local_time_us",
           "naive_us", "bin_runs"]

DAY_US = 86_400_000_000
HOUR_US = 3_600_000_000
_US = 1_000_000
_EPOCH_DATE = _dt.date(1970, 1, 1)
_EPOCH = _dt.datetime(1970, 1, 1)
# a local day lasts at most this long (26 h: a two-hour change, as some zones once had)
_LONGEST_DAY_US = 26 * HOUR_US


def is_fixed(tz: _dt.tzinfo | None) -> bool:
    """True for the naive clock and for zones whose offset never changes."""
    if tz is None or isinstance(tz, _dt.timezone):
        return True
    key = getattr(tz, "key", None)
    if key in ("UTC", "Etc/UTC", "Etc/UCT", "UCT", "Etc/Universal", "Universal", "Zulu",
               "Etc/Zulu", "GMT", "Etc/GMT", "Etc/Greenwich", "Greenwich", "Etc/GMT0", "GMT0",
               "GMT+0", "GMT-0", "Etc/GMT+0", "Etc/GMT-0"):
        return True
    if isinstance(key, str) and key.startswith("Etc/GMT"):
        return True
    return False


def _day_number(d: _dt.date) -> int:
    return (d - _EPOCH_DATE).days


def _date(n: int) -> _dt.date:
    return _EPOCH_DATE + _dt.timedelta(days=int(n))


@functools.lru_cache(maxsize=65536)
def _midnight(tz: _dt.tzinfo | None, n: int) -> int:
    base = n * DAY_US
    if tz is None:
        return base
    if isinstance(tz, _dt.timezone):
        off = tz.utcoffset(None)
    else:
        # fold 0: a repeated midnight counts from its first pass, and a skipped one (the day
        # begins with the change) is mapped with the offset before the change, which is the
        # instant of the change itself
        off = _EPOCH.replace(tzinfo=tz) + _dt.timedelta(days=n)
        off = off.utcoffset()
    assert off is not None
    return base - ((off.days * 86_400 + off.seconds) * _US + off.microseconds)


def midnight_us(tz: _dt.tzinfo | None, day: _dt.date | int) -> int:
    """The first instant of a calendar day (a date, or days since 1970-01-01)."""
    n = _day_number(day) if isinstance(day, _dt.date) else int(day)
    return _midnight(tz, n)


def local_time_us(tz: _dt.tzinfo | None, day: _dt.date | int, time: _dt.time) -> int:
    """The instant of a wall-clock time on a day (a repeated time: its first pass; a skipped
    one: the instant after the change that it would have been)."""
    n = _day_number(day) if isinstance(day, _dt.date) else int(day)
    wall = n * DAY_US + ((time.hour * 60 + time.minute) * 60 + time.second) * _US \
        + time.microsecond
    if tz is None:
        return wall
    when = _EPOCH + _dt.timedelta(microseconds=wall)
    off = when.replace(tzinfo=tz).utcoffset()
    assert off is not None
    return wall - ((off.days * 86_400 + off.seconds) * _US + off.microseconds)


def date_of(tz: _dt.tzinfo | None, t_us: int) -> int:
    """The calendar day (days since 1970-01-01) an instant falls on."""
    n = int(t_us) // DAY_US
    if tz is None:
        return n
    # the local date lies within a day of the UTC date
    n -= 2
    while _midnight(tz, n + 1) <= t_us:
        n += 1
    return n


def calendar_days(tz: _dt.tzinfo | None, first_us: int,
                  last_us: int) -> tuple[np.ndarray, np.ndarray]:
    """The days from the one holding ``first_us`` to the one holding ``last_us``.

    Returns
    -------
    days : numpy.ndarray
        int64 days since 1970-01-01, ascending and consecutive.
    bounds : numpy.ndarray
        int64 microseconds, one more than ``days``: day ``i`` is ``[bounds[i], bounds[i+1])``.
    """
    d0, d1 = date_of(tz, first_us), date_of(tz, last_us)
    days = np.arange(d0, d1 + 1, dtype=np.int64)
    bounds = np.array([_midnight(tz, int(n)) for n in range(d0, d1 + 2)], dtype=np.int64)
    return days, bounds


def days_as_dates(days: np.ndarray) -> list[_dt.date]:
    return [_date(int(n)) for n in days]


def naive_us(tz: _dt.tzinfo | None, t_us: np.ndarray) -> np.ndarray:
    """Wall-clock readings (as naive microseconds) of instants shown in ``tz``."""
    t_us = np.asarray(t_us, dtype=np.int64)
    if tz is None:
        return t_us
    if isinstance(tz, _dt.timezone):
        off = tz.utcoffset(None)
        return t_us + ((off.days * 86_400 + off.seconds) * _US + off.microseconds)
    import pandas as pd

    idx = pd.DatetimeIndex(t_us.astype("datetime64[us]")).tz_localize("UTC").tz_convert(tz)
    return np.asarray(idx.tz_localize(None).as_unit("us").asi8)


def wall_clock_us(index: Any) -> np.ndarray:
    """Microseconds since the local midnight of each time's wall-clock reading (time of day),
    for a pandas DatetimeIndex, naive or aware."""
    import pandas as pd

    idx = pd.DatetimeIndex(index)
    if idx.tz is not None:
        idx = idx.tz_localize(None)
    return np.asarray(idx.as_unit("us").asi8) % DAY_US


# --------------------------------------------------------------------------- grids

class UniformGrid:
    """Bins of ``length`` microseconds from ``origin``: bin ``k`` is
    ``[origin + k * length, origin + (k + 1) * length)``."""

    uniform = True

    def __init__(self, origin: int, length: int) -> None:
        self.origin, self.length = int(origin), int(length)

    def bin_of(self, t: np.ndarray) -> np.ndarray:
        return (np.asarray(t, dtype=np.int64) - self.origin) // self.length

    def bin_of_scalar(self, t: int) -> int:
        return (int(t) - self.origin) // self.length

    def starts(self, ids: np.ndarray) -> np.ndarray:
        return self.origin + np.asarray(ids, dtype=np.int64) * self.length

    def ends(self, ids: np.ndarray) -> np.ndarray:
        return self.starts(ids) + self.length

    def start_of(self, b: int) -> int:
        return self.origin + int(b) * self.length

    def ids_between(self, first: int, last: int) -> np.ndarray:
        """Every bin id from ``first`` to ``last`` inclusive, in order."""
        return np.arange(int(first), int(last) + 1, dtype=np.int64)

    def ids_in(self, start_us: int, end_us: int) -> np.ndarray:
        """The bins whose start lies in ``[start_us, end_us)``."""
        lo = -((self.origin - int(start_us)) // self.length)       # ceil
        hi = -((self.origin - int(end_us)) // self.length)
        return np.arange(lo, hi, dtype=np.int64)


class DayGrid:
    """Bins of ``length`` microseconds laid from each local midnight of ``tz``.

    Bin ids are ``day * slots + k`` (``day`` in days since 1970-01-01, ``k`` the bin's place in
    its day), so they rise with time; ids with ``k`` beyond a day's bins are never used.
    """

    uniform = False

    def __init__(self, tz: _dt.tzinfo, length: int) -> None:
        self.tz, self.length = tz, int(length)
        self.slots = -(-_LONGEST_DAY_US // self.length)
        self._d0 = 0
        self._bounds = np.zeros(0, dtype=np.int64)   # midnights of days _d0, _d0 + 1, ...

    def _cover(self, lo: int, hi: int) -> None:
        """Make the cached midnights cover the days holding ``lo`` and ``hi``."""
        if self._bounds.size and self._bounds[0] <= lo and hi < self._bounds[-1]:
            return
        d0 = date_of(self.tz, lo)
        d1 = date_of(self.tz, hi)
        if self._bounds.size:
            d0 = min(d0, self._d0)
            d1 = max(d1, self._d0 + self._bounds.size - 2)
        self._d0 = d0
        self._bounds = np.array([_midnight(self.tz, n) for n in range(d0, d1 + 2)],
                                dtype=np.int64)

    def _day_of(self, t: np.ndarray) -> np.ndarray:
        i = np.searchsorted(self._bounds, t, side="right") - 1
        return i

    def bin_of(self, t: np.ndarray) -> np.ndarray:
        t = np.asarray(t, dtype=np.int64)
        if not t.size:
            return np.zeros(0, dtype=np.int64)
        self._cover(int(t.min()), int(t.max()))
        i = self._day_of(t)
        k = (t - self._bounds[i]) // self.length
        return (self._d0 + i) * self.slots + k

    def bin_of_scalar(self, t: int) -> int:
        return int(self.bin_of(np.array([t], dtype=np.int64))[0])

    def _split(self, ids: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        ids = np.asarray(ids, dtype=np.int64)
        return ids // self.slots, ids % self.slots

    def starts(self, ids: np.ndarray) -> np.ndarray:
        day, k = self._split(ids)
        if not day.size:
            return np.zeros(0, dtype=np.int64)
        self._cover(_midnight(self.tz, int(day.min())), _midnight(self.tz, int(day.max())))
        return self._bounds[day - self._d0] + k * self.length

    def ends(self, ids: np.ndarray) -> np.ndarray:
        day, k = self._split(ids)
        if not day.size:
            return np.zeros(0, dtype=np.int64)
        self._cover(_midnight(self.tz, int(day.min())), _midnight(self.tz, int(day.max())))
        start = self._bounds[day - self._d0] + k * self.length
        return np.minimum(start + self.length, self._bounds[day - self._d0 + 1])

    def start_of(self, b: int) -> int:
        return int(self.starts(np.array([b], dtype=np.int64))[0])

    def ids_in(self, start_us: int, end_us: int) -> np.ndarray:
        """The bins whose start lies in ``[start_us, end_us)``, in order."""
        if end_us <= start_us:
            return np.zeros(0, dtype=np.int64)
        d0, d1 = date_of(self.tz, start_us), date_of(self.tz, end_us - 1)
        out = []
        for n in range(d0, d1 + 1):
            m0, m1 = _midnight(self.tz, n), _midnight(self.tz, n + 1)
            count = -(-(m1 - m0) // self.length)
            k = np.arange(count, dtype=np.int64)
            s = m0 + k * self.length
            keep = (s >= start_us) & (s < end_us)
            out.append(n * self.slots + k[keep])
        return np.concatenate(out) if out else np.zeros(0, dtype=np.int64)

    def ids_between(self, first: int, last: int) -> np.ndarray:
        """Every existing bin id from ``first`` to ``last`` inclusive, in order."""
        if last < first:
            return np.zeros(0, dtype=np.int64)
        return self.ids_in(self.start_of(first), self.start_of(last) + 1)


Grid = Union[UniformGrid, DayGrid]


def grid_for(tz: _dt.tzinfo | None, length_us: int, first_us: int) -> Grid:
    """The grid of bins of ``length_us`` for times shown in ``tz`` whose first is ``first_us``.

    The naive clock and fixed offsets lay one uniform grid from the midnight before the first
    time (as epochs always have been); zones with daylight saving start each day at its local
    midnight.
    """
    if is_fixed(tz):
        return UniformGrid(midnight_us(tz, date_of(tz, first_us)), length_us)
    assert tz is not None
    return DayGrid(tz, length_us)


def offset_at_us(tz: _dt.tzinfo, t_us: int) -> int:
    """The zone's UTC offset (microseconds east) at an instant."""
    when = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc) + _dt.timedelta(microseconds=int(t_us))
    off = when.astimezone(tz).utcoffset()
    assert off is not None
    return (off.days * 86_400 + off.seconds) * _US + off.microseconds


def transitions(tz: _dt.tzinfo | None, first_us: int, last_us: int) -> list[int]:
    """The instants in ``[first_us, last_us]`` at which the zone's UTC offset changes (the first
    instant with the new offset), to the second."""
    if is_fixed(tz):
        return []
    assert tz is not None
    out = []
    days, bounds = calendar_days(tz, first_us, last_us)
    for i in range(len(days)):
        lo, hi = int(bounds[i]), int(bounds[i + 1])
        if offset_at_us(tz, lo) == offset_at_us(tz, hi):
            continue
        before = offset_at_us(tz, lo)
        a, b = lo // _US, -(-hi // _US)          # whole seconds; the change lies in (a, b]
        while b - a > 1:
            m = (a + b) // 2
            if offset_at_us(tz, m * _US) == before:
                a = m
            else:
                b = m
        t = b * _US
        if first_us <= t <= last_us:
            out.append(t)
    return out


def first_midnight(tz: _dt.tzinfo | None, first_us: int) -> int:
    """The first instant of the day holding ``first_us``: the origin of uniform grids."""
    return _midnight(tz, date_of(tz, first_us))


def bin_runs(grid: Grid, t: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The runs of one bin in ascending (non-decreasing) times ``t``: where each run starts
    (0 first) and its bin's id.

    The same runs as cutting ``grid.bin_of(t)`` wherever the id changes, found by looking up
    the bins' starts among the times instead of mapping every time.
    """
    t = np.asarray(t, dtype=np.int64)
    if not len(t):
        return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64)
    ids = grid.ids_between(grid.bin_of_scalar(int(t[0])), grid.bin_of_scalar(int(t[-1])))
    pos = np.searchsorted(t, grid.starts(ids), side="left").astype(np.int64)
    pos[0] = 0
    keep = np.diff(np.append(pos, len(t))) > 0       # bins that hold a time
    return pos[keep], ids[keep]
