"""read_metadata and sampling_consistency_report.

Expected values come from literal worked examples or from `scan_model`, a
small re-implementation of the block-time arithmetic written here with
numpy float32/float64 scalars. Wherever a test builds blocks to land on a
particular time, the model is asserted to land there too, so that a wrong
construction fails loudly instead of testing something else.
"""

import datetime as dt
import itertools
import struct

import numpy as np
import pytest

import cwagen
import morvane

EPOCH = dt.datetime(1970, 1, 1)
SECOND = dt.timedelta(seconds=1)
NOON = dt.datetime(2023, 5, 1, 12, 0, 0)
JUNE = dt.datetime(2023, 6, 15, 12, 34, 56)  # the packed value 0x5D9EC8B8

METADATA_KEYS = [
    "packet_header", "packet_length", "hardware_type", "device_id",
    "session_id", "upper_device_id", "logging_start_time_raw",
    "logging_end_time_raw", "last_change_time_raw", "start_from_data_raw",
    "end_from_data_raw", "flash_led", "sensor_config", "sample_rate_hz",
    "accel_range", "firmware_revision", "annotation", "gyro_range",
    "magnetometer_enabled",
]
REPORT_KEYS = [
    "start_from_header_raw", "end_from_header_raw", "duration_s_from_header",
    "start_from_data_raw", "end_from_data_raw", "duration_s_from_data",
    "samplingrate_hz_from_header", "samplingrate_hz_from_data",
]
# report key -> the read_metadata key that must hold the same value
SHARED_KEYS = {
    "start_from_header_raw": "logging_start_time_raw",
    "end_from_header_raw": "logging_end_time_raw",
    "start_from_data_raw": "start_from_data_raw",
    "end_from_data_raw": "end_from_data_raw",
    "samplingrate_hz_from_header": "sample_rate_hz",
}
BOTH = pytest.mark.parametrize(
    "fn", [morvane.read_metadata, morvane.sampling_consistency_report],
    ids=["read_metadata", "report"])


# ---------------------------------------------------------------------------
# independent model of the data block scan

def packed_epoch(v):
    y, mo, d, h, mi, s = cwagen.unpack_datetime(v)
    return (dt.datetime(y, mo, d, h, mi, s) - EPOCH) // SECOND


def block_span(timestamp, offset, rate_code, n):
    """(start, end) in float64 seconds, single precision where the device
    format dictates it."""
    t = np.float64(packed_epoch(timestamp))
    rate = np.float32(3200.0 * 2.0 ** ((rate_code & 0x0F) - 15))
    h = np.float32(-np.float32(offset) / rate)
    fl = np.float32(np.floor(h))
    fr = np.float32(h - fl)
    start = (t + np.float64(fl)) + np.float64(fr)
    return start, start + np.float64(np.float32(np.float32(n) / rate))


def span_of(block):
    (timestamp,) = struct.unpack_from("<I", block, 14)
    offset, n = struct.unpack_from("<hH", block, 26)
    return block_span(timestamp, offset, block[24], n)


def to_micros(seconds):
    return int(np.trunc(np.float64(seconds) * 1e6))


def scan_model(blocks):
    """(first us, last us, sample count, last us as a full read orders it)
    over well-formed blocks; None times when no block counts."""
    prev = first = last = read_last = None
    total = 0
    for b in blocks:
        (n,) = struct.unpack_from("<H", b, 28)
        if b[:2] != b"AX" or n == 0:
            continue
        start, end = span_of(b)
        if prev is not None and start - prev < 1.0:
            start = prev
        if first is None:
            first = to_micros(start)
        d, fn = end - start, np.float64(n)
        last = to_micros(d / fn * np.float64(n - 1) + start)
        read_last = to_micros((np.float64(n - 1) * d) / fn + start)
        total += n
        prev = end
    return first, last, total, read_last


