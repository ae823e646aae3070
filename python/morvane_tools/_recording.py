# TEMPORARY STAND-IN (plain files, no bad-block handling), replaced by the native
# implementation before this package lands. Signatures and return shapes are final.
from __future__ import annotations

import os
from typing import Any, Iterator

import morvane
import pandas as pd


class BadBlockError(RuntimeError):
    def __init__(self, reason: str, block: int) -> None:
        super().__init__(f"{reason} (block {block})")
        self.reason = reason
        self.block = block


def read_recording(path, *, cut=None, include_magnetometer=True, include_temperature=True,
                   include_light=True, include_battery=True, resample_hz=None,
                   fixed_utc_offset_timezone=None, bad_blocks="skip",
                   verify_checksums=True) -> tuple[pd.DataFrame, dict]:
    frame = morvane.read_cwa_file(os.fspath(path), cut=cut,
                                  include_magnetometer=include_magnetometer,
                                  include_temperature=include_temperature,
                                  include_light=include_light, include_battery=include_battery,
                                  resample_hz=resample_hz,
                                  fixed_utc_offset_timezone=fixed_utc_offset_timezone)
    return frame, {"skipped_blocks": [], "trailing_bytes": 0, "compressed": False,
                   "truncated": None}


class _Chunks:
    def __init__(self, path, chunk_blocks, options):
        self._path = os.fspath(path)
        self._chunk = chunk_blocks
        self._options = options
        self.report: dict[str, Any] | None = None

    def __iter__(self) -> Iterator[pd.DataFrame]:
        n = (os.path.getsize(self._path) - 1024) // 512
        for a in range(0, n, self._chunk):
            try:
                yield morvane.read_cwa_file(self._path, cut=morvane.blocks(a, a + self._chunk),
                                            **self._options)
            except RuntimeError as e:
                if "No valid sample data" not in str(e):
                    raise
        self.report = {"skipped_blocks": [], "trailing_bytes": 0, "compressed": False,
                       "truncated": None}


def iter_chunks(path, *, chunk_blocks=8192, include_magnetometer=True, include_temperature=True,
                include_light=True, include_battery=True, fixed_utc_offset_timezone=None,
                bad_blocks="skip", verify_checksums=True) -> _Chunks:
    return _Chunks(path, chunk_blocks, dict(
        include_magnetometer=include_magnetometer, include_temperature=include_temperature,
        include_light=include_light, include_battery=include_battery,
        fixed_utc_offset_timezone=fixed_utc_offset_timezone))


def read_metadata(path) -> dict:
    return morvane.read_metadata(os.fspath(path))


def quality_report(path, *, verify_checksums=True) -> dict:
    r = morvane.sampling_consistency_report(os.fspath(path))
    return {"blocks": (os.path.getsize(path) - 1024) // 512, "bad_blocks": 0,
            "checksum_failures": 0, "gaps": 0, "first_sample": r["start_from_data_raw"],
            "last_sample": r["end_from_data_raw"], "effective_rate_hz": r["samplingrate_hz_from_data"],
            "nominal_rate_hz": r["samplingrate_hz_from_header"], "compressed": False,
            "truncated": None, "trailing_bytes": 0, "days": [], "samples": None}


def block_table(path, *, verify_checksums=True) -> pd.DataFrame:
    raise NotImplementedError("stand-in")
