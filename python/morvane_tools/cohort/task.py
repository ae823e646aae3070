"""The task of one recording, run on a Dask worker: convert it and return its manifest row."""

from __future__ import annotations

import contextlib
import json
import os
import socket
import stat
import time
from typing import Any

from .files import fsync_replace, remove_stale_parts, temp_name
from .manifest import empty_row, quality_fields

__all__ = ["convert_one", "describe_failure"]


def describe_failure(exc: BaseException) -> str:
    """One line saying why a recording could not be converted."""
    if isinstance(exc, MemoryError):
        return "out of memory"
    if isinstance(exc, FileNotFoundError):
        return f"unreadable: no such file ({exc.filename or exc})"
    if isinstance(exc, PermissionError):
        return "unreadable: permission denied"
    if isinstance(exc, OSError):
        return f"unreadable: {exc.strerror or exc}"
    name = type(exc).__name__
    text = " ".join(str(exc).split()) or name
    if name == "BadBlockError":
        return f"bad block: {text}"
    if isinstance(exc, RuntimeError):
        return f"not a recording or damaged beyond reading: {text}"
    return f"{name}: {text}"


def _worker_name() -> str:
    try:
        from distributed import get_worker

        return str(get_worker().address)
    except (ImportError, ValueError):
        return f"{socket.gethostname()}:{os.getpid()}"


def convert_one(job: dict[str, Any]) -> dict[str, Any]:
    """Convert one recording as ``job`` describes it; returns its manifest row.

    Never raises for a bad input: the row's ``status`` is "failed" and ``error`` says why.
    Every output is written under a temporary name beside its final one and renamed into place
    only when complete. Inside a Dask worker the reading uses one thread per worker thread.
    """
    from .conversion import ConvertOptions

    t0 = time.perf_counter()
    src, final = job["source"], job["output"]
    settings: ConvertOptions = job["settings"]
    row = empty_row(source=src, size=job.get("size"), mtime=job.get("mtime_ns"), output=final,
                    status="failed", options=json.dumps(job["options"], sort_keys=True))
    made: list[str] = []
    try:
        st = os.stat(src)
        if not stat.S_ISREG(st.st_mode):
            raise IsADirectoryError(0, "not a regular file", src) if stat.S_ISDIR(st.st_mode) \
                else OSError(0, "not a regular file", src)
        with open(src, "rb"):  # a file the reader cannot open fails here, plainly
            pass
        record = {"options": job["options"],
                  "source": {"path": src, "size": st.st_size, "mtime_ns": st.st_mtime_ns}}
        outputs = settings.outputs(final)
        for path in outputs:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            remove_stale_parts(path)
        temps = {path: temp_name(path) for path in outputs}
        made = list(temps.values())
        result = settings.run(src, temps, record)
        for path in outputs:
            fsync_replace(temps[path], path)
        made = []
        s = result.survey
        quality = s.quality_report(settings.read.clock) if s is not None else {}
        row.update(status="converted", error=None, samples=result.samples, size=st.st_size,
                   mtime=st.st_mtime_ns, **quality_fields(s.metadata if s else {}, quality))
        row["summary"] = result.summary
    except Exception as exc:  # one bad input never stops the others
        row["error"] = describe_failure(exc)
    finally:
        for tmp in made:
            with contextlib.suppress(OSError):
                os.remove(tmp)
    row["seconds"] = time.perf_counter() - t0
    row["worker"] = _worker_name()
    return row
