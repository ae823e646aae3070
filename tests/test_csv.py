"""CSV export: header, row texts, the three data paths and file handling.

Row texts are checked against the DataFrame that read_cwa_file returns for
the same arguments, formatted here with Python's own fixed-point
conversion, so every value the writer prints is compared digit for digit.
"""

import datetime as dt
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import cwagen
import morvane

START = dt.datetime(2023, 6, 15, 12, 0, 0)
START_S = 1686830400
GYRO = ["gyro_x", "gyro_y", "gyro_z"]
MAG = ["mag_x", "mag_y", "mag_z"]
AUX = ["temperature", "light", "battery"]
TZ2 = dt.timezone(dt.timedelta(hours=2))


def micros(frame):
    return frame.index.as_unit("us").asi8


def read_csv(path):
    with open(path, "rb") as f:
        data = f.read()
    assert data.endswith(b"\n")
    assert b"\r" not in data and b'"' not in data and b" " not in data
    data.decode("ascii")
    lines = data.decode("ascii").split("\n")[:-1]
    return lines[0].split(","), [line.split(",") for line in lines[1:]]


def text6(v):
    v = float(v)
    return "NaN" if v != v else "%.6f" % v


def expected_rows(frame, columns):
    """The rows a CSV of ``frame`` must hold; ``columns`` names the value
    fields in header order (absent ones print as NaN)."""
    times = micros(frame)
    values = [frame[c].to_numpy() if c in frame.columns else None for c in columns]
    rows = []
    for i, t in enumerate(times):
        row = ["%.4f" % (int(t) / 1e6)]
        row += ["NaN" if v is None else text6(v[i]) for v in values]
        rows.append(row)
    return rows


def assert_csv_matches_frame(path, frame):
    header, rows = read_csv(path)
    assert header[0] == "time"
    assert len(rows) == len(frame)
    expected = expected_rows(frame, header[1:])
    for i, (got, want) in enumerate(zip(rows, expected)):
        assert got == want, f"row {i}"
    return header, rows


def write(tmp_path, name="rec.cwa", **kwargs):
    path = tmp_path / name
    kwargs.setdefault("start", START)
    cwagen.write_recording(path, **kwargs)
    return str(path)


def random_motion(seed, lim=None):
    rng = np.random.default_rng(seed)

    def motion(t, fmt):
        axes = cwagen.FORMATS[fmt][0]
        top = lim or (4095 if fmt == 0x30 else 32767)
        return rng.integers(-top - 1, top + 1, size=(len(t), axes))
    return motion


# ---------------------------------------------------------------------------
# header


def expected_header(axes, include_magnetometer, temperature, light, battery):
    fields = ["time", "acc_x", "acc_y", "acc_z"]
    if axes >= 6:
        fields += GYRO
    if axes == 9 and include_magnetometer:
        fields += MAG
    fields += [name for name, on in zip(AUX, (temperature, light, battery)) if on]
    return fields


HEADER_CASES = [
    # fmt, include_magnetometer, temperature, light, battery
    (0x30, True, False, False, False),
    (0x32, True, True, False, False),
    (0x62, True, False, True, False),
    (0x92, True, False, False, True),
    (0x92, False, False, False, False),
    (0x92, False, True, True, True),
    (0x62, False, True, False, True),
    (0x30, True, True, True, True),
]


@pytest.mark.parametrize("way", ["stream", "seconds", "resample"])
@pytest.mark.parametrize("fmt,mag,temperature,light,battery", HEADER_CASES)
def test_header(tmp_path, fmt, mag, temperature, light, battery, way):
    path = write(tmp_path, fmt=fmt, n_blocks=3)
    out = str(tmp_path / "out.csv")
    extra = {"stream": {}, "seconds": {"cut": morvane.seconds(0.1, 0.5)},
             "resample": {"resample_hz": 40}}[way]
    morvane.write_cwa_csv(path, out, include_magnetometer=mag,
                          include_temperature=temperature, include_light=light,
                          include_battery=battery, **extra)
    header, rows = read_csv(out)
    axes = cwagen.FORMATS[fmt][0]
    assert header == expected_header(axes, mag, temperature, light, battery)
    assert rows and all(len(r) == len(header) for r in rows)


