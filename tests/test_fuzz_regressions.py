"""Replays the fuzzer's inputs through the Python module.

Every file in fuzz/regressions/ (inputs that once crashed or broke an invariant of the native
fuzz target) and in fuzz/corpus/ (the seeds plus the inputs that reach the rest of the covered
code) goes through all six module functions with the same cut, include flags, resample rate and
UTC offset that fuzz/fuzz_reader.cpp takes from bytes 42..63 of the input. A malformed file may
only ever raise RuntimeError (reading) or ValueError (arguments); anything else, a crash of the
interpreter included, is a defect.
"""

from __future__ import annotations

import datetime as dt
import math
import struct
from pathlib import Path

import numpy as np
import pytest

import morvane

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
PARAM_OFFSET = 42
PARAM_SIZE = 22
MAX_ROWS = 5000.0          # as fuzz_reader.cpp: resampled outputs stay small
WORST_SPREAD_S = 2.1e9     # no two samples of any file lie further apart
ODD_SECONDS = [0.0, -0.0, 1e-9, 1e300, 1.7e308, -1.0, 1e-300, 4e9,
               2.5e-7, 1e6, 86400.0, 3600.5, 0.5, 1.0, 1.2, 60.0]


def _inputs():
    files = []
    for sub in ("regressions", "corpus"):
        d = FUZZ / sub
        if d.is_dir():
            files += sorted(p for p in d.iterdir() if p.is_file() and not p.name.startswith("."))
    return files


def _seconds_value(v: int) -> float:
    if v >> 12 == 0xF:
        return ODD_SECONDS[v & 15]
    if v >> 12 == 0xE:
        return math.nan
    return v / 128.0


def _rate_value(v: int) -> float:
    if v == 0:
        return 10000.0
    hz = (v & 0x7FFF) / 3.0 if v & 0x8000 else v / 512.0
    if not hz > 0.0:
        return 1e-3
    return min(hz, 10000.0)


class Params:
    """The fuzz target's reading of the parameter bytes (zero where the file is shorter)."""

    def __init__(self, data: bytes):
        raw = data[PARAM_OFFSET:PARAM_OFFSET + PARAM_SIZE]
        b = raw + bytes(PARAM_SIZE - len(raw))
        flags = b[0]
        u16 = lambda i: struct.unpack_from("<H", b, i)[0]  # noqa: E731
        self.include = dict(include_magnetometer=bool(flags & 0x10),
                            include_temperature=bool(flags & 0x20),
                            include_light=bool(flags & 0x40),
                            include_battery=bool(flags & 0x80))
        self.blocks = (b[1] if flags & 1 else None, b[2] if flags & 2 else None)
        self.seconds = (_seconds_value(u16(3)) if flags & 4 else None,
                        _seconds_value(u16(5)) if flags & 8 else None)
        self.rates = [_rate_value(u16(7 + 2 * k)) for k in range(3)]
        offset_us = struct.unpack_from("<h", b, 13)[0] * 1000003
        self.tz = (dt.timezone(dt.timedelta(microseconds=offset_us)) if offset_us else None)


FAILED = object()


def _expect_reader_outcome(call):
    """The call's result, or FAILED when it failed the way a malformed file may fail."""
    try:
        return call()
    except (RuntimeError, ValueError) as e:
        assert str(e), f"{type(e).__name__} without a message"
        return FAILED


def _spread_seconds(frame) -> float:
    """Whole microseconds apart, divided as fuzz_reader.cpp does so that the rates match."""
    t = frame.index.as_unit("us").asi8
    return (float(t.max()) - float(t.min())) / 1e6


@pytest.mark.parametrize("path", _inputs(), ids=lambda p: f"{p.parent.name}/{p.name}")
def test_fuzz_input_fails_only_with_reader_errors(path, tmp_path):
    data = path.read_bytes()
    p = Params(data)
    cwa = tmp_path / "input.cwa"
    cwa.write_bytes(data)
    csv = tmp_path / "out.csv"

    meta = _expect_reader_outcome(lambda: morvane.read_metadata(str(cwa)))
    assert meta is FAILED or isinstance(meta, dict)
    report = _expect_reader_outcome(lambda: morvane.sampling_consistency_report(str(cwa)))
    assert report is FAILED or isinstance(report, dict)

    cuts = [None]
    for build, args in ((morvane.blocks, p.blocks), (morvane.seconds, p.seconds)):
        cut = _expect_reader_outcome(lambda: build(*args))
        if cut is not FAILED:
            cuts.append(cut)

    # Every cut reads a subset of the whole file's samples with the same times, so the whole
    # file's time spread bounds the resampled rows of each; the fuzz target caps its rates by it.
    whole = _expect_reader_outcome(lambda: morvane.read_cwa_file(str(cwa), **p.include))
    spread = WORST_SPREAD_S if whole is FAILED else _spread_seconds(whole)

    for cut, hz in zip(cuts, p.rates):
        common = dict(cut=cut, fixed_utc_offset_timezone=p.tz, **p.include)
        frame = _expect_reader_outcome(lambda: morvane.read_cwa_file(str(cwa), **common))
        if frame is not FAILED:
            assert len(frame) > 0
            assert all(frame[c].dtype == np.float32 for c in frame.columns)
        rate = hz if spread * hz <= MAX_ROWS else MAX_ROWS / spread
        resampled = _expect_reader_outcome(
            lambda: morvane.read_cwa_file(str(cwa), resample_hz=rate, **common))
        if resampled is not FAILED:
            assert resampled.index.is_monotonic_increasing
            # Grid rows lie between the first and the last sample, one grid step apart.
            assert len(resampled) <= spread * rate + 2

        for resample_hz, expected in ((None, frame), (rate, resampled)):
            written = _expect_reader_outcome(lambda: morvane.write_cwa_csv(
                str(cwa), str(csv), resample_hz=resample_hz, **common))
            if written is not FAILED:
                assert written is None
                lines = csv.read_bytes().count(b"\n")
                # Same selection, same samples: one line per DataFrame row below the header. Only
                # the streaming writer succeeds where the read finds no sample at all, with the
                # header alone.
                assert lines == (1 if expected is FAILED else len(expected) + 1)
            if csv.exists():
                csv.unlink()
