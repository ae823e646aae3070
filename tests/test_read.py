"""Whole-file reads through read_cwa_file without resampling: file checks,
block cuts, seconds cuts and their time window, the column set, and the
hand-over of the columns to pandas.

Expected times are computed here from the block headers with the device's
float32/float64 arithmetic, not taken from the reader.
"""

import calendar
import datetime as dt
import gc
import math
import os
import sys

import numpy as np
import pytest

import cwagen
import morvane

NO_AUX = dict(include_temperature=False, include_light=False, include_battery=False)
AUX = ["temperature", "light", "battery"]
ACC = ["acc_x", "acc_y", "acc_z"]
GYRO = ["gyro_x", "gyro_y", "gyro_z"]
MAG = ["mag_x", "mag_y", "mag_z"]

NOON = dt.datetime(2023, 6, 15, 12, 0, 0)
T0 = calendar.timegm(NOON.timetuple())


def stamp(seconds):
    return cwagen.pack_datetime_from(NOON + dt.timedelta(seconds=seconds))


def write_blocks(tmp_path, blocks, name="rec.cwa"):
    return str(cwagen.blocks_file(tmp_path / name, blocks))


def write_bytes(tmp_path, data, name="rec.cwa"):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


# ---------------------------------------------------------------------------
# Reference timing (float32 where the format is float32, float64 elsewhere)
# ---------------------------------------------------------------------------

def block_span(epoch, offset, rate_code, n):
    rate = np.float32(3200.0 / 2 ** (15 - (rate_code & 0x0F)))
    h = -np.float32(offset) / rate
    fl = np.floor(h)
    fr = h - fl
    start = (float(epoch) + float(fl)) + float(fr)
    return start, start + float(np.float32(n) / rate)


def header_fields(block):
    """(epoch, offset, rate_code, n) of a valid data block, or None when skipped."""
    if block[:2] != b"AX":
        return None
    n = int.from_bytes(block[28:30], "little")
    if n == 0:
        return None
    word = int.from_bytes(block[14:18], "little")
    epoch = calendar.timegm(cwagen.unpack_datetime(word))
    offset = int.from_bytes(block[26:28], "little", signed=True)
    return epoch, offset, block[24], n


def reference(blocks):
    """Per-sample times (µs) and block numbers of a full read, plus each valid
    block's (block number, corrected start, end) entry."""
    times, owner, entries = [], [], []
    previous_end = None
    for k, block in enumerate(blocks):
        fields = header_fields(block)
        if fields is None:
            continue
        n = fields[3]
        start, end = block_span(*fields)
        first = previous_end if previous_end is not None and start - previous_end < 1.0 else start
        span = end - first
        times += [math.trunc((i * span / n + first) * 1e6) for i in range(n)]
        owner += [k] * n
        entries.append((k, first, end))
        previous_end = end
    return np.array(times, dtype=np.int64), np.array(owner), entries


def block(epoch_offset, n=100, offset=0, rate_code=0x0A, fmt=0x30, mark=None, **kw):
    """A data block whose timestamp is T0 + epoch_offset; 100 samples at 100 Hz
    last exactly one second. Packed samples carry the block's mark in x."""
    if fmt == 0x30:
        samples = [(mark if mark is not None else 1) & 0x1FF] * n
    else:
        axes = cwagen.FORMATS[fmt][0]
        samples = np.full((n, axes), mark if mark is not None else 1)
    return cwagen.data_block(samples=samples, format=fmt, timestamp=stamp(epoch_offset),
                             timestamp_offset=offset, rate_code=rate_code, **kw)


def seamless(count):
    """`count` one-second blocks from T0; block k has acc_x = k / 256."""
    return [block(k, mark=k) for k in range(count)]


def runtime_error(path, **kwargs):
    with pytest.raises(RuntimeError) as err:
        morvane.read_cwa_file(path, **kwargs)
    return str(err.value)


# ---------------------------------------------------------------------------
# File checks
# ---------------------------------------------------------------------------

META = cwagen.metadata_block()
ZERO = cwagen.zero_block()