def test_default_header_of_9_axis_recording(tmp_path):
    path = write(tmp_path, fmt=0x92, n_blocks=1)
    out = tmp_path / "out.csv"
    morvane.write_cwa_csv(path, str(out))
    first = out.read_bytes().split(b"\n")[0]
    assert first == b"time,acc_x,acc_y,acc_z,gyro_x,gyro_y,gyro_z,mag_x,mag_y,mag_z"


# ---------------------------------------------------------------------------
# rows against the DataFrame, per path

PATHS = [
    ({}, {}),
    ({"cut": morvane.blocks(1, 3)}, {}),
    ({"cut": morvane.seconds(0.3337, 1.7013)}, {}),
    ({"cut": morvane.seconds(None, 0.9)}, {}),
    ({"resample_hz": 30}, {}),
    ({"resample_hz": 7.77, "cut": morvane.seconds(0.2, 2.2)}, {}),
    ({}, {"fixed_utc_offset_timezone": TZ2}),
    ({"cut": morvane.seconds(0.5, 2)}, {"fixed_utc_offset_timezone": TZ2}),
    ({"resample_hz": 64}, {"fixed_utc_offset_timezone": dt.timezone.utc}),
]


@pytest.mark.parametrize("fmt", [0x30, 0x62, 0x92])
@pytest.mark.parametrize("args,tz", PATHS)
def test_rows_equal_read_cwa_file(tmp_path, fmt, args, tz):
    path = write(tmp_path, fmt=fmt, n_blocks={0x30: 3, 0x62: 7, 0x92: 10}[fmt],
                 motion=random_motion(fmt))
    out = str(tmp_path / "out.csv")
    flags = dict(include_temperature=True, include_light=True, include_battery=True)
    morvane.write_cwa_csv(path, out, **args, **flags, **tz)
    frame = morvane.read_cwa_file(path, **args, **flags, **tz)
    header, _ = assert_csv_matches_frame(out, frame)
    assert header[1:] == list(frame.columns)


def test_utc_offset_lowers_every_time_by_7200(tmp_path):
    path = write(tmp_path, fmt=0x62, n_blocks=4)
    naive, shifted = str(tmp_path / "naive.csv"), str(tmp_path / "shifted.csv")
    morvane.write_cwa_csv(path, naive)
    morvane.write_cwa_csv(path, shifted, fixed_utc_offset_timezone=TZ2)
    _, rows_naive = read_csv(naive)
    _, rows_shifted = read_csv(shifted)
    frame = morvane.read_cwa_file(path)
    device = micros(frame)
    assert device[0] == START_S * 10**6
    assert [r[0] for r in rows_naive] == ["%.4f" % (int(t) / 1e6) for t in device]
    assert [r[0] for r in rows_shifted] == \
        ["%.4f" % ((int(t) - 7200 * 10**6) / 1e6) for t in device]
    assert [r[1:] for r in rows_naive] == [r[1:] for r in rows_shifted]


def test_whole_second_prints_four_zeros(tmp_path):
    path = write(tmp_path, fmt=0x30, n_blocks=2)
    out = tmp_path / "out.csv"
    morvane.write_cwa_csv(path, str(out))
    _, rows = read_csv(out)
    assert rows[0][0] == f"{START_S}.0000"
    # 100 Hz from a whole second: the row after 1.2 s of samples is 1.2000
    assert rows[100][0] == f"{START_S + 1}.0000"


# ---------------------------------------------------------------------------
# streaming path


