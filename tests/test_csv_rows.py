"""Streamed CSV rows on each of the writer's row layouts, against Python's own "%.4f" and
"%.6f" of the values read_cwa_file returns.

The streaming writer lays out a block's rows from whole words when every channel value of
the block rounds below 10 (one layout per channel count), and value by value otherwise; the
time text of a second is kept from row to row. These recordings put blocks on each of those
ways, and times across the second boundaries, the 10^9 s boundary and clock jumps.
"""

import datetime as dt

import numpy as np
import pytest

import cwagen
import morvane

START = dt.datetime(2023, 6, 15, 12, 0, 0)
TZ2 = dt.timezone(dt.timedelta(hours=2))


def small_or_large(seed, small_blocks):
    """Raw counts within +-100 in the blocks listed (every channel then prints one digit before
    the point for every format's scale) and over the whole range elsewhere."""
    rng = np.random.default_rng(seed)

    def motion(t, fmt):
        axes = cwagen.FORMATS[fmt][0]
        per_block = cwagen.FORMATS[fmt][2]
        top = np.where(np.isin(np.arange(len(t)) // per_block, small_blocks), 100,
                       4095 if fmt == 0x30 else 32767)
        return (rng.uniform(-1, 1, size=(len(t), axes)) * top[:, None]).astype(np.int64)
    return motion


def expected_lines(frame):
    times = frame.index.as_unit("us").asi8
    columns = [frame[c].to_numpy() for c in frame.columns]
    lines = []
    for i, us in enumerate(times):
        fields = ["%.4f" % (int(us) / 1e6)]
        fields += ["NaN" if v[i] != v[i] else "%.6f" % float(v[i]) for v in columns]
        lines.append(",".join(fields))
    return lines


def written_lines(path):
    with open(path, "rb") as f:
        text = f.read().decode("ascii")
    assert text.endswith("\n")
    return text.split("\n")[1:-1]


def assert_rows(tmp_path, path, **kwargs):
    out = str(tmp_path / "out.csv")
    morvane.write_cwa_csv(path, out, **kwargs)
    frame = morvane.read_cwa_file(path, include_temperature=False, include_light=False,
                                  include_battery=False, **kwargs)
    got, want = written_lines(out), expected_lines(frame)
    assert len(got) == len(want)
    for i, (g, w) in enumerate(zip(got, want)):
        assert g == w, f"row {i}"
    return got


@pytest.mark.parametrize("tz", [None, TZ2])
@pytest.mark.parametrize("small_blocks", [[0, 1, 2, 3, 4, 5], [1, 3], []],
                         ids=["all_words", "mixed", "no_words"])
@pytest.mark.parametrize("fmt", [0x30, 0x32, 0x62, 0x92])
def test_rows_on_every_layout(tmp_path, fmt, small_blocks, tz):
    path = tmp_path / "rec.cwa"
    cwagen.write_recording(path, fmt=fmt, n_blocks=6, start=START, jitter=3e-5,
                           motion=small_or_large(fmt, small_blocks))
    extra = {"fixed_utc_offset_timezone": tz} if tz else {}
    lines = assert_rows(tmp_path, str(path), **extra)
    # The blocks whose every channel text has one digit before the point are the small ones.
    one_digit = [all(len(f.lstrip("-").split(".")[0]) == 1 for f in line.split(",")[1:])
                 for line in lines]
    per_block = cwagen.FORMATS[fmt][2]
    assert len(lines) == 6 * per_block
    word_blocks = [b for b in range(6) if all(one_digit[b * per_block:(b + 1) * per_block])]
    assert word_blocks == small_blocks


def test_mixed_formats_print_nan_beside_words(tmp_path):
    # 3-axis blocks in a 9-axis file: six NaN columns beside one-digit words.
    path = tmp_path / "mixed.cwa"
    cwagen.write_recording(path, formats=[0x30, 0x92, 0x30, 0x92], start=START,
                           motion=small_or_large(9, [0, 1, 2, 3]))
    lines = assert_rows(tmp_path, str(path))
    assert lines[0].endswith(",NaN" * 6) and "NaN" not in lines[-1]


@pytest.mark.parametrize("tz", [None, TZ2, dt.timezone(dt.timedelta(hours=-5))])
def test_times_across_the_tenth_whole_digit(tmp_path, tz):
    # 2001-09-09 01:46:40 UTC is 10^9 s: the seconds grow a tenth digit there. The clock
    # runs a little fast, jumps back over the boundary once and forward again.
    path = tmp_path / "rec.cwa"
    cwagen.write_recording(path, fmt=0x30, n_blocks=12, jitter=7e-5,
                           start=dt.datetime(2001, 9, 9, 1, 46, 38, 730000),
                           gaps=[(4, -2.3456), (7, 0.9871)], motion="zeros")
    extra = {"fixed_utc_offset_timezone": tz} if tz else {}
    lines = assert_rows(tmp_path, str(path), **extra)
    seconds = {len(line.split(",")[0].split(".")[0]) for line in lines}
    assert seconds == {None: {9, 10}, TZ2: {9}}.get(tz, {10})
