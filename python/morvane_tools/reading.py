"""Reading recordings, plain or gzip-compressed, whole or a chunk at a time.

Everything here runs on the reader's own native core (``morvane_tools._native``); nothing of the
CWA format is decoded in Python. The native calls release the interpreter lock while they read.
"""

from __future__ import annotations

import datetime
from collections.abc import Iterator
from typing import Any

import pandas as pd

from . import _native
from .clock import Clock
from .options import BadBlocks, PathLike, ReadOptions, fs_path

__all__ = ["BadBlockError", "read_recording", "iter_chunks", "RecordingChunks",
           "read_metadata", "clock_offset", "show"]

#: A data block that a read with ``bad_blocks="raise"`` must not use (a ``RuntimeError``).
#: Its ``block`` attribute is the block's number after the metadata block (from 0), its
#: ``reason`` the fault, and its message both, e.g. "Invalid block timestamp (block 13)".
BadBlockError: type[RuntimeError] = _native.BadBlockError

# Blocks per chunk of a chunked read: about a million samples of 3-axis data.
DEFAULT_CHUNK_BLOCKS = 8192


def clock_offset(path: str | bytes, options: ReadOptions,
                 first_sample_us: int | None = None) -> int | None:
    """Microseconds to subtract from the recording's device times (None: keep them naive).

    A device clock set in a zone with daylight saving runs at the offset the zone had at the
    recording's first sample; that sample is looked up (one block of a plain file) unless given.
    """
    clock = options.clock
    if clock.naive:
        return None
    if clock.needs_first_sample and first_sample_us is None:
        from .options import inflater

        first_sample_us = _native.first_sample(path, verify_checksums=options.verify_checksums,
                                               inflater=inflater())
        if first_sample_us is None:
            return 0  # no sample at all: the read says so
    return clock.offset_us(first_sample_us)


def show(frame: pd.DataFrame, clock: Clock) -> pd.DataFrame:
    """Give a frame read with an offset (UTC-aware) the clock's display zone, in place."""
    tz = clock.display
    if tz is not None and tz is not datetime.timezone.utc:
        frame.index = frame.index.tz_convert(tz)
    return frame


