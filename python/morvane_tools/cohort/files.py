"""Files written so that a killed run never leaves a partial file under a final name: written
under a temporary name beside the final one, synced, then renamed into place."""

from __future__ import annotations

import contextlib
import os
import uuid

__all__ = ["fsync_replace", "temp_name", "remove_stale_parts", "rewrite_due", "PART_SUFFIX"]

PART_SUFFIX = ".part"


def rewrite_due(since_last_s: float, last_cost_s: float, *, every_s: float,
                share: float) -> bool:
    """Whether a table rewritten as results come in (the manifest, the cohort summary) is due.

    At most once every ``every_s`` seconds, and taking at most about ``share`` of the
    driver's time: the driver shares the machine with the workers, and a killed run only
    loses the rows since the last rewrite (their recordings are simply done again).
    """
    return since_last_s >= max(every_s, last_cost_s / share)


def fsync_replace(tmp: str, final: str) -> None:
    fd = os.open(tmp, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
    os.replace(tmp, final)
    with contextlib.suppress(OSError):
        dfd = os.open(os.path.dirname(final) or ".", os.O_RDONLY)
        try:
            os.fsync(dfd)
        finally:
            os.close(dfd)


def temp_name(final: str) -> str:
    head, tail = os.path.split(final)
    return os.path.join(head, f".{tail}.{uuid.uuid4().hex[:12]}{PART_SUFFIX}")


def remove_stale_parts(final: str) -> None:
    head, tail = os.path.split(final)
    with contextlib.suppress(OSError):
        for name in os.listdir(head):
            if name.startswith(f".{tail}.") and name.endswith(PART_SUFFIX):
                with contextlib.suppress(OSError):
                    os.remove(os.path.join(head, name))
