"""The header survey of a recording: what is in it, what is wrong with it, and its days.

One native pass over every block header (no sample decoded) gives the metadata dictionary, the
quality report, the sample axes present anywhere in the recording and the span of every valid
data block. Everything else that depends on the blocks' times is derived from those spans here,
once: the gaps (a block starting at least a second after the previous block's end), the hours
of data per day and the day plan that splits a read by day. A whole read can collect the same
survey as it goes (:class:`morvane_tools.reading.RecordingChunks` with ``survey=True``), so a
recording that is read anyway is not read twice.
"""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from . import _native
from . import days as D
from .clock import Clock, offset_text, zone_name
from .options import PathLike, fs_path

__all__ = ["Survey", "survey", "quality_report", "block_table", "GAP_S", "STATUSES",
           "Part"]

#: A block that starts this many seconds or more after the previous valid block's end follows
#: a gap. The one definition of a gap: counted by the quality report, marked in epochs (their
#: coverage), drawn in the overview.
GAP_S = 1.0

STATUSES = ("data", "erased", "empty", "bad")

# (first block, end block, lower bound or None, upper bound or None): a read of blocks
# [first, end) trimmed to times in [lower, upper) (microseconds of the display clock)
Part = tuple


def _micros(seconds: np.ndarray) -> np.ndarray:
    """Device seconds to microseconds as the reader converts them (truncated toward zero)."""
    return (np.asarray(seconds, dtype=np.float64) * 1000000.0).astype(np.int64)


def _text_us(text: str | None) -> int | None:
    if text is None:
        return None
    return int(np.datetime64(text, "us").astype(np.int64))


