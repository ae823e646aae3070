"""Recordings as one lazy Dask DataFrame, one partition per recording-day."""

from __future__ import annotations

import datetime as _dt
from typing import TYPE_CHECKING, Any, Sequence

import numpy as np
import pandas as pd

from morvane_tools.cohort import find_recordings

if TYPE_CHECKING:  # pragma: no cover
    import dask.dataframe

_READ_OPTIONS = frozenset({
    "include_magnetometer", "include_temperature", "include_light", "include_battery",
    "resample_hz", "fixed_utc_offset_timezone", "bad_blocks", "verify_checksums",
})
# the order read_recording gives its columns in
_CANONICAL = ["acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z",
              "mag_x", "mag_y", "mag_z", "temperature", "light", "battery"]
_DAY = pd.Timedelta(days=1)


Part = tuple  # (path, first block, end block, lower bound or None, upper bound or None)


def _day_parts(path: str, table: pd.DataFrame) -> tuple[list[Part], bool]:
    """Block ranges of each device-clock day of one recording.

    A day's range starts one data block before the day's first block start, so that a block
    begun before midnight gives its samples after midnight to the day they fall in; the read
    is then trimmed to the day: from its midnight to the midnight of the next day with data
    (a block that runs into a day in which no block starts stays with its own day). Where
    the clock goes back, a run's range is taken whole. Returns the parts and whether the
    block starts never go back (needed for known divisions).
    """
    data = table[table["status"] == "data"]
    if data.empty:
        return [], True
    blocks = data["block"].to_numpy(dtype=np.int64)
    starts = pd.DatetimeIndex(data["start"]).as_unit("us")
    monotonic = bool(starts.is_monotonic_increasing)
    days = starts.floor("D")
    # runs of consecutive data blocks that start on the same day
    new_run = np.ones(len(days), dtype=bool)
    new_run[1:] = days[1:] != days[:-1]
    firsts = np.flatnonzero(new_run)
    run_days = [days[f] for f in firsts]
    end_block = int(table["block"].max()) + 1
    parts: list[Part] = []
    for i, f in enumerate(firsts):
        day = run_days[i]
        forward_in = i > 0 and run_days[i - 1] < day
        forward_out = i + 1 < len(firsts) and run_days[i + 1] > day
        a = int(blocks[f - 1]) if forward_in else int(blocks[f])
        b = int(blocks[firsts[i + 1]]) if i + 1 < len(firsts) else end_block
        parts.append((path, a, b, day if forward_in else None,
                      run_days[i + 1] if forward_out else None))
    return parts, monotonic


class _ReadDay:
    """Reads one recording-day (a picklable partition function)."""

    def __init__(self, columns: Sequence[str], categories: Sequence[str],
                 options: dict[str, Any], offset: pd.Timedelta | None) -> None:
        self.columns = list(columns)
        self.categories = list(categories)
        self.options = dict(options)
        self.offset = offset

    def index_time(self, device: pd.Timestamp) -> pd.Timestamp:
        """A device-clock time as the index holds it (UTC with a fixed offset)."""
        if self.offset is None:
            return device
        return (device - self.offset).tz_localize("UTC")

    def __call__(self, part: Part) -> pd.DataFrame:
        import morvane

        import morvane_tools

        path, a, b, lo, hi = part
        frame, _ = morvane_tools.read_recording(path, cut=morvane.blocks(a, b), **self.options)
        keep = np.ones(len(frame), dtype=bool)
        if lo is not None:
            keep &= frame.index >= self.index_time(lo)
        if hi is not None:
            keep &= frame.index < self.index_time(hi)
        if not keep.all():
            frame = frame[keep]
        return self.shape(frame, path)

    def shape(self, frame: pd.DataFrame, path: str) -> pd.DataFrame:
        """Channel columns in the common order (absent ones NaN) and the recording label."""
        n = len(frame)
        cols = {}
        for c in self.columns:
            if c in frame.columns:
                cols[c] = frame[c].to_numpy(dtype=np.float32, copy=False)
            else:
                cols[c] = np.full(n, np.nan, dtype=np.float32)
        code = self.categories.index(path)
        cols["recording"] = pd.Categorical.from_codes(np.full(n, code, dtype=np.int32),
                                                      categories=self.categories)
        return pd.DataFrame(cols, index=frame.index)


