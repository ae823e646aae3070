"""Single data blocks through read_cwa_file: which blocks are accepted, skipped
or rejected, the physical values of every sample layout, the auxiliary
readings and the device-clock times of the samples.

Expected numbers come from hand arithmetic or from float32 arithmetic written
out with numpy below, never from the reader itself.
"""

import calendar
import ctypes
import ctypes.util
import datetime as dt
import math

import numpy as np
import pytest

import cwagen
import morvane

NO_AUX = dict(include_temperature=False, include_light=False, include_battery=False)

T_DEFAULT = 1686832496  # 2023-06-15 12:34:56, the generator's default block timestamp


def write_blocks(tmp_path, blocks, name="rec.cwa"):
    return str(cwagen.blocks_file(tmp_path / name, blocks))


def read_blocks(tmp_path, blocks, **kwargs):
    return morvane.read_cwa_file(write_blocks(tmp_path, blocks), **kwargs)


def bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32)


def stamp(seconds_after_noon):
    """Packed timestamp of consecutive seconds from 2023-06-15 12:00:00."""
    return cwagen.pack_datetime_from(dt.datetime(2023, 6, 15, 12) + dt.timedelta(seconds=seconds_after_noon))


def packed_epoch(word):
    return calendar.timegm(cwagen.unpack_datetime(word))


# ---------------------------------------------------------------------------
# Reference timing: float32 where the device format is float32, float64 elsewhere
# ---------------------------------------------------------------------------

def rate_f32(rate_code):
    return np.float32(3200.0 / 2 ** (15 - (rate_code & 0x0F)))


def block_span(epoch, offset, rate_code, n):
    rate = rate_f32(rate_code)
    h = -np.float32(offset) / rate
    fl = np.floor(h)
    fr = h - fl
    assert h.dtype == fl.dtype == fr.dtype == np.float32
    start = (float(epoch) + float(fl)) + float(fr)
    return start, start + float(np.float32(n) / rate)


def spread(first, end, n):
    span = end - first
    return [math.trunc((i * span / n + first) * 1e6) for i in range(n)]


def chain_times(blocks, previous_end=None):
    """Times of consecutive valid blocks given as (epoch, offset, rate_code, n)."""
    out = []
    for epoch, offset, rate_code, n in blocks:
        start, end = block_span(epoch, offset, rate_code, n)
        first = previous_end if previous_end is not None and start - previous_end < 1.0 else start
        out.extend(spread(first, end, n))
        previous_end = end
    return np.array(out, dtype=np.int64)


# ---------------------------------------------------------------------------
# Block validation
# ---------------------------------------------------------------------------

def good(**kw):
    """A valid packed block with n samples whose x field identifies it."""
    n = kw.pop("n", 4)
    mark = kw.pop("mark", 1)
    if kw.get("format", 0x30) not in cwagen.FORMATS:
        return cwagen.data_block(sample_bytes=bytes([mark]) * 16, sample_count=n, **kw)
    return cwagen.data_block(samples=[mark] * n, **kw)


GARBAGE = dict(rate_code=0, format=0xFF, timestamp=0, timestamp_offset=-1,
               sample_bytes=b"\xa5" * 480)