@dataclass
class Survey:
    """What the header pass found. ``spans`` holds, per valid data block in file order, its
    number (``block``), start after the continuity correction (``start``), own end (``end``)
    and own start (``raw_start``), in device seconds."""

    metadata: dict[str, Any]
    quality: dict[str, Any]
    spans: dict[str, np.ndarray]

    @classmethod
    def from_native(cls, d: dict[str, Any]) -> Survey:
        return cls(d["metadata"], d["quality"], d["spans"])

    # ------------------------------------------------------------------ samples and channels

    @property
    def first_sample_us(self) -> int | None:
        """Device time of the first sample (as the read gives it), or None."""
        start = self.spans["start"]
        return int(_micros(start[:1])[0]) if start.size else None

    @property
    def last_sample_us(self) -> int | None:
        return _text_us(self.quality["last_sample"])

    @property
    def axes(self) -> list[int]:
        return list(self.quality["axes"])

    def offset_us(self, clock: Clock) -> int | None:
        """The clock's offset for this recording (None: naive)."""
        if clock.naive:
            return None
        return clock.offset_us(self.first_sample_us)

    # ------------------------------------------------------------------ gaps

    def gaps_us(self, offset_us: int | None = None) -> tuple[np.ndarray, np.ndarray]:
        """Every gap as ``[start, end)`` microseconds: from the previous valid block's end to the
        start of the block that begins at least :data:`GAP_S` later. Device times, or UTC
        instants when an offset is given."""
        start, end = self.spans["raw_start"], self.spans["end"]
        after = np.flatnonzero(start[1:] - end[:-1] >= GAP_S) + 1
        g0, g1 = _micros(end[after - 1]), _micros(start[after])
        if offset_us:
            g0, g1 = g0 - offset_us, g1 - offset_us
        return g0, g1

    # ------------------------------------------------------------------ days

    def _bounds(self, tz: _dt.tzinfo | None, offset_us: int | None,
                lo_s: float, hi_s: float) -> tuple[np.ndarray, np.ndarray]:
        """Days covering device seconds [lo_s, hi_s] (days since 1970 on the display clock)
        and their first instants in device seconds, one more than the days."""
        if tz is None:
            d0 = int(np.floor(lo_s / 86400.0))
            d1 = int(np.floor(hi_s / 86400.0))
            days = np.arange(d0, d1 + 1, dtype=np.int64)
            return days, np.arange(d0, d1 + 2, dtype=np.int64).astype(np.float64) * 86400.0
        off = offset_us or 0
        days, bounds = D.calendar_days(tz, int(lo_s * 1e6) - off - D.DAY_US,
                                       int(hi_s * 1e6) - off + D.DAY_US)
        return days, (bounds + off) / 1e6

    def _day_index(self, tz: _dt.tzinfo | None, days: np.ndarray, bounds: np.ndarray,
                   t: np.ndarray) -> np.ndarray:
        """Which day each device second falls on (an index into ``days``): on the naive clock
        as the quality pass has always found it, floor(t / 86400)."""
        if tz is None:
            return np.floor(t / 86400.0).astype(np.int64) - int(days[0])
        return np.searchsorted(bounds, t, side="right") - 1

    def day_hours(self, tz: _dt.tzinfo | None = None,
                  offset_us: int | None = None) -> list[dict[str, Any]]:
        """Hours of data per calendar day: each valid block's span split at the days' first
        instants, in block order (natively: a week holds half a million blocks); days without
        data are left out."""
        start, end = self.spans["start"], self.spans["end"]
        ok = (end > start) & np.isfinite(start) & np.isfinite(end)
        start, end = start[ok], end[ok]
        if not start.size:
            return []
        days, bounds = self._bounds(tz, offset_us, float(start.min()), float(end.max()))
        seconds, got = _native.day_seconds(np.ascontiguousarray(start), np.ascontiguousarray(end),
                                           np.ascontiguousarray(bounds), whole_days=tz is None)
        used = np.flatnonzero(got)
        return [{"date": str(np.datetime64(int(days[i]), "D")), "hours": float(seconds[i] / 3600.0)}
                for i in used]

    def day_plan(self, tz: _dt.tzinfo | None = None,
                 offset_us: int | None = None) -> tuple[list[Part], bool]:
        """Block ranges of each calendar day of the recording, for reads split by day.

        A day's range starts one data block before the day's first block start, so that a block
        begun before midnight gives its samples after midnight to the day they fall in; the read
        is then trimmed to the day: from its first instant to the first instant of the next day
        with data (a block that runs into a day in which no block starts stays with its own
        day). Where the clock goes back, a run's range is taken whole. Returns the parts and
        whether the block starts never go back (needed for known divisions).
        """
        blocks = self.spans["block"]
        start = self.spans["start"]
        if not blocks.size:
            return [], True
        monotonic = bool(np.all(start[1:] >= start[:-1]))
        days, bounds = self._bounds(tz, offset_us, float(start.min()), float(start.max()))
        day = self._day_index(tz, days, bounds, start)
        first_us = np.round(bounds * 1e6).astype(np.int64) - (offset_us or 0)
        new_run = np.ones(day.size, dtype=bool)
        new_run[1:] = day[1:] != day[:-1]
        firsts = np.flatnonzero(new_run)
        run_days = day[firsts]
        end_block = int(self.quality["blocks"])
        parts: list[Part] = []
        for i, f in enumerate(firsts):
            d = run_days[i]
            forward_in = i > 0 and run_days[i - 1] < d
            forward_out = i + 1 < len(firsts) and run_days[i + 1] > d
            a = int(blocks[f - 1]) if forward_in else int(blocks[f])
            b = int(blocks[firsts[i + 1]]) if i + 1 < len(firsts) else end_block
            parts.append((a, b, int(first_us[d]) if forward_in else None,
                          int(first_us[run_days[i + 1]]) if forward_out else None))
        return parts, monotonic

    # ------------------------------------------------------------------ the report

    def quality_report(self, clock: Clock | None = None) -> dict[str, Any]:
        """The quality report on ``clock`` (JSON-serialisable; see :func:`quality_report`)."""
        q = dict(self.quality)
        clock = clock or Clock()
        if clock.naive:
            q["days"] = self.day_hours()
            return q
        offset = self.offset_us(clock)
        tz = clock.display
        q["days"] = self.day_hours(tz, offset)
        first, last = self.first_sample_us, self.last_sample_us
        q["first_sample"] = iso(first, offset, tz)
        q["last_sample"] = iso(last, offset, tz)
        q["timezone"] = zone_name(clock.wearer)
        q["device_utc_offset_s"] = None if offset is None else offset / 1e6
        changes: list[str] = []
        if first is not None and last is not None and offset is not None:
            changes = [iso(t, 0, tz) or "" for t in
                       D.transitions(tz, first - offset, last - offset)]
        q["dst_changes"] = changes
        g0, g1 = self.gaps_us(offset)
        q["gap_intervals"] = [{"start": iso(a + (offset or 0), offset, tz),
                               "end": iso(b + (offset or 0), offset, tz),
                               "seconds": (b - a) / 1e6}
                              for a, b in zip(g0.tolist(), g1.tolist())]
        return q


