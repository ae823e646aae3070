"""Fast, exact reader of CWA accelerometer recordings."""

import datetime
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypedDict

import pandas

__all__ = [
    "read_metadata",
    "sampling_consistency_report",
    "seconds",
    "blocks",
    "read_cwa_file",
    "write_cwa_csv",
]

class SecondsCut(TypedDict):
    type: Literal["seconds"]
    start: float | None
    end: float | None

class BlocksCut(TypedDict):
    type: Literal["blocks"]
    start: int | None
    end: int | None

def read_metadata(file_path: str) -> dict[str, Any]: ...
def sampling_consistency_report(file_path: str) -> dict[str, Any]: ...
def seconds(
    start: SupportsFloat | SupportsIndex | None = None,
    end: SupportsFloat | SupportsIndex | None = None,
) -> SecondsCut: ...
def blocks(start: SupportsIndex | None = None, end: SupportsIndex | None = None) -> BlocksCut: ...
def read_cwa_file(
    file_path: str,
    cut: SecondsCut | BlocksCut | dict[str, Any] | None = None,
    include_magnetometer: bool = True,
    include_temperature: bool = True,
    include_light: bool = True,
    include_battery: bool = True,
    resample_hz: SupportsFloat | SupportsIndex | None = None,
    resample_method: str = "cubic",
    *,
    fixed_utc_offset_timezone: datetime.tzinfo | None = None,
) -> pandas.DataFrame: ...
def write_cwa_csv(
    file_path: str,
    output_path: str,
    cut: SecondsCut | BlocksCut | dict[str, Any] | None = None,
    include_magnetometer: bool = True,
    include_temperature: bool = False,
    include_light: bool = False,
    include_battery: bool = False,
    resample_hz: SupportsFloat | SupportsIndex | None = None,
    resample_method: str = "cubic",
    *,
    fixed_utc_offset_timezone: datetime.tzinfo | None = None,
) -> None: ...
