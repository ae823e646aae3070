"""Finding the recordings of a cohort: folders, paths and glob patterns, each with the root its
output path is relative to."""

from __future__ import annotations

import glob
import os
from typing import Any, Iterator, Union

__all__ = ["find_recordings", "is_recording_name", "recording_id"]

PathLike = Union[str, "os.PathLike[str]"]
_GLOB_CHARS = frozenset("*?[")


def is_recording_name(name: str) -> bool:
    """True for names ending in ``.cwa`` or ``.cwa.gz`` (any letter case)."""
    low = name.lower()
    return low.endswith(".cwa") or low.endswith(".cwa.gz")


def _as_list(inputs: Any) -> list[str]:
    if isinstance(inputs, (str, bytes, os.PathLike)):
        inputs = [inputs]
    try:
        items = list(inputs)
    except TypeError:
        raise TypeError("inputs must be a path, a glob pattern or a list of them") from None
    out = []
    for item in items:
        if not isinstance(item, (str, os.PathLike)):
            raise TypeError(f"inputs must be paths, not {type(item).__name__}")
        out.append(os.fspath(item))
    return out


def _walk(directory: str, root: str, skip: set[str]) -> Iterator[tuple[str, str]]:
    for here, dirs, files in os.walk(directory):
        dirs[:] = sorted(d for d in dirs
                         if os.path.realpath(os.path.join(here, d)) not in skip)
        for name in sorted(files):
            if is_recording_name(name):
                yield os.path.join(here, name), root


def _glob_root(pattern: str) -> str:
    """The leading directories of a pattern that hold no wildcard."""
    parts = pattern.split(os.sep)
    fixed: list[str] = []
    for part in parts[:-1]:
        if _GLOB_CHARS & set(part):
            break
        fixed.append(part)
    root = os.sep.join(fixed)
    if pattern.startswith(os.sep) and not root:
        root = os.sep
    return os.path.abspath(root or ".")


def find_recordings(inputs: Any, *, exclude: PathLike | None = None) -> list[tuple[str, str]]:
    """Expand inputs into recordings, each with the root its output path is relative to.

    Parameters
    ----------
    inputs : path, glob pattern, or a list of them
        A directory is searched recursively for ``*.cwa`` and ``*.cwa.gz``; a path that exists
        is taken as given, whatever its name; anything else is a glob pattern (``**`` searches
        folders recursively).
    exclude : path, optional
        A directory never searched (the output directory).

    Returns
    -------
    list of (source, root)
        Absolute paths, in the order found, without repeats. ``root`` is the directory given
        (for a directory), the recording's folder (for a path) or the pattern's leading
        folders without wildcards (for a glob).

    Raises
    ------
    FileNotFoundError
        For a path that does not exist and a pattern that matches nothing.
    """
    skip = {os.path.realpath(os.fspath(exclude))} if exclude is not None else set()
    found: list[tuple[str, str]] = []
    seen: set[str] = set()

    def add(path: str, root: str) -> None:
        path = os.path.abspath(path)
        key = os.path.realpath(path)
        if key not in seen:
            seen.add(key)
            found.append((path, root))

    for item in _as_list(inputs):
        if os.path.isdir(item):
            root = os.path.abspath(item)
            if os.path.realpath(root) in skip:
                continue
            for path, r in _walk(root, root, skip):
                add(path, r)
        elif os.path.lexists(item):
            add(item, os.path.dirname(os.path.abspath(item)))
        elif _GLOB_CHARS & set(item):
            root = _glob_root(item)
            matches = sorted(glob.glob(item, recursive=True))
            if not matches:
                raise FileNotFoundError(f"no file matches {item!r}")
            for m in matches:
                if os.path.isdir(m):
                    if os.path.realpath(m) not in skip:
                        for path, r in _walk(os.path.abspath(m), root, skip):
                            add(path, r)
                elif not any(os.path.realpath(m).startswith(s + os.sep) for s in skip):
                    add(m, root)
        else:
            raise FileNotFoundError(f"no such file or directory: {item!r}")
    return found


def recording_id(path: str | os.PathLike[str]) -> str:
    """A recording's id: its file name without ``.cwa`` or ``.cwa.gz`` (any letter case)."""
    name = os.path.basename(os.fspath(path))
    low = name.lower()
    for suffix in (".cwa.gz", ".cwa"):
        if low.endswith(suffix):
            return name[: -len(suffix)]
    return name