VALIDATION_CASES = [
    # (blocks, expected row count or error text)
    pytest.param([cwagen.zero_block(), good(n=3)], 3, id="zero-block-first"),
    pytest.param([good(n=3), cwagen.zero_block(), good(n=5)], 8, id="zero-block-between"),
    pytest.param([good(n=3), cwagen.erased_block(), good(n=2)], 5, id="erased-block-between"),
    pytest.param([cwagen.data_block(header=b"XA", samples=[1]), good(n=2)], 2, id="wrong-header"),
    pytest.param([cwagen.data_block(sample_count=0, **GARBAGE), good(n=2)], 2,
                 id="empty-block-with-garbage"),
    pytest.param([cwagen.data_block(sample_count=1, **GARBAGE)],
                 "Old CWA format packets are not supported", id="old-format-bad-format-byte"),
    pytest.param([good(rate_code=0)], "Old CWA format packets are not supported",
                 id="old-format"),
    pytest.param([good(n=2), good(rate_code=0, timestamp=0)],
                 "Old CWA format packets are not supported", id="old-format-second-block"),
    pytest.param([good(rate_code=0x10)], 4, id="rate-code-0x10-is-not-old"),
    pytest.param([good(format=0x31)], "Unsupported sample format: 3 axes, packing 1", id="0x31"),
    pytest.param([good(format=0x60)], "Unsupported sample format: 6 axes, packing 0", id="0x60"),
    pytest.param([good(format=0x90)], "Unsupported sample format: 9 axes, packing 0", id="0x90"),
    pytest.param([good(format=0x22)], "Unsupported sample format: 2 axes, packing 2", id="0x22"),
    pytest.param([good(format=0xF2)], "Unsupported sample format: 15 axes, packing 2", id="0xF2"),
    pytest.param([good(format=0x3C)], "Unsupported sample format: 3 axes, packing 12", id="0x3C"),
    pytest.param([cwagen.data_block(format=0x31, sample_count=500, timestamp=0)],
                 "Unsupported sample format: 3 axes, packing 1", id="format-before-capacity"),
    pytest.param([cwagen.data_block(format=0x30, sample_count=120)], 120, id="0x30-120"),
    pytest.param([cwagen.data_block(format=0x30, sample_count=121)],
                 "Sample count exceeds packet capacity", id="0x30-121"),
    pytest.param([cwagen.data_block(format=0x32, sample_count=80)], 80, id="0x32-80"),
    pytest.param([cwagen.data_block(format=0x32, sample_count=81)],
                 "Sample count exceeds packet capacity", id="0x32-81"),
    pytest.param([cwagen.data_block(format=0x62, sample_count=40)], 40, id="0x62-40"),
    pytest.param([cwagen.data_block(format=0x62, sample_count=41)],
                 "Sample count exceeds packet capacity", id="0x62-41"),
    pytest.param([cwagen.data_block(format=0x92, sample_count=26)], 26, id="0x92-26"),
    pytest.param([cwagen.data_block(format=0x92, sample_count=27)],
                 "Sample count exceeds packet capacity", id="0x92-27"),
    pytest.param([cwagen.data_block(format=0x30, sample_count=0xFFFF, timestamp=0)],
                 "Sample count exceeds packet capacity", id="capacity-before-timestamp"),
    pytest.param([good(n=2), good(timestamp=0)], "Invalid block timestamp",
                 id="bad-timestamp-second-block"),
]


@pytest.mark.parametrize("blocks, expected", VALIDATION_CASES)
def test_block_validation(tmp_path, blocks, expected):
    path = write_blocks(tmp_path, blocks)
    if isinstance(expected, str):
        with pytest.raises(RuntimeError) as err:
            morvane.read_cwa_file(path, **NO_AUX)
        assert str(err.value) == expected
    else:
        assert len(morvane.read_cwa_file(path, **NO_AUX)) == expected


INVALID_TIMESTAMPS = [
    pytest.param(0, id="zero"),
    pytest.param(0xFFFFFFFF, id="all-ones"),
    pytest.param(cwagen.pack_datetime(2023, 0, 1), id="month-0"),
    pytest.param(cwagen.pack_datetime(2023, 13, 1), id="month-13"),
    pytest.param(cwagen.pack_datetime(2023, 15, 1), id="month-15"),
    pytest.param(cwagen.pack_datetime(2023, 5, 0), id="day-0"),
    pytest.param(cwagen.pack_datetime(2024, 2, 30), id="feb-30"),
    pytest.param(cwagen.pack_datetime(2023, 2, 29), id="feb-29-2023"),
    pytest.param(cwagen.pack_datetime(2023, 4, 31), id="apr-31"),
    pytest.param(cwagen.pack_datetime(2023, 6, 15, 24, 0, 0), id="hour-24"),
    pytest.param(cwagen.pack_datetime(2023, 6, 15, 12, 60, 0), id="minute-60"),
    pytest.param(cwagen.pack_datetime(2023, 6, 15, 12, 0, 60), id="second-60"),
]


