"""Tolerant reading of damaged and compressed recordings, and header-only views of them.

Everything here runs on the reader's own native core (``morvane_tools._native``); nothing of the
CWA format is decoded in Python. The native calls release the interpreter lock while they read.
"""

from __future__ import annotations

import datetime
import os
from collections.abc import Iterator
from typing import Any, Literal, Union

import numpy as np
import pandas as pd

from morvane_tools import _native

__all__ = [
    "BadBlockError",
    "read_recording",
    "iter_chunks",
    "RecordingChunks",
    "block_table",
    "quality_report",
    "read_metadata",
]

PathLike = Union[str, "os.PathLike[str]"]
BadBlocks = Literal["skip", "raise"]

#: A data block that a read with ``bad_blocks="raise"`` must not use (a ``RuntimeError``).
#: Its ``block`` attribute is the block's number after the metadata block (from 0), its
#: ``reason`` the fault, and its message both, e.g. "Invalid block timestamp (block 13)".
BadBlockError: type[RuntimeError] = _native.BadBlockError

STATUSES = ("data", "erased", "empty", "bad")

# Blocks per chunk of a chunked read: about a million samples of 3-axis data.
DEFAULT_CHUNK_BLOCKS = 8192


def _path(path: PathLike) -> str | bytes:
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"path must be str or os.PathLike, not {type(path).__name__}")
    return os.fspath(path)


def _flag(name: str, value: object) -> bool:
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    raise TypeError(f"{name} must be a bool, not {type(value).__name__}")


def _skip(bad_blocks: object) -> bool:
    if bad_blocks == "skip":
        return True
    if bad_blocks == "raise":
        return False
    raise ValueError(f"bad_blocks must be 'skip' or 'raise', not {bad_blocks!r}")


def _timezone(tz: object) -> datetime.tzinfo | None:
    if tz is None or isinstance(tz, datetime.tzinfo):
        return tz
    raise TypeError(
        f"fixed_utc_offset_timezone must be a datetime.timezone or None, not {type(tz).__name__}")


def _rate(resample_hz: object) -> float | None:
    if resample_hz is None:
        return None
    if isinstance(resample_hz, (bool, np.bool_)) or not isinstance(
            resample_hz, (int, float, np.integer, np.floating)):
        raise TypeError(f"resample_hz must be a number or None, not {type(resample_hz).__name__}")
    return float(resample_hz)


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
    bad_blocks: BadBlocks = "skip",
    verify_checksums: bool = True,
) -> tuple[pd.DataFrame, dict[str, Any]]:
    """Read a recording, plain or gzip-compressed, leaving out what is damaged.

    The frame follows :func:`morvane.read_cwa_file`: a ``DatetimeIndex`` named "timestamp"
    (naive device time, or UTC with a fixed offset), float32 columns ``acc_x``, ``acc_y``,
    ``acc_z``, the gyroscope and magnetometer columns when recorded, and ``temperature``,
    ``light`` and ``battery`` as asked. Under ``bad_blocks="skip"`` a bad block counts exactly as
    an erased block: the result equals ``morvane.read_cwa_file`` of a decompressed copy of the
    file, without a trailing partial block, whose bad blocks are overwritten with zero bytes.

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
        The device clock's fixed offset from UTC; the index becomes UTC-aware.
    bad_blocks : {"skip", "raise"}
        ``"skip"`` reads around bad blocks and reports them; ``"raise"`` raises
        :class:`BadBlockError` at the first one, and ``RuntimeError`` for damaged compressed
        data.
    verify_checksums : bool
        Treat a data block whose 16-bit words do not sum to zero as bad ("Checksum mismatch").
        Recordings from tools that write no checksum read with ``False``.

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
        Bad arguments.
    """
    return _native.read(
        _path(path), cut,
        _flag("include_magnetometer", include_magnetometer),
        _flag("include_temperature", include_temperature),
        _flag("include_light", include_light),
        _flag("include_battery", include_battery),
        _rate(resample_hz), _timezone(fixed_utc_offset_timezone), _skip(bad_blocks),
        _flag("verify_checksums", verify_checksums))


class RecordingChunks:
    """A recording read a chunk of blocks at a time; made by :func:`iter_chunks`.

    Iterating yields DataFrames of consecutive blocks, each with :func:`read_recording`'s
    columns and dtypes; concatenated they equal ``read_recording(path, ...)`` with the same
    options, bit for bit (a gyroscope or magnetometer column starts with the first chunk that
    has such samples, and stays). It can be iterated once. ``report`` holds what the reading
    met so far, complete once the iteration ends.
    """

    def __init__(self, path: PathLike, chunk_blocks: int, include: tuple[bool, bool, bool, bool],
                 timezone: datetime.tzinfo | None, skip: bool, verify: bool) -> None:
        self._path = _path(path)
        self._chunk_blocks = chunk_blocks
        self._stream: Any = _native.chunks_open(self._path, *include, timezone, skip, verify)
        self._started = False

    def __iter__(self) -> Iterator[pd.DataFrame]:
        if self._started:
            raise RuntimeError("a chunked read can be iterated once")
        self._started = True
        return self._chunks()

    def _chunks(self) -> Iterator[pd.DataFrame]:
        while True:
            frame = _native.chunks_next(self._stream, self._chunk_blocks, self._path)
            if frame is None:
                return
            yield frame

    @property
    def report(self) -> dict[str, Any]:
        """The read report so far (see :func:`read_recording`)."""
        return _native.chunks_report(self._stream)