CUTS = {
    "none": None,
    "blocks-all": morvane.blocks(),
    "blocks-0-1": morvane.blocks(0, 1),
    "blocks-end-5": morvane.blocks(end=5),
    "seconds-all": morvane.seconds(),
    "seconds-1": morvane.seconds(1.0),
}

FILE_CASES = [
    # (file bytes, cut names, message)
    (META, list(CUTS), "Start block is beyond file size"),
    (META + ZERO, ["none", "blocks-all", "blocks-0-1", "blocks-end-5"],
     "No valid sample data found in the specified range"),
    (META + ZERO, ["seconds-all", "seconds-1"], "No valid sample data found"),
    (META + ZERO[:476], list(CUTS), "Incomplete CWA data block"),
    (META[:1000], list(CUTS), "File too small to be a valid CWA file"),
    (META[:2], list(CUTS), "File too small to be a valid CWA file"),
    (cwagen.metadata_block(header=b"AX") + block(0), list(CUTS), "Not a valid CWA file"),
    (b"AX" + bytes(998), list(CUTS), "Not a valid CWA file"),           # magic before size
    (b"md" + META[2:] + block(0), list(CUTS), "Not a valid CWA file"),
    (block(0) + block(1) + block(2), list(CUTS), "Not a valid CWA file"),
    (META + ZERO + cwagen.erased_block() + ZERO,
     ["none", "blocks-all", "blocks-end-5"], "No valid sample data found in the specified range"),
]


@pytest.mark.parametrize("data, cut_names, message", FILE_CASES)
def test_file_checks(tmp_path, data, cut_names, message):
    path = write_bytes(tmp_path, data)
    for name in cut_names:
        assert runtime_error(path, cut=CUTS[name]) == message, name


@pytest.mark.parametrize("size", [0, 1])
def test_file_shorter_than_its_magic_is_an_io_error(tmp_path, size):
    path = write_bytes(tmp_path, b"M"[:size])
    for name, cut in CUTS.items():
        assert runtime_error(path, cut=cut) == "IO error: failed to fill whole buffer", name


@pytest.mark.parametrize("kind", ["missing", "directory", "missing-parent"])
def test_unopenable_input_is_an_io_error(tmp_path, kind):
    path = {"missing": tmp_path / "nope.cwa", "directory": tmp_path,
            "missing-parent": tmp_path / "nope" / "x.cwa"}[kind]
    for name, cut in CUTS.items():
        text = runtime_error(str(path), cut=cut)
        assert text.startswith("IO error: "), (name, text)
        assert text.rstrip(")").rsplit(" (os error ", 1)[1].isdigit(), (name, text)


def test_reading_leaves_the_file_unchanged(tmp_path):
    blocks = seamless(3)
    path = write_blocks(tmp_path, blocks)
    before = open(path, "rb").read()
    stat = os.stat(path)
    morvane.read_cwa_file(path, cut=morvane.seconds(0.5, 2.0))
    assert open(path, "rb").read() == before
    assert os.stat(path).st_mtime_ns == stat.st_mtime_ns


# ---------------------------------------------------------------------------
# Blocks cuts
# ---------------------------------------------------------------------------

BLOCK_CUT_CASES = [
    # (start, end, blocks expected in the result, or an error text)
    (5, 8, [5], None),
    (6, None, None, "Start block is beyond file size"),
    (7, 9, None, "Start block is beyond file size"),
    (2 ** 64 - 1, None, None, "Start block is beyond file size"),
    (None, 0, None, "No valid sample data found in the specified range"),
    (None, 2, [0, 1], None),
    (1, 3, [1, 2], None),
    (0, 1, [0], None),
    (3, None, [3, 4, 5], None),
    (3, 2 ** 64 - 1, [3, 4, 5], None),
    (None, None, [0, 1, 2, 3, 4, 5], None),
]


@pytest.mark.parametrize("start, end, expected_blocks, message", BLOCK_CUT_CASES)
def test_blocks_cut_selection(tmp_path, start, end, expected_blocks, message):
    blocks = seamless(6)
    path = write_blocks(tmp_path, blocks)
    cut = morvane.blocks(start, end)
    if message:
        assert runtime_error(path, cut=cut) == message
        return
    times, owner, _ = reference(blocks)
    keep = np.isin(owner, expected_blocks)
    df = morvane.read_cwa_file(path, cut=cut, **NO_AUX)
    assert np.array_equal(df.index.asi8, times[keep])
    assert np.array_equal(df["acc_x"].to_numpy(), (owner[keep] / 256).astype(np.float32))