def read_cwa_dask(paths: Any, **options: Any) -> dask.dataframe.DataFrame:
    """Read recordings as one lazy Dask DataFrame, one partition per recording-day.

    Parameters
    ----------
    paths : path, glob pattern, or a list of them
        Recordings, or directories searched recursively for ``*.cwa`` and ``*.cwa.gz``.
    **options
        Keyword options of :func:`morvane_tools.read_recording` (``include_magnetometer``,
        ``include_temperature``, ``include_light``, ``include_battery``, ``resample_hz``,
        ``fixed_utc_offset_timezone``, ``bad_blocks``, ``verify_checksums``); ``cut`` is not
        accepted, since the partitions are the cuts.

    Returns
    -------
    dask.dataframe.DataFrame
        The columns and dtypes of ``read_recording`` with the same options (a channel one
        recording lacks is NaN for it), plus a categorical ``recording`` column holding the
        recording's absolute path. Index ``timestamp`` as ``read_recording`` gives it. One
        partition per device-clock day of each recording; divisions are known (the days'
        midnights, in UTC with a fixed offset) when a single recording whose block times
        never go back is read.

    Raises
    ------
    TypeError
        For an unknown option or ``cut``.
    FileNotFoundError
        When no recording is found.

    Notes
    -----
    Day boundaries come from :func:`morvane_tools.block_table` and one block of each
    recording is read to learn its channels when the frame is built; the samples are read
    when partitions are computed. With ``resample_hz`` each day is resampled on its own
    (the grid and its edges follow the day's first sample).
    """
    import dask.dataframe as dd
    import morvane

    import morvane_tools

    if "cut" in options:
        raise TypeError("read_cwa_dask takes no cut: its partitions are the recording-days")
    unknown = sorted(set(options) - _READ_OPTIONS)
    if unknown:
        raise TypeError(f"read_cwa_dask got unexpected options: {', '.join(unknown)}")
    tz = options.get("fixed_utc_offset_timezone")
    offset = None
    if tz is not None:
        if not isinstance(tz, _dt.tzinfo):
            raise TypeError("fixed_utc_offset_timezone must be a datetime.timezone")
        delta = tz.utcoffset(None)
        if delta is None:
            raise ValueError("fixed_utc_offset_timezone needs a fixed offset")
        offset = pd.Timedelta(delta)

    sources = [src for src, _ in find_recordings(paths)]
    if not sources:
        raise FileNotFoundError(f"no recording found in {paths!r}")
    verify = options.get("verify_checksums", True)
    parts: list[Part] = []
    monotonic = True
    samples: list[pd.DataFrame] = []
    first_table: pd.DataFrame | None = None
    for src in sources:
        table = morvane_tools.block_table(src, verify_checksums=verify)
        if first_table is None:
            first_table = table
        these, mono = _day_parts(src, table)
        monotonic &= mono
        parts += these
        if these:
            first = int(table.loc[table["status"] == "data", "block"].iloc[0])
            frame, _ = morvane_tools.read_recording(src, cut=morvane.blocks(first, first + 1),
                                                    **options)
            samples.append(frame.iloc[:0])
    if not parts:
        raise ValueError("the recordings hold no sample data")

    present = {str(c) for f in samples for c in f.columns}
    columns = [c for c in _CANONICAL if c in present]
    columns += sorted(present - set(columns))
    reader = _ReadDay(columns, sources, options, offset)
    meta = reader.shape(samples[0], sources[0])

    divisions = None
    if len(sources) == 1 and monotonic and first_table is not None:
        # a day's partition holds times from its midnight to the next part's midnight; the
        # last one's samples end with the recording's last data block
        data = first_table[first_table["status"] == "data"]
        lows = [pd.Timestamp(pd.Timestamp(data["start"].iloc[0]).floor("D"))]
        lows += [pd.Timestamp(part[3]) for part in parts[1:]]
        upper = pd.Timestamp(data["end"].max()) + pd.Timedelta(seconds=1)
        divisions = tuple(reader.index_time(t) for t in [*lows, upper])
    return dd.from_map(reader, parts, meta=meta, divisions=divisions, label="read-cwa",
                       enforce_metadata=False)