def iter_chunks(
    path: PathLike,
    *,
    chunk_blocks: int = DEFAULT_CHUNK_BLOCKS,
    include_magnetometer: bool = True,
    include_temperature: bool = True,
    include_light: bool = True,
    include_battery: bool = True,
    fixed_utc_offset_timezone: datetime.tzinfo | None = None,
    bad_blocks: BadBlocks = "skip",
    verify_checksums: bool = True,
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
    fixed_utc_offset_timezone : datetime.timezone, optional
        As in :func:`read_recording`.
    bad_blocks : {"skip", "raise"}
        As in :func:`read_recording`; errors are raised by the iteration.
    verify_checksums : bool
        As in :func:`read_recording`.

    Returns
    -------
    RecordingChunks
        Iterable once; its ``report`` is complete after the iteration.
    """
    if isinstance(chunk_blocks, bool) or not isinstance(chunk_blocks, (int, np.integer)):
        raise TypeError("chunk_blocks must be an int")
    if chunk_blocks < 1:
        raise ValueError("chunk_blocks must be at least 1")
    include = (_flag("include_magnetometer", include_magnetometer),
               _flag("include_temperature", include_temperature),
               _flag("include_light", include_light), _flag("include_battery", include_battery))
    return RecordingChunks(path, int(chunk_blocks), include,
                           _timezone(fixed_utc_offset_timezone), _skip(bad_blocks),
                           _flag("verify_checksums", verify_checksums))


def block_table(path: PathLike, *, verify_checksums: bool = True) -> pd.DataFrame:
    """One row per 512-byte block after the metadata block, from the block headers alone.

    Parameters
    ----------
    path : str or os.PathLike
        The recording, plain or gzip.
    verify_checksums : bool
        Count a data block whose checksum fails as bad.

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
        :func:`read_recording` reports them.
    """
    columns, reasons, report = _native.block_table(
        _path(path), _flag("verify_checksums", verify_checksums))
    reason = np.array(reasons, dtype=object)[columns["reason"]]
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
        "start": columns["start"].view("M8[us]"),
        "end": columns["end"].view("M8[us]"),
        "temperature": columns["temperature"],
        "light": columns["light"],
        "battery": columns["battery"],
    }, copy=False)
    frame.attrs.update({k: report[k] for k in ("trailing_bytes", "compressed", "truncated")})
    return frame


def quality_report(path: PathLike, *, verify_checksums: bool = True) -> dict[str, Any]:
    """What is in a recording and what is wrong with it, from one header-only pass.

    Parameters
    ----------
    path : str or os.PathLike
        The recording, plain or gzip.
    verify_checksums : bool
        Count a data block whose checksum fails as bad.

    Returns
    -------
    dict
        Every value JSON-serialisable. Block counts: ``blocks``, ``data_blocks`` (valid),
        ``erased_blocks``, ``empty_blocks``, ``bad_blocks`` with ``bad_block_reasons`` (reason
        to count) and ``checksum_failures`` (data blocks whose checksum fails, verified or
        not); ``checksums_verified``; ``trailing_bytes``, ``compressed``, ``truncated``.
        Over the valid blocks: ``samples``, ``first_sample`` and ``last_sample`` (device time
        text as ``morvane.read_metadata`` writes it), ``nominal_rate_hz`` (metadata block),
        ``effective_rate_hz`` ((samples - 1) / span, as ``sampling_consistency_report``),
        ``sequence_breaks`` (valid blocks whose sequence id is not the previous valid block's
        plus one) and ``missing_blocks`` (the sequence ids those breaks skip beyond the blocks
        that stand between the two in the file), ``gaps`` (blocks starting at least 1 s after
        the previous block's end), ``gap_seconds``, ``longest_gap_seconds``,
        ``backward_jumps`` (blocks starting more than 1 s before the previous end),
        ``rate_changes``, ``format_changes``, ``session_ids`` (in order of appearance),
        ``axes`` (sample axes present, e.g. ``[3]`` or ``[3, 6]``), ``days`` (a list of
        ``{"date": "YYYY-MM-DD", "hours": float}``: hours of data per device-clock day, split at
        midnight), ``temperature_range`` (``[min, max]`` in °C or None), ``battery_first`` and
        ``battery_last`` (volts or None).
    """
    return _native.quality(_path(path), _flag("verify_checksums", verify_checksums))


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
        ``end_from_data_raw`` come from the valid blocks only.
    """
    return _native.metadata(_path(path), _flag("verify_checksums", verify_checksums))