@pytest.mark.parametrize("timestamp", INVALID_TIMESTAMPS)
def test_invalid_block_timestamp(tmp_path, timestamp):
    with pytest.raises(RuntimeError, match=r"^Invalid block timestamp$"):
        read_blocks(tmp_path, [good(timestamp=timestamp)], **NO_AUX)


@pytest.mark.parametrize("when", [
    dt.datetime(2024, 2, 29, 0, 0, 0),
    dt.datetime(2000, 2, 29, 23, 59, 59),   # 2000 is a leap year (divisible by 400)
    dt.datetime(2000, 1, 1, 0, 0, 0),
    dt.datetime(2063, 12, 31, 23, 59, 59),
    dt.datetime(2023, 6, 15, 12, 34, 56),
])
def test_valid_block_timestamp_gives_first_sample_time(tmp_path, when):
    df = read_blocks(tmp_path, [good(timestamp=cwagen.pack_datetime_from(when),
                                     timestamp_offset=0)], **NO_AUX)
    epoch = calendar.timegm(when.timetuple())
    assert df.index.asi8[0] == epoch * 1_000_000


def test_packed_timestamp_of_worked_example():
    assert packed_epoch(0x5D9EC8B8) == T_DEFAULT  # sanity of the reference, bytes B8 C8 9E 5D


def test_wrong_checksum_decodes_normally(tmp_path):
    samples = np.array([[100, -200, 300, 400, -500, 600]] * 7)
    fields = dict(format=0x62, samples=samples, light_raw=200, gyro_range_code=3,
                  accel_scale_code=4, temperature=280, battery=190)
    right = read_blocks(tmp_path, [cwagen.data_block(checksum=None, **fields)])
    wrong_block = cwagen.data_block(checksum=None, **fields)
    wrong_block = wrong_block[:510] + bytes([wrong_block[510] ^ 0x5A, wrong_block[511]])
    (tmp_path / "b").mkdir()
    wrong = read_blocks(tmp_path / "b", [wrong_block])
    assert len(wrong) == 7
    assert wrong.equals(right)


# ---------------------------------------------------------------------------
# Sample decoding: the worked numbers
# ---------------------------------------------------------------------------