def test_mixed_blocks_stream_nan_gyro(tmp_path):
    formats = [0x30, 0x30, 0x62, 0x62, 0x30]
    path = write(tmp_path, formats=formats, motion=random_motion(4))
    out = str(tmp_path / "out.csv")
    morvane.write_cwa_csv(path, out)
    header, rows = read_csv(out)
    assert header == ["time", "acc_x", "acc_y", "acc_z"] + GYRO
    assert len(rows) == 120 * 3 + 40 * 2
    for i, row in enumerate(rows):
        three_axis = i < 240 or i >= 320
        assert (row[4:7] == ["NaN"] * 3) == three_axis, i
    assert_csv_matches_frame(out, morvane.read_cwa_file(
        path, include_temperature=False, include_light=False, include_battery=False))


@pytest.mark.parametrize("args", [{"cut": morvane.seconds(1.5, 4.0)}, {"resample_hz": 45},
                                  {"cut": morvane.blocks(1, 4), "resample_hz": 9.5}])
def test_mixed_blocks_print_nan_on_collected_paths(tmp_path, args):
    # collected columns hold NaN for the 3-axis rows; it prints as NaN too
    path = write(tmp_path, formats=[0x30, 0x30, 0x62, 0x62, 0x30], motion=random_motion(6))
    out = str(tmp_path / "out.csv")
    morvane.write_cwa_csv(path, out, **args)
    frame = morvane.read_cwa_file(path, include_temperature=False, include_light=False,
                                  include_battery=False, **args)
    header, rows = assert_csv_matches_frame(out, frame)
    assert header[4:] == GYRO
    gyro = [row[4] for row in rows]
    assert "NaN" in gyro and any(v != "NaN" for v in gyro)


def test_gyro_header_comes_from_a_late_block(tmp_path):
    # only the last block carries a gyroscope and a magnetometer
    path = write(tmp_path, formats=[0x30] * 4 + [0x92], motion=random_motion(5))
    out = str(tmp_path / "out.csv")
    morvane.write_cwa_csv(path, out, include_battery=True)
    header, rows = read_csv(out)
    assert header == ["time", "acc_x", "acc_y", "acc_z"] + GYRO + MAG + ["battery"]
    assert rows[0][4:10] == ["NaN"] * 6 and "NaN" not in rows[-1]


@pytest.mark.parametrize("selection", [(1, 3), (1, 2), (2, 3)])
def test_selection_without_data_blocks_writes_header_only(tmp_path, selection):
    rng = np.random.default_rng(0)
    data = [cwagen.data_block(timestamp=START, format=0x62,
                              samples=rng.integers(-999, 999, size=(40, 6))),
            cwagen.erased_block(), cwagen.zero_block(),
            cwagen.data_block(timestamp=START + dt.timedelta(seconds=1), format=0x62,
                              samples=rng.integers(-999, 999, size=(40, 6)))]
    path = str(cwagen.blocks_file(tmp_path / "holes.cwa", data))
    out = tmp_path / "out.csv"
    assert morvane.write_cwa_csv(path, str(out), morvane.blocks(*selection),
                                 include_light=True) is None
    assert out.read_bytes() == b"time,acc_x,acc_y,acc_z,light\n"


# ---------------------------------------------------------------------------
# number texts