def late(k, by=0.05):
    """Block k of a one-second-block recording whose own start is `by` seconds
    late (100 Hz, so the offset counts hundredths)."""
    return block(k + 1, offset=round(100 * (1 - by)), mark=k)


E = cwagen.erased_block()
Z = cwagen.zero_block()
EMPTY = cwagen.data_block(sample_count=0, timestamp=0, rate_code=0)

# (blocks, first block of the cut, block whose end the first read block joins)
JOIN_CASES = [
    pytest.param([block(0), block(1), block(2), late(3), block(4)], 3, 2, id="start-3"),
    pytest.param([block(0), block(1), block(2), E, Z, late(3)], 5, 2, id="over-erased-and-zero"),
    pytest.param([block(0), block(1), block(2), E, EMPTY, late(3)], 3, 2, id="cut-starts-on-erased"),
    pytest.param([block(0), E, late(1)], 2, 0, id="walk-to-block-0"),
    pytest.param([E, Z, late(0, by=0.5)], 2, None, id="no-valid-block-before"),
    pytest.param([block(0), late(1, by=0.0)], 1, 0, id="already-seamless"),
]


@pytest.mark.parametrize("blocks, first, joins", JOIN_CASES)
def test_blocks_cut_joins_first_block_to_its_predecessor(tmp_path, blocks, first, joins):
    path = write_blocks(tmp_path, blocks)
    df = morvane.read_cwa_file(path, cut=morvane.blocks(first), **NO_AUX)
    times, owner, entries = reference(blocks)
    # The cut changes which rows come back, never their times.
    assert np.array_equal(df.index.asi8, times[owner >= first])
    first_valid = next(k for k, _, _ in entries if k >= first)
    own_start = block_span(*header_fields(blocks[first_valid]))[0]
    if joins is None:
        assert df.index.asi8[0] == math.trunc(own_start * 1e6)
    else:
        joined_end = next(e for k, _, e in entries if k == joins)
        assert df.index.asi8[0] == math.trunc(joined_end * 1e6)
        assert df.index.asi8[0] != math.trunc(own_start * 1e6) or own_start == joined_end


BAD_TIME = cwagen.data_block(samples=[1], timestamp=0)
OLD_FORMAT = cwagen.data_block(samples=[1], rate_code=0)
BAD_FORMAT = cwagen.data_block(sample_bytes=bytes(8), sample_count=2, format=0x60)


@pytest.mark.parametrize("blocks, start, expected", [
    # The backward walk validates the blocks it reads and stops at the first valid one.
    pytest.param([block(0), BAD_TIME, block(2)], 2, "Invalid block timestamp",
                 id="bad-block-just-before"),
    pytest.param([block(0), OLD_FORMAT, E, block(3)], 3, "Old CWA format packets are not supported",
                 id="bad-block-behind-erased"),
    pytest.param([OLD_FORMAT, block(1), block(2)], 2, None, id="bad-block-beyond-walk"),
    pytest.param([block(0), block(1), BAD_FORMAT], 0, "Unsupported sample format: 6 axes, packing 0",
                 id="bad-block-in-cut"),
])
def test_blocks_cut_validation_reach(tmp_path, blocks, start, expected):
    path = write_blocks(tmp_path, blocks)
    cut = morvane.blocks(start)
    if expected is None:
        assert len(morvane.read_cwa_file(path, cut=cut)) == 100
    else:
        assert runtime_error(path, cut=cut) == expected


def test_bad_block_after_blocks_cut_is_not_visited(tmp_path):
    blocks = seamless(3) + [cwagen.data_block(samples=[1], timestamp=0)]
    path = write_blocks(tmp_path, blocks)
    assert len(morvane.read_cwa_file(path, cut=morvane.blocks(0, 3))) == 300
    assert runtime_error(path) == "Invalid block timestamp"
    # A seconds cut scans every block header first.
    assert runtime_error(path, cut=morvane.seconds(0, 1)) == "Invalid block timestamp"