DECODE_CASES = [
    # (format, light word parts, samples, {column: expected float32})
    pytest.param(0x30, {}, [0x000001FF], {"acc_x": 1.99609375, "acc_y": 0.0, "acc_z": 0.0},
                 id="packed-511"),
    pytest.param(0x30, {}, [0x00000200], {"acc_x": -2.0, "acc_y": 0.0, "acc_z": 0.0},
                 id="packed-minus-512"),
    pytest.param(0x30, {}, [0xC0000001], {"acc_x": 0.03125, "acc_y": 0.0, "acc_z": 0.0},
                 id="packed-exponent-3"),
    pytest.param(0x30, {}, [0x3FF00000], {"acc_x": 0.0, "acc_y": 0.0, "acc_z": -0.00390625},
                 id="packed-z-minus-1"),
    pytest.param(0x30, {}, [0xFFFFFFFF], {"acc_x": -0.03125, "acc_y": -0.03125, "acc_z": -0.03125},
                 id="packed-all-ones"),
    # y field 511 and exponent 3 with scale code 7: 4088 / 32768
    pytest.param(0x30, {"accel_scale_code": 7}, [0xC007FC00],
                 {"acc_x": 0.0, "acc_y": 0.124755859375, "acc_z": 0.0}, id="packed-scale-7"),
    pytest.param(0x32, {"accel_scale_code": 1}, [[256, -256, 0]],
                 {"acc_x": 0.5, "acc_y": -0.5, "acc_z": 0.0}, id="unpacked-scale-1"),
    pytest.param(0x32, {}, [[-32768, 32767, 1]],
                 {"acc_x": -128.0, "acc_y": 127.99609375, "acc_z": 0.00390625}, id="unpacked-extremes"),
    pytest.param(0x62, {"gyro_range_code": 0, "accel_scale_code": 4},
                 [[16384, 0, -16384, 4096, -2048, 1]],
                 {"gyro_x": 999.99994, "gyro_y": 0.0, "gyro_z": -999.99994,
                  "acc_x": 1.0, "acc_y": -0.5, "acc_z": 0.000244140625}, id="6axis-r0"),
    pytest.param(0x62, {"gyro_range_code": 2}, [[16384, 16384, 16384, 0, 0, 0]],
                 {"gyro_x": 999.99994, "gyro_y": 999.99994, "gyro_z": 999.99994}, id="6axis-r2"),
    pytest.param(0x62, {"gyro_range_code": 3}, [[16384, 0, 0, 0, 0, 0]],
                 {"gyro_x": 499.99997}, id="6axis-r3"),
    pytest.param(0x62, {"gyro_range_code": 7}, [[32767, 0, 0, 0, 0, 0]],
                 {"gyro_x": 61.998108}, id="6axis-r7"),
    pytest.param(0x92, {"gyro_range_code": 0, "accel_scale_code": 4},
                 [[16384, -16384, 0, 4096, 0, -4096, 16384, -32768, 1]],
                 {"gyro_x": 1000.0, "gyro_y": -1000.0, "gyro_z": 0.0,
                  "acc_x": 1.0, "acc_y": 0.0, "acc_z": -1.0,
                  "mag_x": 0.5, "mag_y": -1.0, "mag_z": 2.0 ** -15}, id="9axis-r0"),
    # 9-axis multiplies by R / 32768: 32767 * 62 / 32768 is exact in float32
    pytest.param(0x92, {"gyro_range_code": 7}, [[32767, 0, 0, 0, 0, 0, 0, 0, 0]],
                 {"gyro_x": 2031554 / 32768}, id="9axis-r7"),
]


@pytest.mark.parametrize("fmt, light, samples, expected", DECODE_CASES)
def test_decoded_values(tmp_path, fmt, light, samples, expected):
    df = read_blocks(tmp_path, [cwagen.data_block(format=fmt, samples=samples, **light)], **NO_AUX)
    assert len(df) == 1
    for column, value in expected.items():
        assert df[column].dtype == np.float32
        assert bits(df[column].to_numpy()[0]) == bits(value), column


@pytest.mark.parametrize("fmt, include_magnetometer, expected", [
    (0x92, False, ["acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z"]),
    (0x92, True, ["acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z",
                  "mag_x", "mag_y", "mag_z"]),
    (0x62, True, ["acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z"]),
    (0x62, False, ["acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z"]),
    (0x32, True, ["acc_x", "acc_y", "acc_z"]),
    (0x30, True, ["acc_x", "acc_y", "acc_z"]),
])
def test_channels_by_format(tmp_path, fmt, include_magnetometer, expected):
    axes = cwagen.FORMATS[fmt][0]
    samples = [0x1FF, 0x3FF] if fmt == 0x30 else np.arange(2 * axes).reshape(2, axes) * 100 + 7
    df = read_blocks(tmp_path, [cwagen.data_block(format=fmt, samples=samples)],
                     include_magnetometer=include_magnetometer, **NO_AUX)
    assert list(df.columns) == expected
    # The gyroscope values are real readings, never NaN.
    assert not df.isna().to_numpy().any()


# ---------------------------------------------------------------------------
# Sample decoding: every layout against an independent float32 computation
# ---------------------------------------------------------------------------

def gyro_range(r):
    return 2000 if r == 0 else 8000 >> r


def expected_packed(words, accel_codes):
    w = words.astype(np.int64)
    e = w >> 30
    div = (2.0 ** (8 + accel_codes)).astype(np.float32)
    out = []
    for shift in (0, 10, 20):
        f = (w >> shift) & 0x3FF
        signed = np.where(f >= 512, f - 1024, f) << e
        out.append(signed.astype(np.float32) / div)
    return out