def iso(device_us: int | None, offset_us: int | None, tz: _dt.tzinfo | None) -> str | None:
    """A device time as ISO text: naive device time without an offset, else the instant in
    ``tz`` with its offset ("2024-03-31T02:00:00+01:00")."""
    if device_us is None:
        return None
    if offset_us is None or tz is None:
        return pd.Timestamp(int(device_us), unit="us").isoformat()
    return pd.Timestamp(int(device_us) - offset_us, unit="us", tz="UTC").tz_convert(tz).isoformat()


def survey(path: PathLike, *, verify_checksums: bool = True,
           threads: int | None = None) -> Survey:
    """The header survey of a recording (one pass over its block headers; a gzip file is
    inflated ahead on a second thread when ``threads`` allows)."""
    from . import threads as _threads
    from .options import inflater

    if not isinstance(verify_checksums, bool):
        raise TypeError("verify_checksums must be a bool")
    return Survey.from_native(_native.survey(fs_path(path), verify_checksums=verify_checksums,
                                             threads=_threads.resolve(threads),
                                             inflater=inflater()))


def quality_report(path: PathLike, *, verify_checksums: bool = True,
                   timezone: str | _dt.tzinfo | None = None,
                   device_timezone: str | _dt.tzinfo | _dt.timedelta | None = None,
                   threads: int | None = None) -> dict[str, Any]:
    """What is in a recording and what is wrong with it, from one header-only pass.

    Parameters
    ----------
    path : str or os.PathLike
        The recording, plain or gzip.
    verify_checksums : bool
        Count a data block whose checksum fails as bad.
    timezone, device_timezone : optional
        As in :func:`morvane_tools.read_recording`: with either, ``days`` are the calendar days
        of the wearer's zone (UTC with ``device_timezone`` alone) and the times are instants.
    threads : int, optional
        As in :func:`morvane_tools.read_recording` (a gzip file is inflated ahead).

    Returns
    -------
    dict
        Every value JSON-serialisable. Block counts: ``blocks``, ``data_blocks`` (valid),
        ``erased_blocks``, ``empty_blocks``, ``bad_blocks`` with ``bad_block_reasons`` (reason
        to count) and ``checksum_failures`` (data blocks whose checksum fails, verified or
        not); ``checksums_verified``; ``trailing_bytes``, ``compressed``, ``truncated``,
        ``inflater`` ("isa-l" or "zlib": which inflater read a gzip file; None for a plain one).
        Over the valid blocks: ``samples``, ``first_sample`` and ``last_sample`` (device time
        text as ``morvane.read_metadata`` writes it; with a time zone, ISO text of the instant
        in that zone with its offset), ``nominal_rate_hz`` (metadata block),
        ``effective_rate_hz`` ((samples - 1) / span, as ``sampling_consistency_report``),
        ``sequence_breaks`` (valid blocks whose sequence id is not the previous valid block's
        plus one) and ``missing_blocks`` (the sequence ids those breaks skip beyond the blocks
        that stand between the two in the file), ``gaps`` (blocks starting at least 1 s after
        the previous block's end), ``gap_seconds``, ``longest_gap_seconds``,
        ``backward_jumps`` (blocks starting more than 1 s before the previous end),
        ``rate_changes``, ``format_changes``, ``session_ids`` (in order of appearance),
        ``axes`` (sample axes present, e.g. ``[3]`` or ``[3, 6]``), ``days`` (a list of
        ``{"date": "YYYY-MM-DD", "hours": float}``: hours of data per calendar day, split at
        the days' first instants: device-clock midnights, or local ones with a time zone, so
        a day of a daylight-saving change holds up to 23 or 25 hours), ``temperature_range``
        (``[min, max]`` in °C or None), ``battery_first`` and ``battery_last`` (volts or None).
        With ``timezone`` or ``device_timezone`` also ``timezone`` (the wearer's zone name or
        None), ``device_utc_offset_s`` (the device clock's offset used), ``dst_changes`` (the
        wearer's zone's changes inside the recording, each the ISO text of the first local
        instant after it, with the new offset) and ``gap_intervals`` (each gap's ``start`` and
        ``end`` as local ISO text with the offset, and its ``seconds``).
    """
    clock = Clock.from_options(timezone=timezone, device_timezone=device_timezone)
    return survey(path, verify_checksums=verify_checksums,
                  threads=threads).quality_report(clock)


