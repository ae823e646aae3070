"""The manifest of a conversion: one row per input, rewritten atomically as results come in,
and the rules that decide whether an output is still up to date (resume)."""

from __future__ import annotations

import contextlib
import json
import math
import os
import time
from typing import Any, Iterable

import numpy as np
import pandas as pd

from .files import fsync_replace, rewrite_due, temp_name

__all__ = ["MANIFEST_NAME", "MANIFEST_COLUMNS", "Manifest", "read_manifest", "manifest_rows",
           "row_from_output", "is_up_to_date", "quality_fields", "empty_row"]

MANIFEST_NAME = "manifest.parquet"

# manifest column -> pandas dtype; also the order of the columns
MANIFEST_COLUMNS: dict[str, str] = {
    "source": "object",
    "size": "Int64",
    "mtime": "datetime64[ns, UTC]",
    "status": "object",
    "error": "object",
    "output": "object",
    "samples": "Int64",
    "first_sample": "datetime64[us]",
    "last_sample": "datetime64[us]",
    "effective_rate_hz": "float64",
    "device_id": "Int64",
    "bad_blocks": "Int64",
    "checksum_failures": "Int64",
    "gaps": "Int64",
    "seconds": "float64",
    "worker": "object",
    "options": "object",
}


def _time_or_none(text: Any) -> pd.Timestamp | None:
    if text is None:
        return None
    try:
        t = pd.Timestamp(text)
    except (ValueError, TypeError):
        return None
    return None if pd.isna(t) else t


def _int_or_none(value: Any) -> int | None:
    if value is None:
        return None
    try:
        return int(value)
    except (TypeError, ValueError):
        return None


def quality_fields(meta: dict[str, Any], quality: dict[str, Any]) -> dict[str, Any]:
    return {
        "first_sample": _time_or_none(quality.get("first_sample")),
        "last_sample": _time_or_none(quality.get("last_sample")),
        "effective_rate_hz": (float(quality["effective_rate_hz"])
                              if quality.get("effective_rate_hz") is not None else None),
        "device_id": _int_or_none(meta.get("device_id")),
        "bad_blocks": _int_or_none(quality.get("bad_blocks")),
        "checksum_failures": _int_or_none(quality.get("checksum_failures")),
        "gaps": _int_or_none(quality.get("gaps")),
    }


def _utc_time(value: Any) -> Any:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return pd.NaT
    if isinstance(value, pd.Timestamp):
        return value.tz_localize("UTC") if value.tz is None else value.tz_convert("UTC")
    return pd.Timestamp(int(value), unit="ns", tz="UTC")


def empty_row(**fields: Any) -> dict[str, Any]:
    """A manifest row with every column None but ``fields``."""
    row: dict[str, Any] = {k: None for k in MANIFEST_COLUMNS}
    row.update(fields)
    return row


def _manifest_frame(rows: Iterable[dict[str, Any]]) -> pd.DataFrame:
    rows = list(rows)
    data: dict[str, Any] = {}
    for col, dtype in MANIFEST_COLUMNS.items():
        values = [r.get(col) for r in rows]
        aware = col in ("first_sample", "last_sample") and any(
            isinstance(v, pd.Timestamp) and v.tz is not None for v in values)
        if col == "mtime" or aware:
            # instants: with a clock set, the samples' times are UTC instants too
            data[col] = pd.Series([_utc_time(v) for v in values], dtype="object").astype(
                "datetime64[ns, UTC]" if col == "mtime" else "datetime64[us, UTC]")
        elif dtype.startswith("datetime64"):
            data[col] = pd.Series([pd.NaT if v is None else pd.Timestamp(v) for v in values],
                                  dtype="object").astype(dtype)
        elif dtype == "object":
            data[col] = pd.Series(values, dtype="str")
        else:
            data[col] = pd.Series([np.nan if v is None else v for v in values],
                                  dtype="float64" if dtype == "float64" else "object"
                                  ).astype(dtype)
    return pd.DataFrame(data, columns=list(MANIFEST_COLUMNS))


def _write_manifest(frame: pd.DataFrame, path: str) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    table = pa.Table.from_pandas(frame, preserve_index=False)
    tmp = temp_name(path)
    try:
        pq.write_table(table, tmp, compression="zstd")
        fsync_replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(tmp)
        raise


def read_manifest(path: str) -> pd.DataFrame | None:
    import pyarrow.parquet as pq

    try:
        frame = pq.read_table(path).to_pandas()
    except (OSError, ValueError):
        return None
    if "source" not in frame.columns:
        return None
    return frame


def manifest_rows(frame: pd.DataFrame | None) -> dict[str, dict[str, Any]]:
    if frame is None:
        return {}
    out = {}
    for rec in frame.to_dict(orient="records"):
        clean = {k: (None if (not isinstance(v, (list, dict, str)) and pd.isna(v)) else v)
                 for k, v in rec.items()}
        out[str(clean["source"])] = clean
    return out


def row_from_output(job: dict[str, Any]) -> dict[str, Any] | None:
    """The row of an output written by an earlier run that died before saving its manifest,
    when the output records the same source (size, time) and options."""
    import pyarrow.parquet as pq

    try:
        footer = pq.read_metadata(job["output"])
        kv = footer.metadata or {}
        record = json.loads(kv[b"morvane"])
    except (OSError, KeyError, ValueError, TypeError):
        return None
    src = record.get("source") or {}
    if (src.get("path") != job["source"] or src.get("size") != job["size"]
            or src.get("mtime_ns") != job["mtime_ns"] or record.get("options") != job["options"]):
        return None
    row: dict[str, Any] = {k: None for k in MANIFEST_COLUMNS}
    quality = record.get("quality_report") or {}
    row.update(source=job["source"], size=job["size"], mtime=job["mtime_ns"],
               status="up to date", output=job["output"],
               options=json.dumps(job["options"], sort_keys=True),
               **quality_fields(record.get("read_metadata") or {}, quality))
    options = job["options"]
    if options["what"] == "samples" and options.get("resample_hz") is None:
        row["samples"] = footer.num_rows  # one row per sample read
    else:
        row["samples"] = _int_or_none(quality.get("samples"))
    return row


def is_up_to_date(row: dict[str, Any] | None, job: dict[str, Any]) -> bool:
    if row is None or row.get("status") not in ("converted", "up to date"):
        return False
    mtime = row.get("mtime")
    mtime_ns = mtime.value if isinstance(mtime, pd.Timestamp) else mtime
    return (job["size"] is not None and row.get("size") == job["size"]
            and mtime_ns == job["mtime_ns"] and row.get("output") == job["output"]
            and row.get("options") == json.dumps(job["options"], sort_keys=True)
            and os.path.isfile(job["output"]))


class Manifest:
    """Rows by source, written atomically, often but not after every single result."""

    def __init__(self, path: str, keep: dict[str, dict[str, Any]]) -> None:
        self.path = path
        self.rows: dict[str, dict[str, Any]] = dict(keep)
        self._last = 0.0
        self._cost = 0.0
        self._dirty = False

    def put(self, row: dict[str, Any]) -> None:
        self.rows[row["source"]] = row
        self._dirty = True
        if rewrite_due(time.monotonic() - self._last, self._cost, every_s=0.2, share=0.2):
            self.flush()

    def frame(self) -> pd.DataFrame:
        return _manifest_frame(self.rows.values())

    def flush(self) -> None:
        t0 = time.monotonic()
        _write_manifest(self.frame(), self.path)
        self._last = time.monotonic()
        self._cost = self._last - t0
        self._dirty = False