def random_blocks(rng, fmt, n_blocks):
    """Blocks of full-capacity random samples with random scale codes; for the
    16-bit layouts every int16 value appears in the first column."""
    axes, _, cap = cwagen.FORMATS[fmt]
    total = n_blocks * cap
    if fmt == 0x30:
        raw = rng.integers(0, 2 ** 32, size=total, dtype=np.uint64)
        raw[:8] = [0, 0xFFFFFFFF, 0x200, 0x1FF, 0xC0000200, 0xFFF003FF, 0x80100401, 0x3FFFFFFF]
    else:
        raw = rng.integers(-32768, 32768, size=(total, axes), dtype=np.int64)
        if total >= 65536:
            raw[:65536, 0] = rng.permutation(np.arange(-32768, 32768))
    accel = rng.integers(0, 8, size=n_blocks)
    gyro = rng.integers(0, 8, size=n_blocks)
    gyro[:8] = np.arange(8)  # every gyroscope range at least once
    blocks = [cwagen.data_block(format=fmt, samples=raw[b * cap:(b + 1) * cap],
                                accel_scale_code=int(accel[b]), gyro_range_code=int(gyro[b]),
                                timestamp=stamp(b))
              for b in range(n_blocks)]
    return blocks, raw, np.repeat(accel, cap), np.repeat(gyro, cap)


@pytest.mark.parametrize("fmt, n_blocks", [(0x30, 200), (0x32, 820), (0x62, 1639), (0x92, 2521)])
def test_random_samples_match_float32_arithmetic(tmp_path, fmt, n_blocks):
    rng = np.random.default_rng(fmt)
    blocks, raw, accel, gyro = random_blocks(rng, fmt, n_blocks)
    df = read_blocks(tmp_path, blocks, **NO_AUX)
    assert len(df) == len(raw)

    expected = {}
    if fmt == 0x30:
        expected["acc_x"], expected["acc_y"], expected["acc_z"] = expected_packed(raw, accel)
    else:
        f = raw.astype(np.float32)
        acc_cols = slice(0, 3) if fmt == 0x32 else slice(3, 6)
        if fmt == 0x92:
            acc_factor = (2.0 ** -(8 + accel)).astype(np.float32)
            acc = f[:, acc_cols] * acc_factor[:, None]
        else:
            acc = f[:, acc_cols] / (2.0 ** (8 + accel)).astype(np.float32)[:, None]
        for a, name in enumerate(("acc_x", "acc_y", "acc_z")):
            expected[name] = acc[:, a]
        if fmt == 0x62:
            # divide by 32768 / R, with the fixed 16.384 for code 0
            g = np.array([np.float32(16.384) if r == 0
                          else np.float32(32768.0) / np.float32(gyro_range(r)) for r in range(8)])
            gy = f[:, 0:3] / g[gyro][:, None]
        elif fmt == 0x92:
            # multiply by R / 32768, with the fixed 0.06103515625 for code 0
            k = np.array([np.float32(0.06103515625) if r == 0
                          else np.float32(gyro_range(r)) * np.float32(2.0 ** -15) for r in range(8)])
            gy = f[:, 0:3] * k[gyro][:, None]
            mag = f[:, 6:9] * np.float32(2.0 ** -15)
            for a, name in enumerate(("mag_x", "mag_y", "mag_z")):
                expected[name] = mag[:, a]
        if fmt in (0x62, 0x92):
            for a, name in enumerate(("gyro_x", "gyro_y", "gyro_z")):
                expected[name] = gy[:, a]

    assert sorted(df.columns) == sorted(expected)
    for name, values in expected.items():
        assert values.dtype == np.float32
        got = df[name].to_numpy()
        mismatch = np.flatnonzero(bits(got) != bits(values))
        assert mismatch.size == 0, (name, mismatch[:5], got[mismatch[:5]], values[mismatch[:5]])


