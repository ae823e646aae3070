"""Synthetic CWA recordings for morvane's tests, examples and benchmarks.

Three levels of control:

* single-value helpers (``pack_datetime``, ``pack_packed_sample``,
  ``light_word``) for hand-written expectations;
* ``metadata_block`` / ``data_block`` building one block with every field
  overridable, including values a real device would never write, plus
  ``blocks_file`` to put hand-crafted blocks into a file;
* ``write_recording`` / ``recording_bytes`` / ``build_recording`` producing
  whole recordings column-wise with numpy, fast enough for a week at 100 Hz.

Everything is deterministic: the same arguments and seed give the same bytes.
"""

from __future__ import annotations

import datetime as _dt
import math
import os
import struct
from dataclasses import dataclass, field
from typing import Iterable, Sequence

import numpy as np

__all__ = [
    "METADATA_SIZE",
    "BLOCK_SIZE",
    "SAMPLE_AREA",
    "FORMATS",
    "DEFAULT_START",
    "pack_datetime",
    "pack_datetime_from",
    "unpack_datetime",
    "rate_hz",
    "light_word",
    "pack_packed_sample",
    "unpack_packed_sample",
    "encode_packed",
    "block_checksum",
    "metadata_block",
    "data_block",
    "erased_block",
    "zero_block",
    "blocks_file",
    "RecordingInfo",
    "build_recording",
    "recording_bytes",
    "write_recording",
]

METADATA_SIZE = 1024
BLOCK_SIZE = 512
SAMPLE_AREA = 480  # bytes 30..509 of a data block
SAMPLE_OFFSET = 30

# format byte -> (axes, bytes per sample, most samples that fit)
FORMATS = {
    0x30: (3, 4, 120),
    0x32: (3, 6, 80),
    0x62: (6, 12, 40),
    0x92: (9, 18, 26),
}

DEFAULT_START = _dt.datetime(2023, 6, 15, 12, 0, 0)

# 3200 ticks per second: every sample period 2**(15 - code) / 3200 s is a
# whole number of ticks, so recording timing can be done in exact integers.
_TICKS = 3200

_EPOCH = _dt.datetime(1970, 1, 1)

# ---------------------------------------------------------------------------
# Packed date-time
# ---------------------------------------------------------------------------

# (name, shift, width); year is stored as year - 2000.
_DT_FIELDS = (
    ("year", 26, 6),
    ("month", 22, 4),
    ("day", 17, 5),
    ("hour", 12, 5),
    ("minute", 6, 6),
    ("second", 0, 6),
)


def pack_datetime(year: int, month: int, day: int, hour: int = 0,
                  minute: int = 0, second: int = 0) -> int:
    """Pack a date-time into the 32-bit CWA form.

    Fields are not checked against the calendar, only against their bit
    widths, so impossible dates (month 13, 30 February, second 60) can be
    produced on purpose. ``year`` must lie in 2000..2063.
    """
    values = (year - 2000, month, day, hour, minute, second)
    word = 0
    for (name, shift, width), v in zip(_DT_FIELDS, values):
        if not 0 <= v < (1 << width):
            raise ValueError(f"{name} {v if name != 'year' else year} "
                             f"does not fit in {width} bits")
        word |= v << shift
    return word


def pack_datetime_from(dt: _dt.datetime) -> int:
    """Pack a ``datetime`` (fractional seconds are dropped)."""
    return pack_datetime(dt.year, dt.month, dt.day, dt.hour, dt.minute,
                         dt.second)


def unpack_datetime(v: int) -> tuple[int, int, int, int, int, int]:
    """Split a packed date-time into (year, month, day, hour, minute, second).

    No validation: whatever the bits say is returned.
    """
    v = int(v)
    out = []
    for name, shift, width in _DT_FIELDS:
        f = (v >> shift) & ((1 << width) - 1)
        out.append(f + 2000 if name == "year" else f)
    return tuple(out)


def _as_packed(value) -> int:
    if isinstance(value, _dt.datetime):
        return pack_datetime_from(value)
    return int(value)


