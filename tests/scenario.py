"""Recordings of a wearer's day placed on purpose: activity levels, sleep with turns, non-wear.

Built on ``cwagen.write_recording`` with a motion function of the sample times, so the truth
of every minute is known by construction:

- ``"active"`` at ``level_mg``: the sensor vibrates along gravity at 2 Hz with amplitude
  ``pi * level_mg`` mg, whose ENMO (max(|a| - 1 g, 0)) averages ``level_mg`` over whole cycles
  (every 5-second epoch holds ten);
- ``"sedentary"``: the wrist sways slowly (a few degrees over minutes on two axes): worn, with
  an ENMO of a few mg from the sensor noise alone;
- ``"sleep"``: lying still at a z-angle, turning to another posture at each time in ``turns``
  (seconds from the segment's start); still between turns, so the z-angle does not change;
- ``"nonwear"``: lying on a table, only sensor noise (well below 13 mg standard deviation
  and 50 mg range on every axis).

Times are seconds from the recording's first sample on the device clock; :func:`device_seconds`
turns local wall-clock times of a zone into them. The format is 0x32 (3-axis, 16-bit, 256
counts per g) at 100 Hz unless asked otherwise, and the noise is a fixed function of the
sample time, so a recording is the same bytes every time it is made.
"""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass, field
from typing import Sequence

import numpy as np

import cwagen

__all__ = ["Segment", "motion", "write_scenario", "device_seconds", "COUNTS_PER_G",
           "VIBRATION_HZ"]

COUNTS_PER_G = 256
VIBRATION_HZ = 2.0
KINDS = ("active", "sedentary", "sleep", "nonwear")


@dataclass(frozen=True)
class Segment:
    """One stretch of the scenario, ``[start, end)`` in seconds from the first sample."""

    start: float
    end: float
    kind: str
    level_mg: float = 0.0
    # sleep: seconds from the segment's start at which the sleeper turns over
    turns: tuple[float, ...] = ()
    # posture: the z-angle (degrees) the device rests at (sleep: before the first turn)
    anglez_deg: float = -20.0

    def __post_init__(self) -> None:
        if self.kind not in KINDS:
            raise ValueError(f"unknown segment kind {self.kind!r}")
        if not self.end > self.start:
            raise ValueError("a segment ends after it starts")


def _hash_noise(t: np.ndarray, salt: float) -> np.ndarray:
    """Integer noise in -2..2 as a fixed function of the sample time (no state, no seed)."""
    x = np.sin(t * 12.9898 + salt * 78.233) * 43758.5453
    u = x - np.floor(x)
    return np.floor(u * 5.0).astype(np.int64) - 2


def _direction(anglez_deg: np.ndarray, azimuth_deg: np.ndarray) -> np.ndarray:
    """Unit gravity vectors (3, n) whose z-angle is ``anglez_deg``."""
    th = np.radians(anglez_deg)
    ph = np.radians(azimuth_deg)
    return np.stack([np.cos(th) * np.cos(ph), np.cos(th) * np.sin(ph), np.sin(th)])


def _sleep_angles(seg: Segment, t: np.ndarray) -> np.ndarray:
    """The z-angle of each sample: the posture changes by turning at each turn time."""
    postures = [seg.anglez_deg]
    for i in range(len(seg.turns)):
        # alternate between lying on one side and the other: a change of 40 to 60 degrees
        postures.append(postures[-1] + (50.0 if i % 2 == 0 else -45.0))
    k = np.searchsorted(np.asarray(seg.turns, dtype=np.float64) + seg.start, t, side="right")
    return np.asarray(postures)[k]


def motion(segments: Sequence[Segment], default: str = "nonwear"):
    """The motion function of a scenario: raw counts (n, 3) for sample times ``t``."""
    segs = sorted(segments, key=lambda s: s.start)
    starts = np.array([s.start for s in segs])
    ends = np.array([s.end for s in segs])

    def f(t: np.ndarray) -> np.ndarray:
        t = np.asarray(t, dtype=np.float64)
        n = t.size
        out = np.zeros((3, n))
        i = np.searchsorted(starts, t, side="right") - 1
        inside = (i >= 0) & (t < ends[np.maximum(i, 0)])
        kinds = np.full(n, -1)
        kinds[inside] = i[inside]
        for j in np.unique(kinds):
            sel = np.flatnonzero(kinds == j)
            tt = t[sel]
            seg = segs[j] if j >= 0 else Segment(0, 1, default)
            if seg.kind == "nonwear":
                g = _direction(np.full(tt.size, -88.0), np.full(tt.size, 30.0))
                out[:, sel] = g * COUNTS_PER_G
            elif seg.kind == "sleep":
                g = _direction(_sleep_angles(seg, tt), np.full(tt.size, 10.0))
                out[:, sel] = g * COUNTS_PER_G
            else:
                # a slow sway of the forearm on two axes (periods of minutes): worn
                az = 20.0 + 12.0 * np.sin(2 * np.pi * tt / 300.0)
                el = seg.anglez_deg + 10.0 * np.sin(2 * np.pi * tt / 420.0 + 1.0)
                g = _direction(el, az)
                scale = np.ones(tt.size)
                if seg.kind == "active":
                    amp = np.pi * seg.level_mg / 1000.0
                    scale = 1.0 + amp * np.sin(2 * np.pi * VIBRATION_HZ * (tt - seg.start))
                out[:, sel] = g * (scale * COUNTS_PER_G)
        raw = np.rint(out).astype(np.int64)
        for axis in range(3):
            raw[axis] += _hash_noise(t, axis + 1)
        return np.clip(raw, -32768, 32767).T.astype(np.int32)

    return f


@dataclass
class Scenario:
    """What was written: the recording's description and its segments."""

    info: cwagen.RecordingInfo
    segments: list[Segment] = field(default_factory=list)


def write_scenario(path, segments: Sequence[Segment], *, start: _dt.datetime,
                   duration_s: float, rate_code: int = 0x4A, fmt: int = 0x32,
                   gaps: Sequence[tuple[int, float]] = (), **kwargs) -> Scenario:
    """Write a recording of ``duration_s`` seconds from ``start`` (device clock) following the
    segments (time outside every segment is non-wear)."""
    kwargs.setdefault("checksums", True)
    info = cwagen.write_recording(path, fmt=fmt, rate_code=rate_code, duration_s=duration_s,
                                  start=start, motion=motion(segments), gaps=gaps, **kwargs)
    return Scenario(info, list(segments))


def device_seconds(local: _dt.datetime, start: _dt.datetime, device_offset: _dt.timedelta
                   ) -> float:
    """Seconds from the first sample (device clock ``start``) to the aware time ``local``,
    for a device clock running ``device_offset`` east of UTC."""
    if local.tzinfo is None:
        raise ValueError("give an aware time")
    utc = local.astimezone(_dt.timezone.utc).replace(tzinfo=None)
    return ((utc + device_offset) - start).total_seconds()