# ---------------------------------------------------------------------------
# Seconds cuts and the time window
# ---------------------------------------------------------------------------

@pytest.fixture(scope="module")
def twenty_blocks(tmp_path_factory):
    """The worked example: 20 packed blocks of 120 samples at 100 Hz (1.2 s each)."""
    path = tmp_path_factory.mktemp("seconds") / "rec.cwa"
    cwagen.write_recording(path, fmt=0x30, n_blocks=20, motion="ramp")
    data = path.read_bytes()
    blocks = [data[1024 + 512 * k:1536 + 512 * k] for k in range(20)]
    return str(path), blocks


def in_window(times, lo, hi):
    t = times / 1e6
    keep = np.ones(len(t), dtype=bool)
    if lo is not None:
        keep &= lo <= t
    if hi is not None:
        keep &= t < hi
    return keep


def test_worked_seconds_example_entries(twenty_blocks):
    # The reference itself: block 7 ends at 9.6 s and is skipped, block 8
    # (9.6 s to 10.8 s) is the first whose end lies beyond 10 s.
    _, blocks = twenty_blocks
    _, _, entries = reference(blocks)
    data_start = entries[0][1]
    ends = [e - data_start for _, _, e in entries]
    assert ends[7] == pytest.approx(9.6, abs=1e-5) and ends[7] <= 10.0
    assert ends[8] == pytest.approx(10.8, abs=1e-5)


@pytest.mark.parametrize("start, end", [
    (10.0, None), (10.0, 14.5), (None, 3.0), (0.0, None), (None, None), (0.0, 0.5),
    (7.25, 7.26), (23.9, None), (0.0, 1e9), (3.3, 1e9),
])
def test_seconds_cut_keeps_exactly_the_window(twenty_blocks, start, end):
    path, blocks = twenty_blocks
    times, _, entries = reference(blocks)
    data_start = entries[0][1]
    lo = None if start is None else data_start + start
    hi = None if end is None else data_start + end
    keep = in_window(times, lo, hi)
    df = morvane.read_cwa_file(path, cut=morvane.seconds(start, end), **NO_AUX)
    full = morvane.read_cwa_file(path, **NO_AUX)
    assert np.array_equal(full.index.asi8, times)
    assert np.array_equal(df.index.asi8, times[keep])
    for c in ACC:
        assert np.array_equal(df[c].to_numpy(), full[c].to_numpy()[keep])


@pytest.mark.parametrize("start, end", [(100.0, None), (24.0, None), (30.0, 40.0),
                                        (None, 0.0), (None, 1e-9)])
def test_seconds_cut_selecting_nothing(twenty_blocks, start, end):
    # 1e-9 s vanishes when added to a present-day device time: the window end
    # is then the data start itself.
    path, _ = twenty_blocks
    assert runtime_error(path, cut=morvane.seconds(start, end)) == \
        "No samples remain after applying seconds cut"


def test_seconds_cut_bounds_that_collapse_to_one_instant(twenty_blocks):
    path, _ = twenty_blocks
    assert runtime_error(path, cut=morvane.seconds(10.0, 10.0 + 1e-8)) == \
        "range_end_time must be greater than range_start_time"


@pytest.mark.parametrize("k", [0, 1, 119, 120, 121, 960, 1000, 2399])
def test_window_start_inclusive_end_exclusive(twenty_blocks, k):
    path, blocks = twenty_blocks
    times, _, entries = reference(blocks)
    data_start = entries[0][1]
    t_k = times[k] / 1e6
    x = t_k - data_start
    assert data_start + x == t_k  # the bound lands exactly on sample k
    df = morvane.read_cwa_file(path, cut=morvane.seconds(x), **NO_AUX)
    assert df.index.asi8[0] == times[k]
    assert len(df) == len(times) - k
    if k > 0:
        df = morvane.read_cwa_file(path, cut=morvane.seconds(end=x), **NO_AUX)
        assert df.index.asi8[-1] == times[k - 1]
        assert len(df) == k