def varied_recording(tmp_path, fmt, seed):
    """Full-range raw integers under every accelerometer scale and gyroscope
    range code, with random auxiliary readings per block."""
    rng = np.random.default_rng(seed)
    n_blocks = 64
    return write(tmp_path, name=f"varied{fmt:x}.cwa", fmt=fmt, n_blocks=n_blocks,
                 motion=random_motion(seed),
                 accel_scale_code=np.arange(n_blocks) % 8,
                 gyro_code=(np.arange(n_blocks) // 8) % 8,
                 temperature=rng.integers(0, 1024, n_blocks),
                 light=rng.integers(0, 1024, n_blocks),
                 battery=rng.integers(0, 256, n_blocks))


@pytest.mark.parametrize("args", [{}, {"resample_hz": 37.3}, {"resample_hz": 32}],
                         ids=["stream", "resample", "resample32"])
@pytest.mark.parametrize("fmt", [0x62, 0x92])
def test_number_texts_match_fixed_point_conversion(tmp_path, fmt, args):
    path = varied_recording(tmp_path, fmt, fmt)
    out = str(tmp_path / "out.csv")
    flags = dict(include_temperature=True, include_light=True, include_battery=True)
    morvane.write_cwa_csv(path, out, **args, **flags)
    frame = morvane.read_cwa_file(path, **args, **flags)
    _, rows = assert_csv_matches_frame(out, frame)
    texts = {v for row in rows for v in row[1:]}
    assert len(texts) > 5000
    if args.get("resample_hz") == 32:
        # grid times n/32 s after a whole second: odd n are exact ties at
        # four decimals (0.03125 prints as 0.0312, 0.09375 as 0.0938)
        assert rows[1][0] == f"{START_S}.0312" and rows[3][0] == f"{START_S}.0938"
    if not args:
        # divisor 256 with raw 2 mod 4 gives odd multiples of 1/128, exact ties at
        # six decimals (0.0078125 prints as 0.007812)
        values = frame["acc_x"].to_numpy()
        assert np.any(np.abs(values * 128) % 2 == 1)


def packed_word_text(words, axis, shift):
    """The six-decimal text of one axis of packed sample words, from the layout: a
    10-bit two's-complement count times 2^exponent / 2^shift."""
    field = (words >> (10 * axis)) & 0x3FF
    count = np.where(field >= 512, field.astype(np.int64) - 1024, field)
    exponent = words >> 30
    return ["%.6f" % (int(c) * 2.0 ** (int(e) - s))
            for c, e, s in zip(count, exponent, shift)]


def test_every_packed_code_under_every_scale(tmp_path):
    # Every 10-bit count with every exponent on each axis (rotated between the
    # axes), under the eight accelerometer scales and then back to earlier ones,
    # so each scale's texts are made more than once.
    codes = np.arange(4096, dtype=np.uint32)
    one_scale = ((codes >> 10) << 30) | (codes & 0x3FF) \
        | (((codes + 1365) & 0x3FF) << 10) | ((1023 - (codes & 0x3FF)) << 20)
    scales = np.array([0, 1, 2, 3, 4, 5, 6, 7, 2, 0])
    blocks_per_scale = -(-4096 // 120)
    words = np.tile(np.concatenate([one_scale, one_scale[:blocks_per_scale * 120 - 4096]]),
                    len(scales))
    block_codes = np.repeat(scales, blocks_per_scale)
    path = write(tmp_path, fmt=0x30, n_blocks=len(block_codes),
                 accel_scale_code=block_codes, motion=lambda t, fmt: words[:len(t)])
    out = str(tmp_path / "out.csv")
    morvane.write_cwa_csv(path, out)
    _, rows = read_csv(out)
    assert len(rows) == len(words)
    shift = 8 + np.repeat(block_codes, 120)
    for axis in range(3):
        assert [row[1 + axis] for row in rows] == packed_word_text(words, axis, shift)
    # The rows a collected path writes value by value are the same text.
    whole = str(tmp_path / "whole.csv")
    morvane.write_cwa_csv(path, whole, cut=morvane.seconds(None, len(words)))
    assert read_csv(whole)[1] == rows


@pytest.mark.parametrize("tz", [{}, {"fixed_utc_offset_timezone": TZ2}])
def test_packed_and_unpacked_blocks_of_one_export(tmp_path, tz):
    # Packed and 16-bit 3-axis blocks take different ways to their text within one export.
    path = write(tmp_path, formats=[0x30, 0x32, 0x32, 0x30, 0x30, 0x32],
                 accel_scale_code=[0, 0, 3, 3, 1, 1], motion=random_motion(8))
    out = str(tmp_path / "out.csv")
    flags = dict(include_temperature=True, include_light=False, include_battery=True)
    morvane.write_cwa_csv(path, out, **flags, **tz)
    header, _ = assert_csv_matches_frame(out, morvane.read_cwa_file(path, **flags, **tz))
    assert header == ["time", "acc_x", "acc_y", "acc_z", "temperature", "battery"]


def test_tiny_negative_values_print_minus_zero(tmp_path):
    # Grid rows 1.0001 us after every sample (rate 99.99 Hz); where a row's
    # left neighbour is 0 and the other three are -1 count, the cubic gives
    # about -1.2e-8 g per microsecond of lead.
    n = 80
    raw = np.full((n, 6), -1, dtype=np.int64)
    raw[1::4, :] = 0
    path = write(tmp_path, fmt=0x62, n_blocks=2, motion=lambda t, fmt: raw)
    out = str(tmp_path / "out.csv")
    morvane.write_cwa_csv(path, out, resample_hz=99.99)
    frame = morvane.read_cwa_file(path, resample_hz=99.99)
    _, rows = assert_csv_matches_frame(out, frame)
    acc = frame["acc_x"].to_numpy()
    assert np.any((acc < 0) & (acc > -5e-7))
    assert "-0.000000" in {row[1] for row in rows}


def test_huge_values_print_every_digit(tmp_path):
    # Two samples 7.8 us apart followed by a gap of 12 days: the cubic
    # weights reach 1e10 and gyro rows exceed 2**64 / 1e6.
    rng = np.random.default_rng(9)
    light = cwagen.light_word(100, 1, 4)
    burst = rng.integers(-30000, 30000, size=(40, 6))
    burst[:, 0] = np.where(np.arange(40) % 2, 30000, -30000)

    def stamp(s):
        return START + dt.timedelta(seconds=s)
    blocks = [cwagen.data_block(timestamp=stamp(0), rate_code=0x4F, format=0x62,
                                samples=burst[:1], light=light),
              cwagen.data_block(timestamp=stamp(0), timestamp_offset=38, rate_code=0x4F,
                                format=0x62, samples=burst, light=light),
              cwagen.data_block(timestamp=stamp(10**6), format=0x62,
                                samples=rng.integers(-30000, 30000, size=(40, 6)),
                                light=light)]
    path = str(cwagen.blocks_file(tmp_path / "huge.cwa", blocks))
    out = str(tmp_path / "out.csv")
    morvane.write_cwa_csv(path, out, resample_hz=1e-4)
    frame = morvane.read_cwa_file(path, resample_hz=1e-4)
    _, rows = assert_csv_matches_frame(out, frame)
    assert np.abs(frame["gyro_x"].to_numpy()).max() > 2**64 / 1e6


# ---------------------------------------------------------------------------
# output file handling


def test_existing_output_is_replaced(tmp_path):
    path = write(tmp_path, fmt=0x30, n_blocks=2)
    fresh, reused = tmp_path / "fresh.csv", tmp_path / "reused.csv"
    reused.write_bytes(b"x" * 300000)
    morvane.write_cwa_csv(path, str(fresh))
    morvane.write_cwa_csv(path, str(reused))
    assert reused.read_bytes() == fresh.read_bytes()
    assert len(fresh.read_bytes()) < 300000


@pytest.mark.parametrize("args", [{}, {"resample_hz": 10}, {"cut": morvane.seconds(0.5)}])
def test_reserved_space_is_given_back(tmp_path, args):
    # The writer reserves disk space tens of megabytes ahead of the text; what the file
    # keeps must be its text's size, rounded to the file system's blocks.
    path = write(tmp_path, fmt=0x30, n_blocks=40)
    out = tmp_path / "out.csv"
    morvane.write_cwa_csv(path, str(out), **args)
    size = out.stat().st_size
    assert size > 0
    assert out.stat().st_blocks * 512 <= size + (1 << 16)
    # The same text as through a pipe, where nothing can be reserved.
    piped = subprocess.run(
        [sys.executable, "-c", "import sys, morvane; "
         "morvane.write_cwa_csv(sys.argv[1], '/dev/stdout', **eval(sys.argv[2]))",
         path, repr(args)],
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)),
        capture_output=True, check=True)
    assert piped.stdout == out.read_bytes()


