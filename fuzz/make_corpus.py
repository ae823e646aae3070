"""Writes the seed corpus of the reader fuzz target.

Every seed is a small CWA file from tests/cwagen.py: each sample format, clock gaps both ways,
erased and empty blocks, mixed formats, invalid timestamps, old-format and unknown-format blocks,
and files cut short. Bytes 42..63 of the metadata block, which no reader interprets, carry the
fuzz target's parameters (cuts, rates, include flags, UTC offset); the seeds use a handful of
settings so that every cut kind and every CSV path is reached from the start.

Usage: python3 fuzz/make_corpus.py OUTPUT_DIR
"""

from __future__ import annotations

import hashlib
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import cwagen  # noqa: E402

MAX_SEED = 65536
PARAM_OFFSET = 42


def params(flags: int, first: int = 0, end: int = 0, start_s: float = 0.0,
           end_s: float = 0.0, rates=(512, 5120, 51200), offset: int = 0) -> bytes:
    """The parameter bytes as fuzz_reader.cpp reads them (seconds in 1/128 s, rates in
    1/512 Hz, offset in units of 1.000003 s)."""
    out = bytes([flags, first, end])
    out += struct.pack("<HH", int(start_s * 128), int(end_s * 128))
    out += struct.pack("<HHH", *rates)
    out += struct.pack("<h", offset)
    return out.ljust(22, b"\0")


# flags: bit0 blocks start, bit1 blocks end, bit2 seconds start, bit3 seconds end,
# bit4 magnetometer, bit5 temperature, bit6 light, bit7 battery.
SETTINGS = [
    params(0x10),
    params(0xFF, first=1, end=4, start_s=2.0, end_s=5.0),
    params(0x35, first=2, start_s=1.5, rates=(100, 2000, 0)),
    params(0x5A, end=3, end_s=3.0, rates=(40000, 3, 0x8000 | 3000), offset=-120),
    params(0x9C, start_s=0.25, end_s=40.0, offset=3600),
]


def with_params(data: bytes, setting: bytes) -> bytes:
    if len(data) < PARAM_OFFSET + len(setting):
        return data
    return data[:PARAM_OFFSET] + setting + data[PARAM_OFFSET + len(setting):]


def set_block_field(data: bytes, block: int, offset: int, fmt: str, value) -> bytes:
    buf = bytearray(data)
    struct.pack_into(fmt, buf, cwagen.METADATA_SIZE + block * cwagen.BLOCK_SIZE + offset, value)
    return bytes(buf)


def seeds():
    rec = cwagen.recording_bytes
    for fmt in cwagen.FORMATS:
        yield f"format_{fmt:02x}", rec(fmt=fmt, n_blocks=6, seed=fmt)
    yield "rate_3200", rec(rate_code=0x4F, n_blocks=8)
    yield "long", rec(n_blocks=120, fmt=0x32, gaps=[(60, 2.0)], erased=[90])
    yield "rate_low", rec(rate_code=0x41, n_blocks=4, samples_per_block=30)
    yield "range_bits", rec(rate_code=0xCA, n_blocks=5, motion="ramp")
    yield "gap_forward", rec(n_blocks=10, gaps=[(4, 7.5)])
    yield "gap_short", rec(n_blocks=10, gaps=[(3, 0.4)])
    yield "gap_back", rec(n_blocks=10, gaps=[(5, -30.0)])
    yield "gap_years", rec(n_blocks=6, gaps=[(2, 86400.0 * 365 * 20)], rate_code=0x4C)
    yield "erased_empty", rec(n_blocks=12, erased=[0, 5], empty=[2, 3, 11])
    yield "all_erased", rec(n_blocks=4, erased=[0, 1, 2, 3])
    yield "mixed", rec(formats=[0x30, 0x30, 0x62, 0x92, 0x32, 0x92, 0x30, 0x62])
    yield "mixed_erased", rec(formats=[0x92, 0x30, 0x62, 0x62], erased=[1])
    yield "jitter", rec(n_blocks=10, jitter=0.02, seed=3)
    yield "partial_blocks", rec(n_blocks=6, samples_per_block=[120, 1, 60, 2, 119, 7])
    yield "checksums", rec(n_blocks=4, checksums=True, fmt=0x62)
    yield "annotation", rec(n_blocks=3, metadata={"annotation": "café \xff note", "pad": 0xFF})
    base = rec(n_blocks=8, seed=9)
    yield "bad_timestamp_month", set_block_field(base, 3, 14, "<I", cwagen.pack_datetime(2023, 13, 1))
    yield "bad_timestamp_zero", set_block_field(base, 0, 14, "<I", 0)
    yield "bad_timestamp_ones", set_block_field(base, 6, 14, "<I", 0xFFFFFFFF)
    yield "old_format", set_block_field(base, 2, 24, "<B", 0)
    yield "unknown_format", set_block_field(base, 4, 25, "<B", 0x72)
    yield "overfull_count", set_block_field(base, 5, 28, "<H", 200)
    yield "big_offset", set_block_field(base, 1, 26, "<h", -32768)
    yield "truncated_block", base[: cwagen.METADATA_SIZE + 3 * cwagen.BLOCK_SIZE + 100]
    yield "metadata_only", base[: cwagen.METADATA_SIZE]
    yield "short_metadata", base[:700]
    yield "tiny", b"M"
    not_md = bytearray(base)
    not_md[0:2] = b"AX"
    yield "not_md", bytes(not_md)
    utf8_bad = bytearray(base)
    utf8_bad[cwagen.METADATA_SIZE:cwagen.METADATA_SIZE + 2] = b"\xc3A"
    yield "bad_block_header", bytes(utf8_bad)


def main() -> int:
    out = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent / "corpus")
    out.mkdir(parents=True, exist_ok=True)
    written = 0
    for i, (name, data) in enumerate(seeds()):
        data = with_params(data, SETTINGS[i % len(SETTINGS)])
        if len(data) > MAX_SEED:
            raise SystemExit(f"seed {name} is {len(data)} bytes, more than {MAX_SEED}")
        # Named by content like libFuzzer's own corpus files, so a merge never duplicates a seed.
        digest = hashlib.sha1(data).hexdigest()
        (out / f"seed-{name}-{digest[:12]}").write_bytes(data)
        written += 1
    print(f"{written} seeds in {out}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