def iso(us):
    """Naive text with no fraction, 3 digits for whole milliseconds, else 6."""
    if us is None:
        return None
    secs, frac = divmod(us, 1_000_000)
    text = (EPOCH + dt.timedelta(seconds=secs)).strftime("%Y-%m-%dT%H:%M:%S")
    if frac == 0:
        return text
    if frac % 1000 == 0:
        return text + ".%03d" % (frac // 1000)
    return text + ".%06d" % frac


def parse_iso(text):
    return (dt.datetime.fromisoformat(text) - EPOCH) // dt.timedelta(microseconds=1)


# ---------------------------------------------------------------------------
# file helpers

_dirs = itertools.count()


@pytest.fixture(scope="module")
def _module_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("metadata")


@pytest.fixture
def tmp_path(_module_dir):
    # hundreds of tiny cases: one directory per module, not per test, keeps
    # the suite quick
    d = _module_dir / str(next(_dirs))
    d.mkdir()
    return d


def write(path, data):
    path.write_bytes(data)
    return str(path)


def meta_file(tmp_path, name="m.cwa", **fields):
    return write(tmp_path / name, cwagen.metadata_block(**fields))


def blocks_path(tmp_path, blocks, name="b.cwa", **meta):
    cwagen.blocks_file(tmp_path / name, blocks, meta or None)
    return str(tmp_path / name)


def blk(t, offset=0, rate_code=0x0A, n=120, **kw):
    return cwagen.data_block(timestamp=t, timestamp_offset=offset,
                             rate_code=rate_code, sample_count=n, **kw)


def raises(fn, path):
    with pytest.raises(RuntimeError) as info:
        fn(path)
    return str(info.value)


# ---------------------------------------------------------------------------
# metadata block checks

GOOD = cwagen.metadata_block()


@BOTH
@pytest.mark.parametrize("data, message", [
    (GOOD, None),
    (GOOD[:1023], "IO error: failed to fill whole buffer"),
    (b"", "IO error: failed to fill whole buffer"),
    (b"MD", "IO error: failed to fill whole buffer"),
    (b"\x4d\x80" + GOOD[2:], "Invalid packet header format"),
    (b"\x80\x80" + GOOD[2:], "Invalid packet header format"),
    (b"\xc3" + GOOD[1:], "Invalid packet header format"),  # 0xC3 'D'
    (b"\xe2\x82" + GOOD[2:], "Invalid packet header format"),  # cut short
    (b"\xc0\x80" + GOOD[2:], "Invalid packet header format"),  # overlong NUL
    (b"\xff\xff" + GOOD[2:], "Invalid packet header format"),
    (b"AX" + GOOD[2:], "First block is not a metadata block"),
    (b"\xc3\xa9" + GOOD[2:], "First block is not a metadata block"),
    (b"md" + GOOD[2:], "First block is not a metadata block"),
    (b"DM" + GOOD[2:], "First block is not a metadata block"),
    (b"M\x00" + GOOD[2:], "First block is not a metadata block"),
    # the header is judged before any data block is looked at
    (b"AX" + GOOD[2:] + b"\0" * 100, "First block is not a metadata block"),
    # a good header, then a skipped block and a partial one
    (GOOD + b"\0" * 576, "IO error: failed to fill whole buffer"),
], ids=["ok", "1023", "empty", "2-bytes", "4D80", "8080", "C3-D", "E282",
        "C080", "FFFF", "AX", "C3A9", "md", "DM", "M-NUL", "AX-trailing",
        "partial-block"])
def test_metadata_block_checks(tmp_path, fn, data, message):
    path = write(tmp_path / "f.cwa", data)
    if message is None:
        result = fn(path)
        keys = METADATA_KEYS if fn is morvane.read_metadata else REPORT_KEYS
        assert list(result) == keys
    else:
        assert raises(fn, path) == message


@BOTH
@pytest.mark.parametrize("make, errno_text", [
    (lambda p: str(p / "missing.cwa"), "No such file or directory (os error 2)"),
    (lambda p: str(p / "nodir" / "x.cwa"), "No such file or directory (os error 2)"),
    (lambda p: str(p), "Is a directory (os error 21)"),
])
def test_unopenable_paths(tmp_path, fn, make, errno_text):
    assert raises(fn, make(tmp_path)) == "IO error: " + errno_text


# ---------------------------------------------------------------------------
# derived values

def metadata(tmp_path, **fields):
    return morvane.read_metadata(meta_file(tmp_path, **fields))


@pytest.mark.parametrize("byte, name", [
    (0x64, "AX6"), (0x00, "AX3"), (0x17, "AX3"), (0xFF, "AX3"),
    (0x63, "AX3"), (0x65, "AX3"), (0x46, "AX3"),
])
def test_hardware_type(tmp_path, byte, name):
    assert metadata(tmp_path, hardware_type=byte)["hardware_type"] == name


@pytest.mark.parametrize("upper, lower, device_id", [
    (0xFFFF, 0x1234, 4660),
    (0x0001, 0x0002, 65538),
    (0x0000, 0x0000, 0),
    (0x0000, 0xFFFF, 65535),
    (0xFFFF, 0xFFFF, 65535),
    (0xFFFE, 0xFFFF, 4294901759),
    (0x8000, 0x0001, 2147483649),
])
def test_device_id(tmp_path, upper, lower, device_id):
    d = metadata(tmp_path, upper_device_id=upper, device_id=lower)
    assert d["device_id"] == device_id
    assert d["upper_device_id"] == upper


# low nibble -> Hz, written out rather than computed
NIBBLE_HZ = [0.09765625, 0.1953125, 0.390625, 0.78125, 1.5625, 3.125, 6.25,
             12.5, 25.0, 50.0, 100.0, 200.0, 400.0, 800.0, 1600.0, 3200.0]


@pytest.mark.parametrize("code, hz, g", [
    (0x4A, 100.0, 8), (0x8A, 100.0, 4), (0xCF, 3200.0, 2),
    (0x00, 0.09765625, 16), (0x3A, 100.0, 16), (0x0A, 100.0, 16),
    (0xFF, 3200.0, 2), (0x70, 0.09765625, 8), (0xB6, 6.25, 4),
] + [(n, NIBBLE_HZ[n], 16) for n in range(16)]
  + [(0xC0 | n, NIBBLE_HZ[n], 2) for n in range(16)])
def test_rate_code(tmp_path, code, hz, g):
    d = metadata(tmp_path, rate_code=code)
    assert type(d["sample_rate_hz"]) is float
    assert d["sample_rate_hz"] == hz
    assert d["accel_range"] == g


@pytest.mark.parametrize("hardware, config, gyro, mag", [
    (0x64, 0x12, 2000, True),
    (0x64, 0x07, None, False),
    (0x64, 0xFF, None, False),
    (0x64, 0x00, None, False),
    (0x17, 0x12, None, False),
    (0x00, 0x16, None, False),
    (0xFF, 0x02, None, False),
    (0x64, 0x02, 2000, False),
    (0x64, 0x03, 1000, False),
    (0x64, 0x04, 500, False),
    (0x64, 0x05, 250, False),
    (0x64, 0x06, 125, False),
    (0x64, 0x01, None, False),
    (0x64, 0x0F, None, False),
    (0x64, 0x10, None, True),
    (0x64, 0xF6, 125, True),
    (0x64, 0x25, 250, True),
    (0x64, 0xFE, None, True),
])
def test_sensor_config(tmp_path, hardware, config, gyro, mag):
    d = metadata(tmp_path, hardware_type=hardware, sensor_config=config)
    assert d["sensor_config"] == config
    assert d["gyro_range"] == gyro
    assert d["magnetometer_enabled"] is mag


@pytest.mark.parametrize("text, pad, expected", [
    (b"abc", 0x20, "abc"),
    (b"a\x00b", 0x00, "a\x00b"),
    (b"", 0xFF, ""),
    (b"", 0x20, ""),
    (b"", 0x00, ""),
    (b" \x00\xff \x00", 0xFF, ""),
    (b" abc", 0x20, " abc"),
    (b"\x00\x00abc", 0x00, "\x00\x00abc"),
    (b"a\xffb", 0x20, "a\ufffdb"),
    (b"a \x00\xffb", 0x00, "a \x00\ufffdb"),
    (b"x=1&y=2%20z", 0x20, "x=1&y=2%20z"),
    ("caf\u00e9 \u20ac \U0001F600".encode(), 0x00, "caf\u00e9 \u20ac \U0001F600"),
    (b"z" * 448, 0x20, "z" * 448),
    (b"z" * 447 + b"\xff", 0x20, "z" * 447),
])
def test_annotation(tmp_path, text, pad, expected):
    assert metadata(tmp_path, annotation=text, pad=pad)["annotation"] == expected


ILL_FORMED = [
    b"\xe2\x82", b"\xf0\x9f\x98", b"\xed\xa0\x80", b"\xc0\xaf",
    b"\xf4\x90\x80\x80", b"\xe0\x80\x80", b"\x80", b"\xbf\x80\xbf",
    b"\xc2", b"\xc1\xbf", b"\xf5\x80\x80\x80", b"\xf8\x88\x80\x80\x80",
    b"\xe0\x9f\x80", b"\xf0\x8f\xbf\xbf", b"\xed\xbf\xbf", b"\xef\xbf",
    b"\xe2\x82\xe2\x82\xac", b"\xf0\x9f\x98\x41", b"\xe2\x41\x82",
    b"\xf4\x8f\xbf", b"\xc3\xc3\xa9",
]


@pytest.mark.parametrize("where", ["inside", "at-end"])
@pytest.mark.parametrize("seq", ILL_FORMED, ids=lambda s: s.hex())
def test_annotation_replacement(tmp_path, seq, where):
    # The kept bytes are decoded with maximal-subpart replacement, which is
    # what Python's own "replace" handler does.
    raw = b"x" + seq + (b"y" if where == "inside" else b"")
    assert raw.rstrip(b"\x00\x20\xff") == raw
    got = metadata(tmp_path, annotation=raw, pad=0x20)["annotation"]
    assert got == raw.decode("utf-8", "replace")
    assert "\ufffd" in got


def packed(*fields):
    return cwagen.pack_datetime(*fields)


@pytest.mark.parametrize("value, expected", [
    (0, None),
    (0xFFFFFFFF, None),
    (packed(2023, 13, 1), None),
    (packed(2023, 0, 1), None),
    (packed(2023, 2, 29), None),
    (packed(2023, 4, 31), None),
    (packed(2023, 5, 0), None),
    (packed(2023, 5, 1, 24), None),
    (packed(2023, 5, 1, 12, 60), None),
    (packed(2023, 5, 1, 12, 0, 60), None),
    (packed(2000, 2, 29), "2000-02-29T00:00:00"),
    (packed(2023, 5, 1, 12), "2023-05-01T12:00:00"),
    (packed(2024, 2, 29, 23, 59, 59), "2024-02-29T23:59:59"),
    (packed(2063, 12, 31, 23, 59, 59), "2063-12-31T23:59:59"),
    (packed(2000, 1, 1), "2000-01-01T00:00:00"),
])
def test_metadata_times(tmp_path, value, expected):
    # each field on its own, the other two set to something else
    for field, key in [("logging_start", "logging_start_time_raw"),
                       ("logging_end", "logging_end_time_raw"),
                       ("last_change", "last_change_time_raw")]:
        d = metadata(tmp_path, **{"logging_start": NOON, "logging_end": 0,
                                  "last_change": 0xFFFFFFFF, field: value})
        assert d[key] == expected, field


EXPECTED_TYPES = {
    "packet_header": (str,), "packet_length": (int,), "hardware_type": (str,),
    "device_id": (int,), "session_id": (int,), "upper_device_id": (int,),
    "logging_start_time_raw": (str, type(None)),
    "logging_end_time_raw": (str, type(None)),
    "last_change_time_raw": (str, type(None)),
    "start_from_data_raw": (str, type(None)),
    "end_from_data_raw": (str, type(None)),
    "flash_led": (int,), "sensor_config": (int,), "sample_rate_hz": (float,),
    "accel_range": (int,), "firmware_revision": (int,), "annotation": (str,),
    "gyro_range": (int, type(None)), "magnetometer_enabled": (bool,),
}
ALL_ONES = dict(packet_length=0xFFFF, hardware_type=0x64, device_id=0xFFFF,
                session_id=0xFFFFFFFF, upper_device_id=0xFFFE, flash_led=0xFF,
                sensor_config=0xF2, rate_code=0xFF, firmware_revision=0xFF)


@pytest.mark.parametrize("fields, with_data", [
    (ALL_ONES, True),
    (ALL_ONES, False),
    (dict(hardware_type=0x17, logging_start=0, logging_end=0xFFFFFFFF,
          last_change=0), False),
    (dict(rate_code=0x00, sensor_config=0x07), True),
], ids=["max-data", "max", "unset-ax3", "slow"])
def test_keys_order_and_types(tmp_path, fields, with_data):
    blocks = [blk(JUNE)] if with_data else []
    d = morvane.read_metadata(blocks_path(tmp_path, blocks, **fields))
    assert list(d) == METADATA_KEYS
    for key, value in d.items():
        # bool is an int subclass: compare exact types
        assert type(value) in EXPECTED_TYPES[key], key
        if type(value) is int:
            assert value >= 0, key
    assert (d["start_from_data_raw"] is None) == (not with_data)


def test_unsigned_values_stay_positive(tmp_path):
    d = metadata(tmp_path, **ALL_ONES)
    assert d["packet_length"] == 65535
    assert d["session_id"] == 4294967295
    assert d["device_id"] == 4294901759
    assert d["upper_device_id"] == 65534
    assert d["flash_led"] == 255
    assert d["sensor_config"] == 242
    assert d["firmware_revision"] == 255
    assert d["gyro_range"] == 2000


# ---------------------------------------------------------------------------
# data block scan

@BOTH
def test_metadata_only_file(tmp_path, fn):
    d = fn(meta_file(tmp_path, sensor_config=0x12))
    data_keys = {"start_from_data_raw", "end_from_data_raw",
                 "duration_s_from_data", "samplingrate_hz_from_data"}
    assert [k for k, v in d.items() if v is None] == [k for k in d if k in data_keys]


SKIPPED = {
    "erased": cwagen.erased_block(),
    "zeros": cwagen.zero_block(),
    "empty": blk(JUNE, n=0),
    # every check after the count would fail: the count decides first
    "empty-garbage": blk(0, n=0, rate_code=0, format=0xFF),
    "not-AX": blk(JUNE, header=b"XA"),
    "lowercase": blk(JUNE, header=b"ax"),
    "MD-block": blk(0xFFFFFFFF, header=b"MD", rate_code=0),
}


@BOTH
@pytest.mark.parametrize("names", [
    ["erased"], ["zeros"], ["empty"], ["empty-garbage"], ["not-AX"],
    list(SKIPPED), list(SKIPPED) * 3,
], ids=lambda n: "+".join(n))
def test_no_counted_block_gives_no_data_times(tmp_path, fn, names):
    d = fn(blocks_path(tmp_path, [SKIPPED[n] for n in names]))
    assert d["start_from_data_raw"] is None
    assert d["end_from_data_raw"] is None


@BOTH
@pytest.mark.parametrize("blocks, tail", [
    ([], 100), ([], 1), ([], 511), ([blk(JUNE)], 100),
    ([blk(JUNE), cwagen.erased_block()], 100),
    ([blk(JUNE)], 512 + 100),
])
def test_trailing_partial_block(tmp_path, fn, blocks, tail):
    path = blocks_path(tmp_path, blocks + [bytes(tail)])
    assert raises(fn, path) == "IO error: failed to fill whole buffer"


BAD_BLOCKS = [
    (blk(0), "Invalid block timestamp"),
    (blk(0xFFFFFFFF), "Invalid block timestamp"),
    (blk(packed(2023, 2, 29)), "Invalid block timestamp"),
    (blk(packed(2023, 6, 15, 12, 34, 60)), "Invalid block timestamp"),
    (blk(JUNE, n=121), "Sample count exceeds packet capacity"),
    (blk(JUNE, n=27, format=0x92), "Sample count exceeds packet capacity"),
    (blk(JUNE, n=1, rate_code=0, format=0xFF), "Old CWA format packets are not supported"),
    (blk(JUNE, format=0x60), "Unsupported sample format: 6 axes, packing 0"),
    (blk(JUNE, format=0x31), "Unsupported sample format: 3 axes, packing 1"),
    (blk(JUNE, format=0xF2), "Unsupported sample format: 15 axes, packing 2"),
]


@BOTH
@pytest.mark.parametrize("bad, message", BAD_BLOCKS,
                         ids=[f"{i}-{m[:12]}" for i, (_, m) in enumerate(BAD_BLOCKS)])
@pytest.mark.parametrize("where", ["after-valid", "between"])
def test_failing_data_block(tmp_path, fn, bad, message, where):
    blocks = {
        "after-valid": [blk(JUNE), cwagen.zero_block(), bad],
        "between": [blk(JUNE), bad, blk(JUNE + 2 * SECOND)],
    }[where]
    assert raises(fn, blocks_path(tmp_path, blocks)) == message


@pytest.mark.parametrize("fmt, n", [(0x30, 121), (0x32, 81), (0x62, 41), (0x92, 27)])
def test_full_blocks_pass_capacity(tmp_path, fmt, n):
    ok = morvane.read_metadata(blocks_path(tmp_path, [blk(JUNE, n=n - 1, format=fmt)]))
    assert ok["start_from_data_raw"] == "2023-06-15T12:34:56"
    bad = blocks_path(tmp_path, [blk(JUNE, n=n, format=fmt)], name="bad.cwa")
    assert raises(morvane.read_metadata, bad) == "Sample count exceeds packet capacity"


@BOTH
def test_single_block(tmp_path, fn):
    d = fn(blocks_path(tmp_path, [blk(JUNE, 0, 0x0A, 120)]))
    assert d["start_from_data_raw"] == "2023-06-15T12:34:56"
    assert d["end_from_data_raw"] == "2023-06-15T12:34:57.190"


# Block sets whose first or last sample lands at a chosen fraction after
# noon. A first block alone can only start on multiples of its sample
# period, modulo float32 rounding (an exhaustive search over all rate codes
# and offsets finds no start 0.000125 s, 1/1024 s or less than 1 us after a
# whole second), so those fractions are reached through the last sample of
# a block drawn back to the end of its predecessor.
FRACTIONS = [
    # 25 samples at 100 Hz before the timestamp's second began
    ("q-100hz", [blk(NOON, -25, 0x0A, 10)], "start_from_data_raw",
     "2023-05-01T12:00:00.250"),
    ("q-3200hz", [blk(NOON, -800, 0x4F, 10)], "start_from_data_raw",
     "2023-05-01T12:00:00.250"),
    # a positive offset: the block began 100 samples before 12:00:01
    ("half-200hz", [blk(NOON + SECOND, 100, 0x0B, 10)],
     "start_from_data_raw", "2023-05-01T12:00:00.500"),
    # 1/3200 s in float32, then rounded onto the 2**-22 s grid of 2023
    ("one-tick", [blk(NOON, -1, 0x0F, 10)], "start_from_data_raw",
     "2023-05-01T12:00:00.000312"),
    # ends 2/3200 s before noon; 5 samples squeezed into the next 3/3200 s
    # put the last one 0.4/3200 s after noon
    ("8000th", [blk(NOON - SECOND, -3078, 0x0F, 120), blk(NOON, 4, 0x0F, 5)],
     "end_from_data_raw", "2023-05-01T12:00:00.000125"),
    # ends 3/3200 s before noon; 8 samples over 7/3200 s: last at 3.125/3200
    ("1024th", [blk(NOON - SECOND, -3077, 0x0F, 120), blk(NOON, 4, 0x0F, 8)],
     "end_from_data_raw", "2023-05-01T12:00:00.000976"),
    # 2 samples at 0.78125 Hz end 2**-21 s after noon; a single sample drawn
    # back to that end carries it
    ("sub-us", [blk(NOON - 32 * SECOND, -23, 0x03, 2), blk(NOON, 0, 0x0A, 1)],
     "end_from_data_raw", "2023-05-01T12:00:00"),
]


@BOTH
@pytest.mark.parametrize("blocks, key, text",
                         [f[1:] for f in FRACTIONS], ids=[f[0] for f in FRACTIONS])
def test_fraction_texts(tmp_path, fn, blocks, key, text):
    first, last, _, _ = scan_model(blocks)
    # the construction must really land where the comment says
    assert iso(first if key == "start_from_data_raw" else last) == text
    assert fn(blocks_path(tmp_path, blocks))[key] == text


def test_sub_microsecond_end_really_is_past_noon():
    # guards the "sub-us" row: without a non-zero remainder below one
    # microsecond it would not test the truncation at all
    _, end = span_of(FRACTIONS[-1][1][0])
    past = end - np.float64((NOON - EPOCH) // SECOND)
    assert 0.0 < past < 1e-6


def test_six_digit_start_with_three_digit_end(tmp_path):
    d = morvane.read_metadata(blocks_path(tmp_path, [blk(NOON, -1, 0x0F, 10)]))
    # 1 + 9 periods of 1/3200 s after noon: 10/3200 = 3.125 ms
    assert d["end_from_data_raw"] == "2023-05-01T12:00:00.003125"


# first block: 100 samples at 100 Hz from 12:34:56, so it ends at 12:34:57.
# Second block: one sample; its end_from_data_raw is where it starts.
CONTINUITY = [
    ("0.4-after", JUNE + SECOND, -40, "2023-06-15T12:34:57"),
    ("0.99-after", JUNE + SECOND, -99, "2023-06-15T12:34:57"),
    ("1.0-after", JUNE + 2 * SECOND, 0, "2023-06-15T12:34:58"),
    ("1.25-after", JUNE + 2 * SECOND, -25, "2023-06-15T12:34:58.250"),
    ("5-after", JUNE + 5 * SECOND, 0, "2023-06-15T12:35:01"),
    ("0.2-before", JUNE, -80, "2023-06-15T12:34:57"),
    ("same-start", JUNE, 0, "2023-06-15T12:34:57"),
    ("hour-before", JUNE - 3600 * SECOND, 0, "2023-06-15T12:34:57"),
    ("days-later", JUNE + 86400 * 3 * SECOND, 0, "2023-06-18T12:34:56"),
]
BETWEEN = {
    "none": [],
    "empty": [blk(JUNE + 30 * SECOND, n=0)],
    "erased": [cwagen.erased_block()],
    "zeros": [cwagen.zero_block()],
    "not-AX": [blk(JUNE + 30 * SECOND, header=b"AY", n=120)],
    "mixed": [cwagen.zero_block(), blk(JUNE - 9999 * SECOND, n=0),
              cwagen.erased_block()],
}


@pytest.mark.parametrize("between", list(BETWEEN))
@pytest.mark.parametrize("t, offset, expected",
                         [c[1:] for c in CONTINUITY], ids=[c[0] for c in CONTINUITY])
def test_continuity(tmp_path, between, t, offset, expected):
    blocks = [blk(JUNE, 0, 0x0A, 100)] + BETWEEN[between] + [blk(t, offset, 0x0A, 1)]
    d = morvane.read_metadata(blocks_path(tmp_path, blocks))
    assert d["start_from_data_raw"] == "2023-06-15T12:34:56"
    assert d["end_from_data_raw"] == expected


@pytest.mark.parametrize("second", [
    blk(JUNE + SECOND, -40, 0x0A, 2),  # drawn back, 2 samples over 0.42 s
    blk(JUNE + SECOND, -40, 0x0A, 120),
    blk(JUNE + SECOND, -40, 0x4F, 37),
    blk(JUNE - 3600 * SECOND, 0, 0x0A, 120),  # drawn forward; times run back
    blk(JUNE + 3 * SECOND, 7, 0x0C, 33),  # keeps its own start
])
def test_continuity_spreads_over_the_own_end(tmp_path, second):
    blocks = [blk(JUNE, 0, 0x0A, 100), second]
    first, last, _, _ = scan_model(blocks)
    d = morvane.read_metadata(blocks_path(tmp_path, blocks))
    assert d["start_from_data_raw"] == iso(first)
    assert d["end_from_data_raw"] == iso(last)


def test_previous_end_is_the_unshifted_end(tmp_path):
    # Block 2 starts 0.5 s late and is drawn back to 12:34:57, yet it still
    # ends at its own 12:34:58.5; block 3 at 12:34:59.4 lies 0.9 s after that
    # and is drawn back to 12:34:58.5, not kept (it is 2.4 s after 12:34:57).
    blocks = [blk(JUNE, 0, 0x0A, 100), blk(JUNE + SECOND, -50, 0x0A, 100),
              blk(JUNE + 3 * SECOND, -40, 0x0A, 1)]
    d = morvane.read_metadata(blocks_path(tmp_path, blocks))
    assert d["end_from_data_raw"] == "2023-06-15T12:34:58.500"


# ---------------------------------------------------------------------------
# agreement with a full read

def index_micros(df):
    return df.index.values.astype("datetime64[us]").astype(np.int64)


def file_blocks(path):
    data = open(path, "rb").read()
    return [data[i:i + 512] for i in range(1024, len(data), 512)]


RECORDINGS = [
    dict(fmt=0x30, rate_code=0x4A, n_blocks=12),
    dict(fmt=0x32, rate_code=0x4A, n_blocks=12, jitter=0.0003),
    dict(fmt=0x62, rate_code=0x4C, n_blocks=12, gaps=[(4, 2.5), (8, -7.3)]),
    dict(fmt=0x92, rate_code=0x4F, n_blocks=12, jitter=-0.0011),
    dict(fmt=0x30, rate_code=0x47, n_blocks=8, jitter=0.013, gaps=[(3, 0.37)]),
    dict(fmt=0x32, rate_code=0x0E, n_blocks=10, erased=[0, 5], empty=[3, 9]),
    dict(fmt=0x62, rate_code=0x4B, n_blocks=10, jitter=0.00071,
         gaps=[(2, -3600.0), (6, 0.61)]),
    dict(fmt=0x92, rate_code=0x48, n_blocks=6, jitter=0.0125,
         start=dt.datetime(2004, 1, 10, 13, 37, 0)),
    dict(fmt=0x30, rate_code=0x4D, n_blocks=9, samples_per_block=[120, 1, 77, 2, 120, 5, 9, 119, 3]),
    dict(formats=[0x30, 0x32, 0x62, 0x92, 0x30, 0x92], rate_code=0x49,
         jitter=0.0009),
]


@pytest.mark.parametrize("kwargs", RECORDINGS, ids=lambda k: repr(sorted(k.items()))[:60])
def test_data_times_match_full_read(tmp_path, kwargs):
    path = str(tmp_path / "r.cwa")
    cwagen.write_recording(path, motion="zeros", **kwargs)
    md = morvane.read_metadata(path)
    report = morvane.sampling_consistency_report(path)
    times = index_micros(morvane.read_cwa_file(path))
    first, last, total, read_last = scan_model(file_blocks(path))
    assert total == len(times)
    assert first == times[0] and read_last == times[-1]
    assert md["start_from_data_raw"] == iso(int(times[0]))
    assert md["end_from_data_raw"] == iso(last)
    # the two evaluation orders may part by one microsecond, never more
    assert abs(parse_iso(md["end_from_data_raw"]) - int(times[-1])) <= 1
    for rk, mk in SHARED_KEYS.items():
        assert report[rk] == md[mk]
    assert report["duration_s_from_data"] == (last - first) / 1e6


def test_evaluation_order_differs_by_one_microsecond(tmp_path):
    # The second block lies over four years before the first one's end and
    # is drawn forward to it; over such a span, dividing by 13 before or
    # after multiplying by 12 straddles a rounding boundary of the sum. A
    # search over whole-second timestamps of this block found this one.
    blocks = [blk(NOON, 0, 0x0A, 120),
              blk(dt.datetime(2019, 1, 29, 1, 18, 13), 0, 0x0A, 13)]
    first, last, _, read_last = scan_model(blocks)
    assert last - read_last == 1
    path = blocks_path(tmp_path, blocks)
    md = morvane.read_metadata(path)
    times = index_micros(morvane.read_cwa_file(path))
    assert md["start_from_data_raw"] == iso(int(times[0])) == "2023-05-01T12:00:00"
    assert times[-1] == read_last
    assert md["end_from_data_raw"] == iso(last)
    assert parse_iso(md["end_from_data_raw"]) - int(times[-1]) == 1


# ---------------------------------------------------------------------------
# sampling consistency report

def report(path):
    return morvane.sampling_consistency_report(path)


@pytest.mark.parametrize("with_data", [False, True])
def test_report_keys_and_types(tmp_path, with_data):
    r = report(blocks_path(tmp_path, [blk(JUNE)] if with_data else []))
    assert list(r) == REPORT_KEYS
    assert type(r["samplingrate_hz_from_header"]) is float
    for key in ("duration_s_from_header", "duration_s_from_data", "samplingrate_hz_from_data"):
        assert r[key] is None or type(r[key]) is float
    assert (r["duration_s_from_data"] is None) == (not with_data)


def test_report_metadata_only(tmp_path):
    r = report(meta_file(tmp_path, logging_start=NOON, logging_end=NOON + 90 * SECOND,
                         rate_code=0x8B))
    assert r == {
        "start_from_header_raw": "2023-05-01T12:00:00",
        "end_from_header_raw": "2023-05-01T12:01:30",
        "duration_s_from_header": 90.0,
        "start_from_data_raw": None,
        "end_from_data_raw": None,
        "duration_s_from_data": None,
        "samplingrate_hz_from_header": 200.0,
        "samplingrate_hz_from_data": None,
    }


@pytest.mark.parametrize("start, end, start_text, end_text, duration", [
    (0, NOON, None, "2023-05-01T12:00:00", None),
    (0xFFFFFFFF, NOON, None, "2023-05-01T12:00:00", None),
    (packed(2023, 13, 1), NOON, None, "2023-05-01T12:00:00", None),
    (NOON, 0xFFFFFFFF, "2023-05-01T12:00:00", None, None),
    (0, 0, None, None, None),
    (dt.datetime(2023, 5, 1, 10), dt.datetime(2023, 5, 1, 9),
     "2023-05-01T10:00:00", "2023-05-01T09:00:00", -3600.0),
    (dt.datetime(2023, 5, 1, 10), dt.datetime(2023, 5, 2, 10),
     "2023-05-01T10:00:00", "2023-05-02T10:00:00", 86400.0),
    (NOON, NOON, "2023-05-01T12:00:00", "2023-05-01T12:00:00", 0.0),
    (dt.datetime(2000, 1, 1), dt.datetime(2063, 12, 31, 23, 59, 59),
     "2000-01-01T00:00:00", "2063-12-31T23:59:59",
     float((dt.datetime(2063, 12, 31, 23, 59, 59) - dt.datetime(2000, 1, 1)) // SECOND)),
    (dt.datetime(2024, 2, 28, 23), dt.datetime(2024, 3, 1, 1),
     "2024-02-28T23:00:00", "2024-03-01T01:00:00", 26.0 * 3600),
])
def test_report_header_window(tmp_path, start, end, start_text, end_text, duration):
    r = report(meta_file(tmp_path, logging_start=start, logging_end=end))
    assert r["start_from_header_raw"] == start_text
    assert r["end_from_header_raw"] == end_text
    assert r["duration_s_from_header"] == duration


@pytest.mark.parametrize("blocks, approx_duration, has_rate", [
    ([blk(JUNE, 0, 0x0A, 1)], 0.0, False),
    ([blk(JUNE, 0, 0x0A, 120)], 1.19, True),
    ([blk(JUNE, 0, 0x0A, 120), blk(JUNE + SECOND, -20, 0x0A, 120)], 2.39, True),
    # the second single sample is drawn onto the first one's end
    ([blk(JUNE, 0, 0x0A, 1), blk(JUNE, 0, 0x0A, 1)], 0.01, True),
    # the second block is drawn forward over an hour to the first one's end,
    # so its last sample lies before the first: the span is negative
    ([blk(JUNE, 0, 0x0A, 100), blk(JUNE - 3600 * SECOND, 0, 0x0A, 2)],
     1.0 + (-3600.0 + 0.02 - 1.0) / 2, False),
])
def test_report_data_span_and_rate(tmp_path, blocks, approx_duration, has_rate):
    first, last, total, _ = scan_model(blocks)
    duration = (last - first) / 1e6
    assert duration == pytest.approx(approx_duration, abs=2e-6)
    r = report(blocks_path(tmp_path, blocks))
    assert r["duration_s_from_data"] == duration
    expected_rate = (total - 1) / duration if has_rate else None
    assert r["samplingrate_hz_from_data"] == expected_rate


def test_report_single_block_example(tmp_path):
    r = report(blocks_path(tmp_path, [blk(JUNE, 0, 0x0A, 120)]))
    assert r["start_from_data_raw"] == "2023-06-15T12:34:56"
    assert r["end_from_data_raw"] == "2023-06-15T12:34:57.190"
    assert r["duration_s_from_data"] == 1.19
    assert r["samplingrate_hz_from_data"] == 119 / 1.19 == 100.0


@pytest.mark.parametrize("data_rate_code", [0x0A, 0x4F, 0x10, 0x07])
def test_report_header_rate_ignores_data(tmp_path, data_rate_code):
    blocks = [blk(JUNE + i * 40 * SECOND, 0, data_rate_code, 120) for i in range(3)]
    r = report(blocks_path(tmp_path, blocks, rate_code=0x4A))
    assert r["samplingrate_hz_from_header"] == 100.0
    first, last, total, _ = scan_model(blocks)
    assert r["samplingrate_hz_from_data"] == (total - 1) / ((last - first) / 1e6)


@pytest.mark.parametrize("blocks, meta", [
    ([], {}),
    ([blk(JUNE, 0, 0x0A, 120)], dict(logging_start=0)),
    ([blk(JUNE, 0, 0x0A, 100), cwagen.zero_block(), blk(JUNE + SECOND, -40, 0x0A, 7)],
     dict(logging_end=0xFFFFFFFF, rate_code=0xCF)),
    ([blk(NOON - SECOND, -3077, 0x0F, 120), blk(NOON, 4, 0x0F, 8)],
     dict(logging_start=NOON, logging_end=NOON - 3600 * SECOND, rate_code=0x00)),
])
def test_report_agrees_with_read_metadata(tmp_path, blocks, meta):
    path = blocks_path(tmp_path, blocks, **meta)
    md, r = morvane.read_metadata(path), report(path)
    for rk, mk in SHARED_KEYS.items():
        assert r[rk] == md[mk], rk
