"""Where the conversion's tasks run (a LocalCluster on 127.0.0.1, an address, or a Client) and
how progress is shown."""

from __future__ import annotations

import contextlib
import json
import logging
import os
import sys
import time
import uuid
import warnings
from typing import TYPE_CHECKING, Any, Iterator

if TYPE_CHECKING:  # pragma: no cover
    import distributed

from .files import remove_stale_parts
from .manifest import Manifest, empty_row
from .task import convert_one, describe_failure

__all__ = ["Progress", "client", "run_tasks"]


class Progress:
    def __init__(self, total: int, total_bytes: int, enabled: bool, skipped: int) -> None:
        self.enabled = enabled
        self.total = total
        self.total_bytes = max(total_bytes, 1)
        self.done = 0
        self.failed = 0
        self.bytes = 0
        self.skipped = skipped
        self.t0 = time.monotonic()
        self._shown = 0.0
        self._tty = enabled and hasattr(sys.stderr, "isatty") and sys.stderr.isatty()
        if enabled:
            self._show(force=True)

    def update(self, failed: bool, nbytes: int) -> None:
        self.done += 1
        self.failed += failed
        self.bytes += nbytes
        if self.enabled:
            self._show(force=self.done == self.total)

    def _line(self) -> str:
        elapsed = max(time.monotonic() - self.t0, 1e-9)
        width = 24
        fill = int(width * self.done / self.total) if self.total else width
        bar = "#" * fill + "-" * (width - fill)
        rate = self.done / elapsed
        mbs = self.bytes / elapsed / 1e6
        if self.done and self.done < self.total:
            left = (self.total_bytes - self.bytes) / max(self.bytes / elapsed, 1e-9)
            secs = int(min(left, 359999))
            eta = f"{secs // 3600}:{secs // 60 % 60:02d}:{secs % 60:02d}"
        elif self.done == self.total:
            eta = "0:00:00"
        else:
            eta = "?"
        extra = f", {self.skipped} up to date" if self.skipped else ""
        return (f"[{bar}] {self.done}/{self.total} done, {self.failed} failed{extra} | "
                f"{rate:.2f} rec/s, {mbs:.1f} MB/s | {eta} left")

    def _show(self, force: bool = False) -> None:
        now = time.monotonic()
        if self._tty:
            if force or now - self._shown >= 0.1:
                sys.stderr.write("\r" + self._line() + "\x1b[K")
                sys.stderr.flush()
                self._shown = now
        elif force or now - self._shown >= 2.0:
            sys.stderr.write(self._line() + "\n")
            sys.stderr.flush()
            self._shown = now

    def close(self) -> None:
        if self.enabled:
            if self._tty:
                sys.stderr.write("\r" + self._line() + "\x1b[K\n")
            elif self._shown < time.monotonic() - 1e-6 and self.done != self.total:
                sys.stderr.write(self._line() + "\n")
            sys.stderr.flush()


@contextlib.contextmanager
def _workers_without_main() -> Iterator[None]:
    """Start worker processes without re-running the caller's main script.

    Spawned (and forkserver) children import the parent's ``__main__`` to find objects
    pickled from it; the conversion's tasks live in this module, so the workers need none of
    it, and a script that calls ``convert`` without an ``if __name__ == "__main__":`` guard
    would otherwise run again in every worker.
    """
    from multiprocessing import spawn

    original = spawn.get_preparation_data

    def preparation_data(name: str) -> dict[str, Any]:
        data = original(name)
        data.pop("init_main_from_path", None)
        data.pop("init_main_from_name", None)
        return data

    spawn.get_preparation_data = preparation_data
    try:
        yield
    finally:
        spawn.get_preparation_data = original


@contextlib.contextmanager
def client(scheduler: Any, workers: int | None) -> Iterator[distributed.Client]:
    import logging

    import distributed

    if isinstance(scheduler, distributed.Client):
        yield scheduler
        return
    if isinstance(scheduler, str):
        with distributed.Client(scheduler, set_as_default=False, timeout="30s") as client:
            yield client
        return
    from dask.system import CPU_COUNT
    from distributed.system import MEMORY_LIMIT

    n = workers or CPU_COUNT
    with contextlib.ExitStack() as stack:
        stack.enter_context(_workers_without_main())
        # the scheduler's small HTTP server says so when its usual port is taken
        stack.enter_context(warnings.catch_warnings())
        warnings.filterwarnings("ignore", message=r"(?s)Port \d+ is already in use")
        cluster = stack.enter_context(distributed.LocalCluster(
            n_workers=n, threads_per_worker=1, processes=True,
            memory_limit=int(MEMORY_LIMIT // n), host="127.0.0.1", dashboard_address=None,
            silence_logs=logging.CRITICAL))
        client = stack.enter_context(distributed.Client(cluster, set_as_default=False))
        yield client


def run_tasks(todo: list[dict[str, Any]], manifest: Manifest, bar: Progress, scheduler: Any,
              workers: int | None, on_row: Any = None) -> None:
    """Run one task per job on the cluster, largest first, and put each row in the manifest as
    it comes in (and hand it to ``on_row``)."""
    import distributed

    run = uuid.uuid4().hex[:8]
    with client(scheduler, workers) as cl:
        futures = {}
        for rank, job in enumerate(todo):
            name = os.path.basename(job["source"])
            fut = cl.submit(convert_one, job, key=f"morvane-convert-{run}-{rank}-{name}",
                            priority=len(todo) - rank, pure=False)
            futures[fut] = job
        try:
            for fut in distributed.as_completed(list(futures), loop=cl.loop):
                job = futures[fut]
                try:
                    row = fut.result()
                except Exception as exc:
                    if isinstance(exc, distributed.KilledWorker):
                        error = ("killed: the workers running it died repeatedly "
                                 "(out of memory or crashed)")
                    else:
                        error = describe_failure(exc)
                    row = empty_row(source=job["source"], size=job["size"],
                                    mtime=job["mtime_ns"], output=job["output"],
                                    status="failed", error=error,
                                    options=json.dumps(job["options"], sort_keys=True))
                    # the last worker died writing: its temporary file stays behind
                    remove_stale_parts(job["output"])
                manifest.put(row)
                if on_row is not None:
                    on_row(row)
                bar.update(row["status"] == "failed", job["size"] or 0)
        finally:
            for fut in futures:
                if not fut.done():
                    fut.cancel()