def test_six_and_nine_axis_gyroscope_keep_their_own_rounding(tmp_path):
    # Division by 32768/R and multiplication by R/32768 round differently for
    # some raw values; each layout must keep its own form.
    raw = np.arange(-32768, 32768, dtype=np.int64)
    div = raw.astype(np.float32) / (np.float32(32768.0) / np.float32(1000))
    mul = raw.astype(np.float32) * (np.float32(1000) * np.float32(2.0 ** -15))
    differ = raw[bits(div) != bits(mul)][:26]
    assert differ.size == 26  # the two forms really do disagree somewhere
    six = np.zeros((26, 6), dtype=np.int64)
    six[:, 0] = differ
    nine = np.zeros((26, 9), dtype=np.int64)
    nine[:, 0] = differ
    df6 = read_blocks(tmp_path, [cwagen.data_block(format=0x62, samples=six, gyro_range_code=3)],
                      **NO_AUX)
    (tmp_path / "nine").mkdir()
    df9 = read_blocks(tmp_path / "nine", [cwagen.data_block(format=0x92, samples=nine,
                                                           gyro_range_code=3)], **NO_AUX)
    i = np.searchsorted(raw, differ)
    assert np.array_equal(bits(df6["gyro_x"].to_numpy()), bits(div[i]))
    assert np.array_equal(bits(df9["gyro_x"].to_numpy()), bits(mul[i]))


# ---------------------------------------------------------------------------
# Auxiliary readings
# ---------------------------------------------------------------------------

def c_powf():
    name = ctypes.util.find_library("m")
    if name is None:
        pytest.skip("no C math library to compare powf with")
    libm = ctypes.CDLL(name)
    libm.powf.restype = ctypes.c_float
    libm.powf.argtypes = [ctypes.c_float, ctypes.c_float]
    return libm.powf


AUX_CASES = [
    pytest.param(dict(temperature=256), "temperature", 25.0, id="temp-256"),
    pytest.param(dict(temperature=300), "temperature", 37.890625, id="temp-300"),
    pytest.param(dict(temperature=0xFC00), "temperature", -50.0, id="temp-high-bits-only"),
    pytest.param(dict(temperature=0xFD00), "temperature", 25.0, id="temp-256-with-high-bits"),
    pytest.param(dict(temperature=1023), "temperature", 249.70703125, id="temp-1023"),
    pytest.param(dict(light_raw=341), "light", 10.0, id="light-341"),
    pytest.param(dict(light=1023), "light", 1000.0, id="light-1023"),
    pytest.param(dict(light=0xE000), "light", 1.0, id="light-scale-bits-only"),
    pytest.param(dict(light_raw=341, gyro_range_code=5, accel_scale_code=6), "light", 10.0,
                 id="light-341-with-scale-bits"),
    pytest.param(dict(battery=180), "battery", 4.0546875, id="battery-180"),
    pytest.param(dict(battery=0), "battery", 3.0, id="battery-0"),
    pytest.param(dict(battery=255), "battery", 4.494140625, id="battery-255"),
]


@pytest.mark.parametrize("fields, column, expected", AUX_CASES)
def test_aux_worked_values(tmp_path, fields, column, expected):
    df = read_blocks(tmp_path, [cwagen.data_block(samples=[1, 2, 3], **fields)])
    assert df[column].dtype == np.float32
    assert np.array_equal(bits(df[column].to_numpy()), bits([expected] * 3))


