"""Files written so that a killed run never leaves a partial file under a final name: written
under a temporary name beside the final one, synced, then renamed into place."""

from __future__ import annotations

import contextlib
import os
import uuid

__all__ = ["fsync_replace", "temp_name", "remove_stale_parts", "PART_SUFFIX"]

PART_SUFFIX = ".part"


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