def _pack_epoch_seconds(secs: np.ndarray) -> np.ndarray:
    """Vectorised packing of whole seconds since 1970 (device clock)."""
    secs = np.asarray(secs, dtype=np.int64)
    days = np.floor_divide(secs, 86400)
    sod = secs - days * 86400
    d = days.astype("datetime64[D]")
    months = d.astype("datetime64[M]")
    year = d.astype("datetime64[Y]").astype(np.int64) + 1970
    month = months.astype(np.int64) % 12 + 1
    day = (d - months.astype("datetime64[D]")).astype(np.int64) + 1
    if year.size and (year.min() < 2000 or year.max() > 2063):
        raise ValueError("recording time outside 2000..2063")
    word = ((year - 2000) << 26) | (month << 22) | (day << 17)
    word |= (sod // 3600) << 12 | ((sod // 60) % 60) << 6 | (sod % 60)
    return word.astype(np.uint32)


def rate_hz(rate_code: int) -> float:
    """Nominal sample rate of a rate code (only the low nibble counts)."""
    return 3200.0 / 2 ** (15 - (int(rate_code) & 0x0F))


# ---------------------------------------------------------------------------
# Sample and light word helpers
# ---------------------------------------------------------------------------

def light_word(light: int = 0, gyro_code: int = 0, accel_code: int = 0) -> int:
    """Build the 16-bit light word: raw light in bits 0-9, gyroscope range
    code in bits 10-12, accelerometer scale code in bits 13-15."""
    if not 0 <= light < 1024:
        raise ValueError("light must fit in 10 bits")
    if not (0 <= gyro_code < 8 and 0 <= accel_code < 8):
        raise ValueError("scale codes must fit in 3 bits")
    return light | (gyro_code << 10) | (accel_code << 13)


def pack_packed_sample(x, y, z, e=0):
    """Pack 10-bit two's-complement x, y, z fields and a 2-bit exponent into
    the 32-bit packed word (scalars or arrays).

    x, y, z must lie in -512..511 (values 512..1023 are accepted as already
    encoded bit patterns); e in 0..3.
    """
    x, y, z, e = (np.asarray(a, dtype=np.int64) for a in (x, y, z, e))
    for a in (x, y, z):
        if np.any((a < -512) | (a > 1023)):
            raise ValueError("packed axis value outside 10 bits")
    if np.any((e < 0) | (e > 3)):
        raise ValueError("exponent outside 0..3")
    w = (x & 0x3FF) | ((y & 0x3FF) << 10) | ((z & 0x3FF) << 20) | (e << 30)
    w = w.astype(np.uint32)
    return int(w) if w.ndim == 0 else w


def unpack_packed_sample(word):
    """Inverse of ``pack_packed_sample``: (x, y, z, e) with x, y, z as signed
    10-bit values (before the exponent shift)."""
    w = np.asarray(word, dtype=np.int64)
    fields = [((w >> s) & 0x3FF) for s in (0, 10, 20)]
    fields = [np.where(f >= 512, f - 1024, f) for f in fields]
    e = (w >> 30) & 3
    if w.ndim == 0:
        return tuple(int(f) for f in fields) + (int(e),)
    return (*fields, e)


_EXP_LUT = np.array([0, 1, 2, 2, 3, 3, 3, 3], dtype=np.int32)


def _pack_words(v: np.ndarray) -> np.ndarray:
    """Column-wise packing of (n, 3) int32 counts (already clipped)."""
    x, y, z = v[:, 0], v[:, 1], v[:, 2]
    # |v| measured so that v >> k fits 10 bits exactly when mag < 512 << k
    mag = np.maximum(np.maximum(x ^ (x >> 31), y ^ (y >> 31)), z ^ (z >> 31))
    e = _EXP_LUT[mag >> 9]
    w = ((x >> e) & 0x3FF).astype(np.uint32)
    w |= (((y >> e) & 0x3FF) << 10).astype(np.uint32)
    w |= (((z >> e) & 0x3FF) << 20).astype(np.uint32)
    w |= (e << 30).astype(np.uint32)
    return w


def encode_packed(counts) -> tuple[np.ndarray, np.ndarray]:
    """Encode integer accelerometer counts of shape (n, 3) as packed words.

    Each sample gets the smallest exponent that holds all three axes; the
    low bits lost to the shift are dropped (floor), as the hardware does.
    Counts beyond what exponent 3 can hold (-4096..4095) are clipped.
    Returns (words as uint32, the counts a reader will decode).
    """
    v = np.asarray(counts)
    if v.ndim != 2 or v.shape[1] != 3:
        raise ValueError("packed samples need shape (n, 3)")
    v = np.clip(v, -4096, 4095).astype(np.int32)
    words = _pack_words(v)
    return words, _unpacked_counts(words)


def _unpacked_counts(words: np.ndarray) -> np.ndarray:
    x, y, z, e = unpack_packed_sample(np.asarray(words).reshape(-1))
    return (np.stack([x, y, z], axis=1) << e[:, None]).astype(np.int32)


def block_checksum(block: bytes) -> int:
    """Checksum word that makes all 256 little-endian words of a 512-byte
    block sum to zero (mod 65536), given the first 510 bytes."""
    words = np.frombuffer(bytes(block[:510]), dtype="<u2")
    return (-int(words.sum(dtype=np.uint64))) & 0xFFFF


# ---------------------------------------------------------------------------
# Metadata block
# ---------------------------------------------------------------------------

# name -> (offset, struct code); the single source of truth for both the
# block builder and the tests that parse blocks back.
METADATA_FIELDS = {
    "packet_length": (2, "<H"),
    "hardware_type": (4, "<B"),
    "device_id": (5, "<H"),
    "session_id": (7, "<I"),
    "upper_device_id": (11, "<H"),
    "logging_start": (13, "<I"),
    "logging_end": (17, "<I"),
    "flash_led": (26, "<B"),
    "sensor_config": (35, "<B"),
    "rate_code": (36, "<B"),
    "last_change": (37, "<I"),
    "firmware_revision": (41, "<B"),
}
_METADATA_DATES = {"logging_start", "logging_end", "last_change"}
ANNOTATION_OFFSET = 64
ANNOTATION_SIZE = 448

_METADATA_DEFAULTS = {
    "packet_length": 1020,
    "hardware_type": 0x64,
    "device_id": 12345,
    "session_id": 1,
    "upper_device_id": 0,
    "logging_start": DEFAULT_START,
    "logging_end": DEFAULT_START + _dt.timedelta(days=7),
    "flash_led": 0,
    "sensor_config": 0x00,
    "rate_code": 0x4A,
    "last_change": DEFAULT_START - _dt.timedelta(hours=1),
    "firmware_revision": 48,
}


def metadata_block(*, header: bytes = b"MD", annotation: bytes | str = b"",
                   pad: int = 0x20, **fields) -> bytes:
    """Build the 1024-byte metadata block.

    ``fields`` may set any name of ``METADATA_FIELDS``; the three date-times
    (``logging_start``, ``logging_end``, ``last_change``) take a packed int
    or a ``datetime``. ``header`` is written raw (2 bytes). ``annotation``
    (str is UTF-8 encoded) starts at offset 64 and the rest of the 448-byte
    area is filled with ``pad``. Uninterpreted bytes are zero.
    """
    unknown = set(fields) - set(METADATA_FIELDS)
    if unknown:
        raise TypeError(f"unknown metadata fields: {sorted(unknown)}")
    if len(header) != 2:
        raise ValueError("header must be 2 bytes")
    values = dict(_METADATA_DEFAULTS, **fields)
    buf = bytearray(METADATA_SIZE)
    buf[0:2] = header
    for name, (off, code) in METADATA_FIELDS.items():
        v = values[name]
        if name in _METADATA_DATES:
            v = _as_packed(v)
        struct.pack_into(code, buf, off, v)
    if isinstance(annotation, str):
        annotation = annotation.encode("utf-8")
    if len(annotation) > ANNOTATION_SIZE:
        raise ValueError("annotation longer than 448 bytes")
    area = bytes(annotation) + bytes([pad]) * (ANNOTATION_SIZE - len(annotation))
    buf[ANNOTATION_OFFSET:ANNOTATION_OFFSET + ANNOTATION_SIZE] = area
    return bytes(buf)


# ---------------------------------------------------------------------------
# Data block
# ---------------------------------------------------------------------------

DATA_FIELDS = {
    "packet_length": (2, "<H"),
    "device_fractional": (4, "<H"),
    "session_id": (6, "<I"),
    "sequence_id": (10, "<I"),
    "timestamp": (14, "<I"),
    "light": (18, "<H"),
    "temperature": (20, "<H"),
    "events": (22, "<B"),
    "battery": (23, "<B"),
    "rate_code": (24, "<B"),
    "format": (25, "<B"),
    "timestamp_offset": (26, "<h"),
    "sample_count": (28, "<H"),
    "checksum": (510, "<H"),
}

_DATA_DEFAULTS = {
    "packet_length": 508,
    "device_fractional": 0,
    "session_id": 0,
    "sequence_id": 0,
    "timestamp": 0x5D9EC8B8,  # 2023-06-15 12:34:56, a valid time
    "temperature": 0,
    "events": 0,
    "battery": 0,
    "rate_code": 0x4A,
    "format": 0x30,
    "timestamp_offset": 0,
    "checksum": 0,
}


def _sample_area(fmt: int, samples) -> tuple[bytes, int]:
    """Serialise raw samples for a format; returns (bytes, sample count)."""
    arr = np.asarray(samples)
    if fmt == 0x30:
        if arr.ndim == 1:
            words = arr.astype(np.int64)
            if np.any((words < 0) | (words > 0xFFFFFFFF)):
                raise ValueError("packed words must be u32")
            words = words.astype("<u4")
        elif arr.ndim == 2 and arr.shape[1] == 4:
            words = np.asarray(pack_packed_sample(*arr.T), dtype="<u4")
        elif arr.ndim == 2 and arr.shape[1] == 3:
            words = encode_packed(arr)[0].astype("<u4")
        else:
            raise ValueError("packed samples: u32 words, (n,4) fields or "
                             "(n,3) counts")
        return words.reshape(-1).tobytes(), len(words)
    if fmt not in FORMATS:
        raise ValueError(f"cannot serialise samples for format {fmt:#04x}; "
                         "use sample_bytes")
    axes = FORMATS[fmt][0]
    arr = arr.astype(np.int64).reshape(-1, axes)
    if np.any((arr < -32768) | (arr > 32767)):
        raise ValueError("16-bit sample outside int16")
    return arr.astype("<i2").tobytes(), len(arr)


def data_block(*, header: bytes = b"AX", samples=None,
               sample_bytes: bytes | None = None, light: int | None = None,
               light_raw: int | None = None, gyro_range_code: int | None = None,
               accel_scale_code: int | None = None, sample_count: int | None = None,
               **fields) -> bytes:
    """Build one 512-byte data block.

    Header fields are named as in ``DATA_FIELDS`` (``timestamp`` also takes a
    ``datetime``). ``sample_count`` defaults to the number of samples given.

    Samples, raw integers, for ``format`` 0x30: 1-D u32 packed words, (n, 4)
    (x, y, z, exponent) fields, or (n, 3) counts encoded with the smallest
    exponent; for the 16-bit formats an (n, axes) int array. ``sample_bytes``
    instead writes up to 480 raw bytes into the sample area.

    The light word is either ``light`` (whole 16 bits) or assembled from
    ``light_raw``, ``gyro_range_code`` and ``accel_scale_code``.

    ``checksum=None`` computes the word that makes the block sum to zero.
    """
    unknown = set(fields) - set(DATA_FIELDS) - {"light", "sample_count"}
    if unknown:
        raise TypeError(f"unknown data block fields: {sorted(unknown)}")
    if len(header) != 2:
        raise ValueError("header must be 2 bytes")
    if samples is not None and sample_bytes is not None:
        raise ValueError("give samples or sample_bytes, not both")
    parts = (light_raw, gyro_range_code, accel_scale_code)
    if light is not None and any(p is not None for p in parts):
        raise ValueError("give light or its parts, not both")
    if light is None:
        light = light_word(*(p or 0 for p in parts))

    values = dict(_DATA_DEFAULTS, **fields)
    values["timestamp"] = _as_packed(values["timestamp"])
    values["light"] = light

    area, n = b"", 0
    if samples is not None:
        area, n = _sample_area(values["format"], samples)
    elif sample_bytes is not None:
        area = bytes(sample_bytes)
    if len(area) > SAMPLE_AREA:
        raise ValueError(f"{len(area)} sample bytes do not fit in 480")
    values["sample_count"] = n if sample_count is None else sample_count

    checksum = values.pop("checksum")
    buf = bytearray(BLOCK_SIZE)
    buf[0:2] = header
    for name, (off, code) in DATA_FIELDS.items():
        if name != "checksum":
            struct.pack_into(code, buf, off, values[name])
    buf[SAMPLE_OFFSET:SAMPLE_OFFSET + len(area)] = area
    if checksum is None:
        checksum = block_checksum(buf)
    struct.pack_into("<H", buf, 510, checksum)
    return bytes(buf)


def erased_block() -> bytes:
    """A 512-byte block of 0xFF, as left by erased flash."""
    return b"\xff" * BLOCK_SIZE


def zero_block() -> bytes:
    """A 512-byte block of zeros."""
    return bytes(BLOCK_SIZE)


def blocks_file(path, blocks: Iterable[bytes], metadata: bytes | dict | None = None):
    """Write a metadata block followed by the given blocks to ``path``.

    ``metadata`` is ready-made bytes, a dict of ``metadata_block`` keyword
    arguments, or None for the defaults. Blocks are written as given, so
    odd sizes can be used to make malformed files. Returns the path.
    """
    if metadata is None:
        metadata = metadata_block()
    elif isinstance(metadata, dict):
        metadata = metadata_block(**metadata)
    with open(path, "wb") as f:
        f.write(metadata)
        for b in blocks:
            f.write(b)
    return path


# ---------------------------------------------------------------------------
# Whole recordings
# ---------------------------------------------------------------------------

_BLOCK_DTYPE = np.dtype({
    "names": ["header", "packet_length", "device_fractional", "session_id",
              "sequence_id", "timestamp", "light", "temperature", "events",
              "battery", "rate_code", "format", "timestamp_offset",
              "sample_count", "samples", "checksum"],
    "formats": ["S2", "<u2", "<u2", "<u4", "<u4", "<u4", "<u2", "<u2", "u1",
                "u1", "u1", "u1", "<i2", "<u2", ("u1", SAMPLE_AREA), "<u2"],
    "offsets": [0, 2, 4, 6, 10, 14, 18, 20, 22, 23, 24, 25, 26, 28, 30, 510],
    "itemsize": BLOCK_SIZE,
})

# counts per g is 2**(8 + code): 256 for the packed and AX3 16-bit layouts,
# 4096 (a +-8 g range) for the gyroscope-carrying layouts.
_DEFAULT_ACCEL_CODE = {0x30: 0, 0x32: 0, 0x62: 4, 0x92: 4}

_CHUNK_BLOCKS = 16384


@dataclass
class RecordingInfo:
    """What a generated recording contains, per data block.

    ``block_starts`` are the block start times a reader derives from the
    timestamp and offset, in seconds since 1970 on the device clock (NaN for
    erased and empty blocks). A whole second only lands on a sample when the
    block start lies on the grid that seconds and sample periods share: that
    always holds for a whole-second ``start`` without jitter, and then these
    are the intended continuous starts; otherwise they are the nearest
    sample the format can express. ``raw`` (only with keep_raw) is a
    list with one int32 array (count, axes) per block holding the integers a
    reader decodes before scaling (packed samples after the exponent shift).
    """

    path: str | None
    size: int
    n_blocks: int
    rate_code: int
    rate_hz: float
    start: _dt.datetime
    formats: np.ndarray
    counts: np.ndarray
    timestamps: np.ndarray
    offsets: np.ndarray
    block_starts: np.ndarray
    accel_scale_codes: np.ndarray
    gyro_codes: np.ndarray
    erased: np.ndarray
    empty: np.ndarray
    raw: list | None = field(default=None, repr=False)

    @property
    def valid(self) -> np.ndarray:
        """Mask of blocks that carry samples."""
        return self.counts > 0

    @property
    def n_samples(self) -> int:
        return int(self.counts.sum(dtype=np.int64))

    def block_ends(self) -> np.ndarray:
        """Nominal end of each block: start + count / rate."""
        return self.block_starts + self.counts / self.rate_hz


def _per_block(value, n, name, dtype=np.int64):
    arr = np.asarray(value, dtype=dtype)
    if arr.ndim == 0:
        return np.full(n, arr, dtype=dtype)
    if arr.shape != (n,):
        raise ValueError(f"{name} needs one value per block ({n})")
    return arr


def _datetime_ticks(dt: _dt.datetime) -> int:
    delta = dt - _EPOCH
    whole = delta.days * 86400 + delta.seconds
    return whole * _TICKS + round(delta.microseconds * _TICKS / 1_000_000)


def _noise(rng, n: int, cols: int) -> np.ndarray:
    """Small zero-mean integer noise (-3..3, triangular), shape (cols, n).

    Drawn from random bytes because normal deviates for a week of samples
    would dominate the run time."""
    r = np.frombuffer(rng.bytes(n * cols), dtype=np.uint8).reshape(cols, n)
    return ((r & 3) + ((r >> 2) & 3)).astype(np.int32) - 3


def _realistic(counts_per_block, blk_t0, fmt, accel_codes, gyro_r, rng, rate):
    """Raw samples of a worn sensor: slowly turning gravity, bursts of
    walking-like movement and sensor noise.

    Slow quantities are evaluated once per block (their change within a
    block is below one count); the movement is computed per sample only in
    active blocks, with its phase reduced per block so float32 keeps its
    precision over a week. Returns an (n, axes) int32 array.
    """
    axes = FORMATS[fmt][0]
    cnt = counts_per_block
    n = int(cnt.sum())
    tau = 2 * np.pi
    a = (0.6 * np.sin(tau * blk_t0 / 5400 + 0.7)
         + 0.3 * np.sin(tau * blk_t0 / 1300 + 2.1))
    b = 0.5 * np.sin(tau * blk_t0 / 7200 + 1.3)
    per_g = np.exp2(8 + accel_codes)
    grav = np.stack([np.sin(a) * np.cos(b), np.sin(b), np.cos(a) * np.cos(b)])
    grav = np.rint(grav * per_g).astype(np.int32)            # (3, blocks)
    act = (np.sin(tau * blk_t0 / 900 + 0.4)
           + 0.6 * np.sin(tau * blk_t0 / 211 + 1.9))
    amp = np.clip((act - 0.9) * 2.0, 0.0, 1.0)

    out = np.empty((axes, n), dtype=np.int32)   # filled column-wise
    acc = out[3:6] if axes > 3 else out
    acc[:] = np.repeat(grav, cnt, axis=1)
    noise_gain = np.maximum(per_g / 256, 1).astype(np.int32)
    noise = _noise(rng, n, 3)
    if (noise_gain == 1).all():
        acc += noise
    else:
        acc += noise * np.repeat(noise_gain, cnt)

    active = np.flatnonzero(amp > 0)
    sel = None
    if active.size:
        # sample positions of the active blocks
        first = np.cumsum(cnt) - cnt
        ac = cnt[active]
        sel = (np.repeat(first[active] - (np.cumsum(ac) - ac), ac)
               + np.arange(int(ac.sum())))
        j = sel - np.repeat(first[active], ac)
        step_hz = 1.8
        phase0 = np.mod(tau * step_hz * blk_t0[active], tau)
        ph = (np.repeat(phase0.astype(np.float32), ac)
              + np.float32(tau * step_hz / rate) * j.astype(np.float32))
        s, c = np.sin(ph), np.cos(ph)
        g_amp = np.repeat((amp[active] * per_g[active]).astype(np.float32), ac)
        acc[0, sel] += np.rint(g_amp * 0.9 * s).astype(np.int32)
        acc[1, sel] += np.rint(g_amp * 0.4 * c).astype(np.int32)
        acc[2, sel] += np.rint(g_amp * 0.6 * s * c).astype(np.int32)

    lim = 4095 if fmt == 0x30 else 32767
    np.clip(acc, -lim - 1, lim, out=acc)
    if axes >= 6:
        gyro = out[0:3]
        gyro[:] = _noise(rng, n, 3)
        if sel is not None:
            per_dps = np.repeat((amp[active] * 32768.0 / gyro_r[active])
                                .astype(np.float32), ac)
            gyro[0, sel] += np.rint(per_dps * 120 * c).astype(np.int32)
            gyro[1, sel] += np.rint(per_dps * 60 * s).astype(np.int32)
            gyro[2, sel] += np.rint(per_dps * 30 * c).astype(np.int32)
        np.clip(gyro, -32768, 32767, out=gyro)
    if axes == 9:
        field_ = np.stack([300 * np.cos(a), 200 * np.sin(b), -400 * np.sin(a)])
        out[6:9] = np.repeat(np.rint(field_).astype(np.int32), cnt, axis=1)
        out[6:9] += _noise(rng, n, 3)
    return out.T


def _motion_samples(motion, t_fn, gidx_fn, counts_per_block, blk_t0, fmt,
                    accel_codes, gyro_r, rng, rate):
    """Raw samples of one run of same-format blocks, shape (n, axes), or 1-D
    packed words for a callable that returns them."""
    axes = FORMATS[fmt][0]
    n = int(counts_per_block.sum())
    if callable(motion):
        code = getattr(motion, "__code__", None)
        wants_fmt = code is not None and code.co_argcount >= 2
        t = t_fn()
        out = motion(t, fmt) if wants_fmt else motion(t)
        out = np.asarray(out)
        if fmt == 0x30 and out.ndim == 1:
            return out.astype(np.uint32)
        return out.reshape(n, axes)
    if motion == "zeros":
        return np.zeros((n, axes), dtype=np.int32)
    if motion == "ramp":
        span = 1024 if fmt == 0x30 else 65536
        step = 100 if fmt == 0x30 else 1000
        cols = np.arange(axes, dtype=np.int64) * step
        return ((gidx_fn()[:, None] + cols) % span - span // 2).astype(np.int32)
    if motion == "realistic":
        return _realistic(counts_per_block, blk_t0, fmt, accel_codes, gyro_r,
                          rng, rate)
    raise ValueError(f"unknown motion {motion!r}")


def _timing(valid_idx, counts, period, base_ticks, gap_ticks, jitter):
    """Intended start ticks of the valid blocks, and the (timestamp seconds,
    offset) pair that encodes each start."""
    dur = counts[valid_idx].astype(np.float64) * period * (1.0 + jitter)
    starts = np.concatenate([[0.0], np.cumsum(dur)[:-1]]) if dur.size else dur
    ticks = base_ticks + np.rint(starts).astype(np.int64) + gap_ticks[valid_idx]
    # The timestamp names a whole second and the offset the sample at which
    # it began. Take the first second boundary at or after the block start;
    # when it does not fall on a sample (rates below 25 Hz, jitter) try later
    # seconds, then settle for the nearest sample.
    sec = -np.floor_divide(-ticks, _TICKS)
    off = np.rint((sec * _TICKS - ticks) / period).astype(np.int64)
    exact = sec * _TICKS - off * period == ticks
    # a later second can only land on a sample if the start sits on the
    # common grid of seconds and sample periods
    exact |= ticks % math.gcd(_TICKS, period) != 0
    for j in range(1, period // math.gcd(_TICKS, period) + 1):
        if exact.all():
            break
        todo = np.flatnonzero(~exact)
        s2 = sec[todo] + j
        num = s2 * _TICKS - ticks[todo]
        ok = num % period == 0
        sec[todo[ok]] = s2[ok]
        off[todo[ok]] = num[ok] // period
        exact[todo[ok]] = True
    return ticks, sec, off


def build_recording(*, fmt: int = 0x30, rate_code: int = 0x4A,
                    duration_s: float | None = None,
                    n_blocks: int | None = None,
                    start: _dt.datetime = DEFAULT_START, seed: int = 0,
                    samples_per_block=None, accel_scale_code=None,
                    gyro_code=None, motion="realistic",
                    temperature=300, light=100, battery=180,
                    metadata: dict | None = None,
                    gaps: Sequence[tuple[int, float]] = (),
                    erased: Sequence[int] = (), empty: Sequence[int] = (),
                    formats=None, jitter: float = 0.0,
                    session_id: int | None = None,
                    checksums: bool = False,
                    keep_raw: bool = False) -> tuple[np.ndarray, RecordingInfo]:
    """Build a recording in memory; returns (uint8 array of the whole file,
    RecordingInfo). See ``write_recording`` for the arguments."""
    if formats is not None:
        formats = np.asarray(formats, dtype=np.uint8)
        if n_blocks is None:
            n_blocks = len(formats)
    rate = rate_hz(rate_code)
    period = 2 ** (15 - (rate_code & 0x0F))  # ticks per sample
    if n_blocks is None:
        if duration_s is None:
            raise ValueError("give duration_s, n_blocks or formats")
        spb = samples_per_block if samples_per_block is not None else FORMATS[fmt][2]
        spb = int(np.min(spb))
        n_blocks = int(np.ceil(duration_s * rate / spb))
    n = int(n_blocks)
    if formats is None:
        formats = np.full(n, fmt, dtype=np.uint8)
    elif formats.shape != (n,):
        raise ValueError("formats needs one entry per block")
    for f in np.unique(formats):
        if int(f) not in FORMATS:
            raise ValueError(f"no generator for format {int(f):#04x}")

    caps = np.zeros(n, dtype=np.int64)
    for f, (_, _, cap) in FORMATS.items():
        caps[formats == f] = cap
    counts = caps.copy() if samples_per_block is None else \
        _per_block(samples_per_block, n, "samples_per_block")
    if np.any(counts > caps) or np.any(counts < 0):
        raise ValueError("samples_per_block exceeds the format's capacity")
    erased_mask = np.zeros(n, dtype=bool)
    erased_mask[list(erased)] = True
    empty_mask = np.zeros(n, dtype=bool)
    empty_mask[list(empty)] = True
    counts[erased_mask | empty_mask] = 0

    if accel_scale_code is None:
        accel_codes = np.zeros(n, dtype=np.int64)
        for f, c in _DEFAULT_ACCEL_CODE.items():
            accel_codes[formats == f] = c
    else:
        accel_codes = _per_block(accel_scale_code, n, "accel_scale_code")
    has_gyro = (formats >> 4) >= 6
    gyro_codes = (np.where(has_gyro, 2, 0) if gyro_code is None
                  else _per_block(gyro_code, n, "gyro_code"))
    gyro_r = np.where(gyro_codes == 0, 2000, 8000 >> gyro_codes).astype(np.float64)

    # Clock: gaps shift every later block; erased and empty blocks take no
    # time, so a reader's continuity correction bridges them seamlessly.
    gap_ticks = np.zeros(n, dtype=np.int64)
    for idx, secs in gaps:
        gap_ticks[idx:] += int(round(secs * _TICKS))
    base = _datetime_ticks(start)
    valid_idx = np.flatnonzero(counts > 0)
    ticks, sec, off = _timing(valid_idx, counts, period, base, gap_ticks, jitter)
    if off.size and (off.min() < -32768 or off.max() > 32767):
        raise ValueError("timestamp offset does not fit in int16")

    timestamps = np.zeros(n, dtype=np.uint32)
    offsets = np.zeros(n, dtype=np.int16)
    starts = np.full(n, np.nan)
    timestamps[valid_idx] = _pack_epoch_seconds(sec)
    offsets[valid_idx] = off
    starts[valid_idx] = (sec * _TICKS - off * period) / _TICKS
    # an empty block carries the clock reading of where it sits
    if empty_mask.any():
        pos = np.searchsorted(valid_idx, np.flatnonzero(empty_mask))
        nxt = np.minimum(pos, max(valid_idx.size - 1, 0))
        if valid_idx.size:
            t_empty = ticks[nxt] // _TICKS
        else:
            t_empty = np.full(pos.size, base // _TICKS)
        timestamps[empty_mask] = _pack_epoch_seconds(t_empty)

    if valid_idx.size:
        end_s = int(np.ceil(np.max(starts[valid_idx] + counts[valid_idx] / rate)))
        logging_end = _EPOCH + _dt.timedelta(seconds=end_s)
    else:
        logging_end = start.replace(microsecond=0)
    meta_fields = dict(
        rate_code=rate_code,
        logging_start=start.replace(microsecond=0),
        logging_end=logging_end,
        hardware_type=0x64 if has_gyro.any() else 0x17,
        sensor_config=(int(gyro_codes[has_gyro][0]) if has_gyro.any() else 0)
        | (0x10 if (formats == 0x92).any() else 0),
    )
    meta_fields.update(metadata or {})
    meta = metadata_block(**meta_fields)
    if session_id is None:
        session_id = meta_fields.get("session_id", _METADATA_DEFAULTS["session_id"])

    out = np.empty(METADATA_SIZE + BLOCK_SIZE * n, dtype=np.uint8)
    out[:METADATA_SIZE] = np.frombuffer(meta, dtype=np.uint8)
    body = out[METADATA_SIZE:].reshape(n, BLOCK_SIZE)
    body[:] = 0
    rec = body.view(_BLOCK_DTYPE).reshape(n)

    written = ~erased_mask
    rec["header"][written] = b"AX"
    rec["packet_length"] = 508
    rec["session_id"] = session_id
    rec["sequence_id"] = np.arange(n, dtype=np.uint32)
    rec["timestamp"] = timestamps
    rec["timestamp_offset"] = offsets
    rec["sample_count"] = counts
    rec["rate_code"] = rate_code
    rec["format"] = formats
    light_raw = _per_block(light, n, "light") & 0x3FF
    rec["light"] = light_raw | (gyro_codes << 10) | (accel_codes << 13)
    rec["temperature"] = _per_block(temperature, n, "temperature")
    rec["battery"] = _per_block(battery, n, "battery")

    rng = np.random.default_rng(seed)
    raw_blocks: list | None = [None] * n if keep_raw else None
    first_sample = np.zeros(n, dtype=np.int64)
    first_sample[valid_idx] = np.concatenate([[0], np.cumsum(counts[valid_idx])[:-1]]) \
        if valid_idx.size else []
    t0_all = np.zeros(n)
    t0_all[valid_idx] = (ticks - base) / _TICKS
    eff_period = period * (1.0 + jitter) / _TICKS

    for i0 in range(0, valid_idx.size, _CHUNK_BLOCKS):
        chunk = valid_idx[i0:i0 + _CHUNK_BLOCKS]
        for f in np.unique(formats[chunk]):
            f = int(f)
            axes, bps, cap = FORMATS[f]
            blk = chunk[formats[chunk] == f]
            cnt = counts[blk]
            tot = int(cnt.sum())

            def within(cnt=cnt, tot=tot):
                return np.arange(tot) - np.repeat(np.cumsum(cnt) - cnt, cnt)

            def t_fn(blk=blk, cnt=cnt):
                return np.repeat(t0_all[blk], cnt) + within() * eff_period

            def gidx_fn(blk=blk, cnt=cnt):
                return np.repeat(first_sample[blk], cnt) + within()

            vals = _motion_samples(motion, t_fn, gidx_fn, cnt, t0_all[blk], f,
                                   accel_codes[blk], gyro_r[blk], rng, rate)
            decoded = None
            if f == 0x30:
                if vals.ndim == 1:
                    words = vals.astype(np.uint32)
                else:
                    v = np.asarray(vals)
                    if v.dtype != np.int32 or v.min(initial=0) < -4096 \
                            or v.max(initial=0) > 4095:
                        v = np.clip(v, -4096, 4095).astype(np.int32)
                    words = _pack_words(v)
                data = words.astype("<u4", copy=False).view(np.uint8)
            else:
                v = np.asarray(vals)
                if v.size and (v.min() < -32768 or v.max() > 32767):
                    raise ValueError("motion values outside int16")
                if keep_raw:
                    decoded = v.astype(np.int32)
                data = np.ascontiguousarray(v, dtype="<i2").view(np.uint8)
            data = data.reshape(tot, bps)
            if (cnt == cap).all():
                area = data.reshape(len(blk), cap * bps)
            else:
                area = np.zeros((len(blk), cap * bps), dtype=np.uint8)
                mask = np.arange(cap)[None, :] < cnt[:, None]
                area.reshape(len(blk), cap, bps)[mask] = data
            if blk[-1] - blk[0] + 1 == len(blk):
                body[blk[0]:blk[-1] + 1, SAMPLE_OFFSET:SAMPLE_OFFSET + cap * bps] = area
            else:
                body[blk, SAMPLE_OFFSET:SAMPLE_OFFSET + cap * bps] = area
            if keep_raw:
                if decoded is None:
                    decoded = _unpacked_counts(words)
                parts = np.split(decoded, np.cumsum(cnt)[:-1])
                for bi, p in zip(blk, parts):
                    raw_blocks[bi] = p

    if keep_raw:
        for b in range(n):
            if raw_blocks[b] is None:
                raw_blocks[b] = np.zeros((0, FORMATS[int(formats[b])][0]), np.int32)
    if checksums:
        words = body[written].view("<u2")
        s = words[:, :255].sum(axis=1, dtype=np.uint64)
        rec["checksum"][written] = ((-s.astype(np.int64)) & 0xFFFF).astype(np.uint16)
    body[erased_mask] = 0xFF

    info = RecordingInfo(
        path=None, size=out.size, n_blocks=n, rate_code=rate_code,
        rate_hz=rate, start=start, formats=formats,
        counts=counts.astype(np.uint16), timestamps=timestamps,
        offsets=offsets, block_starts=starts,
        accel_scale_codes=accel_codes.astype(np.uint8),
        gyro_codes=gyro_codes.astype(np.uint8),
        erased=np.flatnonzero(erased_mask), empty=np.flatnonzero(empty_mask),
        raw=raw_blocks)
    return out, info


def recording_bytes(**kwargs) -> bytes:
    """Like ``write_recording`` but return the file contents as bytes."""
    return build_recording(**kwargs)[0].tobytes()


def write_recording(path, **kwargs) -> RecordingInfo:
    """Write a synthetic recording to ``path`` and describe it.

    Keyword arguments:

    fmt               format byte for every block (0x30, 0x32, 0x62, 0x92)
    formats           per-block format bytes instead (mixed-format files)
    rate_code         rate code for data and metadata blocks (0x4A: 100 Hz)
    duration_s / n_blocks   length; ``formats`` also fixes the length
    start             datetime of the first sample (device clock)
    seed              seeds the noise of ``motion="realistic"``
    samples_per_block int or per-block array (default: format maximum)
    accel_scale_code  light bits 13-15; default 0 (256 counts/g) for 0x30 and
                      0x32, 4 (4096 counts/g) for 0x62 and 0x92
    gyro_code         light bits 10-12; default 2 (2000 dps) for blocks with a
                      gyroscope, 0 otherwise
    motion            "realistic", "zeros", "ramp" (sample n of the recording
                      holds n + axis*step wrapped into the format's range), or
                      a plain function f(t) or f(t, fmt) with t the sample times in
                      seconds from ``start``, returning (n, axes) raw integers
                      (for 0x30 counts to pack, or 1-D ready packed words)
    temperature, light, battery   raw values, constant or per block
    metadata          dict of ``metadata_block`` overrides
    gaps              [(block_index, seconds)]: the clock jumps by ``seconds``
                      from that block on (negative sets it back)
    erased            block indices written as 0xFF
    empty             block indices written as "AX" with sample_count 0
    jitter            relative rate error: each block lasts
                      count / rate * (1 + jitter), so starts drift
    session_id        session id of the data blocks (default: the
                      metadata's)
    checksums         write correct checksum words (default all zero)
    keep_raw          keep the raw samples in ``RecordingInfo.raw``

    Erased and empty blocks take no time: the samples around them are
    continuous. The whole file is written with a single call.
    """
    buf, info = build_recording(**kwargs)
    with open(path, "wb") as f:
        buf.tofile(f)
    info.path = os.fspath(path)
    return info


# ---------------------------------------------------------------------------
# Damage: bad blocks, stale checksums, compression
# ---------------------------------------------------------------------------

#: Ways to spoil one data block, each with the message a strict read fails with.
BAD_BLOCK_KINDS = {
    "old_format": "Old CWA format packets are not supported",
    "format": "Unsupported sample format: 5 axes, packing 2",
    "capacity": "Sample count exceeds packet capacity",
    "timestamp": "Invalid block timestamp",
    "checksum": "Checksum mismatch",
}


def spoil_block(buf, k: int, kind: str, *, fix_checksum: bool = True) -> None:
    """Spoil data block ``k`` of a whole-file uint8 array (or bytearray) in place.

    ``kind`` is a key of ``BAD_BLOCK_KINDS``. Every kind but "checksum" leaves the block's
    checksum correct (``fix_checksum``), so that it is bad for its header alone; "checksum"
    changes one sample byte and leaves the checksum stale.
    """
    view = np.frombuffer(memoryview(buf), dtype=np.uint8)
    at = METADATA_SIZE + BLOCK_SIZE * int(k)
    block = view[at:at + BLOCK_SIZE]
    if bytes(block[:2]) != b"AX" or int(block[28]) | int(block[29]) << 8 == 0:
        raise ValueError(f"block {k} is no data block")
    if kind == "old_format":
        block[24] = 0
    elif kind == "format":
        block[25] = 0x52
    elif kind == "capacity":
        block[28:30] = np.frombuffer(struct.pack("<H", 200), dtype=np.uint8)
    elif kind == "timestamp":
        block[14:18] = np.frombuffer(struct.pack("<I", pack_datetime(2023, 13, 1)), dtype=np.uint8)
    elif kind == "checksum":
        block[100] ^= 0x5A
        return
    else:
        raise ValueError(f"unknown kind {kind!r}")
    if fix_checksum:
        block[510:512] = np.frombuffer(struct.pack("<H", block_checksum(bytes(block))),
                                       dtype=np.uint8)


def zero_blocks(data: bytes, blocks: Iterable[int]) -> bytes:
    """A copy of a whole file with the given data blocks overwritten with zero bytes and any
    trailing partial block cut off: what a tolerant read must read like."""
    out = bytearray(data)
    for k in blocks:
        at = METADATA_SIZE + BLOCK_SIZE * int(k)
        out[at:at + BLOCK_SIZE] = bytes(BLOCK_SIZE)
    whole = METADATA_SIZE + (len(out) - METADATA_SIZE) // BLOCK_SIZE * BLOCK_SIZE
    return bytes(out[:max(whole, min(len(out), METADATA_SIZE))])
