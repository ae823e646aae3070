"""morvane_tools: what studies need beyond reading a CWA recording.

Quality control and tolerant reading of damaged or gzip-compressed recordings, preparation for
analysis (gravity calibration, non-wear, filtering, epoch summaries) and cohort-scale conversion
to Parquet on Dask. The format itself is read by the same native core as ``morvane``.

Names are loaded on first use, so ``import morvane_tools`` pulls in neither Dask, pyarrow, SciPy
nor Matplotlib.
"""

from __future__ import annotations

import importlib
from typing import Any

__all__ = [
    "BadBlockError",
    "read_recording",
    "iter_chunks",
    "block_table",
    "quality_report",
    "read_metadata",
    "calibrate",
    "detect_nonwear",
    "lowpass",
    "epochs",
    "prepare",
    "convert",
    "read_cwa_dask",
    "plot_overview",
    "daily_summary",
    "summarize",
    "person_summary",
]

# public name -> submodule that defines it
_HOME = {
    "BadBlockError": "reading",
    "read_recording": "reading",
    "iter_chunks": "reading",
    "read_metadata": "reading",
    "block_table": "survey",
    "quality_report": "survey",
    "calibrate": "calibration",
    "detect_nonwear": "nonwear",
    "lowpass": "filters",
    "epochs": "epochs",
    "prepare": "prepare",
    "convert": "cohort",
    "read_cwa_dask": "dask_frame",
    "plot_overview": "plot",
    "daily_summary": "summaries",
    "summarize": "summaries",
    "person_summary": "summaries",
}


# A submodule named like the function it defines would replace that function on the package when
# it is first imported; importing the function here, once, keeps the function.
from .epochs import epochs  # noqa: E402
from .prepare import prepare  # noqa: E402


# submodules whose names are the way in (morvane_tools.activity.CUTPOINTS, morvane_tools.sleep...)
_SUBMODULES = frozenset({"activity", "sleep", "days", "clock", "options", "survey", "cohort"})


def __getattr__(name: str) -> Any:
    if name in _SUBMODULES:
        return importlib.import_module(f"{__name__}.{name}")
    home = _HOME.get(name)
    if home is None:
        raise AttributeError(f"module 'morvane_tools' has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{home}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__) | _SUBMODULES)
