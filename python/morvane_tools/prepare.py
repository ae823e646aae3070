"""The preparation chain for one recording, read in chunks: calibration, filter, non-wear and
epochs in bounded memory, with the recording's survey collected on the way."""

from __future__ import annotations

import datetime as _dt
import os
import queue
import threading
from dataclasses import dataclass
from typing import Any, Iterator

import numpy as np
import pandas as pd

from . import binning as B
from .calibration import WindowAccumulator, apply_calibration, fit_sphere
from .coverage import Recorded
from .days import grid_for
from .epochs import AUX, EpochAccumulator
from .filters import StreamingLowpass, design, rate_from_histogram
from .nonwear import NonwearAccumulator, NonwearRule, intervals_frame
from .options import ReadOptions, fs_path
from .reading import RecordingChunks, clock_offset
from .survey import Survey, iso

__all__ = ["prepare", "prepare_with", "Prepared", "Preparation", "prefetch"]

# the defaults of calibrate(), which prepare() reproduces
_CAL = dict(window="10s", stationary_sd_g=0.013, min_axis_coverage_g=0.3, max_iterations=1000,
            tolerance=1e-6)
# blocks per chunk read (the reader's default; tests make it small to cross many chunks)
_CHUNK_BLOCKS = 8192


def prefetch(chunks: Any, depth: int = 2) -> Iterator[pd.DataFrame]:
    """Iterate ``chunks`` on a background thread, ``depth`` chunks ahead (the reader
    releases the interpreter lock, so decoding overlaps the statistics)."""
    q: queue.Queue = queue.Queue(maxsize=depth)
    stop = threading.Event()
    done = object()

    def put(item: Any) -> bool:
        while not stop.is_set():
            try:
                q.put(item, timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def work() -> None:
        try:
            for chunk in chunks:
                if not put(chunk):
                    return
        except BaseException as e:  # handed to the consumer
            put(e)
            return
        put(done)

    th = threading.Thread(target=work, name="morvane-tools-read", daemon=True)
    th.start()
    try:
        while True:
            item = q.get()
            if item is done:
                break
            if isinstance(item, BaseException):
                raise item
            yield item
    finally:
        stop.set()
        th.join()


def _is_gzip(path: str | bytes) -> bool:
    """True when the file starts a gzip member (as the reader tells them apart)."""
    try:
        with open(path, "rb") as f:
            return f.read(2) == b"\x1f\x8b"
    except OSError:
        return False       # the read says why


class Prepared:
    """What a chunked pass shares with the next: the survey, the sample span, the clock."""

    def __init__(self, path: str | bytes, options: ReadOptions,
                 chunk_blocks: int | None = None) -> None:
        self.path = path
        self.chunk_blocks = _CHUNK_BLOCKS if chunk_blocks is None else chunk_blocks
        self.options = options
        self.offset_us = clock_offset(path, options)
        self.tz = options.clock.display
        self.survey: Survey | None = None
        self.first_us: int | None = None
        self.last_us: int | None = None
        self.report: dict[str, Any] | None = None
        # The threads allowed are shared out, so that no more ever work at once: a gzip file
        # takes one to inflate ahead (the reader's own), then one thread decodes chunks ahead
        # of the statistics, and the rest compute (the caller's thread among them).
        allowed = options.workers
        self.reader_threads = 2 if allowed >= 2 and _is_gzip(path) else 1
        left = allowed - (self.reader_threads - 1)
        self.read_ahead = left >= 2
        self.workers = left - 1 if self.read_ahead else 1

    def chunks(self, **include: bool) -> Iterator[tuple[np.ndarray, pd.DataFrame]]:
        """One pass: (sample times in microseconds, chunk) for every chunk with samples."""
        options = self.options.but(include_magnetometer=False, threads=self.reader_threads,
                                   **include)
        stream = RecordingChunks(self.path, options, chunk_blocks=self.chunk_blocks,
                                 survey=self.survey is None, offset_us=self.offset_us)
        with stream:
            source = prefetch(stream) if self.read_ahead else iter(stream)
            for chunk in source:
                if not len(chunk):
                    continue
                t = B.index_us(chunk.index)
                if self.first_us is None:
                    self.first_us = int(t[0])
                self.last_us = int(t[-1])
                yield t, chunk
        if self.survey is None and stream.survey is not None:
            self.survey = Survey.from_native(stream.survey)
        self.report = stream.report

    def recorded(self) -> Recorded:
        """The recorded time: from the first to the last sample read, without the survey's
        gaps."""
        if self.first_us is None or self.last_us is None or self.survey is None:
            return Recorded.nothing()
        g0, g1 = self.survey.gaps_us(self.offset_us)
        return Recorded.from_gaps(self.first_us, self.last_us, g0, g1)


def prepare(path: str | os.PathLike[str], *, calibrate: bool = True, nonwear: bool = True,
            lowpass_hz: float | None = None, epoch: Any = "30s", bad_blocks: str = "skip",
            timezone: str | _dt.tzinfo | None = None,
            device_timezone: str | _dt.tzinfo | _dt.timedelta | None = None,
            verify_checksums: bool = True,
            threads: int | None = None) -> tuple[pd.DataFrame, dict[str, Any]]:
    """Calibrate, filter, find non-wear and summarise one recording in bounded memory.

    The recording is read in chunks, twice when calibrating or filtering: the first pass
    collects the 10 s window statistics for the calibration (and the sample spacing for the
    filter's rate), the second applies the calibration and the filter and accumulates the
    non-wear and epoch statistics. The recording's survey (its quality report and gaps) is
    collected during the first pass, so no other pass is made. Memory depends on the chunk
    size, not on the recording's length. The result equals, to float rounding, the in-memory
    chain::

        frame, report = read_recording(path, bad_blocks=bad_blocks, timezone=timezone,
                                       device_timezone=device_timezone)
        frame, cal = calibrate(frame)                 # when calibrate
        frame = lowpass(frame, lowpass_hz)            # when lowpass_hz is given
        intervals = detect_nonwear(frame)             # when nonwear
        table = epochs(frame, epoch, nonwear=intervals)

    with every option of those functions at its default (coverage and non-wear windows are
    judged on the gaps the quality report finds in the blocks; the in-memory functions find
    the same gaps from the sample times).

    Parameters
    ----------
    path : str or os.PathLike
        A CWA recording (plain or gzip-compressed).
    calibrate : bool, default True
        Autocalibrate against gravity (see :func:`calibrate`).
    nonwear : bool, default True
        Detect non-wear (see :func:`detect_nonwear`) and add the ``nonwear`` fraction to
        the epochs.
    lowpass_hz : float, optional
        Low-pass filter the accelerometer at this cutoff (see :func:`lowpass`; order 4)
        after calibrating.
    epoch : str or timedelta, default "30s"
        Epoch length (see :func:`epochs`).
    bad_blocks : str, default "skip"
        Passed on to the reader.
    timezone, device_timezone : optional
        As in :func:`read_recording`: epochs are aligned to each local midnight and the
        table's index is aware in the wearer's zone.
    verify_checksums : bool, default True
        Passed on to the reader.
    threads : int, optional
        Threads that may work at once (one reads ahead when there are two or more); default:
        the machine's cores, one inside a Dask worker.

    Returns
    -------
    epochs : pandas.DataFrame
        As :func:`epochs` returns it.
    info : dict
        ``read``: the reader's report; ``calibration``: the calibration dict (None when
        not calibrating); ``nonwear``: list of {"start", "end" (ISO, device time or local
        with its offset), "duration_s"} (None when not detecting); ``sampling_rate_hz``: the
        rate the filter was designed for (None without the filter); ``metadata`` and
        ``quality``: the recording's ``read_metadata`` dictionary and quality report (on the
        same clock); ``timezone`` and ``device_utc_offset_s``.
    """
    p = fs_path(path)
    length = B.length_us(epoch, "epoch")
    if lowpass_hz is not None and not float(lowpass_hz) > 0:
        raise ValueError("lowpass_hz must be positive")
    for name, flag in (("calibrate", calibrate), ("nonwear", nonwear)):
        if not isinstance(flag, bool):
            raise TypeError(f"{name} must be True or False")
    options = ReadOptions.of(bad_blocks=bad_blocks, timezone=timezone,
                             device_timezone=device_timezone, verify_checksums=verify_checksums,
                             threads=threads)
    done = prepare_with(p, options, calibrate=calibrate, nonwear=nonwear,
                        lowpass_hz=lowpass_hz, epoch_us=length)
    return done.table, done.info()


@dataclass
class Preparation:
    """Everything one preparation found; :meth:`info` is the JSON-serialisable part."""

    table: pd.DataFrame
    options: ReadOptions
    calibration: dict[str, Any] | None
    nonwear: tuple[np.ndarray, np.ndarray] | None   # intervals, microseconds of the table's clock
    recorded: Recorded
    survey: Survey | None
    offset_us: int | None
    report: dict[str, Any] | None
    sampling_rate_hz: float | None
    # with anglez: the z-angle per 5-second epoch and the 5-second epoch table it goes with
    anglez: pd.Series | None = None
    table_5s: pd.DataFrame | None = None

    def info(self) -> dict[str, Any]:
        offset, tz = self.offset_us, self.options.clock.display
        shift = offset or 0
        intervals = None
        if self.nonwear is not None:
            s, e = self.nonwear
            intervals = [{"start": iso(a + shift, offset, tz), "end": iso(b + shift, offset, tz),
                          "duration_s": float((b - a) / 1e6)}
                         for a, b in zip(s.tolist(), e.tolist())]
        survey = self.survey
        return {
            "read": self.report,
            "calibration": self.calibration,
            "nonwear": intervals,
            "sampling_rate_hz": self.sampling_rate_hz,
            "metadata": survey.metadata if survey is not None else None,
            "quality": survey.quality_report(self.options.clock) if survey is not None else None,
            "timezone": self.options.clock.describe()["timezone"],
            "device_utc_offset_s": None if offset is None else offset / 1e6,
        }


SLEEP_EPOCH_US = 5_000_000


def prepare_with(path: str | bytes, options: ReadOptions, *, calibrate: bool, nonwear: bool,
                 lowpass_hz: float | None, epoch_us: int, chunk_blocks: int | None = None,
                 anglez: bool = False, enmo_only: bool = False) -> Preparation:
    """:func:`prepare` with checked options. With ``anglez`` the same pass also gives the
    z-angle per 5-second epoch of the calibrated samples and a 5-second epoch table
    (:mod:`morvane_tools.sleep`). With ``enmo_only`` the epochs hold ENMO (the same values)
    and the auxiliary means, not MAD, angles or axis means."""
    p = path
    length = epoch_us
    window_us = B.length_us(_CAL["window"], "window")
    rule = NonwearRule()
    run = Prepared(p, options, chunk_blocks)
    tz = run.tz

    cal: dict[str, Any] | None = None
    rate: float | None = None
    if calibrate or lowpass_hz is not None:
        wins: WindowAccumulator | None = None
        hist = B.SpacingHistogram() if lowpass_hz is not None else None
        for t, chunk in run.chunks(include_light=False, include_battery=False,
                                   include_temperature=bool(calibrate)):
            if calibrate:
                if wins is None:
                    wins = WindowAccumulator(tz, int(t[0]), window_us,
                                             "temperature" in chunk.columns, run.workers)
                cols = [B.column(chunk, c) for c in B.ACC]
                if wins.temperature:
                    cols.append(B.column(chunk, "temperature"))
                wins.feed(t, cols)
            if hist is not None:
                hist.add(t)
        if calibrate:
            means, temps = (wins.stationary(run.recorded(), _CAL["stationary_sd_g"])
                            if wins is not None else (np.zeros((0, 3)), None))
            cal = fit_sphere(means, temps, min_axis_coverage_g=_CAL["min_axis_coverage_g"],
                             max_iterations=_CAL["max_iterations"],
                             tolerance=_CAL["tolerance"])
        if hist is not None:
            rate = rate_from_histogram(hist)

    stream = None
    if lowpass_hz is not None:
        assert rate is not None
        sos, padlen = design(float(lowpass_hz), 4, rate)
        stream = StreamingLowpass(sos, padlen, 1e6 / rate)

    ep: EpochAccumulator | None = None
    ep5: EpochAccumulator | None = None
    nw: NonwearAccumulator | None = None
    az: Any = None
    aux: tuple[str, ...] = ()
    apply = cal is not None and cal["calibrated"]

    def consume(t: np.ndarray, acc: list[np.ndarray], extra: list[np.ndarray]) -> None:
        assert ep is not None
        if nw is not None:
            nw.feed(t, acc)
        ep.feed(t, acc + extra)
        if ep5 is not None:
            ep5.feed(t, acc + extra)
        if az is not None:
            az.feed(t, *acc)

    for t, chunk in run.chunks():
        if ep is None:
            aux = tuple(a for a in AUX if a in chunk.columns)
            ep = EpochAccumulator(grid_for(tz, length, int(t[0])), aux, tz, run.workers,
                                  enmo_only)
            if nonwear:
                nw = NonwearAccumulator(tz, int(t[0]), rule, run.workers)
            if anglez:
                from .sleep import AnglezAccumulator

                grid5 = grid_for(tz, SLEEP_EPOCH_US, int(t[0]))
                az = AnglezAccumulator(grid5, tz, run.workers)
                if length != SLEEP_EPOCH_US:
                    ep5 = EpochAccumulator(grid5, aux, tz, run.workers)
        acc = [B.column(chunk, c) for c in B.ACC]
        extra = [B.column(chunk, a) for a in aux]
        if apply:
            temp = B.column(chunk, "temperature") if "temperature" in chunk.columns else None
            acc = apply_calibration(acc, temp, cal, run.workers)
        if stream is None:
            consume(t, acc, extra)
        else:
            for pt, pacc, pextra in stream.feed(t, acc, extra):
                consume(pt, pacc, pextra)
    if stream is not None:
        for pt, pacc, pextra in stream.finish():
            consume(pt, pacc, pextra)

    recorded = run.recorded()
    intervals = None
    found: tuple[np.ndarray, np.ndarray] | None = None
    if nonwear:
        if nw is not None:
            found = nw.intervals(recorded)
        else:
            found = (np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64))
        intervals = intervals_frame(*found, tz)
    if ep is None:
        ep = EpochAccumulator(grid_for(tz, length, 0), (), tz)
    table = ep.table(recorded, intervals)
    done = Preparation(table, options, cal, found, recorded, run.survey, run.offset_us,
                       run.report, rate)
    if az is not None:
        done.anglez = az.finish()
        done.table_5s = ep5.table(recorded, intervals) if ep5 is not None else table
    return done
