"""JSON-serialisable copies of reports that may hold NumPy or pandas values."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["jsonable"]


def jsonable(value: Any) -> Any:
    """A JSON-serialisable copy of reports that may hold numpy or pandas values."""
    if isinstance(value, dict):
        return {str(k): jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [jsonable(v) for v in value]
    if isinstance(value, pd.DataFrame):
        return jsonable(value.reset_index().to_dict(orient="records"))
    if isinstance(value, (pd.Timestamp, np.datetime64)):
        return None if pd.isna(value) else pd.Timestamp(value).isoformat()
    if isinstance(value, (pd.Timedelta, np.timedelta64)):
        return None if pd.isna(value) else pd.Timedelta(value).total_seconds()
    if isinstance(value, np.ndarray):
        return jsonable(value.tolist())
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    return str(value)
