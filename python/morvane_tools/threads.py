"""How many threads a call may keep working, and the pool that runs its parallel parts.

``threads=None`` means the machine's cores in a plain process and one inside a Dask worker
(whose own threads already run one task each). A call never has more threads working than it
was allowed: a thread that only waits for others does not count.
"""

from __future__ import annotations

import os
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Sequence

__all__ = ["resolve", "cores", "in_dask_worker", "run_tasks"]


def cores() -> int:
    """The cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def in_dask_worker() -> bool:
    """True inside a task of a Dask worker (without importing distributed when it is not)."""
    if "distributed" not in sys.modules:
        return False
    try:
        from distributed import get_worker

        get_worker()
    except (ImportError, ValueError):
        return False
    return True


def resolve(threads: Any) -> int:
    """The number of threads a call may use: a positive int, or None for the default."""
    if threads is None:
        return 1 if in_dask_worker() else cores()
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be a positive int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    return threads


_pool: ThreadPoolExecutor | None = None
_pool_lock = threading.Lock()


def _shared_pool() -> ThreadPoolExecutor:
    global _pool
    with _pool_lock:
        if _pool is None:
            _pool = ThreadPoolExecutor(max_workers=max(2, cores()),
                                       thread_name_prefix="morvane-tools")
        return _pool


def run_tasks(fn: Callable[..., Any], tasks: Sequence[tuple], workers: int) -> list:
    """``fn(*task)`` for every task, results in order, with at most ``workers`` threads working
    at a time (the caller waits while they do). NumPy releases the interpreter lock inside its
    loops, so the tasks overlap."""
    if workers < 2 or len(tasks) < 2:
        return [fn(*task) for task in tasks]
    groups = [list(range(i, len(tasks), workers)) for i in range(min(workers, len(tasks)))]

    def run(group: list[int]) -> list:
        return [fn(*tasks[i]) for i in group]

    done = list(_shared_pool().map(run, groups))
    out: list = [None] * len(tasks)
    for group, results in zip(groups, done):
        for i, r in zip(group, results):
            out[i] = r
    return out