def set_back_layout():
    """One-second blocks; block 5's own clock is two seconds behind, so it runs
    backwards from 5 s to 4 s, and block 6 then continues from 4 s."""
    return [block(0, mark=0), block(1, mark=1), block(2, mark=2), block(3, mark=3),
            block(4, mark=4), block(3, mark=5), block(4, mark=6), block(5, mark=7)]


@pytest.mark.parametrize("start, end, read_blocks", [
    # Blocks 2-4 are taken, the walk stops at block 5 (its start, 5 s, is past
    # the 4.5 s end); one block more each side gives blocks 1-5, so block 6's
    # samples between 4.0 s and 4.5 s are not part of the read.
    (2.5, 4.5, range(1, 6)),
    # Only an end: blocks up to the one before the first entry starting at or
    # after 4.5 s (block 5), plus one.
    (None, 4.5, range(0, 6)),
    # Without an end bound every block after the first taken is read.
    (2.5, None, range(1, 8)),
    (None, None, range(0, 8)),
])
def test_seconds_cut_reads_only_the_selected_blocks(tmp_path, start, end, read_blocks):
    blocks = set_back_layout()
    path = write_blocks(tmp_path, blocks)
    times, owner, _ = reference(blocks)
    lo = None if start is None else T0 + start
    hi = None if end is None else T0 + end
    window = in_window(times, lo, hi)
    keep = window & np.isin(owner, list(read_blocks))
    df = morvane.read_cwa_file(path, cut=morvane.seconds(start, end), **NO_AUX)
    assert np.array_equal(df.index.asi8, times[keep])
    assert np.array_equal(df["acc_x"].to_numpy(), (owner[keep] / 256).astype(np.float32))
    if end is not None:
        assert (window & (owner == 6)).any()  # block 6 really had samples in the window


def mixed_blocks(gyro_raw):
    """Three packed blocks, then one 6-axis block of 100 samples at 100 Hz."""
    six = np.zeros((40, 6), dtype=np.int64)
    six[:, 0:3] = gyro_raw
    six[:, 3] = 4096
    return seamless(3) + [cwagen.data_block(format=0x62, samples=six, timestamp=stamp(3),
                                            rate_code=0x0A, accel_scale_code=4,
                                            temperature=300)]


@pytest.mark.parametrize("gyro_raw, start, end, gyro_kept", [
    (16384, 0.5, 2.5, False),    # the 6-axis block is read but lies outside the window
    (0, 0.5, 2.5, False),
    (16384, 0.5, 3.2, True),
    (0, 0.5, 3.2, True),         # recorded zeros are values, not gaps
    (16384, 3.0, None, True),
])
def test_window_drops_gyroscope_columns_with_no_value(tmp_path, gyro_raw, start, end, gyro_kept):
    blocks = mixed_blocks(gyro_raw)
    path = write_blocks(tmp_path, blocks)
    unwindowed = morvane.read_cwa_file(path, cut=morvane.blocks(0, 4))
    assert list(unwindowed.columns) == ACC + GYRO + AUX
    df = morvane.read_cwa_file(path, cut=morvane.seconds(start, end))
    assert list(df.columns) == ACC + (GYRO if gyro_kept else []) + AUX
    times, owner, entries = reference(blocks)
    keep = in_window(times, T0 + start, None if end is None else T0 + end)
    assert np.array_equal(df.index.asi8, times[keep])
    if gyro_kept:
        expected = np.where(owner[keep] == 3, np.float32(gyro_raw) / np.float32(16.384), np.nan)
        assert np.array_equal(df["gyro_x"].to_numpy(), expected.astype(np.float32), equal_nan=True)
    # temperature is never dropped, and it is the per-block value
    expected_t = np.where(owner[keep] == 3, np.float32(37.890625), np.float32(-50.0))
    assert np.array_equal(df["temperature"].to_numpy(), expected_t.astype(np.float32))


# ---------------------------------------------------------------------------
# Column sets
# ---------------------------------------------------------------------------