def test_aux_every_raw_value(tmp_path):
    rng = np.random.default_rng(7)
    raw = np.arange(1024)
    high = rng.integers(0, 64, size=1024)   # bits 10-15 of the temperature word are ignored
    gyro = rng.integers(0, 8, size=1024)
    accel = rng.integers(0, 8, size=1024)
    blocks = [cwagen.data_block(samples=[5, 6], temperature=int(raw[i] | high[i] << 10),
                                light_raw=int(raw[i]), gyro_range_code=int(gyro[i]),
                                accel_scale_code=int(accel[i]), battery=int(raw[i] & 0xFF),
                                timestamp=stamp(i))
              for i in range(1024)]
    df = read_blocks(tmp_path, blocks)
    assert len(df) == 2048
    f = raw.astype(np.float32)
    temperature = f * np.float32(75.0) * np.float32(0.00390625) + np.float32(-50.0)
    battery = (f % 256 + np.float32(512.0)) * np.float32(6.0) * np.float32(0.0009765625)
    powf = c_powf()
    light = np.array([powf(10.0, float(x)) for x in f / np.float32(341.0)], dtype=np.float32)
    for name, values in (("temperature", temperature), ("light", light), ("battery", battery)):
        assert values.dtype == np.float32
        # one value per block, repeated for each of its samples
        assert np.array_equal(bits(df[name].to_numpy()), bits(np.repeat(values, 2))), name


# ---------------------------------------------------------------------------
# Sample timing
# ---------------------------------------------------------------------------

def timed_block(epoch, offset=0, rate_code=0x0A, n=120, mark=1):
    when = dt.datetime(1970, 1, 1) + dt.timedelta(seconds=epoch)
    return cwagen.data_block(samples=[mark] * n, timestamp=cwagen.pack_datetime_from(when),
                             timestamp_offset=offset, rate_code=rate_code)


def read_times(tmp_path, blocks):
    return read_blocks(tmp_path, blocks, **NO_AUX).index.asi8


def test_worked_timing_example(tmp_path):
    start, end = block_span(T_DEFAULT, 0, 0x0A, 120)
    assert (start, end - start) == (1686832496.0, 1.2000000476837158)
    times = read_times(tmp_path, [timed_block(T_DEFAULT)])
    assert len(times) == 120
    assert times[:3].tolist() == [1686832496000000, 1686832496010000, 1686832496020000]
    assert times[-1] == 1686832497190000
    assert np.array_equal(times, chain_times([(T_DEFAULT, 0, 0x0A, 120)]))


@pytest.mark.parametrize("offset, first", [(50, 1686832495500000), (-7, 1686832496070000),
                                           (0, 1686832496000000), (100, 1686832495000000)])
def test_timestamp_offset_moves_block_start(tmp_path, offset, first):
    times = read_times(tmp_path, [timed_block(T_DEFAULT, offset)])
    assert times[0] == first
    assert np.array_equal(times, chain_times([(T_DEFAULT, offset, 0x0A, 120)]))


@pytest.mark.parametrize("rate_code", [0x0A, 0x4A, 0xFA, 0x1A])
def test_high_nibble_of_rate_code_is_ignored(tmp_path, rate_code):
    times = read_times(tmp_path, [timed_block(T_DEFAULT, 13, rate_code)])
    assert np.array_equal(times, chain_times([(T_DEFAULT, 13, 0x0A, 120)]))


@pytest.mark.parametrize("rate_code", [0x10, 1, 2, 3, 5, 7, 8, 9, 11, 12, 13, 14, 15, 0x3F])
@pytest.mark.parametrize("offset, n", [(0, 120), (1, 7), (-1, 33), (37, 120), (-32768, 1),
                                       (32767, 64), (-333, 99)])
def test_times_for_every_rate(tmp_path, rate_code, offset, n):
    times = read_times(tmp_path, [timed_block(T_DEFAULT, offset, rate_code, n)])
    assert np.array_equal(times, chain_times([(T_DEFAULT, offset, rate_code, n)]))


T0 = 1686830400  # 2023-06-15 12:00:00