def block_table(path: PathLike, *, verify_checksums: bool = True,
                timezone: str | _dt.tzinfo | None = None,
                device_timezone: str | _dt.tzinfo | _dt.timedelta | None = None
                ) -> pd.DataFrame:
    """One row per 512-byte block after the metadata block, from the block headers alone.

    Parameters
    ----------
    path : str or os.PathLike
        The recording, plain or gzip.
    verify_checksums : bool
        Count a data block whose checksum fails as bad.
    timezone, device_timezone : optional
        As in :func:`morvane_tools.read_recording`: ``start`` and ``end`` become instants,
        shown in the wearer's zone (UTC with ``device_timezone`` alone).

    Returns
    -------
    pandas.DataFrame
        In file order: ``block`` (int64), ``status`` (categorical: "data", "erased" (not "AX"),
        "empty" ("AX" without samples) or "bad"), ``reason`` (the fault of a bad block, else
        None), ``checksum_ok`` (bool, computed for every block), ``session_id``,
        ``sequence_id``, ``samples``, ``format`` (the axes/packing byte) as int64, ``rate_hz``
        (the block's own rate; NaN for erased blocks), ``start`` and ``end`` (datetime64[us],
        device clock, with the continuity correction of a tolerant read; NaT unless data), and
        ``temperature``, ``light``, ``battery`` (float32 as the reader converts them; NaN unless
        data). ``attrs`` holds ``trailing_bytes``, ``compressed`` and ``truncated`` as
        :func:`morvane_tools.read_recording` reports them.
    """
    clock = Clock.from_options(timezone=timezone, device_timezone=device_timezone)
    if not isinstance(verify_checksums, bool):
        raise TypeError("verify_checksums must be a bool")
    p = fs_path(path)
    from .options import inflater

    columns, reasons, report = _native.block_table(p, verify_checksums=verify_checksums,
                                                   inflater=inflater())
    reason = np.array(reasons, dtype=object)[columns["reason"]]
    start, end = columns["start"].view("M8[us]"), columns["end"].view("M8[us]")
    if not clock.naive:
        from .reading import clock_offset
        from .options import ReadOptions

        offset = clock_offset(p, ReadOptions(verify_checksums=verify_checksums, clock=clock)) or 0
        tz = clock.display

        def shown(values: np.ndarray) -> Any:
            idx = pd.DatetimeIndex(values)
            ok = ~idx.isna()
            shifted = np.where(ok, values.view(np.int64) - offset, values.view(np.int64))
            return pd.DatetimeIndex(shifted.view("M8[us]")).tz_localize("UTC").tz_convert(tz)

        start, end = shown(start), shown(end)
    frame = pd.DataFrame({
        "block": columns["block"],
        "status": pd.Categorical.from_codes(columns["status"], categories=list(STATUSES)),
        "reason": reason,
        "checksum_ok": columns["checksum_ok"].view(np.bool_),
        "session_id": columns["session_id"],
        "sequence_id": columns["sequence_id"],
        "samples": columns["samples"],
        "rate_hz": columns["rate_hz"],
        "format": columns["format"],
        "start": start,
        "end": end,
        "temperature": columns["temperature"],
        "light": columns["light"],
        "battery": columns["battery"],
    }, copy=False)
    frame.attrs.update({k: report[k] for k in ("trailing_bytes", "compressed", "truncated")})
    return frame


__all__ += ["iso", "offset_text"]
