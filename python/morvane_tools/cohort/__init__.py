"""Cohort conversion: folders of recordings to Parquet on Dask, with a manifest and resume.

- :mod:`.discover`: finding the recordings and the root each output path is relative to;
- :mod:`.conversion`: the options and :func:`convert` itself;
- :mod:`.task` and :mod:`.parquet`: the task of one recording and its Parquet writers;
- :mod:`.manifest`: the manifest and the resume rules;
- :mod:`.cluster`: where the tasks run and how progress is shown;
- :mod:`.files`: atomic writes.
"""

from .conversion import ConvertOptions, convert
from .discover import find_recordings, is_recording_name, recording_id
from .manifest import MANIFEST_COLUMNS, MANIFEST_NAME

__all__ = ["convert", "ConvertOptions", "find_recordings", "is_recording_name", "recording_id",
           "MANIFEST_COLUMNS", "MANIFEST_NAME"]