# Each case: the second block's (epoch, offset, rate_code, n) after a first
# block of 100 samples at 100 Hz starting at T0 (which ends exactly at T0 + 1),
# or after the 1.2 s worked-example block, and whether it is pulled to that end.
CONTINUITY_CASES = [
    pytest.param((T0, 0, 0x0A, 120), (T0 + 1, 0, 0x0A, 120), True, id="0.2s-before"),
    pytest.param((T0, 0, 0x0A, 100), (T0 + 2, 1, 0x0A, 100), True, id="0.99s-after"),
    pytest.param((T0, 0, 0x0A, 100), (T0 + 2, 0, 0x0A, 100), False, id="exactly-1s-after"),
    pytest.param((T0, 0, 0x0A, 100), (T0 + 1, 0, 0x0A, 100), True, id="seamless"),
    pytest.param((T0, 0, 0x0A, 100), (T0 + 5, 0, 0x0A, 100), False, id="gap"),
    pytest.param((T0, 0, 0x0A, 100), (T0 - 3600 + 1, 0, 0x0A, 100), True, id="clock-set-back"),
    pytest.param((T0, 0, 0x0A, 100), (T0 + 1, 0, 0x0B, 100), True, id="rate-change"),
]


@pytest.mark.parametrize("a, b, pulled", CONTINUITY_CASES)
def test_continuity_correction(tmp_path, a, b, pulled):
    a_end = block_span(*a)[1]
    b_start, b_end = block_span(*b)
    assert (b_start - a_end < 1.0) == pulled  # the table means what it says
    times = read_times(tmp_path, [timed_block(*a), timed_block(*b, mark=2)])
    first = a_end if pulled else b_start
    assert times[a[3]] == math.trunc(first * 1e6)
    # the block is stretched or squeezed so that it still finishes at its own end
    assert times[-1] == math.trunc(((b[3] - 1) * (b_end - first) / b[3] + first) * 1e6)
    assert np.array_equal(times, chain_times([a, b]))


Y2000 = 946684800
Y2063 = 2948486400  # 2063-06-08


@pytest.mark.parametrize("a_epoch, b_epoch", [
    (T0, T0 - 3600),
    (T0, T0 - 2),
    # decades back: the spread of the samples then depends on the exact order
    # of the arithmetic down to the last bit
    (Y2063, Y2000),
    (Y2063, Y2000 + 12345),
])
def test_clock_set_back_gives_decreasing_times_within_block(tmp_path, a_epoch, b_epoch):
    a = (a_epoch, 0, 0x0A, 100)
    b = (b_epoch, 3, 0x0A, 120)
    times = read_times(tmp_path, [timed_block(*a), timed_block(*b)])
    b_times = times[100:]
    assert b_times[0] == (a_epoch + 1) * 1_000_000  # pulled to the end of the first block
    assert np.all(np.diff(b_times) < 0)
    # heading from the previous end towards its own end
    assert b_times[-1] < (a_epoch + b_epoch) // 2 * 1_000_000 + 1_000_000
    assert np.array_equal(times, chain_times([a, b]))


def test_previous_end_is_the_blocks_own_end(tmp_path):
    # The second block starts 0.2 s early and is pulled forward; the third
    # block must join the second block's own end, not a shifted one.
    a = (T0, 0, 0x0A, 120)            # ends T0 + 1.2
    b = (T0 + 1, 0, 0x0A, 120)        # own span T0 + 1.0 .. T0 + 2.2
    c = (T0 + 3, 50, 0x0A, 120)       # own start T0 + 2.5, 0.3 s after b's own end
    times = read_times(tmp_path, [timed_block(*a), timed_block(*b), timed_block(*c)])
    b_end = block_span(*b)[1]
    assert times[240] == math.trunc(b_end * 1e6)
    assert np.array_equal(times, chain_times([a, b, c]))


def test_continuity_bridges_skipped_blocks(tmp_path):
    a = (T0, 0, 0x0A, 100)
    b = (T0 + 2, 5, 0x0A, 100)   # own start T0 + 1.95
    blocks = [timed_block(*a), cwagen.erased_block(), cwagen.zero_block(),
              cwagen.data_block(sample_count=0, timestamp=0), timed_block(*b)]
    times = read_times(tmp_path, blocks)
    assert times[100] == (T0 + 1) * 1_000_000
    assert np.array_equal(times, chain_times([a, b]))