def read_recording(
    path: PathLike,
    *,
    cut: dict[str, Any] | None = None,
    include_magnetometer: bool = True,
    include_temperature: bool = True,
    include_light: bool = True,
    include_battery: bool = True,
    resample_hz: float | None = None,
    fixed_utc_offset_timezone: datetime.tzinfo | None = None,
    timezone: str | datetime.tzinfo | None = None,
    device_timezone: str | datetime.tzinfo | datetime.timedelta | None = None,
    bad_blocks: BadBlocks = "skip",
    verify_checksums: bool = True,
    threads: int | None = None,
) -> tuple[pd.DataFrame, dict[str, Any]]:
    """Read a recording, plain or gzip-compressed, leaving out what is damaged.

    The frame follows :func:`morvane.read_cwa_file`: a ``DatetimeIndex`` named "timestamp"
    (naive device time; UTC-aware with a fixed offset or ``device_timezone``; aware in the
    wearer's zone with ``timezone``), float32 columns ``acc_x``, ``acc_y``, ``acc_z``, the
    gyroscope and magnetometer columns when recorded, and ``temperature``, ``light`` and
    ``battery`` as asked. Under ``bad_blocks="skip"`` a bad block counts exactly as an erased
    block: the result equals ``morvane.read_cwa_file`` of a decompressed copy of the file,
    without a trailing partial block, whose bad blocks are overwritten with zero bytes.

    Parameters
    ----------
    path : str or os.PathLike
        The recording. Plain and gzip files are told apart by their first bytes, not their name,
        and gzip is inflated as it is read (no temporary file, memory independent of its length).
    cut : dict, optional
        ``morvane.seconds(start, end)`` or ``morvane.blocks(start, end)``.
    include_magnetometer, include_temperature, include_light, include_battery : bool
        Which optional channels to deliver.
    resample_hz : float, optional
        Resample onto a regular grid at this rate by four-point cubic interpolation.
    fixed_utc_offset_timezone : datetime.timezone, optional
        The device clock's fixed offset from UTC; the index becomes UTC-aware. Cannot be
        combined with ``timezone`` or ``device_timezone``.
    timezone : str or tzinfo, optional
        The wearer's time zone (an IANA name such as "Europe/London"): the index is aware in
        it, its instants the device times minus the device clock's offset.
    device_timezone : str, tzinfo or timedelta, optional
        What the device clock shows: "UTC", a fixed offset (a timedelta, a fixed
        ``datetime.timezone`` or text such as "+01:00"), or an IANA name (the clock was set to
        that zone's local time and ran on without daylight-saving changes: its offset is the
        zone's at the first sample). Defaults to ``timezone``; alone it gives UTC-aware times.
    bad_blocks : {"skip", "raise"}
        ``"skip"`` reads around bad blocks and reports them; ``"raise"`` raises
        :class:`BadBlockError` at the first one, and ``RuntimeError`` for damaged compressed
        data.
    verify_checksums : bool
        Treat a data block whose 16-bit words do not sum to zero as bad ("Checksum mismatch").
        Recordings from tools that write no checksum read with ``False``.
    threads : int, optional
        Threads the read may keep working (a gzip file is inflated ahead on a second one);
        default: the cores, or one inside a Dask worker.

    Returns
    -------
    frame : pandas.DataFrame
    report : dict
        ``skipped_blocks`` (a list of ``{"block": int, "reason": str}`` in file order, the bad
        blocks of the selection), ``trailing_bytes`` (bytes of a partial block at the end, left
        out; for compressed input known once the read reaches the end), ``compressed`` (bool)
        and ``truncated`` (None, or why compressed data ended early; the blocks before it are
        in the frame).

    Raises
    ------
    FileNotFoundError, PermissionError, OSError
        The file cannot be read (the exception names the path).
    BadBlockError
        ``bad_blocks="raise"`` and a bad block in the way.
    RuntimeError
        Not a recording, no valid sample in the selection (the message says when every data
        block failed its checksum), or compressed data damaged under ``bad_blocks="raise"``.
    ValueError, TypeError
        Bad arguments (an unknown time zone names its option).
    """
    options = ReadOptions.of(
        include_magnetometer=include_magnetometer, include_temperature=include_temperature,
        include_light=include_light, include_battery=include_battery, resample_hz=resample_hz,
        fixed_utc_offset_timezone=fixed_utc_offset_timezone, timezone=timezone,
        device_timezone=device_timezone, bad_blocks=bad_blocks,
        verify_checksums=verify_checksums, threads=threads)
    return read_with(path, options, cut=cut)


def read_with(path: PathLike, options: ReadOptions, *, cut: dict[str, Any] | None = None,
              offset_us: int | None = None) -> tuple[pd.DataFrame, dict[str, Any]]:
    """:func:`read_recording` with checked options (and, when known, the clock offset)."""
    p = fs_path(path)
    if offset_us is None:
        offset_us = clock_offset(p, options)
    frame, report = _native.read(p, cut=cut, **options.native(offset_us))
    return show(frame, options.clock), report


class RecordingChunks:
    """A recording read a chunk of blocks at a time; made by :func:`iter_chunks`.

    Iterating yields DataFrames of consecutive blocks, each with :func:`read_recording`'s
    columns and dtypes; concatenated they equal ``read_recording(path, ...)`` with the same
    options, bit for bit (a gyroscope or magnetometer column starts with the first chunk that
    has such samples, and stays). It can be iterated once. ``report`` holds what the reading
    met so far, complete once the iteration ends.

    It is also a context manager: leaving the ``with`` block, calling :meth:`close`, or
    abandoning an iteration (the iterator closed or collected) closes the file at once.
    """

    def __init__(self, path: PathLike, options: ReadOptions, *,
                 chunk_blocks: int = DEFAULT_CHUNK_BLOCKS, survey: bool = False,
                 offset_us: int | None = None) -> None:
        self._path = fs_path(path)
        self._chunk_blocks = int(chunk_blocks)
        self.options = options
        if offset_us is None:
            offset_us = clock_offset(self._path, options)
        self.offset_us = offset_us
        self._stream: Any = _native.chunks_open(
            self._path, survey=survey, **options.native(offset_us, resample=False))
        self._started = False
        self._closed = False
        self._survey: dict[str, Any] | None = None
        self._report: dict[str, Any] | None = None

    def __iter__(self) -> Iterator[pd.DataFrame]:
        if self._started:
            raise RuntimeError("a chunked read can be iterated once")
        if self._closed:
            raise ValueError("the chunked read is closed")
        self._started = True
        return self._chunks()

    def _chunks(self) -> Iterator[pd.DataFrame]:
        try:
            while True:
                frame = _native.chunks_next(self._stream, max_blocks=self._chunk_blocks)
                if frame is None:
                    self._survey = _native.chunks_survey(self._stream)
                    return
                yield show(frame, self.options.clock)
        finally:
            self.close()

    def close(self) -> None:
        """Close the file (the report so far stays readable)."""
        if not self._closed:
            self._report = _native.chunks_report(self._stream)
            _native.chunks_close(self._stream)
            self._closed = True

    def __enter__(self) -> RecordingChunks:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def report(self) -> dict[str, Any]:
        """The read report so far (see :func:`read_recording`)."""
        if self._report is not None:
            return self._report
        return _native.chunks_report(self._stream)

    @property
    def survey(self) -> dict[str, Any] | None:
        """The native survey gathered while reading (opened with ``survey=True``), once the
        iteration has read every block; else None."""
        return self._survey


