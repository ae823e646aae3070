"""Native part of morvane_tools, on the same core as morvane (called through the Python API)."""

import datetime
from typing import Any

import numpy as np
import pandas as pd

class BadBlockError(RuntimeError):
    block: int
    reason: str

class InternalError(BaseException): ...

def read(path: str | bytes, cut: dict[str, Any] | None, include_magnetometer: bool,
         include_temperature: bool, include_light: bool, include_battery: bool,
         resample_hz: float | None, tzinfo: datetime.tzinfo | None, skip_bad: bool,
         verify_checksums: bool, /) -> tuple[pd.DataFrame, dict[str, Any]]: ...
def chunks_open(path: str | bytes, include_magnetometer: bool, include_temperature: bool,
                include_light: bool, include_battery: bool, tzinfo: datetime.tzinfo | None,
                skip_bad: bool, verify_checksums: bool, /) -> object: ...
def chunks_next(stream: object, max_blocks: int, path: str | bytes, /) -> pd.DataFrame | None: ...
def chunks_report(stream: object, /) -> dict[str, Any]: ...
def block_table(path: str | bytes, verify_checksums: bool, /
                ) -> tuple[dict[str, np.ndarray], list[str | None], dict[str, Any]]: ...
def quality(path: str | bytes, verify_checksums: bool, /) -> dict[str, Any]: ...
def metadata(path: str | bytes, verify_checksums: bool, /) -> dict[str, Any]: ...
