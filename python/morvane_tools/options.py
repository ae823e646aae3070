"""The options of a read, checked once.

Every function that reads a recording takes the same keyword options; :class:`ReadOptions`
checks them once, here, and hands them to the native module by keyword. Nothing downstream
checks them again.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, field, replace
from typing import Any, Literal, Union

import numpy as np

from . import threads as _threads
from .clock import Clock

__all__ = ["ReadOptions", "PathLike", "BadBlocks", "fs_path", "READ_OPTION_NAMES",
           "CHANNELS", "INFLATER", "inflater"]

PathLike = Union[str, "os.PathLike[str]"]
BadBlocks = Literal["skip", "raise"]

#: The channels of a read, in the order ``read_recording`` gives its columns.
CHANNELS = ("acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z", "mag_x", "mag_y", "mag_z",
            "temperature", "light", "battery")

#: Which inflater reads gzip input: "auto" (ISA-L when the build found it, else zlib) or
#: "zlib". Results are the same with either; the tests read with both.
INFLATER = "auto"


def inflater() -> str:
    """The inflater reads use (:data:`INFLATER`, checked)."""
    if INFLATER not in ("auto", "zlib"):
        raise ValueError(f"INFLATER must be 'auto' or 'zlib', not {INFLATER!r}")
    return INFLATER


#: The keyword options every reading function accepts (besides ``cut`` where it applies).
READ_OPTION_NAMES = frozenset({
    "include_magnetometer", "include_temperature", "include_light", "include_battery",
    "resample_hz", "fixed_utc_offset_timezone", "timezone", "device_timezone", "bad_blocks",
    "verify_checksums", "threads",
})


def fs_path(path: Any) -> str | bytes:
    """A path argument as the file system takes it."""
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"path must be str or os.PathLike, not {type(path).__name__}")
    return os.fspath(path)


def _flag(name: str, value: object) -> bool:
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    raise TypeError(f"{name} must be a bool, not {type(value).__name__}")


@dataclass(frozen=True)
class ReadOptions:
    """Checked options of one read. Build it with :meth:`of` (keyword options as the public
    functions take them); it is immutable and hashable, so it can key caches and travel to
    Dask workers."""

    include_magnetometer: bool = True
    include_temperature: bool = True
    include_light: bool = True
    include_battery: bool = True
    resample_hz: float | None = None
    bad_blocks: BadBlocks = "skip"
    verify_checksums: bool = True
    threads: int | None = None
    clock: Clock = field(default_factory=Clock)

    def __post_init__(self) -> None:
        for name in ("include_magnetometer", "include_temperature", "include_light",
                     "include_battery", "verify_checksums"):
            object.__setattr__(self, name, _flag(name, getattr(self, name)))
        hz = self.resample_hz
        if hz is not None:
            if isinstance(hz, (bool, np.bool_)) or not isinstance(
                    hz, (int, float, np.integer, np.floating)):
                raise TypeError(f"resample_hz must be a number or None, not {type(hz).__name__}")
            hz = float(hz)
            if not math.isfinite(hz) or hz <= 0:
                raise ValueError("resample_hz must be a finite value > 0")
            if hz > 10000:
                raise ValueError("resample_hz must be <= 10000")
            object.__setattr__(self, "resample_hz", hz)
        if self.bad_blocks not in ("skip", "raise"):
            raise ValueError(f"bad_blocks must be 'skip' or 'raise', not {self.bad_blocks!r}")
        if self.threads is not None:
            _threads.resolve(self.threads)
        if not isinstance(self.clock, Clock):
            raise TypeError("clock must be a morvane_tools.clock.Clock")

    @classmethod
    def of(cls, *, fixed_utc_offset_timezone: Any = None, timezone: Any = None,
           device_timezone: Any = None, **options: Any) -> ReadOptions:
        """Options from the keyword arguments of the public functions.

        Raises
        ------
        TypeError
            For an unknown option or a value of the wrong type.
        ValueError
            For a bad value, an unknown time zone, or ``fixed_utc_offset_timezone`` together
            with ``timezone`` or ``device_timezone``.
        """
        unknown = sorted(set(options) - READ_OPTION_NAMES)
        if unknown:
            raise TypeError(f"unexpected option(s): {', '.join(unknown)}")
        clock = Clock.from_options(timezone=timezone, device_timezone=device_timezone,
                                   fixed_utc_offset_timezone=fixed_utc_offset_timezone)
        return cls(clock=clock, **options)

    def but(self, **changes: Any) -> ReadOptions:
        """A copy with some fields changed (checked again)."""
        return replace(self, **changes)

    @property
    def skip_bad(self) -> bool:
        return self.bad_blocks == "skip"

    @property
    def workers(self) -> int:
        """The threads this read may keep working."""
        return _threads.resolve(self.threads)

    def include(self) -> dict[str, bool]:
        return {"include_magnetometer": self.include_magnetometer,
                "include_temperature": self.include_temperature,
                "include_light": self.include_light,
                "include_battery": self.include_battery}

    def native(self, offset_us: int | None, *, resample: bool = True) -> dict[str, Any]:
        """Keyword arguments of the native readers for a clock offset (None: naive)."""
        kw: dict[str, Any] = dict(self.include(), utc_offset_us=offset_us,
                                  skip_bad=self.skip_bad, verify_checksums=self.verify_checksums,
                                  threads=self.workers, inflater=inflater())
        if resample:
            kw["resample_hz"] = self.resample_hz
        return kw

    def channels(self, axes: list[int] | tuple[int, ...]) -> list[str]:
        """The columns a read gives for a recording whose valid blocks hold these sample axes
        (``read_recording``'s order)."""
        out = ["acc_x", "acc_y", "acc_z"]
        if any(a >= 6 for a in axes):
            out += ["gyro_x", "gyro_y", "gyro_z"]
        if self.include_magnetometer and any(a >= 9 for a in axes):
            out += ["mag_x", "mag_y", "mag_z"]
        for name in ("temperature", "light", "battery"):
            if getattr(self, f"include_{name}"):
                out.append(name)
        return out

    def describe(self) -> dict[str, Any]:
        """JSON-serialisable form, for file metadata and resume checks."""
        out: dict[str, Any] = dict(self.include(), resample_hz=self.resample_hz,
                                   bad_blocks=self.bad_blocks,
                                   verify_checksums=self.verify_checksums)
        out.update(self.clock.describe())
        if self.clock.reader_offset_us is not None:
            out["fixed_utc_offset_s"] = self.clock.reader_offset_us / 1e6
        return out