def iter_chunks(
    path: PathLike,
    *,
    chunk_blocks: int = DEFAULT_CHUNK_BLOCKS,
    include_magnetometer: bool = True,
    include_temperature: bool = True,
    include_light: bool = True,
    include_battery: bool = True,
    fixed_utc_offset_timezone: datetime.tzinfo | None = None,
    timezone: str | datetime.tzinfo | None = None,
    device_timezone: str | datetime.tzinfo | datetime.timedelta | None = None,
    bad_blocks: BadBlocks = "skip",
    verify_checksums: bool = True,
    threads: int | None = None,
) -> RecordingChunks:
    """Read a whole recording in chunks, so that memory does not grow with its length.

    Parameters
    ----------
    path : str or os.PathLike
        The recording, plain or gzip.
    chunk_blocks : int
        Blocks per chunk (a 3-axis block holds up to 120 samples). Chunks without any sample are
        not yielded.
    include_magnetometer, include_temperature, include_light, include_battery : bool
        As in :func:`read_recording`.
    fixed_utc_offset_timezone, timezone, device_timezone
        As in :func:`read_recording`.
    bad_blocks : {"skip", "raise"}
        As in :func:`read_recording`; errors are raised by the iteration.
    verify_checksums : bool
        As in :func:`read_recording`.
    threads : int, optional
        As in :func:`read_recording`.

    Returns
    -------
    RecordingChunks
        Iterable once, and a context manager that closes the file; its ``report`` is complete
        after the iteration.

    Examples
    --------
    >>> with iter_chunks("recording.cwa.gz") as chunks:          # doctest: +SKIP
    ...     for frame in chunks:
    ...         ...
    """
    if isinstance(chunk_blocks, bool) or not isinstance(chunk_blocks, int):
        raise TypeError("chunk_blocks must be an int")
    if chunk_blocks < 1:
        raise ValueError("chunk_blocks must be at least 1")
    options = ReadOptions.of(
        include_magnetometer=include_magnetometer, include_temperature=include_temperature,
        include_light=include_light, include_battery=include_battery,
        fixed_utc_offset_timezone=fixed_utc_offset_timezone, timezone=timezone,
        device_timezone=device_timezone, bad_blocks=bad_blocks,
        verify_checksums=verify_checksums, threads=threads)
    return RecordingChunks(path, options, chunk_blocks=chunk_blocks)


def read_metadata(path: PathLike, *, verify_checksums: bool = True) -> dict[str, Any]:
    """``morvane.read_metadata`` for plain and gzip recordings, with bad blocks left out.

    Parameters
    ----------
    path : str or os.PathLike
        The recording.
    verify_checksums : bool
        Leave out data blocks whose checksum fails when finding the first and last sample.

    Returns
    -------
    dict
        The keys and values of ``morvane.read_metadata``; ``start_from_data_raw`` and
        ``end_from_data_raw`` come from the valid blocks only (naive device time).
    """
    from .survey import survey

    return survey(path, verify_checksums=verify_checksums).metadata