@pytest.mark.parametrize("args", [{}, {"resample_hz": 10}, {"cut": morvane.seconds(0.5)}])
def test_write_to_full_device(tmp_path, args):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    path = write(tmp_path, fmt=0x30, n_blocks=2)
    with pytest.raises(RuntimeError) as e:
        morvane.write_cwa_csv(path, "/dev/full", **args)
    assert str(e.value).startswith("IO error: ")
    assert "No space left on device" in str(e.value)
    assert str(e.value).endswith(" (os error 28)")


def test_partly_written_file_stays_after_error(tmp_path):
    # A file size limit makes the first write stop at 3000 bytes and the next
    # one fail; the bytes already written must stay on disk.
    path = write(tmp_path, fmt=0x30, n_blocks=20)
    out = tmp_path / "out.csv"
    script = textwrap.dedent("""
        import resource, signal, sys
        import morvane
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (3000, resource.RLIM_INFINITY))
        try:
            morvane.write_cwa_csv(sys.argv[1], sys.argv[2])
        except RuntimeError as e:
            print(e)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", script, path, str(out)], env=env,
                          capture_output=True, text=True, check=True)
    assert done.stdout.startswith("IO error: ") and "(os error 27)" in done.stdout
    data = out.read_bytes()
    assert len(data) == 3000
    # Space reserved ahead of the writes is given back on the error path too.
    assert out.stat().st_blocks * 512 < 1 << 20
    reference = tmp_path / "whole.csv"
    morvane.write_cwa_csv(path, str(reference))
    assert reference.read_bytes()[:3000] == data


def same_file_names(tmp_path, path):
    link = tmp_path / "link.cwa"
    os.symlink(path, link)
    hard = tmp_path / "hard.cwa"
    os.link(path, hard)
    return {"same": path, "symlink": str(link), "hardlink": str(hard),
            "dotted": os.path.join(os.path.dirname(path), ".", os.path.basename(path))}


@pytest.mark.parametrize("args", [{}, {"resample_hz": 10}, {"cut": morvane.seconds(0.5)},
                                  {"cut": morvane.blocks(1)}])
@pytest.mark.parametrize("name", ["same", "symlink", "hardlink", "dotted"])
def test_output_naming_the_input_is_refused(tmp_path, name, args):
    path = write(tmp_path, fmt=0x62, n_blocks=3)
    with open(path, "rb") as f:
        before = f.read()
    target = same_file_names(tmp_path, path)[name]
    with pytest.raises(RuntimeError) as e:
        morvane.write_cwa_csv(path, target, **args)
    assert str(e.value) == "output_path must not be the input file"
    with open(path, "rb") as f:
        assert f.read() == before
    # the input itself is still readable as before
    assert len(morvane.read_cwa_file(path)) == 120


@pytest.mark.parametrize("args", [{}, {"resample_hz": 10}, {"cut": morvane.blocks(0, 2)}])
def test_missing_output_directory_fails_before_reading(tmp_path, args):
    # The second block has an impossible timestamp: reading it would fail
    # with a different message, so the I/O error proves nothing was read.
    good = cwagen.data_block(timestamp=START, format=0x62, samples=np.zeros((40, 6)))
    bad = cwagen.data_block(timestamp=0, format=0x62, samples=np.zeros((40, 6)))
    path = str(cwagen.blocks_file(tmp_path / "bad.cwa", [good, bad]))
    with pytest.raises(RuntimeError) as e:
        morvane.write_cwa_csv(path, str(tmp_path / "out.csv"), **args)
    assert str(e.value) == "Invalid block timestamp"
    missing = tmp_path / "no_such_dir" / "out.csv"
    with pytest.raises(RuntimeError) as e:
        morvane.write_cwa_csv(path, str(missing), **args)
    assert str(e.value).startswith("IO error: ") and str(e.value).endswith("(os error 2)")
    assert not missing.parent.exists()
