"""Recordings as one lazy Dask DataFrame, one partition per recording-day."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Iterable, Sequence

import numpy as np
import pandas as pd

from .cohort.discover import find_recordings
from .options import CHANNELS, ReadOptions
from .reading import read_with
from .survey import Part, Survey, survey

if TYPE_CHECKING:  # pragma: no cover
    import dask.dataframe

__all__ = ["read_cwa_dask"]

# which include flag reads a column
_FLAG = {"mag_x": "include_magnetometer", "mag_y": "include_magnetometer",
         "mag_z": "include_magnetometer", "temperature": "include_temperature",
         "light": "include_light", "battery": "include_battery"}


class ReadDay:
    """Reads one recording-day (a picklable partition function).

    It follows Dask's protocol for readers that take ``columns``: a column selection on the
    frame is pushed into the reader, whose include flags then leave unread channels out.
    """

    def __init__(self, columns: Sequence[str], categories: Sequence[str],
                 options: ReadOptions, offsets: dict[str, int | None],
                 label: bool = True) -> None:
        self._columns = list(columns)
        self.categories = list(categories)
        self.options = options
        self.offsets = offsets
        self.label = label       # whether the frame has its "recording" column

    @property
    def columns(self) -> list[str]:
        return self._columns + (["recording"] if self.label else [])

    def project_columns(self, columns: Iterable[str]) -> ReadDay:
        keep = set(columns)
        wanted = [c for c in self._columns if c in keep]
        label = "recording" in keep
        if wanted == self._columns and label == self.label:
            return self
        return ReadDay(wanted, self.categories, pushed_down(self.options, wanted), self.offsets,
                       label)

    def __call__(self, part: tuple, columns: Sequence[str] | None = None) -> pd.DataFrame:
        import morvane

        if columns is not None:
            return self.project_columns(columns)(part)
        path, (a, b, lo, hi) = part
        options = self.options
        cut = morvane.blocks(a, b) if options.resample_hz is None else None
        frame, _ = read_with(path, options, cut=cut, offset_us=self.offsets[path])
        if lo is not None or hi is not None:
            t = np.asarray(frame.index.as_unit("us").asi8)
            keep = np.ones(len(frame), dtype=bool)
            if lo is not None:
                keep &= t >= lo
            if hi is not None:
                keep &= t < hi
            if not keep.all():
                frame = frame[keep]
        return self.shape(frame, path)

    def shape(self, frame: pd.DataFrame, path: str) -> pd.DataFrame:
        """Channel columns in the common order (absent ones NaN) and the recording label."""
        n = len(frame)
        cols = {}
        for c in self._columns:
            if c in frame.columns:
                cols[c] = frame[c].to_numpy(dtype=np.float32, copy=False)
            else:
                cols[c] = np.full(n, np.nan, dtype=np.float32)
        if self.label:
            code = self.categories.index(path)
            cols["recording"] = pd.Categorical.from_codes(np.full(n, code, dtype=np.int32),
                                                          categories=self.categories)
        return pd.DataFrame(cols, index=frame.index)


def pushed_down(options: ReadOptions, columns: Sequence[str]) -> ReadOptions:
    """The options that read only what ``columns`` needs of the optional channels."""
    flags = {flag: False for flag in set(_FLAG.values())}
    for c in columns:
        if c in _FLAG:
            flags[_FLAG[c]] = True
    return options.but(**{k: v and getattr(options, k) for k, v in flags.items()})


def read_cwa_dask(paths: Any, *, columns: Sequence[str] | None = None,
                  **options: Any) -> dask.dataframe.DataFrame:
    """Read recordings as one lazy Dask DataFrame, one partition per recording-day.

    Parameters
    ----------
    paths : path, glob pattern, or a list of them
        Recordings, or directories searched recursively for ``*.cwa`` and ``*.cwa.gz``.
    columns : sequence of str, optional
        The channels to read (``acc_x`` ... ``battery``; see ``read_recording``). They are
        pushed down to the reader: the include flags leave every optional channel out that is
        not asked for. Selecting columns on the frame later is pushed down the same way.
    **options
        Keyword options of :func:`morvane_tools.read_recording` (``include_magnetometer``,
        ``include_temperature``, ``include_light``, ``include_battery``, ``resample_hz``,
        ``fixed_utc_offset_timezone``, ``timezone``, ``device_timezone``, ``bad_blocks``,
        ``verify_checksums``, ``threads``); ``cut`` is not accepted, since the partitions are
        the cuts.

    Returns
    -------
    dask.dataframe.DataFrame
        Every channel that any of the recordings holds, in ``read_recording``'s column order
        (NaN where a recording has none; the channels come from each recording's header
        survey, not from a first block), and a categorical ``recording`` column holding the
        recording's absolute path, always. Index ``timestamp`` as ``read_recording`` gives
        it. One partition per calendar day of each recording (device-clock days; local days
        with ``timezone``; UTC days with ``device_timezone`` alone); with ``resample_hz`` one
        partition per recording, resampled whole. Computed, it equals ``pandas.concat`` of
        ``read_recording`` of each recording with the same options (and those columns).
        Divisions are known (the days' first instants) when a single recording whose block
        times never go back is read.

    Raises
    ------
    TypeError
        For an unknown option or ``cut``.
    ValueError
        For a column that is no channel of the reader, or bad option values.
    FileNotFoundError
        When no recording is found.

    Notes
    -----
    Building the frame reads each recording's block headers once (its survey); the samples
    are read when partitions are computed.
    """
    import dask.dataframe as dd

    if "cut" in options:
        raise TypeError("read_cwa_dask takes no cut: its partitions are the recording-days")
    opts = ReadOptions.of(**options)
    wanted: list[str] | None = None
    if columns is not None:
        if isinstance(columns, str):
            columns = [columns]
        wanted = [str(c) for c in columns]
        unknown = [c for c in wanted if c not in CHANNELS and c != "recording"]
        if unknown:
            raise ValueError(f"no such channel: {', '.join(unknown)}; the channels are "
                             f"{', '.join(CHANNELS)}")
        wanted = [c for c in wanted if c != "recording"]
        opts = pushed_down(opts, wanted)

    sources = [src for src, _ in find_recordings(paths)]
    if not sources:
        raise FileNotFoundError(f"no recording found in {paths!r}")
    tz = opts.clock.calendar
    parts: list[tuple[str, Part]] = []
    monotonic = True
    present: set[str] = set()
    offsets: dict[str, int | None] = {}
    surveys: dict[str, Survey] = {}
    for src in sources:
        s = survey(src, verify_checksums=opts.verify_checksums, threads=opts.threads)
        surveys[src] = s
        offsets[src] = s.offset_us(opts.clock)
        if opts.resample_hz is not None:
            these: list[Part] = [(0, 0, None, None)] if s.spans["block"].size else []
            mono = True
        else:
            these, mono = s.day_plan(tz, offsets[src])
        monotonic &= mono
        parts += [(src, p) for p in these]
        if these:
            present.update(opts.channels(s.axes))
    if not parts:
        raise ValueError("the recordings hold no sample data")

    names = [c for c in CHANNELS if c in present]
    if wanted is not None:
        names = [c for c in names if c in wanted]
    reader = ReadDay(names, sources, opts, offsets)
    meta = reader.shape(_empty_frame(opts.clock.display), sources[0])

    divisions = None
    if len(sources) == 1 and monotonic and opts.resample_hz is None:
        s = surveys[sources[0]]
        offset = offsets[sources[0]] or 0
        days, _ = s.day_plan(tz, offsets[sources[0]])
        first = int(np.floor(s.spans["start"][0] * 1e6)) - offset
        from .days import date_of, midnight_us

        lows = [midnight_us(tz, date_of(tz, first))] + [p[2] for p in days[1:]]
        # a day's partition holds times from its first instant to the next part's; the last
        # one's samples end with the recording's last data block
        upper = int(np.ceil(float(s.spans["end"].max()) * 1e6)) + 1_000_000 - offset
        divisions = tuple(_time(v, opts.clock.display) for v in [*lows, upper])
    return dd.from_map(reader, parts, meta=meta, divisions=divisions, label="read-cwa",
                       enforce_metadata=False)


def _empty_frame(tz: Any) -> pd.DataFrame:
    index = pd.DatetimeIndex(np.zeros(0, dtype="datetime64[us]"), name="timestamp")
    if tz is not None:
        index = index.tz_localize("UTC").tz_convert(tz)
    return pd.DataFrame(index=index)


def _time(us: int, tz: Any) -> pd.Timestamp:
    t = pd.Timestamp(int(us), unit="us")
    return t if tz is None else t.tz_localize("UTC").tz_convert(tz)