COLUMN_CASES = [
    # (formats of the blocks, read options, expected columns)
    ([0x30], NO_AUX, ACC),
    ([0x30], {}, ACC + AUX),
    ([0x32], dict(include_light=False), ACC + ["temperature", "battery"]),
    ([0x30], dict(include_temperature=False, include_battery=False), ACC + ["light"]),
    ([0x62], {}, ACC + GYRO + AUX),
    ([0x92], {}, ACC + GYRO + MAG + AUX),
    ([0x92], dict(include_magnetometer=False), ACC + GYRO + AUX),
    ([0x92], dict(include_magnetometer=False, **NO_AUX), ACC + GYRO),
    ([0x62], dict(include_magnetometer=True), ACC + GYRO + AUX),
    ([0x30, 0x62], {}, ACC + GYRO + AUX),
    ([0x62, 0x30], NO_AUX, ACC + GYRO),
    ([0x30, 0x92, 0x62], {}, ACC + GYRO + MAG + AUX),
]


@pytest.mark.parametrize("formats, options, expected", COLUMN_CASES)
def test_column_set(tmp_path, formats, options, expected):
    path = str(tmp_path / "rec.cwa")
    cwagen.write_recording(path, formats=formats, motion="ramp")
    df = morvane.read_cwa_file(path, **options)
    assert list(df.columns) == expected
    assert all(df[c].dtype == np.float32 for c in df.columns)


@pytest.mark.parametrize("formats", [[0x30, 0x30, 0x62, 0x62], [0x62, 0x32, 0x62],
                                     [0x32, 0x92, 0x30]])
def test_missing_channels_are_nan_per_block(tmp_path, formats):
    path = str(tmp_path / "rec.cwa")
    info = cwagen.write_recording(path, formats=formats, motion="ramp", keep_raw=True)
    df = morvane.read_cwa_file(path, **NO_AUX)
    axes = np.repeat([cwagen.FORMATS[f][0] for f in formats], info.counts)
    for names, needs in ((GYRO, 6), (MAG, 9)):
        if not (axes >= needs).any():
            assert not set(names) & set(df.columns)
            continue
        for c in names:
            values = df[c].to_numpy()
            # gaps are the one quiet NaN, values elsewhere are real numbers
            assert np.all(values[axes < needs].view(np.uint32) == 0x7FC00000), c
            assert not np.isnan(values[axes >= needs]).any(), c


def test_recorded_zero_gyroscope_stays_zero(tmp_path):
    path = str(tmp_path / "rec.cwa")
    cwagen.write_recording(path, formats=[0x30, 0x62, 0x92], motion="zeros")
    df = morvane.read_cwa_file(path, **NO_AUX)
    n30, n62 = 120, 40
    for c in GYRO:
        v = df[c].to_numpy()
        assert np.isnan(v[:n30]).all()
        assert np.array_equal(v[n30:].view(np.uint32), np.zeros(len(v) - n30, np.uint32))
    for c in MAG:
        v = df[c].to_numpy()
        assert np.isnan(v[:n30 + n62]).all()
        assert (v[n30 + n62:] == 0.0).all()


# ---------------------------------------------------------------------------
# DataFrame hand-over
# ---------------------------------------------------------------------------

def test_index_naive_and_utc(tmp_path):
    blocks = [block(k, n=40, fmt=0x62, mark=k) for k in range(3)]
    path = write_blocks(tmp_path, blocks)
    times, _, _ = reference(blocks)
    naive = morvane.read_cwa_file(path)
    assert naive.index.name == "timestamp"
    assert str(naive.index.dtype) == "datetime64[us]"
    assert np.array_equal(naive.index.asi8, times)
    assert list(naive.columns) == ACC + GYRO + AUX

    utc = morvane.read_cwa_file(path, fixed_utc_offset_timezone=dt.timezone.utc)
    assert utc.index.name == "timestamp"
    assert str(utc.index.dtype) == "datetime64[us, UTC]"
    assert np.array_equal(utc.index.asi8, times)

    for hours, minutes in ((2, 0), (-5, -30)):
        offset = dt.timedelta(hours=hours, minutes=minutes)
        east = morvane.read_cwa_file(path, fixed_utc_offset_timezone=dt.timezone(offset))
        assert str(east.index.dtype) == "datetime64[us, UTC]"
        shift = (hours * 3600 + minutes * 60) * 1_000_000
        assert np.array_equal(east.index.asi8, times - shift)
        assert east.reset_index(drop=True).equals(naive.reset_index(drop=True))


