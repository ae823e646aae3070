"""The preparation chain for one recording, read in chunks."""

from __future__ import annotations

import os
import queue
import threading
from typing import Any, Iterator

import numpy as np
import pandas as pd

from . import _binning as B
from .calibration import WindowAccumulator, apply_calibration, fit_sphere
from .filters import StreamingLowpass, design, rate_from_histogram
from .nonwear import NonwearAccumulator, intervals_frame
from .summary import AUX, EpochAccumulator

__all__ = ["prepare"]

# the defaults of calibrate() and detect_nonwear(), which prepare() reproduces
_CAL = dict(window="10s", stationary_sd_g=0.013, min_axis_coverage_g=0.3, max_iterations=1000,
            tolerance=1e-6)
# blocks per chunk read (the reader's default; tests make it small to cross many chunks)
_CHUNK_BLOCKS = 8192
_NONWEAR = dict(window="60min", step="15min", sd_g=0.013, range_g=0.05, min_axes=2)


def _chunks(path: str, bad_blocks: str, **options: Any) -> Any:
    from . import iter_chunks

    return iter_chunks(path, chunk_blocks=_CHUNK_BLOCKS, include_magnetometer=False,
                       bad_blocks=bad_blocks, **options)


def _prefetch(chunks: Any, depth: int = 2) -> Iterator[pd.DataFrame]:
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


def _iso(us: int) -> str:
    return pd.Timestamp(int(us), unit="us").isoformat()


def prepare(path: str | os.PathLike[str], *, calibrate: bool = True, nonwear: bool = True,
            lowpass_hz: float | None = None, epoch: Any = "30s",
            bad_blocks: str = "skip") -> tuple[pd.DataFrame, dict[str, Any]]:
    """Calibrate, filter, find non-wear and summarise one recording in bounded memory.

    The recording is read in chunks (``iter_chunks``), twice when calibrating or filtering:
    the first pass collects the 10 s window statistics for the calibration (and the
    sample spacing for the filter's rate), the second applies the calibration and the
    filter and accumulates the non-wear and epoch statistics. Memory therefore depends on
    the chunk size, not on the recording's length. The result equals, to float rounding,
    the in-memory chain::

        frame, report = read_recording(path, bad_blocks=bad_blocks)
        frame, cal = calibrate(frame)                 # when calibrate
        frame = lowpass(frame, lowpass_hz)            # when lowpass_hz is given
        intervals = detect_nonwear(frame)             # when nonwear
        table = epochs(frame, epoch, nonwear=intervals)

    with every option of those functions at its default.

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

    Returns
    -------
    epochs : pandas.DataFrame
        As :func:`epochs` returns it.
    info : dict
        ``read``: the reader's report; ``calibration``: the calibration dict (None when
        not calibrating); ``nonwear``: list of {"start", "end" (ISO device time),
        "duration_s"} (None when not detecting); ``sampling_rate_hz``: the rate the filter
        was designed for (None without the filter).
    """
    path = os.fspath(path)
    length = B.length_us(epoch, "epoch")
    window_us = B.length_us(_CAL["window"], "window")
    nw_window = B.length_us(_NONWEAR["window"], "window")
    nw_step = B.length_us(_NONWEAR["step"], "step")
    if lowpass_hz is not None and not float(lowpass_hz) > 0:
        raise ValueError("lowpass_hz must be positive")

    cal: dict[str, Any] | None = None
    rate: float | None = None
    if calibrate or lowpass_hz is not None:
        wins: WindowAccumulator | None = None
        hist = B.SpacingHistogram() if lowpass_hz is not None else None
        first = _chunks(path, bad_blocks, include_light=False, include_battery=False,
                        include_temperature=bool(calibrate))
        for chunk in _prefetch(first):
            if not len(chunk):
                continue
            t = B.index_us(chunk.index)
            if calibrate:
                if wins is None:
                    wins = WindowAccumulator(B.midnight_us(chunk.index), window_us,
                                             "temperature" in chunk.columns)
                cols = [B.column(chunk, c) for c in B.ACC]
                if wins.temperature:
                    cols.append(B.column(chunk, "temperature"))
                wins.feed(t, cols)
            if hist is not None:
                hist.add(t)
        if calibrate:
            means, temps = (wins.stationary(_CAL["stationary_sd_g"]) if wins is not None
                            else (np.zeros((0, 3)), None))
            cal = fit_sphere(means, temps, min_axis_coverage_g=_CAL["min_axis_coverage_g"],
                             max_iterations=_CAL["max_iterations"],
                             tolerance=_CAL["tolerance"])
        if hist is not None:
            rate = rate_from_histogram(hist)

    stream = None
    if lowpass_hz is not None:
        assert rate is not None
        sos, padlen = design(float(lowpass_hz), 4, rate)
        stream = StreamingLowpass(sos, padlen)

    ep: EpochAccumulator | None = None
    nw: NonwearAccumulator | None = None
    aux: tuple[str, ...] = ()
    apply = cal is not None and cal["calibrated"]

    def consume(t: np.ndarray, acc: list[np.ndarray], extra: list[np.ndarray]) -> None:
        assert ep is not None
        if nw is not None:
            nw.feed(t, acc)
        ep.feed(t, acc + extra)

    second = _chunks(path, bad_blocks)
    for chunk in _prefetch(second):
        if not len(chunk):
            continue
        t = B.index_us(chunk.index)
        if ep is None:
            origin = B.midnight_us(chunk.index)
            aux = tuple(a for a in AUX if a in chunk.columns)
            ep = EpochAccumulator(origin, length, aux, None)
            if nonwear:
                nw = NonwearAccumulator(origin, nw_window, nw_step)
        acc = [B.column(chunk, c) for c in B.ACC]
        extra = [B.column(chunk, a) for a in aux]
        if apply:
            temp = B.column(chunk, "temperature") if "temperature" in chunk.columns else None
            acc = apply_calibration(acc, temp, cal)
        if stream is None:
            consume(t, acc, extra)
        else:
            for pt, pacc, pextra in stream.feed(t, acc, extra):
                consume(pt, pacc, pextra)
    if stream is not None:
        for pt, pacc, pextra in stream.finish():
            consume(pt, pacc, pextra)

    intervals = None
    if nonwear:
        if nw is not None:
            s, e = nw.intervals(_NONWEAR["sd_g"], _NONWEAR["range_g"], _NONWEAR["min_axes"])
        else:
            s = e = np.zeros(0, dtype=np.int64)
        intervals = intervals_frame(s, e, None)
    if ep is None:
        ep = EpochAccumulator(0, length, (), None)
    table = ep.table(intervals)
    info: dict[str, Any] = {
        "read": getattr(second, "report", None),
        "calibration": cal,
        "nonwear": None if intervals is None else [
            {"start": _iso(a), "end": _iso(b), "duration_s": float((b - a) / 1e6)}
            for a, b in zip(s.tolist(), e.tolist())],
        "sampling_rate_hz": rate,
    }
    return table, info
