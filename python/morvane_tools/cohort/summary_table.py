"""The cohort tables of a summary run: ``summary.parquet`` and ``summary.csv``, one row per
recording (its identity, quality and person summary), rewritten as results come in and kept
across resumed runs like the manifest."""

from __future__ import annotations

import contextlib
import json
import os
import time
from typing import Any

import pandas as pd

from .files import fsync_replace, rewrite_due, temp_name

__all__ = ["CohortSummary", "SUMMARY_NAME", "SUMMARY_KEY"]

SUMMARY_NAME = "summary"
#: The day file's metadata key holding the recording's summary information.
SUMMARY_KEY = "morvane.summary"


def summary_from_output(path: str) -> dict[str, Any] | None:
    """The summary information a day file carries, or None."""
    import pyarrow.parquet as pq

    try:
        kv = pq.read_metadata(path).metadata or {}
        return json.loads(kv[SUMMARY_KEY.encode()])
    except (OSError, KeyError, ValueError, TypeError):
        return None


class CohortSummary:
    """Summary rows by source, written atomically, often but not after every single result."""

    def __init__(self, out_dir: str, keep: set[str]) -> None:
        self.parquet = os.path.join(out_dir, SUMMARY_NAME + ".parquet")
        self.csv = os.path.join(out_dir, SUMMARY_NAME + ".csv")
        self.rows: dict[str, dict[str, Any]] = {}
        previous = self._read()
        for rec in previous:
            if rec.get("source") in keep:
                self.rows[str(rec["source"])] = rec
        self._last = 0.0
        self._cost = 0.0

    def _read(self) -> list[dict[str, Any]]:
        if not os.path.exists(self.parquet):
            return []
        try:
            import pyarrow.parquet as pq

            frame = pq.read_table(self.parquet).to_pandas()
        except (OSError, ValueError):
            return []
        return [{k: (None if not isinstance(v, (list, dict, str)) and pd.isna(v) else v)
                 for k, v in rec.items()} for rec in frame.to_dict(orient="records")]

    def put(self, source: str, row: dict[str, Any] | None, flush: bool = True) -> None:
        if row is None:
            self.rows.pop(source, None)
        else:
            self.rows[source] = {"source": source, **row}
        if flush and rewrite_due(time.monotonic() - self._last, self._cost,
                                    every_s=1.0, share=0.1):
            self.flush()

    def frame(self, order: dict[str, int]) -> pd.DataFrame:
        rows = sorted(self.rows.values(), key=lambda r: (order.get(r["source"], -1), r["source"]))
        # A column holding a list or a dict anywhere goes in as JSON text, every value of it.
        # Found in the rows themselves: a few rows of a hundred-odd columns, most of them object
        # columns (numbers with None), where a look through pandas cost most of a rewrite.
        as_json = {k for r in rows for k, v in r.items() if isinstance(v, (list, dict))}
        if as_json:
            rows = [{k: json.dumps(v) if k in as_json and v is not None else v
                     for k, v in r.items()} for r in rows]
        return pd.DataFrame(rows)

    def flush(self, order: dict[str, int] | None = None) -> None:
        import pyarrow as pa
        import pyarrow.parquet as pq

        t0 = time.monotonic()
        frame = self.frame(order or {})
        for final, write in ((self.parquet, lambda p: pq.write_table(
                pa.Table.from_pandas(frame, preserve_index=False), p, compression="zstd")),
                             (self.csv, lambda p: frame.to_csv(p, index=False))):
            tmp = temp_name(final)
            try:
                write(tmp)
                fsync_replace(tmp, final)
            except BaseException:
                with contextlib.suppress(OSError):
                    os.remove(tmp)
                raise
        self._last = time.monotonic()
        self._cost = self._last - t0