def test_half_second_device_time_text(tmp_path):
    when = dt.datetime(2023, 1, 1, 12, 0, 1)
    blocks = [cwagen.data_block(samples=[1, 2], timestamp=when, timestamp_offset=50,
                                rate_code=0x0A)]
    df = morvane.read_cwa_file(write_blocks(tmp_path, blocks))
    assert str(df.index[0]) == "2023-01-01 12:00:00.500000"
    assert df.index.asi8[0] == (calendar.timegm(when.timetuple()) - 1) * 1_000_000 + 500_000


def test_rows_keep_file_order(tmp_path):
    blocks = set_back_layout()
    times, _, _ = reference(blocks)
    df = morvane.read_cwa_file(write_blocks(tmp_path, blocks), **NO_AUX)
    assert not df.index.is_monotonic_increasing
    assert np.array_equal(df.index.asi8, times)
    assert np.array_equal(df["acc_x"].to_numpy(), (np.repeat(np.arange(8), 100) / 256)
                          .astype(np.float32))


def base_chain(array):
    chain = []
    obj = array
    while obj is not None:
        chain.append(obj)
        obj = getattr(obj, "base", None)
    return chain


def container_of(array):
    found = [o for o in base_chain(array) if type(o).__name__ == "PySliceContainer"]
    return found[0] if found else None


def test_columns_are_handed_over_without_copy(tmp_path):
    path = str(tmp_path / "rec.cwa")
    cwagen.write_recording(path, fmt=0x92, n_blocks=50)
    df = morvane.read_cwa_file(path)
    owners = {c: container_of(df[c].to_numpy()) for c in df.columns}
    if any(o is None for o in owners.values()):
        pytest.skip("the installed pandas copies the column arrays")
    assert len({id(o) for o in owners.values()}) == len(owners)  # one buffer per column
    assert not hasattr(morvane, "PySliceContainer")
    index_owner = container_of(df.index.asi8)
    if index_owner is not None:
        assert id(index_owner) not in {id(o) for o in owners.values()}
    for c in df.columns:
        a = df[c].to_numpy()
        assert a.dtype == np.float32 and a.ndim == 1 and a.flags.c_contiguous


def test_column_buffers_are_released_with_the_frame(tmp_path):
    path = str(tmp_path / "rec.cwa")
    cwagen.write_recording(path, fmt=0x62, n_blocks=30)
    probe = morvane.read_cwa_file(path)
    owner = container_of(probe["acc_x"].to_numpy())
    if owner is None:
        pytest.skip("the installed pandas copies the column arrays")
    container_type = type(owner)
    del probe, owner
    gc.collect()
    # Every live container holds a reference to its heap type, so the type's
    # reference count tracks how many column buffers are alive.
    baseline = sys.getrefcount(container_type)
    df = morvane.read_cwa_file(path)
    kept = sum(container_of(df[c].to_numpy()) is not None for c in df.columns)
    kept += container_of(df.index.asi8) is not None
    assert kept >= len(df.columns)
    gc.collect()
    assert sys.getrefcount(container_type) == baseline + kept
    del df
    gc.collect()
    assert sys.getrefcount(container_type) == baseline
    # A failing read leaves no container behind either.
    with pytest.raises(RuntimeError):
        morvane.read_cwa_file(path, cut=morvane.seconds(1e6))
    gc.collect()
    assert sys.getrefcount(container_type) == baseline


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_repeated_reads_do_not_accumulate_memory(tmp_path):
    # About 40 MB of columns per read; kept buffers would add that again on
    # every round, freed ones are reused.
    path = str(tmp_path / "rec.cwa")
    cwagen.write_recording(path, fmt=0x30, n_blocks=10_000, motion="zeros")
    per_read = 10_000 * 120 * (8 + 6 * 4)
    df = morvane.read_cwa_file(path)
    assert len(df) == 1_200_000
    del df
    gc.collect()
    before = resident_bytes()
    for _ in range(6):
        df = morvane.read_cwa_file(path)
        del df
        gc.collect()
    assert resident_bytes() - before < 2 * per_read
